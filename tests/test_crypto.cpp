// SHA-256 against known vectors and Qt's own hash; minisign checks against the minisign tool.
#include "Fixture.h"
#include "platform/Crypto.h"

#include <QCryptographicHash>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

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
  const QByteArray m_list = QString("<UpdList><App Version=\"2.0\" Notes=\"修复\"/></UpdList>\n").toUtf8();

  bool Minisign(const QStringList& args) const { return RunMinisign(m_dir.path(), args); }
  QByteArray Read(const QString& name) const { return ReadFile(m_dir.filePath(name)); }

  // The .minisig bytes of UpdList.xml signed with key's secret key under comment; empty when minisign failed.
  QByteArray Sign(const QString& key, const QString& name, const QString& comment, const QStringList& extra = {}) const
  {
    const QStringList args{"-S", "-s", key + ".sec", "-m", "UpdList.xml", "-x", name, "-t", comment};
    return Minisign(args + extra) ? Read(name) : QByteArray();
  }

private slots:
  void initTestCase()
  {
    QVERIFY2(!QStandardPaths::findExecutable("minisign").isEmpty(), "minisign is needed to check signatures against the real tool");
    QVERIFY(m_dir.isValid());
    QFile list(m_dir.filePath("UpdList.xml"));
    QVERIFY(list.open(QIODevice::WriteOnly) && list.write(m_list) == m_list.size());
    list.close();
    for (const QString key : {"a", "b"})
      QVERIFY(Minisign({"-G", "-W", "-p", key + ".pub", "-s", key + ".sec"}));
  }

  void sha256()
  {
    QByteArray large(3 * 1024 * 1024 + 5, '\0');
    for (qsizetype i = 0; i < large.size(); ++i)
      large[i] = char((i * 2654435761u) >> 13);
    // Known vectors, the last one two blocks long; then three MiB and a bit against Qt's own SHA-256.
    const QList<std::pair<QByteArray, QString>> cases{
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {large, QCryptographicHash::hash(large, QCryptographicHash::Sha256).toHex()}};
    Sha256Hasher hasher;
    for (const auto& [data, hex] : cases) {
      std::string raw;
      QVERIFY(ParseSha256Hex(hex.toStdString(), &raw));
      const QByteArray expected = QByteArray::fromStdString(raw);
      hasher.Add(data.constData(), data.size());
      QCOMPARE(QByteArray::fromStdString(hasher.Finish()), expected);
      // Again in growing odd pieces: Finish must have started the hasher over.
      for (qint64 at = 0, piece = 1; at < data.size(); at += piece, piece = piece * 3 + 1)
        hasher.Add(data.constData() + at, qMin(piece, data.size() - at));
      QCOMPARE(QByteArray::fromStdString(hasher.Finish()), expected);
      QFile file(m_dir.filePath("hashed.bin"));
      QVERIFY(file.open(QIODevice::WriteOnly) && file.write(data) == data.size());
      file.close();
      std::string digest;
      QCOMPARE(QString::fromStdString(Sha256OfFile(file.fileName().toStdString(), &digest)), QString());
      QCOMPARE(QByteArray::fromStdString(digest), expected);
      // Following the file: its first third read back from it, the rest handed over faster than hashed.
      Sha256Worker worker;
      worker.FollowFile(file.fileName().toStdString(), data.size() / 3);
      for (qint64 at = data.size() / 3; at < data.size(); at += 4096) {
        std::string block = data.mid(at, 4096).toStdString();
        worker.Add(block);
      }
      QCOMPARE(QByteArray::fromStdString(worker.Finish()), expected);
    }
  }

  void verify()
  {
    const QString key = Read("a.pub");
    const QString first = "timestamp:1600000000\tfile:UpdList.xml";
    const QString later = "file:UpdList.xml\ttimestamp:1700000000";
    const QByteArray prehashed = Sign("a", "pre.minisig", first);
    const QByteArray legacy = Sign("a", "legacy.minisig", later, {"-l"});
    const QByteArray otherKey = Sign("b", "b.minisig", first);
    const QByteArray noTime = Sign("a", "notime.minisig", "版本 2.0");
    QCOMPARE(QByteArray::fromBase64(Line(prehashed, 1)).left(2) + QByteArray::fromBase64(Line(legacy, 1)).left(2),
             QByteArray("EDEd"));
    QVERIFY(!otherKey.isEmpty() && !noTime.isEmpty());
    // reason "": the signature must be good, with that comment and timestamp (-1: none).
    const auto expect = [](const char* what, const QString& key, const QByteArray& data, const QByteArray& signature,
                           const QString& reason, const QString& comment = {}, qint64 timestamp = -1) {
      const MinisignResult r = VerifyMinisign(key.toStdString(), data.toStdString(), signature.toStdString());
      const QString rReason = QString::fromStdString(r.reason), rComment = QString::fromStdString(r.trustedComment);
      const QString got = QString("%1: \"%2\" \"%3\" %4").arg(what, rReason, rComment).arg(r.timestamp.value_or(-1));
      QVERIFY2(rReason == reason && r.ok == reason.isEmpty() && rComment == comment
                   && r.timestamp.value_or(-1) == timestamp, qPrintable(got));
    };
    QByteArray changed = m_list;
    changed[10] = char(changed[10] ^ 1);
    expect("prehashed, .pub file", key, m_list, prehashed, "", first, 1600000000);
    expect("legacy, key line, timestamp not first", Line(key.toUtf8(), 1), m_list, legacy, "", later, 1700000000);
    expect("data changed", key, changed, prehashed, "签名与更新列表内容不符");
    // Files passed through a Windows editor or an ASCII-mode upload.
    const QByteArray crlf = QByteArray(noTime).replace("\n", "\r\n");
    expect("CRLF files, no timestamp", QString(key).replace("\n", "\r\n"), m_list, crlf, "", "版本 2.0");
    expect("other key", key, m_list, otherKey, "签名所用的密钥与公钥不符");
    expect("comment tampered", key, m_list, WithLine(prehashed, 2, Line(prehashed, 2) + " "), "可信注释的签名无效");
    expect("garbage key", "RWQ not a key", m_list, prehashed, "公钥格式错误");
    expect("truncated", key, m_list, prehashed.left(prehashed.size() / 2), "签名文件格式错误");
    // Signed by a tool with another algorithm: not to be taken for a changed list.
    const QByteArray other = QByteArray::fromBase64(Line(prehashed, 1)).replace(0, 2, "EE").toBase64();
    expect("unknown algorithm", key, m_list, WithLine(prehashed, 1, other), "签名文件格式错误");
  }
};

QTEST_GUILESS_MAIN(Crypto)
#include "test_crypto.moc"
