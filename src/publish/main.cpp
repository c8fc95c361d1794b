// The publisher's tool: no window, only the command line.
#include "publish/Publish.h"

#include <QCoreApplication>

#include <iostream>

int main(int argc, char* argv[])
{
  // The transfer control waits on Qt's event loop.
  QCoreApplication app(argc, argv);
  return RunPublish(std::vector<std::string>(argv, argv + argc), std::cout, std::cerr);
}
