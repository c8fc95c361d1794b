#pragma once
// Which file names from an update list may be written in the program folder, on every
// system: a list that installs on Linux must install on Windows too.
#include <string>

namespace engine {

// True when name (UTF-8, "\" or "/" between folders) stays inside the program folder and
// every system can hold it: not empty, relative, no drive letter, no "." or ".." segment,
// no control character, none of the characters Windows forbids (":" among them, which
// would name an alternate stream), no reserved device name (CON, PRN, AUX, NUL, COM1-9,
// LPT1-9, with or without an extension, any letter case), no empty segment, and no
// segment that ends in a dot or a space. Text that is not UTF-8 is refused.
bool IsSafeRelativeName(const std::string& name);

// True when text is well-formed UTF-8 (no overlong forms, surrogates or code points past Unicode).
bool IsUtf8(const std::string& text);

// name with "\" between folders and its letters in lower case: two names whose folded
// forms are equal name one file on Windows. Folds ASCII, Latin-1, Greek and Cyrillic
// capitals, the letters update lists are written in.
std::string FoldCase(const std::string& name);

}  // namespace engine
