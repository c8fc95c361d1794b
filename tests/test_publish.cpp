// The publisher's tool, run in-process: lists made from real folders and read back
// through the updater's own routines, and checks against a server in the same process.
#include "Fixture.h"
#include "TestServer.h"
#include "modules/modXml.h"
#include "publish/Publish.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <sstream>

namespace {
struct Run {
  int status;
  QString out, err;
};

Run Publish(const QStringList& arguments)
{
  std::vector<std::string> argv{"MervoPublish"};
  for (const QString& argument : arguments)
    argv.push_back(argument.toStdString());
  std::ostringstream out, err;
  const int status = RunPublish(argv, out, err);
  return {status, QString::fromStdString(out.str()), QString::fromStdString(err.str())};
}

// The request target of a file ("/" between folders), percent-encoded per segment as a browser would.
QByteArray Served(const QString& name)
{
  QByteArray path = "/mrvo";
  for (const QString& segment : name.split(u'/'))
    path += '/' + QUrl::toPercentEncoding(segment);
  return path;
}

// The files of the list at path, read as the updater reads them.
QList<ListedFile> ListedFiles(const QString& path)
{
  XmlDocumentPtr document;
  QList<ListedFile> files;
  std::string reason;
  if (LoadXml(path.toStdString(), document, &reason)) {
    const XmlNode node = RequireNode(*document, "Files");
    for (int i = 0; i < node.ChildCount(); ++i)
      files << ReadListedFile(node.Child(i), i);
  }
  return files;
}

// The release notes of the list at path, read as the updater reads them.
QStringList Notes(const QString& path)
{
  XmlDocumentPtr document;
  std::string reason;
  QStringList notes;
  if (LoadXml(path.toStdString(), document, &reason)) {
    const XmlNode updata = document->SelectSingleNode("Updata");
    for (int i = 0; i < updata.ChildCount(); ++i)
      notes << QString::fromStdString(updata.Child(i).Attribute("Info").value_or("absent"));
  }
  return notes;
}
}

class Publisher : public QObject {
  Q_OBJECT
  MessageLog m_log;
  QTemporaryDir m_dir;
  QString m_release;
  QHash<QString, QByteArray> m_files;   // the release as served, "/" between folders

  Run Make(const QString& folder, const QStringList& extra = {})
  {
    return Publish(QStringList{"make", "--version", "1.1", "--run-app", "mervo"} + extra + QStringList{folder});
  }
  // Serves the release and the list made in it.
  void Serve(TestServer& server)
  {
    for (auto it = m_files.begin(); it != m_files.end(); ++it)
      server.Route(Served(it.key()), Reply::Ok(it.value()));
    server.File("UpdList.xml", ReadFile(m_release + "/UpdList.xml"));
  }

private slots:
  void initTestCase()
  {
    QVERIFY2(!QStandardPaths::findExecutable("minisign").isEmpty(), "minisign is needed to sign lists as publishers do");
    QVERIFY(RunMinisign(m_dir.path(), {"-G", "-W", "-p", "a.pub", "-s", "a.sec"}));
    m_release = m_dir.filePath("release");
    m_files = {{"mervo", "#!/bin/sh\n"}, {"sub/a.dll", Bytes(3000, 1)}, {"sub/deeper/c.bin", Bytes(200000, 2)},
               {"数据 文件.txt", "<&\"数据\">"}, {"empty.txt", ""}, {"big.bin", Bytes(5 * 1024 * 1024, 3)},
               {"sub/UpdList.xml", "only the top folder's list is skipped"}, {"a&b'ｅ", "1"}, {"a&b'𝒳", "2"}};
    for (auto it = m_files.begin(); it != m_files.end(); ++it)
      QVERIFY(WriteFile(m_release + '/' + it.key(), it.value()));
    QVERIFY(WriteFile(m_release + "/UpdList.xml.minisig", "stale"));
    QVERIFY(QFile::link("sub/a.dll", m_release + "/alias.dll"));
    m_files.insert("alias.dll", m_files["sub/a.dll"]);
    QVERIFY(WriteFile(m_dir.filePath("outside.txt"), "not part of any release"));
  }

