#include "modules/modSign.h"

#include "modules/modPublic.h"
#include "platform/Crypto.h"
#include "platform/FileSys.h"
#include "platform/Inet.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <optional>

namespace {
// The newest signature time accepted so far: nullopt when none was recorded, and
// *unreadable set when the record is there but holds no time.
std::optional<std::int64_t> AcceptedTimestamp(const std::string& statePath, bool* unreadable)
{
  *unreadable = false;
  if (!FileExists(statePath, vbDirectory))
    return std::nullopt;
  std::string state;
  if (ReadSmallFile(statePath, 4096, &state)) {
    std::size_t start = 0;
    while (start <= state.size()) {
      const std::size_t end = std::min(state.find('\n', start), state.size());
      const std::string line = state.substr(start, end - start);
      start = end + 1;
      if (line.compare(0, 10, "timestamp=") == 0)
        if (const std::optional<std::int64_t> value = UnixTimeOf(Trimmed(line.substr(10))))
          return value;
    }
  }
  *unreadable = true;
  return std::nullopt;
}

// Whether the list is no older than what was accepted before; "" or a reason.
std::string CheckReplay(const std::optional<std::int64_t>& timestamp, std::int64_t minListTime,
                        const std::string& statePath)
{
  bool unreadable = false;
  const std::optional<std::int64_t> accepted = AcceptedTimestamp(statePath, &unreadable);
  if (unreadable)
    return "无法读取签名时间记录 " + statePath.substr(statePath.rfind('\\') + 1);
  if (!accepted && minListTime <= 0)
    return std::string();
  if (!timestamp)
    return "签名中没有时间戳，无法确认更新列表不是旧的";
  if (accepted && *timestamp < *accepted)
    return "更新列表比上次使用的旧";
  if (*timestamp < minListTime)
    return "更新列表签名早于本程序认可的最早时间";
  return std::string();
}

std::int64_t SecondsSinceEpoch()
{
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}
}  // namespace

ListTrust& BuiltInTrust()
{
  static ListTrust trust{Trimmed(MERVO_DEFAULT_PUBLIC_KEY), std::int64_t(MERVO_MIN_LIST_TIME)};
  return trust;
}

std::string ConfiguredPublicKey()
{
  // The environment may add a key, never take the built-in one away.
  if (!BuiltInTrust().publicKey.empty())
    return BuiltInTrust().publicKey;
  const char* key = std::getenv("MERVO_PUBLIC_KEY");
  return key ? Trimmed(key) : std::string();
}

std::string VerifyListSignature(Inet& client, const std::string& baseUrl, const std::string& signatureName,
                                const std::string& list, const std::string& publicKey, MinisignResult* signature)
{
  std::string signatureFile;
  try {
    client.URL = FileUrl(baseUrl, signatureName);
    signatureFile = client.OpenURL(client.URL, MaxSignatureBytes);
  } catch (const InetError& error) {
    return "无法获取签名文件（" + error.Reason() + "）";
  }
  *signature = VerifyMinisign(publicKey, list, signatureFile);
  return signature->ok ? std::string() : signature->reason;
}

std::string CheckListFreshness(const MinisignResult& signature, const std::string& listName, std::int64_t minListTime,
                               const std::string& statePath)
{
  const std::string replay = CheckReplay(signature.timestamp, minListTime, statePath);
  if (!replay.empty())
    return replay;
  if (const std::optional<std::string> expires = TrustedCommentField(signature.trustedComment, "expires")) {
    const std::optional<std::int64_t> time = UnixTimeOf(*expires);
    if (!time)
      return "签名中的过期时间无效";
    if (*time < SecondsSinceEpoch())
      return "更新列表已过期";
  }
  // A signature made for another file of the publisher's must not pass for the list.
  const std::optional<std::string> file = TrustedCommentField(signature.trustedComment, "file");
  if (file && *file != listName)
    return "签名针对的是 " + *file + "，不是 " + listName;
  return std::string();
}

std::string RecordListTime(const std::string& statePath, std::int64_t timestamp)
{
  return WriteFileAtomically(statePath, "timestamp=" + std::to_string(timestamp) + '\n');
}
