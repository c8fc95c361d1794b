// From start-up to the offer of an update: the list fetch, the version check,
// the release notes, the file table and the ways the check can stop.
#include "Fixture.h"
#include "TestServer.h"
#include "frmUpdate/frmUpdate.h"
#include "platform/TextBox.h"

#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

namespace {
const QString Offered = QStringLiteral("发现更新文件 ，点【更新】开始更新...");
const QString Checking = QStringLiteral("正在获取更新列表，请稍候...");
const QString UpToDate = QStringLiteral("当前Mervo已经是最新版本，无需更新！");

QStringList Row(const frmUpdate& w, int index)
{
  QStringList texts;
  const QTreeWidgetItem* item = w.lvUpdateList->topLevelItem(index);
  for (int column = 0; column < 5; ++column)
    texts << item->text(column);
  return texts;
}

// Waits until the list timer's handler has run to its end.
bool CheckFinished(const frmUpdate& w)
{
  return QTest::qWaitFor([&] { return w.IsUnloaded() || w.StatusText() != Checking; }, 5000);
}

// Lets the event loop deliver whatever is already queued, so a late effect can show.
bool EventLoopTurn()
{
  bool turned = false;
  QTimer::singleShot(0, [&] { turned = true; });
  return QTest::qWaitFor([&] { return turned; }, 1000);
}
}

class CheckTest : public QObject {
  Q_OBJECT
private slots:
  void offersUpdateWithNotesAndSizes();
  void upToDateNoticeThenLeaves();
  void versionDifferingInCaseIsAnUpdate();
  void emptyFileListHasNothingToDo();
  void missingFileStopsTheBuild();
  void failedListFetchEndsTheRun_data();
  void failedListFetchEndsTheRun();
  void unreachableServerEndsTheRun();
  void badListKeepsWindowOpen_data();
  void badListKeepsWindowOpen();
  void unsafeNamesAreNeverRequested_data();
  void unsafeNamesAreNeverRequested();
  void unloadingMidWaitEndsQuietly_data();
  void unloadingMidWaitEndsQuietly();
};

void CheckTest::offersUpdateWithNotesAndSizes()
{
  UpdaterRun run;
  run.folder.Write(QStringLiteral("setup.ini"), "[Mervo]\r\n版本=1.0\r\n");
  run.server.File("UpdList.xml", UpdateList("1.1", {"修复 A", "B"},
                                            {{"a.dll", "1.1"}, {"sub\\big.dat", "2"}, {"c.bin", "3"}}, "mervo"));
  run.server.File("a.dll", QByteArray(1536, 'a'));
  Reply big;
  big.declaredLength = 5000000000;   // HEAD answers carry no body, only the length
  run.server.Route("/mrvo/sub/big.dat", big);
  Reply unknown = Reply::Ok("c");
  unknown.sendContentLength = false;
  run.server.Route("/mrvo/c.bin", unknown);
  auto w = run.Start();
  QVERIFY(CheckFinished(*w));

  QCOMPARE(w->StatusText(), Offered);
  QVERIFY(run.log.shown.isEmpty());
  QCOMPARE(w->txtdata->Text(), QStringLiteral("\r\n\r\n修复 A\r\n\r\nB"));
  QCOMPARE(w->lvUpdateList->topLevelItemCount(), 3);
  QCOMPARE(Row(*w, 0), (QStringList{"a.dll", "1.1", "2KB", "0%", "1536"}));
  QCOMPARE(Row(*w, 1), (QStringList{"sub\\big.dat", "2", "4768.37MB", "0%", "5000000000"}));
  QCOMPARE(Row(*w, 2), (QStringList{"c.bin", "3", "0KB", "0%", "1"}));
  QVERIFY(w->cmdUpdate->isVisible());
  QCOMPARE(w->cmdFinish->text(), QStringLiteral("取消"));
  QCOMPARE(w->RunApp(), run.folder.Path() + QStringLiteral("\\mervo"));
  QVERIFY(!w->Timer1->isActive());   // else the up-to-date notice would end the offer
}

