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

Q_DECLARE_METATYPE(Reply)

namespace {
struct Run {
  int status;
  QString out;
  QString err;
};

Run Publish(const QStringList& arguments)
{
  Run run;
  QTextStream out(&run.out);
  QTextStream err(&run.err);
  run.status = RunPublish(QStringList{"MervoPublish"} + arguments, out, err);
  return run;
}

QByteArray Bytes(qsizetype size, int seed)
{
  QByteArray data(size, Qt::Uninitialized);
  for (qsizetype i = 0; i < size; ++i)
    data[i] = char((i * 2654435761u + seed) >> 11);
  return data;
}

void Write(const QString& path, const QByteArray& data)
{
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  QVERIFY(file.open(QIODevice::WriteOnly) && file.write(data) == data.size());
}

QByteArray Read(const QString& path)
{
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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
  if (LoadXml(path, document)) {
    const XmlNode node = RequireNode(*document, "Files");
    for (int i = 0; i < node.ChildCount(); ++i)
      files << ReadListedFile(node.Child(i), i);
  }
  return files;
}
}

class Publisher : public QObject {
  Q_OBJECT
  MessageLog m_log;
  QTemporaryDir m_dir;
  QString m_release;
  QHash<QString, QByteArray> m_files;   // the release as served, "/" between folders
  QString m_minisign;

  Run Make(const QString& folder, const QStringList& extra = {})
  {
    return Publish(QStringList{"make", "--version", "1.1", "--run-app", "mervo"} + extra + QStringList{folder});
  }
  void Serve(TestServer& server, const QString& folder, const QHash<QString, QByteArray>& files)
  {
    for (auto it = files.begin(); it != files.end(); ++it)
      server.Route(Served(it.key()), Reply::Ok(it.value()));
    server.File("UpdList.xml", Read(folder + "/UpdList.xml"));
  }
  bool Minisign(const QStringList& arguments)
  {
    QProcess process;
    process.setWorkingDirectory(m_dir.path());
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(m_minisign, arguments);
    return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
  }

private slots:
  void initTestCase()
  {
    m_minisign = QStandardPaths::findExecutable("minisign");
    QVERIFY2(!m_minisign.isEmpty(), "minisign is needed to sign lists as publishers do");
    QVERIFY(Minisign({"-G", "-W", "-p", "a.pub", "-s", "a.sec"}) && Minisign({"-G", "-W", "-p", "b.pub", "-s", "b.sec"}));
    m_release = m_dir.filePath("release");
    m_files = {{"mervo", "#!/bin/sh\n"}, {"sub/a.dll", Bytes(3000, 1)}, {"sub/deeper/c.bin", Bytes(200000, 2)},
               {"数据 文件.txt", "<&\"数据\">"}, {"empty.txt", ""}, {"big.bin", Bytes(5 * 1024 * 1024, 3)},
               {"sub/UpdList.xml", "only the top folder's list is skipped"}};
    for (auto it = m_files.begin(); it != m_files.end(); ++it)
      Write(m_release + '/' + it.key(), it.value());
    Write(m_release + "/UpdList.xml.minisig", "stale");
    QVERIFY(QFile::link("sub/a.dll", m_release + "/alias.dll"));
    m_files.insert("alias.dll", m_files["sub/a.dll"]);
    Write(m_dir.filePath("notes.txt"), "第一行 & more\n\n  second line \r\n");
  }

