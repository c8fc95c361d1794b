// Whole updates through the real window: downloads, progress, installation,
// hand-over, and every way an update can fail without touching the product.
#include "Fixture.h"
#include "TestServer.h"
#include "engine/Install.h"
#include "frmUpdate/frmUpdate.h"

#include <QFileInfo>
#include <QProcess>
#include <QProgressBar>
#include <QRegularExpression>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <sys/resource.h>

namespace {
const QString Offered = QStringLiteral("发现更新文件 ，点【更新】开始更新...");
const QString Stopped = QStringLiteral("更新终止，请按[退出]");

QByteArray Bytes(int size, char seed)
{
  QByteArray data(size, Qt::Uninitialized);
  for (int i = 0; i < size; ++i)
    data[i] = char(seed + i * 7);
  return data;
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
    if (!QTest::qWaitFor([&] { return w->StatusText() == Offered; }, 5000))
      qWarning() << "no offer:" << w->StatusText() << log.Texts();
    return w;
  }
};

bool Ended(const frmUpdate& w)
{
  return QTest::qWaitFor([&] { return w.cmdFinish->isEnabled() || w.IsUnloaded(); }, 10000);
}
}

class UpdateTest : public QObject {
  Q_OBJECT
private slots:
  void wholeUpdateThenHandOver();
  void progressFollowsTheChunks_data();
  void progressFollowsTheChunks();
  void failedDownloadInstallsNothing_data();
  void failedDownloadInstallsNothing();
  void failedInstallRestoresEverything();
  void secondClickDoesNotDownloadAgain();
  void closingDuringDownloadCancels();
  void linksNeverLeadOutside_data();
  void linksNeverLeadOutside();
  void linkedTargetsAreReplacedNotWrittenThrough();
  void writeFailureShowsTheSystemsReason_data();
  void writeFailureShowsTheSystemsReason();
  void logRecordsTheRun_data();
  void logRecordsTheRun();
  void recoveryAtStartUp_data();
  void recoveryAtStartUp();
  void runningMainProgram_data();
  void runningMainProgram();
};

void UpdateTest::wholeUpdateThenHandOver()
{
  Release release;
  auto w = release.Offer();
  QStringList shownWhileDownloading;
  connect(&release.server, &TestServer::RequestReceived, this, [&](const QString& request) {
    if (request.startsWith(QLatin1String("GET ")))
      shownWhileDownloading << request.mid(10) + u'=' + w->StatusText();
  });
  QTest::mouseClick(w->cmdUpdate, Qt::LeftButton);
  QVERIFY(Ended(*w));

  QCOMPARE(shownWhileDownloading, (QStringList{"a.bin=正在更新：a.bin ...", "b.bin=正在更新：b.bin ...",
                                               "sub/deep/c.bin=正在更新：sub\\deep\\c.bin ...",
                                               "mervo=正在更新：mervo ...", "setup.ini=正在更新：setup.ini ..."}));
  QCOMPARE(w->StatusText(), QStringLiteral("更新完成！"));
  QVERIFY(release.log.shown.isEmpty());
  QCOMPARE(w->cmdFinish->text(), QStringLiteral("完成"));
  QVERIFY(w->cmdUpdate->isHidden());
  QCOMPARE(w->pbUpdate->value(), 100);
  for (int i = 0; i < w->lvUpdateList->topLevelItemCount(); ++i)
    QCOMPARE(w->lvUpdateList->topLevelItem(i)->text(3), QStringLiteral("100%"));
  QCOMPARE(release.folder.Read("a.bin"), QByteArray("new a"));
  QCOMPARE(release.folder.Read("b.bin"), Bytes(3000, 'b'));
  QCOMPARE(release.folder.Read("sub/deep/c.bin"), Bytes(1025, 'c'));
  QCOMPARE(release.folder.Read("setup.ini"), QByteArray("[Mervo]\n版本=1.1\n"));
  QCOMPARE(release.folder.Files(), (QStringList{"a.bin", "b.bin", "mervo", "setup.ini", "sub/deep/c.bin"}));
  QVERIFY(QFileInfo(release.folder.Path() + "/mervo").isExecutable());

  QTest::mouseClick(w->cmdFinish, Qt::LeftButton);
  QVERIFY(w->IsUnloaded());
  QTRY_COMPARE_WITH_TIMEOUT(release.folder.Read("started"), QByteArray("1.1\n"), 5000);
}

