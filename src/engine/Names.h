#pragma once
// Which file names from an update list may be written in the program folder, on every
// system: a list that installs on Linux must install on Windows too.
#include <string>
#include <vector>

namespace engine {

// True when name (UTF-8, "\" or "/" between folders) stays inside the program folder and
// every system can hold it: not empty, relative, no drive letter, no "." or ".." segment,
// no control character, no ":" (alternate streams), no reserved device name (CON, PRN,
// AUX, NUL, COM1-9, LPT1-9, with or without an extension, any letter case), and no
// segment that ends in a dot or a space.
bool IsSafeRelativeName(const std::string& name);

// The first name of names that differs from an earlier one only in letter case (ASCII
// and the rest of Unicode's simple case folding as far as the system offers it), or ""
// when there is none. The same name twice is not a clash.
std::string FindCaseClash(const std::vector<std::string>& names);

}  // namespace engine
