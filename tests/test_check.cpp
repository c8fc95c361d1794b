// From start-up to the offer of an update: the list fetch, the version check,
// the release notes, the file table and the ways the check can stop.
#include "Fixture.h"
#include "TestServer.h"
#include "frmUpdate/frmUpdate.h"
#include "platform/TextBox.h"

#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

namespace {
const QString Offered = QStringLiteral("发现更新文件 ，点【更新】开始更新...");
const QString Checking = QStringLiteral("正在获取更新列表，请稍候...");

using Files = QList<QPair<QString, QString>>;

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
}

class CheckTest : public QObject {
  Q_OBJECT
private slots:
  void offersUpdateWithNotesAndSizes();
  void sizeColumns_data();
  void sizeColumns();
  void upToDateStillBuildsThenLeaves();
  void versionDifferingInCaseIsAnUpdate();
  void emptyFileListHasNothingToDo();
  void missingFileStopsTheBuild();
  void failedListFetchEndsTheRun_data();
  void failedListFetchEndsTheRun();
  void unreachableServerEndsTheRun();
  void unparsableListKeepsWindowOpen();
  void unsafeNamesAreNeverRequested_data();
  void unsafeNamesAreNeverRequested();
  void malformedListIsReported_data();
  void malformedListIsReported();
  void finishButtonDuringProbeEndsQuietly();
  void upToDateNoticeDuringProbeEndsQuietly();
};

void CheckTest::offersUpdateWithNotesAndSizes()
{
  UpdaterRun run;
  run.folder.Write(QStringLiteral("setup.ini"), "[Mervo]\r\n版本=1.0\r\n");
  run.server.File("UpdList.xml", UpdateList("1.1", {"修复 A", "B"}, {{"a.dll", "1.1"}, {"sub\\b.dat", "2"}}, "mervo"));
  run.server.File("a.dll", QByteArray(1536, 'a'));
  run.server.File("sub/b.dat", "b");
  auto w = run.Start();
  QVERIFY(CheckFinished(*w));

  QCOMPARE(w->StatusText(), Offered);
  QVERIFY(run.log.shown.isEmpty());
  QCOMPARE(w->txtdata->Text(), QStringLiteral("\r\n\r\n修复 A\r\n\r\nB"));
  QCOMPARE(w->lvUpdateList->topLevelItemCount(), 2);
  QCOMPARE(Row(*w, 0), (QStringList{"a.dll", "1.1", "2KB", "0%", "1536"}));
  QCOMPARE(Row(*w, 1), (QStringList{"sub\\b.dat", "2", "0KB", "0%", "1"}));
  QVERIFY(w->cmdUpdate->isVisible());
  QCOMPARE(w->cmdFinish->text(), QStringLiteral("取消"));
  QCOMPARE(w->RunApp(), run.folder.Path() + QStringLiteral("\\mervo"));
  QVERIFY(!w->Timer1->isActive());
  QVERIFY(run.folder.Exists(QStringLiteral("NewUpdList.xml")));
  // The subfolder name reaches the server as a real path.
  QVERIFY(run.server.Requests().contains(QStringLiteral("HEAD /mrvo/sub/b.dat")));
}

void CheckTest::sizeColumns_data()
{
  QTest::addColumn<qint64>("size");
  QTest::addColumn<bool>("sendLength");
  QTest::addColumn<QString>("shown");
  QTest::addColumn<QString>("bytes");
  QTest::newRow("no Content-Length") << qint64(100) << false << "0KB" << "1";
  QTest::newRow("1 MiB") << qint64(1048576) << true << "1.00MB" << "1048576";
  QTest::newRow("over 4 GiB") << qint64(5000000000) << true << "4768.37MB" << "5000000000";
}

void CheckTest::sizeColumns()
{
  QFETCH(qint64, size);
  QFETCH(bool, sendLength);
  QFETCH(QString, shown);
  QFETCH(QString, bytes);
  UpdaterRun run;
  run.server.File("UpdList.xml", UpdateList("2", {}, {{"f.bin", "1"}}, "f.bin"));
  Reply head;
  head.body = "x";
  head.sendContentLength = sendLength;
  head.declaredLength = size;   // HEAD answers carry no body, only the length
  run.server.Route("/mrvo/f.bin", head);
  auto w = run.Start();
  QVERIFY(CheckFinished(*w));
  QCOMPARE(w->StatusText(), Offered);
  QCOMPARE(Row(*w, 0).mid(2), (QStringList{shown, "0%", bytes}));
}

