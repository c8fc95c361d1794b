// Trusted releases through the real window: per-file sizes and hashes, files already up
// to date, and lists signed with the real minisign.
#include "Fixture.h"
#include "TestServer.h"
#include "engine/Install.h"
#include "frmUpdate/frmUpdate.h"
#include "modules/modPublic.h"
#include "modules/modSign.h"
#include "publish/Publish.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <sstream>

namespace {
const QString Offered = QStringLiteral("发现更新文件 ，点【更新】开始更新...");
const QString Done = QStringLiteral("更新完成！");

struct Pinned {
  QString name;
  QByteArray data;
};

// A list that pins every file by size and hash; sizeOf and hashOf may lie for one name.
QByteArray PinnedList(const QString& version, const QList<Pinned>& files, const QString& liar = QString(),
                      const QString& lie = QString())
{
  QString xml = QStringLiteral("<UpdateList><Version>%1</Version><Updata/><Files>").arg(version);
  for (const Pinned& file : files) {
    QString size = QString::number(file.data.size());
    QString hash = QString::fromLatin1(QCryptographicHash::hash(file.data, QCryptographicHash::Sha256).toHex());
    if (file.name == liar && !lie.isEmpty())
      (lie.size() == 64 ? hash : size) = lie;
    xml += QStringLiteral("<File Name=\"%1\" Ver=\"%2\" Size=\"%3\" Sha256=\"%4\"/>").arg(file.name, version, size, hash);
  }
  return (xml + QStringLiteral("</Files><RunApp>%1</RunApp></UpdateList>").arg(files.first().name)).toUtf8();
}

// Corrupts byte at of data (at < 0 counts from the end).
QByteArray Flipped(QByteArray data, int at)
{
  data[at < 0 ? data.size() + at : at] = char(data[at < 0 ? data.size() + at : at] ^ 0x20);
  return data;
}
}

Q_DECLARE_METATYPE(Pinned)

class TrustTest : public QObject {
  Q_OBJECT
  QTemporaryDir m_keys;
  QString m_publicKey;
  QString m_otherKey;
  ListTrust m_builtIn = BuiltInTrust();

private slots:
  void initTestCase()
  {
    QVERIFY2(!QStandardPaths::findExecutable("minisign").isEmpty(), "minisign is not installed");
    QVERIFY(RunMinisign(m_keys.path(), {"-G", "-W", "-p", "pub", "-s", "sec"}));
    QVERIFY(RunMinisign(m_keys.path(), {"-G", "-W", "-p", "other.pub", "-s", "other.sec"}));
    m_publicKey = QString::fromLatin1(ReadFile(m_keys.filePath("pub")).split('\n').value(1));
    m_otherKey = QString::fromLatin1(ReadFile(m_keys.filePath("other.pub")).split('\n').value(1));
    QVERIFY(m_publicKey.startsWith("RW") && m_otherKey.startsWith("RW"));
  }
  void cleanup()
  {
    qunsetenv("MERVO_PUBLIC_KEY");
    BuiltInTrust() = m_builtIn;
  }

