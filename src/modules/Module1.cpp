#include "modules/Module1.h"

#include "platform/Profile.h"

#include <algorithm>

std::string strIniFile;

namespace {
// Removes spaces (and only spaces) from both ends.
std::string TrimSpaces(const std::string& text)
{
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string::npos)
    return std::string();
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// The first count characters of UTF-8 text, never cutting one in two.
std::string LeftCharacters(const std::string& text, std::size_t count)
{
  std::size_t at = 0;
  for (; at < text.size() && count > 0; --count) {
    ++at;
    while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80)
      ++at;
  }
  return text.substr(0, at);
}
}  // namespace

void SetIniFile(const std::string& path)
{
  strIniFile = TrimSpaces(path);
}

std::string ReadIni(const std::string& section, const std::string& key)
{
  // The value lands in a 1024-character buffer of spaces, terminated by a NUL;
  // the buffer is trimmed and its NULs dropped.
  constexpr std::size_t BufferSize = 1024;
  const std::string value = GetPrivateProfileString(section, key, std::string(), strIniFile);
  std::string buffer = LeftCharacters(value, BufferSize - 1) + '\0';
  buffer += std::string(BufferSize, ' ');
  buffer = TrimSpaces(buffer);
  buffer.erase(std::remove(buffer.begin(), buffer.end(), '\0'), buffer.end());
  return buffer;
}
