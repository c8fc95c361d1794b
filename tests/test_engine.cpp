// The install engine over the system's own file layer, on Linux and on Windows: a failure at
// each file operation, a crash at each step of an install and of its recovery, and journals
// that cannot be trusted; on Windows also files held open by others.
#include "FailingOps.h"
#include "Files.h"
#include "engine/Install.h"

#include <doctest/doctest.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#ifdef _WIN32
#include <windows.h>  // the platform's build gives WIN32_LEAN_AND_MEAN
#endif

using engine::RecoveryOutcome;
namespace fs = std::filesystem;

namespace {
// Every file below a folder: its mode and content, by relative name ("/" between folders).
using Snapshot = std::map<std::string, std::string>;
using Names = std::vector<std::string>;

struct File {
  const char* name;
  int mode;
  const char* content;
};
const std::vector<File> OldFiles = {
    {"Mervo", 0744, "old program"}, {"数据/a.dat", 0640, "old a"}, {"数据/keep.txt", 0644, "kept"}};
// As installed: a replaced file keeps its mode, a new one gets the usual mode, the main
// program gains execute bits where it can be read.
const std::vector<File> NewFiles = {
    {"数据/a.dat", 0640, "new a"}, {"plugins/b.dll", 0644, "new b"}, {"Mervo", 0755, "new program"}};
const Names NewNames = {"数据/a.dat", "plugins/b.dll", "Mervo"};
// The crash program's command line for an install, as the failure test installs: replaced in a
// folder, new in a new folder, the main program; one listed twice.
const Names InstallMode = {"install", "数据/a.dat", "plugins/b.dll", "数据/a.dat", "*Mervo"};

// The mode, in decimal, and the content; Windows files carry no mode.
std::string Stat(int mode, const std::string& content)
{
#ifdef _WIN32
  mode = 0;
#endif
  return std::to_string(mode) + ' ' + content;
}

std::string Contents(const fs::path& path)
{
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Names are UTF-8: u8path, since on Windows a narrow path goes through the ANSI code page.
void Put(const std::string& folder, const std::string& name, int mode, const std::string& content)
{
  const fs::path path = fs::u8path(folder + '/' + name);
  fs::create_directories(path.parent_path());
  REQUIRE(std::ofstream(path, std::ios::binary).write(content.data(), std::streamsize(content.size())).good());
  fs::permissions(path, fs::perms(mode));
}

Snapshot Take(const std::string& folder)
{
  Snapshot files;
  for (const auto& entry : fs::recursive_directory_iterator(fs::u8path(folder)))
    if (entry.is_regular_file())
      files[entry.path().lexically_relative(fs::u8path(folder)).generic_u8string()] =
          Stat(int(entry.symlink_status().permissions() & fs::perms::mask), Contents(entry.path()));
  return files;
}

// The old release, or the new one over it.
Snapshot Release(bool updated)
{
  Snapshot files;
  for (const auto& list : {OldFiles, updated ? NewFiles : OldFiles})
    for (const File& file : list)
      files[file.name] = Stat(file.mode, file.content);
  return files;
}

// What the list pins: a.dat with a strong ETag, b.dll with Last-Modified, Mervo with no validator.
const std::vector<engine::KeepableFile> Pinned = {
    {"数据/a.dat", 5, std::string(64, 'a'), "\"etag a\""},
    {"plugins/b.dll", 5, std::string(64, 'B'), "Tue, 15 Nov 1994 08:12:31 GMT"},
    {"Mervo", 11, std::string(64, 'c'), ""}};
const std::string KeptA = "数据/a.dat 5 aaaa \"etag a\" 3",
                  KeptB = "plugins/b.dll 5 bbbb Tue, 15 Nov 1994 08:12:31 GMT 3";

// The old release, a journal of the download and its ".tmp" files, as the window leaves them;
// with stale, also a kept-aside copy left behind by an older updater. With cut, the download
// is cut's, of pinned files, and has received 3 bytes of each.
void Prepare(const std::string& folder, bool stale = false, engine::InstallEngine* cut = nullptr)
{
  for (const File& file : OldFiles)
    Put(folder, file.name, file.mode, file.content);
  if (stale)
    Put(folder, "Mervo.updbak~", 0644, "stale");
  if (cut)
    REQUIRE(cut->BeginDownload(NewNames, Pinned) == "");
  else
    REQUIRE(engine::InstallEngine(folder, *engine::SystemFileOps()).BeginDownload(NewNames) == "");
  for (const File& file : NewFiles)
    Put(folder, file.name + std::string(".tmp"), 0600,
        std::string(file.content).substr(0, cut ? 3 : std::string::npos));
}

// The kept parts as "name size hash validator received".
Names Kept(const std::string& folder)
{
  Names parts;
  for (const engine::KeptPart& part : engine::InstallEngine(folder, *engine::SystemFileOps()).KeptParts())
    parts.push_back(part.name + ' ' + std::to_string(part.size) + ' ' + part.sha256.substr(0, 4) + ' ' + part.validator
                    + ' ' + std::to_string(part.received));
  return parts;
}

// Runs the crash program; returns the steps it reached ({""} when it did not end as asked:
// killed at a step, or normally at step 0).
Names Crash(int step, const std::string& folder, Names mode)
{
  mode.insert(mode.begin(), {std::to_string(step), folder});
  std::string out;
  int status = -1;
  for (int tries = 0; status == -1 && tries < 3; ++tries)  // wine fails a start now and then
    status = RunProgram(ENGINE_CRASH, mode, &out);
  if (status != (step ? 128 + 9 : 0))
    return {""};
  Names steps;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);)
    steps.push_back(line);
  return steps;
}

