#include "platform/Crypto.h"
#include "platform/FileSys.h"
#include "platform/common/CryptoCore.h"

#include <QFile>

#include <openssl/evp.h>

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>
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

struct Sha256Worker::Impl {
  static constexpr std::size_t QueueBlocks = 4;
  static constexpr std::int64_t ReadBytes = 1024 * 1024;

  void Run();
  void Start();
  bool HashFromFile(std::int64_t from, std::int64_t size, std::string& buffer);
  bool HasWork() const { return hashed < onDisk || !queue.empty(); }

  Sha256Hasher hasher;
  std::string first;                // the first block, until a second one comes
  bool hasFirst = false;
  std::thread thread;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> queue;    // blocks to hash, oldest first; they follow onDisk
  std::vector<std::string> spare;   // hashed blocks' buffers, for the caller to fill again
  int fd = -1;                      // the file followed, read back from
  std::int64_t onDisk = 0;          // bytes up to here that are not queued are read from fd
  std::int64_t hashed = 0;          // bytes the thread has taken
  bool failed = false;
  bool ending = false;
};

bool Sha256Worker::Impl::HashFromFile(std::int64_t from, std::int64_t size, std::string& buffer)
{
  buffer.resize(std::size_t(size));
  std::int64_t got = 0;
  while (got < size) {
    const ssize_t read = ::pread(fd, buffer.data() + got, std::size_t(size - got), off_t(from + got));
    if (read < 0 && errno == EINTR)
      continue;
    if (read <= 0)
      return false;
    got += read;
  }
  hasher.Add(buffer.data(), size);
  return true;
}

void Sha256Worker::Impl::Run()
{
  std::string buffer;
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    changed.wait(lock, [&] { return HasWork() || ending; });
    if (hashed < onDisk) {
      const std::int64_t from = hashed, size = std::min(onDisk - hashed, ReadBytes);
      lock.unlock();
      const bool read = HashFromFile(from, size, buffer);
      lock.lock();
      failed = failed || !read;
      hashed += size;
      continue;
    }
    if (queue.empty())
      return;
    std::string block = std::move(queue.front());
    queue.pop_front();
    onDisk += std::int64_t(block.size());
    hashed = onDisk;
    lock.unlock();
    hasher.Add(block.data(), std::int64_t(block.size()));
    block.clear();
    lock.lock();
    spare.push_back(std::move(block));
    changed.notify_all();
  }
}

void Sha256Worker::Impl::Start()
{
  thread = std::thread([this] { Run(); });
  if (hasFirst)
    queue.push_back(std::move(first));
  hasFirst = false;
}

Sha256Worker::Sha256Worker() : m_impl(std::make_unique<Impl>()) {}

Sha256Worker::~Sha256Worker()
{
  Finish();
  if (m_impl->fd >= 0)
    ::close(m_impl->fd);
}

void Sha256Worker::FollowFile(const std::string& path, std::int64_t alreadyThere)
{
  Impl& impl = *m_impl;
  impl.fd = ::open(QFile::encodeName(QString::fromStdString(NativePath(path))).constData(), O_RDONLY | O_CLOEXEC);
  impl.failed = impl.fd < 0;
  impl.onDisk = alreadyThere;
  if (alreadyThere > 0) {
    const std::lock_guard<std::mutex> lock(impl.mutex);
    impl.Start();
  }
}

void Sha256Worker::Add(std::string& block)
{
  Impl& impl = *m_impl;
  const std::size_t capacity = block.capacity();
  if (!impl.thread.joinable() && !impl.hasFirst) {
    impl.first.swap(block);
    impl.hasFirst = true;
    block.reserve(capacity);
    return;
  }
  std::unique_lock<std::mutex> lock(impl.mutex);
  if (!impl.thread.joinable())
    impl.Start();
  if (impl.fd >= 0 && impl.queue.size() >= Impl::QueueBlocks) {
    // Behind: the thread reads these bytes back from the file instead.
    for (std::string& queued : impl.queue)
      impl.onDisk += std::int64_t(queued.size());
    impl.onDisk += std::int64_t(block.size());
    impl.queue.clear();
    block.clear();
  } else {
    impl.changed.wait(lock, [&] { return impl.queue.size() < Impl::QueueBlocks; });
    impl.queue.push_back(std::move(block));
    block = std::string();
    if (!impl.spare.empty()) {
      block = std::move(impl.spare.back());
      impl.spare.pop_back();
    }
  }
  impl.changed.notify_all();
  lock.unlock();
  block.reserve(capacity);
}

std::string Sha256Worker::Finish()
{
  Impl& impl = *m_impl;
  if (impl.thread.joinable()) {
    {
      const std::lock_guard<std::mutex> lock(impl.mutex);
      impl.ending = true;
    }
    impl.changed.notify_all();
    impl.thread.join();
    impl.ending = false;
  }
  if (impl.hasFirst) {
    impl.hasher.Add(impl.first.data(), std::int64_t(impl.first.size()));
    impl.first.clear();
    impl.hasFirst = false;
  }
  const std::string digest = impl.hasher.Finish();
  return impl.failed ? std::string() : digest;
}

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
