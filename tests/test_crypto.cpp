// SHA-256 against known vectors; minisign checks against the minisign tool.
#include "Files.h"
#include "platform/Crypto.h"

#include <doctest/doctest.h>

#include <algorithm>
#include <regex>
#include <vector>

namespace {
// The text from its second line on.
std::string Second(const std::string& text)
{
  return text.substr(text.find('\n') + 1);
}

std::string Crlf(const std::string& text)
{
  return std::regex_replace(text, std::regex("\n"), "\r\n");
}

std::string Digest(const std::string& hex)
{
  std::string raw;
  REQUIRE(ParseSha256Hex(hex, &raw));
  return raw;
}
}  // namespace

TEST_CASE("SHA-256")
{
  TempDir dir;
  Sha256Hasher hasher;
  // Known vectors, the last a million bytes.
  const std::pair<std::string, std::string> known[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}};
  for (const auto& [data, hex] : known) {
    CAPTURE(data.size());
    hasher.Add(data.data(), std::int64_t(data.size()));
    CHECK(hasher.Finish() == Digest(hex));
    // Again in growing odd pieces: Finish must have started the hasher over.
    for (std::size_t at = 0, piece = 1; at < data.size(); at += piece, piece = piece * 3 + 1)
      hasher.Add(data.data() + at, std::int64_t(std::min(piece, data.size() - at)));
    CHECK(hasher.Finish() == Digest(hex));
  }
  // Following a file: its first third read back from it, the rest handed over faster than hashed.
  const std::string large = Bytes(3 * 1024 * 1024 + 5, 7);
  REQUIRE(WriteFile(dir.File("hashed.bin"), large));
  Sha256Worker worker;
  worker.FollowFile(dir.File("hashed.bin"), std::int64_t(large.size() / 3));
  for (std::size_t at = large.size() / 3; at < large.size(); at += 4096) {
    std::string block = large.substr(at, 4096);
    worker.Add(block);
  }
  CHECK(HexOf(worker.Finish()) == Sha256Hex(large));
}

TEST_CASE("minisign signatures" * doctest::test_suite("minisign"))
{
  TempDir dir;
  const std::string list = "<UpdList><App Version=\"2.0\" Notes=\"修复\"/></UpdList>\n";
  REQUIRE(WriteFile(dir.File("UpdList.xml"), list));
  for (const std::string key : {"a", "b"})
    REQUIRE_MESSAGE(RunMinisign(dir.Path(), {"-G", "-W", "-p", key + ".pub", "-s", key + ".sec"}),
                    "minisign is needed");
  // The .minisig bytes of UpdList.xml signed with key's secret key under comment.
  const auto sign = [&](const std::string& key, const std::string& comment, bool legacy = false) {
    std::vector<std::string> args{"-S", "-s", key + ".sec", "-m", "UpdList.xml", "-x", "s.minisig", "-t", comment};
    if (legacy)
      args.push_back("-l");
    REQUIRE(RunMinisign(dir.Path(), args));
    return ReadFile(dir.File("s.minisig"));
  };
  const std::string key = ReadFile(dir.File("a.pub"));
  const std::string first = "timestamp:1600000000\tfile:UpdList.xml", later = "file:UpdList.xml\ttimestamp:1700000000";
  const std::string prehashed = sign("a", first), legacy = sign("a", later, true);
  const std::string otherKey = sign("b", first), noTime = sign("a", "版本 2.0");
  // Base64 of "ED" and of "Ed", the two algorithms' marks.
  REQUIRE(Second(prehashed).substr(0, 2) + Second(legacy).substr(0, 2) == "RURW");
  // reason "": the signature must be good, with that comment and timestamp (-1: none).
  const auto expect = [&](const char* what, const std::string& key, const std::string& data,
                          const std::string& signature, const std::string& reason, const std::string& comment = "",
                          std::int64_t timestamp = -1) {
    CAPTURE(what);
    const MinisignResult r = VerifyMinisign(key, data, signature);
    CHECK(r.reason == reason);
    CHECK(r.ok == reason.empty());
    CHECK(r.trustedComment == comment);
    CHECK(r.timestamp.value_or(-1) == timestamp);
  };
  expect("prehashed, .pub file", key, list, prehashed, "", first, 1600000000);
  expect("legacy, key line, timestamp not first", Second(key).substr(0, 56), list, legacy, "", later, 1700000000);
  expect("CRLF files, no timestamp", Crlf(key), list, Crlf(noTime), "", "版本 2.0");
  expect("other key", key, list, otherKey, "签名所用的密钥与公钥不符");
  expect("comment tampered", key, list, std::regex_replace(prehashed, std::regex("UpdList.xml\n"), "UpdList.xml \n"),
         "可信注释的签名无效");
  expect("garbage key", "RWQ not a key", list, prehashed, "公钥格式错误");
  expect("truncated", key, list, prehashed.substr(0, prehashed.size() / 2), "签名文件格式错误");
  // Another algorithm ("EE": the third base64 digit moves up by 4) is a format error, not a changed list.
  const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string other = prehashed;
  char& third = other.at(other.find('\n') + 3);
  third = digits.at(digits.find(third) + 4);
  expect("unknown algorithm", key, list, other, "签名文件格式错误");
}