void UpdateTest::progressFollowsTheChunks_data()
{
  QTest::addColumn<int>("size");
  QTest::addColumn<bool>("sizeKnown");
  QTest::addColumn<QStringList>("shown");
  QTest::newRow("3000 bytes") << 3000 << true << QStringList{"34", "68", "100", "100%"};
  QTest::newRow("1025 bytes") << 1025 << true << QStringList{"100", "100%"};
  QTest::newRow("size unknown") << 5000 << false << QStringList{"100", "100%"};
}

void UpdateTest::progressFollowsTheChunks()
{
  QFETCH(int, size);
  QFETCH(bool, sizeKnown);
  QFETCH(QStringList, shown);
  UpdaterRun run;
  run.server.File("UpdList.xml", UpdateList("2", {}, {{"f.bin", "2"}}, "f.bin"));
  Reply file = Reply::Ok(Bytes(size, 'f'));
  file.sendContentLength = sizeKnown;
  run.server.Route("/mrvo/f.bin", file);
  auto w = run.Start();
  QTRY_COMPARE_WITH_TIMEOUT(w->StatusText(), Offered, 5000);

  QStringList progress;
  QList<int> bar;
  connect(w->lvUpdateList->model(), &QAbstractItemModel::dataChanged, this,
          [&](const QModelIndex& index) {
            if (index.column() == 3)
              progress << index.data().toString();
          });
  connect(w->pbUpdate, &QProgressBar::valueChanged, this, [&](int value) { bar << value; });
  QTest::mouseClick(w->cmdUpdate, Qt::LeftButton);
  QVERIFY(Ended(*w));
  QCOMPARE(w->StatusText(), QStringLiteral("更新完成！"));
  QCOMPARE(progress, shown);
  QVERIFY(!bar.isEmpty());
  QVERIFY(*std::max_element(bar.begin(), bar.end()) <= 100);
  QCOMPARE(run.folder.Read("f.bin"), Bytes(size, 'f'));
}

void UpdateTest::failedDownloadInstallsNothing_data()
{
  QTest::addColumn<Reply>("second");
  QTest::addColumn<QString>("reason");
  Reply cut = Reply::Ok(Bytes(3000, 'b'));
  cut.closeAfter = 1500;
  Reply reset = cut;
  reset.resetOnClose = true;
  Reply stall = Reply::Ok(Bytes(3000, 'b'));
  stall.stall = true;
  QTest::newRow("500") << Reply::Status(500, "Internal Server Error") << "服务器返回 HTTP 500 Internal Server Error";
  QTest::newRow("404 on GET") << Reply::Status(404, "Not Found") << "服务器返回 HTTP 404 Not Found";
  QTest::newRow("closed part-way") << cut << "连接中断（已收到 1500 / 3000 字节）";
  QTest::newRow("reset part-way") << reset << "连接中断";
  Reply shorter = Reply::Ok(Bytes(2000, 'b'));
  Reply longerUnannounced = Reply::Ok(Bytes(4000, 'b'));
  longerUnannounced.sendContentLength = false;
  Reply gzip = Reply::Ok(Bytes(3000, 'b'));
  gzip.headers << qMakePair(QByteArray("Content-Encoding"), QByteArray("gzip"));
  QTest::newRow("stall") << stall << "0.5 秒内未收到数据";
  QTest::newRow("gzip") << gzip << "Content-Encoding: gzip";
  const QString sizeChanged = QStringLiteral("文件大小与检查时不同（检查时 3000 字节，下载时 %1 字节）");
  QTest::newRow("shorter than probed") << shorter << sizeChanged.arg(2000);
  QTest::newRow("longer than probed, unannounced") << longerUnannounced << sizeChanged.arg(4000);
}

