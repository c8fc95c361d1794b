// The publisher's tool, run in-process: lists made from real folders and read back
// through the updater's own routines.
#include "Files.h"
#include "modules/modXml.h"
#include "platform/Crypto.h"
#include "publish/Publish.h"

#include <doctest/doctest.h>

#include <algorithm>
#include <codecvt>
#include <filesystem>
#include <locale>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace {
struct Run {
  int status;
  std::string out, err;
};

Run Publish(std::vector<std::string> arguments)
{
  arguments.insert(arguments.begin(), "MervoPublish");
  std::ostringstream out, err;
  const int status = RunPublish(arguments, out, err);
  return {status, out.str(), err.str()};
}

Run Make(const std::string& folder, std::vector<std::string> extra = {})
{
  extra.insert(extra.begin(), {"make", "--version", "1.1", "--run-app", "mervo"});
  extra.push_back(folder);
  return Publish(extra);
}

// The files of the list at path, read as the updater reads them.
std::vector<ListedFile> ListedFiles(const std::string& path)
{
  XmlDocumentPtr document;
  std::vector<ListedFile> files;
  std::string reason;
  if (LoadXml(path, document, &reason)) {
    const XmlNode node = RequireNode(*document, "Files");
    for (int i = 0; i < node.ChildCount(); ++i)
      files.push_back(ReadListedFile(node.Child(i), i));
  }
  return files;
}

// The release notes of the list at path, read as the updater reads them.
std::vector<std::string> Notes(const std::string& path)
{
  XmlDocumentPtr document;
  std::string reason;
  std::vector<std::string> notes;
  if (LoadXml(path, document, &reason)) {
    const XmlNode updata = document->SelectSingleNode("Updata");
    for (int i = 0; i < updata.ChildCount(); ++i)
      notes.push_back(updata.Child(i).Attribute("Info").value_or("absent"));
  }
  return notes;
}

// Names in the list's order: by UTF-16 code units, as Windows compares them.
bool Utf16Less(const std::string& a, const std::string& b)
{
  std::wstring_convert<std::codecvt_utf8_utf16<char16_t>, char16_t> utf16;
  return utf16.from_bytes(a) < utf16.from_bytes(b);
}
}  // namespace

// The list names every file of the release as it is ("\" between folders), and the notes.
TEST_CASE("make lists the release")
{
  TempDir dir;
  const std::string release = dir.File("release");
  std::map<std::string, std::string> files = {{"mervo", "#!/bin/sh\n"},
                                              {"sub/a.dll", Bytes(3000, 1)},
                                              {"sub/deeper/c.bin", Bytes(200000, 2)},
                                              {"数据 文件.txt", "<&\"数据\">"},
                                              {"empty.txt", ""},
                                              {"big.bin", Bytes(5 * 1024 * 1024, 3)},
                                              {"sub/UpdList.xml", "only the top folder's list is skipped"},
                                              {"a&b'ｅ", "1"},
                                              {"a&b'𝒳", "2"}};
  for (const auto& [name, data] : files)
    REQUIRE(WriteFile(release + '/' + name, data));
  REQUIRE(WriteFile(release + "/UpdList.xml.minisig", "stale"));
  fs::create_symlink("sub/a.dll", release + "/alias.dll");
  files["alias.dll"] = files["sub/a.dll"];
  REQUIRE(WriteFile(dir.File("notes"), "\xEF\xBB\xBF first & <second> \"q\"\r\n\r\n\ttab\there\n"));

  const Run run = Make(release, {"--notes", dir.File("notes")});
  CHECK(run.status == 0);
  CHECK(run.err == "");
  CHECK(Notes(release + "/UpdList.xml") == std::vector<std::string>{"first & <second> \"q\"", "tab\there"});
  std::vector<std::string> names, expected;
  for (const ListedFile& file : ListedFiles(release + "/UpdList.xml")) {
    std::string name = file.name;
    std::replace(name.begin(), name.end(), '\\', '/');
    CAPTURE(name);
    const std::string data = files.count(name) ? files[name] : "absent";
    CHECK(file.size == std::int64_t(data.size()));
    CHECK(HexOf(file.sha256) == Sha256Hex(data));
    CHECK(file.ver == "1.1");
    names.push_back(file.name);
  }
  for (const auto& file : files) {
    expected.push_back(file.first);
    std::replace(expected.back().begin(), expected.back().end(), '/', '\\');
  }
  std::sort(expected.begin(), expected.end(), Utf16Less);
  CHECK(names == expected);
}