RecoveryOutcome RecoverHere(const std::string& folder)
{
  return engine::Recover(folder, *engine::SystemFileOps()).outcome;
}
}  // namespace

TEST_CASE("a failure at any file operation leaves the old release or the new one")
{
  struct Row {
    const char* op;
    int n;
    bool installed;
    std::string reason, failedName;
  };
  const Row rows[] = {
      {"", 0, true, "", ""},
      {"FlushNewFiles", 1, false, "无法把下载的文件写入磁盘", ""},
      {"WriteDurably", 1, false, "无法写入更新记录", ""},  // the install's journal
      {"WriteDurably", 2, false, "无法写入更新记录", ""},  // the committed one
      {"KeepAside", 1, false, "无法保留原文件的副本", "数据/a.dat"},
      {"AdoptPermissions", 2, false, "无法设置新文件的权限", "plugins/b.dll"},
      {"Replace", 1, false, "无法用新文件替换原文件", "数据/a.dat"},
      {"Replace", 3, false, "无法用新文件替换原文件", "Mervo"},
      {"Replace+", 3, false, "无法用新文件替换原文件", "Mervo"},  // and its put-backs
      {"FlushFolder", 1, false, "无法把替换后的文件写入磁盘", ""},
      {"Remove", 1, true, "", ""},  // an old copy
      {"Remove", 3, true, "", ""},  // the journal
      {"swap", 0, false, "下载的文件已被改动或替换", "plugins/b.dll"},
      // One file on Windows: refused before anything changes.
      {"clash", 0, false, "文件名无效", "数据/A.DAT"},
#ifdef _WIN32
      // Held open by another program, it cannot be moved aside.
      {"locked", 0, false, "无法保留原文件的副本：", "Mervo"},
#endif
  };
  for (const Row& row : rows) {
    const std::string op = row.op;
    CAPTURE(op);
    CAPTURE(row.n);
    TempDir dir;
    Prepare(dir.Path());
    FailingOps ops(row.op, row.n);
    engine::InstallEngine engine(dir.Path(), ops);
    for (const File& file : NewFiles)
      CHECK(engine.Downloaded(file.name) == "");
    if (op == "swap") {  // a file of the same size put in place of a downloaded one
      Put(dir.Path(), "swap", 0600, "new b");
      fs::rename(fs::u8path(dir.File("swap")), fs::u8path(dir.File("plugins/b.dll.tmp")));
    }
    std::vector<engine::InstallItem> items{
        {"数据/a.dat", false}, {"plugins/b.dll", false}, {"数据/a.dat", false}, {"Mervo", true}};
    if (op == "clash")
      items.push_back({"数据/A.DAT", false});
    std::ifstream lock;  // another program's handle, which on Windows shares no deletion
    if (op == "locked")
      lock.open(fs::u8path(dir.File("Mervo")));
    const engine::InstallResult result = engine.Install(items);
    lock.close();
    CHECK(result.ok == row.installed);
    CHECK(result.failedName == row.failedName);
    const std::string said = result.reason.substr(0, result.reason.find('\n'));
    const std::string expected = row.n == 0 ? row.reason : row.reason + "：" + std::strerror(EIO);
    if (op == "locked")  // the system's words, with the sharing violation's code
      CHECK((StartsWith(said, expected) && said.find(" (error 32)") != std::string::npos));
    else if (!row.installed)
      CHECK(said == expected);
    const bool sticky = !op.empty() && op.back() == '+';
    CHECK((result.reason.find("（下次启动时将再次恢复）") != std::string::npos) == sticky);
    if (sticky) {  // the put-backs fail at the next start too; the one after puts the old files back
      CHECK(engine::Recover(dir.Path(), ops).outcome == RecoveryOutcome::Unfinished);
      ops.Heal();
    }
    // What a failed removal or put-back leaves behind is listed for the next start to finish;
    // an old copy left by a finished run goes without a word.
    CHECK(engine::Recover(dir.Path(), ops).outcome
          == (row.installed && row.n ? (row.n == 1 ? RecoveryOutcome::CleanedUp : RecoveryOutcome::Completed)
              : sticky               ? RecoveryOutcome::RolledBack
                                     : RecoveryOutcome::Nothing));
    CHECK(Take(dir.Path()) == Release(row.installed));
  }
}

