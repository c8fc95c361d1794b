// Message boxes over MessageBoxW, owned by the thread's active window.
#include "platform/Runtime.h"

#include "platform/Log.h"
#include "platform/win32/Win32Text.h"

#include <windows.h>

namespace {
MsgBoxHook& Hook()
{
  static MsgBoxHook hook;
  return hook;
}

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

std::string AppTitle()
{
  return "Mervo自动更新程序";
}

void SetMsgBoxHook(MsgBoxHook hook)
{
  Hook() = std::move(hook);
}

MsgBoxResult MsgBox(const std::string& text, MsgBoxStyle style, const std::string& title)
{
  const MsgBoxRequest request{text, title.empty() ? AppTitle() : title, style};
  LogEvent("消息：" + text);
  FlushLog();
  if (Hook())
    return Hook()(request);
  const int pressed = MessageBoxW(GetActiveWindow(), win32::Wide(request.text).c_str(),
                                  win32::Wide(request.title).c_str(), StyleFlags(style) | MB_SETFOREGROUND);
  if (style != MsgBoxStyle::YesNoQuestion)
    return MsgBoxResult::Ok;
  return pressed == IDYES ? MsgBoxResult::Yes : MsgBoxResult::No;
}
