#pragma once
// The window-system services the updater relies on: modal message boxes, a restart with
// administrator rights, and (through Events.h) event processing from inside a handler and
// the signal that a run has ended.
#include "platform/Events.h"

#include <functional>
#include <string>

enum class MsgBoxStyle {
  OkOnly,         // OK, no icon
  OkInformation,  // OK with the information icon
  YesNoQuestion   // Yes and No, question icon, No as the default
};

enum class MsgBoxResult { Ok, Yes, No };

struct MsgBoxRequest {
  std::string text;
  std::string title;  // empty: the application's title
  MsgBoxStyle style = MsgBoxStyle::OkOnly;
};

// The application's title and the default title of every message box.
std::string AppTitle();

// Shows a modal message box and returns the button pressed.
MsgBoxResult MsgBox(const std::string& text, MsgBoxStyle style = MsgBoxStyle::OkOnly,
                    const std::string& title = std::string());

// Tests answer message boxes through this hook instead of a modal window.
// An empty function restores the real boxes.
using MsgBoxHook = std::function<MsgBoxResult(const MsgBoxRequest&)>;
void SetMsgBoxHook(MsgBoxHook hook);

// Starting the updater's own program again with administrator rights, after the system asks
// the user's consent. Only Windows offers it.
struct RestartRequest {
  std::string program;  // the updater's executable, as the system spells its path
  std::string verb;     // "runas"
};
// True where a restart with administrator rights can be asked for (or a test's hook stands in).
bool CanRestartAsAdministrator();
// Starts the restart and returns "" once it is under way, else the system's reason (the user
// declining the consent prompt included).
std::string RestartAsAdministrator();

// Tests take the restart's request through this hook instead, which returns "" or a refusal's
// reason. An empty function restores the system.
using RestartHook = std::function<std::string(const RestartRequest&)>;
void SetRestartHook(RestartHook hook);
