// The publisher's "check" against a server in the same process: a file changed on the
// server, a list changed after signing, a signature missing.
#include "Fixture.h"
#include "TestServer.h"
#include "publish/Publish.h"

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
  return {status, Q(out.str()), Q(err.str())};
}

// The request target of a file ("/" between folders), percent-encoded per segment as a browser would.
QByteArray Served(const QString& name)
{
  QByteArray path = "/mrvo";
  for (const QString& segment : name.split(u'/'))
    path += '/' + QUrl::toPercentEncoding(segment);
  return path;
}
}  // namespace

class PublishCheck : public QObject {
  Q_OBJECT
  QTemporaryDir m_dir;
  QString m_release;
  const QHash<QString, QByteArray> m_files = {
      {"mervo", "#!/bin/sh\n"}, {"sub/deeper/c.bin", Bytes(200000, 2)}, {"数据 文件.txt", "<&\"数据\">"}, {"empty.txt", ""}};

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
    m_release = m_dir.filePath("release");
    for (auto it = m_files.begin(); it != m_files.end(); ++it)
      QVERIFY(WriteFile(m_release + '/' + it.key(), it.value()));
    QCOMPARE(Publish({"make", "--version", "1.1", "--run-app", "mervo", m_release}).status, 0);
  }

  void changedFile()
  {
    TestServer server;
    Serve(server);
    Run run = Publish({"check", server.BaseUrl()});
    QCOMPARE(run.status, 0);
    QVERIFY2(run.out.endsWith("4 files, 0 problems\n") && run.err.isEmpty(), qPrintable(run.out + run.err));
    // The byte changed lies in the last piece the server sends.
    QByteArray changed = m_files["sub/deeper/c.bin"];
    changed[changed.size() - 1] = char(changed.back() ^ 1);
    server.Route(Served("sub/deeper/c.bin"), Reply::Ok(changed));
    run = Publish({"check", server.BaseUrl()});
    QCOMPARE(run.status, 1);
    QVERIFY2(run.out.split('\n').contains("MISMATCH sub\\deeper\\c.bin: sha256 differs"), qPrintable(run.out));
  }

  void signedList()
  {
    QVERIFY2(RunMinisign(m_dir.path(), {"-G", "-W", "-p", "a.pub", "-s", "a.sec"}), "minisign is needed");
    QVERIFY(RunMinisign(m_dir.path(), {"-S", "-s", "a.sec", "-m", m_release + "/UpdList.xml"}));
    TestServer server;
    Serve(server);
    server.File("UpdList.xml.minisig", ReadFile(m_release + "/UpdList.xml.minisig"));
    const QStringList arguments{"check", "--public-key", m_dir.filePath("a.pub"), server.BaseUrl()};
    Run run = Publish(arguments);
    QCOMPARE(run.status, 0);
    QVERIFY2(run.out.endsWith("4 files, 0 problems\n"), qPrintable(run.out + run.err));
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
};

QTEST_MAIN(PublishCheck)
#include "test_publish_check.moc"