#ifdef _WIN32
// A program in use cannot be replaced by name, only moved aside; its old copy goes at the
// first start after it has ended. A copy of this test program, loaded but never run, stands in.
TEST_CASE("a running program is replaced by its new version")
{
  TempDir dir;
  Prepare(dir.Path());
  wchar_t self[MAX_PATH];
  REQUIRE(GetModuleFileNameW(nullptr, self, MAX_PATH));
  const fs::path program = fs::u8path(dir.File("Mervo"));
  fs::copy_file(self, program, fs::copy_options::overwrite_existing);
  STARTUPINFOW start{};
  start.cb = sizeof start;
  PROCESS_INFORMATION child{};
  for (int tries = 0; tries < 3 && !child.hProcess; ++tries)  // wine fails a start now and then
    CreateProcessW(program.c_str(), nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &start,
                   &child);
  REQUIRE(child.hProcess);
  const auto ops = engine::SystemFileOps();
  const engine::InstallResult result =
      engine::InstallEngine(dir.Path(), *ops).Install({{"数据/a.dat"}, {"plugins/b.dll"}, {"Mervo", true}});
  CHECK_MESSAGE(result.ok, result.reason);
  // The old copy stays while in use, and the journal that lists it; a start cannot remove it either.
  Snapshot expected = Release(true);
  expected["Mervo.updbak~"] = Stat(0, Contents(self));
  expected[engine::JournalName()] = Take(dir.Path())[engine::JournalName()];
  CHECK(Take(dir.Path()) == expected);
  CHECK(RecoverHere(dir.Path()) == RecoveryOutcome::Unfinished);
  CHECK(Take(dir.Path()) == expected);
  TerminateProcess(child.hProcess, 1);
  CHECK(WaitForSingleObject(child.hProcess, 30000) == WAIT_OBJECT_0);
  CloseHandle(child.hProcess);
  CloseHandle(child.hThread);
  CHECK(RecoverHere(dir.Path()) == RecoveryOutcome::CleanedUp);
  CHECK(Take(dir.Path()) == Release(true));
}
#endif

