// The main of every doctest program: the tests run on an event loop, as the updater's waits do.
#define DOCTEST_CONFIG_IMPLEMENT
#include "platform/Events.h"

#include <doctest/doctest.h>

int main(int argc, char** argv)
{
  EventLoop loop(argc, argv);
  return doctest::Context(argc, argv).run();
}
