#pragma once
// Reads one value from a Windows-style INI file, the way the product's own
// settings service does: names matched without regard to ASCII case, the first
// matching section and key win, white space around the value removed.
#include <string>

// The value of key in section of the file at path, or defaultValue when the file,
// the section or the key is missing. The file may be UTF-8 (with or without a
// byte-order mark) or, failing that, GB18030; the value comes back in UTF-8.
std::string GetPrivateProfileString(const std::string& section, const std::string& key, const std::string& defaultValue,
                                    const std::string& path);
