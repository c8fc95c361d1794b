// The publisher's tool, run in-process: lists made from real folders and read back
// through the updater's own routines.
#include "Files.h"
#include "modules/modXml.h"
#include "platform/Crypto.h"
#include "publish/Publish.h"

#include <doctest/doctest.h>

#include <algorithm>
#include <filesystem>
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

// The files and the release notes of the list at path, read as the updater reads them.
std::pair<std::vector<ListedFile>, std::vector<std::string>> ReadList(const std::string& path)
{
  XmlDocumentPtr document;
  std::string reason;
  std::pair<std::vector<ListedFile>, std::vector<std::string>> list;
  if (LoadXml(path, document, &reason)) {
    const XmlNode files = RequireNode(*document, "Files"), updata = document->SelectSingleNode("Updata");
    for (int i = 0; i < files.ChildCount(); ++i)
      list.first.push_back(ReadListedFile(files.Child(i), i));
    for (int i = 0; i < updata.ChildCount(); ++i)
      list.second.push_back(updata.Child(i).Attribute("Info").value_or("absent"));
  }
  return list;
}
}  // namespace

// The list names every file of the release as it is ("\\" between folders), and the notes.
TEST_CASE("make lists the release")
{
  TempDir dir;
  const std::string release = dir.File("release"), a = Bytes(3000, 1);
  // In the list's order: by UTF-16 code units, as Windows compares names.
  const std::vector<std::pair<std::string, std::string>> files = {
      {"a&b'𝒳", "2"},
      {"a&b'ｅ", "1"},
      {"alias.dll", a},  // a link to sub/a.dll
      {"big.bin", Bytes(5 * 1024 * 1024, 3)},
      {"empty.txt", ""},
      {"mervo", "#!/bin/sh\n"},
      {"sub/UpdList.xml", "only the top folder's list is skipped"},
      {"sub/a.dll", a},
      {"sub/deeper/c.bin", Bytes(200000, 2)},
      {"数据 文件.txt", "<&\"数据\">"}};
  for (const auto& [name, data] : files)
    REQUIRE((name == "alias.dll" || WriteFile(release + '/' + name, data)));
  fs::create_symlink("sub/a.dll", release + "/alias.dll");
  REQUIRE(WriteFile(release + "/UpdList.xml.minisig", "stale"));
  REQUIRE(WriteFile(dir.File("notes"), "\xEF\xBB\xBF first & <second> \"q\"\r\n\r\n\ttab\there\n"));

  const Run run = Make(release, {"--notes", dir.File("notes")});
  CHECK(run.status == 0);
  CHECK(run.err == "");
  const auto [listed, notes] = ReadList(release + "/UpdList.xml");
  CHECK(notes == std::vector<std::string>{"first & <second> \"q\"", "tab\there"});
  REQUIRE(listed.size() == files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    std::string name = files[i].first;
    std::replace(name.begin(), name.end(), '/', '\\');
    CHECK(listed[i].name == name);
    CHECK(listed[i].size == std::int64_t(files[i].second.size()));
    CHECK(HexOf(listed[i].sha256) == Sha256Hex(files[i].second));
    CHECK(listed[i].ver == "1.1");
  }
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
  for (const ListedFile& file : ReadList(folder.File("UpdList.xml")).first)
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
