// The window itself: start-up, the server address and the status bar clock.
#include "Fixture.h"
#include "TestServer.h"
#include "frmUpdate/frmUpdate.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

class WindowTest : public QObject {
  Q_OBJECT
private slots:
  void startUpShowsWindowBeforeAsking();
  void refusesUnusableServerAddress();
  void clockKeepsTicking();
  void serverTextShowsAsPlainText();
};

void WindowTest::startUpShowsWindowBeforeAsking()
{
  UpdaterRun run;   // no setup.ini: a first install still checks
  auto w = run.Start();
  QVERIFY(w->IsVisible());
  QCOMPARE(Q(w->StatusText()), QStringLiteral("正在获取更新列表，请稍候..."));
  QCOMPARE(Q(w->cmdFinish->Caption()), QStringLiteral("退出"));
  // Loading sends nothing; the first request waits for the list timer.
  QCoreApplication::processEvents();
  QVERIFY(run.server.Requests().isEmpty());
  QTRY_VERIFY_WITH_TIMEOUT(!run.server.Requests().isEmpty(), 5000);
  QCOMPARE(run.server.Requests().first(), QStringLiteral("HEAD /mrvo/UpdList.xml"));
}

void WindowTest::refusesUnusableServerAddress()
{
  MessageLog log;
  ProgramFolder folder;
  folder.Write(QStringLiteral("setup.ini"), "[Mervo]\n版本=1.0\n");
  const QString url = QStringLiteral("http://127.0.0.1:1/mrvo");
  auto w = LoadWindow(url);
  QVERIFY(w->IsUnloaded());
  QCOMPARE(log.Texts(), QStringList{QStringLiteral("更新服务器地址无效：") + url});
  QCOMPARE(log.shown.first().title, QStringLiteral("Mervo自动更新程序"));
  QVERIFY(!w->tmrGetUpdateList->Active());
  QCOMPARE(folder.Files(), QStringList{QStringLiteral("setup.ini")});
}

void WindowTest::clockKeepsTicking()
{
  ProgramFolder folder;
  const QTime before = QTime::currentTime();
  frmUpdate w;
  const QTime after = QTime::currentTime();
  QWidget* window = WindowWidget();
  QVERIFY(window);
  auto* time = window->findChild<QLabel*>(QStringLiteral("sbUpdateInfoTime"));
  auto* date = window->findChild<QLabel*>(QStringLiteral("sbUpdateInfoDate"));
  QVERIFY(time && date);
  QVERIFY(!date->text().isEmpty());
  // The clock was read between the two readings, which may straddle a second or midnight.
  const QString first = time->text();
  const QTime shown = QTime::fromString(first, QStringLiteral("HH:mm:ss"));
  const QTime from(before.hour(), before.minute(), before.second());
  const bool between = from <= after ? (from <= shown && shown <= after) : (shown >= from || shown <= after);
  QVERIFY2(shown.isValid() && between, qPrintable(first));
  w.SetStatusText("anything");
  QTRY_VERIFY_WITH_TIMEOUT(time->text() != first, 3000);
}

// A server's words are shown as they are, never rendered as markup.
void WindowTest::serverTextShowsAsPlainText()
{
  ProgramFolder folder;
  TestServer server;
  server.Route("/mrvo/UpdList.xml", Reply::Status(500, "<h1>Call 555 to update</h1>"));
  QStringList shown;
  QTimer answer;   // the real boxes, answered as they come up
  connect(&answer, &QTimer::timeout, this, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      shown << (box->textFormat() == Qt::PlainText ? "plain: " : "markup: ") + box->text();
      box->button(QMessageBox::Ok)->click();
    }
  });
  answer.start(10);
  auto w = LoadWindow(server.BaseUrl());
  QTRY_VERIFY_WITH_TIMEOUT(w->IsUnloaded(), 5000);
  QCOMPARE(shown, (QStringList{"plain: 服务器返回 HTTP 500 <h1>Call 555 to update</h1>", "plain: 获取服务器更新列表失败!"}));
}

QTEST_MAIN(WindowTest)
#include "test_window.moc"
