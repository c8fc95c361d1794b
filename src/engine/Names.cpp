#include "engine/Names.h"

#include "engine/Journal.h"
#include "engine/Paths.h"

#include <algorithm>
#include <iterator>

namespace engine {
namespace {

// Decodes UTF-8 into code points; false on malformed or overlong text.
bool DecodeUtf8(const std::string& text, std::u32string* out)
{
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    int length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size())
      return false;
    char32_t c = length == 1 ? lead : lead & (0x7F >> length);
    for (int k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80)
        return false;
      c = (c << 6) | (next & 0x3F);
    }
    static const char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < smallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
      return false;
    out->push_back(c);
    i += length;
  }
  return true;
}

bool IsReservedDeviceName(std::u32string segment)
{
  // The device is named by what comes before the first dot, and spaces before it do not count.
  segment = segment.substr(0, segment.find(U'.'));
  while (!segment.empty() && segment.back() == U' ')
    segment.pop_back();
  std::string upper;
  for (const char32_t c : segment) {
    // Windows reads the superscript digits of Latin-1 as port numbers too.
    if (c == 0xB9 || c == 0xB2 || c == 0xB3)
      upper += c == 0xB9 ? '1' : c == 0xB2 ? '2' : '3';
    else if (c > 0x7F)
      return false;
    else
      upper += static_cast<char>(c >= U'a' && c <= U'z' ? c - 32 : c);
  }
  if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL")
    return true;
  return upper.size() == 4 && (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0) && upper[3] >= '1'
         && upper[3] <= '9';
}

struct CaseRun {
  char32_t first, last;
  unsigned char stride;
  int delta;
};

#include "engine/CaseTables.inc"

template <std::size_t N>
char32_t MapLetter(const CaseRun (&runs)[N], char32_t c)
{
  // The last run that starts at or before c.
  const CaseRun* run = std::upper_bound(std::begin(runs), std::end(runs), c,
                                        [](char32_t code, const CaseRun& r) { return code < r.first; });
  if (run == std::begin(runs))
    return c;
  --run;
  return c <= run->last && (c - run->first) % run->stride == 0 ? static_cast<char32_t>(c + run->delta) : c;
}

void AppendUtf8(char32_t c, std::string* out)
{
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (c >> 18));
    *out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// name with "\" between folders and each code point mapped through one of the tables.
template <std::size_t N>
std::string CaseForm(const std::string& name, const CaseRun (&runs)[N])
{
  std::u32string text;
  if (!DecodeUtf8(name, &text))
    return name;
  std::string form;
  for (const char32_t c : text)
    AppendUtf8(c == U'/' ? U'\\' : MapLetter(runs, c), &form);
  return form;
}

bool EndsWith(const std::string& text, const std::string& end)
{
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}
}  // namespace

bool IsSafeRelativeName(const std::string& name)
{
  std::u32string text;
  if (name.empty() || !DecodeUtf8(name, &text))
    return false;
  std::u32string segment;
  for (size_t i = 0; i <= text.size(); ++i) {
    const char32_t c = i < text.size() ? text[i] : U'\\';
    if (c == U'\\' || c == U'/') {
      // An empty segment also catches a leading separator (an absolute path).
      if (segment.empty() || segment == U"." || segment == U".." || segment.back() == U'.' || segment.back() == U' '
          || IsReservedDeviceName(segment))
        return false;
      segment.clear();
      continue;
    }
    // Control characters (C0, DEL, C1) and what Windows cannot hold in a name.
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F) || std::u32string(U"<>:\"|?*").find(c) != std::u32string::npos)
      return false;
    segment += c;
  }
  return true;
}

bool IsUtf8(const std::string& text)
{
  std::u32string decoded;
  return DecodeUtf8(text, &decoded);
}

std::string CaseClashes::Add(const std::string& name)
{
  for (auto [seen, form] : {std::make_pair(&m_folded, CaseForm(name, SimpleFolding)),
                            std::make_pair(&m_upper, CaseForm(name, SimpleUpper))}) {
    const std::string& first = seen->emplace(form, name).first->second;
    if (first != name)
      return first;
  }
  return std::string();
}

bool IsUpdaterFile(const std::string& name)
{
  static const std::string own[] = {"NewUpdList.xml",  JournalName(),       "MervoUpdate.state",
                                    "MervoUpdate.log", "MervoUpdate.log.1", "MervoUpdate.lock"};
  static const std::string suffixes[] = {TemporarySuffix, AsideSuffix};
  const auto matches = [&](const auto& runs) {
    const std::string form = CaseForm(name, runs);
    return std::any_of(std::begin(own), std::end(own), [&](const std::string& o) { return form == CaseForm(o, runs); })
           || std::any_of(std::begin(suffixes), std::end(suffixes),
                          [&](const std::string& s) { return EndsWith(form, CaseForm(s, runs)); });
  };
  return matches(SimpleFolding) || matches(SimpleUpper);
}

}  // namespace engine
