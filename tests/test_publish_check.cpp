// The publisher's "check" against a server in the same process: a file changed on the
// server, a list changed after signing, a signature missing.
#include "Files.h"
#include "Server.h"
#include "publish/Publish.h"

#include <doctest/doctest.h>

#include <sstream>

namespace {
struct Outcome {
  int status;
  std::string out, err;
};

Outcome Publish(const Strings& arguments)
{
  Strings argv{"MervoPublish"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::ostringstream out, err;
  const int status = RunPublish(argv, out, err);
  return {status, out.str(), err.str()};
}

bool Has(const std::string& text, const std::string& part)
{
  return text.find(part) != std::string::npos;
}
}  // namespace

TEST_CASE("check finds a changed file, a changed list and a missing signature")
{
  TempDir dir;
  const std::string release = dir.File("release");
  std::string big = Bytes(200000, 2);
  Server server;
  // Served percent-encoded per segment, as a browser would.
  for (const auto& [name, served, data] : {std::tuple<std::string, std::string, std::string>{"mervo", "mervo", "#!/bin/sh\n"},
                                           {"sub/c.bin", "sub/c.bin", big},
                                           {"数据 文件.txt", "%E6%95%B0%E6%8D%AE%20%E6%96%87%E4%BB%B6.txt", "<&\"数据\">"},
                                           {"empty.txt", "empty.txt", ""}}) {
    REQUIRE(WriteFile(release + '/' + name, data));
    server.File(served, data);
  }
  REQUIRE(Publish({"make", "--version", "1.1", "--run-app", "mervo", release}).status == 0);
  REQUIRE_MESSAGE(RunMinisign(dir.Path(), {"-G", "-W", "-p", "a.pub", "-s", "a.sec"}), "minisign is needed");
  REQUIRE(RunMinisign(dir.Path(), {"-S", "-s", "a.sec", "-m", release + "/UpdList.xml"}));
  const std::string list = ReadFile(release + "/UpdList.xml");
  server.File("UpdList.xml", list);
  server.File("UpdList.xml.minisig", ReadFile(release + "/UpdList.xml.minisig"));
  const Strings signedCheck{"check", "--public-key", dir.File("a.pub"), server.BaseUrl()};
  for (const Strings& arguments : {Strings{"check", server.BaseUrl()}, signedCheck}) {
    const Outcome clean = Publish(arguments);
    CHECK_MESSAGE((clean.status == 0 && Has(clean.out, "4 files, 0 problems\n") && clean.err.empty()), (clean.out + clean.err));
  }
  // The byte changed lies in the last piece the server sends.
  big.back() = char(big.back() ^ 1);
  server.File("sub/c.bin", big);
  Outcome changed = Publish({"check", server.BaseUrl()});
  CHECK_MESSAGE((changed.status == 1 && Has(changed.out, "MISMATCH sub\\c.bin: sha256 differs\n")), changed.out);
  std::string relisted = list;
  relisted.replace(relisted.find("<Version>1.1<"), 13, "<Version>1.2<");
  server.File("UpdList.xml", relisted);
  changed = Publish(signedCheck);
  CHECK_MESSAGE((changed.status == 1 && Has(changed.err, "UpdList.xml.minisig: the signature does not verify")), changed.err);
  // The list as signed, with no signature beside it.
  server.File("UpdList.xml", list);
  server.Route("/mrvo/UpdList.xml.minisig", Reply::Status(404, "Not Found"));
  changed = Publish(signedCheck);
  CHECK_MESSAGE((changed.status == 1 && Has(changed.err, "UpdList.xml.minisig")), changed.err);
}
