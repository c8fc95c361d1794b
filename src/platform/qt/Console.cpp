#include "platform/Console.h"

#include <QCoreApplication>

int RunConsoleProgram(int argc, char* argv[], const std::function<int(const std::vector<std::string>&)>& run)
{
  // The transfer control waits on Qt's event loop.
  QCoreApplication app(argc, argv);
  return run(std::vector<std::string>(argv, argv + argc));
}
