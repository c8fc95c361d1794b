// The window itself: start-up, the server address and the status bar clock.
#include "Fixture.h"
#include "TestServer.h"
#include "frmUpdate/frmUpdate.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

// The window over Qt Widgets, in whole runs that prove the wiring of the controls; what the
// window does is tested over scripted controls (test_check, test_update, test_trust).
class WindowTest : public QObject {
  Q_OBJECT
private slots:
  void wholeUpdateOverWidgets();
  void clockKeepsTicking();
  void serverTextShowsAsPlainText();
};

// Start-up, the offer, the update by the button's click, the hidden list view and the hand-over.
void WindowTest::wholeUpdateOverWidgets()
{
  UpdaterRun run;
  run.folder.Write(QStringLiteral("setup.ini"), "[Mervo]\n版本=1.0\n");
  run.folder.Write(QStringLiteral("mervo"), "#!/bin/sh\necho 1.0 > started\n");
  run.server.File("UpdList.xml", UpdateList("1.1", {"new"}, {{"a.bin", "1.1"}, {"mervo", "1.1"}}, "mervo"));
  run.server.File("a.bin", "new a");
  run.server.File("mervo", "#!/bin/sh\necho 1.1 > started\n");
  auto w = run.Start();
  QWidget* window = WindowWidget();
  QVERIFY(window && window->isVisible());
  auto* update = window->findChild<QPushButton*>(QStringLiteral("cmdUpdate"));
  auto* finish = window->findChild<QPushButton*>(QStringLiteral("cmdFinish"));
  auto* status = window->findChild<QLabel*>(QStringLiteral("sbUpdateInfoStatus"));
  QVERIFY(update && finish && status);
  QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("发现更新文件 ，点【更新】开始更新..."), 5000);
  QVERIFY(update->isVisible());
  update->click();
  QVERIFY(Ended(*w));
  QCOMPARE(status->text(), QStringLiteral("更新完成！"));
  QCOMPARE(finish->text(), QStringLiteral("完成"));
  const auto* view = window->findChild<QTreeWidget*>(QStringLiteral("lvUpdateList"));
  QCOMPARE(view->topLevelItemCount(), 2);
  QCOMPARE(view->topLevelItem(1)->text(0), QStringLiteral("mervo"));
  QCOMPARE(view->topLevelItem(1)->text(3), QStringLiteral("100%"));
  QCOMPARE(run.folder.Read(QStringLiteral("a.bin")), QByteArray("new a"));
  finish->click();
  QVERIFY(w->IsUnloaded() && !window->isVisible());
  QTRY_COMPARE_WITH_TIMEOUT(run.folder.Read(QStringLiteral("started")), QByteArray("1.1\n"), 5000);
  QVERIFY(run.log.shown.isEmpty());
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

QTEST_MAIN(WindowTest)
#include "test_window.moc"