void CheckTest::upToDateNoticeThenLeaves()
{
  UpdaterRun run;
  run.folder.Write(QStringLiteral("setup.ini"), "[Mervo]\n版本=1.1\n");
  run.folder.Write(QStringLiteral("mervo"), "#!/bin/sh\ntouch started\n");
  run.server.File("UpdList.xml", UpdateList("1.1", {"note"}, {{"a.dll", "1"}}, "mervo"));
  run.server.File("a.dll", "a");
  auto w = run.Start();
  // A real box waits in its own event loop: a timer still running would show it again.
  bool timerActiveUnderBox = true;
  run.log.onNextBox = [&] { timerActiveUnderBox = w->Timer1->isActive(); };
  QTRY_VERIFY_WITH_TIMEOUT(w->IsUnloaded(), 5000);

  QCOMPARE(run.log.Texts(), QStringList{UpToDate});
  QCOMPARE(run.log.shown.first().title, QStringLiteral("提示"));
  QCOMPARE(run.log.shown.first().style, MsgBoxStyle::OkInformation);
  QVERIFY(!timerActiveUnderBox);
  QVERIFY(!run.folder.Exists(QStringLiteral("started")));
  QCOMPARE(run.server.Count("GET", "/mrvo/a.dll"), 0);
}

void CheckTest::versionDifferingInCaseIsAnUpdate()
{
  UpdaterRun run;
  run.folder.Write(QStringLiteral("setup.ini"), "[Mervo]\n版本=1.1a\n");
  run.server.File("UpdList.xml", UpdateList("1.1A", {}, {{"a.dll", "1"}}, "a.dll"));
  run.server.File("a.dll", "a");
  auto w = run.Start();
  QVERIFY(CheckFinished(*w));
  QCOMPARE(w->StatusText(), Offered);
  QVERIFY(!w->Timer1->isActive());
}

void CheckTest::emptyFileListHasNothingToDo()
{
  UpdaterRun run;
  // No RunApp at all: with no files it is never read.
  run.server.File("UpdList.xml", "<L><Version>2</Version><Updata/><Files/></L>");
  auto w = run.Start();
  QVERIFY(CheckFinished(*w));
  QCOMPARE(w->StatusText(), QStringLiteral("没有可用更新，点【完成】退出..."));
  QCOMPARE(w->cmdFinish->text(), QStringLiteral("完成"));
  QVERIFY(w->cmdUpdate->isHidden());
  QVERIFY(run.log.shown.isEmpty());
}

void CheckTest::missingFileStopsTheBuild()
{
  UpdaterRun run;
  run.server.File("UpdList.xml", UpdateList("2", {}, {{"a.dll", "1"}, {"b.dll", "2"}, {"c.dll", "3"}}, "a.dll"));
  run.server.File("a.dll", "a");
  run.server.File("c.dll", "c");
  auto w = run.Start();
  QVERIFY(CheckFinished(*w));

  QCOMPARE(w->StatusText(), QStringLiteral("服务器丢失 b.dll文件，无法继续更新 ..."));
  QCOMPARE(w->cmdFinish->text(), QStringLiteral("退出"));
  QVERIFY(w->cmdUpdate->isHidden());
  QCOMPARE(run.server.Count("HEAD", "/mrvo/c.dll"), 0);
  QVERIFY(run.log.shown.isEmpty());
}

void CheckTest::failedListFetchEndsTheRun_data()
{
  QTest::addColumn<Reply>("list");
  QTest::addColumn<QStringList>("messages");
  const QString failed = QStringLiteral("获取服务器更新列表失败!");
  QTest::newRow("404") << Reply::Status(404, "Not Found") << QStringList{failed};
  QTest::newRow("500") << Reply::Status(500, "Internal Server Error")
                       << QStringList{QStringLiteral("服务器返回 HTTP 500 Internal Server Error"), failed};
}

