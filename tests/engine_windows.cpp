// The install engine on Windows, with the system's own file operations: Chinese names in
// new folders, failures half-way, a target locked by another handle, a running program
// replaced by its new version, and recovery after a crash at every step.
//
// Run without arguments (or with doctest's own options after "--"); the other command lines are the
// helpers it starts itself.
#include "FailingOps.h"
#include "engine/Install.h"

#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {
namespace fs = std::filesystem;

// Files of a folder: folder-relative name ("\" between folders) to content.
using Files = std::map<std::wstring, std::string>;

// UTF-16 to UTF-8, done here rather than by the code under test, so that a wrong
// conversion there shows as a wrong name here.
std::string Utf8(const std::wstring& wide) {
  std::string text(wide.size() * 4, '\0');
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), &text[0], (int)text.size(), nullptr, nullptr);
  text.resize(n > 0 ? n : 0);
  return text;
}

std::string Get(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every file under root (folders themselves are not listed).
Files List(const fs::path& root) {
  Files files;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.is_regular_file())
      files[entry.path().lexically_relative(root).wstring()] = Get(entry.path());
  return files;
}

// The release installed before the update, and the update: a replaced program, files in
// new and existing folders with Chinese names, and bytes that a text mode would change.
std::string Binary() {
  std::string data;
  for (int i = 0; i < 256; ++i)
    data += (char)i;
  return data + "\r\n\n\x1a";
}

const Files kOld = {{L"mervo.exe", "MZ old program"},
                    {L"setup.ini", "[Mervo]\r\n\xe7\x89\x88\xe6\x9c\xac=1.0\r\n"},
                    {L"文档\\用法.txt", "旧的用法\r\n"}};
const Files kNew = {{L"mervo.exe", "MZ new program, longer than the old one"},
                    {L"setup.ini", "[Mervo]\r\n\xe7\x89\x88\xe6\x9c\xac=1.1\r\n"},
                    {L"文档\\用法.txt", "新的用法\r\n"},
                    {L"数据\\说明.txt", "说明：新文件夹里的新文件\n"},
                    {L"数据\\子目录\\图.bin", Binary()}};

std::wstring g_root;  // the tests' scratch folder
std::wstring g_self;  // this program

engine::FileOps& SystemOps() {
  static const auto ops = engine::SystemFileOps();
  return *ops;
}

// Writes a file, creating its folders.
bool Put(const fs::path& path, const std::string& data) {
  std::error_code ignored;
  fs::create_directories(path.parent_path(), ignored);
  return bool(std::ofstream(path, std::ios::binary) << data);
}

void MakeFolder(const std::wstring& folder, const Files& files) {
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  for (const auto& [name, data] : files)
    Put(fs::path(folder) / name, data);
}

// What the download and the install do: records the names (kNew's, in UTF-8 with "/",
// setup.ini last), writes each file's "<name>.tmp", then installs them.
std::string Download(engine::InstallEngine& engine, const std::wstring& folder, std::vector<engine::InstallItem>* items) {
  const std::vector<std::string> names = {"mervo.exe", "数据/子目录/图.bin", "数据/说明.txt", "文档/用法.txt", "setup.ini"};
  const std::string reason = engine.BeginDownload(names);
  if (!reason.empty())
    return reason;
  for (const auto& [name, data] : kNew)
    if (!Put(fs::path(folder) / (name + L".tmp"), data))
      return "cannot write " + Utf8(name) + ".tmp";
  for (const std::string& name : names)
    items->push_back({name, name == "mervo.exe"});
  return "";
}

engine::InstallResult Update(engine::InstallEngine& engine, const std::wstring& folder) {
  std::vector<engine::InstallItem> items;
  engine::InstallResult result;
  result.reason = Download(engine, folder, &items);
  return result.reason.empty() ? engine.Install(items) : result;
}

// Updates a new folder holding the old release with ops, while another handle holds the
// file locked (if any) open; the folder must end holding expected.
engine::InstallResult UpdateIn(const wchar_t* name, engine::FileOps& ops, const Files& expected,
                               const wchar_t* locked = nullptr) {
  const std::wstring folder = g_root + L"\\" + name;
  MakeFolder(folder, kOld);
  HANDLE lock = locked ? CreateFileW((folder + L"\\" + locked).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr) : nullptr;
  REQUIRE(lock != INVALID_HANDLE_VALUE);
  engine::InstallEngine engine(Utf8(folder), ops);
  const engine::InstallResult result = Update(engine, folder);
  if (lock)
    CloseHandle(lock);
  CHECK(List(folder) == expected);
  return result;
}

