#include "publish/Text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace {
constexpr char32_t Replacement = 0xFFFD;

bool IsContinuation(unsigned char byte)
{
  return (byte & 0xC0) == 0x80;
}

bool IsSpace(char32_t c)
{
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A)
         || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// The code point's place in UTF-16 order: surrogate pairs (past U+FFFF) sort before U+E000.
char32_t Utf16Rank(char32_t c)
{
  return c >= 0xE000 && c <= 0xFFFF ? c + 0x110000 : c;
}

void AppendUtf8(std::string& text, char32_t c)
{
  if (c < 0x80) {
    text += char(c);
  } else if (c < 0x800) {
    text += char(0xC0 | (c >> 6));
    text += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    text += char(0xE0 | (c >> 12));
    text += char(0x80 | ((c >> 6) & 0x3F));
    text += char(0x80 | (c & 0x3F));
  } else {
    text += char(0xF0 | (c >> 18));
    text += char(0x80 | ((c >> 12) & 0x3F));
    text += char(0x80 | ((c >> 6) & 0x3F));
    text += char(0x80 | (c & 0x3F));
  }
}
}  // namespace

char32_t NextCodePoint(const std::string& text, std::size_t* pos)
{
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(*pos);
  const int length = lead < 0x80                    ? 1
                     : lead >= 0xC2 && lead <= 0xDF ? 2
                     : lead >= 0xE0 && lead <= 0xEF ? 3
                     : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                    : 0;
  if (length == 0 || *pos + length > text.size()) {
    ++*pos;
    return Replacement;
  }
  char32_t c = length == 1 ? lead : lead & (0x7F >> length);
  for (int i = 1; i < length; ++i) {
    if (!IsContinuation(byte(*pos + i))) {
      ++*pos;
      return Replacement;
    }
    c = (c << 6) | (byte(*pos + i) & 0x3F);
  }
  // Overlong forms, surrogates and code points past Unicode are not UTF-8.
  const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < least[length] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
    ++*pos;
    return Replacement;
  }
  *pos += length;
  return c;
}

std::string VisibleText(const std::string& text)
{
  std::string shown;
  for (std::size_t pos = 0; pos < text.size();) {
    const char32_t c = NextCodePoint(text, &pos);
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
      char code[16];
      std::snprintf(code, sizeof code, "<U+%04x>", unsigned(c));
      shown += code;
    } else {
      AppendUtf8(shown, c);
    }
  }
  return shown;
}

std::string TrimmedUnicode(const std::string& text)
{
  std::size_t begin = text.size();
  std::size_t end = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t start = pos;
    if (!IsSpace(NextCodePoint(text, &pos))) {
      begin = std::min(begin, start);
      end = pos;
    }
  }
  return begin < end ? text.substr(begin, end - begin) : std::string();
}

bool Utf16Less(const std::string& a, const std::string& b)
{
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    const char32_t x = Utf16Rank(NextCodePoint(a, &i));
    const char32_t y = Utf16Rank(NextCodePoint(b, &j));
    if (x != y)
      return x < y;
  }
  return i == a.size() && j < b.size();
}

std::string ReadFileStart(const std::string& path, std::size_t maxBytes, std::string* data)
{
  std::error_code error;
  const std::filesystem::path native = std::filesystem::u8path(path);
  if (std::filesystem::is_directory(native, error))
    return "file to open is a directory";
#ifdef _WIN32
  // The narrow call would read the name in the ANSI code page.
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(_wfopen(native.c_str(), L"rb"), std::fclose);
#else
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
#endif
  if (!file)
    return std::strerror(errno);
  data->clear();
  char block[64 * 1024];
  while (data->size() < maxBytes) {
    const std::size_t got = std::fread(block, 1, std::min(sizeof block, maxBytes - data->size()), file.get());
    data->append(block, got);
    if (got == 0)
      break;
  }
  if (std::ferror(file.get()))
    return std::strerror(errno);
  return std::string();
}
