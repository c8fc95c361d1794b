// The settings reader, the same on every system; only the fallback decoding is the platform's.
#include "platform/Profile.h"

#include "platform/FileSys.h"
#include "platform/common/TextCodec.h"

#include <optional>
#include <string_view>

namespace {
// Far beyond any settings file; a larger one reads as missing.
constexpr std::int64_t MaxSettingsBytes = 64 * 1024 * 1024;

std::string DecodeSettings(std::string bytes)
{
  if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0)
    bytes.erase(0, 3);
  if (text_codec::IsUtf8(bytes))
    return bytes;
  // Written by the product on Windows in the Chinese ANSI code page.
  return text_codec::AnsiToUtf8(bytes);
}

// The length of the white space character that ends (atEnd) or starts text, 0 when none:
// ASCII blanks and the Unicode spaces, as the system's own trimming counts them.
size_t SpaceAt(std::string_view text, bool atEnd)
{
  static const std::string_view Spaces[] = {
      " ", "\t", "\n", "\v", "\f", "\r", "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\xA8",
      "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
  for (const std::string_view space : Spaces) {
    if (text.size() >= space.size()
        && text.substr(atEnd ? text.size() - space.size() : 0, space.size()) == space)
      return space.size();
  }
  // U+2000 to U+200A
  const size_t at = atEnd ? text.size() - 3 : 0;
  if (text.size() >= 3 && text.substr(at, 2) == "\xE2\x80" && static_cast<unsigned char>(text[at + 2]) <= 0x8A)
    return 3;
  return 0;
}

std::string_view Trimmed(std::string_view text)
{
  while (const size_t n = SpaceAt(text, false))
    text.remove_prefix(n);
  while (const size_t n = SpaceAt(text, true))
    text.remove_suffix(n);
  return text;
}

// Only ASCII letters fold, as in the Windows service's own comparison of names.
bool SameName(std::string_view a, std::string_view b)
{
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char x = a[i] >= 'A' && a[i] <= 'Z' ? char(a[i] | 0x20) : a[i];
    const char y = b[i] >= 'A' && b[i] <= 'Z' ? char(b[i] | 0x20) : b[i];
    if (x != y)
      return false;
  }
  return true;
}

// The value in text; nullopt when the section or the key is missing.
std::optional<std::string> ProfileString(std::string_view text, const std::string& section, const std::string& key)
{
  bool inSection = false;
  bool sectionSeen = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = Trimmed(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == ';')
      continue;
    if (line.front() == '[') {
      // Only the first section of that name counts.
      if (sectionSeen)
        break;
      const size_t close = line.find(']');
      inSection = SameName(Trimmed(line.substr(1, close == std::string_view::npos ? close : close - 1)), section);
      sectionSeen = inSection;
      continue;
    }
    const size_t equals = line.find('=');
    if (inSection && equals != std::string_view::npos && SameName(Trimmed(line.substr(0, equals)), key))
      return std::string(Trimmed(line.substr(equals + 1)));
  }
  return std::nullopt;
}
}  // namespace

namespace text_codec {
bool IsUtf8(const std::string& bytes)
{
  for (size_t i = 0; i < bytes.size();) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    const size_t length = c < 0x80 ? 1 : c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (length == 0 || i + length > bytes.size())
      return false;
    unsigned code = length == 1 ? c : c & (0x3F >> (length - 1));
    for (size_t k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80)
        return false;
      code = code << 6 | (next & 0x3F);
    }
    static const unsigned Smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < Smallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      return false;
    i += length;
  }
  return true;
}
}  // namespace text_codec

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& path)
{
  std::string bytes;
  if (!ReadSmallFile(path, MaxSettingsBytes, &bytes))
    return defaultValue;
  const std::string text = DecodeSettings(std::move(bytes));
  return ProfileString(text, section, key).value_or(defaultValue);
}
