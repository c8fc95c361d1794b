// The install engine: a failure at each file operation, a crash at each step of an install
// and of its recovery, and journals that cannot be trusted.
#include "engine/Install.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <sys/stat.h>

using engine::RecoveryOutcome;
Q_DECLARE_METATYPE(RecoveryOutcome)

namespace {
// Every file below a folder: its mode and content, by relative name.
using Snapshot = std::map<QString, QByteArray>;

struct File {
  const char* name;
  int mode;
  const char* content;
};
const std::vector<File> OldFiles = {{"Mervo", 0744, "old program"}, {"数据/a.dat", 0640, "old a"}, {"数据/keep.txt", 0644, "kept"}};
// As installed: a replaced file keeps its mode, a new one gets the usual mode, the main
// program gains execute bits where it can be read.
const std::vector<File> NewFiles = {{"数据/a.dat", 0640, "new a"}, {"plugins/b.dll", 0644, "new b"}, {"Mervo", 0755, "new program"}};
// Replaced in a folder, new in a new folder, the main program; one listed twice.
const QStringList Items = {"数据/a.dat", "plugins/b.dll", "数据/a.dat", "*Mervo"};

void Put(const QString& folder, const QString& name, int mode, const QByteArray& content)
{
  QFile file(folder + '/' + name);
  QDir().mkpath(QFileInfo(file).path());
  QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
  file.close();
  QVERIFY(::chmod(QFile::encodeName(file.fileName()).constData(), mode_t(mode)) == 0);
}

Snapshot Take(const QString& folder)
{
  Snapshot files;
  QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
  for (struct stat status; it.hasNext();) {
    QFile file(it.next());
    ::lstat(QFile::encodeName(file.fileName()).constData(), &status);
    file.open(QIODevice::ReadOnly);
    files[QDir(folder).relativeFilePath(file.fileName())] = QByteArray::number(status.st_mode & 0777, 8) + ' ' + file.readAll();
  }
  return files;
}

// The old release, or the new one over it.
Snapshot Release(bool updated)
{
  Snapshot files;
  for (const auto& list : {OldFiles, updated ? NewFiles : OldFiles})
    for (const File& file : list)
      files[file.name] = QByteArray::number(file.mode, 8) + ' ' + file.content;
  return files;
}

// The old release, a journal of the download and its ".tmp" files, as the window leaves them;
// with stale, also a kept-aside copy left behind by an older updater.
void Prepare(const QString& folder, bool stale = false)
{
  for (const File& file : OldFiles)
    Put(folder, file.name, file.mode, file.content);
  if (stale)
    Put(folder, "Mervo.updbak~", 0644, "stale");
  std::vector<std::string> names;
  for (const File& file : NewFiles)
    names.push_back(file.name);
  QCOMPARE(QString::fromStdString(engine::InstallEngine(folder.toStdString(), *engine::SystemFileOps()).BeginDownload(names)), QString());
  for (const File& file : NewFiles)
    Put(folder, QString(file.name) + ".tmp", 0600, file.content);
}

// What the list pins: a.dat with a strong ETag, b.dll with Last-Modified, Mervo with no validator.
const std::vector<engine::KeepableFile> Pinned = {
    {"数据/a.dat", 5, std::string(64, 'a'), "\"etag a\""},
    {"plugins/b.dll", 5, std::string(64, 'B'), "Tue, 15 Nov 1994 08:12:31 GMT"},
    {"Mervo", 11, std::string(64, 'c'), ""}};

// The old release and a download of the new one that has received 3 bytes of every file.
void CutDownload(const QString& folder, engine::InstallEngine& engine)
{
  for (const File& file : OldFiles)
    Put(folder, file.name, file.mode, file.content);
  std::vector<std::string> names;
  for (const File& file : NewFiles)
    names.push_back(file.name);
  QCOMPARE(QString::fromStdString(engine.BeginDownload(names, Pinned)), QString());
  for (const File& file : NewFiles)
    Put(folder, QString(file.name) + ".tmp", 0600, QByteArray(file.content).left(3));
}

// The kept parts as "name size hash validator received".
QStringList Kept(const QString& folder)
{
  QStringList parts;
  for (const engine::KeptPart& part : engine::InstallEngine(folder.toStdString(), *engine::SystemFileOps()).KeptParts())
    parts << QString::fromStdString(part.name + ' ' + std::to_string(part.size) + ' ' + part.sha256.substr(0, 4) + ' '
                                    + part.validator + ' ' + std::to_string(part.received));
  return parts;
}

// Runs the crash program; returns the steps it reached ("" when it did not end as asked:
// killed at a step, or normally at step 0).
QStringList Crash(int step, const QString& folder, const QStringList& mode)
{
  QProcess process;
  process.start(ENGINE_CRASH, QStringList{QString::number(step), folder} + mode);
  if (!process.waitForFinished(60000)
      || (step ? process.exitStatus() != QProcess::CrashExit : process.exitCode() != 0))
    return {""};
  return QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

engine::Recovery RecoverHere(const QString& folder)
{
  return engine::Recover(folder.toStdString(), *engine::SystemFileOps());
}

// Delegates to the system's operations but fails the nth call of one of them; for op "Name+",
// that call and every later one until Heal.
class FailingOps : public engine::FileOps {
public:
  FailingOps(QString op, int n) : m_real(engine::SystemFileOps()), m_op(op), m_n(n), m_sticky(m_op.endsWith('+'))
  {
    m_op.remove('+');
  }
  void Heal() { m_op.clear(); }
#define SEAM(Name, Params, Args) \
  std::string Name Params override { return Call(#Name, [&] { return m_real->Name Args; }); }
  SEAM(WriteDurably, (const std::string& p, const std::string& d), (p, d))
  SEAM(Read, (const std::string& p, std::string* d), (p, d))
  SEAM(FlushNewFiles, (const std::string& f, const std::vector<std::string>& n), (f, n))
  SEAM(FlushFolder, (const std::string& f), (f))
  SEAM(KeepAside, (const std::string& p, const std::string& a), (p, a))
  SEAM(Replace, (const std::string& f, const std::string& t), (f, t))
  SEAM(Remove, (const std::string& p), (p))
  SEAM(AdoptPermissions, (const std::string& p, const std::string& m, bool x), (p, m, x))
  SEAM(Identify, (const std::string& p, engine::FileIdentity* i), (p, i))
  SEAM(TakeLock, (const std::string& p, std::unique_ptr<engine::HeldLock>* h, bool* b), (p, h, b))
#undef SEAM
  bool Exists(const std::string& path) override { return m_real->Exists(path); }
  bool StaysInside(const std::string& f, const std::string& n) override { return m_real->StaysInside(f, n); }

private:
  std::string Call(const char* op, const std::function<std::string()>& real)
  {
    return m_op == op && (++m_calls == m_n || (m_sticky && m_calls > m_n)) ? std::strerror(EIO) : real();
  }
  std::unique_ptr<engine::FileOps> m_real;
  QString m_op;
  int m_n;
  bool m_sticky;
  int m_calls = 0;
};
}  // namespace

class EngineTest : public QObject {
  Q_OBJECT
private slots:
  void failure_data()
  {
    QTest::addColumn<QString>("op");
    QTest::addColumn<int>("n");
    QTest::addColumn<bool>("installed");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("failedName");
    QTest::newRow("none") << "" << 0 << true << "" << "";
    QTest::newRow("flushing new files") << "FlushNewFiles" << 1 << false << "无法把下载的文件写入磁盘" << "";
    QTest::newRow("install journal") << "WriteDurably" << 1 << false << "无法写入更新记录" << "";
    QTest::newRow("committed journal") << "WriteDurably" << 2 << false << "无法写入更新记录" << "";
    QTest::newRow("keeping aside") << "KeepAside" << 1 << false << "无法保留原文件的副本" << "数据/a.dat";
    QTest::newRow("keeping aside last") << "KeepAside" << 2 << false << "无法保留原文件的副本" << "Mervo";
    QTest::newRow("permissions") << "AdoptPermissions" << 2 << false << "无法设置新文件的权限" << "plugins/b.dll";
    QTest::newRow("first replace") << "Replace" << 1 << false << "无法用新文件替换原文件" << "数据/a.dat";
    QTest::newRow("middle replace") << "Replace" << 2 << false << "无法用新文件替换原文件" << "plugins/b.dll";
    QTest::newRow("last replace") << "Replace" << 3 << false << "无法用新文件替换原文件" << "Mervo";
    QTest::newRow("last replace and its put-backs") << "Replace+" << 3 << false << "无法用新文件替换原文件" << "Mervo";
    QTest::newRow("flushing folders") << "FlushFolder" << 1 << false << "无法把替换后的文件写入磁盘" << "";
    QTest::newRow("removing an old copy") << "Remove" << 1 << true << "" << "";
    QTest::newRow("removing the journal") << "Remove" << 3 << true << "" << "";
    QTest::newRow("a .tmp swapped after its download") << "swap" << 0 << false << "下载的文件已被改动或替换" << "plugins/b.dll";
  }
  void failure()
  {
    QFETCH(QString, op);
    QFETCH(int, n);
    QFETCH(bool, installed);
    QTemporaryDir dir;
    Prepare(dir.path());
    FailingOps ops(op, n);
    std::vector<engine::InstallItem> items;
    for (const QString& item : Items)
      items.push_back({item.mid(item.startsWith('*')).toStdString(), item.startsWith('*')});
    engine::InstallEngine engine(dir.path().toStdString(), ops);
    for (const File& file : NewFiles)
      QVERIFY(engine.Downloaded(file.name).empty());
    if (op == "swap") {   // a file of the same size put in place of a downloaded one
      Put(dir.path(), "swap", 0600, "new b");
      QVERIFY(::rename(QFile::encodeName(dir.filePath("swap")), QFile::encodeName(dir.filePath("plugins/b.dll.tmp"))) == 0);
    }
    const engine::InstallResult result = engine.Install(items);
    QCOMPARE(result.ok, installed);
    QTEST(QString::fromStdString(result.failedName), "failedName");
    QFETCH(QString, reason);
    const QString said = QString::fromStdString(result.reason);
    if (!installed)
      QCOMPARE(said.section('\n', 0, 0), op == "swap" ? reason : reason + "：" + std::strerror(EIO));
    const bool sticky = op.endsWith('+');
    QCOMPARE(said.endsWith("（下次启动时将再次恢复）"), sticky);
    const std::string folder = dir.path().toStdString();
    if (sticky) {  // the put-backs fail at the next start too; the one after puts the old files back
      QCOMPARE(engine::Recover(folder, ops).outcome, RecoveryOutcome::Unfinished);
      ops.Heal();
    }
    // What a failed removal or put-back leaves behind is listed for the next start to finish.
    QCOMPARE(engine::Recover(folder, ops).outcome, installed && n ? RecoveryOutcome::Completed
                                                   : sticky       ? RecoveryOutcome::RolledBack
                                                                  : RecoveryOutcome::Nothing);
    QCOMPARE(Take(dir.path()), Release(installed));
  }

  // Names that differ only in letter case are one file on Windows: refused before anything changes.
  void caseClash()
  {
    QTemporaryDir dir;
    Prepare(dir.path());
    const engine::InstallResult result =
        engine::InstallEngine(dir.path().toStdString(), *engine::SystemFileOps())
            .Install({{"数据/a.dat", false}, {"plugins/b.dll", false}, {"Mervo", true}, {"数据/A.DAT", false}});
    QCOMPARE(QString::fromStdString(result.failedName + " " + result.reason), "数据/A.DAT 文件名无效");
    QCOMPARE(Take(dir.path()), Release(false));
  }

  void abandon()
  {
    QTemporaryDir dir;
    for (const File& file : OldFiles)
      Put(dir.path(), file.name, file.mode, file.content);
    const auto ops = engine::SystemFileOps();
    engine::InstallEngine engine(dir.path().toStdString(), *ops);
    QVERIFY(engine.BeginDownload({"数据/a.dat", "plugins/b.dll"}).empty());
    Put(dir.path(), "plugins/b.dll.tmp", 0644, "half");
    engine.AbandonDownload(false);
    QCOMPARE(Take(dir.path()), Release(false));
  }

  // However a run ends during its download, the files it may resume keep what arrived, at
  // every start after it; Mervo, with no validator, does not.
  void keep_data()
  {
    QTest::addColumn<QString>("end");
    QTest::addColumn<RecoveryOutcome>("outcome");
    QTest::addColumn<QStringList>("kept");
    const QStringList both = {"数据/a.dat 5 aaaa \"etag a\" 3", "plugins/b.dll 5 bbbb Tue, 15 Nov 1994 08:12:31 GMT 3"};
    QTest::newRow("crash") << "crash" << RecoveryOutcome::DownloadDiscarded << both;
    for (int step = 1; step <= 2; ++step)
      QTest::addRow("crash, recovery killed at %d", step)
          << QString::number(step) << RecoveryOutcome::DownloadDiscarded << both;
    QTest::newRow("failure or close") << "keep" << RecoveryOutcome::DownloadDiscarded << both;
    QTest::newRow("a proved wrong, downloaded again, then a crash")
        << "drop" << RecoveryOutcome::DownloadDiscarded << both.mid(1);
    QTest::newRow("removing all") << "remove" << RecoveryOutcome::Nothing << QStringList();
    QTest::newRow("journal of version 1") << "old" << RecoveryOutcome::DownloadDiscarded << QStringList();
  }
  void keep()
  {
    QFETCH(QString, end);
    QFETCH(QStringList, kept);
    QTemporaryDir dir;
    {
      const auto ops = engine::SystemFileOps();
      engine::InstallEngine engine(dir.path().toStdString(), *ops);
      CutDownload(dir.path(), engine);
      if (end == "drop") {
        QVERIFY(engine.DropPart("数据/a.dat").empty() && !QFile::exists(dir.filePath("数据/a.dat.tmp")));
        Put(dir.path(), "数据/a.dat.tmp", 0600, "new");
      }
      if (end == "keep" || end == "remove")
        engine.AbandonDownload(end != "remove");
      // An installer that has not begun a download has nothing of its own to abandon.
      engine::InstallEngine(dir.path().toStdString(), *ops).AbandonDownload(false);
    }
    if (end == "old")
      Put(dir.path(), engine::JournalName(), 0644,
          "MervoUpdate journal 1\ndownload\ntmp\t数据/a.dat.tmp\ntmp\tplugins/b.dll.tmp\ntmp\tMervo.tmp\nend\n");
    if (end.toInt() > 0)
      QVERIFY(!Crash(end.toInt(), dir.path(), {"recover"}).contains(""));
    QTEST(RecoverHere(dir.path()).outcome, "outcome");
    QCOMPARE(RecoverHere(dir.path()).outcome,
             kept.isEmpty() ? RecoveryOutcome::Nothing : RecoveryOutcome::DownloadDiscarded);
    QCOMPARE(Kept(dir.path()), kept);
    Snapshot expected = Release(false);
    for (const QString& part : kept)
      expected[part.section(' ', 0, 0) + ".tmp"] = "600 new";
    if (!kept.isEmpty())
      expected[engine::JournalName()] = Take(dir.path())[engine::JournalName()];
    QCOMPARE(Take(dir.path()), expected);
  }

  // The next run keeps a part only for the same name, size and hash; what it installs, it
  // installs whole, and it leaves no part behind.
  void nextRun_data()
  {
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QStringList>("kept");
    const QString a = "数据/a.dat 5 aaaa \"etag a\" 3", b = "plugins/b.dll 5 bbbb Tue, 15 Nov 1994 08:12:31 GMT 3";
    const QString none;
    QTest::newRow("same list") << none << none << QStringList{a, b};
    QTest::newRow("a with another hash") << "hash" << none << QStringList{b};
    QTest::newRow("a with another size") << "size" << none << QStringList{b};
    QTest::newRow("a no longer listed") << "unlisted" << none << QStringList{b};
    QTest::newRow("a without a validator") << "validator" << none << QStringList{b};
    QTest::newRow("a longer than listed") << "longer" << none << QStringList{b};
    QTest::newRow("a with a new ETag") << "etag" << none << QStringList{"数据/a.dat 5 aaaa W/\"new\" 3", b};
    const QString tab = "无法写入更新记录：服务器对 数据/a.dat 给出的标记含有控制字符";
    QTest::newRow("a validator with a tab") << "tab" << tab << QStringList{a, b};
    QTest::newRow("parts of no record") << "orphan" << none << QStringList();
    QTest::newRow("a not received to the end") << "unfinished" << none << QStringList{a, b};
  }
  void nextRun()
  {
    QFETCH(QString, change);
    QTemporaryDir dir;
    const auto ops = engine::SystemFileOps();
    {
      engine::InstallEngine cut(dir.path().toStdString(), *ops);
      CutDownload(dir.path(), cut);
    }
    QCOMPARE(RecoverHere(dir.path()).outcome, RecoveryOutcome::DownloadDiscarded);
    std::vector<engine::KeepableFile> pinned = Pinned;
    pinned[0].sha256[0] = change == "hash" ? 'f' : 'A';
    pinned[0].size += change == "size";
    pinned[0].validator = change == "validator" ? ""
                          : change == "etag"    ? "W/\"new\""
                          : change == "tab"     ? "\"a\tb\""
                                                : pinned[0].validator;
    if (change == "orphan")
      QVERIFY(QFile::remove(dir.filePath(engine::JournalName())));
    if (change == "longer")
      Put(dir.path(), "数据/a.dat.tmp", 0600, "new a!");
    std::vector<std::string> names = {"数据/a.dat", "plugins/b.dll", "Mervo"};
    if (change == "unlisted") {
      names.erase(names.begin());
      pinned.erase(pinned.begin());
    }
    engine::InstallEngine engine(dir.path().toStdString(), *ops);
    QTEST(QString::fromStdString(engine.BeginDownload(names, pinned)), "reason");
    QTEST(Kept(dir.path()), "kept");
    if (change == "tab")
      return;
    // The rest arrives.
    std::vector<engine::InstallItem> items;
    for (const File& file : NewFiles)
      if (std::find(names.begin(), names.end(), file.name) != names.end()) {
        Put(dir.path(), QString(file.name) + ".tmp", 0600, file.content);
        if (change != "unfinished" || items.size())
          QVERIFY(engine.Downloaded(file.name).empty());
        items.push_back({file.name, file.name == std::string("Mervo")});
      }
    const engine::InstallResult result = engine.Install(items);
    QCOMPARE(QString::fromStdString(result.failedName + result.reason),
             change == "unfinished" ? "数据/a.dat文件未下载完整" : "");
    Snapshot expected = Release(change != "unfinished");
    if (change == "unlisted")
      expected["数据/a.dat"] = Release(false)["数据/a.dat"];
    QCOMPARE(Take(dir.path()), expected);
  }

  // Kills an install at every step, then its recovery at every step of its own; the
  // next start finds the old release or the new one, never a mix, and nothing left over.
  void crash_data()
  {
    QTest::addColumn<bool>("stale");
    QTest::addColumn<int>("installStep");
    QTest::addColumn<int>("recoverStep");
    QTest::addColumn<bool>("updated");
    QTest::addColumn<RecoveryOutcome>("outcome");
    QTest::newRow("download only") << false << 0 << 0 << false << RecoveryOutcome::DownloadDiscarded;
    for (const bool stale : {false, true}) {
      const char* label = stale ? "old copy left, " : "";
      QTemporaryDir dir;
      Prepare(dir.path(), stale);
      const QStringList steps = Crash(0, dir.path(), QStringList("install") + Items);
      const int installing = steps.indexOf(QRegularExpression(".*install$")) + 1;
      const int committed = steps.indexOf(QRegularExpression(".*committed$")) + 1;
      for (int step = 1; step <= steps.size(); ++step) {
        const bool updated = step >= committed;
        const RecoveryOutcome outcome = step < installing    ? RecoveryOutcome::DownloadDiscarded
                                        : !updated           ? RecoveryOutcome::RolledBack
                                        : step < steps.size() ? RecoveryOutcome::Completed
                                                             : RecoveryOutcome::Nothing;
        QTest::addRow("%sinstall %d", label, step) << stale << step << 0 << updated << outcome;
        if (stale)
          continue;
        QTemporaryDir scratch;
        Prepare(scratch.path());
        Crash(step, scratch.path(), QStringList("install") + Items);
        const int recoverSteps = Crash(0, scratch.path(), {"recover"}).size();
        for (int recoverStep = 1; recoverStep <= recoverSteps; ++recoverStep)
          QTest::addRow("install %d, recover %d", step, recoverStep)
              << stale << step << recoverStep << updated
              << (recoverStep == recoverSteps ? RecoveryOutcome::Nothing : outcome);
      }
    }
  }
  void crash()
  {
    QFETCH(bool, stale);
    QFETCH(int, installStep);
    QFETCH(int, recoverStep);
    QTemporaryDir dir;
    Prepare(dir.path(), stale);
    if (installStep > 0)
      QVERIFY(!Crash(installStep, dir.path(), QStringList("install") + Items).contains(""));
    if (recoverStep > 0)
      QVERIFY(!Crash(recoverStep, dir.path(), {"recover"}).contains(""));
    QTEST(RecoverHere(dir.path()).outcome, "outcome");
    QFETCH(bool, updated);
    QCOMPARE(Take(dir.path()), Release(updated));
  }

  void damaged_data()
  {
    QTest::addColumn<QByteArray>("journal");
    QTest::addColumn<QString>("reason");
    const QByteArray head = "MervoUpdate journal 1\ninstall\n";
    const QByteArray whole = head + "file\texisted\t数据/a.dat\t数据/a.dat.updbak~\t数据/a.dat.tmp\nend\n";
    const QString badName = "记录中的文件名无效：";
    QTest::newRow("cut in the header") << QByteArray("MervoUpd") << "记录不完整";
    QTest::newRow("no end marker") << whole.left(whole.size() - 4) << "记录不完整";
    QTest::newRow("line after the end") << whole + "tmp\tMervo.tmp\n" << "记录不完整";
    QTest::newRow("garbage") << QByteArray("\x89PNG\r\n\x1a\n\0\0", 10) << "记录格式无法识别";
    QTest::newRow("other version") << QByteArray("MervoUpdate journal 3\ninstall\nend\n") << "记录的版本无法识别";
    const QByteArray keep = "download\ntmp\tMervo.tmp\t11\t" + QByteArray(64, 'a') + "\t\"v\"\nend\n";
    QTest::newRow("kept part in version 1") << "MervoUpdate journal 1\n" + keep << "记录格式无法识别";
    QTest::newRow("kept size not a number") << "MervoUpdate journal 2\n" + QByteArray(keep).replace("11", "1l")
                                            << "记录中的文件大小或校验值无效：Mervo.tmp";
    QTest::newRow("kept hash of 63 digits") << "MervoUpdate journal 2\n" + QByteArray(keep).replace("aa\t", "a\t")
                                            << "记录中的文件大小或校验值无效：Mervo.tmp";
    QTest::newRow("unknown phase") << QByteArray("MervoUpdate journal 1\nfinishing\nend\n") << "记录格式无法识别";
    QTest::newRow("missing field") << head + "file\texisted\tMervo\tMervo.updbak~\nend\n" << "记录格式无法识别";
    QTest::newRow("record of another phase") << head + "aside\tMervo.updbak~\nend\n" << "记录格式无法识别";
    QTest::newRow("overlong slash") << head + "tmp\t..\xC0\xAFvictim.tmp\nend\n" << "记录格式无法识别";
    QTest::newRow("control character") << head + "tmp\tMer\x01vo.tmp\nend\n" << "记录格式无法识别";
    QTest::newRow("duplicate") << head + "tmp\tMervo.tmp\ntmp\tMervo.tmp\nend\n" << "记录中的文件名重复：Mervo.tmp";
    QTest::newRow("parent folder") << head + "tmp\t../victim.tmp\nend\n" << badName + "../victim.tmp";
    QTest::newRow("parent folder, backslash") << head + "tmp\tdata\\..\\..\\victim.tmp\nend\n" << badName + "data\\..\\..\\victim.tmp";
    QTest::newRow("absolute") << head + "tmp\t/victim.tmp\nend\n" << badName + "/victim.tmp";
    QTest::newRow("drive letter") << head + "tmp\tC:victim.tmp\nend\n" << badName + "C:victim.tmp";
    QTest::newRow("dot segment") << head + "tmp\t数据/./a.dat.tmp\nend\n" << badName + "数据/./a.dat.tmp";
    QTest::newRow("not a download") << head + "tmp\tMervo\nend\n" << badName + "Mervo";
    QTest::newRow("folder linked outside") << head + "tmp\tlink/victim.tmp\nend\n" << "记录中的文件在程序文件夹之外：link/victim.tmp";
    QTest::newRow("another file as copy") << head + "file\texisted\tMervo\t数据/a.dat\tMervo.tmp\nend\n" << badName + "数据/a.dat";
  }
  void damaged()
  {
    QFETCH(QByteArray, journal);
    QTemporaryDir root;
    const QString folder = root.filePath("program");
    Prepare(folder);
    Put(root.path(), "victim.tmp", 0644, "outside");
    Put(folder, "数据/a.dat.updbak~", 0644, "old a");
    QVERIFY(QFile::link(root.path(), folder + "/link"));
    Put(folder, engine::JournalName(), 0644, journal);
    Put(folder, QString(engine::JournalName()) + ".tmp", 0644, "cut short");
    const Snapshot before = Take(root.path());
    const engine::Recovery recovery = RecoverHere(folder);
    QCOMPARE(recovery.outcome, RecoveryOutcome::Damaged);
    QTEST(QString::fromStdString(recovery.reason), "reason");
    QCOMPARE(Take(root.path()), before);
  }
};

QTEST_GUILESS_MAIN(EngineTest)
#include "test_engine.moc"
