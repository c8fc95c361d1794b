// Whole updates through the real window: downloads, progress, installation,
// hand-over, and every way an update can fail without touching the product.
#include "Fixture.h"
#include "TestServer.h"
#include "engine/Install.h"
#include "frmUpdate/frmUpdate.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTreeWidget>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <cstring>
#include <sys/resource.h>

namespace {
const QString Offered = QStringLiteral("发现更新文件 ，点【更新】开始更新...");
const QString Stopped = QStringLiteral("更新终止，请按[退出]");
const QString Done = QStringLiteral("更新完成！");

// The log's events without their local time; a line without one shows whole, so it fails the comparison.
QStringList Events(const ProgramFolder& folder)
{
  QStringList events;
  const QRegularExpression stamp("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d([+-]\\d\\d:\\d\\d|Z) ");
  for (const QString& line : QString::fromUtf8(folder.Read("MervoUpdate.log")).split(u'\n', Qt::SkipEmptyParts))
    events << (stamp.match(line).hasMatch() ? line.section(u' ', 1) : "no time: " + line);
  return events;
}

// A program folder at version 1.0 with old copies of three of the released files.
struct Release : UpdaterRun {
  QHash<QString, QByteArray> original;

  Release()
  {
    Keep(QStringLiteral("setup.ini"), "[Mervo]\n版本=1.0\n");
    Keep(QStringLiteral("a.bin"), "old a, longer than the new one will be");
    Keep(QStringLiteral("b.bin"), "old b");
    Keep(QStringLiteral("mervo"), "#!/bin/sh\necho 1.0 > started\n");
    server.File("UpdList.xml", UpdateList("1.1", {"new"},
                                          {{"a.bin", "1.1"}, {"b.bin", "1.1"}, {"sub\\deep\\c.bin", "1.1"},
                                           {"mervo", "1.1"}, {"setup.ini", "1.1"}},
                                          "mervo"));
    server.File("a.bin", "new a");
    server.File("b.bin", Bytes(3000, 'b'));
    server.File("sub/deep/c.bin", Bytes(1025, 'c'));
    server.File("mervo", "#!/bin/sh\necho 1.1 > started\n");
    server.File("setup.ini", "[Mervo]\n版本=1.1\n");
  }
  void Keep(const QString& name, const QByteArray& data)
  {
    folder.Write(name, data);
    original.insert(name, data);
  }
  // Every original file byte for byte, and nothing else but the list copy.
  bool Untouched() const
  {
    for (auto it = original.begin(); it != original.end(); ++it)
      if (folder.Read(it.key()) != it.value())
        return false;
    QStringList expected = original.keys();
    expected << QStringLiteral("NewUpdList.xml");
    expected.sort();
    return folder.Files() == expected;
  }
  std::unique_ptr<frmUpdate> Offer()
  {
    auto w = Start();
    if (!QTest::qWaitFor([&] { return Q(w->StatusText()) == Offered; }, 5000))
      qWarning() << "no offer:" << Q(w->StatusText()) << log.Texts();
    return w;
  }
};

constexpr int BadReply = 0, FileSizeLimit = 1, FolderInTheWay = 2;   // what goes wrong in an update

bool Update(frmUpdate& w)
{
  w.cmdUpdate->Click();
  return Ended(w);
}
}

class UpdateTest : public QObject {
  Q_OBJECT
private slots:
  // Also: the progress of b.bin follows its chunks, a second click downloads nothing again, a
  // target or a leftover ".tmp" that is a link is replaced rather than written through, and a
  // log grown past 1 MiB moves aside first.
  void wholeUpdateThenHandOver()
  {
    QTemporaryDir outside;
    const QString victim = outside.filePath("victim");
    QFile file(victim);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("keep me") == 7);
    file.close();
    Release release;
    QVERIFY(QFile::remove(release.folder.Path() + "/b.bin"));
    QVERIFY(QFile::link(victim, release.folder.Path() + "/b.bin"));
    QVERIFY(QFile::link(victim, release.folder.Path() + "/a.bin.tmp"));
    const QByteArray oldLog(1024 * 1024 - 10, 'o');
    release.folder.Write("MervoUpdate.log", oldLog);
    auto w = release.Offer();
    QStringList shownWhileDownloading, progress;
    connect(&release.server, &TestServer::RequestReceived, this, [&](const QString& request) {
      if (!request.startsWith(QLatin1String("GET ")))
        return;
      shownWhileDownloading << request.mid(10) + u'=' + Q(w->StatusText());
      w->cmdUpdate->Click();
    });
    w->lvUpdateList.RowChanged = [&](int index, int column, const std::string& text) {
      if (index == 2 && column == 3)
        progress << Q(text);
    };
    QVERIFY(Update(*w));

