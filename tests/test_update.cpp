// Whole updates through the window: downloads, progress, installation, hand-over, and every
// way an update can fail without touching the product.
#include "Program.h"
#include "engine/Install.h"
#include "frmUpdate/frmUpdate.h"
#include "platform/FileSys.h"

#include <doctest/doctest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace fs = std::filesystem;

namespace {
// The main program of each version, and what the new one leaves in "started" when the hand-over
// starts it. On Windows a program of the tests (windows/main_program.cpp), the same in both.
#ifdef _WIN32
const std::string kMain = "mervo.exe", kStarted = kMain;
std::string MainProgram(const std::string&)
{
  return ReadFile(MAIN_PROGRAM);
}
#else
const std::string kMain = "mervo", kStarted = "1.1\n";
std::string MainProgram(const std::string& version)
{
  return "#!/bin/sh\necho " + version + " > started\n";
}
#endif

// The log's events without their local time; a line without one shows whole, so it fails the comparison.
Strings Events(const ProgramFolder& folder)
{
  Strings events;
  const std::regex stamp("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d([+-]\\d\\d:\\d\\d|Z) ");
  std::istringstream log(folder.Read("MervoUpdate.log"));
  for (std::string line; std::getline(log, line);)
    if (!line.empty())
      events.push_back(std::regex_search(line, stamp) ? line.substr(line.find(' ') + 1) : "no time: " + line);
  return events;
}

// A program folder at version 1.0 with old copies of three of the released files.
struct Release : UpdaterRun {
  std::map<std::string, std::string> original;
  // What the server has, in the list's order.
  const std::vector<std::pair<std::string, std::string>> released{{"a.bin", "new a"},
                                                                  {"b.bin", Bytes(3000, 'b')},
                                                                  {"sub/deep/c.bin", Bytes(1025, 'c')},
                                                                  {kMain, MainProgram("1.1")},
                                                                  {"setup.ini", "[Mervo]\n版本=1.1\n"}};

  Release()
  {
    Keep("setup.ini", "[Mervo]\n版本=1.0\n");
    Keep("a.bin", "old a, longer than the new one will be");
    Keep("b.bin", "old b");
    Keep(kMain, MainProgram("1.0"));
    std::vector<std::pair<std::string, std::string>> listed;
    for (const auto& [name, data] : released) {
      listed.emplace_back(std::regex_replace(name, std::regex("/"), "\\"), "1.1");
      server.File(name, data);
    }
    server.File("UpdList.xml", UpdateList("1.1", {"new"}, listed, kMain));
  }
  void Keep(const std::string& name, const std::string& data)
  {
    folder.Write(name, data);
    original[name] = data;
  }
  // Every original file byte for byte, and nothing else but the list copy.
  bool Untouched(bool listCopy = true) const
  {
    Strings expected;
    if (listCopy)
      expected.push_back("NewUpdList.xml");
    for (const auto& [name, data] : original) {
      expected.push_back(name);
      if (folder.Read(name) != data)
        return false;
    }
    std::sort(expected.begin(), expected.end());
    return folder.Files() == expected;
  }
  std::unique_ptr<frmUpdate> Offer()
  {
    auto w = Start();
    REQUIRE(WaitUntil([&] { return w->StatusText() == Offered; }));
    return w;
  }
};

bool Update(frmUpdate& w)
{
  w.cmdUpdate->Click();
  return Ended(w);
}
}  // namespace

