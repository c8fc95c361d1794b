// The window itself: its states, start-up, the server address, and unloading mid-wait.
#include "Fixture.h"
#include "TestServer.h"
#include "frmUpdate/frmUpdate.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

class WindowTest : public QObject {
  Q_OBJECT
private slots:
  void stateTable_data();
  void stateTable();
  void startUpReadsInstalledVersion_data();
  void startUpReadsInstalledVersion();
  void refusesUnusableServerAddress_data();
  void refusesUnusableServerAddress();
  void clockKeepsTicking();
  void unloadDuringListFetchUnwindsQuietly();
};

void WindowTest::stateTable_data()
{
  QTest::addColumn<int>("state");
  QTest::addColumn<QString>("finishText");
  QTest::addColumn<bool>("updateVisible");
  QTest::addColumn<QString>("status");
  // Before each row: finish "X" and disabled, Update visible, list timer running, status "S".
  QTest::newRow("0 checking") << 0 << "退出" << true << "正在获取更新列表，请稍候...";
  QTest::newRow("1 offered") << 1 << "取消" << true << "S";
  QTest::newRow("2 nothing") << 2 << "完成" << true << "S";
  QTest::newRow("6 finished") << 6 << "完成" << false << "更新完成！";
  QTest::newRow("4 no change") << 4 << "X" << true << "S";
  QTest::newRow("-1 no change") << -1 << "X" << true << "S";
}

void WindowTest::stateTable()
{
  QFETCH(int, state);
  QFETCH(QString, finishText);
  QFETCH(bool, updateVisible);
  QFETCH(QString, status);
  ProgramFolder folder;
  frmUpdate w;
  w.show();
  w.cmdFinish->setText(QStringLiteral("X"));
  w.cmdFinish->setEnabled(false);
  w.cmdUpdate->show();
  w.tmrGetUpdateList->start(60000);
  w.SetStatusText(QStringLiteral("S"));

  w.SetUiState(state);
  QCOMPARE(w.cmdFinish->text(), finishText);
  QCOMPARE(w.cmdUpdate->isVisible(), updateVisible);
  QCOMPARE(w.StatusText(), status);
  QCOMPARE(w.cmdFinish->isEnabled(), state == 6);
  QCOMPARE(w.tmrGetUpdateList->isActive(), state != 0);
}

void WindowTest::startUpReadsInstalledVersion_data()
{
  QTest::addColumn<QByteArray>("settings");
  QTest::addColumn<QString>("version");
  QTest::newRow("no setup.ini") << QByteArray() << "";
  QTest::newRow("1.00") << QByteArray("[Mervo]\r\n版本=1.00\r\n") << "1.00";
  QTest::newRow("no key") << QByteArray("[Mervo]\r\nname=x\r\n") << "";
}

void WindowTest::startUpReadsInstalledVersion()
{
  QFETCH(QByteArray, settings);
  QFETCH(QString, version);
  UpdaterRun run;
  if (!settings.isEmpty())
    run.folder.Write(QStringLiteral("setup.ini"), settings);
  auto w = run.Start();

  QCOMPARE(w->Version(), version);
  QCOMPARE(w->StatusText(), QStringLiteral("正在获取更新列表，请稍候..."));
  QCOMPARE(w->cmdFinish->text(), QStringLiteral("退出"));
  QVERIFY(w->tmrGetUpdateList->isActive());
  QVERIFY(w->isVisible());
  // Loading sends nothing; the first request waits for the list timer.
  QCoreApplication::processEvents();
  QVERIFY(run.server.Requests().isEmpty());
  QTRY_VERIFY_WITH_TIMEOUT(!run.server.Requests().isEmpty(), 5000);
  QCOMPARE(run.server.Requests().first(), QStringLiteral("HEAD /mrvo/UpdList.xml"));
}

void WindowTest::refusesUnusableServerAddress_data()
{
  QTest::addColumn<QString>("url");
  QTest::newRow("no trailing slash") << "http://127.0.0.1:1/mrvo";
  QTest::newRow("ftp") << "ftp://127.0.0.1/mrvo/";
  QTest::newRow("empty") << "";
  QTest::newRow("no host") << "http:///mrvo/";
}

void WindowTest::refusesUnusableServerAddress()
{
  QFETCH(QString, url);
  MessageLog log;
  ProgramFolder folder;
  folder.Write(QStringLiteral("setup.ini"), "[Mervo]\n版本=1.0\n");
  auto w = LoadWindow(url);
  QVERIFY(w->IsUnloaded());
  QCOMPARE(log.Texts(), QStringList{QStringLiteral("更新服务器地址无效：") + url});
  QCOMPARE(log.shown.first().title, QStringLiteral("Mervo自动更新程序"));
  QCOMPARE(log.shown.first().style, MsgBoxStyle::OkOnly);
  QVERIFY(!w->tmrGetUpdateList->isActive());
  QCOMPARE(folder.Files(), QStringList{QStringLiteral("setup.ini")});
}

void WindowTest::clockKeepsTicking()
{
  ProgramFolder folder;
  frmUpdate w;
  auto* time = w.findChild<QLabel*>(QStringLiteral("sbUpdateInfoTime"));
  auto* date = w.findChild<QLabel*>(QStringLiteral("sbUpdateInfoDate"));
  QVERIFY(time && date);
  QVERIFY(!date->text().isEmpty());
  const QString first = time->text();
  QCOMPARE(first, QTime::currentTime().toString(QStringLiteral("HH:mm:ss")));
  w.SetStatusText(QStringLiteral("anything"));
  QTRY_VERIFY_WITH_TIMEOUT(time->text() != first, 3000);
}

void WindowTest::unloadDuringListFetchUnwindsQuietly()
{
  UpdaterRun run;
  Reply stall;
  stall.stall = true;
  run.server.Route("/mrvo/UpdList.xml", stall);
  // The tick handler is blocked in the HEAD wait when this runs; the finish button
  // ends the run under it.
  frmUpdate* window = nullptr;
  connect(&run.server, &TestServer::RequestReceived, this,
          [&] { QTest::mouseClick(window->cmdFinish, Qt::LeftButton); });
  qputenv("MERVO_UPDATE_URL", run.server.BaseUrl().toUtf8());
  frmUpdate w;
  window = &w;
  QSignalSpy unloaded(&w, &frmUpdate::Unloaded);
  w.Form_Load();

  QTRY_VERIFY_WITH_TIMEOUT(w.IsUnloaded(), 5000);
  QVERIFY(!w.isVisible());
  QTest::qWait(100);
  QCOMPARE(unloaded.count(), 1);
  QVERIFY(run.log.shown.isEmpty());   // neither a network error nor a failed-fetch message
  QCOMPARE(run.server.Requests(), QStringList{QStringLiteral("HEAD /mrvo/UpdList.xml")});
  QVERIFY(!run.folder.Exists(QStringLiteral("NewUpdList.xml")));
}

QTEST_MAIN(WindowTest)
#include "test_window.moc"
