// MervoUpdate.exe run as a user runs it and driven from outside, through its window: found by
// class, its status bar read and its buttons pressed by control id, its message boxes answered.
// Run under wine by tools/windows-blackbox.sh, which serves the releases on 127.0.0.1.
//
//   drive_updater EXE BASEURL RELEASES WORKDIR PUBLICKEY
//   drive_updater --demo EXE BASEURL PUBLICKEY     one whole update of EXE's folder, told as it
//                                                  goes (tools/demo.sh --windows); key may be ""
// Without arguments it exits at once: the releases ship it as the main program that 完成 starts.
// Prints the failed checks and "N passed, N failed"; exits 0 only when every check passed.
#include "platform/win32/ControlIds.h"

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace checks {
int passed = 0;
int failed = 0;

void Expect(bool ok, const std::string& what)
{
  ok ? ++passed : ++failed;
  if (!ok)
    std::printf("FAIL: %s\n", what.c_str());
  std::fflush(stdout);
}

// Prints "N passed, M failed" and gives the program's exit status.
int Summary()
{
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
}  // namespace checks

namespace {
using checks::Expect;

std::string Utf8(const std::wstring& text)
{
  std::string out(text.size() * 3, '\0');
  out.resize(std::size_t(
      WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), int(out.size()), nullptr, nullptr)));
  return out;
}

std::wstring Wide(const std::string& text)
{
  std::wstring out(text.size(), L'\0');
  out.resize(std::size_t(MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), int(out.size()))));
  return out;
}

std::string ReadAll(const fs::path& path)
{
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return "<missing>";
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, const std::string& bytes)
{
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

// The updater under test: its process handle, kept for the whole run (ids are reused soon).
struct Updater {
  PROCESS_INFORMATION process{};

  ~Updater()
  {
    if (!process.hProcess)
      return;
    if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT)
      TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, 5000);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
  }

  bool Ended() const { return WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0; }

  // Checks the condition at each short wait on the process, up to the bound.
  bool WaitFor(const std::function<bool()>& condition, DWORD boundMs = 30000) const
  {
    const ULONGLONG end = GetTickCount64() + boundMs;
    while (!condition()) {
      if (GetTickCount64() > end)
        return false;
      WaitForSingleObject(process.hProcess, 30);
    }
    return true;
  }

  bool WaitForEnd(DWORD boundMs = 30000) const
  {
    return WaitForSingleObject(process.hProcess, boundMs) == WAIT_OBJECT_0;
  }
};

bool Start(Updater& updater, const fs::path& exe, const std::string& url, const std::string& key)
{
  SetEnvironmentVariableW(L"MERVO_UPDATE_URL", Wide(url).c_str());
  SetEnvironmentVariableW(L"MERVO_PUBLIC_KEY", key.empty() ? nullptr : Wide(key).c_str());
  std::wstring command = L"\"" + fs::absolute(exe).wstring() + L"\"";
  const std::wstring folder = fs::absolute(exe).parent_path().wstring();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  return CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, folder.c_str(), &startup,
                        &updater.process);
}

// The process's visible top-level window of this class, or null.
HWND WindowOf(const Updater& updater, const wchar_t* className)
{
  struct Search {
    DWORD pid;
    const wchar_t* className;
    HWND found;
  } search{updater.process.dwProcessId, className, nullptr};
  EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto* s = reinterpret_cast<Search*>(data);
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        wchar_t name[64] = {};
        GetClassNameW(window, name, 64);
        if (pid == s->pid && IsWindowVisible(window) && std::wstring(name) == s->className) {
          s->found = window;
          return FALSE;
        }
        return TRUE;
      },
      LPARAM(&search));
  return search.found;
}

