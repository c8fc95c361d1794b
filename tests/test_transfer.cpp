// The HTTP control, list and file downloads, and list loading, against servers on 127.0.0.1.
#include "Fixture.h"
#include "TestServer.h"
#include "modules/modPublic.h"
#include "modules/modXml.h"
#include "platform/Inet.h"

#include <QProcess>
#include <QTcpServer>
#include <QRegularExpression>
#include <QtTest>

Q_DECLARE_METATYPE(Reply)

namespace {
Reply With(Reply reply, const QByteArray& name, const QByteArray& value)
{
  reply.headers << qMakePair(name, value);
  return reply;
}

QString Write(const QTemporaryDir& dir, const QString& name, const QByteArray& data)
{
  QDir().mkpath(QFileInfo(dir.filePath(name)).path());
  QFile file(dir.filePath(name));
  return file.open(QIODevice::WriteOnly) && file.write(data) == data.size() ? file.fileName() : QString();
}
}

class Transfer : public QObject {
  Q_OBJECT
private slots:
  void missingOnServer_data()
  {
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<bool>("missing");
    QTest::newRow("404 Not Found") << Reply::Status(404, "Not Found") << true;
    QTest::newRow("404 File not found") << Reply::Status(404, "File not found") << true;
    QTest::newRow("410 Gone") << Reply::Status(410, "Gone") << true;
    QTest::newRow("200, 404 in headers") << With(Reply::Ok(QByteArray(404, 'x')), "X-Trace", "404") << false;
    QTest::newRow("500") << Reply::Status(500, "Internal Server Error") << false;
  }
  void missingOnServer()
  {
    QFETCH(Reply, reply);
    TestServer server;
    server.Route("/mrvo/f", reply);
    Inet inet;
    inet.Execute(server.BaseUrl() + "f", "HEAD");
    inet.Wait();
    QTEST(IsMissingOnServer(inet), "missing");
    const QString header = inet.GetHeader();
    QVERIFY2(header.startsWith(QString("HTTP/1.1 %1 %2\r\n").arg(reply.status).arg(reply.reason)), qPrintable(header));
    const QString length = QString::number(reply.body.size());
    QVERIFY2(header.contains("\r\nContent-Length: " + length + "\r\n"), qPrintable(header));
    QCOMPARE(inet.GetHeader("content-length"), length);
    // Compressed answers would lose the Content-Length the size checks rely on.
    const QByteArray sent = "\r\n" + server.RequestHeads().value(0).toLower() + "\r\n";
    QVERIFY2(sent.contains("\r\naccept-encoding: identity\r\n"), sent.constData());
  }

  // Bodies framed each way a server may frame them, and framings that lie.
  void framing_data()
  {
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("failure");  // "" when the transfer must succeed
    QTest::addColumn<int>("state");
    Reply chunked = With(Reply::Ok("4\r\nabcd\r\n3;ext=1\r\nefg\r\n0\r\nX-Sum: 1\r\n\r\n"), "Transfer-Encoding", "chunked");
    chunked.sendContentLength = false;
    Reply untilClose = Reply::Ok("until the connection closes");
    untilClose.sendContentLength = false;
    Reply longer = Reply::Ok("0123456789EXTRA");
    longer.declaredLength = 10;
    Reply cutChunked = With(Reply::Ok("a\r\n01234"), "Transfer-Encoding", "chunked");
    cutChunked.sendContentLength = false;
    Reply cut = Reply::Ok("0123456789");
    cut.closeAfter = 4;
    Reply stall;
    stall.stall = true;
    const int ok = Inet::icResponseCompleted;
    const int error = Inet::icError;
    QTest::newRow("chunked") << chunked << QByteArray("abcdefg") << "" << ok;
    QTest::newRow("until close") << untilClose << QByteArray("until the connection closes") << "" << ok;
    QTest::newRow("longer than announced") << longer << QByteArray("0123456789") << "more than" << error;
    QTest::newRow("chunked, cut short") << cutChunked << QByteArray("01234") << "closed" << error;
    QTest::newRow("cut short") << cut << QByteArray("0123") << "closed after 4 of 10" << error;
    QTest::newRow("stall") << stall << QByteArray() << "no data" << error;
    // An error status is the server's answer, not a broken network.
    QTest::newRow("500") << Reply::Status(500, "Internal Server Error") << QByteArray("<html>Internal Server Error</html>")
                         << "HTTP 500 Internal Server Error" << ok;
  }
  void framing()
  {
    QFETCH(Reply, reply);
    QFETCH(QByteArray, body);
    QFETCH(QString, failure);
    TestServer server;
    server.Route("/mrvo/f", reply);
    Inet inet;
    inet.SetTimeoutMs(300);
    QSignalSpy states(&inet, &Inet::StateChanged);
    inet.Execute(server.BaseUrl() + "f", "GET");
    inet.Wait();
    QByteArray got;
    for (QByteArray piece; got.size() <= 1000 && !(piece = inet.GetChunk(1024)).isEmpty(); got += piece)
      QVERIFY(piece.size() <= 1024);
    QCOMPARE(got, body);
    if (failure.isEmpty())
      QCOMPARE(inet.FailureReason(), QString());
    else
      QVERIFY2(inet.FailureReason().contains(failure), qPrintable(inet.FailureReason()));
    QCOMPARE(states.size(), 1);
    QTEST(states[0][0].toInt(), "state");
  }

