#include "platform/Crypto.h"
#include "platform/FileSys.h"

#include <QFile>
#include <QList>
#include <QRegularExpression>

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

Sha256Hasher::Sha256Hasher() : m_ctx(EVP_MD_CTX_new())
{
  Start();
}

Sha256Hasher::~Sha256Hasher()
{
  EVP_MD_CTX_free(m_ctx);
}

void Sha256Hasher::Start()
{
  m_failed = !m_ctx || EVP_DigestInit_ex(m_ctx, EVP_sha256(), nullptr) != 1;
}

void Sha256Hasher::Add(const char* data, qint64 size)
{
  if (!m_failed && size > 0)
    m_failed = EVP_DigestUpdate(m_ctx, data, size_t(size)) != 1;
}

QByteArray Sha256Hasher::Finish()
{
  QByteArray digest(32, '\0');
  unsigned int length = 0;
  if (m_failed || EVP_DigestFinal_ex(m_ctx, reinterpret_cast<unsigned char*>(digest.data()), &length) != 1
      || length != 32)
    digest.clear();
  Start();
  return digest;
}

QString Sha256OfFile(const QString& path, QByteArray* digest)
{
  const int fd = ::open(QFile::encodeName(NativePath(path)).constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return QString::fromLocal8Bit(std::strerror(errno));
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  // Large blocks keep the system-call cost far below the hashing cost.
  constexpr size_t BlockBytes = 1024 * 1024;
  const std::unique_ptr<char[]> buffer(new char[BlockBytes]);
  Sha256Hasher hasher;
  for (;;) {
    const ssize_t got = ::read(fd, buffer.get(), BlockBytes);
    if (got == 0)
      break;
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0) {
      const int error = errno;
      ::close(fd);
      return QString::fromLocal8Bit(std::strerror(error));
    }
    hasher.Add(buffer.get(), got);
  }
  ::close(fd);
  const QByteArray result = hasher.Finish();
  if (result.isEmpty())
    return QStringLiteral("无法计算 SHA-256");
  *digest = result;
  return QString();
}

namespace {
constexpr qsizetype KeyIdBytes = 8;
constexpr qsizetype KeyBytes = 32;
constexpr qsizetype SignatureBytes = 64;
// minisign caps a trusted comment near 8 KiB; anything much larger is not its file.
constexpr qsizetype MaxSignatureFileBytes = 16 * 1024;

const QByteArray UntrustedPrefix = "untrusted comment: ";
const QByteArray TrustedPrefix = "trusted comment: ";

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

bool IsHexDigit(char16_t c)
{
  return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

const unsigned char* Bytes(const QByteArray& data)
{
  return reinterpret_cast<const unsigned char*>(data.constData());
}

// The bytes that text encodes, only when it is the canonical base64 of exactly size bytes.
std::optional<QByteArray> DecodeExactly(const QByteArray& text, qsizetype size)
{
  const auto decoded = QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
  // Re-encoding rejects missing padding and stray low bits that a lenient decoder lets by.
  if (!decoded || decoded.decoded.size() != size || decoded.decoded.toBase64() != text)
    return std::nullopt;
  return decoded.decoded;
}

// The lines of text, each ended by "\n" or "\r\n"; the last one may lack its end.
QList<QByteArray> SplitLines(const QByteArray& text)
{
  QList<QByteArray> lines = text.split('\n');
  if (lines.size() > 1 && lines.last().isEmpty())
    lines.removeLast();
  for (QByteArray& line : lines) {
    if (line.endsWith('\r'))
      line.chop(1);
  }
  return lines;
}

struct MinisignSignature {
  QByteArray algorithm;       // "ED" prehashed, "Ed" legacy
  QByteArray keyId;
  QByteArray signature;
  QByteArray trustedComment;
  QByteArray globalSignature;
};

// The parts of a .minisig file; nullopt when any line is missing, extra or malformed.
std::optional<MinisignSignature> ParseMinisignSignature(const QByteArray& file)
{
  if (file.size() > MaxSignatureFileBytes)
    return std::nullopt;
  const QList<QByteArray> lines = SplitLines(file);
  if (lines.size() != 4 || !lines[0].startsWith(UntrustedPrefix) || !lines[2].startsWith(TrustedPrefix))
    return std::nullopt;
  const auto body = DecodeExactly(lines[1], 2 + KeyIdBytes + SignatureBytes);
  const auto global = DecodeExactly(lines[3], SignatureBytes);
  if (!body || !global)
    return std::nullopt;
  MinisignSignature parts{body->left(2), body->mid(2, KeyIdBytes), body->mid(2 + KeyIdBytes),
                          lines[2].mid(TrustedPrefix.size()), *global};
  if (parts.algorithm != "ED" && parts.algorithm != "Ed")
    return std::nullopt;
  return parts;
}

bool VerifyEd25519(const QByteArray& key, const QByteArray& signature, const QByteArray& message)
{
  const std::unique_ptr<EVP_PKEY, PkeyFree> pkey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, Bytes(key), size_t(key.size())));
  const std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  return pkey && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) == 1
         && EVP_DigestVerify(ctx.get(), Bytes(signature), size_t(signature.size()), Bytes(message),
                             size_t(message.size())) == 1;
}

