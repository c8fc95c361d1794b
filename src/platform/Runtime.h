#pragma once
// The window-system services the updater relies on: modal message boxes,
// event processing from inside a handler, and the signal that a run has ended.
#include <QString>
#include <functional>

class QWidget;

// Thrown by every wait once the window has been unloaded, so that a handler
// blocked in a network wait unwinds without touching the window again.
// Deliberately not a std::exception: routines that catch their own errors must let it pass.
struct RunEnded {};

enum class MsgBoxStyle {
  OkOnly,            // OK, no icon
  OkInformation,     // OK with the information icon
  YesNoQuestion      // Yes and No, question icon, No as the default
};

enum class MsgBoxResult { Ok, Yes, No };

struct MsgBoxRequest {
  QString text;
  QString title;     // empty: the application's title
  MsgBoxStyle style = MsgBoxStyle::OkOnly;
};

// The application's title and the default title of every message box.
QString AppTitle();

// Shows a modal message box and returns the button pressed.
MsgBoxResult MsgBox(const QString& text, MsgBoxStyle style = MsgBoxStyle::OkOnly,
                    const QString& title = QString());

// Tests answer message boxes through this hook instead of a modal window.
// An empty function restores the real boxes.
using MsgBoxHook = std::function<MsgBoxResult(const MsgBoxRequest&)>;
void SetMsgBoxHook(MsgBoxHook hook);

// Processes the events that are pending now and returns at once.
void DoEvents();

// Blocks until at least one event arrives, then processes what is pending.
// Waits are built on this, so they cost no CPU while nothing happens.
void WaitForEvents();