// Also: the progress of b.bin follows its chunks, a second click downloads nothing again, a
// target or a leftover ".tmp" that is a link is replaced rather than written through, and a
// log grown past 1 MiB moves aside first.
TEST_CASE("a whole update, then the hand-over")
{
  TempDir outside;
  const std::string victim = outside.File("victim");
  REQUIRE(WriteFile(victim, "keep me"));
  Release release;
#ifndef _WIN32  // links need rights on Windows, and wine makes none
  fs::remove(release.folder.File("b.bin"));
  fs::create_symlink(victim, release.folder.File("b.bin"));
  fs::create_symlink(victim, release.folder.File("a.bin.tmp"));
#endif
  const std::string oldLog(1024 * 1024 - 10, 'o');
  release.folder.Write("MervoUpdate.log", oldLog);
  auto w = release.Offer();
  Strings shownWhileDownloading, progress;
  release.server.onRequest = [&](const std::string& request) {
    if (StartsWith(request, "GET "))
      RunOnEventLoop([&] {
        shownWhileDownloading.push_back(request.substr(10) + '=' + w->StatusText());
        w->cmdUpdate->Click();
      });
  };
  w->lvUpdateList.RowChanged = [&](int index, int column, const std::string& text) {
    if (index == 2 && column == 3)
      progress.push_back(text);
  };
  REQUIRE(Update(*w));

  CHECK(shownWhileDownloading
        == Strings{"a.bin=正在更新：a.bin ...", "b.bin=正在更新：b.bin ...",
                   "sub/deep/c.bin=正在更新：sub\\deep\\c.bin ...", kMain + "=正在更新：" + kMain + " ...",
                   "setup.ini=正在更新：setup.ini ..."});
  CHECK(progress == Strings{"34", "68", "100", "100%"});
  CHECK(w->StatusText() == Done);
  CHECK(release.log.shown.empty());
  CHECK(w->pbUpdate->Value() == 100);
  // The hidden list view mirrors the finished table.
  const std::vector<Strings> rows = ShownRows();
  REQUIRE(int(rows.size()) == w->lvUpdateList.Count());
  for (int i = 1; i <= w->lvUpdateList.Count(); ++i) {
    CHECK(w->lvUpdateList.RowText(i, 3) == "100%");
    for (int column = 0; column < 5; ++column)
      CHECK(rows[std::size_t(i - 1)].at(std::size_t(column)) == w->lvUpdateList.RowText(i, column));
  }
  for (const auto& [name, data] : release.released)
    CHECK(release.folder.Read(name) == data);
  CHECK(release.folder.Files() == Strings{"MervoUpdate.log.1", "a.bin", "b.bin", kMain, "setup.ini", "sub/deep/c.bin"});
  CHECK(ReadFile(victim) == "keep me");

  w->cmdFinish->Click();
  CHECK(w->IsUnloaded());
#ifndef _WIN32
  CHECK(::access(release.folder.File(kMain).c_str(), X_OK) == 0);
#endif
  CHECK(WaitUntil([&] { return release.folder.Read("started") == kStarted; }));
  // What a support engineer reads: the versions, each file, the outcome and the hand-over.
  const Strings events = Events(release.folder);
  for (const std::string& event : {std::string("已安装版本 1.0"), std::string("服务器提供版本 1.1"),
                                   std::string("已下载：sub\\deep\\c.bin（1025 字节）"), std::string("更新完成"),
                                   "启动主程序 " + fs::path(release.folder.File(kMain)).make_preferred().string()})
    CHECK_MESSAGE(std::count(events.begin(), events.end(), event) == 1, event);
  CHECK(std::none_of(events.begin(), events.end(), [](const std::string& e) { return StartsWith(e, "no time: "); }));
  CHECK(release.folder.Read("MervoUpdate.log.1") == oldLog);
}

namespace {
enum Fault { BadReply, FileSizeLimit, FolderInTheWay, LinkedFolder };  // what goes wrong in an update

struct FailureRow {
  Fault fault;
  Reply b;  // the answer to the download of b.bin
  std::string start;
  std::string reason;
};

std::vector<FailureRow> FailureRows()
{
  Reply endless;  // no length, and far longer than probed
  endless.streamBytes = 64 << 20;
  const auto sizeChanged = [](int size) {
    return "文件大小与检查时不同（检查时 3000 字节，下载时 " + std::to_string(size) + " 字节）";
  };
  const std::string download = "文件下载失败：b.bin\r\n";
  const std::string tooLarge = "/b.bin.tmp：" + std::string(std::strerror(EFBIG));
  return {
      {BadReply, Reply::Status(500, "Internal Server Error"), download, "服务器返回 HTTP 500 Internal Server Error"},
      {BadReply, Reply::Ok(Bytes(2000, 'b')), download, sizeChanged(2000)},
      {BadReply, endless, download, "文件校验失败：大小不符（应为 3000 字节，收到的已超过 3000 字节）"},
#ifndef _WIN32  // Windows has no limit on the size of the files a process writes
      // The system refuses a write in the middle of a file, or when its last block is written out.
      {FileSizeLimit, Reply::Ok(Bytes(600 * 1024, 'b')), download + "无法写入 ", tooLarge},
      {FileSizeLimit, Reply::Ok(Bytes(100 * 1024, 'b')), download + "无法写入 ", tooLarge},
      // Linked after the offer (links need rights on Windows, and wine makes none).
      {LinkedFolder, Reply(), "文件下载失败：sub\\deep\\c.bin\r\n文件夹链接到了程序文件夹之外", ""},
#endif
      // A folder stands where the last file should go, after the others were replaced.
      {FolderInTheWay, Reply::Ok(Bytes(3000, 'b')), "文件安装失败：setup.ini\r\n", ""},
  };
}

// Clicks the update button with the size of files the process may write limited, if limit.
bool UpdateLimited(frmUpdate& w, bool limit)
{
#ifdef _WIN32
  (void)limit;
  return Update(w);
#else
  rlimit old{};
  REQUIRE(getrlimit(RLIMIT_FSIZE, &old) == 0);
  rlimit limited = old;
  if (limit)
    limited.rlim_cur = 64 * 1024;
  ::signal(SIGXFSZ, SIG_IGN);
  REQUIRE(setrlimit(RLIMIT_FSIZE, &limited) == 0);
  const bool ended = Update(w);
  REQUIRE(setrlimit(RLIMIT_FSIZE, &old) == 0);
  return ended;
#endif
}
}  // namespace

