// The publisher's tool, run in-process: lists made from real folders and read back
// through the updater's own routines, and checked against a server in the same process.
#include "Files.h"
#include "Server.h"
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

bool Has(const std::string& text, const std::string& part)
{
  return text.find(part) != std::string::npos;
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
#ifdef _WIN32
  REQUIRE(WriteFile(release + "/alias.dll", a));  // links need rights on Windows, and wine makes none
#else
  fs::create_symlink("sub/a.dll", release + "/alias.dll");
#endif
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
  const Row rows[] = {
      {"MervoUpdate.state", "", "mervo", "MervoUpdate.state"},
      {"lib.so", "", "mervo.exe", "mervo.exe"},  // the main program not in the release
#ifndef _WIN32
      // Windows names hold no control characters, links need rights, and "MERVO" is "mervo".
      {"sub/bad\x01name", "", "mervo", "sub/bad<U+0001>name"},
      {"out.dll", dir.File("outside.txt"), "mervo", "out.dll"},
      {"MERVO", "", "mervo", "\"MERVO\" and \"mervo\""},
#endif
  };
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

// A file changed on the server, a list changed after signing, a signature missing.
TEST_CASE("check finds a changed file, a changed list and a missing signature" * doctest::test_suite("minisign"))
{
  TempDir dir;
  const std::string release = dir.File("release");
  std::string big = Bytes(200000, 2);
  Server server;
  // Served percent-encoded per segment, as a browser would.
  using File = std::tuple<std::string, std::string, std::string>;  // name, as requested, data
  for (const auto& [name, served, data] : {File{"mervo", "mervo", "#!/bin/sh\n"}, File{"sub/c.bin", "sub/c.bin", big},
                                           File{"数据 文件.txt", "%E6%95%B0%E6%8D%AE%20%E6%96%87%E4%BB%B6.txt", "<&\"数据\">"},
                                           File{"empty.txt", "empty.txt", ""}}) {
    REQUIRE(WriteFile(release + '/' + name, data));
    server.File(served, data);
  }
  REQUIRE(Make(release).status == 0);
  REQUIRE_MESSAGE(RunMinisign(dir.Path(), {"-G", "-W", "-p", "a.pub", "-s", "a.sec"}), "minisign is needed");
  REQUIRE(RunMinisign(dir.Path(), {"-S", "-s", "a.sec", "-m", release + "/UpdList.xml"}));
  const std::string list = ReadFile(release + "/UpdList.xml");
  server.File("UpdList.xml", list);
  server.File("UpdList.xml.minisig", ReadFile(release + "/UpdList.xml.minisig"));
  const std::vector<std::string> signedCheck{"check", "--public-key", dir.File("a.pub"), server.BaseUrl()};
  for (const auto& arguments : {std::vector<std::string>{"check", server.BaseUrl()}, signedCheck}) {
    const Run clean = Publish(arguments);
    CHECK_MESSAGE((clean.status == 0 && Has(clean.out, "4 files, 0 problems\n") && clean.err.empty()),
                  (clean.out + clean.err));
  }
  // The byte changed lies in the last piece the server sends.
  big.back() = char(big.back() ^ 1);
  server.File("sub/c.bin", big);
  Run changed = Publish({"check", server.BaseUrl()});
  CHECK_MESSAGE((changed.status == 1 && Has(changed.out, "MISMATCH sub\\c.bin: sha256 differs\n")), changed.out);
  std::string relisted = list;
  relisted.replace(relisted.find("<Version>1.1<"), 13, "<Version>1.2<");
  server.File("UpdList.xml", relisted);
  changed = Publish(signedCheck);
  CHECK_MESSAGE((changed.status == 1 && Has(changed.err, "UpdList.xml.minisig: the signature does not verify")),
                changed.err);
  // The list as signed, with no signature beside it.
  server.File("UpdList.xml", list);
  server.Route("/mrvo/UpdList.xml.minisig", Reply::Status(404, "Not Found"));
  changed = Publish(signedCheck);
  CHECK_MESSAGE((changed.status == 1 && Has(changed.err, "UpdList.xml.minisig")), changed.err);
}