// BLAKE2b-512 of data; empty when libcrypto failed.
QByteArray Blake2b512(const QByteArray& data)
{
  QByteArray digest(EVP_MAX_MD_SIZE, '\0');
  unsigned int length = 0;
  if (EVP_Digest(data.constData(), size_t(data.size()), reinterpret_cast<unsigned char*>(digest.data()),
                 &length, EVP_blake2b512(), nullptr) != 1)
    return QByteArray();
  digest.truncate(length);
  return digest;
}

MinisignResult Failure(const QString& reason)
{
  MinisignResult result;
  result.reason = reason;
  return result;
}
}

std::optional<QString> TrustedCommentField(const QString& comment, const QString& name)
{
  const QString prefix = name + u':';
  for (const QString& field : comment.split(QRegularExpression(QStringLiteral("[\t ]"))))
    if (field.startsWith(prefix))
      return field.mid(prefix.size());
  return std::nullopt;
}

std::optional<qint64> UnixTimeOf(const QString& value)
{
  bool ok = !value.isEmpty() && value.size() <= 18;
  for (const QChar c : value)
    ok = ok && c >= u'0' && c <= u'9';
  return ok ? std::optional<qint64>(value.toLongLong()) : std::nullopt;
}

bool ParseSha256Hex(const QString& text, QByteArray* raw)
{
  if (text.size() != 64)
    return false;
  for (const QChar c : text) {
    if (!IsHexDigit(c.unicode()))
      return false;
  }
  *raw = QByteArray::fromHex(text.toLatin1());
  return true;
}

std::optional<MinisignPublicKey> ParseMinisignPublicKey(const QString& text)
{
  QList<QByteArray> lines = SplitLines(text.trimmed().toUtf8());
  if (lines.size() == 2 && lines[0].startsWith("untrusted comment:"))
    lines.removeFirst();
  if (lines.size() != 1)
    return std::nullopt;
  const auto decoded = DecodeExactly(lines[0].trimmed(), 2 + KeyIdBytes + KeyBytes);
  if (!decoded || !decoded->startsWith("Ed"))
    return std::nullopt;
  return MinisignPublicKey{decoded->mid(2, KeyIdBytes), decoded->mid(2 + KeyIdBytes)};
}

MinisignResult VerifyMinisign(const QString& publicKey, const QByteArray& data,
                              const QByteArray& signatureFile)
{
  const auto key = ParseMinisignPublicKey(publicKey);
  if (!key)
    return Failure(QStringLiteral("公钥格式错误"));
  const auto parts = ParseMinisignSignature(signatureFile);
  if (!parts)
    return Failure(QStringLiteral("签名文件格式错误"));
  if (parts->keyId != key->keyId)
    return Failure(QStringLiteral("签名所用的密钥与公钥不符"));
  const bool prehashed = parts->algorithm == "ED";
  const QByteArray message = prehashed ? Blake2b512(data) : data;
  if (prehashed && message.isEmpty())
    return Failure(QStringLiteral("无法计算 BLAKE2b 摘要"));
  if (!VerifyEd25519(key->key, parts->signature, message))
    return Failure(QStringLiteral("签名与更新列表内容不符"));
  if (!VerifyEd25519(key->key, parts->globalSignature, parts->signature + parts->trustedComment))
    return Failure(QStringLiteral("可信注释的签名无效"));
  MinisignResult result;
  result.ok = true;
  result.trustedComment = QString::fromUtf8(parts->trustedComment);
  if (const auto timestamp = TrustedCommentField(result.trustedComment, QStringLiteral("timestamp")))
    result.timestamp = UnixTimeOf(*timestamp);
  return result;
}