// However a run ends during its download, the files it may resume keep what arrived, at
// every start after it; Mervo, with no validator, does not.
TEST_CASE("parts kept across the end of a run")
{
  struct Row {
    std::string end;
    RecoveryOutcome outcome;
    Names kept;
  };
  const Row rows[] = {{"crash", RecoveryOutcome::DownloadDiscarded, {KeptA, KeptB}},
                      {"1", RecoveryOutcome::DownloadDiscarded, {KeptA, KeptB}},  // its recovery killed at step 1
                      {"2", RecoveryOutcome::DownloadDiscarded, {KeptA, KeptB}},
                      {"keep", RecoveryOutcome::DownloadDiscarded, {KeptA, KeptB}},  // a failure or a close
                      {"drop", RecoveryOutcome::DownloadDiscarded, {KeptB}},         // a proved wrong, downloaded again
                      {"remove", RecoveryOutcome::Nothing, {}},
                      {"old", RecoveryOutcome::DownloadDiscarded, {}}};  // a journal of version 1
  for (const Row& row : rows) {
    CAPTURE(row.end);
    TempDir dir;
    {
      const auto ops = engine::SystemFileOps();
      engine::InstallEngine engine(dir.Path(), *ops);
      Prepare(dir.Path(), false, &engine);
      if (row.end == "drop") {
        CHECK(engine.DropPart("数据/a.dat") == "");
        CHECK_FALSE(fs::exists(fs::u8path(dir.File("数据/a.dat.tmp"))));
        Put(dir.Path(), "数据/a.dat.tmp", 0600, "new");
      }
      if (row.end == "keep" || row.end == "remove")
        engine.AbandonDownload(row.end != "remove");
      // An installer that has not begun a download has nothing of its own to abandon.
      engine::InstallEngine(dir.Path(), *ops).AbandonDownload(false);
    }
    if (row.end == "old")
      Put(dir.Path(), engine::JournalName(), 0644,
          "MervoUpdate journal 1\ndownload\ntmp\t数据/a.dat.tmp\ntmp\tplugins/b.dll.tmp\ntmp\tMervo.tmp\nend\n");
    if (std::isdigit(static_cast<unsigned char>(row.end[0])))
      CHECK(Crash(std::stoi(row.end), dir.Path(), {"recover"}) != Names{""});
    CHECK(RecoverHere(dir.Path()) == row.outcome);
    CHECK(RecoverHere(dir.Path())
          == (row.kept.empty() ? RecoveryOutcome::Nothing : RecoveryOutcome::DownloadDiscarded));
    CHECK(Kept(dir.Path()) == row.kept);
    Snapshot expected = Release(false);
    for (const std::string& part : row.kept)
      expected[part.substr(0, part.find(' ')) + ".tmp"] = Stat(0600, "new");
    if (!row.kept.empty())
      expected[engine::JournalName()] = Take(dir.Path())[engine::JournalName()];
    CHECK(Take(dir.Path()) == expected);
  }
}

