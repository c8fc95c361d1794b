#pragma once
// How the window runs its event handlers; included by the window's sources only.
#include "frmUpdate/frmUpdate.h"
#include "modules/modXml.h"
#include "platform/Runtime.h"

template <class Handler>
void frmUpdate::Handle(Handler&& handler)
{
  if (m_unloaded)
    return;
  try {
    handler();
  } catch (const RunEnded&) {
    // The window was unloaded while the handler waited: leave it alone.
  } catch (const ListFormatError& error) {
    if (!m_unloaded)
      MsgBox("更新列表格式错误：" + std::string(error.what()));
  }
}
