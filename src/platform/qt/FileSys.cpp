#include "platform/FileSys.h"

#include "platform/Crypto.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

namespace {
std::string& AppPathOverride()
{
  static std::string folder;
  return folder;
}

QString Native(const std::string& path)
{
  return QString::fromStdString(NativePath(path));
}

// The path's bytes as the system's file calls take them.
QByteArray SystemName(const std::string& path)
{
  return QFile::encodeName(Native(path));
}
}  // namespace

std::string AppPath()
{
  if (!AppPathOverride().empty())
    return AppPathOverride();
  return QDir::toNativeSeparators(QCoreApplication::applicationDirPath()).toStdString();
}

void SetAppPath(const std::string& folder)
{
  AppPathOverride() = folder;
}

std::string NativePath(const std::string& path)
{
  if (QDir::separator() == u'/') {
    std::string native = path;
    std::replace(native.begin(), native.end(), '\\', '/');
    return native;
  }
  return path;
}

bool PathHasEntry(const std::string& path, bool includeFolders)
{
  const QFileInfo info(Native(path));
  if (!info.exists())
    return false;
  return info.isFile() || (includeFolders && info.isDir());
}

bool MakeSureDirectoryPathExists(const std::string& path)
{
  const QString native = Native(path);
  const qsizetype last = native.lastIndexOf(u'/');
  if (last < 0)
    return true;
  const QString folder = native.left(last);
  return folder.isEmpty() || QDir().mkpath(folder);
}

bool ReadSmallFile(const std::string& path, std::int64_t maxBytes, std::string* data, std::string* reason)
{
  QFile file(Native(path));
  QString failure;
  if (!file.open(QIODevice::ReadOnly)) {
    failure = file.errorString();
  } else {
    *data = file.read(maxBytes + 1).toStdString();
    if (file.error() != QFileDevice::NoError)
      failure = file.errorString();
    else if (std::int64_t(data->size()) > maxBytes)
      failure = QStringLiteral("文件超过 %1 字节").arg(maxBytes);
  }
  if (reason)
    *reason = failure.toStdString();
  return failure.isEmpty();
}

bool RemoveFile(const std::string& path)
{
  QFile file(Native(path));
  return !file.exists() || file.remove();
}

std::string WriteFileAtomically(const std::string& path, const std::string& data)
{
  QSaveFile file(Native(path));
  if (!file.open(QIODevice::WriteOnly))
    return file.errorString().toStdString();
  if (file.write(data.data(), qint64(data.size())) != qint64(data.size()) || !file.commit())
    return file.errorString().toStdString();
  return std::string();
}

namespace {
constexpr std::size_t OutputBlockBytes = 256 * 1024;

std::string SystemReason(int error)
{
  return QString::fromLocal8Bit(std::strerror(error)).toStdString();
}
}  // namespace

struct OutputFile::Impl {
  std::string WriteOut();

  int fd = -1;
  std::string buffer;
  Sha256Worker* hasher = nullptr;
};

OutputFile::OutputFile() : m_impl(std::make_unique<Impl>()) {}

OutputFile::~OutputFile()
{
  if (m_impl->fd >= 0)
    ::close(m_impl->fd);
}

void OutputFile::HashWith(Sha256Worker* hasher)
{
  m_impl->hasher = hasher;
}

std::string OutputFile::Open(const std::string& path)
{
  // A file grown past the process's size limit then fails with a reason instead of ending the process.
  static const bool ignoreSizeSignal = (::signal(SIGXFSZ, SIG_IGN), true);
  Q_UNUSED(ignoreSizeSignal);
  const QByteArray native = SystemName(path);
  if (::unlink(native.constData()) != 0 && errno != ENOENT)
    return SystemReason(errno);
  m_impl->fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (m_impl->fd < 0)
    return SystemReason(errno);
  m_impl->buffer.reserve(OutputBlockBytes);
  if (m_impl->hasher)
    m_impl->hasher->FollowFile(path, 0);
  return std::string();
}

std::string OutputFile::Continue(const std::string& path, std::int64_t* size)
{
  *size = 0;
  m_impl->fd = ::open(SystemName(path).constData(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
  struct stat status;
  if (m_impl->fd < 0 || ::fstat(m_impl->fd, &status) != 0)
    return SystemReason(errno);
  *size = status.st_size;
  m_impl->buffer.reserve(OutputBlockBytes);
  if (m_impl->hasher)
    m_impl->hasher->FollowFile(path, *size);
  return std::string();
}

std::string OutputFile::Write(const char* data, std::int64_t size)
{
  if (m_impl->buffer.size() + std::size_t(size) > OutputBlockBytes) {
    const std::string failure = m_impl->WriteOut();
    if (!failure.empty())
      return failure;
  }
  m_impl->buffer.append(data, std::size_t(size));
  return std::string();
}

std::string OutputFile::Impl::WriteOut()
{
  const char* data = buffer.data();
  std::size_t left = buffer.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR)
        continue;
      return SystemReason(errno);
    }
    data += written;
    left -= std::size_t(written);
  }
  // The hasher takes the block and gives back an emptied one.
  if (hasher && !buffer.empty())
    hasher->Add(buffer);
  buffer.clear();
  return std::string();
}

std::string OutputFile::StartWriteBack()
{
  const std::string failure = m_impl->WriteOut();
#if defined(SYNC_FILE_RANGE_WRITE)
  if (failure.empty())
    ::sync_file_range(m_impl->fd, 0, 0, SYNC_FILE_RANGE_WRITE);
#endif
  return failure;
}

std::string OutputFile::Close()
{
  std::string failure = m_impl->WriteOut();
  if (::close(m_impl->fd) != 0 && failure.empty())
    failure = SystemReason(errno);
  m_impl->fd = -1;
  return failure;
}

bool StaysInsideFolder(const std::string& folder, const std::string& name)
{
  const QString root = QFileInfo(Native(folder)).canonicalFilePath();
  if (root.isEmpty())
    return false;
  QStringList folders = QString::fromStdString(name).replace(u'\\', u'/').split(u'/');
  folders.removeLast();
  QString path = Native(folder);
  for (const QString& segment : folders) {
    path += u'/' + segment;
    const QFileInfo entry(path);
    if (!entry.exists() && !entry.isSymLink())
      return true;  // the rest is created afresh, inside
    const QString real = entry.canonicalFilePath();
    if (real.isEmpty() || (real != root && !real.startsWith(root + u'/')))
      return false;
  }
  return true;
}

bool StartDetached(const std::string& program, const std::string& workDir)
{
  if (program.empty())
    return false;
  QProcess process;
  process.setProgram(Native(program));
  process.setWorkingDirectory(Native(workDir));
  return process.startDetached();
}

namespace fs = std::filesystem;

namespace {
fs::path FsPath(const std::string& path)
{
  return fs::path(SystemName(path).toStdString());
}

std::string Reason(const std::error_code& error)
{
  return QString::fromLocal8Bit(error.message().c_str()).toStdString();
}
}  // namespace

std::string RenameOver(const std::string& from, const std::string& to)
{
  std::error_code error;
  fs::rename(FsPath(from), FsPath(to), error);
  return error ? Reason(error) : std::string();
}

bool IsPlainFile(const std::string& path)
{
  struct stat status;
  return ::lstat(SystemName(path).constData(), &status) == 0 && S_ISREG(status.st_mode);
}

std::int64_t FileSize(const std::string& path)
{
  const QFileInfo info(Native(path));
  return info.exists() ? info.size() : -1;
}
