#pragma once
// Programs without a window (the publisher's tool): the event loop their waits need, and
// their command line in UTF-8.
#include <functional>
#include <string>
#include <vector>

// Sets up the event loop, then returns run's exit status; run gets the arguments, the program's
// name first, in UTF-8 whatever the system's own encoding of the command line.
int RunConsoleProgram(int argc, char* argv[], const std::function<int(const std::vector<std::string>&)>& run);
