#include "modules/modDownload.h"

#include "modules/modPublic.h"
#include "platform/FileSys.h"
#include "platform/Inet.h"

#include <algorithm>

namespace {
std::string Bytes(std::int64_t size)
{
  return std::to_string(size) + " 字节";
}

std::string SizeChanged(std::int64_t probed, std::int64_t now)
{
  return "文件大小与检查时不同（检查时 " + Bytes(probed) + "，下载时 " + Bytes(now) + "）";
}

std::string WrongSize(std::int64_t listed, std::int64_t now)
{
  return "文件校验失败：大小不符（应为 " + Bytes(listed) + "，实为 " + Bytes(now) + "）";
}

std::string TooLong(std::int64_t size)
{
  return "文件校验失败：大小不符（应为 " + Bytes(size) + "，收到的已超过 " + Bytes(size) + "）";
}

std::string Hex12(const std::string& digest)
{
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (std::size_t i = 0; i < digest.size() && hex.size() < 12; ++i) {
    hex += digits[static_cast<unsigned char>(digest[i]) >> 4];
    hex += digits[static_cast<unsigned char>(digest[i]) & 15];
  }
  return hex;
}

std::string CheckLength(std::int64_t size, const FileExpectation& expected)
{
  if (expected.listedSize >= 0 && size != expected.listedSize)
    return WrongSize(expected.listedSize, size);
  if (expected.probedSize >= 0 && size != expected.probedSize)
    return SizeChanged(expected.probedSize, size);
  return std::string();
}
}  // namespace

ProbeResult ProbeRemoteFile(Inet& client, const std::string& url)
{
  client.Execute(url, "HEAD");
  client.Wait();
  ProbeResult result;
  result.missing = IsMissingOnServer(client);
  if (result.missing)
    return result;
  const std::string length = client.GetHeader("Content-Length");
  result.size = ContentLengthOf(length);
  result.reported = !length.empty() && length[0] >= '0' && length[0] <= '9';
  // A weak ETag may stand for other bytes, so it cannot tell whether a range still fits.
  result.validator = client.GetHeader("ETag");
  if (result.validator.rfind("W/", 0) == 0 || result.validator.empty())
    result.validator = client.GetHeader("Last-Modified");
  return result;
}

// The bytes the answer must hold: from offset for a 206, else all of them.
std::string CheckLengths(const Inet& client, const FileExpectation& expected, std::int64_t offset)
{
  if (client.StatusCode() == 206) {
    const std::string range = client.GetHeader("Content-Range");
    const std::string size = std::to_string(expected.listedSize);
    if (offset <= 0 || range != "bytes " + std::to_string(offset) + '-' + std::to_string(expected.listedSize - 1) + '/' + size)
      return "服务器返回的范围不符（Content-Range: " + range + "）";
  } else {
    offset = 0;
  }
  const std::string announced = client.GetHeader("Content-Length");
  if (announced.empty())
    return std::string();
  return CheckLength(offset + ContentLengthOf(announced), expected);
}

std::string CheckAnswer(const Inet& client, const FileExpectation& expected, std::int64_t offset)
{
  const std::string answer = client.AnswerFailure();
  // A body cut short that a later run may continue is saved as far as it came; the cut then
  // shows at its end.
  const int status = client.StatusCode();
  const bool keepable = !expected.validator.empty() && !expected.listedHash.empty();
  const bool cut = !answer.empty() && keepable && status >= 200 && status <= 299;
  if (!answer.empty() && !cut)
    return answer;
  const std::string wrong = CheckLengths(client, expected, offset);
  return wrong.empty() || !cut ? wrong : answer;
}

std::string CheckSoFar(std::int64_t total, const FileExpectation& expected)
{
  if (expected.listedSize >= 0 && total > expected.listedSize)
    return TooLong(expected.listedSize);
  if (expected.probedSize >= 0 && total > expected.probedSize)
    return TooLong(expected.probedSize);
  return std::string();
}

std::string CheckWhole(const Inet& client, std::int64_t total, const FileExpectation& expected)
{
  const std::string failure = client.FailureReason();
  if (!failure.empty())
    return failure;
  return CheckLength(total, expected);
}

std::string CheckDigest(const std::string& digest, const FileExpectation& expected)
{
  if (expected.listedHash.empty() || digest == expected.listedHash)
    return std::string();
  return "文件校验失败：SHA-256 不符（应为 " + Hex12(expected.listedHash) + "…，实为 " + Hex12(digest) + "…）";
}

std::string PrepareFolder(const std::string& appPath, const std::string& name)
{
  std::string folderName = name;
  std::replace(folderName.begin(), folderName.end(), '/', '\\');
  if (!StaysInsideFolder(appPath, folderName))
    return "文件夹链接到了程序文件夹之外";
  MakeDir(appPath + '\\' + GetDirPart(folderName, "\\"));
  return std::string();
}
