// The install engine on Windows, with the system's own file operations: Chinese names in
// new folders, failures half-way, a target locked by another handle, a running program
// replaced by its new version, and recovery after a crash at every step.
//
// Prints one line per case and "N passed, N failed"; exits 0 only when every case passed.
// Run without arguments; the other command lines are the helpers it starts itself.
#include "engine/Install.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// Files of a folder: folder-relative name ("\" between folders) to content.
using Files = std::map<std::wstring, std::string>;

// UTF-8 to UTF-16 and back, done here rather than by the code under test, so that a
// wrong conversion there shows as a wrong name here.
std::wstring Wide(const std::string& text) {
  std::wstring wide(text.size(), L'\0');
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &wide[0], (int)wide.size());
  wide.resize(n > 0 ? n : 0);
  for (wchar_t& c : wide)
    if (c == L'/')
      c = L'\\';
  return wide;
}

std::string Utf8(const std::wstring& wide) {
  std::string text(wide.size() * 4, '\0');
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), (int)wide.size(), &text[0], (int)text.size(), nullptr, nullptr);
  text.resize(n > 0 ? n : 0);
  return text;
}

// Writes a file, creating its folders.
bool Put(const std::wstring& path, const std::string& data) {
  for (size_t slash = path.find(L'\\', 3); slash != std::wstring::npos; slash = path.find(L'\\', slash + 1))
    CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, data.data(), (DWORD)data.size(), &written, nullptr) && written == data.size();
  return CloseHandle(file) && ok;
}

std::string Get(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  std::string data;
  char buffer[65536];
  DWORD got = 0;
  while (file != INVALID_HANDLE_VALUE && ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
    data.append(buffer, got);
  if (file != INVALID_HANDLE_VALUE)
    CloseHandle(file);
  return data;
}

// Every file under root (folders themselves are not listed).
void List(const std::wstring& root, const std::wstring& relative, Files* files) {
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((root + L"\\" + relative + L"*").c_str(), &entry);
  if (find == INVALID_HANDLE_VALUE)
    return;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..")
      continue;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
      List(root, relative + name + L"\\", files);
    else
      (*files)[relative + name] = Get(root + L"\\" + relative + name);
  } while (FindNextFileW(find, &entry));
  FindClose(find);
}

Files List(const std::wstring& root) {
  Files files;
  List(root, L"", &files);
  return files;
}

void RemoveTree(const std::wstring& path) {
  WIN32_FIND_DATAW entry;
  HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &entry);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName, full = path + L"\\" + name;
      if (name == L"." || name == L"..")
        continue;
      if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveTree(full);
      else
        DeleteFileW(full.c_str());
    } while (FindNextFileW(find, &entry));
    FindClose(find);
  }
  RemoveDirectoryW(path.c_str());
}

