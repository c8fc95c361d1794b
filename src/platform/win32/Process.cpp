// Other processes through the process snapshot; each is held by its handle from the moment it
// is found, so ending it can never reach a process that got its id since.
#include "platform/Process.h"

#include "platform/Events.h"
#include "platform/FileSys.h"
#include "platform/win32/Win32Text.h"

#include <tlhelp32.h>

RunningProcess::~RunningProcess()
{
  CloseHandle(HANDLE(m_handle));
}

namespace {
// The full path of path, as the system spells it.
std::wstring FullPath(const std::string& path)
{
  const std::wstring wide = win32::Wide(NativePath(path));
  std::wstring full(32768, L'\0');
  full.resize(GetFullPathNameW(wide.c_str(), DWORD(full.size()), full.data(), nullptr));
  return full;
}

// Waits on the event loop until the process has ended or ms have passed.
bool WaitUntilEnded(HANDLE process, DWORD ms)
{
  const ULONGLONG until = GetTickCount64() + ms;
  for (;;) {
    const ULONGLONG now = GetTickCount64();
    const DWORD left = now >= until ? 0 : DWORD(until - now);
    const DWORD woken = MsgWaitForMultipleObjectsEx(1, &process, left, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woken == WAIT_OBJECT_0)
      return true;
    if (woken != WAIT_OBJECT_0 + 1)
      return WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
    DoEvents();
  }
}
}  // namespace

std::vector<std::unique_ptr<RunningProcess>> ProcessesRunning(const std::string& path)
{
  std::vector<std::unique_ptr<RunningProcess>> found;
  const std::wstring wanted = FullPath(path);
  const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE)
    return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == GetCurrentProcessId())
      continue;
    // The image name is read through the handle kept, so it names this very process.
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                       entry.th32ProcessID);
    if (!process)
      continue;
    wchar_t image[32768];
    DWORD size = 32768;
    if (QueryFullProcessImageNameW(process, 0, image, &size)
        && CompareStringOrdinal(image, int(size), wanted.c_str(), int(wanted.size()), TRUE) == CSTR_EQUAL)
      found.push_back(std::make_unique<RunningProcess>(std::intptr_t(process)));
    else
      CloseHandle(process);
  }
  CloseHandle(snapshot);
  return found;
}

bool EndProcess(RunningProcess& process, int)
{
  // Windows has no polite request to a program without a window of ours: it is terminated.
  const HANDLE handle = HANDLE(process.Handle());
  if (WaitForSingleObject(handle, 0) == WAIT_OBJECT_0)
    return true;
  return TerminateProcess(handle, 1) && WaitUntilEnded(handle, 5000);
}
