// Trusted releases through the window: per-file sizes and hashes, files already up to date,
// and lists signed with the real minisign.
#include "Program.h"
#include "frmUpdate/frmUpdate.h"
#include "modules/modPublic.h"
#include "modules/modSign.h"
#include "publish/Publish.h"

#include <doctest/doctest.h>

#include <filesystem>
#include <regex>
#include <sstream>

namespace {
struct Pinned {
  std::string name;
  std::string data;
};

// A list that pins every file by size and hash; the file named liar is listed with the size lie instead.
std::string PinnedList(const std::vector<Pinned>& files, const std::string& liar = "", const std::string& lie = "")
{
  std::string xml = "<UpdateList><Version>2</Version><Updata/><Files>";
  for (const Pinned& file : files) {
    const std::string size = file.name == liar && !lie.empty() ? lie : std::to_string(file.data.size());
    xml += "<File Name=\"" + file.name + "\" Ver=\"2\" Size=\"" + size + "\" Sha256=\"" + Sha256Hex(file.data) + "\"/>";
  }
  return xml + "</Files><RunApp>" + files.front().name + "</RunApp></UpdateList>";
}

// Corrupts byte at of data (at < 0 counts from the end).
std::string Flipped(std::string data, int at)
{
  data[std::size_t(at < 0 ? int(data.size()) + at : at)] ^= 0x20;
  return data;
}

// Two key pairs made once, and the trust and environment each test leaves as it found them.
struct Keys {
  TempDir dir;
  std::string publicKey, otherKey;
  Keys()
  {
    REQUIRE(RunMinisign(dir.Path(), {"-G", "-W", "-p", "pub", "-s", "sec"}));
    REQUIRE(RunMinisign(dir.Path(), {"-G", "-W", "-p", "other.pub", "-s", "other.sec"}));
    const auto key = [&](const std::string& name) {
      const std::string text = ReadFile(dir.File(name));
      return text.substr(text.find('\n') + 1, text.find('\n', text.find('\n') + 1) - text.find('\n') - 1);
    };
    publicKey = key("pub");
    otherKey = key("other.pub");
  }
};

struct TrustGuard {
  const ListTrust builtIn = BuiltInTrust();
  ~TrustGuard()
  {
    SetEnv("MERVO_PUBLIC_KEY", nullptr);
    BuiltInTrust() = builtIn;
  }
};

const Keys& TheKeys()
{
  static const Keys keys;
  return keys;
}

// Takes the update offered: it goes through without a message, or stops with one that begins with failure.
void UpdateThrough(UpdaterRun& run, frmUpdate& w, const std::string& failure = "")
{
  REQUIRE(WaitUntil([&] { return w.StatusText() == Offered; }));
  w.cmdUpdate->Click();
  REQUIRE(Ended(w));
  CHECK(w.StatusText() == (failure.empty() ? Done : Stopped));
  const Strings shown = run.log.Texts();
  CHECK_MESSAGE((failure.empty() ? shown.empty() : shown.size() == 1 && StartsWith(shown[0], failure)),
                (shown.empty() ? "" : shown[0]));
}
}  // namespace