  // Sizes and hashes in the list are checked as the file arrives; a mismatch installs nothing.
  void pinnedFilesAreChecked_data()
  {
    QTest::addColumn<QString>("served");      // what the server sends for b.bin
    QTest::addColumn<QString>("lie");          // what the list claims instead, if anything
    QTest::addColumn<QString>("reason");
    QTest::newRow("all as listed") << "right" << "" << "";
    QTest::newRow("one byte flipped") << "flipped" << "" << "文件校验失败：SHA-256 不符（应为 ";
    QTest::newRow("listed size wrong") << "right" << "2999" << "文件校验失败：大小不符（应为 2999 字节，实为 3000 字节）";
    QTest::newRow("no length, far longer than listed") << "endless" << "" << "文件校验失败：大小不符（应为 3000 字节，收到的已超过 3000 字节）";
  }
  void pinnedFilesAreChecked()
  {
    QFETCH(QString, served);
    QFETCH(QString, lie);
    QFETCH(QString, reason);
    UpdaterRun run;
    run.folder.Write("a.bin", "old a");
    run.folder.Write("b.bin", "old b");
    const QByteArray b(3000, 'b');
    run.server.File("UpdList.xml", PinnedList("2", {{"a.bin", "new a"}, {"b.bin", b}}, "b.bin", lie));
    run.server.File("a.bin", "new a");
    run.server.File("b.bin", served == "flipped" ? Flipped(b, 1500) : b);
    if (served == "endless") {
      Reply endless;
      endless.streamBytes = 64 << 20;
      run.server.Route("/mrvo/b.bin", endless);
    }
    auto w = run.Start();
    QTRY_COMPARE_WITH_TIMEOUT(Q(w->StatusText()), Offered, 5000);
    w->cmdUpdate->Click();
    QVERIFY(Ended(*w));
    if (reason.isEmpty()) {
      QCOMPARE(Q(w->StatusText()), Done);
      QCOMPARE(run.folder.Read("b.bin"), b);
      return;
    }
    QVERIFY2(run.log.Texts().value(0).startsWith("文件下载失败：b.bin\r\n" + reason), qPrintable(run.log.Texts().value(0)));
    QCOMPARE(run.folder.Read("a.bin"), QByteArray("old a"));
    QCOMPARE(run.folder.Read("b.bin"), QByteArray("old b"));
    QCOMPARE(run.folder.Files(), (QStringList{"NewUpdList.xml", "a.bin", "b.bin"}));
    QTRY_VERIFY_WITH_TIMEOUT(!run.server.Streaming(), 5000);
    QVERIFY(run.server.Streamed() < 16 << 20);
  }

  // A pinned file cut at byte 1000 keeps its ".tmp"; the next run asks for the rest when it
  // may, and installs the file whole in every case.
  void cutDownloadsContinue_data()
  {
    QTest::addColumn<QString>("then");  // what is different at the next run
    QTest::addColumn<bool>("rangeAsked");
    QTest::addColumn<int>("sent");      // body bytes of b.bin the server sends then
    QTest::newRow("the rest as a range") << "" << true << 2000;
    QTest::newRow("server ignores ranges") << "no ranges" << true << 3000;
    QTest::newRow("file changed on the server") << "other etag" << true << 3000;
    QTest::newRow("list pins another hash") << "other hash" << false << 3000;
    QTest::newRow("kept bytes altered") << "altered" << true << 2000 + 3000;
    QTest::newRow("crash in the download") << "crash" << true << 2000;
    QTest::newRow("crash after the last byte") << "crash, whole" << false << 0;
  }
  void cutDownloadsContinue()
  {
    QFETCH(QString, then);
    QFETCH(bool, rangeAsked);
    QFETCH(int, sent);
    UpdaterRun run;
    const QByteArray b = Bytes(3000, 7), other = Bytes(3000, 8);
    run.server.File("UpdList.xml", PinnedList("2", {{"b.bin", b}}));
    Reply reply = Reply::Ok(b);
    reply.headers << qMakePair(QByteArray("ETag"), QByteArray("\"e1\""));
    if (then.startsWith("crash")) {
      // What a run that died after writing 1000 bytes leaves.
      const std::unique_ptr<engine::FileOps> ops = engine::SystemFileOps();
      engine::InstallEngine install(run.folder.Path().toStdString(), *ops);
      const QByteArray hash = QCryptographicHash::hash(b, QCryptographicHash::Sha256).toHex();
      QVERIFY(install.BeginDownload({"b.bin"}, {{"b.bin", 3000, hash.toStdString(), "\"e1\""}}).empty());
      run.folder.Write("b.bin.tmp", then.endsWith("whole") ? b : b.left(1000));
    } else {
      reply.closeAfter = 1000;
      run.server.Route("/mrvo/b.bin", reply);
      auto w = run.Start();
      QTRY_COMPARE_WITH_TIMEOUT(Q(w->StatusText()), Offered, 5000);
      w->cmdUpdate->Click();
      QVERIFY(Ended(*w));
      QCOMPARE(run.folder.Read("b.bin.tmp"), b.left(1000));
    }
    if (then == "altered")
      run.folder.Write("b.bin.tmp", Flipped(b.left(1000), 10));
    const QByteArray served = then == "other hash" ? other : b;
    if (then == "other hash")
      run.server.File("UpdList.xml", PinnedList("3", {{"b.bin", other}}));
    reply = Reply::Ok(served);
    reply.headers << qMakePair(QByteArray("ETag"), QByteArray(then == "other etag" ? "\"e2\"" : "\"e1\""));
    reply.ranges = then != "no ranges";
    run.server.Route("/mrvo/b.bin", reply);
    auto w = run.Start();
    QTRY_COMPARE_WITH_TIMEOUT(Q(w->StatusText()), Offered, 5000);
    const qint64 before = run.server.Sent();
    const qsizetype firstGet = run.server.Requests().size();
    w->cmdUpdate->Click();
    QVERIFY(Ended(*w));
    QCOMPARE(Q(w->StatusText()), Done);
    QCOMPARE(run.folder.Read("b.bin"), served);
    QCOMPARE(run.folder.Files(), QStringList{"b.bin"});
    QCOMPARE(run.server.Sent() - before, qint64(sent));
    const QByteArray head = run.server.RequestHeads().value(firstGet);
    QCOMPARE(head.contains("\nRange: bytes=1000-") && head.contains("If-Range: \"e1\""), rangeAsked);
  }

