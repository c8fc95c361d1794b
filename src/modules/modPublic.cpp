#include "modules/modPublic.h"

#include "engine/Names.h"

#include "platform/FileSys.h"
#include "platform/Inet.h"

#include <algorithm>
#include <limits>

namespace {
bool IsAsciiSpace(char c)
{
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// One segment of an address: every byte but the unreserved ones as %XX.
std::string PercentEncoded(const std::string& segment)
{
  static const char Digits[] = "0123456789ABCDEF";
  std::string encoded;
  for (const unsigned char c : segment) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_'
        || c == '~') {
      encoded += char(c);
    } else {
      encoded += '%';
      encoded += Digits[c >> 4];
      encoded += Digits[c & 15];
    }
  }
  return encoded;
}
}  // namespace

std::string Trimmed(const std::string& text)
{
  std::size_t first = 0;
  std::size_t last = text.size();
  while (first < last && IsAsciiSpace(text[first]))
    ++first;
  while (last > first && IsAsciiSpace(text[last - 1]))
    --last;
  return text.substr(first, last - first);
}

std::string GetDirPart(const std::string& text, const std::string& separator)
{
  const std::size_t at = text.rfind(separator);
  return at == std::string::npos ? std::string() : text.substr(0, at + separator.size());
}

std::string AddBackslash(const std::string& path)
{
  return !path.empty() && path.back() == '\\' ? path : path + '\\';
}

bool MakeDir(const std::string& path)
{
  return MakeSureDirectoryPathExists(AddBackslash(path));
}

bool FileExists(const std::string& path, int attributes)
{
  return PathHasEntry(path, (attributes & vbDirectory) != 0);
}

std::string FileUrl(const std::string& baseUrl, const std::string& name)
{
  std::string url = baseUrl;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = name.find_first_of("\\/", start);
    url += PercentEncoded(name.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos)
      return url;
    url += '/';
    start = end + 1;
  }
}

bool IsMissingOnServer(const Inet& client)
{
  // Servers differ in the reason phrase ("File not found", none at all on HTTP/2),
  // so the status itself counts too.
  const int status = client.StatusCode();
  if (status == 404 || status == 410)
    return true;
  const std::string header = client.GetHeader();
  return header.find("Not Found") != std::string::npos && header.find("404") != std::string::npos;
}

std::int64_t ContentLengthOf(const std::string& value)
{
  std::int64_t size = 0;
  for (const char c : Trimmed(value)) {
    if (c < '0' || c > '9')
      break;
    if (size > (std::numeric_limits<std::int64_t>::max() - 9) / 10)
      return 0;
    size = size * 10 + (c - '0');
  }
  return size;
}

std::string FormatFileSize(std::int64_t bytes)
{
  constexpr std::int64_t KiB = 1024;
  constexpr std::int64_t MiB = 1024 * 1024;
  if (bytes < MiB)
    return std::to_string((bytes + KiB / 2) / KiB) + "KB";
  const std::int64_t hundredths = (bytes / MiB) * 100 + ((bytes % MiB) * 100 + MiB / 2) / MiB;
  const std::int64_t cents = hundredths % 100;
  return std::to_string(hundredths / 100) + (cents < 10 ? ".0" : ".") + std::to_string(cents) + "MB";
}

bool IsSafeRelativeName(const std::string& name)
{
  return engine::IsSafeRelativeName(name) && !engine::IsUpdaterFile(name);
}

bool IsValidUpdateUrl(const std::string& url)
{
  const std::optional<UrlParts> parsed = ParseUrl(url);
  return parsed && (parsed->scheme == "http" || parsed->scheme == "https") && !parsed->host.empty() && !url.empty()
         && url.back() == '/';
}

bool DownloadFile(Inet& client, const std::string& baseUrl, const std::string& remoteName, const std::string& localName,
                  std::string* failure)
{
  failure->clear();
  try {
    client.URL = FileUrl(baseUrl, remoteName);
    client.Execute(client.URL, "HEAD");
    client.Wait();
    if (IsMissingOnServer(client))
      return false;
    // No answer at all: a GET would only fail the same way.
    if (client.StatusCode() == 0)
      throw InetError(client.FailureReason());
    const std::string body = client.OpenURL(client.URL, MaxListBytes);
    const std::string written = WriteFileAtomically(AppPath() + '\\' + localName, body);
    if (!written.empty())
      throw InetError(written);
    return true;
  } catch (const InetError& error) {
    *failure = error.Reason();
    return false;
  }
}

int ProgressPercent(std::int64_t done, std::int64_t total)
{
  if (total <= 0)
    return 0;
  // In integers: a floating-point quotient turns exact halves such as 57.5 into 57.4999...
  const __int128 scaled = static_cast<__int128>(done) * 100;
  std::int64_t percent = static_cast<std::int64_t>(scaled / total);
  const __int128 twiceRest = (scaled % total) * 2;
  if (twiceRest > total || (twiceRest == total && percent % 2 == 1))
    ++percent;
  return static_cast<int>(std::min<std::int64_t>(percent, 100));
}