// The next run keeps a part only for the same name, size and hash; what it installs, it
// installs whole, and it leaves no part behind.
TEST_CASE("the next run resumes only what matches")
{
  struct Row {
    std::string change, reason;
    Names kept;
  };
  const Row rows[] = {{"", "", {KeptA, KeptB}},
                      {"hash", "", {KeptB}},
                      {"size", "", {KeptB}},
                      {"unlisted", "", {KeptB}},
                      {"validator", "", {KeptB}},
                      {"longer", "", {KeptB}},
                      {"etag", "", {"数据/a.dat 5 aaaa W/\"new\" 3", KeptB}},
                      {"tab", "无法写入更新记录：服务器对 数据/a.dat 给出的标记含有控制字符", {KeptA, KeptB}},
                      {"orphan", "", {}},  // parts of no record
                      {"unfinished", "", {KeptA, KeptB}}};
  for (const Row& row : rows) {
    const std::string& change = row.change;
    CAPTURE(change);
    TempDir dir;
    const auto ops = engine::SystemFileOps();
    {
      engine::InstallEngine cut(dir.Path(), *ops);
      Prepare(dir.Path(), false, &cut);
    }
    REQUIRE(RecoverHere(dir.Path()) == RecoveryOutcome::DownloadDiscarded);
    std::vector<engine::KeepableFile> pinned = Pinned;
    pinned[0].sha256[0] = change == "hash" ? 'f' : 'A';
    pinned[0].size += change == "size";
    pinned[0].validator = change == "validator" ? ""
                          : change == "etag"    ? "W/\"new\""
                          : change == "tab"     ? "\"a\tb\""
                                                : pinned[0].validator;
    if (change == "orphan")
      REQUIRE(fs::remove(dir.File(engine::JournalName())));
    if (change == "longer")
      Put(dir.Path(), "数据/a.dat.tmp", 0600, "new a!");
    Names names = NewNames;
    if (change == "unlisted") {
      names.erase(names.begin());
      pinned.erase(pinned.begin());
    }
    engine::InstallEngine engine(dir.Path(), *ops);
    CHECK(engine.BeginDownload(names, pinned) == row.reason);
    CHECK(Kept(dir.Path()) == row.kept);
    if (change == "tab")
      continue;
    // The rest arrives.
    std::vector<engine::InstallItem> items;
    for (const File& file : NewFiles)
      if (std::find(names.begin(), names.end(), file.name) != names.end()) {
        Put(dir.Path(), file.name + std::string(".tmp"), 0600, file.content);
        if (change != "unfinished" || items.size())
          CHECK(engine.Downloaded(file.name) == "");
        items.push_back({file.name, file.name == std::string("Mervo")});
      }
    const engine::InstallResult result = engine.Install(items);
    CHECK(result.failedName + result.reason == (change == "unfinished" ? "数据/a.dat文件未下载完整" : ""));
    Snapshot expected = Release(change != "unfinished");
    if (change == "unlisted")
      expected["数据/a.dat"] = Release(false)["数据/a.dat"];
    CHECK(Take(dir.Path()) == expected);
  }
}

// Kills an install at every step, then its recovery at every step of its own; the
// next start finds the old release or the new one, never a mix, and nothing left over.
TEST_CASE("a crash at any step of an install or of its recovery")
{
  for (const bool stale : {false, true}) {
    CAPTURE(stale);
    TempDir probe;
    Prepare(probe.Path(), stale);
    const Names steps = Crash(0, probe.Path(), InstallMode);
    const auto stepOf = [&](const std::string& end) {
      const auto at = std::find_if(steps.begin(), steps.end(), [&](const std::string& step) {
        return step.size() >= end.size() && step.compare(step.size() - end.size(), end.size(), end) == 0;
      });
      return int(at - steps.begin()) + 1;
    };
    const int installing = stepOf("install"), committed = stepOf("committed"), last = int(steps.size());
    REQUIRE(committed < last);
    for (int step = 1; step <= last; ++step) {
      CAPTURE(step);
      const bool updated = step >= committed;
      const RecoveryOutcome outcome = step < installing ? RecoveryOutcome::DownloadDiscarded
                                      : !updated        ? RecoveryOutcome::RolledBack
                                      : step < last     ? RecoveryOutcome::Completed
                                                        : RecoveryOutcome::Nothing;
      // The recovery killed at each of its own steps (0: not killed).
      for (int recoverStep = 0, recoverSteps = 0; recoverStep <= recoverSteps; ++recoverStep) {
        CAPTURE(recoverStep);
        TempDir dir;
        Prepare(dir.Path(), stale);
        REQUIRE(Crash(step, dir.Path(), InstallMode) != Names{""});
        if (recoverStep == 0 && !stale) {
          TempDir scratch;
          Prepare(scratch.Path());
          REQUIRE(Crash(step, scratch.Path(), InstallMode) != Names{""});
          recoverSteps = int(Crash(0, scratch.Path(), {"recover"}).size());
        }
        if (recoverStep > 0)
          REQUIRE(Crash(recoverStep, dir.Path(), {"recover"}) != Names{""});
        CHECK(RecoverHere(dir.Path())
              == (recoverStep && recoverStep == recoverSteps ? RecoveryOutcome::Nothing : outcome));
        CHECK(Take(dir.Path()) == Release(updated));
      }
    }
  }
}

