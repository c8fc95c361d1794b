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

void PostToEventLoop(std::function<void()> task)
{
  // A queued call on the application object runs on its thread; posting is thread-safe.
  QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(task), Qt::QueuedConnection);
}

struct EventLoop::Impl {
  QCoreApplication app;
  Impl(int& argc, char** argv) : app(argc, argv) {}
};

EventLoop::EventLoop(int& argc, char** argv) : m(std::make_unique<Impl>(argc, argv)) {}

EventLoop::~EventLoop() = default;
