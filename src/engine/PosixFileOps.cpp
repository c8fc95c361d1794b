// File operations on POSIX systems. Paths are used as the bytes they are.
#include "engine/FileOps.h"
#include "engine/Paths.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if __has_include(<sys/file.h>)
#include <sys/file.h>  // flock, where the system has it
#endif

namespace engine {

namespace {
constexpr off_t MaxReadBytes = 64 * 1024 * 1024;

std::string Reason(int error)
{
  return std::strerror(error);
}

// Opens path (with the extra open flags) and applies sync to it; 0, or the errno of what failed.
int SyncOpened(const std::string& path, int flags, int (*sync)(int))
{
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | flags);
  if (fd < 0)
    return errno;
  const int error = sync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return error;
}

// Puts the data of new files (relative to folder) on the disk; 0, or the errno of what failed.
int SyncNewFiles(const std::string& folder, const std::vector<std::string>& files)
{
#if defined(__linux__) && defined(_GNU_SOURCE)
  // One syncfs covers every file at once: far cheaper than an fsync per file.
  static_cast<void>(files);
  return SyncOpened(folder, O_DIRECTORY, ::syncfs);
#else
  for (const std::string& name : files)
    if (const int error = SyncOpened(folder + "/" + name, O_NOFOLLOW, ::fsync))
      return error;
  return 0;
#endif
}

std::string WriteAll(int fd, const std::string& data)
{
  const char* next = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, next, left);
    if (written < 0) {
      if (errno == EINTR)
        continue;
      return Reason(errno);
    }
    next += written;
    left -= std::size_t(written);
  }
  return "";
}

// The path with every link resolved; "" when it cannot be.
std::string RealPath(const std::string& path)
{
  char real[PATH_MAX];
  return ::realpath(path.c_str(), real) ? std::string(real) : std::string();
}