  // A file that already matches its listed hash is neither requested nor touched.
  void unchangedFilesAreNotDownloaded()
  {
    UpdaterRun run;
    run.folder.Write("same.bin", "same");
    run.folder.Write("new.bin", "old");
    run.server.File("UpdList.xml", PinnedList("2", {{"same.bin", "same"}, {"new.bin", "new"}}));
    run.server.File("same.bin", "same");
    run.server.File("new.bin", "new");
    auto w = run.Start();
    QTRY_COMPARE_WITH_TIMEOUT(Q(w->StatusText()), Offered, 5000);
    const QDateTime before = QFileInfo(run.folder.Path() + "/same.bin").lastModified();
    w->cmdUpdate->Click();
    QVERIFY(Ended(*w));
    QCOMPARE(Q(w->StatusText()), Done);
    QCOMPARE(run.server.Count("GET", "/mrvo/same.bin"), 0);
    QCOMPARE(run.server.Count("GET", "/mrvo/new.bin"), 1);
    QCOMPARE(Q(w->lvUpdateList.RowText(1, 3)), QStringLiteral("100%"));
    QCOMPARE(run.folder.Read("new.bin"), QByteArray("new"));
    QCOMPARE(QFileInfo(run.folder.Path() + "/same.bin").lastModified(), before);
    QCOMPARE(run.folder.Files(), (QStringList{"new.bin", "same.bin"}));
  }