void UpdateTest::failedDownloadInstallsNothing()
{
  QFETCH(Reply, second);
  QFETCH(QString, reason);
  Release release;
  auto w = release.Offer();
  w->intClient->SetTimeoutMs(500);
  // The probe has already succeeded; only the download of b.bin goes wrong.
  connect(&release.server, &TestServer::RequestReceived, this, [&](const QString& request) {
    if (request == QLatin1String("GET /mrvo/a.bin"))
      release.server.Route("/mrvo/b.bin", second);
  });
  QTest::mouseClick(w->cmdUpdate, Qt::LeftButton);
  QVERIFY(Ended(*w));

  QVERIFY(release.Untouched());
  QCOMPARE(w->StatusText(), Stopped);
  QCOMPARE(w->cmdFinish->text(), QStringLiteral("退出"));
  QVERIFY(w->cmdUpdate->isHidden());
  const QStringList texts = release.log.Texts();
  QVERIFY2(!texts.isEmpty(), "no message");
  const QString message = texts.last();
  QVERIFY2(message.startsWith(QStringLiteral("文件下载失败：b.bin\r\n")), qPrintable(message));
  QVERIFY2(message.endsWith(QStringLiteral("\r\n未更新任何文件。")), qPrintable(message));
  QVERIFY2(message.contains(reason), qPrintable(message));
  QCOMPARE(release.server.Count("GET", "/mrvo/sub/deep/c.bin"), 0);
}

void UpdateTest::failedInstallRestoresEverything()
{
  Release release;
  // A folder stands where the last file should go, after the others were replaced.
  release.original.remove("setup.ini");
  QVERIFY(QDir(release.folder.Path()).remove("setup.ini"));
  QVERIFY(QDir(release.folder.Path()).mkdir("setup.ini"));
  release.folder.Write("setup.ini/inside", "x");
  release.original.insert("setup.ini/inside", "x");
  auto w = release.Start();
  QTRY_COMPARE_WITH_TIMEOUT(w->StatusText(), Offered, 5000);
  QTest::mouseClick(w->cmdUpdate, Qt::LeftButton);
  QVERIFY(Ended(*w));

  QVERIFY2(release.Untouched(), qPrintable(release.folder.Files().join(",") + " " + release.log.Texts().join("|")));
  QCOMPARE(w->StatusText(), Stopped);
  const QString message = release.log.Texts().value(0);
  QVERIFY2(message.startsWith(QStringLiteral("文件安装失败：setup.ini\r\n")), qPrintable(message));
  QVERIFY(message.endsWith(QStringLiteral("\r\n已恢复原有文件。")));
  QVERIFY(!QFileInfo(release.folder.Path() + "/mervo").isExecutable());
}

void UpdateTest::secondClickDoesNotDownloadAgain()
{
  Release release;
  auto w = release.Offer();
  Reply slow = Reply::Ok("new a");
  slow.delayMs = 300;
  release.server.Route("/mrvo/a.bin", slow);
  bool enabledDuringDownload = true;
  connect(&release.server, &TestServer::RequestReceived, this, [&](const QString& request) {
    if (request != QLatin1String("GET /mrvo/a.bin"))
      return;
    enabledDuringDownload = w->cmdUpdate->isEnabled();
    QVERIFY(w->cmdUpdate->isVisible());
    QTest::mouseClick(w->cmdUpdate, Qt::LeftButton);
  });
  QTest::mouseClick(w->cmdUpdate, Qt::LeftButton);
  QVERIFY(Ended(*w));
  QVERIFY(!enabledDuringDownload);
  QCOMPARE(release.server.Count("GET", "/mrvo/a.bin"), 1);
  QCOMPARE(w->StatusText(), QStringLiteral("更新完成！"));
}