  void makeListsEveryFile()
  {
    const Run run = Make(m_release, {"--notes", m_dir.filePath("notes.txt")});
    QCOMPARE(run.status, 0);
    QVERIFY2(run.out.startsWith("minisign -S -m " + m_release + "/UpdList.xml"), qPrintable(run.out));
    QCOMPARE(run.err, QString());
    const QString list = m_release + "/UpdList.xml";
    QStringList names;
    for (const ListedFile& file : ListedFiles(list)) {
      const QByteArray data = m_files.value(QString(file.name).replace('\\', '/'), "absent");
      QCOMPARE(file.size, data.size());
      QCOMPARE(file.sha256, QCryptographicHash::hash(data, QCryptographicHash::Sha256));
      QCOMPARE(file.ver, QString("1.1"));
      names << file.name;
    }
    QStringList expected;
    for (const QString& name : m_files.keys())
      expected << QString(name).replace('/', '\\');
    std::sort(expected.begin(), expected.end());
    QCOMPARE(names, expected);
    XmlDocumentPtr document;
    QVERIFY(LoadXml(list, document));
    QCOMPARE(RequireNode(*document, "RunApp").Text(), QString("mervo"));
    const XmlNode notes = RequireNode(*document, "Updata");
    QCOMPARE(notes.ChildCount(), 2);
    QCOMPARE(RequireAttribute(notes.Child(0), "Updata", 0, "Info"), QString("第一行 & more"));
    QCOMPARE(RequireAttribute(notes.Child(1), "Updata", 1, "Info"), QString("second line"));
  }

  void check_data()
  {
    QTest::addColumn<QString>("changed");   // the file served differently; empty: none
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QString>("line");
    QByteArray lastByte = Bytes(200000, 2);
    lastByte[199999] = char(lastByte[199999] ^ 1);
    QTest::newRow("all match") << QString() << Reply() << "8 files, 0 problems";
    QTest::newRow("changed bytes") << "sub/a.dll" << Reply::Ok(Bytes(3000, 9)) << "MISMATCH sub\\a.dll: sha256 differs";
    QTest::newRow("changed in the last chunk") << "sub/deeper/c.bin" << Reply::Ok(lastByte)
                                               << "MISMATCH sub\\deeper\\c.bin: sha256 differs";
    QTest::newRow("shorter") << "数据 文件.txt" << Reply::Ok("<&\"数据\"") << "MISMATCH 数据 文件.txt: size 10, the list says 11";
    QTest::newRow("missing") << "big.bin" << Reply::Status(404, "Not Found") << "MISSING  big.bin: HTTP 404 Not Found";
    QTest::newRow("server error") << "empty.txt" << Reply::Status(500, "Oops") << "FAILED   empty.txt: HTTP 500 Oops";
  }
  void check()
  {
    QFETCH(QString, changed);
    QFETCH(Reply, reply);
    QFETCH(QString, line);
    QCOMPARE(Make(m_release).status, 0);
    TestServer server;
    Serve(server, m_release, m_files);
    if (!changed.isEmpty())
      server.Route(Served(changed), reply);
    const Run run = Publish({"check", server.BaseUrl()});
    const QStringList lines = run.out.split('\n');
    QVERIFY2(lines.contains(line), qPrintable(run.out));
    QCOMPARE(run.status, changed.isEmpty() ? 0 : 1);
    QCOMPARE(lines.filter(QRegularExpression("^ok {7}\\S")).size(), changed.isEmpty() ? 8 : 7);
    QCOMPARE(run.err, QString());
  }

  // Lists written by hand, as an older tool or a careless editor leaves them.
  void checkFindsListFaults_data()
  {
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QString>("line");
    QTest::newRow("not pinned") << UpdateList("1", {}, {{"a.bin", "1"}}, "a.bin") << "UNPINNED a.bin: the list gives no Size";
    QTest::newRow("unsafe name") << UpdateList("1", {}, {{"a.bin", "1"}, {QString("..\\%1[2Jx").arg(QChar(0x9b)), "1"}}, "a.bin")
                                 << "UNSAFE   ..\\<U+009b>[2Jx: the updater refuses this name";
    QTest::newRow("run app not listed") << UpdateList("1", {}, {{"a.bin", "1"}}, "b.bin")
                                        << "INVALID  RunApp: \"b.bin\" is not a listed file";
  }
  void checkFindsListFaults()
  {
    QFETCH(QByteArray, list);
    QFETCH(QString, line);
    TestServer server;
    server.File("UpdList.xml", list);
    server.File("a.bin", "a");
    const Run run = Publish({"check", server.BaseUrl()});
    QCOMPARE(run.status, 1);
    QVERIFY2(run.out.split('\n').contains(line), qPrintable(run.out));
  }

