// The HTTP control, list and file downloads, and list loading, against servers on 127.0.0.1.
#include "Program.h"
#include "modules/modPublic.h"
#include "modules/modXml.h"
#include "platform/Events.h"
#include "platform/Inet.h"

#include <doctest/doctest.h>

#include <chrono>

namespace {
Reply With(Reply reply, const std::string& name, const std::string& value)
{
  reply.headers.emplace_back(name, value);
  return reply;
}

// Everything the transfer received, in pieces of at most 1024 bytes.
std::string Body(Inet& inet)
{
  std::string got;
  for (std::string piece; got.size() <= 10000 && !(piece = inet.GetChunk(1024)).empty(); got += piece)
    if (piece.size() > 1024)
      return "a piece too large";
  return got;
}

Reply CutShort()
{
  Reply cut = Reply::Ok("0123456789");
  cut.closeAfter = 4;
  return cut;
}

bool Has(const std::string& text, const std::string& part)
{
  return text.find(part) != std::string::npos;
}
}  // namespace

TEST_CASE("a file is missing on the server only when the status says so")
{
  const struct {
    Reply reply;
    bool missing;
  } rows[] = {{Reply::Status(404, "Not Found"), true},
              {Reply::Status(404, "File not found"), true},
              {Reply::Status(410, "Gone"), true},
              {With(Reply::Ok(std::string(404, 'x')), "X-Trace", "404"), false},
              {Reply::Status(500, "Internal Server Error"), false}};
  for (const auto& row : rows) {
    Server server;
    server.Route("/mrvo/f", row.reply);
    Inet inet;
    inet.Execute(server.BaseUrl() + "f", "HEAD");
    inet.Wait();
    CAPTURE(row.reply.status);
    CHECK(IsMissingOnServer(inet) == row.missing);
    CHECK(StartsWith(inet.GetHeader(), "HTTP/1.1 " + std::to_string(row.reply.status) + ' '));
    // Compressed answers would lose the Content-Length the size checks rely on.
    CHECK(Has(server.Heads().at(0), "\r\naccept-encoding: identity\r\n"));
  }
}

// Framings that lie, servers that stall or drip, and the reasons the transfer gives.
TEST_CASE("a body arrives whole or fails with its reason")
{
  Reply stall = Reply::Stall();
  // Twenty pieces 100 ms apart: longer in all than the 1.5 s limit, never silent that long
  // (with room for a busy machine under wine).
  Reply drip = Reply::Ok(std::string(6000, 'd'));
  drip.dripMs = 100;
  drip.dripPieces = 20;
  const int ok = Inet::icResponseCompleted, error = Inet::icError;
  const struct {
    const char* name;
    Reply reply;
    std::string body, failure;  // failure: "" when the transfer must succeed
    int state;
  } rows[] = {
      {"dripping slower than the limit", drip, std::string(6000, 'd'), "", ok},
      {"cut short", CutShort(), "0123", "连接中断（已收到 4 / 10 字节）", error},
      {"stall", stall, "", "1.5 秒内未收到数据", error},
      {"conflicting lengths", With(Reply::Ok("0123456789"), "Content-Length", "12"), "",
       "相互矛盾的长度（Content-Length: 10, 12）", error},
      {"gzip", With(Reply::Ok("\x1f\x8b compressed"), "Content-Encoding", "gzip"), "", "Content-Encoding: gzip", error},
      // An error status is the server's answer, not a broken network.
      {"500", Reply::Status(500, "Internal Server Error"), "<html>Internal Server Error</html>",
       "服务器返回 HTTP 500 Internal Server Error", ok},
  };
  for (const auto& row : rows) {
    CAPTURE(row.name);
    Server server;
    server.Route("/mrvo/f", row.reply);
    Inet inet;
    inet.SetTimeoutMs(1500);
    std::vector<int> states;
    inet.OnStateChanged = [&](int state) { states.push_back(state); };
    inet.Execute(server.BaseUrl() + "f", "GET");
    inet.Wait();
    CHECK(Body(inet) == row.body);
    CHECK_MESSAGE((row.failure.empty() ? inet.FailureReason().empty() : Has(inet.FailureReason(), row.failure)),
                  inet.FailureReason());
    CHECK(states == std::vector<int>{row.state});
  }
}

