// Settings, size, name and address routines, without a network.
#include "Files.h"
#include "engine/Names.h"
#include "modules/Module1.h"
#include "modules/modPublic.h"

#include <doctest/doctest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

TEST_CASE("ReadIni")
{
  const std::string utf8 = "[Mervo]\n版本=2.0\n";
  // what, the file ("-": none), section, key, the value read
  const std::tuple<const char*, std::string, const char*, const char*, std::string> rows[] = {
      {"no file", "-", "a", "k", ""},
      {"ascii case", "[MeRVO]\nVersion=1.2\n", "mervo", "VERSION", "1.2"},
      {"first section wins", "[a]\nj=1\n[A]\nk=2\n", "A", "k", ""},
      {"first key wins", "[a]\nK=1\nk=2\n", "a", "k", "1"},
      {"spaces", "  [ a ]\n\t  k  =   v w  \r\n", "a", "k", "v w"},
      {"cut to 1023 characters", "[a]\nk=" + std::string(1020, 'x') + "版本版本", "a", "k",
       std::string(1020, 'x') + "版本版"},
      {"utf-8", utf8, "Mervo", "版本", "2.0"},
      {"utf-8 bom", "\xEF\xBB\xBF" + utf8, "mervo", "版本", "2.0"},
      {"gb18030", "[Mervo]\n\xC3\xFB\xB3\xC6=\xD6\xD0\xCE\xC4\n\xB0\xE6\xB1\xBE=3.1\n", "Mervo", "版本", "3.1"},
  };
  for (const auto& [what, file, section, key, expected] : rows) {
    CAPTURE(what);
    TempDir dir;
    if (file != "-")
      REQUIRE(WriteFile(dir.File("Mervo.ini"), file));
    SetIniFile("  " + dir.File("Mervo.ini") + "  ");
    CHECK(ReadIni(section, key) == expected);
  }
}

TEST_CASE("sizes and percentages")
{
  // Halves round up here, unlike the progress bar.
  const std::pair<std::int64_t, const char*> sizes[] = {
      {511, "0KB"},        {1536, "2KB"},       {2560, "3KB"},       {1048575, "1024KB"},
      {1048576, "1.00MB"}, {1179648, "1.13MB"}, {2097151, "2.00MB"}, {5368709120LL + 524288, "5120.50MB"}};
  for (const auto& [bytes, text] : sizes)
    CHECK(FormatFileSize(bytes) == text);
  const std::pair<const char*, std::int64_t> lengths[] = {
      {"3000000000", 3000000000LL}, {"abc", 0}, {"99999999999999999999999999", 0}};
  for (const auto& [value, length] : lengths)
    CHECK(ContentLengthOf(value) == length);
  // 23/40 and 109/200 are exact ties that a floating-point quotient misses.
  const std::int64_t percents[][3] = {
      {23, 40, 58}, {109, 200, 54}, {4000, 3000, 100}, {6442450944LL, 8589934592LL, 75}};
  for (const auto& row : percents)
    CHECK(ProgressPercent(row[0], row[1]) == row[2]);
}

TEST_CASE("safe names")
{
  for (const char* good : {"中文 名#%.txt", "a..b.txt", "..a", "CONSOLE.txt", "sub\\com10", "COM⁴", "MervoUpdate.exe",
                           "sub\\MervoUpdate.log"})
    CHECK_MESSAGE(IsSafeRelativeName(good), good);
  for (const char* bad :
       {"", "\\a", "/a", "c:a", "sub\\..\\..\\a", "a/../b", "a\\..", "a\nb", "a\u0085b", "a.txt:stream", "CON",
        "sub\\nul.txt", "Lpt9 .log", "dir.\\a", "a \\b", "a.", "a*.txt", "a\\\\b", "com9.txt", "COM¹", "lpt³.log",
        // the updater's own files
        "newupdlist.XML", "MervoUpdate.ſtate", "MERVOUPDATE.JOURNAL", "MervoUpdate.log", "MervoUpdate.log.1",
        "MervoUpdate.lock", "sub\\a.dll.TMP", "a.Updbak~"})
    CHECK_MESSAGE(!IsSafeRelativeName(bad), bad);
}

// Windows takes two names for one file when they match under simple case folding or under upper-casing.
TEST_CASE("case clashes")
{
  using Pairs = std::vector<std::pair<const char*, const char*>>;
  const Pairs clashing = {
      {"sub/A.DLL", "Sub\\a.dll"}, {"Ā.dll", "ā.dll"},      {"Ａ.dll", "ａ.dll"}, {"Ÿ.dll", "ÿ.dll"},
      {"ı.dll", "I.dll"},          {"\u212A.dll", "k.dll"}, {"ẞ", "ß"},           {"𐐀", "𐐨"}};
  const Pairs distinct = {{"a.dll", "a.dll"}, {"ß", "ss"}, {"a.dll", "b.dll"}};
  for (const bool clash : {true, false})
    for (const auto& [first, second] : clash ? clashing : distinct) {
      CAPTURE(second);
      engine::CaseClashes names;
      CHECK(names.Add(first).empty());
      CHECK(names.Add(second) == (clash ? first : ""));
    }
}

TEST_CASE("addresses")
{
  const std::string base = "http://127.0.0.1:8080/mrvo/";
  CHECK(FileUrl(base, "子\\中 a#b%c?.txt") == base + "%E5%AD%90/%E4%B8%AD%20a%23b%25c%3F.txt");
  CHECK(IsValidUpdateUrl("https://update.example.com/mrvo/"));
  for (const char* bad : {"ftp://127.0.0.1/mrvo/", "", "http:///mrvo/", "not a url/"})
    CHECK_MESSAGE(!IsValidUpdateUrl(bad), bad);
}
