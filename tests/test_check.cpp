// From start-up to the offer of an update: the list fetch, the version check,
// the release notes, the file table and the ways the check can stop.
#include "Fixture.h"
#include "TestServer.h"
#include "frmUpdate/frmUpdate.h"
#include "platform/qt/TextBox.h"

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
  for (int column = 0; column < 5; ++column)
    texts << w.lvUpdateList->topLevelItem(index)->text(column);
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
  // The installed version differs from the offered one only in letter case: still an update.
  void offersUpdateWithNotesAndSizes()
  {
    UpdaterRun run;
    run.folder.Write(QStringLiteral("setup.ini"), "[Mervo]\r\n版本=1.1a\r\n");
    run.server.File("UpdList.xml", UpdateList("1.1A", {"修复 A", "B"},
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

  void upToDateNoticeThenLeaves()
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

  void failedListFetchEndsTheRun_data()
  {
    QTest::addColumn<Reply>("list");
    QTest::addColumn<bool>("reachable");
    QTest::addColumn<QStringList>("messages");
    const QString failed = QStringLiteral("获取服务器更新列表失败!");
    QTest::newRow("404") << Reply::Status(404, "Not Found") << true << QStringList{failed};
    QTest::newRow("500") << Reply::Status(500, "Internal Server Error") << true
                         << QStringList{QStringLiteral("服务器返回 HTTP 500 Internal Server Error"), failed};
    QTest::newRow("server unreachable")
        << Reply() << false
        << QStringList{QStringLiteral("NetWork Error! Please make sure you computer online."),
                       QStringLiteral("无法连接到服务器（连接被拒绝或无应答）"), failed};
  }

  void failedListFetchEndsTheRun()
  {
    QFETCH(Reply, list);
    QFETCH(bool, reachable);
    QFETCH(QStringList, messages);
    UpdaterRun run;
    run.server.Route("/mrvo/UpdList.xml", list);
    QString url = run.server.BaseUrl();
    if (!reachable) {
      TestServer gone;
      url = gone.BaseUrl();
    }
    auto w = LoadWindow(url);
    QTRY_VERIFY_WITH_TIMEOUT(w->IsUnloaded(), 5000);
    QCOMPARE(run.log.Texts(), messages);
    QCOMPARE(run.log.shown.last().title, QStringLiteral("提示"));
    QVERIFY(!run.folder.Exists(QStringLiteral("NewUpdList.xml")));
  }

  void badListKeepsWindowOpen_data()
  {
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QStringList>("messages");   // how each box's text begins
    const QString format = QStringLiteral("更新列表格式错误：");
    QTest::newRow("not XML") << QByteArray("this is not <xml")
                             << QStringList{QStringLiteral("ERROR："), QStringLiteral("NewUpdList.xml没有发现!")};
    QTest::newRow("no Version") << QByteArray("<L><Updata/><Files/></L>") << QStringList{format + "缺少 Version 节点"};
    QTest::newRow("file without Ver")
        << QByteArray("<L><Version>2</Version><Updata/><Files><F Name='a.dll'/></Files><RunApp>a</RunApp></L>")
        << QStringList{format + "Files 的第 1 个子节点缺少 Ver 属性"};
  }

  void badListKeepsWindowOpen()
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
    QVERIFY(w->cmdUpdate->isHidden());
    // Still usable: the finish button leaves and takes the list copy with it.
    QTest::mouseClick(w->cmdFinish, Qt::LeftButton);
    QVERIFY(w->IsUnloaded());
    QVERIFY(!run.folder.Exists(QStringLiteral("NewUpdList.xml")));
  }

  // The check ends without an offer, having asked only for the list and the files before the
  // one that stopped it; nothing is installed and nothing is left to start.
  void stopsWithoutOffer_data()
  {
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("finish");
    QTest::addColumn<int>("probes");   // files asked for
    const auto unsafe = [](const QString& name, const QString& runApp) {
      return UpdateList("2", {}, {{"a.dll", "1"}, {name, "1"}}, runApp);
    };
    const QString invalid = QStringLiteral("更新列表中的文件名无效：%1，无法继续更新 ...");
    // No RunApp at all: with no files it is never read.
    QTest::newRow("empty file list") << QByteArray("<L><Version>2</Version><Updata/><Files/></L>")
                                     << QStringLiteral("没有可用更新，点【完成】退出...") << QStringLiteral("完成") << 0;
    QTest::newRow("missing file") << UpdateList("2", {}, {{"a.dll", "1"}, {"b.dll", "2"}, {"c.dll", "3"}}, "a.dll")
                                  << QStringLiteral("服务器丢失 b.dll文件，无法继续更新 ...") << QStringLiteral("退出") << 2;
    // Every name is checked before the first file is asked for.
    QTest::newRow("file in parent folder") << unsafe("..\\evil.sh", "a.dll") << invalid.arg("..\\evil.sh")
                                           << QStringLiteral("退出") << 0;
    QTest::newRow("main program outside") << unsafe("a.dll", "../../bin/sh") << invalid.arg("../../bin/sh")
                                          << QStringLiteral("退出") << 0;
    QTest::newRow("the updater's own file") << unsafe("MervoUpdate.state", "a.dll") << invalid.arg("MervoUpdate.state")
                                            << QStringLiteral("退出") << 0;
    // One file on Windows: installing both would leave whichever came last.
    QTest::newRow("names differ only in letter case")
        << UpdateList("2", {}, {{"Ÿ.dll", "1"}, {"a.dll", "1"}, {"ÿ.dll", "1"}}, "a.dll") << invalid.arg("ÿ.dll")
        << QStringLiteral("退出") << 0;
  }

  void stopsWithoutOffer()
  {
    QFETCH(QByteArray, list);
    QFETCH(QString, status);
    QFETCH(QString, finish);
    UpdaterRun run;
    run.server.File("UpdList.xml", list);
    run.server.File("a.dll", "a");
    run.server.File("c.dll", "c");
    auto w = run.Start();
    QVERIFY(CheckFinished(*w));

    QCOMPARE(w->StatusText(), status);
    QCOMPARE(w->cmdFinish->text(), finish);
    QVERIFY(w->cmdUpdate->isHidden());
    QVERIFY(w->RunApp().isEmpty());
    QVERIFY(run.log.shown.isEmpty());
    const QStringList requests = run.server.Requests();
    QTEST(int(requests.size() - requests.filter("/UpdList.xml").size()), "probes");
    QCOMPARE(run.folder.Files(), QStringList{QStringLiteral("NewUpdList.xml")});
  }

  void unloadingMidWaitEndsQuietly_data()
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

  void unloadingMidWaitEndsQuietly()
  {
    QFETCH(QByteArray, stalled);
    QFETCH(bool, upToDate);
    QFETCH(QStringList, messages);
    QFETCH(QStringList, requests);
    UpdaterRun run;
    if (upToDate)
      run.folder.Write(QStringLiteral("setup.ini"), "[Mervo]\n版本=2\n");
    run.server.File("UpdList.xml", UpdateList("2", {}, {{"a.dll", "1"}, {"b.dll", "1"}, {"c.dll", "1"}}, "a.dll"));
    for (const char* name : {"a.dll", "b.dll", "c.dll"})
      run.server.File(name, "x");
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
};

QTEST_MAIN(CheckTest)
#include "test_check.moc"
