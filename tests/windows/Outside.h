#pragma once
// MervoUpdate.exe driven from outside, through its window: started with a server address and
// key, found by class, its status bar read, its buttons pressed by control id, its message
// boxes answered. Shared by the black-box tests and the Windows demo.
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
inline int passed = 0;
inline int failed = 0;

inline void Expect(bool ok, const std::string& what)
{
  ok ? ++passed : ++failed;
  if (!ok)
    std::printf("FAIL: %s\n", what.c_str());
  std::fflush(stdout);
}

// Prints "N passed, M failed" and gives the program's exit status.
inline int Summary()
{
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
}  // namespace checks

namespace outside {
using checks::Expect;

inline std::string Utf8(const std::wstring& text)
{
  std::string out(text.size() * 3, '\0');
  out.resize(std::size_t(
      WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), int(out.size()), nullptr, nullptr)));
  return out;
}

inline std::wstring Wide(const std::string& text)
{
  std::wstring out(text.size(), L'\0');
  out.resize(std::size_t(MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), int(out.size()))));
  return out;
}

inline std::string ReadAll(const fs::path& path)
{
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return "<missing>";
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteAll(const fs::path& path, const std::string& bytes)
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

inline bool Start(Updater& updater, const fs::path& exe, const std::string& url, const std::string& key)
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
inline HWND WindowOf(const Updater& updater, const wchar_t* className)
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
inline std::string StatusText(const Updater& updater)
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
inline std::string BoxText(HWND box)
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
inline std::string AnswerBox(const Updater& updater, int button)
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

inline bool WaitForStatus(const Updater& updater, const std::string& status)
{
  const bool seen = updater.WaitFor([&] { return StatusText(updater) == status; });
  Expect(seen, "status \"" + status + "\" not seen; last \"" + StatusText(updater) + "\"");
  return seen;
}

inline void Press(const Updater& updater, int id)
{
  PostMessageW(GetDlgItem(WindowOf(updater, L"frmUpdate"), id), BM_CLICK, 0, 0);
}
}  // namespace outside