    QCOMPARE(shownWhileDownloading, (QStringList{"a.bin=正在更新：a.bin ...", "b.bin=正在更新：b.bin ...",
                                                 "sub/deep/c.bin=正在更新：sub\\deep\\c.bin ...",
                                                 "mervo=正在更新：mervo ...", "setup.ini=正在更新：setup.ini ..."}));
    QCOMPARE(progress, (QStringList{"34", "68", "100", "100%"}));
    QCOMPARE(Q(w->StatusText()), Done);
    QVERIFY(release.log.shown.isEmpty());
    QCOMPARE(w->pbUpdate->Value(), 100);
    QCOMPARE(Q(w->cmdFinish->Caption()), QStringLiteral("完成"));
    // The hidden list view mirrors the finished table.
    const auto* view = WindowWidget()->findChild<QTreeWidget*>("lvUpdateList");
    QCOMPARE(view->topLevelItemCount(), w->lvUpdateList.Count());
    for (int i = 1; i <= w->lvUpdateList.Count(); ++i) {
      QCOMPARE(Q(w->lvUpdateList.RowText(i, 3)), QStringLiteral("100%"));
      for (int column = 0; column < 5; ++column)
        QCOMPARE(view->topLevelItem(i - 1)->text(column), Q(w->lvUpdateList.RowText(i, column)));
    }
    QCOMPARE(release.folder.Read("a.bin"), QByteArray("new a"));
    QCOMPARE(release.folder.Read("b.bin"), Bytes(3000, 'b'));
    QCOMPARE(release.folder.Read("sub/deep/c.bin"), Bytes(1025, 'c'));
    QCOMPARE(release.folder.Read("setup.ini"), QByteArray("[Mervo]\n版本=1.1\n"));
    QCOMPARE(release.folder.Files(),
             (QStringList{"MervoUpdate.log.1", "a.bin", "b.bin", "mervo", "setup.ini", "sub/deep/c.bin"}));
    QVERIFY(QFileInfo(release.folder.Path() + "/mervo").isExecutable());
    QCOMPARE(ReadFile(victim), QByteArray("keep me"));