TEST_CASE("make refuses a release it cannot list")
{
  TempDir dir;
  REQUIRE(WriteFile(dir.File("outside.txt"), "not part of any release"));
  struct Row {
    std::string entry;   // added to a release holding only "mervo"
    std::string linkTo;  // empty: entry is a file
    const char* runApp;
    std::string named;  // what the message must name
  };
  const Row rows[] = {{"sub/bad\x01name", "", "mervo", "sub/bad<U+0001>name"},
                      {"out.dll", dir.File("outside.txt"), "mervo", "out.dll"},
                      {"MervoUpdate.state", "", "mervo", "MervoUpdate.state"},
                      {"MERVO", "", "mervo", "\"MERVO\" and \"mervo\""},
                      {"lib.so", "", "mervo.exe", "mervo.exe"}};  // the main program not in the release
  for (const Row& row : rows) {
    CAPTURE(row.named);
    TempDir folder;
    REQUIRE(WriteFile(folder.File("mervo"), "x"));
    if (row.linkTo.empty())
      REQUIRE(WriteFile(folder.File(row.entry), "x"));
    else
      fs::create_symlink(row.linkTo, folder.File(row.entry));
    const Run run = Publish({"make", "--version", "2", "--run-app", row.runApp, folder.Path()});
    CHECK(run.status == 1);
    CHECK(run.err.find(row.named) != std::string::npos);
    CHECK(std::count(run.err.begin(), run.err.end(), '\n') == 1);
    CHECK(run.out == "");
    CHECK_FALSE(fs::exists(folder.File("UpdList.xml")));
  }
}

TEST_CASE("make with a previous list keeps the versions of unchanged files")
{
  TempDir folder, dir;
  for (const char* name : {"mervo", "same.dll", "changed.dll"})
    REQUIRE(WriteFile(folder.File(name), name));
  REQUIRE(Publish({"make", "--version", "1.0", "--run-app", "mervo", folder.Path()}).status == 0);
  fs::rename(folder.File("UpdList.xml"), dir.File("old.xml"));
  REQUIRE(WriteFile(folder.File("changed.dll"), "changed now"));
  REQUIRE(WriteFile(folder.File("new.dll"), "same.dll"));  // bytes of a listed file under a new name
  REQUIRE(Make(folder.Path(), {"--previous", dir.File("old.xml")}).status == 0);
  std::map<std::string, std::string> versions;
  for (const ListedFile& file : ListedFiles(folder.File("UpdList.xml")))
    versions[file.name] = file.ver;
  CHECK(versions
        == std::map<std::string, std::string>{
            {"mervo", "1.0"}, {"same.dll", "1.0"}, {"changed.dll", "1.1"}, {"new.dll", "1.1"}});
}

TEST_CASE("command line")
{
  TempDir release;
  REQUIRE(WriteFile(release.File("mervo"), "x"));
  struct Row {
    std::vector<std::string> arguments;
    int status;
    std::string shown;  // on out for status 0, else on err; the other stays empty
  };
  const Row rows[] = {
      {{"--help"}, 0, "Usage: MervoPublish make"},
      {{"publish", "x"}, 2, "\"publish\""},
      {{"make", "--version=1", "--run-app=mervo", "--expires-days=+30", "--", release.Path()}, 0, " expires:"},
      {{"make", "--version", "1", release.Path(), "--run-app"}, 2, "'--run-app'"},
      {{"check", "-hx", "--bogus=1", "http://h/"}, 2, "x, bogus"},
      {{"make", "--version", "1", "--run-app", "mervo", "--expires-days", "36501", release.Path()},
       2,
       "--expires-days"}};
  for (const Row& row : rows) {
    CAPTURE(row.arguments.front());
    CAPTURE(row.shown);
    const Run run = Publish(row.arguments);
    CHECK(run.status == row.status);
    CHECK((row.status == 0 ? run.out : run.err).find(row.shown) != std::string::npos);
    CHECK((row.status == 0 ? run.err : run.out) == "");
  }
}