TEST_CASE("a whole install of files in new folders with Chinese names") {
  const engine::InstallResult result = UpdateIn(L"whole", SystemOps(), kNew);
  CHECK_MESSAGE(result.ok, (result.failedName + ": " + result.reason));
}

TEST_CASE("a failure at the second rename puts every original back") {
  FailingOps ops("Replace", 2);
  const engine::InstallResult result = UpdateIn(L"halfway", ops, kOld);
  CHECK_FALSE(result.ok);
  CHECK_MESSAGE(result.reason.find(std::strerror(EIO)) != std::string::npos, result.reason);
}

// From the 4th rename on (文档\用法.txt, then only in its kept-aside copy) every rename fails,
// the put-backs too, at the install and at the next start; the start after that restores.
TEST_CASE("put-backs that fail keep the old copies for a later start to restore") {
  using engine::RecoveryOutcome;
  const std::wstring folder = g_root + L"\\putback";
  MakeFolder(folder, kOld);
  FailingOps ops("Replace+", 4);
  engine::InstallEngine engine(Utf8(folder), ops);
  const engine::InstallResult result = Update(engine, folder);
  CHECK_FALSE(result.ok);
  CHECK_MESSAGE(result.reason.find("（下次启动时将再次恢复）") != std::string::npos, result.reason);
  // A start whose put-backs fail too keeps the journal; the start after puts the old files back.
  CHECK(engine::Recover(Utf8(folder), ops).outcome == RecoveryOutcome::Unfinished);
  ops.Heal();
  CHECK(engine::Recover(Utf8(folder), ops).outcome == RecoveryOutcome::RolledBack);
  CHECK(List(folder) == kOld);
}

TEST_CASE("a target locked by another handle fails the install and everything is put back") {
  const engine::InstallResult result = UpdateIn(L"locked", SystemOps(), kOld, L"setup.ini");
  CHECK_FALSE(result.ok);
  CHECK(result.failedName == "setup.ini");
  // The sharing violation's code.
  CHECK_MESSAGE(result.reason.find("32") != std::string::npos, result.reason);
}

// A child process running this program with arguments and stdin, in folder; the handles
// are closed on destruction.
struct Child {
  PROCESS_INFORMATION info{};
  bool started;
  Child(const std::wstring& program, const std::wstring& arguments, HANDLE input, const std::wstring& folder) {
    std::wstring line = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = input;
    start.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    started = CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(), &start, &info);
  }
  ~Child() {
    if (started) {
      CloseHandle(info.hProcess);
      CloseHandle(info.hThread);
    }
  }
};

TEST_CASE("a running program is moved aside and replaced; the next start removes its old copy") {
  const std::wstring folder = g_root + L"\\running";
  Files old = kOld;
  old[L"mervo.exe"] = Get(g_self);
  MakeFolder(folder, old);
  // The program waits on its stdin, which only this process could write; it says it runs
  // through an event.
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE ready = CreateEventW(&inherit, TRUE, FALSE, nullptr), input = nullptr, keep = nullptr;
  CreatePipe(&input, &keep, &inherit, 0);
  SetHandleInformation(keep, HANDLE_FLAG_INHERIT, 0);
  Child child(folder + L"\\mervo.exe", L"--wait " + std::to_wstring((unsigned long long)(UINT_PTR)ready), input, folder);
  CloseHandle(input);
  HANDLE both[] = {ready, child.info.hProcess};
  REQUIRE(child.started);
  REQUIRE(WaitForMultipleObjects(2, both, FALSE, 30000) == WAIT_OBJECT_0);
  {
    engine::InstallEngine engine(Utf8(folder), SystemOps());
    const engine::InstallResult result = Update(engine, folder);
    CHECK_MESSAGE(result.ok, (result.failedName + ": " + result.reason));
    CHECK(WaitForSingleObject(child.info.hProcess, 0) == WAIT_TIMEOUT);  // it ran through the install
    // The old program is still there under another name, and the journal remembers it.
    Files expected = kNew;
    for (const auto& file : List(folder))
      if (!kNew.count(file.first) && file.second == old[L"mervo.exe"])
        expected.insert(file);
    CHECK(expected.size() == kNew.size() + 1);
    const std::string journal = engine::JournalName();
    expected[std::wstring(journal.begin(), journal.end())] = Get(fs::path(folder) / journal);
    CHECK(List(folder) == expected);
    // A start while the old copy still runs cannot remove it either, and keeps the journal.
    CHECK(engine::Recover(Utf8(folder), SystemOps()).outcome == engine::RecoveryOutcome::Unfinished);
    CHECK(List(folder) == expected);
  }
  TerminateProcess(child.info.hProcess, 1);
  CHECK(WaitForSingleObject(child.info.hProcess, 30000) == WAIT_OBJECT_0);
  CloseHandle(keep);
  CloseHandle(ready);
  CHECK(engine::Recover(Utf8(folder), SystemOps()).outcome == engine::RecoveryOutcome::Completed);
  CHECK(List(folder) == kNew);
}