void UpdateTest::closingDuringDownloadCancels()
{
  Release release;
  auto w = release.Offer();
  Reply stall;
  stall.stall = true;
  release.server.Route("/mrvo/sub/deep/c.bin", stall);
  connect(&release.server, &TestServer::RequestReceived, this, [&](const QString& request) {
    if (request == QLatin1String("GET /mrvo/sub/deep/c.bin"))
      w->close();
  });
  QTest::mouseClick(w->cmdUpdate, Qt::LeftButton);
  QTRY_VERIFY_WITH_TIMEOUT(w->IsUnloaded(), 5000);
  QVERIFY(release.Untouched());
  QVERIFY(release.log.shown.isEmpty());
}

// Nothing outside the program folder is written: not through a linked folder, not
// through a target or a leftover ".tmp" that is a link.
void UpdateTest::linksNeverLeadOutside_data()
{
  QTest::addColumn<bool>("linkBeforeProbe");
  QTest::newRow("linked folder at the start") << true;
  QTest::newRow("folder swapped for a link after the offer") << false;
}

void UpdateTest::linksNeverLeadOutside()
{
  QFETCH(bool, linkBeforeProbe);
  QTemporaryDir outside;
  Release release;
  const QString sub = release.folder.Path() + "/sub";
  auto linkSub = [&] { return QFile::link(outside.path(), sub); };
  if (linkBeforeProbe)
    QVERIFY(linkSub());
  auto w = release.Start();
  QVERIFY(QTest::qWaitFor([&] { return w->StatusText() != QStringLiteral("正在获取更新列表，请稍候..."); }, 5000));
  if (linkBeforeProbe) {
    QCOMPARE(w->StatusText(), QStringLiteral("更新列表中的文件名无效：sub\\deep\\c.bin，无法继续更新 ..."));
    QCOMPARE(release.server.Count("HEAD", "/mrvo/sub/deep/c.bin"), 0);
  } else {
    QCOMPARE(w->StatusText(), Offered);
    QVERIFY(QDir(sub).removeRecursively() && linkSub());
    QTest::mouseClick(w->cmdUpdate, Qt::LeftButton);
    QVERIFY(Ended(*w));
    QVERIFY2(release.log.Texts().value(0).startsWith(QStringLiteral("文件下载失败：sub\\deep\\c.bin\r\n文件夹链接到了程序文件夹之外")),
             qPrintable(release.log.Texts().value(0)));
    QVERIFY(QFileInfo(sub).isSymLink());
  }
  QCOMPARE(QDir(outside.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

// A target that is a link is replaced by the new file, and a leftover ".tmp" that is a
// link is replaced too: what they point at stays as it was.
void UpdateTest::linkedTargetsAreReplacedNotWrittenThrough()
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
  auto w = release.Offer();
  QTest::mouseClick(w->cmdUpdate, Qt::LeftButton);
  QVERIFY(Ended(*w));
  QCOMPARE(w->StatusText(), QStringLiteral("更新完成！"));
  QVERIFY(!QFileInfo(release.folder.Path() + "/b.bin").isSymLink());
  QCOMPARE(release.folder.Read("b.bin"), Bytes(3000, 'b'));
  QCOMPARE(release.folder.Read("a.bin"), QByteArray("new a"));
  QFile check(victim);
  QVERIFY(check.open(QIODevice::ReadOnly));
  QCOMPARE(check.readAll(), QByteArray("keep me"));
}

// A write that fails, in the middle of a file or when its last block is written out,
// stops the update with the system's reason.
void UpdateTest::writeFailureShowsTheSystemsReason_data()
{
  QTest::addColumn<int>("size");
  QTest::newRow("during the download") << 600 * 1024;
  QTest::newRow("when the last block is written out") << 100 * 1024;
}

void UpdateTest::writeFailureShowsTheSystemsReason()
{
  QFETCH(int, size);
  Release release;
  release.server.File("b.bin", Bytes(size, 'b'));
  auto w = release.Offer();
  rlimit old{};
  QVERIFY(getrlimit(RLIMIT_FSIZE, &old) == 0);
  rlimit limited = old;
  limited.rlim_cur = 64 * 1024;
  QVERIFY(setrlimit(RLIMIT_FSIZE, &limited) == 0);
  ::signal(SIGXFSZ, SIG_IGN);
  QTest::mouseClick(w->cmdUpdate, Qt::LeftButton);
  const bool ended = Ended(*w);
  QVERIFY(setrlimit(RLIMIT_FSIZE, &old) == 0);
  QVERIFY(ended);
  QVERIFY(release.Untouched());
  const QString message = release.log.Texts().value(0);
  QVERIFY2(message.startsWith(QStringLiteral("文件下载失败：b.bin\r\n无法写入 ") + release.folder.Path() + "/b.bin.tmp：" +
                              QString::fromLocal8Bit(strerror(EFBIG))),
           qPrintable(message));
}

// Each run appends its events to the log, one line each with the local time; a log
// grown past 1 MiB moves aside first.
void UpdateTest::logRecordsTheRun_data()
{
  QTest::addColumn<bool>("fail");
  QTest::newRow("whole update, log rotated") << false;
  QTest::newRow("failed download") << true;
}

void UpdateTest::logRecordsTheRun()
{
  QFETCH(bool, fail);
  Release release;
  const QByteArray old(1024 * 1024 - 10, 'o');
  if (!fail)
    release.folder.Write("MervoUpdate.log", old);
  if (fail)
    release.server.Route("/mrvo/b.bin", Reply::Status(500, "Internal Server Error"));
  auto w = release.Offer();
  QTest::mouseClick(w->cmdUpdate, Qt::LeftButton);
  QVERIFY(Ended(*w));
  QTest::mouseClick(w->cmdFinish, Qt::LeftButton);

  QStringList events;
  const QRegularExpression stamp("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d([+-]\\d\\d:\\d\\d|Z) ");
  for (const QString& line : QString::fromUtf8(release.folder.Read("MervoUpdate.log")).split(u'\n', Qt::SkipEmptyParts)) {
    QVERIFY2(stamp.match(line).hasMatch(), qPrintable(line));
    events << line.section(u' ', 1);
  }
  QStringList expected{"启动，服务器 " + release.server.BaseUrl(), "已安装版本 1.0", "服务器提供版本 1.1",
                       "已下载：a.bin（5 字节）"};
  if (fail)
    expected << "更新终止" << "消息：文件下载失败：b.bin / 服务器返回 HTTP 500 Internal Server Error / 未更新任何文件。";
  else
    expected << "已下载：b.bin（3000 字节）" << "已下载：sub\\deep\\c.bin（1025 字节）" << "已下载：mervo（29 字节）"
             << "已下载：setup.ini（19 字节）" << "已安装 5 个文件" << "更新完成";
  expected << "启动主程序 " + release.folder.Path() + "/mervo";
  QCOMPARE(events, expected);
  QCOMPARE(release.folder.Read("MervoUpdate.log.1"), fail ? QByteArray() : old);
}

// An install that stopped half-way (as in a crash) is finished or undone at the next start,
// before the update check, which then goes on as usual.
void UpdateTest::recoveryAtStartUp_data()
{
  QTest::addColumn<QString>("stopAfter");   // the engine step the "crash" comes after; "" for a damaged record
  QTest::addColumn<QString>("message");
  QTest::addColumn<bool>("newFiles");
  QTest::newRow("while downloading") << "download" << "" << false;
  QTest::newRow("while installing") << "替换 a.bin" << "上次更新未完成，已恢复原有文件。" << false;
  QTest::newRow("after committing") << "写入更新记录：committed" << "上次更新已完成。" << true;
  QTest::newRow("damaged record") << "" << "更新记录已损坏：记录不完整" << false;
}

void UpdateTest::recoveryAtStartUp()
{
  QFETCH(QString, stopAfter);
  QFETCH(QString, message);
  QFETCH(bool, newFiles);
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
  const std::string folder = release.folder.Path().toStdString();
  const std::unique_ptr<engine::FileOps> ops = engine::SystemFileOps();
  engine::InstallEngine install(folder, *ops, &observer);
  if (stopAfter.isEmpty()) {
    release.folder.Write("MervoUpdate.journal", "MervoUpdate journal 1\ndownload\ntmp\ta.bin.tmp\n");
  } else {
    QVERIFY(install.BeginDownload({"a.bin", "b.bin"}).empty());
    release.folder.Write("a.bin.tmp", "new a");
    release.folder.Write("b.bin.tmp", Bytes(3000, 'b'));
    if (stopAfter != "download")
      QVERIFY_THROWS_EXCEPTION(Crash, install.Install({{"a.bin", false}, {"b.bin", false}}));
  }
  const bool damaged = stopAfter.isEmpty();
  auto w = release.Start();
  if (damaged)
    QVERIFY(w->IsUnloaded());
  else
    QTRY_COMPARE_WITH_TIMEOUT(w->StatusText(), Offered, 5000);
  QCOMPARE(release.log.Texts(), message.isEmpty() ? QStringList() : QStringList{message});
  QCOMPARE(release.folder.Read("a.bin"), newFiles ? QByteArray("new a") : release.original["a.bin"]);
  QCOMPARE(release.folder.Read("b.bin"), newFiles ? Bytes(3000, 'b') : release.original["b.bin"]);
  QStringList expected = release.original.keys();
  expected << (damaged ? "MervoUpdate.journal" : "NewUpdList.xml");
  expected.sort();
  QCOMPARE(release.folder.Files(), expected);
  QCOMPARE(release.server.Requests().isEmpty(), damaged);
}

// The main program running from the program folder is ended first, if the user agrees.
void UpdateTest::runningMainProgram_data()
{
  QTest::addColumn<bool>("agree");
  QTest::newRow("yes: it is ended, the update goes on") << true;
  QTest::newRow("no: nothing is installed") << false;
}

void UpdateTest::runningMainProgram()
{
  QFETCH(bool, agree);
  Release release;
  QFile sleep(QStringLiteral("/bin/sleep"));
  QVERIFY(sleep.open(QIODevice::ReadOnly));
  release.Keep("mervo", sleep.readAll());
  QFile::setPermissions(release.folder.Path() + "/mervo", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  QProcess running;
  running.start(release.folder.Path() + "/mervo", {"600"});
  QVERIFY(running.waitForStarted(5000));
  release.log.answer = agree ? MsgBoxResult::Yes : MsgBoxResult::No;
  auto w = release.Offer();
  QTest::mouseClick(w->cmdUpdate, Qt::LeftButton);
  QVERIFY(Ended(*w));

  QCOMPARE(release.log.shown.value(0).text, "更新主程序：" + release.folder.Path() + "/mervo正在运行!\r\n"
                                                  "关闭此程序按[是]，终止更新按[否]");
  QCOMPARE(release.log.shown.value(0).style, MsgBoxStyle::YesNoQuestion);
  if (agree) {
    QVERIFY(running.state() == QProcess::NotRunning || running.waitForFinished(5000));
    QCOMPARE(w->StatusText(), QStringLiteral("更新完成！"));
    QCOMPARE(release.folder.Read("a.bin"), QByteArray("new a"));
  } else {
    QCOMPARE(running.state(), QProcess::Running);
    QCOMPARE(w->StatusText(), Stopped);
    QVERIFY(release.Untouched());
    running.kill();
    running.waitForFinished(5000);
  }
}

QTEST_MAIN(UpdateTest)
#include "test_update.moc"
