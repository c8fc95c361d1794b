// The main of the tests that run the window over scripted controls.
#define DOCTEST_CONFIG_IMPLEMENT
#include "Scripted.h"
#include "platform/Events.h"

#include <doctest/doctest.h>

int main(int argc, char** argv)
{
  EventLoop loop(argc, argv);
  ScriptedWindows windows;
  return doctest::Context(argc, argv).run();
}