// In a child process: downloads and installs in folder, and ends the process abruptly
// right after the engine's step number stop; 0 ends it once the download is written.
class Crash : public engine::InstallObserver {
public:
  explicit Crash(int stop) : m_stop(stop) {}
  void Step(int number, const std::string&) override {
    if (number == m_stop)
      TerminateProcess(GetCurrentProcess(), 3);
  }

private:
  int m_stop;
};

int CrashingUpdate(const std::wstring& folder, int stop) {
  Crash crash(stop);
  engine::InstallEngine engine(Utf8(folder), SystemOps(), &crash);
  std::vector<engine::InstallItem> items;
  if (!Download(engine, folder, &items).empty())
    return 4;
  if (stop == 0)
    TerminateProcess(GetCurrentProcess(), 3);
  return engine.Install(items).ok ? 0 : 5;
}

TEST_CASE("a crash after any step is recovered to the old or the new release") {
  using engine::RecoveryOutcome;
  const std::wstring folder = g_root + L"\\crash";
  std::set<RecoveryOutcome> seen;
  for (int stop = 0; stop < 200; ++stop) {
    CAPTURE(stop);
    MakeFolder(folder, kOld);
    Child child(g_self, L"--crash " + std::to_wstring(stop) + L" \"" + folder + L"\"", GetStdHandle(STD_INPUT_HANDLE), g_root);
    DWORD code = 0;
    const bool ended = child.started && WaitForSingleObject(child.info.hProcess, 60000) == WAIT_OBJECT_0 &&
                       GetExitCodeProcess(child.info.hProcess, &code);
    if (!ended)
      TerminateProcess(child.info.hProcess, 1);
    REQUIRE(ended);
    REQUIRE((code == 0 || code == 3));
    const RecoveryOutcome outcome = engine::Recover(Utf8(folder), SystemOps()).outcome;
    seen.insert(outcome);
    // Nothing to recover: the stop came after the journal was deleted.
    const bool updated = outcome == RecoveryOutcome::Completed || outcome == RecoveryOutcome::Nothing;
    REQUIRE((updated || outcome == RecoveryOutcome::DownloadDiscarded || outcome == RecoveryOutcome::RolledBack));
    REQUIRE(List(folder) == (updated ? kNew : kOld));
    if (code == 0)
      break;  // the update ran to its end: there is no later step
  }
  // Some stop left a journal to recover with each outcome.
  for (auto outcome : {RecoveryOutcome::DownloadDiscarded, RecoveryOutcome::RolledBack, RecoveryOutcome::Completed})
    CHECK(seen.count(outcome) == 1);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"--wait") {
    SetEvent((HANDLE)(UINT_PTR)_wcstoui64(argv[2], nullptr, 10));
    char byte;
    DWORD got;
    ReadFile(GetStdHandle(STD_INPUT_HANDLE), &byte, 1, &got, nullptr);
    return 0;
  }
  if (argc == 4 && std::wstring(argv[1]) == L"--crash")
    return CrashingUpdate(argv[3], _wtoi(argv[2]));

  SetConsoleOutputCP(CP_UTF8);
  wchar_t buffer[MAX_PATH * 4];
  g_self.assign(buffer, GetModuleFileNameW(nullptr, buffer, MAX_PATH * 4));
  g_root = (fs::temp_directory_path() / (L"MervoUpdate 测试 " + std::to_wstring(GetCurrentProcessId()))).wstring();
  std::error_code ignored;
  fs::remove_all(g_root, ignored);
  fs::create_directory(g_root);

  doctest::Context context;
  context.setOption("no-colors", true);
  const int status = context.run();
  fs::remove_all(g_root, ignored);
  return status;
}