TEST_CASE("shutting down ends the wait")
{
  Server server;
  server.Route("/mrvo/f", Reply::Stall());
  Inet inet;
  int states = 0;
  inet.OnStateChanged = [&](int) { ++states; };
  server.onRequest = [&](const std::string&) { PostToEventLoop([&] { inet.Shutdown(); }); };
  inet.Execute(server.BaseUrl() + "f", "GET");
  CHECK_THROWS_AS(inet.Wait(), RunEnded);
  CHECK_THROWS_AS(inet.GetChunk(1024), RunEnded);
  CHECK(states == 0);
}

TEST_CASE("redirects are followed, up to a limit")
{
  const struct {
    std::string from, body, failure;
    std::size_t requests;
  } rows[] = {{"old", "moved here", "", 2}, {"loop", "", "重定向超过 50 次", 51}};
  for (const auto& row : rows) {
    Server server;
    server.Route("/mrvo/old", With(Reply::Status(302, "Found"), "Location", server.BaseUrl() + "new"));
    server.Route("/mrvo/loop", With(Reply::Status(301, "Moved"), "Location", "/mrvo/loop"));
    server.File("new", "moved here");
    // Without a limit the loop would never end: past 60 hops it ends in a file.
    server.onRequest = [&](const std::string&) {
      if (server.Requests().size() == 60)
        server.File("loop", "no limit");
    };
    Inet inet;
    inet.Execute(server.BaseUrl() + row.from, "GET");
    inet.Wait();
    CHECK(Body(inet) == row.body);
    CHECK(inet.FailureReason() == row.failure);
    CHECK(server.Requests().size() == row.requests);
  }
}

#ifndef _WIN32
// Windows takes its proxy from the system's settings, not from the environment.
// A proxy from the environment, never for this machine.
TEST_CASE("a proxy carries other hosts, this machine is reached directly")
{
  Server proxy, local;
  proxy.File("f", "through the proxy");
  local.File("f", "direct");
  const std::string proxyAddress = "http://" + proxy.BaseUrl().substr(7, proxy.BaseUrl().size() - 13);
  ::setenv("http_proxy", proxyAddress.c_str(), 1);
  Inet inet;
  // Only the proxy knows this host.
  const std::string remote = inet.OpenURL("http://updates.mervo.invalid/mrvo/f", 100);
  const std::string direct = inet.OpenURL(local.BaseUrl() + "f", 100);
  ::unsetenv("http_proxy");
  CHECK(remote == "through the proxy");
  CHECK(direct == "direct");
  CHECK(proxy.Count("GET", "/mrvo/f") == 1);
  CHECK(local.Count("GET", "/mrvo/f") == 1);
}
#endif

TEST_CASE("a download replaces the file only when it arrives whole")
{
  Reply tooLarge = Reply::Ok("0123456789");
  tooLarge.declaredLength = MaxListBytes + 1;
  tooLarge.holdOpen = true;  // the length alone must be enough to refuse it
  const struct {
    Reply reply;
    bool result;
    std::string message;  // part of the reason a failure gives
  } rows[] = {{Reply::Ok("0123456789"), true, ""},
              {Reply::Status(404, "Not Found"), false, ""},
              {Reply::Status(500, "Internal Server Error"), false, "服务器返回 HTTP 500"},
              {CutShort(), false, "连接中断"},
              {tooLarge, false, "大于 16777216 字节"}};
  for (const auto& row : rows) {
    CAPTURE(row.message);
    ProgramFolder folder;
    const std::string older = "an older and longer local file";
    folder.Write("a.txt", older);
    Server server;
    server.Route("/mrvo/a.txt", row.reply);
    Inet inet;
    inet.SetTimeoutMs(2000);
    std::string reason = "stale";
    CHECK(DownloadFile(inet, server.BaseUrl(), "a.txt", "a.txt", &reason) == row.result);
    CHECK(folder.Read("a.txt") == (row.result ? row.reply.body : older));
    CHECK(folder.Files() == Strings{"a.txt"});
    // Success and a missing list say nothing; any other failure says why.
    const bool quiet = row.result || row.reply.status == 404;
    CHECK_MESSAGE((quiet ? reason.empty() : Has(reason, row.message)), reason);
    if (row.reply.status == 404)
      CHECK(server.Count("GET", "/mrvo/a.txt") == 0);
  }
}