  // With a key built in, only a list that the key's owner signed for this name, recently enough,
  // not yet expired, and that pins every file, is acted on; the environment cannot change the key.
  void signedLists_data()
  {
    QTest::addColumn<QString>("trouble");
    QTest::addColumn<QString>("comment");  // the trusted comment signed; "": minisign's own
    QTest::addColumn<QString>("reason");   // after "更新列表签名无效："; "" when the update goes through
    const QString at = QStringLiteral("timestamp:2000000000 file:UpdList.xml");
    QTest::newRow("good") << "" << "" << "";
    QTest::newRow("good, legacy form") << "legacy" << "" << "";
    QTest::newRow("good, expires later") << "" << at + " expires:4000000000" << "";
    QTest::newRow("list changed after signing") << "changed" << "" << "签名与更新列表内容不符";
    QTest::newRow("signed by another key") << "other key" << "" << "签名所用的密钥与公钥不符";
    QTest::newRow("no signature") << "missing" << "" << "无法获取签名文件（服务器返回 HTTP 404 Not Found）";
    QTest::newRow("truncated signature") << "truncated" << "" << "签名文件格式错误";
    QTest::newRow("Size without Sha256") << "no hash" << "" << "列表没有为每个文件给出 Size 和 Sha256";
    QTest::newRow("Sha256 without Size") << "no size" << "" << "列表没有为每个文件给出 Size 和 Sha256";
    QTest::newRow("older than the last one used") << "replayed" << "" << "更新列表比上次使用的旧";
    QTest::newRow("older than the updater") << "" << "timestamp:999999999 file:UpdList.xml" << "更新列表签名早于本程序认可的最早时间";
    QTest::newRow("no timestamp") << "" << "file:UpdList.xml" << "签名中没有时间戳，无法确认更新列表不是旧的";
    QTest::newRow("record garbled") << "garbled" << "" << "无法读取签名时间记录 MervoUpdate.state";
    QTest::newRow("expired") << "" << at + " expires:1500000000" << "更新列表已过期";
    QTest::newRow("signed for another file") << "" << "timestamp:2000000000\tfile:Other.xml" << "签名针对的是 Other.xml，不是 UpdList.xml";
    QTest::newRow("environment empties the key") << "env empty" << "" << "无法获取签名文件（服务器返回 HTTP 404 Not Found）";
    QTest::newRow("environment names another key") << "env other" << "" << "";
    // Refused by the name check after the signature held: the time must not move either.
    QTest::newRow("a name the updater refuses") << "bad name" << "" << "更新列表中的文件名无效：";
  }
  void signedLists()
  {
    QFETCH(QString, trouble);
    QFETCH(QString, comment);
    QFETCH(QString, reason);
    UpdaterRun run;
    run.folder.Write("a.bin", "old a");
    QByteArray list = PinnedList("2", {{trouble == "bad name" ? "MervoUpdate.state" : "a.bin", "new a"}});
    if (trouble == "no hash" || trouble == "no size")
      list = QString::fromUtf8(list).remove(QRegularExpression(trouble == "no hash" ? " Sha256=\"\\w*\"" : " Size=\"\\d*\"")).toUtf8();
    QTemporaryDir release;
    QVERIFY(WriteFile(release.filePath("UpdList.xml"), list));
    const QString key = m_keys.filePath(trouble == "other key" ? "other.sec" : "sec");
    QStringList sign{"-S", "-s", key, "-m", release.filePath("UpdList.xml")};
    if (trouble == "legacy")
      sign << "-l";
    if (!comment.isEmpty())
      sign << "-t" << comment;
    QVERIFY(RunMinisign(release.path(), sign));
    QByteArray signature = ReadFile(release.filePath("UpdList.xml.minisig"));
    if (trouble == "truncated")
      signature.truncate(signature.size() / 2);
    if (trouble == "replayed" || trouble == "garbled")
      run.folder.Write("MervoUpdate.state", trouble == "replayed" ? "timestamp=4000000000\n" : "timestamp=4000000000x\n");
    const QByteArray stateBefore = run.folder.Read("MervoUpdate.state");
    run.server.File("UpdList.xml", trouble == "changed" ? Flipped(list, -20) : list);
    if (trouble != "missing" && trouble != "env empty")
      run.server.File("UpdList.xml.minisig", signature);
    run.server.File("a.bin", "new a");
    BuiltInTrust() = {m_publicKey.toStdString(), 1000000000};
    if (trouble.startsWith("env"))
      qputenv("MERVO_PUBLIC_KEY", trouble == "env other" ? m_otherKey.toLatin1() : QByteArray());
    auto w = run.Start();

    if (reason.isEmpty()) {
      QTRY_COMPARE_WITH_TIMEOUT(Q(w->StatusText()), Offered, 5000);
      w->cmdUpdate->Click();
      QVERIFY(Ended(*w));
      QCOMPARE(Q(w->StatusText()), Done);
      QCOMPARE(run.folder.Read("a.bin"), QByteArray("new a"));
      // The accepted signature's time is remembered for the next run.
      QVERIFY(run.folder.Read("MervoUpdate.state").startsWith("timestamp="));
      return;
    }
    if (trouble == "bad name") {
      QTRY_VERIFY_WITH_TIMEOUT(Q(w->StatusText()).startsWith(reason), 5000);
      QVERIFY(!run.folder.Exists("MervoUpdate.state"));
      return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(w->IsUnloaded(), 5000);
    QCOMPARE(run.log.Texts().value(0), "更新列表签名无效：" + reason);
    QVERIFY(!run.folder.Exists("NewUpdList.xml"));
    QCOMPARE(run.folder.Read("a.bin"), QByteArray("old a"));
    QCOMPARE(run.folder.Read("MervoUpdate.state"), stateBefore);
    for (const QString& request : run.server.Requests())
      QVERIFY2(request.contains("/UpdList.xml"), qPrintable(request));
  }

  // What a publisher makes with MervoPublish and signs with minisign, the updater installs.
  void publishedReleaseInstalls()
  {
    QTemporaryDir release;
    const QList<QPair<QString, QByteArray>> files{
        {"mervo", "#!/bin/sh\n"}, {"setup.ini", "[Mervo]\n版本=2\n"}, {"sub/数据 文件.txt", QByteArray(70000, 'z')}};
    for (const auto& [name, data] : files) {
      QDir().mkpath(QFileInfo(release.filePath(name)).path());
      QFile file(release.filePath(name));
      QVERIFY(file.open(QIODevice::WriteOnly) && file.write(data) == data.size());
    }
    std::ostringstream outStream, errStream;
    QCOMPARE(RunPublish({"MervoPublish", "make", "--version", "2", "--run-app", "mervo", "--expires-days", "30",
                         release.path().toStdString()}, outStream, errStream),
             0);
    const QString out = QString::fromStdString(outStream.str());
    // Signed with the trusted comment of the command that make prints.
    const QRegularExpressionMatch printed =
        QRegularExpression("^minisign -S -t \"(timestamp:(\\d+) file:UpdList.xml expires:(\\d+))\" ").match(out);
    QVERIFY2(printed.hasMatch(), qPrintable(out));
    QCOMPARE(printed.captured(3).toLongLong() - printed.captured(2).toLongLong(), 30 * 86400);
    QVERIFY(RunMinisign(release.path(), {"-S", "-s", m_keys.filePath("sec"), "-t", printed.captured(1), "-m",
                                         release.filePath("UpdList.xml")}));

    UpdaterRun run;
    run.folder.Write("setup.ini", "[Mervo]\n版本=1\n");
    for (const QString& name : {"UpdList.xml", "UpdList.xml.minisig"})
      run.server.File(name.toLatin1(), ReadFile(release.filePath(name)));
    for (const auto& [name, data] : files)
      run.server.Route(QByteArray::fromStdString("/mrvo/" + FileUrl(std::string(), name.toStdString())), Reply::Ok(data));
    qputenv("MERVO_PUBLIC_KEY", m_publicKey.toLatin1());
    auto w = run.Start();
    QTRY_COMPARE_WITH_TIMEOUT(Q(w->StatusText()), Offered, 5000);
    w->cmdUpdate->Click();
    QVERIFY(Ended(*w));
    QCOMPARE(Q(w->StatusText()), Done);
    for (const auto& [name, data] : files)
      QCOMPARE(run.folder.Read(name), data);
  }

  void malformedPins_data()
  {
    QTest::addColumn<QString>("attributes");
    QTest::addColumn<QString>("reason");
    QTest::newRow("size not a number") << "Size=\"12k\"" << "Files 的第 1 个子节点的 Size 属性无效";
    QTest::newRow("negative size") << "Size=\"-1\"" << "Files 的第 1 个子节点的 Size 属性无效";
    QTest::newRow("hash too short") << "Sha256=\"abc\"" << "Files 的第 1 个子节点的 Sha256 属性无效";
  }
  void malformedPins()
  {
    QFETCH(QString, attributes);
    QFETCH(QString, reason);
    UpdaterRun run;
    run.server.File("UpdList.xml", QStringLiteral("<L><Version>2</Version><Updata/><Files><F Name=\"a\" Ver=\"1\" %1/>"
                                                  "</Files><RunApp>a</RunApp></L>").arg(attributes).toUtf8());
    run.server.File("a", "a");
    auto w = run.Start();
    QTRY_COMPARE_WITH_TIMEOUT(run.log.shown.size(), 1, 5000);
    QCOMPARE(run.log.Texts().first(), "更新列表格式错误：" + reason);
    QCOMPARE(run.server.Count("HEAD", "/mrvo/a"), 0);
  }
};

QTEST_MAIN(TrustTest)
#include "test_trust.moc"