// "" when the folder holds exactly the expected files, byte for byte; else the first difference.
std::string Compare(const Files& expected, const Files& actual) {
  for (const auto& file : expected) {
    const auto found = actual.find(file.first);
    if (found == actual.end())
      return "missing " + Utf8(file.first);
    if (found->second != file.second)
      return "wrong content in " + Utf8(file.first);
  }
  for (const auto& file : actual)
    if (!expected.count(file.first))
      return "left over: " + Utf8(file.first);
  return "";
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

// The update's names as the engine gets them: UTF-8 with "/"; setup.ini comes last.
std::vector<std::string> UpdateNames(const Files& update) {
  std::vector<std::string> names;
  for (const auto& file : update)
    if (file.first != L"setup.ini") {
      std::string name = Utf8(file.first);
      for (char& c : name)
        if (c == '\\')
          c = '/';
      names.push_back(name);
    }
  names.push_back("setup.ini");
  return names;
}

void MakeFolder(const std::wstring& folder, const Files& files) {
  RemoveTree(folder);
  CreateDirectoryW(folder.c_str(), nullptr);
  for (const auto& file : files)
    Put(folder + L"\\" + file.first, file.second);
}

// What the download does: records the names, then writes each file's "<name>.tmp".
std::string Download(engine::InstallEngine& engine, const std::wstring& folder, const Files& update) {
  const std::string reason = engine.BeginDownload(UpdateNames(update));
  if (!reason.empty())
    return reason;
  for (const auto& file : update)
    if (!Put(folder + L"\\" + file.first + L".tmp", file.second))
      return "cannot write " + Utf8(file.first) + ".tmp";
  return "";
}

std::vector<engine::InstallItem> Items(const Files& update) {
  std::vector<engine::InstallItem> items;
  for (const std::string& name : UpdateNames(update))
    items.push_back({name, name == "mervo.exe"});
  return items;
}

engine::InstallResult Update(engine::InstallEngine& engine, const std::wstring& folder, const Files& update) {
  engine::InstallResult result;
  result.reason = Download(engine, folder, update);
  return result.reason.empty() ? engine.Install(Items(update)) : result;
}

// The real file operations, except that the second Replace fails.
class FailSecondReplace : public engine::FileOps {
public:
  explicit FailSecondReplace(engine::FileOps& real) : m_real(real) {}
  std::string WriteDurably(const std::string& p, const std::string& d) override { return m_real.WriteDurably(p, d); }
  std::string Read(const std::string& p, std::string* d) override { return m_real.Read(p, d); }
  std::string FlushNewFiles(const std::string& f, const std::vector<std::string>& n) override { return m_real.FlushNewFiles(f, n); }
  std::string FlushFolder(const std::string& f) override { return m_real.FlushFolder(f); }
  std::string KeepAside(const std::string& p, const std::string& a) override { return m_real.KeepAside(p, a); }
  std::string Replace(const std::string& from, const std::string& to) override {
    return ++m_replaces == 2 ? std::string("planted failure") : m_real.Replace(from, to);
  }
  std::string Remove(const std::string& p) override { return m_real.Remove(p); }
  bool Exists(const std::string& p) override { return m_real.Exists(p); }
  std::string AdoptPermissions(const std::string& p, const std::string& m, bool x) override {
    return m_real.AdoptPermissions(p, m, x);
  }

private:
  engine::FileOps& m_real;
  int m_replaces = 0;
};

std::wstring g_root;  // the tests' scratch folder
std::wstring g_self;  // this program

// A child process started with this program's arguments; the handle is closed on destruction.
struct Child {
  PROCESS_INFORMATION info{};
  ~Child() {
    if (info.hProcess) {
      CloseHandle(info.hProcess);
      CloseHandle(info.hThread);
    }
  }
};

// Starts program with the arguments and stdin, in folder; false when it cannot start.
bool Start(const std::wstring& program, const std::wstring& arguments, HANDLE input, const std::wstring& folder, Child* child) {
  std::wstring line = L"\"" + program + L"\" " + arguments;
  STARTUPINFOW start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdInput = input;
  start.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  return CreateProcessW(program.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(), &start, &child->info);
}

// Checks one case; failures collects what went wrong.
using Failures = std::vector<std::string>;
void Expect(Failures& failures, bool ok, const std::string& what) {
  if (!ok)
    failures.push_back(what);
}

void WholeInstall(Failures& f) {
  const std::wstring folder = g_root + L"\\whole";
  MakeFolder(folder, kOld);
  auto ops = engine::SystemFileOps();
  engine::InstallEngine engine(Utf8(folder), *ops);
  const engine::InstallResult result = Update(engine, folder, kNew);
  Expect(f, result.ok, "install failed: " + result.failedName + ": " + result.reason);
  const std::string difference = Compare(kNew, List(folder));
  Expect(f, difference.empty(), difference);
}

void FailureHalfWay(Failures& f) {
  const std::wstring folder = g_root + L"\\halfway";
  MakeFolder(folder, kOld);
  auto real = engine::SystemFileOps();
  FailSecondReplace ops(*real);
  engine::InstallEngine engine(Utf8(folder), ops);
  const engine::InstallResult result = Update(engine, folder, kNew);
  Expect(f, !result.ok && result.reason.find("planted failure") != std::string::npos,
         "the planted failure was not reported: " + result.reason);
  const std::string difference = Compare(kOld, List(folder));
  Expect(f, difference.empty(), difference);
}

void LockedTarget(Failures& f) {
  const std::wstring folder = g_root + L"\\locked";
  MakeFolder(folder, kOld);
  HANDLE lock = CreateFileW((folder + L"\\setup.ini").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  Expect(f, lock != INVALID_HANDLE_VALUE, "cannot lock setup.ini");
  auto ops = engine::SystemFileOps();
  engine::InstallEngine engine(Utf8(folder), *ops);
  const engine::InstallResult result = Update(engine, folder, kNew);
  CloseHandle(lock);
  Expect(f, !result.ok && result.failedName == "setup.ini", "the locked setup.ini did not fail the install");
  Expect(f, result.reason.find("32") != std::string::npos, "the sharing violation (32) is not in the reason: " + result.reason);
  const std::string difference = Compare(kOld, List(folder));
  Expect(f, difference.empty(), difference);
}

void RunningProgram(Failures& f) {
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
  Child child;
  const bool started = Start(folder + L"\\mervo.exe", L"--wait " + std::to_wstring((unsigned long long)(UINT_PTR)ready), input,
                             folder, &child);
  CloseHandle(input);
  HANDLE both[] = {ready, child.info.hProcess};
  Expect(f, started && WaitForMultipleObjects(2, both, FALSE, 30000) == WAIT_OBJECT_0, "the program did not start");
  if (f.empty()) {
    auto ops = engine::SystemFileOps();
    engine::InstallEngine engine(Utf8(folder), *ops);
    const engine::InstallResult result = Update(engine, folder, kNew);
    Expect(f, result.ok, "install over the running program failed: " + result.failedName + ": " + result.reason);
    Expect(f, WaitForSingleObject(child.info.hProcess, 0) == WAIT_TIMEOUT, "the program did not run through the install");
    // The old program is still there under another name, and the journal remembers it.
    Files rest = List(folder);
    Expect(f, rest.erase(Wide(engine::JournalName())) == 1, "no journal keeps the running program's old copy");
    int oldCopies = 0;
    for (auto it = rest.begin(); it != rest.end();)
      if (!kNew.count(it->first) && it->second == old[L"mervo.exe"]) {
        ++oldCopies;
        it = rest.erase(it);
      } else {
        ++it;
      }
    Expect(f, oldCopies == 1, "the running program's old copy is not kept aside");
    const std::string difference = Compare(kNew, rest);
    Expect(f, difference.empty(), difference);
    // A start while the old copy still runs cannot remove it either, and keeps the journal.
    const engine::Recovery early = engine::Recover(Utf8(folder), *ops);
    Expect(f, early.outcome == engine::RecoveryOutcome::Unfinished && List(folder).size() == kNew.size() + 2,
           "a start while the old copy runs did not leave it and the journal for later");
  }
  TerminateProcess(child.info.hProcess, 1);
  Expect(f, WaitForSingleObject(child.info.hProcess, 30000) == WAIT_OBJECT_0, "the program did not end");
  CloseHandle(keep);
  CloseHandle(ready);
  auto ops = engine::SystemFileOps();
  const engine::Recovery recovery = engine::Recover(Utf8(folder), *ops);
  Expect(f, recovery.outcome == engine::RecoveryOutcome::Completed, "the next start did not complete the clean-up");
  const std::string difference = Compare(kNew, List(folder));
  Expect(f, difference.empty(), "after the next start: " + difference);
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
  auto ops = engine::SystemFileOps();
  Crash crash(stop);
  engine::InstallEngine engine(Utf8(folder), *ops, &crash);
  if (!Download(engine, folder, kNew).empty())
    return 4;
  if (stop == 0)
    TerminateProcess(GetCurrentProcess(), 3);
  return engine.Install(Items(kNew)).ok ? 0 : 5;
}

void RecoveryAtEveryStep(Failures& f) {
  const std::wstring folder = g_root + L"\\crash";
  std::set<engine::RecoveryOutcome> seen;
  int stop = 0;
  for (; stop < 200 && f.empty(); ++stop) {
    MakeFolder(folder, kOld);
    Child child;
    DWORD code = 0;
    if (!Start(g_self, L"--crash " + std::to_wstring(stop) + L" \"" + folder + L"\"", GetStdHandle(STD_INPUT_HANDLE), g_root, &child) ||
        WaitForSingleObject(child.info.hProcess, 60000) != WAIT_OBJECT_0 || !GetExitCodeProcess(child.info.hProcess, &code) ||
        (code != 0 && code != 3)) {
      TerminateProcess(child.info.hProcess, 1);
      Expect(f, false, "the update that stops after step " + std::to_string(stop) + " ended with " + std::to_string(code));
      break;
    }
    auto ops = engine::SystemFileOps();
    const engine::Recovery recovery = engine::Recover(Utf8(folder), *ops);
    seen.insert(recovery.outcome);
    const Files after = List(folder);
    const std::string asOld = Compare(kOld, after), asNew = Compare(kNew, after);
    const bool old = asOld.empty() && (recovery.outcome == engine::RecoveryOutcome::DownloadDiscarded ||
                                       recovery.outcome == engine::RecoveryOutcome::RolledBack);
    // Nothing to recover: the stop came after the journal was deleted.
    const bool updated = asNew.empty() && (recovery.outcome == engine::RecoveryOutcome::Completed ||
                                           recovery.outcome == engine::RecoveryOutcome::Nothing);
    Expect(f, old || updated, "after a stop at step " + std::to_string(stop) + ": outcome " + std::to_string((int)recovery.outcome) +
                                  ", against the old release: " + asOld + ", against the new: " + asNew);
    if (code == 0)
      break;  // the update ran to its end: there is no later step
  }
  for (auto outcome : {engine::RecoveryOutcome::DownloadDiscarded, engine::RecoveryOutcome::RolledBack,
                       engine::RecoveryOutcome::Completed})
    Expect(f, !f.empty() || seen.count(outcome), "no stop left a journal to recover with outcome " + std::to_string((int)outcome));
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
  g_root.assign(buffer, GetTempPathW(MAX_PATH * 4, buffer));
  g_root += L"MervoUpdate 测试 " + std::to_wstring(GetCurrentProcessId());
  RemoveTree(g_root);
  CreateDirectoryW(g_root.c_str(), nullptr);

  const std::vector<std::pair<const char*, std::function<void(Failures&)>>> cases = {
      {"a whole install of files in new folders with Chinese names", WholeInstall},
      {"a failure at the second rename puts every original back", FailureHalfWay},
      {"a target locked by another handle fails the install and everything is put back", LockedTarget},
      {"a running program is moved aside and replaced; the next start removes its old copy", RunningProgram},
      {"a crash after any step is recovered to the old or the new release", RecoveryAtEveryStep},
  };
  int passed = 0, failed = 0;
  for (const auto& test : cases) {
    Failures failures;
    test.second(failures);
    std::printf("%s - %s\n", failures.empty() ? "ok  " : "FAIL", test.first);
    for (const std::string& failure : failures)
      std::printf("       %s\n", failure.c_str());
    std::fflush(stdout);
    (failures.empty() ? passed : failed)++;
  }
  RemoveTree(g_root);
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
