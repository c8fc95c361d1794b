#include "platform/Runtime.h"

#include "platform/Log.h"

#include <QApplication>
#include <QMessageBox>

namespace {
MsgBoxHook& Hook()
{
  static MsgBoxHook hook;
  return hook;
}

int ShowBox(const MsgBoxRequest& request)
{
  QMessageBox box(QApplication::activeWindow());
  box.setWindowTitle(QString::fromStdString(request.title));
  // Texts carry what servers and lists say: shown as they are, never rendered as markup.
  box.setTextFormat(Qt::PlainText);
  box.setText(QString::fromStdString(request.text));
  switch (request.style) {
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
  return box.exec();
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
  const int pressed = ShowBox(request);
  if (style != MsgBoxStyle::YesNoQuestion)
    return MsgBoxResult::Ok;
  return pressed == QMessageBox::Yes ? MsgBoxResult::Yes : MsgBoxResult::No;
}
