// The publisher's "check" against a server in the same process: a file changed on the
// server, a list changed after signing, a signature missing.
#include "Fixture.h"
#include "TestServer.h"
#include "publish/Publish.h"

#include <QTemporaryDir>
#include <QtTest>

#include <sstream>

namespace {
// Runs the tool; the exit status, then what it wrote to out and to err.
std::tuple<int, QString, QString> Publish(const QStringList& arguments)
{
  std::vector<std::string> argv{"MervoPublish"};
  for (const QString& argument : arguments)
    argv.push_back(argument.toStdString());
  std::ostringstream out, err;
  const int status = RunPublish(argv, out, err);
  return {status, Q(out.str()), Q(err.str())};
}
}  // namespace

class PublishCheck : public QObject {
  Q_OBJECT
private slots:
  void check()
  {
    QTemporaryDir dir;
    const QString release = dir.filePath("release");
    QByteArray big = Bytes(200000, 2);
    TestServer server;
    // Served percent-encoded per segment, as a browser would.
    for (const auto& [name, data] : {std::pair<QString, QByteArray>{"mervo", "#!/bin/sh\n"},
                                     {"sub/c.bin", big},
                                     {"数据 文件.txt", "<&\"数据\">"},
                                     {"empty.txt", ""}}) {
      QVERIFY(WriteFile(release + '/' + name, data));
      server.Route("/mrvo/" + QUrl::toPercentEncoding(name, "/"), Reply::Ok(data));
    }
    QCOMPARE(std::get<0>(Publish({"make", "--version", "1.1", "--run-app", "mervo", release})), 0);
    QVERIFY2(RunMinisign(dir.path(), {"-G", "-W", "-p", "a.pub", "-s", "a.sec"}), "minisign is needed");
    QVERIFY(RunMinisign(dir.path(), {"-S", "-s", "a.sec", "-m", release + "/UpdList.xml"}));
    const QByteArray list = ReadFile(release + "/UpdList.xml");
    server.File("UpdList.xml", list);
    server.File("UpdList.xml.minisig", ReadFile(release + "/UpdList.xml.minisig"));
    const QStringList signedCheck{"check", "--public-key", dir.filePath("a.pub"), server.BaseUrl()};
    for (const QStringList& arguments : {QStringList{"check", server.BaseUrl()}, signedCheck}) {
      const auto [status, out, err] = Publish(arguments);
      QVERIFY2(status == 0 && out.endsWith("4 files, 0 problems\n") && err.isEmpty(), qPrintable(out + err));
    }
    // The byte changed lies in the last piece the server sends.
    big[big.size() - 1] = char(big.back() ^ 1);
    server.Route("/mrvo/sub/c.bin", Reply::Ok(big));
    auto [status, out, err] = Publish({"check", server.BaseUrl()});
    QVERIFY2(status == 1 && out.split('\n').contains("MISMATCH sub\\c.bin: sha256 differs"), qPrintable(out));
    server.File("UpdList.xml", QByteArray(list).replace("<Version>1.1<", "<Version>1.2<"));
    std::tie(status, out, err) = Publish(signedCheck);
    QVERIFY2(status == 1 && err.contains("UpdList.xml.minisig: the signature does not verify"), qPrintable(err));
    // The list as signed, with no signature beside it.
    server.File("UpdList.xml", list);
    server.Route("/mrvo/UpdList.xml.minisig", Reply::Status(404, "Not Found"));
    std::tie(status, out, err) = Publish(signedCheck);
    QVERIFY2(status == 1 && err.contains("UpdList.xml.minisig"), qPrintable(err));
  }
};

QTEST_MAIN(PublishCheck)
#include "test_publish_check.moc"