// A status bar panel of another process: the text goes through a buffer in that process.
std::string StatusText(const Updater& updater)
{
  const HWND window = WindowOf(updater, L"frmUpdate");
  const HWND bar = window ? GetDlgItem(window, 1003) : nullptr;
  if (!bar)
    return std::string();
  const DWORD_PTR length = LOWORD(SendMessageW(bar, SB_GETTEXTLENGTHW, win32ui::kStatusText, 0));
  std::wstring text(length + 1, L'\0');
  const SIZE_T bytes = text.size() * sizeof(wchar_t);
  void* remote = VirtualAllocEx(updater.process.hProcess, nullptr, bytes, MEM_COMMIT, PAGE_READWRITE);
  if (!remote)
    return std::string();
  SendMessageW(bar, SB_GETTEXTW, win32ui::kStatusText, LPARAM(remote));
  SIZE_T read = 0;
  ReadProcessMemory(updater.process.hProcess, remote, text.data(), bytes, &read);
  VirtualFreeEx(updater.process.hProcess, remote, 0, MEM_RELEASE);
  text.resize(wcsnlen(text.c_str(), text.size()));
  return Utf8(text);
}

// The texts of a message box's static controls, joined (WM_GETTEXT crosses processes).
std::string BoxText(HWND box)
{
  std::wstring all;
  EnumChildWindows(
      box,
      [](HWND child, LPARAM data) -> BOOL {
        wchar_t name[32] = {};
        GetClassNameW(child, name, 32);
        wchar_t text[2048] = {};
        if (lstrcmpiW(name, L"Static") == 0 && GetWindowTextW(child, text, 2048) > 0)
          *reinterpret_cast<std::wstring*>(data) += text;
        return TRUE;
      },
      LPARAM(&all));
  return Utf8(all);
}

// Waits for a message box, presses the button with this id and returns the box's text.
std::string AnswerBox(const Updater& updater, int button)
{
  HWND box = nullptr;
  if (!updater.WaitFor([&] { return (box = WindowOf(updater, L"#32770")) != nullptr; })) {
    Expect(false, "no message box came up");
    return std::string();
  }
  const std::string text = BoxText(box);
  PostMessageW(GetDlgItem(box, button), BM_CLICK, 0, 0);
  // Gone before the next box is looked for, or it would be answered twice.
  updater.WaitFor([&] { return !IsWindow(box); });
  return text;
}

bool WaitForStatus(const Updater& updater, const std::string& status)
{
  const bool seen = updater.WaitFor([&] { return StatusText(updater) == status; });
  Expect(seen, "status \"" + status + "\" not seen; last \"" + StatusText(updater) + "\"");
  return seen;
}

void Press(const Updater& updater, int id)
{
  PostMessageW(GetDlgItem(WindowOf(updater, L"frmUpdate"), id), BM_CLICK, 0, 0);
}

struct Setup {
  fs::path exe;
  std::string baseUrl;
  fs::path releases;
  fs::path work;
  std::string publicKey;
};

// The installed release 1.0, the files it is made of.
const std::vector<std::pair<std::string, std::string>> kOldFiles = {
    {"setup.ini", "[Mervo]\r\n版本=1.0\r\n"},
    {"mervo.exe", "Mervo 1.0\r\n"},
    {"data/readme.txt", "Mervo 1.0 data: old readme.\n"},
    {"data/user.cfg", "settings kept across updates\n"},
};

fs::path ProgramFolder(const Setup& setup, const std::string& name)
{
  const fs::path folder = setup.work / name;
  fs::remove_all(folder);
  for (const auto& [file, bytes] : kOldFiles)
    WriteAll(folder / fs::u8path(file), bytes);
  fs::copy_file(setup.exe, folder / "MervoUpdate.exe");
  return folder;
}

void ExpectOriginals(const fs::path& folder, const std::string& name)
{
  for (const auto& [file, bytes] : kOldFiles)
    Expect(ReadAll(folder / fs::u8path(file)) == bytes, name + ": " + file + " changed");
}

// Every file of the release is in the folder byte for byte.
void ExpectInstalled(const fs::path& folder, const fs::path& release, const std::string& name)
{
  int files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(release)) {
    const std::string file = fs::relative(entry.path(), release).generic_u8string();
    if (!entry.is_regular_file() || file.rfind("UpdList.xml", 0) == 0)
      continue;
    ++files;
    Expect(ReadAll(folder / entry.path().lexically_relative(release)) == ReadAll(entry.path()),
           name + ": " + file + " not installed byte for byte");
  }
  Expect(files >= 4 && fs::exists(folder / "sub" / "data.dat"), name + ": the release is not all there");
  Expect(ReadAll(folder / "data" / "user.cfg") == kOldFiles[3].second, name + ": a file of the user's changed");
}

