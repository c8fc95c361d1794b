#pragma once
// Which file names from an update list may be written in the program folder, on every
// system: a list that installs on Linux must install on Windows too.
#include <map>
#include <string>

namespace engine {

// True when name (UTF-8, "\" or "/" between folders) stays inside the program folder and
// every system can hold it: not empty, relative, no drive letter, no "." or ".." segment,
// no control character, none of the characters Windows forbids (":" among them, which
// would name an alternate stream), no reserved device name (CON, PRN, AUX, NUL, COM1-9,
// LPT1-9, also with "¹", "²" or "³" for the digit, with or without an extension, any
// letter case), no empty segment, and no segment that ends in a dot or a space. Text that
// is not UTF-8 is refused.
bool IsSafeRelativeName(const std::string& name);

// True when text is well-formed UTF-8 (no overlong forms, surrogates or code points past Unicode).
bool IsUtf8(const std::string& text);

// Finds names that Windows takes for one file: names that match, "\" and "/" alike, under
// Unicode's simple case folding or under its simple upper-casing.
class CaseClashes {
public:
  // The earlier name that name clashes with, or "" (the same name again is no clash).
  std::string Add(const std::string& name);

private:
  std::map<std::string, std::string> m_folded, m_upper;  // each form to the first name that had it
};

// True when name is, in any letter case, one of the updater's own files in the program folder
// (its list copy, state, journal, log and lock) or ends in ".tmp" or ".updbak~", the names it
// writes beside a file. No list may name such a file.
bool IsUpdaterFile(const std::string& name);

}  // namespace engine