  // The list names every file of the release as it is, and the notes; check then finds a file changed on the server.
  void makeThenCheck()
  {
    QVERIFY(WriteFile(m_dir.filePath("notes"), "\xEF\xBB\xBF first & <second> \"q\"\r\n\r\n\ttab\there\n"));
    Run run = Make(m_release, {"--notes", m_dir.filePath("notes")});
    QCOMPARE(run.status, 0);
    QCOMPARE(run.err, QString());
    QCOMPARE(Notes(m_release + "/UpdList.xml"), QStringList({"first & <second> \"q\"", "tab\there"}));
    QStringList names;
    for (const ListedFile& file : ListedFiles(m_release + "/UpdList.xml")) {
      const QString name = QString::fromStdString(file.name);
      const QByteArray data = m_files.value(QString(name).replace('\\', '/'), "absent");
      QCOMPARE(file.size, data.size());
      QCOMPARE(QByteArray::fromStdString(file.sha256), QCryptographicHash::hash(data, QCryptographicHash::Sha256));
      QCOMPARE(QString::fromStdString(file.ver), QString("1.1"));
      names << name;
    }
    QStringList expected;
    for (const QString& name : m_files.keys())
      expected << QString(name).replace('/', '\\');
    std::sort(expected.begin(), expected.end());
    QCOMPARE(names, expected);

    TestServer server;
    Serve(server);
    run = Publish({"check", server.BaseUrl()});
    QCOMPARE(run.status, 0);
    QVERIFY2(run.out.endsWith("10 files, 0 problems\n") && run.err.isEmpty(), qPrintable(run.out + run.err));
    // The byte changed lies in the last piece the server sends.
    QByteArray changed = m_files["sub/deeper/c.bin"];
    changed[changed.size() - 1] = char(changed.back() ^ 1);
    server.Route(Served("sub/deeper/c.bin"), Reply::Ok(changed));
    run = Publish({"check", server.BaseUrl()});
    QCOMPARE(run.status, 1);
    QVERIFY2(run.out.split('\n').contains("MISMATCH sub\\deeper\\c.bin: sha256 differs"), qPrintable(run.out));
  }