// A download that goes wrong installs nothing; an install that goes wrong puts everything back.
TEST_CASE("a failed update changes nothing")
{
  for (const FailureRow& row : FailureRows()) {
    INFO(row.start, row.reason);
    TempDir outside;
    Release release;
    if (row.fault == FolderInTheWay) {
      release.original.erase("setup.ini");
      fs::remove(release.folder.File("setup.ini"));
      release.Keep("setup.ini/inside", "x");
    }
    if (row.fault == FileSizeLimit)
      release.server.Route("/mrvo/b.bin", row.b);
    auto w = release.Offer();
#ifndef _WIN32
    if (row.fault == LinkedFolder)
      fs::create_directory_symlink(outside.Path(), release.folder.File("sub"));
#endif
    // The probe has already succeeded; only the download of b.bin goes wrong.
    release.server.onRequest = [&](const std::string& request) {
      if (row.fault == BadReply && request == "GET /mrvo/a.bin")
        release.server.Route("/mrvo/b.bin", row.b);
    };
    REQUIRE(UpdateLimited(*w, row.fault == FileSizeLimit));

    CHECK(release.Untouched());
    // A refused body is not read to its end; the window does not wait for it.
    CHECK(release.server.Streamed() < 16 << 20);
#ifndef _WIN32  // wine's WinINet reads out the rest as the handle closes, off the window; Windows has no mode bits
    CHECK(WaitUntil([&] { return !release.server.Streaming(); }));
    CHECK(release.server.Streamed() < 16 << 20);
    CHECK(::access(release.folder.File(kMain).c_str(), X_OK) != 0);
    CHECK(fs::is_empty(outside.Path()));
#endif
    CHECK(w->StatusText() == Stopped);
    CHECK(w->cmdFinish->Caption() == "退出");
    CHECK(!w->cmdUpdate->Visible());
    REQUIRE(!release.log.shown.empty());
    const std::string message = release.log.shown.back().text;
    const std::string end = row.fault == FolderInTheWay ? "\r\n已恢复原有文件。" : "\r\n未更新任何文件。";
    CHECK_MESSAGE(StartsWith(message, row.start), message);
    CHECK_MESSAGE(message.rfind(row.reason + end) == message.size() - (row.reason + end).size(), message);
    if (row.fault == BadReply || row.fault == FileSizeLimit)  // b.bin failed: nothing after it is fetched
      CHECK(release.server.Count("GET", "/mrvo/sub/deep/c.bin") == 0);
    const Strings events = Events(release.folder);
    CHECK(std::count(events.begin(), events.end(), "更新终止") == 1);
    CHECK(events.back() == "消息：" + std::regex_replace(message, std::regex("\r\n"), " / "));
  }
}

TEST_CASE("closing the window during a download cancels the update")
{
  Release release;
  auto w = release.Offer();
  release.server.Route("/mrvo/sub/deep/c.bin", Reply::Stall());
  release.server.onRequest = [&](const std::string& request) {
    if (request == "GET /mrvo/sub/deep/c.bin")
      RunOnEventLoop(CloseFromTitleBar);
  };
  w->cmdUpdate->Click();
  REQUIRE(WaitUntil([&] { return w->IsUnloaded(); }));
  CHECK(release.Untouched());
  CHECK(release.log.shown.empty());
}