void CheckTest::failedListFetchEndsTheRun()
{
  QFETCH(Reply, list);
  QFETCH(QStringList, messages);
  UpdaterRun run;
  run.server.Route("/mrvo/UpdList.xml", list);
  auto w = run.Start();
  QTRY_VERIFY_WITH_TIMEOUT(w->IsUnloaded(), 5000);
  QCOMPARE(run.log.Texts(), messages);
  QCOMPARE(run.log.shown.last().title, QStringLiteral("提示"));
  QVERIFY(!run.folder.Exists(QStringLiteral("NewUpdList.xml")));
}

void CheckTest::unreachableServerEndsTheRun()
{
  MessageLog log;
  ProgramFolder folder;
  QString url;
  {
    TestServer gone;
    url = gone.BaseUrl();
  }
  auto w = LoadWindow(url);
  QTRY_VERIFY_WITH_TIMEOUT(w->IsUnloaded(), 5000);
  const QStringList texts = log.Texts();
  QCOMPARE(texts.size(), 3);
  QCOMPARE(texts[0], QStringLiteral("NetWork Error! Please make sure you computer online."));
  QCOMPARE(texts[1], QStringLiteral("无法连接到服务器（连接被拒绝或无应答）"));
  QCOMPARE(texts[2], QStringLiteral("获取服务器更新列表失败!"));
}

void CheckTest::badListKeepsWindowOpen_data()
{
  QTest::addColumn<QByteArray>("list");
  QTest::addColumn<QStringList>("messages");   // how each box's text begins
  const QString format = QStringLiteral("更新列表格式错误：");
  QTest::newRow("not XML") << QByteArray("this is not <xml")
                           << QStringList{QStringLiteral("ERROR："), QStringLiteral("NewUpdList.xml没有发现!")};
  QTest::newRow("no Version") << QByteArray("<L><Updata/><Files/></L>") << QStringList{format + "缺少 Version 节点"};
  QTest::newRow("note without Info") << QByteArray("<L><Version>2</Version><Updata><N/></Updata><Files/></L>")
                                     << QStringList{format + "Updata 的第 1 个子节点缺少 Info 属性"};
  QTest::newRow("file without Ver")
      << QByteArray("<L><Version>2</Version><Updata/><Files><F Name='a.dll'/></Files><RunApp>a</RunApp></L>")
      << QStringList{format + "Files 的第 1 个子节点缺少 Ver 属性"};
  QTest::newRow("no RunApp") << QByteArray("<L><Version>2</Version><Updata/><Files><F Name='a.dll' Ver='1'/></Files></L>")
                             << QStringList{format + "缺少 RunApp 节点"};
}

void CheckTest::badListKeepsWindowOpen()
{
  QFETCH(QByteArray, list);
  QFETCH(QStringList, messages);
  UpdaterRun run;
  run.server.File("UpdList.xml", list);
  run.server.File("a.dll", "a");
  auto w = run.Start();
  QTRY_COMPARE_WITH_TIMEOUT(run.log.shown.size(), messages.size(), 5000);
  for (int i = 0; i < messages.size(); ++i)
    QVERIFY2(run.log.Texts()[i].startsWith(messages[i]), qPrintable(run.log.Texts()[i]));
  QVERIFY(!w->IsUnloaded());
  QVERIFY(w->cmdUpdate->isHidden());
  // Still usable: the finish button leaves and takes the list copy with it.
  QVERIFY(w->cmdFinish->isEnabled());
  QTest::mouseClick(w->cmdFinish, Qt::LeftButton);
  QVERIFY(w->IsUnloaded());
  QVERIFY(!run.folder.Exists(QStringLiteral("NewUpdList.xml")));
}

void CheckTest::unsafeNamesAreNeverRequested_data()
{
  QTest::addColumn<QString>("name");
  QTest::addColumn<QString>("runApp");
  QTest::newRow("file in parent folder") << "..\\evil.sh" << "a.dll";
  QTest::newRow("main program outside") << "a.dll" << "../../bin/sh";
  // One file on Windows: installing both would leave whichever came last.
  QTest::newRow("differs only in letter case") << "A.DLL" << "a.dll";
}

