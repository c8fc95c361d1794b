#pragma once
// The window-system services the updater relies on: modal message boxes, and (through
// Events.h) event processing from inside a handler and the signal that a run has ended.
#include "platform/Events.h"

#include <QString>
#include <functional>

class QWidget;

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