// Starts the updater of folder against release; the box says it is up to date, and it ends.
void ExpectUpToDate(const Setup& setup, const fs::path& folder, const std::string& release, const std::string& name)
{
  Updater updater;
  Expect(Start(updater, folder / "MervoUpdate.exe", setup.baseUrl + release + "/mrvo/", ""), name + ": not started");
  const std::string text = AnswerBox(updater, IDOK);
  Expect(text.find("已经是最新版本") != std::string::npos, name + ": box says \"" + text + "\"");
  Expect(updater.WaitForEnd(), name + ": still running after the box");
}

// Starts the updater in a fresh folder against release: the offer, with nothing touched yet.
bool Offered(Updater& updater, const Setup& setup, const std::string& name, const std::string& release,
             const std::string& key = "")
{
  const fs::path folder = ProgramFolder(setup, name);
  Expect(Start(updater, folder / "MervoUpdate.exe", setup.baseUrl + release + "/mrvo/", key), name + ": not started");
  const bool offered = WaitForStatus(updater, "发现更新文件 ，点【更新】开始更新...") && !updater.Ended();
  ExpectOriginals(folder, name);
  return offered;
}

// Presses 更新, sees the update through and presses 完成, which ends the run.
void WholeUpdate(const Setup& setup, const std::string& name, const std::string& release, const std::string& key)
{
  Updater updater;
  if (!Offered(updater, setup, name, release, key))
    return;
  Press(updater, 1005);
  if (!WaitForStatus(updater, "更新完成！"))
    return;
  ExpectInstalled(setup.work / name, setup.releases / release / "mrvo", name);
  Press(updater, 1004);
  Expect(updater.WaitForEnd(), name + ": still running after 完成");
}

// A download that fails, or an install of which one target another program holds open:
// the box names what failed, and every original is still there.
void FailedUpdate(const Setup& setup, const std::string& name, const std::string& release, const char* held,
                  const std::vector<std::string>& expected)
{
  Updater updater;
  const fs::path folder = setup.work / name;
  if (!Offered(updater, setup, name, release))
    return;
  const HANDLE holder = held ? CreateFileW((folder / held).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)
                             : INVALID_HANDLE_VALUE;
  Press(updater, 1005);
  const std::string text = AnswerBox(updater, IDOK);
  if (holder != INVALID_HANDLE_VALUE)
    CloseHandle(holder);
  for (const std::string& part : expected)
    Expect(text.find(part) != std::string::npos, name + ": box says \"" + text + "\"");
  // The new file is gone again; a failed download never made its folder.
  Expect(!fs::exists(folder / (held ? "sub/data.dat" : "sub")), name + ": sub\\ or its new file is there");
  ExpectOriginals(folder, name);
}

// A release that lists the updater's own exe: the running one is moved aside, and the next
// start of the new one removes the copy without a word (that run said it was done).
void SelfUpdate(const Setup& setup)
{
  WholeUpdate(setup, "self", "self", "");
  const fs::path folder = setup.work / "self";
  Expect(fs::exists(folder / "MervoUpdate.exe.updbak~"), "self: the running exe was not kept aside");
  ExpectUpToDate(setup, folder, "self", "self, started again");
  Expect(!fs::exists(folder / "MervoUpdate.exe.updbak~") && !fs::exists(folder / "MervoUpdate.journal"),
         "self: the kept-aside exe or the record is still there");
}

// The text of a control of the window (WM_GETTEXT crosses processes).
std::string ControlText(const Updater& updater, int id)
{
  const HWND control = GetDlgItem(WindowOf(updater, L"frmUpdate"), id);
  std::wstring text(SendMessageW(control, WM_GETTEXTLENGTH, 0, 0) + 1, L'\0');
  text.resize(SendMessageW(control, WM_GETTEXT, text.size(), LPARAM(text.data())));
  return Utf8(text);
}

