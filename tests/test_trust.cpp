// Trusted releases through the real window: per-file sizes and hashes, files already up
// to date, and lists signed with the real minisign.
#include "Fixture.h"
#include "TestServer.h"
#include "frmUpdate/frmUpdate.h"
#include "modules/modPublic.h"
#include "publish/Publish.h"

#include <QCryptographicHash>
#include <QProcess>
#include <QPushButton>
#include <QTreeWidget>
#include <QStandardPaths>
#include <QtTest>

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

private slots:
  void initTestCase()
  {
    QVERIFY2(!QStandardPaths::findExecutable("minisign").isEmpty(), "minisign is not installed");
    QVERIFY(RunMinisign(m_keys.path(), {"-G", "-W", "-p", "pub", "-s", "sec"}));
    QVERIFY(RunMinisign(m_keys.path(), {"-G", "-W", "-p", "other.pub", "-s", "other.sec"}));
    m_publicKey = QString::fromLatin1(ReadFile(m_keys.filePath("pub")).split('\n').value(1));
    QVERIFY(m_publicKey.startsWith("RW"));
  }
  void cleanup() { qunsetenv("MERVO_PUBLIC_KEY"); }

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
    QTRY_COMPARE_WITH_TIMEOUT(w->StatusText(), Offered, 5000);
    QTest::mouseClick(w->cmdUpdate, Qt::LeftButton);
    QVERIFY(Ended(*w));
    if (reason.isEmpty()) {
      QCOMPARE(w->StatusText(), Done);
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
    QTRY_COMPARE_WITH_TIMEOUT(w->StatusText(), Offered, 5000);
    const QDateTime before = QFileInfo(run.folder.Path() + "/same.bin").lastModified();
    QTest::mouseClick(w->cmdUpdate, Qt::LeftButton);
    QVERIFY(Ended(*w));
    QCOMPARE(w->StatusText(), Done);
    QCOMPARE(run.server.Count("GET", "/mrvo/same.bin"), 0);
    QCOMPARE(run.server.Count("GET", "/mrvo/new.bin"), 1);
    QCOMPARE(w->lvUpdateList->topLevelItem(0)->text(3), QStringLiteral("100%"));
    QCOMPARE(run.folder.Read("new.bin"), QByteArray("new"));
    QCOMPARE(QFileInfo(run.folder.Path() + "/same.bin").lastModified(), before);
    QCOMPARE(run.folder.Files(), (QStringList{"new.bin", "same.bin"}));
  }

  // With a key configured, only a list that the key's owner signed, recently enough,
  // and that pins every file, is acted on.
  void signedLists_data()
  {
    QTest::addColumn<QString>("trouble");
    QTest::addColumn<QString>("reason");   // after "更新列表签名无效："; "" when the update goes through
    QTest::newRow("good") << "" << "";
    QTest::newRow("good, legacy form") << "legacy" << "";
    QTest::newRow("list changed after signing") << "changed" << "签名与更新列表内容不符";
    QTest::newRow("signed by another key") << "other key" << "签名所用的密钥与公钥不符";
    QTest::newRow("no signature") << "missing" << "无法获取签名文件（服务器返回 HTTP 404 Not Found）";
    QTest::newRow("truncated signature") << "truncated" << "签名文件格式错误";
    QTest::newRow("files not pinned") << "unpinned" << "列表没有为每个文件给出 Size 和 Sha256";
    QTest::newRow("older than the last one used") << "replayed" << "更新列表比上次使用的旧";
  }
  void signedLists()
  {
    QFETCH(QString, trouble);
    QFETCH(QString, reason);
    UpdaterRun run;
    run.folder.Write("a.bin", "old a");
    const QByteArray list = trouble == "unpinned" ? UpdateList("2", {}, {{"a.bin", "2"}}, "a.bin")
                                                  : PinnedList("2", {{"a.bin", "new a"}});
    QTemporaryDir release;
    QFile listFile(release.filePath("UpdList.xml"));
    QVERIFY(listFile.open(QIODevice::WriteOnly) && listFile.write(list) == list.size());
    listFile.close();
    const QString key = m_keys.filePath(trouble == "other key" ? "other.sec" : "sec");
    QStringList sign{"-S", "-s", key, "-m", listFile.fileName()};
    if (trouble == "legacy")
      sign << "-l";
    QVERIFY(RunMinisign(release.path(), sign));
    QByteArray signature = ReadFile(listFile.fileName() + ".minisig");
    if (trouble == "truncated")
      signature.truncate(signature.size() / 2);
    if (trouble == "replayed")
      run.folder.Write("MervoUpdate.state", "timestamp=4000000000\n");
    run.server.File("UpdList.xml", trouble == "changed" ? Flipped(list, -20) : list);
    if (trouble != "missing")
      run.server.File("UpdList.xml.minisig", signature);
    run.server.File("a.bin", "new a");
    qputenv("MERVO_PUBLIC_KEY", m_publicKey.toLatin1());
    auto w = run.Start();

    if (reason.isEmpty()) {
      QTRY_COMPARE_WITH_TIMEOUT(w->StatusText(), Offered, 5000);
      QTest::mouseClick(w->cmdUpdate, Qt::LeftButton);
      QVERIFY(Ended(*w));
      QCOMPARE(w->StatusText(), Done);
      QCOMPARE(run.folder.Read("a.bin"), QByteArray("new a"));
      // The accepted signature's time is remembered for the next run.
      QVERIFY(run.folder.Read("MervoUpdate.state").startsWith("timestamp="));
      return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(w->IsUnloaded(), 5000);
    QCOMPARE(run.log.Texts().value(0), "更新列表签名无效：" + reason);
    QVERIFY(!run.folder.Exists("NewUpdList.xml"));
    QCOMPARE(run.folder.Read("a.bin"), QByteArray("old a"));
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
    QString out, err;
    QTextStream outStream(&out), errStream(&err);
    QCOMPARE(RunPublish({"MervoPublish", "make", "--version", "2", "--run-app", "mervo", release.path()}, outStream,
                        errStream),
             0);
    QVERIFY(RunMinisign(release.path(), {"-S", "-s", m_keys.filePath("sec"), "-m", release.filePath("UpdList.xml")}));

    UpdaterRun run;
    run.folder.Write("setup.ini", "[Mervo]\n版本=1\n");
    for (const QString& name : {"UpdList.xml", "UpdList.xml.minisig"})
      run.server.File(name.toLatin1(), ReadFile(release.filePath(name)));
    for (const auto& [name, data] : files)
      run.server.Route("/mrvo/" + FileUrl(QString(), name).toLatin1(), Reply::Ok(data));
    qputenv("MERVO_PUBLIC_KEY", m_publicKey.toLatin1());
    auto w = run.Start();
    QTRY_COMPARE_WITH_TIMEOUT(w->StatusText(), Offered, 5000);
    QTest::mouseClick(w->cmdUpdate, Qt::LeftButton);
    QVERIFY(Ended(*w));
    QCOMPARE(w->StatusText(), Done);
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
