#include "platform/qt/Runtime.h"

#include "platform/Log.h"

#include <QApplication>
#include <QMessageBox>

namespace {
MsgBoxHook& Hook()
{
  static MsgBoxHook hook;
  return hook;
}
}

QString AppTitle()
{
  return QStringLiteral("Mervo自动更新程序");
}

void SetMsgBoxHook(MsgBoxHook hook)
{
  Hook() = std::move(hook);
}

MsgBoxResult MsgBox(const QString& text, MsgBoxStyle style, const QString& title)
{
  const MsgBoxRequest request{text, title.isEmpty() ? AppTitle() : title, style};
  LogEvent((QStringLiteral("消息：") + text).toStdString());
  FlushLog();
  if (Hook())
    return Hook()(request);

  QMessageBox box(QApplication::activeWindow());
  box.setWindowTitle(request.title);
  // Texts carry what servers and lists say: shown as they are, never rendered as markup.
  box.setTextFormat(Qt::PlainText);
  box.setText(text);
  switch (style) {
  case MsgBoxStyle::OkOnly:
    box.setStandardButtons(QMessageBox::Ok);
    break;
  case MsgBoxStyle::OkInformation:
    box.setIcon(QMessageBox::Information);
    box.setStandardButtons(QMessageBox::Ok);
    break;
  case MsgBoxStyle::YesNoQuestion:
    box.setIcon(QMessageBox::Question);
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::No);
    break;
  }
  const int pressed = box.exec();
  if (style != MsgBoxStyle::YesNoQuestion)
    return MsgBoxResult::Ok;
  return pressed == QMessageBox::Yes ? MsgBoxResult::Yes : MsgBoxResult::No;
}
