// The publisher's tool, run in-process: lists made from real folders and read back
// through the updater's own routines, and checked against a server in the same process.
#include "Files.h"
#include "Server.h"
#include "modules/modPublic.h"
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

Run Make(const std::string& folder, Strings extra = {}, const std::string& version = "1.1")
{
  extra.insert(extra.begin(), {"make", "--version", version, "--run-app", "mervo"});
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

// The list names every file of the release as it is ("\\" between folders), and the notes; made
// again over the first list, it keeps the version of each file whose bytes did not change.
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
  CHECK((run.status == 0 && run.err.empty()));
  const auto [listed, notes] = ReadList(release + "/UpdList.xml");
  CHECK(notes == std::vector<std::string>{"first & <second> \"q\"", "tab\there"});
  REQUIRE(listed.size() == files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    std::string name = files[i].first;
    std::replace(name.begin(), name.end(), '/', '\\');
    CHECK(listed[i].name == name);
    CHECK(listed[i].size == std::int64_t(files[i].second.size()));
    CHECK(HexOf(listed[i].sha256) == Sha256Hex(files[i].second));
  }
  fs::rename(release + "/UpdList.xml", dir.File("old.xml"));
  REQUIRE(WriteFile(release + "/empty.txt", "changed"));
  REQUIRE(WriteFile(release + "/new.txt", "2"));  // the bytes of a listed file under a new name
  REQUIRE(Make(release, {"--previous", dir.File("old.xml")}, "2").status == 0);
  for (const ListedFile& file : ReadList(release + "/UpdList.xml").first)
    CHECK_MESSAGE(file.ver == (file.name == "empty.txt" || file.name == "new.txt" ? "2" : "1.1"), file.name);
}

// Each command line's exit status, and what it shows: on out when it succeeds, else one line on
// err; the other stream stays empty, and a release refused gets no list.
TEST_CASE("command line, and releases make refuses")
{
  TempDir dir;
  REQUIRE(WriteFile(dir.File("outside.txt"), "not part of any release"));
  int made = 0;
  // A release of "mervo" and entry (a link to linkTo when given), made with the main program runApp.
  const auto make = [&](const std::string& entry, const std::string& linkTo = "", const char* runApp = "mervo") {
    const std::string folder = dir.File("release" + std::to_string(++made));
    REQUIRE(WriteFile(folder + "/mervo", "x"));
    if (!linkTo.empty())
      fs::create_symlink(linkTo, folder + '/' + entry);
    else if (!entry.empty())
      REQUIRE(WriteFile(folder + '/' + entry, "x"));
    return Strings{"make", "--version", "2", "--run-app", runApp, folder};
  };
  const std::string release = make("").back();
  const std::tuple<Strings, int, std::string> rows[] = {
      {{"--help"}, 0, "Usage: MervoPublish make"},
      {{"publish", "x"}, 2, "\"publish\""},
      {{"make", "--version=1", "--run-app=mervo", "--expires-days=+30", "--", release}, 0, " expires:"},
      {{"make", "--version", "1", release, "--run-app"}, 2, "'--run-app'"},
      {{"check", "-hx", "--bogus=1", "http://h/"}, 2, "x, bogus"},
      {{"make", "--version", "1", "--run-app", "mervo", "--expires-days=36501", release}, 2, "--expires-days"},
      {make("MervoUpdate.state"), 1, "MervoUpdate.state"},
      {make("lib.so", "", "mervo.exe"), 1, "mervo.exe"},  // the main program not in the release
#ifndef _WIN32
      // Windows names hold no control characters, links need rights, and "MERVO" is "mervo".
      {make("sub/bad\x01name"), 1, "sub/bad<U+0001>name"},
      {make("out.dll", dir.File("outside.txt")), 1, "out.dll"},
      {make("MERVO"), 1, "\"MERVO\" and \"mervo\""},
#endif
  };
  for (const auto& [arguments, status, shown] : rows) {
    CAPTURE(shown);
    const Run run = Publish(arguments);
    CHECK(run.status == status);
    CHECK(Has(status == 0 ? run.out : run.err, shown));
    CHECK((status == 0 ? run.err : run.out) == "");
    CHECK((status == 0 || std::count(run.err.begin(), run.err.end(), '\n') == 1));
    CHECK_FALSE((status == 1 && fs::exists(arguments.back() + "/UpdList.xml")));
  }
}

// A clean release passes, signed or not; a file changed on the server, a list changed after
// signing and a missing signature each fail the check.
TEST_CASE("check finds a changed file, a changed list and a missing signature" * doctest::test_suite("minisign"))
{
  TempDir dir;
  const std::string release = dir.File("release");
  std::string big = Bytes(200000, 2);
  Server server;
  for (const auto& [name, data] : std::map<std::string, std::string>{
           {"mervo", "#!/bin/sh\n"}, {"sub/c.bin", big}, {"数据 文件.txt", "<&\"数据\">"}, {"empty.txt", ""}}) {
    REQUIRE(WriteFile(release + '/' + name, data));
    server.File(FileUrl("", name), data);
  }
  REQUIRE(Make(release).status == 0);
  REQUIRE_MESSAGE(RunMinisign(dir.Path(), {"-G", "-W", "-p", "a.pub", "-s", "a.sec"}), "minisign is needed");
  REQUIRE(RunMinisign(dir.Path(), {"-S", "-s", "a.sec", "-m", release + "/UpdList.xml"}));
  const std::string list = ReadFile(release + "/UpdList.xml");
  server.File("UpdList.xml", list);
  server.File("UpdList.xml.minisig", ReadFile(release + "/UpdList.xml.minisig"));
  const Strings plain{"check", server.BaseUrl()}, withKey{"check", "--public-key", dir.File("a.pub"), server.BaseUrl()};
  const auto expect = [&](const Strings& arguments, int status, std::string Run::*stream, const std::string& shown) {
    const Run run = Publish(arguments);
    CHECK_MESSAGE((run.status == status && Has(run.*stream, shown) && (status || run.err.empty())),
                  (run.out + run.err));
  };
  expect(plain, 0, &Run::out, "4 files, 0 problems\n");
  expect(withKey, 0, &Run::out, "4 files, 0 problems\n");
  big.back() = char(big.back() ^ 1);  // in the last piece the server sends
  server.File("sub/c.bin", big);
  expect(plain, 1, &Run::out, "MISMATCH sub\\c.bin: sha256 differs\n");
  std::string relisted = list;
  server.File("UpdList.xml", relisted.replace(relisted.find("<Version>1.1<"), 13, "<Version>1.2<"));
  expect(withKey, 1, &Run::err, "UpdList.xml.minisig: the signature does not verify");
  server.File("UpdList.xml", list);
  server.Route("/mrvo/UpdList.xml.minisig", Reply::Status(404, "Not Found"));
  expect(withKey, 1, &Run::err, "UpdList.xml.minisig");
}