  void makeRefuses_data()
  {
    QTest::addColumn<QString>("entry");    // added to a release holding only "mervo"
    QTest::addColumn<QString>("target");   // for a link: where it leads; empty: a file
    QTest::addColumn<QString>("runApp");
    QTest::addColumn<QString>("named");    // what the message must name
    const QString outside = m_dir.filePath("notes.txt");
    QTest::newRow("control character") << "sub/bad\x01name" << "" << "mervo" << "sub/bad<U+0001>name";
    QTest::newRow("backslash in a name") << "sub/a\\b.dll" << "" << "mervo" << "sub/a\\b.dll";
    QTest::newRow("link out of the folder") << "sub/out.dll" << outside << "mervo" << "sub/out.dll";
    QTest::newRow("link out through ..") << "rel.dll" << "../notes.txt" << "mervo" << "rel.dll";
    QTest::newRow("broken link") << "gone.dll" << "nowhere" << "mervo" << "gone.dll";
    QTest::newRow("run app not in the release") << "lib.so" << "" << "mervo.exe" << "mervo.exe";
    QTest::newRow("run app is a folder") << "bin/x" << "" << "bin" << "bin";
  }
  void makeRefuses()
  {
    QFETCH(QString, entry);
    QFETCH(QString, target);
    QFETCH(QString, runApp);
    QFETCH(QString, named);
    QTemporaryDir parent(m_dir.filePath("refused-XXXXXX"));
    const QString folder = parent.filePath("release");
    Write(folder + "/mervo", "x");
    if (target.isEmpty())
      Write(folder + '/' + entry, "x");
    else
      QVERIFY(QDir().mkpath(QFileInfo(folder + '/' + entry).path()) && QFile::link(target, folder + '/' + entry));
    Write(parent.filePath("notes.txt"), "a note\n");
    const Run run = Publish({"make", "--version", "2", "--run-app", runApp, folder});
    QCOMPARE(run.status, 1);
    QVERIFY2(run.err.contains(named) && run.err.count('\n') == 1, qPrintable(run.err));
    QCOMPARE(run.out, QString());
    QVERIFY(!QFile::exists(folder + "/UpdList.xml"));
  }

  void previousKeepsVersions()
  {
    QTemporaryDir folder;
    for (const char* name : {"mervo", "same.dll", "changed.dll"})
      Write(folder.filePath(name), name);
    QCOMPARE(Publish({"make", "--version", "1.0", "--run-app", "mervo", folder.path()}).status, 0);
    QVERIFY(QFile::rename(folder.filePath("UpdList.xml"), m_dir.filePath("old.xml")));
    Write(folder.filePath("changed.dll"), "changed now");
    Write(folder.filePath("new.dll"), "same.dll");   // bytes of a listed file under a new name
    QCOMPARE(Make(folder.path(), {"--previous", m_dir.filePath("old.xml")}).status, 0);
    QHash<QString, QString> versions;
    for (const ListedFile& file : ListedFiles(folder.filePath("UpdList.xml")))
      versions.insert(file.name, file.ver);
    const QHash<QString, QString> expected{{"mervo", "1.0"}, {"same.dll", "1.0"}, {"changed.dll", "1.1"}, {"new.dll", "1.1"}};
    QCOMPARE(versions, expected);
  }

