// The publisher's tool: no window, only the command line.
#include "publish/Publish.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

int main(int argc, char* argv[])
{
  QCoreApplication app(argc, argv);
  QTextStream out(stdout);
  QTextStream err(stderr);
  return RunPublish(QCoreApplication::arguments(), out, err);
}