// Locks the open file for this process alone, without waiting; 0, or -1 with errno set.
int LockWhole(int fd)
{
#if defined(LOCK_EX) && defined(LOCK_NB)
  // flock belongs to the open file, so the system drops it when the process ends however it ends.
  return ::flock(fd, LOCK_EX | LOCK_NB);
#else
  // A record lock belongs to the process, which drops it on exit or when it closes the file.
  struct flock whole = {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  return ::fcntl(fd, F_SETLK, &whole);
#endif
}

class FileLock : public HeldLock {
public:
  explicit FileLock(int fd) : m_fd(fd) {}
  ~FileLock() override { ::close(m_fd); }

private:
  int m_fd;
};

class PosixFileOps : public FileOps {
public:
  std::string WriteDurably(const std::string& path, const std::string& data) override
  {
    const std::string temporary = path + TemporarySuffix;
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
      return Reason(errno);
    std::string failure = WriteAll(fd, data);
    if (failure.empty() && ::fsync(fd) != 0)
      failure = Reason(errno);
    if (::close(fd) != 0 && failure.empty())
      failure = Reason(errno);
    if (failure.empty() && ::rename(temporary.c_str(), path.c_str()) != 0)
      failure = Reason(errno);
    if (!failure.empty()) {
      ::unlink(temporary.c_str());
      return failure;
    }
    return FlushFolder(FolderOf(path));
  }

  std::string Read(const std::string& path, std::string* data) override
  {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      return Reason(errno);
    struct stat status;
    std::string failure;
    if (::fstat(fd, &status) != 0)
      failure = Reason(errno);
    else if (status.st_size > MaxReadBytes)
      failure = Reason(EFBIG);
    data->clear();
    char buffer[65536];
    while (failure.empty()) {
      const ssize_t got = ::read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR)
        continue;
      if (got < 0)
        failure = Reason(errno);
      else if (got == 0)
        break;
      else
        data->append(buffer, std::size_t(got));
    }
    ::close(fd);
    return failure;
  }

  std::string FlushNewFiles(const std::string& folder, const std::vector<std::string>& files) override
  {
    const int error = SyncNewFiles(folder, files);
    return error == 0 ? "" : Reason(error);
  }

  std::string FlushFolder(const std::string& folder) override
  {
    const int error = SyncOpened(folder, O_DIRECTORY, ::fsync);
    // Some file systems cannot flush a folder; their renames are as durable as they get.
    return error == 0 || error == EINVAL ? "" : Reason(error);
  }

  // A second name is made whole in one step. A copy could be cut short by a crash and then
  // be put back over the intact original, so where links fail the file is moved instead.
  std::string KeepAside(const std::string& path, const std::string& aside) override
  {
    // A folder where a file is to go is the user's: it is never moved, and the install fails.
    struct stat status;
    if (::lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
      return Reason(EISDIR);
    const std::string failure = Remove(aside);
    if (!failure.empty())
      return failure;
    if (::linkat(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), 0) == 0)
      return "";
    return Replace(path, aside);
  }

  std::string Replace(const std::string& from, const std::string& to) override
  {
    return ::rename(from.c_str(), to.c_str()) == 0 ? "" : Reason(errno);
  }

  std::string Remove(const std::string& path) override
  {
    return ::unlink(path.c_str()) == 0 || errno == ENOENT ? "" : Reason(errno);
  }

  bool Exists(const std::string& path) override
  {
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0;
  }

  std::string Identify(const std::string& path, FileIdentity* identity) override
  {
    struct stat status;
    if (::lstat(path.c_str(), &status) != 0)
      return Reason(errno);
    *identity = {static_cast<unsigned long long>(status.st_dev), static_cast<unsigned long long>(status.st_ino),
                 static_cast<long long>(status.st_size)};
    return "";
  }

  bool StaysInside(const std::string& folder, const std::string& name) override
  {
    const std::string root = RealPath(folder);
    if (root.empty())
      return false;
    std::string path = folder;
    for (std::string::size_type start = 0, slash; (slash = name.find('/', start)) != std::string::npos;
         start = slash + 1) {
      path += "/" + name.substr(start, slash - start);
      struct stat status;
      if (::lstat(path.c_str(), &status) != 0 && errno == ENOENT)
        return true;  // the rest would be created afresh, inside
      const std::string real = RealPath(path);
      if (real.empty() || (real != root && real.compare(0, root.size() + 1, root + "/") != 0))
        return false;
    }
    return true;
  }

  std::string TakeLock(const std::string& path, std::unique_ptr<HeldLock>* held, LockRefusal* refusal) override
  {
    *refusal = LockRefusal::None;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
      const int error = errno;
      *refusal = error == EACCES ? LockRefusal::Denied : LockRefusal::Other;
      return Reason(error);
    }
    while (LockWhole(fd) != 0) {
      if (errno == EINTR)
        continue;
      const int error = errno;
      ::close(fd);
      // A record lock held elsewhere reads as EACCES or EAGAIN.
      const bool busy = error == EWOULDBLOCK || error == EAGAIN || error == EACCES;
      *refusal = busy ? LockRefusal::Busy : LockRefusal::Other;
      return Reason(error);
    }
    *held = std::make_unique<FileLock>(fd);
    return "";
  }

  std::string AdoptPermissions(const std::string& path, const std::string& model, bool executable) override
  {
    mode_t mode = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;
    struct stat status;
    if (::stat(model.c_str(), &status) == 0 && S_ISREG(status.st_mode))
      mode = status.st_mode & 0777;
    if (executable) {
      if (mode & S_IRUSR)
        mode |= S_IXUSR;
      if (mode & S_IRGRP)
        mode |= S_IXGRP;
      if (mode & S_IROTH)
        mode |= S_IXOTH;
    }
    return ::chmod(path.c_str(), mode) == 0 ? "" : Reason(errno);
  }
};
}  // namespace

std::unique_ptr<FileOps> SystemFileOps()
{
  return std::make_unique<PosixFileOps>();
}

}  // namespace engine
