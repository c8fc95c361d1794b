// Message boxes and the restart with administrator rights as the updater asks for them:
// logged first, taken by a test's hook when one is set, else done by the platform.
#include "platform/Runtime.h"

#include "platform/Log.h"
#include "platform/common/SystemBox.h"

namespace {
MsgBoxHook& Hook()
{
  static MsgBoxHook hook;
  return hook;
}

RestartHook& Restart()
{
  static RestartHook hook;
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

void SetRestartHook(RestartHook hook)
{
  Restart() = std::move(hook);
}

bool CanRestartAsAdministrator()
{
  return Restart() || SystemCanElevate();
}

std::string RestartAsAdministrator()
{
  const RestartRequest request = ElevationRequest();
  LogEvent("以管理员身份重新运行：" + request.program);
  FlushLog();
  return Restart() ? Restart()(request) : StartElevated(request);
}