void CheckTest::upToDateStillBuildsThenLeaves()
{
  UpdaterRun run;
  run.folder.Write(QStringLiteral("setup.ini"), "[Mervo]\n版本=1.1\n");
  run.folder.Write(QStringLiteral("mervo"), "#!/bin/sh\ntouch started\n");
  run.server.File("UpdList.xml", UpdateList("1.1", {"note"}, {{"a.dll", "1"}}, "mervo"));
  run.server.File("a.dll", "a");
  auto w = run.Start();
  QTRY_VERIFY_WITH_TIMEOUT(w->IsUnloaded(), 5000);

  QVERIFY(run.server.Requests().contains(QStringLiteral("HEAD /mrvo/a.dll")));
  QCOMPARE(run.log.Texts(), QStringList{QStringLiteral("当前Mervo已经是最新版本，无需更新！")});
  QCOMPARE(run.log.shown.first().title, QStringLiteral("提示"));
  QCOMPARE(run.log.shown.first().style, MsgBoxStyle::OkInformation);
  QVERIFY(w->txtdata->Text().isEmpty());
  QVERIFY(!run.folder.Exists(QStringLiteral("started")));
  QCOMPARE(run.server.Count("GET", "/mrvo/a.dll"), 0);
}

void CheckTest::versionDifferingInCaseIsAnUpdate()
{
  UpdaterRun run;
  run.folder.Write(QStringLiteral("setup.ini"), "[Mervo]\n版本=1.1a\n");
  run.server.File("UpdList.xml", UpdateList("1.1A", {"A", "B"}, {{"a.dll", "1"}}, "a.dll"));
  run.server.File("a.dll", "a");
  auto w = run.Start();
  QVERIFY(CheckFinished(*w));
  QCOMPARE(w->StatusText(), Offered);
  QCOMPARE(w->txtdata->Text(), QStringLiteral("\r\n\r\nA\r\n\r\nB"));
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
  QVERIFY(w->RunApp().isEmpty());
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
  QCOMPARE(w->lvUpdateList->topLevelItemCount(), 2);
  QCOMPARE(Row(*w, 0), (QStringList{"a.dll", "1", "0KB", "0%", "1"}));
  QCOMPARE(Row(*w, 1), (QStringList{"b.dll", "2", "", "", ""}));
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
  QTest::newRow("404 Not Found") << Reply::Status(404, "Not Found") << QStringList{failed};
  QTest::newRow("python's 404") << Reply::Status(404, "File not found") << QStringList{failed};
  QTest::newRow("500") << Reply::Status(500, "Internal Server Error")
                       << QStringList{QStringLiteral("HTTP 500 Internal Server Error"), failed};
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
  QVERIFY2(texts[1].contains(QLatin1String("refused")), qPrintable(texts[1]));
  QCOMPARE(texts[2], QStringLiteral("获取服务器更新列表失败!"));
}

void CheckTest::unparsableListKeepsWindowOpen()
{
  UpdaterRun run;
  run.server.File("UpdList.xml", "this is not <xml");
  auto w = run.Start();
  QTRY_COMPARE_WITH_TIMEOUT(run.log.shown.size(), 2, 5000);
  QVERIFY(run.log.Texts()[0].startsWith(QStringLiteral("ERROR：")));
  QCOMPARE(run.log.Texts()[1], QStringLiteral("NewUpdList.xml没有发现!"));
  QVERIFY(!w->IsUnloaded());
  QCOMPARE(w->StatusText(), Checking);
  QTest::mouseClick(w->cmdFinish, Qt::LeftButton);
  QVERIFY(w->IsUnloaded());
  QVERIFY(!run.folder.Exists(QStringLiteral("NewUpdList.xml")));
}

void CheckTest::unsafeNamesAreNeverRequested_data()
{
  QTest::addColumn<QString>("name");
  QTest::addColumn<QString>("runApp");
  QTest::newRow("parent folder") << "..\\evil.sh" << "a.dll";
  QTest::newRow("absolute") << "/tmp/evil.sh" << "a.dll";
  QTest::newRow("main program outside") << "a.dll" << "../../bin/sh";
}

