#pragma once
// The product's settings file: where it is, and reading one value from it.
#include <string>

// Full path of the settings file; empty until SetIniFile.
extern std::string strIniFile;

// Remembers the settings file's path, without surrounding spaces.
void SetIniFile(const std::string& path);

// The value of key in section, without surrounding spaces, cut to its first 1023
// characters (a cut may end on spaces); "" when the file, the section or the key is missing.
std::string ReadIni(const std::string& section, const std::string& key);
