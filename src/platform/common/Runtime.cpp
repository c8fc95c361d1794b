// Message boxes as the updater shows them: logged first, answered by a test's hook when one
// is set, else drawn by the platform.
#include "platform/Runtime.h"

#include "platform/Log.h"
#include "platform/common/SystemBox.h"

namespace {
MsgBoxHook& Hook()
{
  static MsgBoxHook hook;
  return hook;
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
  return ShowSystemBox(request);
}
