// Message boxes over MessageBoxW, owned by the thread's active window.
#include "platform/common/SystemBox.h"
#include "platform/win32/Win32Text.h"

#include <windows.h>

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