#ifndef _WIN32  // links need rights on Windows, and wine makes none
// A folder linked outside before the check stops it; one linked after the offer fails the update.
TEST_CASE("a linked folder leads nowhere")
{
  TempDir outside;
  Release release;
  fs::create_directory_symlink(outside.Path(), release.folder.File("sub"));
  auto w = release.Start();
  REQUIRE(WaitUntil([&] { return w->StatusText() != Checking; }));
  CHECK(w->StatusText() == "更新列表中的文件名无效：sub\\deep\\c.bin，无法继续更新 ...");
  CHECK(release.server.Requests().size() == 2);  // the list only
  CHECK(fs::is_empty(outside.Path()));
}
#endif

// An install that stopped half-way (as in a crash) is finished or undone at the next start,
// before the update check, which then goes on as usual.
TEST_CASE("an unfinished install is recovered at start-up")
{
  struct Crash {};
  struct StopAt : engine::InstallObserver {
    std::string what;
    void Step(int, const std::string& done) override
    {
      if (done == what)
        throw Crash{};
    }
  };
  const struct {
    std::string stopAfter;  // the engine step the "crash" comes after; "" for a damaged record
    std::string message;
  } rows[] = {
      {"download", ""},
      {"替换 a.bin", "上次更新未完成，已恢复原有文件。"},
      {"写入更新记录：committed", "上次更新已完成。"},
      {"", "更新记录已损坏：记录不完整"},
  };
  for (const auto& row : rows) {
    INFO(row.stopAfter);
    StopAt observer;
    observer.what = row.stopAfter;
    Release release;
    const std::unique_ptr<engine::FileOps> ops = engine::SystemFileOps();
    engine::InstallEngine install(release.folder.Path(), *ops, &observer);
    const bool damaged = row.stopAfter.empty();
    if (damaged) {
      release.Keep("MervoUpdate.journal", "MervoUpdate journal 1\ndownload\ntmp\ta.bin.tmp\n");
    } else {
      REQUIRE(install.BeginDownload({"a.bin", "b.bin"}).empty());
      release.folder.Write("a.bin.tmp", "new a");
      release.folder.Write("b.bin.tmp", Bytes(3000, 'b'));
      if (row.stopAfter != "download")
        CHECK_THROWS_AS(install.Install({{"a.bin", false}, {"b.bin", false}}), Crash);
    }
    if (row.stopAfter == "写入更新记录：committed") {
      release.original["a.bin"] = "new a";
      release.original["b.bin"] = Bytes(3000, 'b');
    }
    auto w = release.Start();
    CHECK(WaitUntil([&] { return damaged ? w->IsUnloaded() : w->StatusText() == Offered; }));
    CHECK(release.log.Texts() == (row.message.empty() ? Strings{} : Strings{row.message}));
    CHECK(release.Untouched(!damaged));
    CHECK(release.server.Requests().empty() == damaged);
  }
}

namespace {
#ifdef _WIN32
// A process the test starts; ended at the end.
struct Child {
  PROCESS_INFORMATION process{};
  Child(const Strings& arguments, bool)
  {
    std::wstring line;
    for (const std::string& argument : arguments)
      line += L"\"" + fs::u8path(argument).wstring() + L"\" ";
    STARTUPINFOW startup{sizeof startup};
    REQUIRE(CreateProcessW(fs::u8path(arguments.at(0)).wstring().c_str(), line.data(), nullptr, nullptr, FALSE, 0,
                           nullptr, nullptr, &startup, &process));
  }
  ~Child()
  {
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  bool Running() const { return WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT; }
};
#else
// A process the test starts; killed and reaped at the end.
struct Child {
  pid_t pid = 0;
  int status = 0;
  Child(const Strings& arguments, bool ignoreTerm)
  {
    // SIGTERM ignored here stays ignored across the exec.
    std::string script = ignoreTerm ? "trap '' TERM; exec \"$0\" \"$@\"" : "exec \"$0\" \"$@\"";
    Strings words{"/bin/sh", "-c", script};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
      argv.push_back(word.data());
    argv.push_back(nullptr);
    REQUIRE(posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv.data(), environ) == 0);
  }
  ~Child() { Kill(); }
  bool Running() { return pid > 0 && ::waitpid(pid, &status, WNOHANG) == 0; }
  void Kill()
  {
    if (Running()) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
    pid = 0;
  }
};
#endif
}  // namespace

