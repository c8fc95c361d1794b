// Where the window class gets its window: the system's, or the one a test's factory makes.
#include "platform/common/SystemBox.h"

namespace {
WindowFactory& Factory()
{
  static WindowFactory factory;
  return factory;
}
}  // namespace

void SetWindowFactory(WindowFactory factory)
{
  Factory() = std::move(factory);
}

std::unique_ptr<Window> NewWindow(const std::string& name)
{
  if (Factory())
    return Factory()(name);
  return NewSystemWindow(name);
}