// A body without a length is counted as it arrives, and dropped as soon as it is too long.
TEST_CASE("a whole-body fetch stops past its limit")
{
  Reply endless;
  endless.streamBytes = 64 << 20;
  // The refusal returns before the rest is sent; whether a close reads it out races the reader, hence
  // a few tries.
  for (int i = 0; i < 8; ++i) {
    Server server;
    server.Route("/mrvo/f", endless);
    Inet inet;
    CHECK_THROWS_WITH_AS(inet.OpenURL(server.BaseUrl() + "f", 4096), "大于 4096 字节", InetError);
    CHECK(server.Streamed() < 8 << 20);
#ifndef _WIN32
    // Wine's WinINet reads out the rest of a body as its handle closes, on a thread of its own.
    CHECK(WaitUntil([&] { return !server.Streaming(); }));
    CHECK(server.Streamed() < 16 << 20);
#endif
  }
}

TEST_CASE("a list loads, or fails with a reason and leaves the last one")
{
  TempDir dir;
  XmlDocumentPtr document;
  std::string reason = "stale";
  // A folder is no list file: quietly not there.
  CHECK(!LoadXml(dir.Path(), document, &reason));
  CHECK(reason.empty());
  WriteFile(dir.File("2.xml"),
            "<L><Version>\n  2.0.1 \t\n</Version>\n<Files>\n  <A n=\"1\"/>\n"
            "  <B n=\"2\"/>\n  <C n=\"3\"/>\n</Files></L>");
  REQUIRE(LoadXml(dir.File("2.xml"), document, &reason));
  CHECK(document->SelectSingleNode("Version").Text() == "2.0.1");
  const XmlNode files = document->SelectSingleNode("Files");
  REQUIRE(files.ChildCount() == 3);
  for (int i = 0; i < 3; ++i)
    CHECK(files.Child(i).Attribute("n") == std::optional<std::string>(std::to_string(i + 1)));

  std::string bomb = "<!DOCTYPE L [\n<!ENTITY e0 \"lollollollollollollollollollol\">\n";
  for (int i = 1; i < 10; ++i) {
    bomb += "<!ENTITY e" + std::to_string(i) + " \"";
    for (int j = 0; j < 10; ++j)
      bomb += "&e" + std::to_string(i - 1) + ';';
    bomb += "\">\n";
  }
  const auto start = std::chrono::steady_clock::now();
  for (const std::string& bad : {std::string("this is not <xml"), bomb + "]>\n<L><Version>&e9;</Version></L>\n"}) {
    reason.clear();
    WriteFile(dir.File("bad.xml"), bad);
    CHECK(!LoadXml(dir.File("bad.xml"), document, &reason));
    CHECK(!reason.empty());
  }
  CHECK(std::chrono::steady_clock::now() - start < std::chrono::seconds(5));
  CHECK(document->SelectSingleNode("Version").Text() == "2.0.1");
  // A list in the Chinese code page, as it declares.
  WriteFile(dir.File("gbk.xml"), "<?xml version=\"1.0\" encoding=\"GBK\"?>\n<L><F N=\"\xD6\xD0\"/></L>");
  REQUIRE(LoadXml(dir.File("gbk.xml"), document, &reason));
  CHECK(document->SelectSingleNode("F").Attribute("N") == std::optional<std::string>("中"));
}
