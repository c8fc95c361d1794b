// The window over Qt Widgets, and the one transfer case that needs Qt's TLS server.
#include "Program.h"
#include "frmUpdate/frmUpdate.h"
#include "platform/Inet.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

namespace {
// An https server with the key and certificate from these files, answering every request
// with a redirect to location.
struct TlsRedirect : QTcpServer {
  QByteArray location;
  QTemporaryDir dir;
  QString keyFile = dir.filePath("key.pem"), certificateFile = dir.filePath("cert.pem");
  int requests = 0;
  void incomingConnection(qintptr descriptor) override
  {
    auto* socket = new QSslSocket(this);
    socket->setSocketDescriptor(descriptor);
    socket->setPrivateKey(keyFile, QSsl::Ec);
    socket->setLocalCertificate(certificateFile);
    connect(socket, &QSslSocket::readyRead, socket, [this, socket] {
      if (socket->readAll().contains("\r\n\r\n") && ++requests)
        socket->write("HTTP/1.1 302 Found\r\nLocation: " + location + "\r\nContent-Length: 0\r\n\r\n");
    });
    socket->startServerEncryption();
  }
};
}  // namespace

// Whole runs over Qt Widgets that prove the controls' wiring; what the window does is tested
// over scripted controls.
class WindowTest : public QObject {
  Q_OBJECT
private slots:
  void wholeUpdateOverWidgets();
  void serverTextShowsAsPlainText();
  void httpsChecksCertificates_data();
  void httpsChecksCertificates();
};

// Start-up with the clock running, the offer, the update by the button's click, the hidden list
// view, and the finish button that hands over to the new program.
void WindowTest::wholeUpdateOverWidgets()
{
  UpdaterRun run;
  run.folder.Write("setup.ini", "[Mervo]\n版本=1.0\n");
  run.folder.Write("mervo", "#!/bin/sh\necho 1.0 > started\n");
  run.server.File("UpdList.xml", UpdateList("1.1", {"new"}, {{"a.bin", "1.1"}, {"mervo", "1.1"}}, "mervo"));
  run.server.File("a.bin", "new a");
  run.server.File("mervo", "#!/bin/sh\necho 1.1 > started\n");
  auto w = run.Start();
  QWidget* window = nullptr;
  for (QWidget* widget : QApplication::topLevelWidgets())
    window = widget->objectName() == "frmUpdate" ? widget : window;
  QVERIFY(window && window->isVisible());
  const auto label = [&](const char* name) { return window->findChild<QLabel*>(name)->text(); };
  const auto button = [&](const char* name) { return window->findChild<QPushButton*>(name); };
  const QString time = label("sbUpdateInfoTime");
  const QTime shown = QTime::fromString(time, "HH:mm:ss");
  const int late = (shown.secsTo(QTime::currentTime()) + 86400) % 86400;  // across midnight too
  QVERIFY2(shown.isValid() && late <= 5 && !label("sbUpdateInfoDate").isEmpty(), qPrintable(time));
  QTRY_COMPARE_WITH_TIMEOUT(label("sbUpdateInfoStatus"), QString::fromStdString(Offered), 5000);
  QVERIFY(button("cmdUpdate")->isVisible());
  button("cmdUpdate")->click();
  QVERIFY(Ended(*w));
  QCOMPARE(label("sbUpdateInfoStatus"), QString::fromStdString(Done));
  QCOMPARE(button("cmdFinish")->text(), QString("完成"));
  const auto* view = window->findChild<QTreeWidget*>("lvUpdateList");
  QCOMPARE(view->topLevelItemCount(), 2);
  QCOMPARE(view->topLevelItem(1)->text(0), QString("mervo"));
  QCOMPARE(view->topLevelItem(1)->text(3), QString("100%"));
  QTRY_VERIFY_WITH_TIMEOUT(label("sbUpdateInfoTime") != time, 3000);
  button("cmdFinish")->click();
  QVERIFY(w->IsUnloaded() && !window->isVisible());
  QVERIFY(WaitUntil([&] { return run.folder.Read("started") == "1.1\n"; }));
}

// A server's words are shown as they are, never rendered as markup.
void WindowTest::serverTextShowsAsPlainText()
{
  ProgramFolder folder;
  Server server;
  server.Route("/mrvo/UpdList.xml", Reply::Status(500, "<h1>Call 555 to update</h1>"));
  QStringList shown;
  QTimer answer;  // the real boxes, answered as they come up
  connect(&answer, &QTimer::timeout, this, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      shown << (box->textFormat() == Qt::PlainText ? "plain: " : "markup: ") + box->text();
      box->button(QMessageBox::Ok)->click();
    }
  });
  answer.start(10);
  auto w = LoadWindow(server.BaseUrl());
  QTRY_VERIFY_WITH_TIMEOUT(w->IsUnloaded(), 5000);
  QCOMPARE(shown,
           (QStringList{"plain: 服务器返回 HTTP 500 <h1>Call 555 to update</h1>", "plain: 获取服务器更新列表失败!"}));
}

// Only a certificate the client trusts, for the host it asked for, lets a request through;
// once on https, a redirect never leads back to plain text.
void WindowTest::httpsChecksCertificates_data()
{
  QTest::addColumn<QString>("certifiedName");
  QTest::addColumn<bool>("trusted");
  QTest::addColumn<QString>("failure");
  QTest::newRow("trusted: no redirect to http") << "IP:127.0.0.1" << true << "拒绝重定向到不安全的地址";
  QTest::newRow("not trusted") << "IP:127.0.0.1" << false << "服务器的证书未通过验证";
  QTest::newRow("trusted, for another host") << "DNS:updates.mervo.invalid" << true << "服务器的证书未通过验证";
}

void WindowTest::httpsChecksCertificates()
{
  QFETCH(QString, certifiedName);
  QFETCH(bool, trusted);
  QFETCH(QString, failure);
  Server plain;
  plain.File("f", "plain text");
  TlsRedirect tls;
  tls.location = QByteArray::fromStdString(plain.BaseUrl() + "f");
  QProcess openssl;
  openssl.start("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                            "-keyout", tls.keyFile, "-out", tls.certificateFile, "-days", "2", "-subj", "/CN=Mervo test",
                            "-addext", "subjectAltName=" + certifiedName});
  QVERIFY2(openssl.waitForFinished(20000) && openssl.exitCode() == 0, openssl.readAllStandardError().constData());
  QVERIFY(tls.listen(QHostAddress::LocalHost, 0));
  Inet inet;
  if (trusted)
    inet.SetCaFile(tls.certificateFile.toStdString());
  inet.Execute(QString("https://127.0.0.1:%1/mrvo/f").arg(tls.serverPort()).toStdString(), "GET");
  inet.Wait();
  QVERIFY(inet.GetChunk(1024).empty());
  QVERIFY2(QString::fromStdString(inet.FailureReason()).startsWith(failure), inet.FailureReason().c_str());
  QCOMPARE(tls.requests, failure.startsWith("拒绝") ? 1 : 0);
  QVERIFY(plain.Requests().empty());
}

QTEST_MAIN(WindowTest)
#include "test_window.moc"
