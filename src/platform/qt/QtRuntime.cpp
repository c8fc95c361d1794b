#include "platform/common/SystemBox.h"

#include <QApplication>
#include <QMessageBox>

#include <cerrno>
#include <cstring>

MsgBoxResult ShowSystemBox(const MsgBoxRequest& request)
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
  const int pressed = box.exec();
  if (request.style != MsgBoxStyle::YesNoQuestion)
    return MsgBoxResult::Ok;
  return pressed == QMessageBox::Yes ? MsgBoxResult::Yes : MsgBoxResult::No;
}

// Linux has no consent prompt that raises a program's rights: a restart is never offered.
bool SystemCanElevate()
{
  return false;
}

RestartRequest ElevationRequest()
{
  return {QCoreApplication::applicationFilePath().toStdString(), "runas"};
}

std::string StartElevated(const RestartRequest&)
{
  return std::strerror(ENOTSUP);
}