// Sizes and hashes in the list are checked as a file arrives, and a mismatch stops the update;
// a file that already matches its listed hash is neither requested nor touched.
TEST_CASE("pinned files are checked")
{
  const std::string b(3000, 'b');
  const struct {
    bool flipped;        // the server sends b.bin with one byte flipped
    std::string lie;     // what the list claims instead, if anything
    std::string reason;  // "" when the update goes through
  } rows[] = {
      {false, "", ""},
      {true, "", "文件校验失败：SHA-256 不符（应为 "},
      {false, "2999", "文件校验失败：大小不符（应为 2999 字节，实为 3000 字节）"},
  };
  for (const auto& row : rows) {
    INFO(row.reason);
    UpdaterRun run;
    run.folder.Write("a.bin", "new a");
    run.folder.Write("b.bin", "old b");
    run.server.File("UpdList.xml", PinnedList({{"a.bin", "new a"}, {"b.bin", b}}, "b.bin", row.lie));
    run.server.File("a.bin", "new a");
    run.server.File("b.bin", row.flipped ? Flipped(b, 1500) : b);
    const auto before = std::filesystem::last_write_time(run.folder.File("a.bin"));
    auto w = run.Start();
    UpdateThrough(run, *w, row.reason.empty() ? "" : "文件下载失败：b.bin\r\n" + row.reason);
    CHECK(run.server.Count("GET", "/mrvo/a.bin") == 0);
    CHECK(run.server.Count("GET", "/mrvo/b.bin") == 1);
    CHECK(w->lvUpdateList.RowText(1, 3) == "100%");
    CHECK(std::filesystem::last_write_time(run.folder.File("a.bin")) == before);
    CHECK(run.folder.Read("b.bin") == (row.reason.empty() ? b : "old b"));
    CHECK(run.folder.Files()
          == (row.reason.empty() ? Strings{"a.bin", "b.bin"} : Strings{"NewUpdList.xml", "a.bin", "b.bin"}));
  }
}

namespace {
struct SignedRow {
  std::string trouble;
  std::string comment;  // the trusted comment signed; "": minisign's own
  std::string reason;   // after "更新列表签名无效："; "" when the update goes through
};

// Signs the list as the row says and serves it with its signature.
void ServeSigned(UpdaterRun& run, const SignedRow& row)
{
  const Keys& keys = TheKeys();
  std::string list = PinnedList({{row.trouble == "bad name" ? "MervoUpdate.state" : "a.bin", "new a"}});
  if (row.trouble == "no hash" || row.trouble == "no size")
    list = std::regex_replace(list, std::regex(row.trouble == "no hash" ? " Sha256=\"\\w*\"" : " Size=\"\\d*\""), "");
  TempDir release;
  REQUIRE(WriteFile(release.File("UpdList.xml"), list));
  Strings sign{"-S", "-s", keys.dir.File("sec"), "-m", release.File("UpdList.xml")};
  if (!row.comment.empty())
    sign.insert(sign.end(), {"-t", row.comment});
  REQUIRE(RunMinisign(release.Path(), sign));
  run.server.File("UpdList.xml", row.trouble == "changed" ? Flipped(list, -20) : list);
  if (row.trouble != "missing" && row.trouble != "env empty")
    run.server.File("UpdList.xml.minisig", ReadFile(release.File("UpdList.xml.minisig")));
}
}  // namespace