  // One connection carries request after request while the server keeps it open.
  void keepsConnectionAlive()
  {
    TestServer server;
    for (const QByteArray name : {"a", "b", "c"}) {
      Reply reply = Reply::Ok("file " + name);
      reply.keepAlive = true;
      server.Route("/mrvo/" + name, reply);
    }
    Inet inet;
    for (const QByteArray name : {"a", "b", "c"}) {
      inet.Execute(server.BaseUrl() + name, "HEAD");
      inet.Wait();
      QCOMPARE(inet.StatusCode(), 200);
      QCOMPARE(inet.OpenURL(server.BaseUrl() + name, 100), "file " + name);
    }
    QCOMPARE(server.Requests().size(), 6);
    QCOMPARE(server.Connections(), 1);

    // The server drops the idle connection just before the next request goes out on it.
    server.CloseConnections();
    inet.Execute(server.BaseUrl() + "b", "HEAD");
    inet.Wait();
    QCOMPARE(inet.StatusCode(), 200);
    QCOMPARE(inet.FailureReason(), QString());
    QCOMPARE(server.Connections(), 2);
  }

  // Certificates are checked: a server that cannot prove itself gets no request.
  void httpsRefusesAnUnprovenServer()
  {
    // A server that answers in plain text, as a misconfigured https port would.
    QTcpServer plain;
    QVERIFY(plain.listen(QHostAddress::LocalHost, 0));
    connect(&plain, &QTcpServer::newConnection, this, [&] {
      plain.nextPendingConnection()->write("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    });
    Inet inet;
    QSignalSpy states(&inet, &Inet::StateChanged);
    inet.Execute(QString("https://127.0.0.1:%1/mrvo/f").arg(plain.serverPort()), "HEAD");
    inet.Wait();
    QCOMPARE(inet.StatusCode(), 0);
    QVERIFY(!inet.FailureReason().isEmpty());
    QVERIFY2(!inet.FailureReason().contains("no data"), qPrintable(inet.FailureReason()));
    QCOMPARE(states.size(), 1);
    QCOMPARE(states[0][0].toInt(), int(Inet::icError));
  }

  void shutdownEndsWait()
  {
    TestServer server;
    Reply stall;
    stall.stall = true;
    server.Route("/mrvo/f", stall);
    Inet inet;
    QSignalSpy states(&inet, &Inet::StateChanged);
    connect(&server, &TestServer::RequestReceived, &inet, &Inet::Shutdown);
    inet.Execute(server.BaseUrl() + "f", "GET");
    QVERIFY_THROWS_EXCEPTION(RunEnded, inet.Wait());
    QVERIFY_THROWS_EXCEPTION(RunEnded, inet.GetChunk(1024));
    QCOMPARE(states.size(), 0);
  }

  void redirect()
  {
    TestServer server;
    server.Route("/mrvo/old", With(Reply::Status(302, "Found"), "Location", (server.BaseUrl() + "new").toLatin1()));
    server.File("new", "moved here");
    Inet inet;
    QCOMPARE(inet.OpenURL(server.BaseUrl() + "old", 1000), QByteArray("moved here"));
    QCOMPARE(server.Count("GET", "/mrvo/new"), 1);
  }

  void download_data()
  {
    QTest::addColumn<Reply>("reply");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("message");  // part of the one box a failure shows
    Reply cut = Reply::Ok("0123456789");
    cut.closeAfter = 4;
    QTest::newRow("overwrites") << Reply::Ok("0123456789") << true << "";
    QTest::newRow("missing") << Reply::Status(404, "Not Found") << false << "";
    QTest::newRow("server error") << Reply::Status(500, "Internal Server Error") << false << "HTTP 500";
    QTest::newRow("cut short") << cut << false << "";
    QTest::newRow("too large") << Reply::Ok(QByteArray(MaxListBytes + 1, 'x')) << false << "larger";
  }
  void download()
  {
    QFETCH(Reply, reply);
    QFETCH(bool, result);
    QFETCH(QString, message);
    MessageLog log;
    ProgramFolder folder;
    const QByteArray older = "an older and longer local file";
    folder.Write("a.txt", older);
    TestServer server;
    server.Route("/mrvo/a.txt", reply);
    Inet inet;
    QCOMPARE(DownloadFile(inet, server.BaseUrl(), "a.txt", "a.txt"), result);
    QCOMPARE(folder.Read("a.txt"), result ? reply.body : older);
    QCOMPARE(folder.Files(), QStringList{"a.txt"});
    const bool quiet = result || reply.status == 404;
    QCOMPARE(log.shown.size(), quiet ? 0 : 1);
    if (!quiet)
      QVERIFY2(log.shown[0].text.contains(message), qPrintable(log.shown[0].text));
    if (reply.status == 404)
      QCOMPARE(server.Count("GET", "/mrvo/a.txt"), 0);
  }

  void loadXml()
  {
    MessageLog log;
    QTemporaryDir dir;
    XmlDocumentPtr document;
    QVERIFY(!LoadXml(dir.path(), document));
    QCOMPARE(log.shown.size(), 0);
    QVERIFY(LoadXml(Write(dir, "1.xml", "<L><Version>1</Version></L>"), document));
    QVERIFY(LoadXml(Write(dir, "2.xml", "<L><Version>\n  2.0.1 \t\n</Version>\n<Files>\n  <A n=\"1\"/>\n"
                                        "  <B n=\"2\"/>\n  <C n=\"3\"/>\n</Files></L>"), document));
    QCOMPARE(document->SelectSingleNode("Version").Text(), QString("2.0.1"));
    const XmlNode files = document->SelectSingleNode("Files");
    QCOMPARE(files.ChildCount(), 3);
    for (int i = 0; i < 3; ++i)
      QCOMPARE(files.Child(i).Attribute("n"), std::optional<QString>(QString::number(i + 1)));

    QByteArray bomb = "<!DOCTYPE L [\n<!ENTITY e0 \"lollollollollollollollollollol\">\n";
    for (int i = 1; i < 10; ++i)
      bomb += QString("<!ENTITY e%1 \"%2\">\n").arg(i).arg(QString("&e%1;").arg(i - 1).repeated(10)).toLatin1();
    QElapsedTimer clock;
    clock.start();
    for (const QByteArray& bad : {QByteArray("this is not <xml"), bomb + "]>\n<L><Version>&e9;</Version></L>\n"})
      QVERIFY(!LoadXml(Write(dir, "bad.xml", bad), document));
    QVERIFY(clock.elapsed() < 5000);
    QCOMPARE(log.shown.size(), 2);
    QVERIFY(log.shown[0].text.startsWith("ERROR：") && log.shown[1].text.startsWith("ERROR："));
    QCOMPARE(document->SelectSingleNode("Version").Text(), QString("2.0.1"));
  }

  void pythonServer()
  {
    const QString python = QStandardPaths::findExecutable("python3");
    if (python.isEmpty())
      QSKIP("python3 is not installed");
    QTemporaryDir root;
    const QList<QPair<QString, QByteArray>> files{
        {"with space.txt", "spaced"}, {"中文.txt", QString("中文内容").toUtf8()}, {"sub\\a.txt", "in a folder"}};
    for (const auto& [name, data] : files)
      QVERIFY(!Write(root, "mrvo/" + QString(name).replace(u'\\', u'/'), data).isEmpty());
    QProcess process;
    process.start(python, {"-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory", root.path()});
    QByteArray banner;
    const QRegularExpression port("port (\\d+)");
    QTRY_VERIFY_WITH_TIMEOUT((banner += process.readAllStandardOutput(), port.match(banner).hasMatch()), 10000);
    const QString base = QString("http://127.0.0.1:%1/mrvo/").arg(port.match(banner).captured(1));

    Inet inet;
    for (const auto& [name, data] : files) {
      inet.Execute(FileUrl(base, name), "HEAD");
      inet.Wait();
      QCOMPARE(inet.StatusCode(), 200);
      QVERIFY(!IsMissingOnServer(inet));
      QCOMPARE(inet.OpenURL(FileUrl(base, name), 1000), data);
    }
    inet.Execute(FileUrl(base, "no such.txt"), "HEAD");
    inet.Wait();
    QVERIFY2(IsMissingOnServer(inet), qPrintable(inet.GetHeader()));
    process.kill();
    QVERIFY(process.waitForFinished(5000));
  }
};

QTEST_GUILESS_MAIN(Transfer)
#include "test_transfer.moc"
