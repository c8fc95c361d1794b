// Message boxes over MessageBoxW, owned by the thread's active window; the restart with
// administrator rights through the shell's "runas" verb, which shows the consent prompt.
#include "platform/common/SystemBox.h"
#include "platform/win32/Win32Text.h"

#include <windows.h>

#include <shellapi.h>

namespace {
UINT StyleFlags(MsgBoxStyle style)
{
  switch (style) {
    case MsgBoxStyle::OkInformation:
      return MB_OK | MB_ICONINFORMATION;
    case MsgBoxStyle::YesNoQuestion:
      return MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2;
    case MsgBoxStyle::OkOnly:
      break;
  }
  return MB_OK;
}
}  // namespace

MsgBoxResult ShowSystemBox(const MsgBoxRequest& request)
{
  const int pressed = MessageBoxW(GetActiveWindow(), win32::Wide(request.text).c_str(),
                                  win32::Wide(request.title).c_str(), StyleFlags(request.style) | MB_SETFOREGROUND);
  if (request.style != MsgBoxStyle::YesNoQuestion)
    return MsgBoxResult::Ok;
  return pressed == IDYES ? MsgBoxResult::Yes : MsgBoxResult::No;
}

bool SystemCanElevate()
{
  return true;
}

RestartRequest ElevationRequest()
{
  std::wstring exe(32768, L'\0');
  exe.resize(GetModuleFileNameW(nullptr, exe.data(), DWORD(exe.size())));
  return {win32::Utf8(exe), "runas"};
}

std::string StartElevated(const RestartRequest& request)
{
  const std::wstring verb = win32::Wide(request.verb), program = win32::Wide(request.program);
  SetLastError(ERROR_SUCCESS);
  const auto started = reinterpret_cast<INT_PTR>(
      ShellExecuteW(GetActiveWindow(), verb.c_str(), program.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  if (started > 32)
    return "";
  // Declining the consent prompt leaves ERROR_CANCELLED; older shells only return a code.
  const DWORD error = GetLastError();
  return win32::SystemReason(error != ERROR_SUCCESS ? error : DWORD(started));
}