// The list view's rows, their first four columns, read through a buffer in that process.
std::vector<std::vector<std::string>> ListRows(const Updater& updater)
{
  struct Remote {
    LVITEMW item;
    wchar_t text[512];
  };
  std::vector<std::vector<std::string>> rows;
  const HWND list = GetDlgItem(WindowOf(updater, L"frmUpdate"), 1002);
  auto* remote = static_cast<Remote*>(
      VirtualAllocEx(updater.process.hProcess, nullptr, sizeof(Remote), MEM_COMMIT, PAGE_READWRITE));
  if (!list || !remote)
    return rows;
  for (int row = 0; row < int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)); ++row) {
    rows.emplace_back();
    for (int column = 0; column < 4; ++column) {
      LVITEMW item{};
      item.iSubItem = column;
      item.pszText = remote->text;
      item.cchTextMax = 512;
      Remote local{};
      WriteProcessMemory(updater.process.hProcess, &remote->item, &item, sizeof item, nullptr);
      SendMessageW(list, LVM_GETITEMTEXTW, row, LPARAM(&remote->item));
      ReadProcessMemory(updater.process.hProcess, remote->text, local.text, sizeof local.text, nullptr);
      local.text[511] = L'\0';
      rows.back().push_back(Utf8(local.text));
    }
  }
  VirtualFreeEx(updater.process.hProcess, remote, 0, MEM_RELEASE);
  return rows;
}

// One whole update, pressing 更新 and then 完成 as a user would, printing what the window shows.
int DemoRun(const fs::path& exe, const std::string& url, const std::string& key)
{
  Updater updater;
  if (!Start(updater, exe, url, key)) {
    Expect(false, "MervoUpdate.exe not started");
    return checks::Summary();
  }
  if (!WaitForStatus(updater, "发现更新文件 ，点【更新】开始更新..."))
    return checks::Summary();
  std::string notes = ControlText(updater, 1007);
  for (std::size_t at; (at = notes.find("\r\n\r\n")) != std::string::npos;)
    notes.replace(at, 4, "\n  ");
  std::printf("release notes:%s\npressing 更新\n", notes.c_str());
  Press(updater, 1005);
  if (!WaitForStatus(updater, "更新完成！"))
    return checks::Summary();
  for (const auto& row : ListRows(updater))
    std::printf("file %-24s %-6s %8s  %s\n", row[0].c_str(), row[1].c_str(), row[2].c_str(), row[3].c_str());
  std::printf("outcome %s\npressing 完成: starting the main program\n", StatusText(updater).c_str());
  std::fflush(stdout);
  Press(updater, 1004);
  Expect(updater.WaitForEnd(), "still running after 完成");
  return checks::Summary();
}
}  // namespace

int main(int argc, char** argv)
{
  if (argc == 5 && std::string(argv[1]) == "--demo")
    return DemoRun(fs::u8path(argv[2]), argv[3], argv[4]);
  if (argc < 6)
    return 0;
  const Setup setup{fs::u8path(argv[1]), argv[2], fs::u8path(argv[3]), fs::u8path(argv[4]), argv[5]};
  fs::create_directories(setup.work);
  const fs::path upToDate = ProgramFolder(setup, "uptodate");
  ExpectUpToDate(setup, upToDate, "same", "uptodate");
  ExpectOriginals(upToDate, "uptodate");
  WholeUpdate(setup, "update", "rel", "");
  FailedUpdate(setup, "failed", "bad", nullptr, {"文件下载失败：", "\r\n未更新任何文件。"});
  // Wine names no program that holds a file, and then nothing follows the system's reason.
  FailedUpdate(setup, "held", "rel", "setup.ini",
               {"文件安装失败：setup.ini\r\n无法保留原文件的副本：", ")\r\n已恢复原有文件。"});
  WholeUpdate(setup, "signed", "signed", setup.publicKey);
  SelfUpdate(setup);
  return checks::Summary();
}