void CheckTest::unsafeNamesAreNeverRequested()
{
  QFETCH(QString, name);
  QFETCH(QString, runApp);
  UpdaterRun run;
  const bool badFile = name != QLatin1String("a.dll");
  run.server.File("UpdList.xml", UpdateList("2", {}, {{"a.dll", "1"}, {name, "1"}}, runApp));
  run.server.File("a.dll", "a");
  auto w = run.Start();
  QVERIFY(CheckFinished(*w));

  const QString bad = badFile ? name : runApp;
  QCOMPARE(w->StatusText(), QStringLiteral("更新列表中的文件名无效：") + bad + QStringLiteral("，无法继续更新 ..."));
  QVERIFY(w->cmdUpdate->isHidden());
  QVERIFY(w->RunApp().isEmpty());
  // Only the list and the one good file were asked for.
  for (const QString& request : run.server.Requests())
    QVERIFY2(request.endsWith(QLatin1String("/UpdList.xml")) || request.endsWith(QLatin1String("/a.dll")),
             qPrintable(request));
  QCOMPARE(run.folder.Files(), QStringList{QStringLiteral("NewUpdList.xml")});
}

void CheckTest::malformedListIsReported_data()
{
  QTest::addColumn<QByteArray>("list");
  QTest::addColumn<QString>("missing");
  QTest::newRow("no Version") << QByteArray("<L><Updata/><Files/></L>") << "缺少 Version 节点";
  QTest::newRow("note without Info") << QByteArray("<L><Version>2</Version><Updata><N/></Updata><Files/></L>")
                                     << "Updata 的第 1 个子节点缺少 Info 属性";
  QTest::newRow("file without Ver")
      << QByteArray("<L><Version>2</Version><Updata/><Files><F Name='a.dll'/></Files><RunApp>a</RunApp></L>")
      << "Files 的第 1 个子节点缺少 Ver 属性";
  QTest::newRow("no RunApp")
      << QByteArray("<L><Version>2</Version><Updata/><Files><F Name='a.dll' Ver='1'/></Files></L>")
      << "缺少 RunApp 节点";
}

void CheckTest::malformedListIsReported()
{
  QFETCH(QByteArray, list);
  QFETCH(QString, missing);
  UpdaterRun run;
  run.server.File("UpdList.xml", list);
  run.server.File("a.dll", "a");
  auto w = run.Start();
  QTRY_COMPARE_WITH_TIMEOUT(run.log.shown.size(), 1, 5000);
  QCOMPARE(run.log.Texts().first(), QStringLiteral("更新列表格式错误：") + missing);
  QVERIFY(w->cmdUpdate->isHidden());
  // Still usable: the finish button leaves.
  QVERIFY(w->cmdFinish->isEnabled());
  QTest::mouseClick(w->cmdFinish, Qt::LeftButton);
  QVERIFY(w->IsUnloaded());
}

void CheckTest::finishButtonDuringProbeEndsQuietly()
{
  UpdaterRun run;
  run.server.File("UpdList.xml", UpdateList("2", {}, {{"a.dll", "1"}, {"b.dll", "1"}, {"c.dll", "1"}}, "a.dll"));
  run.server.File("a.dll", "a");
  Reply stall;
  stall.stall = true;
  run.server.Route("/mrvo/b.dll", stall);
  run.server.File("c.dll", "c");
  frmUpdate* window = nullptr;
  connect(&run.server, &TestServer::RequestReceived, this, [&](const QString& request) {
    if (request == QLatin1String("HEAD /mrvo/b.dll"))
      QTest::mouseClick(window->cmdFinish, Qt::LeftButton);
  });
  auto w = run.Start();
  window = w.get();
  QTRY_VERIFY_WITH_TIMEOUT(w->IsUnloaded(), 5000);
  QTest::qWait(50);
  QVERIFY(run.log.shown.isEmpty());
  QCOMPARE(run.server.Count("HEAD", "/mrvo/c.dll"), 0);
  QVERIFY(!run.folder.Exists(QStringLiteral("NewUpdList.xml")));
}

void CheckTest::upToDateNoticeDuringProbeEndsQuietly()
{
  UpdaterRun run;
  run.folder.Write(QStringLiteral("setup.ini"), "[Mervo]\n版本=2\n");
  run.server.File("UpdList.xml", UpdateList("2", {}, {{"a.dll", "1"}, {"b.dll", "1"}}, "a.dll"));
  Reply slow = Reply::Ok("a");
  slow.delayMs = 3000;   // longer than the notice's one second
  run.server.Route("/mrvo/a.dll", slow);
  run.server.File("b.dll", "b");
  auto w = run.Start();
  QTRY_VERIFY_WITH_TIMEOUT(w->IsUnloaded(), 5000);
  QTest::qWait(50);
  QCOMPARE(run.log.Texts(), QStringList{QStringLiteral("当前Mervo已经是最新版本，无需更新！")});
  QCOMPARE(run.server.Count("HEAD", "/mrvo/b.dll"), 0);
}

QTEST_MAIN(CheckTest)
#include "test_check.moc"
