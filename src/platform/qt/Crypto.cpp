#include "platform/Crypto.h"
#include "platform/FileSys.h"
#include "platform/common/CryptoCore.h"

#include <QFile>

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

struct Sha256Hasher::Impl {
  void Start() { failed = !ctx || EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1; }

  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool failed = false;
};

Sha256Hasher::Sha256Hasher() : m_impl(std::make_unique<Impl>())
{
  m_impl->Start();
}

Sha256Hasher::~Sha256Hasher()
{
  EVP_MD_CTX_free(m_impl->ctx);
}

void Sha256Hasher::Add(const char* data, std::int64_t size)
{
  if (!m_impl->failed && size > 0)
    m_impl->failed = EVP_DigestUpdate(m_impl->ctx, data, size_t(size)) != 1;
}

std::string Sha256Hasher::Finish()
{
  std::string digest(32, '\0');
  unsigned int length = 0;
  if (m_impl->failed
      || EVP_DigestFinal_ex(m_impl->ctx, reinterpret_cast<unsigned char*>(digest.data()), &length) != 1
      || length != 32)
    digest.clear();
  m_impl->Start();
  return digest;
}

namespace crypto_core {
FileReader::FileReader(const std::string& path)
    : m_handle(::open(QFile::encodeName(QString::fromStdString(NativePath(path))).constData(), O_RDONLY | O_CLOEXEC))
{
}

FileReader::~FileReader()
{
  if (m_handle >= 0)
    ::close(int(m_handle));
}

bool FileReader::IsOpen() const
{
  return m_handle >= 0;
}

bool FileReader::ReadAt(std::int64_t offset, char* data, std::int64_t size)
{
  std::int64_t got = 0;
  while (got < size) {
    const ssize_t read = ::pread(int(m_handle), data + got, std::size_t(size - got), off_t(offset + got));
    if (read < 0 && errno == EINTR)
      continue;
    if (read <= 0)
      return false;
    got += read;
  }
  return true;
}
}  // namespace crypto_core

namespace {
std::string SystemReason(int error)
{
  return QString::fromLocal8Bit(std::strerror(error)).toStdString();
}
}

std::string Sha256OfFile(const std::string& path, std::string* digest)
{
  const int fd = ::open(QFile::encodeName(QString::fromStdString(NativePath(path))).constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return SystemReason(errno);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  // Large blocks keep the system-call cost far below the hashing cost.
  // The thread hashes one block while the next is read.
  constexpr size_t BlockBytes = 1024 * 1024;
  std::string buffer;
  Sha256Worker hasher;
  for (;;) {
    buffer.resize(BlockBytes);
    const ssize_t got = ::read(fd, buffer.data(), BlockBytes);
    if (got == 0)
      break;
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0) {
      const int error = errno;
      ::close(fd);
      return SystemReason(error);
    }
    buffer.resize(size_t(got));
    hasher.Add(buffer);
  }
  ::close(fd);
  const std::string result = hasher.Finish();
  if (result.empty())
    return "无法计算 SHA-256";
  *digest = result;
  return std::string();
}

namespace {
struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};

const unsigned char* Bytes(const std::string& data)
{
  return reinterpret_cast<const unsigned char*>(data.data());
}
}  // namespace

namespace crypto_core {
bool VerifyEd25519(const std::string& key, const std::string& signature, const std::string& message)
{
  const std::unique_ptr<EVP_PKEY, PkeyFree> pkey(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, Bytes(key), key.size()));
  const std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  return pkey && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) == 1
         && EVP_DigestVerify(ctx.get(), Bytes(signature), signature.size(), Bytes(message), message.size()) == 1;
}

std::string Blake2b512(const std::string& data)
{
  std::string digest(EVP_MAX_MD_SIZE, '\0');
  unsigned int length = 0;
  if (EVP_Digest(data.data(), data.size(), reinterpret_cast<unsigned char*>(digest.data()), &length,
                 EVP_blake2b512(), nullptr) != 1)
    return std::string();
  digest.resize(length);
  return digest;
}
}  // namespace crypto_core