void CheckTest::unsafeNamesAreNeverRequested()
{
  QFETCH(QString, name);
  QFETCH(QString, runApp);
  UpdaterRun run;
  run.server.File("UpdList.xml", UpdateList("2", {}, {{"a.dll", "1"}, {name, "1"}}, runApp));
  run.server.File("a.dll", "a");
  auto w = run.Start();
  QVERIFY(CheckFinished(*w));

  const QString bad = name != QLatin1String("a.dll") ? name : runApp;
  QCOMPARE(w->StatusText(), QStringLiteral("更新列表中的文件名无效：") + bad + QStringLiteral("，无法继续更新 ..."));
  QVERIFY(w->cmdUpdate->isHidden());
  QVERIFY(w->RunApp().isEmpty());
  // Only the list and the one good file were asked for.
  for (const QString& request : run.server.Requests())
    QVERIFY2(request.endsWith(QLatin1String("/UpdList.xml")) || request.endsWith(QLatin1String("/a.dll")),
             qPrintable(request));
  QCOMPARE(run.folder.Files(), QStringList{QStringLiteral("NewUpdList.xml")});
}

void CheckTest::unloadingMidWaitEndsQuietly_data()
{
  QTest::addColumn<QByteArray>("stalled");   // the file the server never answers for
  QTest::addColumn<bool>("upToDate");        // the notice ends the run, else the finish button does
  QTest::addColumn<QStringList>("messages");
  QTest::addColumn<QStringList>("requests");
  const QString list = QStringLiteral("HEAD /mrvo/UpdList.xml");
  const QString getList = QStringLiteral("GET /mrvo/UpdList.xml");
  QTest::newRow("finish during list fetch") << QByteArray("UpdList.xml") << false << QStringList() << QStringList{list};
  QTest::newRow("finish during probe") << QByteArray("b.dll") << false << QStringList()
                                       << QStringList{list, getList, "HEAD /mrvo/a.dll", "HEAD /mrvo/b.dll"};
  QTest::newRow("notice during probe") << QByteArray("a.dll") << true << QStringList{UpToDate}
                                       << QStringList{list, getList, "HEAD /mrvo/a.dll"};
}

void CheckTest::unloadingMidWaitEndsQuietly()
{
  QFETCH(QByteArray, stalled);
  QFETCH(bool, upToDate);
  QFETCH(QStringList, messages);
  QFETCH(QStringList, requests);
  UpdaterRun run;
  if (upToDate)
    run.folder.Write(QStringLiteral("setup.ini"), "[Mervo]\n版本=2\n");
  run.server.File("UpdList.xml", UpdateList("2", {}, {{"a.dll", "1"}, {"b.dll", "1"}, {"c.dll", "1"}}, "a.dll"));
  run.server.File("a.dll", "a");
  run.server.File("b.dll", "b");
  run.server.File("c.dll", "c");
  Reply stall;
  stall.stall = true;
  run.server.Route("/mrvo/" + stalled, stall);
  auto w = run.Start();
  QSignalSpy unloaded(w.get(), &frmUpdate::Unloaded);
  // The handler is blocked in the wait for the stalled file when the button is clicked.
  connect(&run.server, &TestServer::RequestReceived, this, [&](const QString& request) {
    if (!upToDate && request == QLatin1String("HEAD /mrvo/" + stalled))
      QTest::mouseClick(w->cmdFinish, Qt::LeftButton);
  });

  QTRY_VERIFY_WITH_TIMEOUT(w->IsUnloaded(), 5000);
  QVERIFY(EventLoopTurn());
  QCOMPARE(unloaded.count(), 1);
  QCOMPARE(run.log.Texts(), messages);   // neither a network error nor a failed-fetch message
  QCOMPARE(run.server.Requests(), requests);
  if (!upToDate)
    QVERIFY(!run.folder.Exists(QStringLiteral("NewUpdList.xml")));
}

QTEST_MAIN(CheckTest)
#include "test_check.moc"