// The main program running from the program folder is ended first, if the user agrees: by
// force when it ignores the request, and never another process that got its id meanwhile.
TEST_CASE("a running main program")
{
  const std::string nextPid = "/proc/sys/kernel/ns_last_pid";
  const struct {
    bool agree, ignoresTerm, idReused;
  } rows[] = {{true, false, false},
#ifndef _WIN32  // Windows terminates at once, and the handle found is what it ends
              {true, true, false},
              {true, false, true},
#endif
              {false, false, false}};
  for (const auto& row : rows) {
    INFO(row.agree, row.ignoresTerm, row.idReused);
#ifdef _WIN32
    Release release;
    Child running({release.folder.File(kMain), "--wait"}, false);
#else
    if (row.idReused && ::access(nextPid.c_str(), W_OK) != 0)
      continue;  // the next process id cannot be chosen here
    Release release;
    release.Keep(kMain, ReadFile("/bin/sleep"));
    fs::permissions(release.folder.File(kMain), fs::perms::owner_all);
    Child running({release.folder.File(kMain), "600"}, row.ignoresTerm);
    REQUIRE(WaitUntil([&] {
      std::error_code gone;
      return fs::read_symlink("/proc/" + std::to_string(running.pid) + "/exe", gone) == release.folder.File(kMain);
    }));
    const pid_t pid = running.pid;
    std::unique_ptr<Child> stranger;
    if (row.idReused)
      release.log.onNextBox = [&] {
        running.Kill();
        for (int tries = 0; tries < 100 && (!stranger || stranger->pid != pid); ++tries) {
          stranger.reset();
          WriteFile(nextPid, std::to_string(pid - 1));
          stranger = std::make_unique<Child>(Strings{"/bin/sleep", "600"}, false);
        }
      };
#endif
    release.log.answer = row.agree ? MsgBoxResult::Yes : MsgBoxResult::No;
    auto w = release.Offer();
    w->lngEndGraceMs = 100;
    REQUIRE(Update(*w));

    REQUIRE(!release.log.shown.empty());
    CHECK(release.log.shown[0].text == "更新主程序：" + NativePath(release.folder.Path() + "/" + kMain) + "正在运行!\r\n"
                                           "关闭此程序按[是]，终止更新按[否]");
    CHECK(release.log.shown[0].style == MsgBoxStyle::YesNoQuestion);
    CHECK(WaitUntil([&] { return running.Running() != row.agree; }));
    CHECK(w->StatusText() == (row.agree ? Done : Stopped));
    CHECK((row.agree ? release.folder.Read("a.bin") == "new a" : release.Untouched()));
#ifndef _WIN32
    // Another process may take the id first; then this machine cannot show the case.
    if (stranger && stranger->pid == pid)
      CHECK(stranger->Running());
#endif
  }
}

// A second updater started in the same folder while one is at work leaves everything to it;
// the lock it finds is not handed down to the programs the first one starts.
TEST_CASE("one run at a time")
{
  Release release;
  const std::string exe = fs::path(MERVO_UPDATE_EXE).filename().string();
  const std::string program = release.folder.File(exe);
  fs::copy_file(MERVO_UPDATE_EXE, program);
  auto w = release.Offer();
  Strings before, during, secondEvents;
  release.server.onRequest = [&](const std::string& request) {
    if (request != "GET /mrvo/b.bin")
      return;
    RunOnEventLoop([&] {
      before = release.folder.Files();
      SetEnv("QT_QPA_PLATFORM", "offscreen");
      Child second({program}, false);
      // Its box waits for a click that never comes offscreen: its log tells that it showed it.
      WaitUntil(
          [&] {
            secondEvents.clear();
            for (const std::string& event : Events(release.folder))
              if (StartsWith(event, "消息："))
                secondEvents.push_back(event);
            return !secondEvents.empty() || !second.Running() || !release.folder.Exists("MervoUpdate.journal");
          },
          10000);
      during = release.folder.Files();
    });
  };
  REQUIRE(Update(*w));

  CHECK(secondEvents == Strings{"消息：更新程序已在运行。"});
  CHECK(std::count(before.begin(), before.end(), "MervoUpdate.journal") == 1);
  CHECK(std::count(before.begin(), before.end(), "a.bin.tmp") == 1);
  CHECK(during == before);
  CHECK(w->StatusText() == Done);
  CHECK(release.folder.Files() == Strings{exe, "a.bin", "b.bin", kMain, "setup.ini", "sub/deep/c.bin"});
#ifndef _WIN32  // Windows hands down only the handles made to be inherited
  Strings closeOnExec;  // of each descriptor open on the lock
  for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    if (fs::read_symlink(fd.path(), ignored) == release.folder.File("MervoUpdate.lock"))
      closeOnExec.push_back(std::to_string(::fcntl(std::stoi(fd.path().filename().string()), F_GETFD) & FD_CLOEXEC));
  }
  CHECK(closeOnExec == Strings{"1"});
#endif
}
