#include "platform/Events.h"

#include <QCoreApplication>

void DoEvents()
{
  QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void WaitForEvents()
{
  QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}
