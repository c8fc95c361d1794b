// The publisher's tool: no window, only the command line.
#include "platform/Console.h"
#include "publish/Publish.h"

#include <iostream>

int main(int argc, char* argv[])
{
  return RunConsoleProgram(argc, argv, [](const std::vector<std::string>& arguments) {
    return RunPublish(arguments, std::cout, std::cerr);
  });
}
