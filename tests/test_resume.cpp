// Downloads cut short continue at the next run, through the window, when the server and the
// list still agree with what was kept.
#include "Program.h"
#include "engine/Install.h"
#include "frmUpdate/frmUpdate.h"

#include <doctest/doctest.h>

#include <atomic>

namespace {
// A list that pins b.bin by size and hash.
std::string PinnedList(const std::string& version, const std::string& b)
{
  return "<UpdateList><Version>" + version + "</Version><Updata/><Files><File Name=\"b.bin\" Ver=\"" + version
         + "\" Size=\"" + std::to_string(b.size()) + "\" Sha256=\"" + Sha256Hex(b)
         + "\"/></Files><RunApp>b.bin</RunApp></UpdateList>";
}

Reply Tagged(const std::string& body, const std::string& etag)
{
  Reply reply = Reply::Ok(body);
  reply.headers.emplace_back("ETag", etag);
  return reply;
}

// Starts a run and takes the update offered; returns the window when the run has ended.
std::unique_ptr<frmUpdate> Update(const UpdaterRun& run)
{
  auto w = run.Start();
  REQUIRE(WaitUntil([&] { return w->StatusText() == Offered; }));
  w->cmdUpdate->Click();
  REQUIRE(Ended(*w));
  return w;
}

// Leaves b.bin's first 1000 bytes (or all of it, when whole) kept, as a run that was cut or
// died there does.
void Cut(UpdaterRun& run, const std::string& b, const std::string& then)
{
  if (then.rfind("crash", 0) == 0) {
    const std::unique_ptr<engine::FileOps> ops = engine::SystemFileOps();
    engine::InstallEngine install(run.folder.Path(), *ops);
    REQUIRE(install.BeginDownload({"b.bin"}, {{"b.bin", 3000, Sha256Hex(b), "\"e1\""}}).empty());
    run.folder.Write("b.bin.tmp", then == "crash, whole" ? b : b.substr(0, 1000));
    return;
  }
  Reply reply = Tagged(b, "\"e1\"");
  reply.closeAfter = 1000;
  run.server.Route("/mrvo/b.bin", reply);
  Update(run);
  REQUIRE(run.folder.Read("b.bin.tmp") == b.substr(0, 1000));
}
}  // namespace

// A pinned file cut at byte 1000 keeps its ".tmp"; the next run asks for the rest when it may,
// and installs the file whole in every case.
TEST_CASE("cut downloads continue")
{
  const struct {
    std::string then;  // what is different at the next run
    bool rangeAsked;   // its first GET of b.bin asks for the bytes from 1000 on
    int sent;          // body bytes of b.bin the server sends then
  } rows[] = {
      {"", true, 2000},
      {"no ranges", true, 3000},
      {"other etag", true, 3000},
      {"other hash", false, 3000},
      // The hash fails on the whole; the file is fetched once more, from zero.
      {"altered", true, 2000 + 3000},
      {"crash", true, 2000},
      {"crash, whole", false, 0},
  };
  for (const auto& row : rows) {
    INFO(row.then);
    UpdaterRun run;
    const std::string b = Bytes(3000, 7), served = row.then == "other hash" ? Bytes(3000, 7 + (1 << 11)) : b;
    run.server.File("UpdList.xml", PinnedList("2", b));
    Cut(run, b, row.then);
    if (row.then == "altered")
      run.folder.Write("b.bin.tmp", b.substr(0, 10) + char(b[10] ^ 0x20) + b.substr(11, 989));
    if (row.then == "other hash")
      run.server.File("UpdList.xml", PinnedList("3", served));
    Reply reply = Tagged(served, row.then == "other etag" ? "\"e2\"" : "\"e1\"");
    reply.ranges = row.then != "no ranges";
    run.server.Route("/mrvo/b.bin", reply);
    const std::size_t before = run.server.Requests().size();
    std::atomic<int> keptAtGet{-1};  // whether b.bin.tmp was there when it was first asked for
    run.server.onRequest = [&](const std::string& request) {
      if (request == "GET /mrvo/b.bin" && keptAtGet < 0)
        keptAtGet = run.folder.Exists("b.bin.tmp");
    };
    CHECK(Update(run)->StatusText() == Done);
    CHECK(run.folder.Read("b.bin") == served);
    CHECK(run.folder.Files() == Strings{"b.bin"});
    Strings gets;  // the head of each GET of b.bin this run
    int sent = 0;
    for (std::size_t i = before; i < run.server.Requests().size(); ++i)
      if (run.server.Requests()[i] == "GET /mrvo/b.bin") {
        gets.push_back(run.server.Heads()[i]);
        sent += int(run.server.Sent()[i]);
      }
    CHECK(sent == row.sent);
    const auto ranged = [](const std::string& head) {
      return ("\n" + head).find("\nrange: bytes=1000-\r") != std::string::npos
             && ("\n" + head).find("\nif-range: \"e1\"\r") != std::string::npos;
    };
    CHECK((!gets.empty() && ranged(gets.front())) == row.rangeAsked);
    CHECK(keptAtGet.load() == (row.sent == 0 ? -1 : int(row.rangeAsked)));
    // Fetched again, from zero.
    CHECK(gets.size() == (row.then == "altered" ? 2u : row.sent == 0 ? 0u : 1u));
    if (gets.size() > 1)
      CHECK(gets.back().find("range:") == std::string::npos);
  }
}
