// SHA-256 against known vectors and Qt's own hash; minisign checks against the minisign tool.
#include "platform/Crypto.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>

namespace {
QByteArray Line(const QByteArray& file, int index)
{
  return file.split('\n').value(index);
}

QByteArray WithLine(const QByteArray& file, int index, const QByteArray& line)
{
  QList<QByteArray> lines = file.split('\n');
  lines[index] = line;
  return lines.join('\n');
}
}

class Crypto : public QObject {
  Q_OBJECT
  QTemporaryDir m_dir;
  QString m_minisign;
  const QByteArray m_list = QString("<UpdList><App Version=\"2.0\" Notes=\"修复\"/></UpdList>\n").toUtf8();

  QByteArray Read(const QString& name) const
  {
    QFile file(m_dir.filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }

  // Runs the tool in the test's folder, never on a terminal; true when it exits with 0.
  bool Minisign(const QStringList& args) const
  {
    QProcess process;
    process.setWorkingDirectory(m_dir.path());
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(m_minisign, args);
    // A process still running after the wait is killed when process goes out of scope.
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit
           && process.exitCode() == 0;
  }

  // The .minisig bytes of UpdList.xml signed with key's secret key; empty when minisign failed.
  QByteArray Sign(const QString& key, const QString& name, const QStringList& extra = {}) const
  {
    const QStringList args{"-S", "-s", key + ".sec", "-m", "UpdList.xml", "-x", name};
    return Minisign(args + extra) ? Read(name) : QByteArray();
  }

private slots:
  void initTestCase()
  {
    m_minisign = QStandardPaths::findExecutable("minisign");
    QVERIFY2(!m_minisign.isEmpty(), "minisign is needed to check signatures against the real tool");
    QVERIFY(m_dir.isValid());
    QFile list(m_dir.filePath("UpdList.xml"));
    QVERIFY(list.open(QIODevice::WriteOnly) && list.write(m_list) == m_list.size());
    list.close();
    for (const QString key : {"a", "b"})
      QVERIFY(Minisign({"-G", "-W", "-p", key + ".pub", "-s", key + ".sec"}));
  }

  void sha256_data()
  {
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("hex");   // empty: Qt's own SHA-256 is the reference
    QByteArray large(3 * 1024 * 1024 + 5, '\0');
    for (qsizetype i = 0; i < large.size(); ++i)
      large[i] = char((i * 2654435761u) >> 13);
    QTest::newRow("empty") << QByteArray()
                           << "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    QTest::newRow("abc") << QByteArray("abc")
                         << "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
    QTest::newRow("two blocks") << QByteArray("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")
                                << "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";
    QTest::newRow("three blocks of a file and a bit") << large << QString();
  }
  void sha256()
  {
    QFETCH(QByteArray, data);
    QFETCH(QString, hex);
    QByteArray expected = QCryptographicHash::hash(data, QCryptographicHash::Sha256);
    if (!hex.isEmpty())
      QVERIFY(ParseSha256Hex(hex, &expected));
    Sha256Hasher hasher;
    hasher.Add(data.constData(), data.size());
    QCOMPARE(hasher.Finish(), expected);
    // The same hasher again, in growing odd pieces: Finish must have started it over.
    for (qint64 at = 0, piece = 1; at < data.size(); at += piece, piece = piece * 3 + 1)
      hasher.Add(data.constData() + at, qMin(piece, data.size() - at));
    QCOMPARE(hasher.Finish(), expected);
    QFile file(m_dir.filePath("hashed.bin"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(data) == data.size());
    file.close();
    QByteArray digest;
    QCOMPARE(Sha256OfFile(file.fileName(), &digest), QString());
    QCOMPARE(digest, expected);
  }

  void sha256OfUnreadable()
  {
    QByteArray digest = "untouched";
    QCOMPARE(Sha256OfFile(m_dir.filePath("absent.bin"), &digest), QString::fromLocal8Bit(std::strerror(ENOENT)));
    QCOMPARE(Sha256OfFile(m_dir.path(), &digest), QString::fromLocal8Bit(std::strerror(EISDIR)));
    QCOMPARE(digest, QByteArray("untouched"));
  }

  // Good digests in either case are read by the sha256 rows.
  void sha256HexRejected_data()
  {
    QTest::addColumn<QString>("text");
    const QString hex = "00112233445566778899aabbccddeeff0123456789abcdefABCDEF0123456789";
    QTest::newRow("63 digits") << hex.left(63);
    QTest::newRow("65 digits") << hex + "0";
    QTest::newRow("not hex") << QString(hex).replace(5, 1, "g");
    QTest::newRow("spaces") << " " + hex.left(62) + " ";
    QTest::newRow("full-width digit") << QString(hex).replace(0, 1, QChar(0xFF10));
  }
  void sha256HexRejected()
  {
    QFETCH(QString, text);
    QByteArray raw;
    QVERIFY(!ParseSha256Hex(text, &raw));
  }

  void verify_data()
  {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<QString>("reason");      // empty: the signature is good
    QTest::addColumn<QString>("comment");
    QTest::addColumn<qint64>("timestamp");    // -1: none
    const QString key = Read("a.pub");
    const QByteArray keyLine = Line(Read("a.pub"), 1);
    const QByteArray prehashed = Sign("a", "pre.minisig");
    const QByteArray legacy = Sign("a", "legacy.minisig", {"-l"});
    const QByteArray otherKey = Sign("b", "b.minisig");
    const QByteArray noTime = Sign("a", "notime.minisig", {"-t", "版本 2.0"});
    const QByteArray timeLater = Sign("a", "later.minisig", {"-t", "file:x\ttimestamp:1700000000"});
    const QByteArray badTime = Sign("a", "badtime.minisig", {"-t", "timestamp:+17"});
    for (const QByteArray& made : {prehashed, legacy, otherKey, noTime, timeLater, badTime})
      QVERIFY(!made.isEmpty());
    QCOMPARE(QByteArray::fromBase64(Line(prehashed, 1)).left(2) + QByteArray::fromBase64(Line(legacy, 1)).left(2),
             QByteArray("EDEd"));
    const auto row = [](const char* name, const QString& key, const QByteArray& data, const QByteArray& signature,
                        const QString& reason, const QString& comment = {}, qint64 timestamp = -1) {
      QTest::newRow(name) << key << data << signature << reason << comment << timestamp;
    };

    QByteArray changed = m_list;
    changed[10] = char(changed[10] ^ 1);
    for (const QByteArray& made : {prehashed, legacy}) {
      const bool isLegacy = made == legacy;
      const QString comment = Line(made, 2).mid(17);
      const auto time = QRegularExpression("^timestamp:(\\d+)\tfile:UpdList.xml").match(comment);
      QVERIFY(time.hasMatch());
      row(isLegacy ? "legacy, key line" : "prehashed, .pub file", isLegacy ? keyLine : key, m_list, made, "",
          comment, time.captured(1).toLongLong());
      row(isLegacy ? "legacy, data changed" : "prehashed, data changed", key, changed, made, "签名与更新列表内容不符");
    }
    row("CRLF files", QString(key).replace("\n", "\r\n"), m_list, QByteArray(noTime).replace("\n", "\r\n"), "",
        "版本 2.0");
    row("timestamp not first", key, m_list, timeLater, "", "file:x\ttimestamp:1700000000", 1700000000);
    row("timestamp not a number", key, m_list, badTime, "", "timestamp:+17");
    row("other key", key, m_list, otherKey, "签名所用的密钥与公钥不符");
    row("comment tampered", key, m_list, WithLine(prehashed, 2, Line(prehashed, 2) + " "), "可信注释的签名无效");

    const QString keyError = "公钥格式错误";
    const QByteArray keyBytes = QByteArray::fromBase64(keyLine);
    row("key: garbage", "RWQ not a key", m_list, prehashed, keyError);
    row("key: line twice", keyLine + "\n" + keyLine, m_list, prehashed, keyError);
    row("key: short", keyBytes.chopped(1).toBase64(), m_list, prehashed, keyError);
    row("key: other algorithm", ("ED" + keyBytes.mid(2)).toBase64(), m_list, prehashed, keyError);

    // The last significant base64 digit carries 4 unused bits; a lenient decoder ignores them.
    const QByteArray alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    QByteArray loose = Line(prehashed, 3);
    loose[85] = alphabet[alphabet.indexOf(loose[85]) ^ 1];
    const QByteArray body = QByteArray::fromBase64(Line(prehashed, 1)).replace(0, 2, "EE");
    const QString formatError = "签名文件格式错误";
    row("truncated", key, m_list, prehashed.left(prehashed.size() / 2), formatError);
    row("extra line", key, m_list, prehashed + "\n", formatError);
    row("oversized", key, m_list, WithLine(prehashed, 2, Line(prehashed, 2) + QByteArray(20000, 'x')), formatError);
    row("bad base64", key, m_list, WithLine(prehashed, 1, Line(prehashed, 1).replace(7, 1, "*")), formatError);
    row("loose base64", key, m_list, WithLine(prehashed, 3, loose), formatError);
    row("unknown algorithm", key, m_list, WithLine(prehashed, 1, body.toBase64()), formatError);
  }
  void verify()
  {
    QFETCH(QString, key);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, signature);
    QFETCH(QString, reason);
    QFETCH(qint64, timestamp);
    const MinisignResult result = VerifyMinisign(key, data, signature);
    QCOMPARE(result.reason, reason);
    QCOMPARE(result.ok, reason.isEmpty());
    QTEST(result.trustedComment, "comment");
    QCOMPARE(result.timestamp.value_or(-1), timestamp);
  }
};

QTEST_GUILESS_MAIN(Crypto)
#include "test_crypto.moc"
