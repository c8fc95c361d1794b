#pragma once
// How the window runs its event handlers; included by the window's sources only.
#include "frmUpdate/frmUpdate.h"
#include "modules/modXml.h"
#include "platform/Runtime.h"

// Until the platform's services and the routines take std::string, the window converts
// at its calls into them, here and only here.
#include <QByteArray>
#include <QString>
#include <QStringList>

inline QString ToQ(const std::string& text)
{
  return QString::fromStdString(text);
}
inline std::string FromQ(const QString& text)
{
  return text.toStdString();
}
inline QByteArray ToBytes(const std::string& bytes)
{
  return QByteArray::fromStdString(bytes);
}
inline std::string FromBytes(const QByteArray& bytes)
{
  return bytes.toStdString();
}

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