// With a key built in, only a list that the key's owner signed for this name, recently enough,
// not yet expired, and that pins every file, is acted on; the environment cannot change the key.
TEST_CASE("signed lists" * doctest::test_suite("minisign"))
{
  const std::string at = "timestamp:2000000000 file:UpdList.xml";
  const std::string noSignature = "无法获取签名文件（服务器返回 HTTP 404 Not Found）";
  const std::string unpinned = "列表没有为每个文件给出 Size 和 Sha256";
  const SignedRow rows[] = {
      {"", "", ""},
      {"", at + " expires:4000000000", ""},
      {"changed", "", "签名与更新列表内容不符"},
      {"missing", "", noSignature},
      {"no hash", "", unpinned},
      {"no size", "", unpinned},
      {"replayed", "", "更新列表比上次使用的旧"},
      {"", "timestamp:999999999 file:UpdList.xml", "更新列表签名早于本程序认可的最早时间"},
      {"", "file:UpdList.xml", "签名中没有时间戳，无法确认更新列表不是旧的"},
      {"garbled", "", "无法读取签名时间记录 MervoUpdate.state"},
      {"", at + " expires:1500000000", "更新列表已过期"},
      {"", "timestamp:2000000000\tfile:Other.xml", "签名针对的是 Other.xml，不是 UpdList.xml"},
      {"env empty", "", noSignature},
      {"env other", "", ""},
      // Refused by the name check after the signature held: the time must not move either.
      {"bad name", "", "更新列表中的文件名无效："},
  };
  for (const SignedRow& row : rows) {
    INFO(row.trouble, " ", row.comment);
    TrustGuard guard;
    UpdaterRun run;
    run.folder.Write("a.bin", "old a");
    if (row.trouble == "replayed" || row.trouble == "garbled")
      run.folder.Write("MervoUpdate.state",
                       row.trouble == "replayed" ? "timestamp=4000000000\n" : "timestamp=4000000000x\n");
    const std::string stateBefore = run.folder.Read("MervoUpdate.state");
    ServeSigned(run, row);
    run.server.File("a.bin", "new a");
    BuiltInTrust() = {TheKeys().publicKey, 1000000000};
    if (StartsWith(row.trouble, "env"))
      SetEnv("MERVO_PUBLIC_KEY", row.trouble == "env other" ? TheKeys().otherKey.c_str() : "");
    auto w = run.Start();

    if (row.reason.empty()) {
      UpdateThrough(run, *w);
      CHECK(run.folder.Read("a.bin") == "new a");
      // The accepted signature's time is remembered for the next run.
      CHECK(StartsWith(run.folder.Read("MervoUpdate.state"), "timestamp="));
    } else if (row.trouble == "bad name") {
      CHECK(WaitUntil([&] { return StartsWith(w->StatusText(), row.reason); }));
      CHECK(!run.folder.Exists("MervoUpdate.state"));
    } else {
      REQUIRE(WaitUntil([&] { return w->IsUnloaded(); }));
      CHECK(run.log.Texts().at(0) == "更新列表签名无效：" + row.reason);
      CHECK(!run.folder.Exists("NewUpdList.xml"));
      CHECK(run.folder.Read("MervoUpdate.state") == stateBefore);
      for (const std::string& request : run.server.Requests())
        CHECK_MESSAGE(request.find("/UpdList.xml") != std::string::npos, request);
    }
  }
}

// What a publisher makes with MervoPublish and signs with minisign, the updater installs.
TEST_CASE("a published release installs" * doctest::test_suite("minisign"))
{
  TrustGuard guard;
  TempDir release;
  const std::vector<Pinned> files{
      {"mervo", "#!/bin/sh\n"}, {"setup.ini", "[Mervo]\n版本=2\n"}, {"sub/数据 文件.txt", std::string(70000, 'z')}};
  for (const Pinned& file : files)
    REQUIRE(WriteFile(release.File(file.name), file.data));
  std::ostringstream out, err;
  REQUIRE(RunPublish(
              {"MervoPublish", "make", "--version", "2", "--run-app", "mervo", "--expires-days", "30", release.Path()},
              out, err)
          == 0);
  // Signed with the trusted comment of the command that make prints.
  std::smatch printed;
  const std::string printedText = out.str();
  REQUIRE_MESSAGE(
      std::regex_search(printedText, printed,
                        std::regex("^minisign -S -t \"(timestamp:(\\d+) file:UpdList.xml expires:(\\d+))\" ")),
      printedText);
  CHECK(std::stoll(printed[3]) - std::stoll(printed[2]) == 30 * 86400);
  REQUIRE(RunMinisign(release.Path(),
                      {"-S", "-s", TheKeys().dir.File("sec"), "-t", printed[1], "-m", release.File("UpdList.xml")}));

  UpdaterRun run;
  run.folder.Write("setup.ini", "[Mervo]\n版本=1\n");
  for (const char* name : {"UpdList.xml", "UpdList.xml.minisig"})
    run.server.File(name, ReadFile(release.File(name)));
  for (const Pinned& file : files)
    run.server.Route("/mrvo/" + FileUrl(std::string(), file.name), Reply::Ok(file.data));
  SetEnv("MERVO_PUBLIC_KEY", TheKeys().publicKey.c_str());
  auto w = run.Start();
  UpdateThrough(run, *w);
  for (const Pinned& file : files)
    CHECK(run.folder.Read(file.name) == file.data);
}