    w->cmdFinish->Click();
    QVERIFY(w->IsUnloaded());
    QTRY_COMPARE_WITH_TIMEOUT(release.folder.Read("started"), QByteArray("1.1\n"), 5000);
    QCOMPARE(Events(release.folder),
             (QStringList{"启动，服务器 " + release.server.BaseUrl(), "已安装版本 1.0", "服务器提供版本 1.1",
                          "已下载：a.bin（5 字节）", "已下载：b.bin（3000 字节）", "已下载：sub\\deep\\c.bin（1025 字节）",
                          "已下载：mervo（29 字节）", "已下载：setup.ini（19 字节）", "已安装 5 个文件", "更新完成",
                          "启动主程序 " + release.folder.Path() + "/mervo"}));
    QCOMPARE(release.folder.Read("MervoUpdate.log.1"), oldLog);
  }

  // A download that goes wrong installs nothing; an install that goes wrong puts everything back.
  void failedUpdateChangesNothing_data()
  {
    QTest::addColumn<int>("fault");
    QTest::addColumn<Reply>("b");   // the answer to the download of b.bin
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("reason");
    Reply cut = Reply::Ok(Bytes(3000, 'b'));
    cut.closeAfter = 1500;
    Reply stall;
    stall.stall = true;
    Reply gzip = Reply::Ok(Bytes(3000, 'b'));
    gzip.headers << qMakePair(QByteArray("Content-Encoding"), QByteArray("gzip"));
    Reply endless;   // no length, and far longer than probed
    endless.streamBytes = 64 << 20;
    const QString sizeChanged = QStringLiteral("文件大小与检查时不同（检查时 3000 字节，下载时 %1 字节）");
    const QString download = QStringLiteral("文件下载失败：b.bin\r\n");
    const QString tooLarge = "/b.bin.tmp：" + QString::fromLocal8Bit(strerror(EFBIG));
    QTest::newRow("500") << BadReply << Reply::Status(500, "Internal Server Error") << download
                         << "服务器返回 HTTP 500 Internal Server Error";
    QTest::newRow("closed part-way") << BadReply << cut << download << "连接中断（已收到 1500 / 3000 字节）";
    QTest::newRow("stall") << BadReply << stall << download << "0.5 秒内未收到数据";
    QTest::newRow("gzip") << BadReply << gzip << download << "Content-Encoding: gzip";
    QTest::newRow("shorter than probed") << BadReply << Reply::Ok(Bytes(2000, 'b')) << download << sizeChanged.arg(2000);
    QTest::newRow("longer than probed, unannounced") << BadReply << endless << download
                                                     << "文件校验失败：大小不符（应为 3000 字节，收到的已超过 3000 字节）";
    // The system refuses a write in the middle of a file, or when its last block is written out.
    QTest::newRow("write fails during the download")
        << FileSizeLimit << Reply::Ok(Bytes(600 * 1024, 'b')) << download + "无法写入 " << tooLarge;
    QTest::newRow("write fails on the last block")
        << FileSizeLimit << Reply::Ok(Bytes(100 * 1024, 'b')) << download + "无法写入 " << tooLarge;
    // A folder stands where the last file should go, after the others were replaced.
    QTest::newRow("folder in the way") << FolderInTheWay << Reply::Ok(Bytes(3000, 'b'))
                                       << QStringLiteral("文件安装失败：setup.ini\r\n") << "";
  }

  void failedUpdateChangesNothing()
  {
    QFETCH(int, fault);
    QFETCH(Reply, b);
    QFETCH(QString, start);
    QFETCH(QString, reason);
    Release release;
    if (fault == FolderInTheWay) {
      release.original.remove("setup.ini");
      QVERIFY(QDir(release.folder.Path()).remove("setup.ini") && QDir(release.folder.Path()).mkdir("setup.ini"));
      release.Keep("setup.ini/inside", "x");
    }
    if (fault == FileSizeLimit)
      release.server.Route("/mrvo/b.bin", b);
    auto w = release.Offer();
    w->intClient->SetTimeoutMs(500);
    // The probe has already succeeded; only the download of b.bin goes wrong.
    connect(&release.server, &TestServer::RequestReceived, this, [&](const QString& request) {
      if (fault == BadReply && request == QLatin1String("GET /mrvo/a.bin"))
        release.server.Route("/mrvo/b.bin", b);
    });
    rlimit old{};
    QVERIFY(getrlimit(RLIMIT_FSIZE, &old) == 0);
    rlimit limited = old;
    if (fault == FileSizeLimit)
      limited.rlim_cur = 64 * 1024;
    ::signal(SIGXFSZ, SIG_IGN);
    QVERIFY(setrlimit(RLIMIT_FSIZE, &limited) == 0);
    const bool ended = Update(*w);
    QVERIFY(setrlimit(RLIMIT_FSIZE, &old) == 0);
    QVERIFY(ended);

    QVERIFY2(release.Untouched(), qPrintable(release.folder.Files().join(",")));
    // A refused body is not read to its end.
    QTRY_VERIFY_WITH_TIMEOUT(!release.server.Streaming(), 5000);
    QVERIFY(release.server.Streamed() < 16 << 20);
    QVERIFY(!QFileInfo(release.folder.Path() + "/mervo").isExecutable());
    QCOMPARE(Q(w->StatusText()), Stopped);
    QCOMPARE(Q(w->cmdFinish->Caption()), QStringLiteral("退出"));
    QVERIFY(!w->cmdUpdate->Visible());
    const QString message = release.log.Texts().value(release.log.shown.size() - 1);
    const QString end = fault == FolderInTheWay ? QStringLiteral("\r\n已恢复原有文件。") : QStringLiteral("\r\n未更新任何文件。");
    QVERIFY2(message.startsWith(start) && message.contains(reason) && message.endsWith(end), qPrintable(message));
    if (fault != FolderInTheWay)
      QCOMPARE(release.server.Count("GET", "/mrvo/sub/deep/c.bin"), 0);
    const QStringList events = Events(release.folder);
    QVERIFY(events.contains(QStringLiteral("更新终止")));
    QCOMPARE(events.last(), "消息：" + QString(message).replace("\r\n", " / "));
  }

  void closingDuringDownloadCancels()
  {
    Release release;
    auto w = release.Offer();
    Reply stall;
    stall.stall = true;
    release.server.Route("/mrvo/sub/deep/c.bin", stall);
    connect(&release.server, &TestServer::RequestReceived, this, [&](const QString& request) {
      if (request == QLatin1String("GET /mrvo/sub/deep/c.bin"))
        WindowWidget()->close();
    });
    w->cmdUpdate->Click();
    QTRY_VERIFY_WITH_TIMEOUT(w->IsUnloaded(), 5000);
    QVERIFY(release.Untouched());
    QVERIFY(release.log.shown.isEmpty());
  }

  // Nothing is written through a linked folder, whether linked before the check or after the offer.
  void linkedFolderLeadsNowhere_data()
  {
    QTest::addColumn<bool>("linkBeforeProbe");
    QTest::newRow("linked folder at the start") << true;
    QTest::newRow("folder swapped for a link after the offer") << false;
  }

  void linkedFolderLeadsNowhere()
  {
    QFETCH(bool, linkBeforeProbe);
    QTemporaryDir outside;
    Release release;
    const QString sub = release.folder.Path() + "/sub";
    if (linkBeforeProbe)
      QVERIFY(QFile::link(outside.path(), sub));
    auto w = release.Start();
    QVERIFY(QTest::qWaitFor([&] { return Q(w->StatusText()) != QStringLiteral("正在获取更新列表，请稍候..."); }, 5000));
    if (linkBeforeProbe) {
      QCOMPARE(Q(w->StatusText()), QStringLiteral("更新列表中的文件名无效：sub\\deep\\c.bin，无法继续更新 ..."));
      QCOMPARE(release.server.Requests().filter(QRegularExpression("^HEAD /mrvo/(?!UpdList)")), QStringList());
    } else {
      QCOMPARE(Q(w->StatusText()), Offered);
      QVERIFY(QDir(sub).removeRecursively() && QFile::link(outside.path(), sub));
      QVERIFY(Update(*w));
      QVERIFY2(release.log.Texts().value(0).startsWith(
                   QStringLiteral("文件下载失败：sub\\deep\\c.bin\r\n文件夹链接到了程序文件夹之外")),
               qPrintable(release.log.Texts().value(0)));
    }
    QCOMPARE(QDir(outside.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
  }

  // An install that stopped half-way (as in a crash) is finished or undone at the next start,
  // before the update check, which then goes on as usual.
  void recoveryAtStartUp_data()
  {
    QTest::addColumn<QString>("stopAfter");   // the engine step the "crash" comes after; "" for a damaged record
    QTest::addColumn<QString>("message");
    QTest::newRow("while downloading") << "download" << "";
    QTest::newRow("while installing") << "替换 a.bin" << "上次更新未完成，已恢复原有文件。";
    QTest::newRow("after committing") << "写入更新记录：committed" << "上次更新已完成。";
    QTest::newRow("damaged record") << "" << "更新记录已损坏：记录不完整";
  }

  void recoveryAtStartUp()
  {
    QFETCH(QString, stopAfter);
    QFETCH(QString, message);
    struct Crash {};
    struct StopAt : engine::InstallObserver {
      std::string what;
      void Step(int, const std::string& done) override
      {
        if (done == what)
          throw Crash{};
      }
    } observer;
    observer.what = stopAfter.toStdString();
    Release release;
    const std::unique_ptr<engine::FileOps> ops = engine::SystemFileOps();
    engine::InstallEngine install(release.folder.Path().toStdString(), *ops, &observer);
    const bool damaged = stopAfter.isEmpty();
    const bool committed = stopAfter.endsWith("committed");
    if (damaged) {
      release.folder.Write("MervoUpdate.journal", "MervoUpdate journal 1\ndownload\ntmp\ta.bin.tmp\n");
    } else {
      QVERIFY(install.BeginDownload({"a.bin", "b.bin"}).empty());
      release.folder.Write("a.bin.tmp", "new a");
      release.folder.Write("b.bin.tmp", Bytes(3000, 'b'));
      if (stopAfter != "download")
        QVERIFY_THROWS_EXCEPTION(Crash, install.Install({{"a.bin", false}, {"b.bin", false}}));
    }
    auto w = release.Start();
    if (damaged)
      QVERIFY(w->IsUnloaded());
    else
      QTRY_COMPARE_WITH_TIMEOUT(Q(w->StatusText()), Offered, 5000);
    QCOMPARE(release.log.Texts(), message.isEmpty() ? QStringList() : QStringList{message});
    QCOMPARE(release.folder.Read("a.bin"), committed ? QByteArray("new a") : release.original["a.bin"]);
    QCOMPARE(release.folder.Read("b.bin"), committed ? Bytes(3000, 'b') : release.original["b.bin"]);
    QStringList expected = release.original.keys();
    expected << (damaged ? "MervoUpdate.journal" : "NewUpdList.xml");
    expected.sort();
    QCOMPARE(release.folder.Files(), expected);
    QCOMPARE(release.server.Requests().isEmpty(), damaged);
  }

  // The main program running from the program folder is ended first, if the user agrees: by
  // force when it ignores the request, and never another process that got its id meanwhile.
  void runningMainProgram_data()
  {
    QTest::addColumn<bool>("agree");
    QTest::addColumn<bool>("ignoresTerm");
    QTest::addColumn<bool>("idReused");
    QTest::newRow("yes: it is ended, the update goes on") << true << false << false;
    QTest::newRow("yes, though it ignores SIGTERM: it is killed") << true << true << false;
    QTest::newRow("yes, but it exits and its id is reused during the question") << true << false << true;
    QTest::newRow("no: nothing is installed") << false << false << false;
  }

  void runningMainProgram()
  {
    QFETCH(bool, agree);
    QFETCH(bool, ignoresTerm);
    QFETCH(bool, idReused);
    const QString nextPid = QStringLiteral("/proc/sys/kernel/ns_last_pid");
    if (idReused && !QFileInfo(nextPid).isWritable())
      QSKIP("cannot choose the next process id here");
    Release release;
    release.Keep("mervo", ReadFile(QStringLiteral("/bin/sleep")));
    QFile::setPermissions(release.folder.Path() + "/mervo", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcess running;
    if (ignoresTerm)
      running.setChildProcessModifier([] { ::signal(SIGTERM, SIG_IGN); });
    running.start(release.folder.Path() + "/mervo", {"600"});
    QVERIFY(running.waitForStarted(5000));
    const qint64 pid = running.processId();
    QProcess stranger;
    qint64 strangerPid = 0;
    if (idReused)
      release.log.onNextBox = [&] {
        running.kill();
        running.waitForFinished(5000);
        for (int tries = 0; tries < 100 && stranger.processId() != pid; ++tries) {
          stranger.kill();
          stranger.waitForFinished(5000);
          WriteFile(nextPid, QByteArray::number(pid - 1));
          stranger.start(QStringLiteral("/bin/sleep"), {"600"});
          stranger.waitForStarted(5000);
        }
        strangerPid = stranger.processId();
      };
    release.log.answer = agree ? MsgBoxResult::Yes : MsgBoxResult::No;
    auto w = release.Offer();
    w->lngEndGraceMs = 100;
    QVERIFY(Update(*w));

    QCOMPARE(release.log.shown.value(0).text, "更新主程序：" + release.folder.Path() + "/mervo正在运行!\r\n"
                                                    "关闭此程序按[是]，终止更新按[否]");
    QCOMPARE(release.log.shown.value(0).style, MsgBoxStyle::YesNoQuestion);
    if (agree) {
      QVERIFY(running.state() == QProcess::NotRunning || running.waitForFinished(5000));
      QCOMPARE(Q(w->StatusText()), Done);
      QCOMPARE(release.folder.Read("a.bin"), QByteArray("new a"));
    } else {
      QCOMPARE(running.state(), QProcess::Running);
      QCOMPARE(Q(w->StatusText()), Stopped);
      QVERIFY(release.Untouched());
      running.kill();
      running.waitForFinished(5000);
    }
    if (idReused) {
      // Another process may take the id first; then this machine cannot show the case.
      if (strangerPid != pid)
        QSKIP("the ended program's id went to another process");
      QCOMPARE(stranger.state(), QProcess::Running);
      stranger.kill();
      stranger.waitForFinished(5000);
    }
  }

  // A second updater started in the same folder while one is at work leaves everything to it;
  // the lock it finds is not handed down to the programs the first one starts.
  void oneRunAtATime()
  {
    Release release;
    const QString program = release.folder.Path() + "/MervoUpdate";
    QVERIFY(QFile::copy(QStringLiteral(MERVO_UPDATE_EXE), program));
    auto w = release.Offer();

    QProcess second;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    second.setProcessEnvironment(environment);
    QStringList before, during, secondEvents;
    connect(&release.server, &TestServer::RequestReceived, this, [&](const QString& request) {
      if (request != QLatin1String("GET /mrvo/b.bin"))
        return;
      before = release.folder.Files();
      second.start(program);
      // Its box waits for a click that never comes offscreen: its log tells that it showed it.
      (void)QTest::qWaitFor([&] {
        secondEvents = Events(release.folder).filter("消息：");
        return !secondEvents.isEmpty() || second.state() == QProcess::NotRunning
               || !release.folder.Exists("MervoUpdate.journal");
      }, 10000);
      during = release.folder.Files();
      second.kill();
      second.waitForFinished(5000);
    });
    QVERIFY(Update(*w));

    QCOMPARE(secondEvents, QStringList{"消息：更新程序已在运行。"});
    QVERIFY(before.contains("MervoUpdate.journal") && before.contains("a.bin.tmp"));
    QCOMPARE(during, before);
    QCOMPARE(Q(w->StatusText()), Done);
    QCOMPARE(release.folder.Read("a.bin"), QByteArray("new a"));
    QCOMPARE(release.folder.Read("b.bin"), Bytes(3000, 'b'));
    QCOMPARE(release.folder.Read("sub/deep/c.bin"), Bytes(1025, 'c'));
    QCOMPARE(release.folder.Read("mervo"), QByteArray("#!/bin/sh\necho 1.1 > started\n"));
    QCOMPARE(release.folder.Read("setup.ini"), QByteArray("[Mervo]\n版本=1.1\n"));
    QCOMPARE(release.folder.Files(), (QStringList{"MervoUpdate", "a.bin", "b.bin", "mervo", "setup.ini", "sub/deep/c.bin"}));
    const QString lock = release.folder.Path() + "/MervoUpdate.lock";
    QByteArray lockFlags;
    for (const QFileInfo& fd : QDir("/proc/self/fd").entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot))
      if (fd.symLinkTarget() == lock)
        lockFlags = ReadFile("/proc/self/fdinfo/" + fd.fileName()).split('\n').value(1).mid(6);   // "flags:\t0..."
    QVERIFY2(lockFlags.trimmed().toInt(nullptr, 8) & O_CLOEXEC, lockFlags.constData());
  }
};

QTEST_MAIN(UpdateTest)
#include "test_update.moc"
