// The hashing thread both platforms share; only reading the followed file back is the system's.
#include "platform/Crypto.h"
#include "platform/common/CryptoCore.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

struct Sha256Worker::Impl {
  static constexpr std::size_t QueueBlocks = 4;
  static constexpr std::int64_t ReadBytes = 1024 * 1024;

  void Run();
  void Start();
  bool HashFromFile(std::int64_t from, std::int64_t size, std::string& buffer);
  bool HasWork() const { return hashed < onDisk || !queue.empty(); }
  bool Following() const { return file && file->IsOpen(); }

  Sha256Hasher hasher;
  std::string first;  // the first block, until a second one comes
  bool hasFirst = false;
  std::thread thread;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::string> queue;                  // blocks to hash, oldest first; they follow onDisk
  std::vector<std::string> spare;                 // hashed blocks' buffers, for the caller to fill again
  std::unique_ptr<crypto_core::FileReader> file;  // the file followed, read back from
  std::int64_t onDisk = 0;                        // bytes up to here that are not queued are read from file
  std::int64_t hashed = 0;                        // bytes the thread has taken
  bool failed = false;
  bool ending = false;
};

bool Sha256Worker::Impl::HashFromFile(std::int64_t from, std::int64_t size, std::string& buffer)
{
  buffer.resize(std::size_t(size));
  if (!Following() || !file->ReadAt(from, buffer.data(), size))
    return false;
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
}

void Sha256Worker::FollowFile(const std::string& path, std::int64_t alreadyThere)
{
  Impl& impl = *m_impl;
  impl.file = std::make_unique<crypto_core::FileReader>(path);
  impl.failed = !impl.Following();
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
  if (impl.Following() && impl.queue.size() >= Impl::QueueBlocks) {
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