  void signedCheck_data()
  {
    QTest::addColumn<QString>("key");
    QTest::addColumn<bool>("tampered");
    QTest::addColumn<bool>("signature");   // served at all
    QTest::addColumn<int>("status");
    const QString text = QString::fromLatin1(Read(m_dir.filePath("a.pub")).split('\n').value(1));
    QTest::newRow("key file") << m_dir.filePath("a.pub") << false << true << 0;
    QTest::newRow("key text") << text << false << true << 0;
    QTest::newRow("list changed after signing") << text << true << true << 1;
    QTest::newRow("other key") << m_dir.filePath("b.pub") << false << true << 1;
    QTest::newRow("no signature") << text << false << false << 1;
  }
  void signedCheck()
  {
    QFETCH(QString, key);
    QFETCH(bool, tampered);
    QFETCH(bool, signature);
    QFETCH(int, status);
    QTemporaryDir folder;
    const QHash<QString, QByteArray> files{{"mervo", "run me"}, {"lib/z.so", Bytes(100, 4)}};
    for (auto it = files.begin(); it != files.end(); ++it)
      Write(folder.filePath(it.key()), it.value());
    QCOMPARE(Make(folder.path()).status, 0);
    QVERIFY(Minisign({"-S", "-s", "a.sec", "-m", folder.filePath("UpdList.xml")}));
    TestServer server;
    Serve(server, folder.path(), files);
    if (signature)
      server.File("UpdList.xml.minisig", Read(folder.filePath("UpdList.xml.minisig")));
    if (tampered)
      server.File("UpdList.xml", Read(folder.filePath("UpdList.xml")).replace("<Version>1.1<", "<Version>1.2<"));
    const Run run = Publish({"check", "--public-key", key, server.BaseUrl()});
    QCOMPARE(run.status, status);
    QVERIFY2(status == 0 ? run.out.endsWith("2 files, 0 problems\n") : run.err.contains("UpdList.xml.minisig"),
             qPrintable(run.out + run.err));
  }

  void commandLine_data()
  {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("out");   // the start of stdout; on failure, text of the one line on stderr
    QTest::newRow("version") << QStringList{"--version"} << 0 << "MervoPublish 1.0\n";
    QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: MervoPublish make";
    QTest::newRow("verb help") << QStringList{"make", "--help"} << 0 << "Usage: MervoPublish make --version";
    QTest::newRow("no verb") << QStringList{} << 2 << "a verb is needed";
    QTest::newRow("unknown verb") << QStringList{"publish", "x"} << 2 << "\"publish\"";
    QTest::newRow("unknown option") << QStringList{"check", "--key", "k", "http://h/"} << 2 << "key";
    QTest::newRow("no run app") << QStringList{"make", "--version", "1", "."} << 2 << "--run-app";
    QTest::newRow("no version value") << QStringList{"make", "--run-app", "mervo", ".", "--version"} << 2 << "--version";
    QTest::newRow("bad address") << QStringList{"check", "http://h/mrvo"} << 2 << "BASEURL";
    QTest::newRow("bad key") << QStringList{"check", "--public-key", "RWnonsense", "http://h/"} << 1 << "RWnonsense";
    QTest::newRow("no server") << QStringList{"check", "http://127.0.0.1:1/"} << 1 << "UpdList.xml";
  }
  void commandLine()
  {
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QString, out);
    const Run run = Publish(arguments);
    QCOMPARE(run.status, status);
    if (status == 0) {
      QVERIFY2(run.out.startsWith(out) && run.err.isEmpty(), qPrintable(run.out + run.err));
    } else {
      QVERIFY2(run.err.contains(out) && run.err.count('\n') == 1, qPrintable(run.err));
      QCOMPARE(run.out, QString());
    }
  }

  void progressOnLargeFiles()
  {
    QTemporaryDir folder;
    Write(folder.filePath("mervo"), "x");
    Write(folder.filePath("huge.bin"), QByteArray(17 * 1024 * 1024, 'h'));
    const Run run = Make(folder.path());
    QCOMPARE(run.status, 0);
    QCOMPARE(run.err, QString("hashing huge.bin (17 MiB)\n"));
  }
};

QTEST_MAIN(Publisher)
#include "test_publish.moc"