  void makeRefuses_data()
  {
    QTest::addColumn<QString>("entry");    // added to a release holding only "mervo"
    QTest::addColumn<QString>("linkTo");   // empty: entry is a file
    QTest::addColumn<QString>("runApp");
    QTest::addColumn<QString>("named");    // what the message must name
    QTest::newRow("control character") << "sub/bad\x01name" << "" << "mervo" << "sub/bad<U+0001>name";
    QTest::newRow("link out of the folder") << "out.dll" << m_dir.filePath("outside.txt") << "mervo" << "out.dll";
    QTest::newRow("the updater's own file") << "MervoUpdate.state" << "" << "mervo" << "MervoUpdate.state";
    QTest::newRow("names differ only in letter case") << "MERVO" << "" << "mervo" << "\"MERVO\" and \"mervo\"";
    QTest::newRow("run app not in the release") << "lib.so" << "" << "mervo.exe" << "mervo.exe";
  }
  void makeRefuses()
  {
    QFETCH(QString, entry);
    QFETCH(QString, linkTo);
    QFETCH(QString, named);
    QTemporaryDir folder;
    QVERIFY(WriteFile(folder.filePath("mervo"), "x"));
    if (linkTo.isEmpty())
      QVERIFY(WriteFile(folder.filePath(entry), "x"));
    else
      QVERIFY(QFile::link(linkTo, folder.filePath(entry)));
    QFETCH(QString, runApp);
    const Run run = Publish({"make", "--version", "2", "--run-app", runApp, folder.path()});
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains(named) && run.err.count('\n') == 1 && run.out.isEmpty(), qPrintable(run.err));
    QVERIFY(!QFile::exists(folder.filePath("UpdList.xml")));
  }

  void previousKeepsVersions()
  {
    QTemporaryDir folder;
    for (const char* name : {"mervo", "same.dll", "changed.dll"})
      QVERIFY(WriteFile(folder.filePath(name), name));
    QCOMPARE(Publish({"make", "--version", "1.0", "--run-app", "mervo", folder.path()}).status, 0);
    QVERIFY(QFile::rename(folder.filePath("UpdList.xml"), m_dir.filePath("old.xml")));
    QVERIFY(WriteFile(folder.filePath("changed.dll"), "changed now"));
    QVERIFY(WriteFile(folder.filePath("new.dll"), "same.dll"));   // bytes of a listed file under a new name
    QCOMPARE(Make(folder.path(), {"--previous", m_dir.filePath("old.xml")}).status, 0);
    QHash<QString, QString> versions;
    for (const ListedFile& file : ListedFiles(folder.filePath("UpdList.xml")))
      versions.insert(QString::fromStdString(file.name), QString::fromStdString(file.ver));
    const QHash<QString, QString> expected{{"mervo", "1.0"}, {"same.dll", "1.0"}, {"changed.dll", "1.1"}, {"new.dll", "1.1"}};
    QCOMPARE(versions, expected);
  }

  void signedCheck()
  {
    QCOMPARE(Make(m_release).status, 0);
    QVERIFY(RunMinisign(m_dir.path(), {"-S", "-s", "a.sec", "-m", m_release + "/UpdList.xml"}));
    TestServer server;
    Serve(server);
    server.File("UpdList.xml.minisig", ReadFile(m_release + "/UpdList.xml.minisig"));
    const QStringList arguments{"check", "--public-key", m_dir.filePath("a.pub"), server.BaseUrl()};
    Run run = Publish(arguments);
    QCOMPARE(run.status, 0);
    QVERIFY2(run.out.endsWith("10 files, 0 problems\n"), qPrintable(run.out + run.err));
    const QByteArray list = ReadFile(m_release + "/UpdList.xml");
    server.File("UpdList.xml", QByteArray(list).replace("<Version>1.1<", "<Version>1.2<"));
    run = Publish(arguments);
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains("UpdList.xml.minisig: the signature does not verify"), qPrintable(run.err));
    // The list as signed, with no signature beside it.
    server.File("UpdList.xml", list);
    server.Route("/mrvo/UpdList.xml.minisig", Reply::Status(404, "Not Found"));
    run = Publish(arguments);
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains("UpdList.xml.minisig"), qPrintable(run.err));
  }

  void commandLine_data()
  {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("shown");   // on out for status 0, else on err; the other stays empty
    QTest::newRow("overview") << QStringList{"--help"} << 0 << "Usage: MervoPublish make";
    QTest::newRow("unknown verb") << QStringList{"publish", "x"} << 2 << "\"publish\"";
    QTest::newRow("values after =") << QStringList{"make", "--version=1", "--run-app=mervo", "--expires-days=+30", "--", m_release}
                                    << 0 << " expires:";
    QTest::newRow("value missing") << QStringList{"make", "--version", "1", m_release, "--run-app"} << 2
                                   << "Missing value after '--run-app'.";
    QTest::newRow("unknown options") << QStringList{"check", "-hx", "--bogus=1", "http://h/"} << 2
                                     << "Unknown options: x, bogus.";
    QTest::newRow("days past the limit") << QStringList{"make", "--version", "1", "--run-app", "mervo", "--expires-days",
                                                        "36501", m_release} << 2 << "--expires-days";
  }
  void commandLine()
  {
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, shown);
    const Run run = Publish(arguments);
    QCOMPARE(run.status, status);
    QVERIFY2((status == 0 ? run.out : run.err).contains(shown) && (status == 0 ? run.err : run.out).isEmpty(),
             qPrintable(run.out + run.err));
  }
};

QTEST_MAIN(Publisher)
#include "test_publish.moc"
