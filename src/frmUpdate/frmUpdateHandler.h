#pragma once
// How the window runs its event handlers; included by the window's sources only.
#include "frmUpdate/frmUpdate.h"
#include "modules/modXml.h"
#include "platform/FileSys.h"
#include "platform/qt/Runtime.h"

#include <string>

// The platform and the routines speak UTF-8 std::string; the widgets speak QString.
inline QString QText(const std::string& text) { return QString::fromStdString(text); }
inline std::string StdText(const QString& text) { return text.toStdString(); }
inline QByteArray QBytes(const std::string& bytes) { return QByteArray::fromStdString(bytes); }
// The program folder, and a path as the system spells it, for the window's texts.
inline QString AppFolder() { return QText(AppPath()); }
inline QString ShownPath(const QString& path) { return QText(NativePath(StdText(path))); }

template <class Handler> void frmUpdate::Handle(Handler&& handler)
{
  if (m_unloaded)
    return;
  try {
    handler();
  } catch (const RunEnded&) {
    // The window was unloaded while the handler waited: leave it alone.
  } catch (const ListFormatError& error) {
    if (!m_unloaded)
      MsgBox(QStringLiteral("更新列表格式错误：") + QText(error.Description()));
  }
}
