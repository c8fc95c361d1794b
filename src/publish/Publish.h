#pragma once
// The publisher's tool: "make" writes the update list of a release folder,
// "check" compares what a server delivers with its list.
#include <iosfwd>
#include <string>
#include <vector>

// Runs the tool on arguments (the program's name first, as a process receives them).
// Output meant for scripts goes to out, progress and errors to err. Returns the exit
// status: 0 on success, 1 when refused or on any difference, 2 on a command-line error.
int RunPublish(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);
