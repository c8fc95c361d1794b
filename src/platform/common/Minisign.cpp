// The minisign formats and checks, in standard C++ over the platform's two primitives.
#include "platform/Crypto.h"
#include "platform/common/CryptoCore.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {
constexpr size_t KeyIdBytes = 8;
constexpr size_t KeyBytes = 32;
constexpr size_t SignatureBytes = 64;
// minisign caps a trusted comment near 8 KiB; anything much larger is not its file.
constexpr size_t MaxSignatureFileBytes = 16 * 1024;

const std::string UntrustedPrefix = "untrusted comment: ";
const std::string TrustedPrefix = "trusted comment: ";
const char Base64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool IsHexDigit(char c)
{
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c)
{
  return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

bool StartsWith(const std::string& text, const std::string& prefix)
{
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool IsSpace(char c)
{
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string Trimmed(const std::string& text)
{
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsSpace(text[begin]))
    ++begin;
  while (end > begin && IsSpace(text[end - 1]))
    --end;
  return text.substr(begin, end - begin);
}

std::string Base64Of(const std::string& bytes)
{
  std::string text;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    unsigned value = 0;
    for (size_t k = 0; k < 3; ++k)
      value = value << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    for (size_t k = 0; k < 4; ++k)
      text += k <= n ? Base64Digits[(value >> (18 - 6 * k)) & 63] : '=';
  }
  return text;
}

// The bytes that text encodes, only when it is the canonical base64 of exactly size bytes.
std::optional<std::string> DecodeExactly(const std::string& text, size_t size)
{
  std::string bytes;
  unsigned value = 0;
  int bits = 0;
  for (const char c : text) {
    if (c == '=')
      break;
    const char* digit = c ? std::char_traits<char>::find(Base64Digits, 64, c) : nullptr;
    if (!digit)
      return std::nullopt;
    value = value << 6 | unsigned(digit - Base64Digits);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes += char((value >> bits) & 0xFF);
    }
  }
  // Re-encoding rejects missing padding and stray low bits that a lenient decoder lets by.
  if (bytes.size() != size || Base64Of(bytes) != text)
    return std::nullopt;
  return bytes;
}

// The lines of text, each ended by "\n" or "\r\n"; the last one may lack its end.
std::vector<std::string> SplitLines(const std::string& text)
{
  std::vector<std::string> lines;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos)
      break;
    start = end + 1;
  }
  if (lines.size() > 1 && lines.back().empty())
    lines.pop_back();
  for (std::string& line : lines) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
  }
  return lines;
}

struct MinisignSignature {
  std::string algorithm;  // "ED" prehashed, "Ed" legacy
  std::string keyId;
  std::string signature;
  std::string trustedComment;
  std::string globalSignature;
};

// The parts of a .minisig file; nullopt when any line is missing, extra or malformed.
std::optional<MinisignSignature> ParseMinisignSignature(const std::string& file)
{
  if (file.size() > MaxSignatureFileBytes)
    return std::nullopt;
  const std::vector<std::string> lines = SplitLines(file);
  if (lines.size() != 4 || !StartsWith(lines[0], UntrustedPrefix) || !StartsWith(lines[2], TrustedPrefix))
    return std::nullopt;
  const auto body = DecodeExactly(lines[1], 2 + KeyIdBytes + SignatureBytes);
  const auto global = DecodeExactly(lines[3], SignatureBytes);
  if (!body || !global)
    return std::nullopt;
  MinisignSignature parts{body->substr(0, 2), body->substr(2, KeyIdBytes), body->substr(2 + KeyIdBytes),
                          lines[2].substr(TrustedPrefix.size()), *global};
  if (parts.algorithm != "ED" && parts.algorithm != "Ed")
    return std::nullopt;
  return parts;
}

MinisignResult Failure(const char* reason)
{
  MinisignResult result;
  result.reason = reason;
  return result;
}
}  // namespace

std::optional<std::string> TrustedCommentField(const std::string& comment, const std::string& name)
{
  const std::string prefix = name + ':';
  size_t start = 0;
  for (;;) {
    const size_t end = comment.find_first_of("\t ", start);
    const std::string field = comment.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (StartsWith(field, prefix))
      return field.substr(prefix.size());
    if (end == std::string::npos)
      return std::nullopt;
    start = end + 1;
  }
}

std::optional<std::int64_t> UnixTimeOf(const std::string& value)
{
  bool ok = !value.empty() && value.size() <= 18;
  for (const char c : value)
    ok = ok && c >= '0' && c <= '9';
  return ok ? std::optional<std::int64_t>(std::stoll(value)) : std::nullopt;
}

bool ParseSha256Hex(const std::string& text, std::string* raw)
{
  if (text.size() != 64)
    return false;
  for (const char c : text) {
    if (!IsHexDigit(c))
      return false;
  }
  raw->clear();
  for (size_t i = 0; i < text.size(); i += 2)
    *raw += char(HexValue(text[i]) << 4 | HexValue(text[i + 1]));
  return true;
}

std::string HexOf(const std::string& bytes)
{
  static const char Digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const unsigned char c : bytes) {
    hex += Digits[c >> 4];
    hex += Digits[c & 15];
  }
  return hex;
}

std::optional<MinisignPublicKey> ParseMinisignPublicKey(const std::string& text)
{
  std::vector<std::string> lines = SplitLines(Trimmed(text));
  if (lines.size() == 2 && StartsWith(lines[0], "untrusted comment:"))
    lines.erase(lines.begin());
  if (lines.size() != 1)
    return std::nullopt;
  const auto decoded = DecodeExactly(Trimmed(lines[0]), 2 + KeyIdBytes + KeyBytes);
  if (!decoded || !StartsWith(*decoded, "Ed"))
    return std::nullopt;
  return MinisignPublicKey{decoded->substr(2, KeyIdBytes), decoded->substr(2 + KeyIdBytes)};
}

MinisignResult VerifyMinisign(const std::string& publicKey, const std::string& data, const std::string& signatureFile)
{
  const auto key = ParseMinisignPublicKey(publicKey);
  if (!key)
    return Failure("公钥格式错误");
  const auto parts = ParseMinisignSignature(signatureFile);
  if (!parts)
    return Failure("签名文件格式错误");
  if (parts->keyId != key->keyId)
    return Failure("签名所用的密钥与公钥不符");
  const bool prehashed = parts->algorithm == "ED";
  const std::string message = prehashed ? crypto_core::Blake2b512(data) : data;
  if (prehashed && message.empty())
    return Failure("无法计算 BLAKE2b 摘要");
  if (!crypto_core::VerifyEd25519(key->key, parts->signature, message))
    return Failure("签名与更新列表内容不符");
  if (!crypto_core::VerifyEd25519(key->key, parts->globalSignature, parts->signature + parts->trustedComment))
    return Failure("可信注释的签名无效");
  MinisignResult result;
  result.ok = true;
  result.trustedComment = parts->trustedComment;
  if (const auto timestamp = TrustedCommentField(result.trustedComment, "timestamp"))
    result.timestamp = UnixTimeOf(*timestamp);
  return result;
}