TEST_CASE("a journal that cannot be trusted touches nothing")
{
  const std::string head = "MervoUpdate journal 1\ninstall\n";
  const std::string whole = head + "file\texisted\t数据/a.dat\t数据/a.dat.updbak~\t数据/a.dat.tmp\nend\n";
  const auto keep = [](const std::string& size, int digits) {
    return "download\ntmp\tMervo.tmp\t" + size + '\t' + std::string(digits, 'a') + "\t\"v\"\nend\n";
  };
  const std::string unknown = "记录格式无法识别", badName = "记录中的文件名无效：",
                    badKept = "记录中的文件大小或校验值无效：Mervo.tmp";
  const std::pair<std::string, std::string> rows[] = {
      {"MervoUpd", "记录不完整"},                         // cut in the header
      {whole.substr(0, whole.size() - 4), "记录不完整"},  // no end marker
      {whole + "tmp\tMervo.tmp\n", "记录不完整"},         // a line after the end
      {std::string("\x89PNG\r\n\x1a\n\0\0", 10), unknown},
      {"MervoUpdate journal 3\ninstall\nend\n", "记录的版本无法识别"},
      {"MervoUpdate journal 1\n" + keep("11", 64), unknown},  // a kept part in version 1
      {"MervoUpdate journal 2\n" + keep("1l", 64), badKept},
      {"MervoUpdate journal 2\n" + keep("11", 63), badKept},
      {"MervoUpdate journal 1\nfinishing\nend\n", unknown},
      {head + "file\texisted\tMervo\tMervo.updbak~\nend\n", unknown},  // a missing field
      {head + "aside\tMervo.updbak~\nend\n", unknown},                 // a record of another phase
      {head + "tmp\t..\xC0\xAFvictim.tmp\nend\n", unknown},            // an overlong slash
      {head + "tmp\tMer\x01vo.tmp\nend\n", unknown},
      {head + "tmp\tMervo.tmp\ntmp\tMervo.tmp\nend\n", "记录中的文件名重复：Mervo.tmp"},
      {head + "tmp\t../victim.tmp\nend\n", badName + "../victim.tmp"},
      {head + "tmp\tMervo\nend\n", badName + "Mervo"},  // not a download
#ifndef _WIN32                                          // a symbolic link needs rights on Windows, and wine makes none
      {head + "tmp\tlink/victim.tmp\nend\n", "记录中的文件在程序文件夹之外：link/victim.tmp"},
#endif
      {head + "file\texisted\tMervo\t数据/a.dat\tMervo.tmp\nend\n", badName + "数据/a.dat"}};  // another file as copy
  for (const auto& [journal, reason] : rows) {
    CAPTURE(journal);
    TempDir root;
    const std::string folder = root.File("program");
    Prepare(folder);
    Put(root.Path(), "victim.tmp", 0644, "outside");
    Put(folder, "数据/a.dat.updbak~", 0644, "old a");
#ifndef _WIN32
    fs::create_directory_symlink(root.Path(), folder + "/link");
#endif
    Put(folder, engine::JournalName(), 0644, journal);
    Put(folder, engine::JournalName() + std::string(".tmp"), 0644, "cut short");
    const Snapshot before = Take(root.Path());
    const engine::Recovery recovery = engine::Recover(folder, *engine::SystemFileOps());
    CHECK(recovery.outcome == RecoveryOutcome::Damaged);
    CHECK(recovery.reason == reason);
    CHECK(Take(root.Path()) == before);
  }
}
