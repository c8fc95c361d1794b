#include "platform/FileSys.h"

#include "platform/Crypto.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>

#include <cerrno>
#include <filesystem>
#include <cstring>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
QString& AppPathOverride()
{
  static QString folder;
  return folder;
}
}

QString AppPath()
{
  if (!AppPathOverride().isEmpty())
    return AppPathOverride();
  return QDir::toNativeSeparators(QCoreApplication::applicationDirPath());
}

void SetAppPath(const QString& folder)
{
  AppPathOverride() = folder;
}

QString NativePath(const QString& path)
{
  if (QDir::separator() == u'/') {
    QString native = path;
    native.replace(u'\\', u'/');
    return native;
  }
  return path;
}

bool PathHasEntry(const QString& path, bool includeFolders)
{
  const QFileInfo info(NativePath(path));
  if (!info.exists())
    return false;
  return info.isFile() || (includeFolders && info.isDir());
}

bool MakeSureDirectoryPathExists(const QString& path)
{
  const QString native = NativePath(path);
  const qsizetype last = native.lastIndexOf(u'/');
  if (last < 0)
    return true;
  const QString folder = native.left(last);
  return folder.isEmpty() || QDir().mkpath(folder);
}

bool ReadSmallFile(const QString& path, qint64 maxBytes, QByteArray* data, QString* reason)
{
  QFile file(NativePath(path));
  QString failure;
  if (!file.open(QIODevice::ReadOnly)) {
    failure = file.errorString();
  } else {
    *data = file.read(maxBytes + 1);
    if (file.error() != QFileDevice::NoError)
      failure = file.errorString();
    else if (data->size() > maxBytes)
      failure = QStringLiteral("文件超过 %1 字节").arg(maxBytes);
  }
  if (reason)
    *reason = failure;
  return failure.isEmpty();
}

bool RemoveFile(const QString& path)
{
  const QString native = NativePath(path);
  QFile file(native);
  return !file.exists() || file.remove();
}

QString WriteFileAtomically(const QString& path, const QByteArray& data)
{
  QSaveFile file(NativePath(path));
  if (!file.open(QIODevice::WriteOnly))
    return file.errorString();
  if (file.write(data) != data.size() || !file.commit())
    return file.errorString();
  return QString();
}

namespace {
constexpr qsizetype OutputBlockBytes = 256 * 1024;

QString SystemReason(int error)
{
  return QString::fromLocal8Bit(std::strerror(error));
}
}

OutputFile::~OutputFile()
{
  if (m_fd >= 0)
    ::close(m_fd);
}

QString OutputFile::Open(const QString& path)
{
  // A file grown past the process's size limit then fails with a reason instead of ending the process.
  static const bool ignoreSizeSignal = (::signal(SIGXFSZ, SIG_IGN), true);
  Q_UNUSED(ignoreSizeSignal);
  const QByteArray native = QFile::encodeName(NativePath(path));
  if (::unlink(native.constData()) != 0 && errno != ENOENT)
    return SystemReason(errno);
  m_fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (m_fd < 0)
    return SystemReason(errno);
  m_buffer.reserve(OutputBlockBytes);
  return QString();
}

QString OutputFile::Write(const char* data, qint64 size)
{
  if (m_buffer.size() + size > OutputBlockBytes) {
    const QString failure = WriteOut();
    if (!failure.isEmpty())
      return failure;
  }
  m_buffer.append(data, qsizetype(size));
  return QString();
}

QString OutputFile::WriteOut()
{
  if (m_hasher)
    m_hasher->Add(m_buffer.constData(), m_buffer.size());
  const char* data = m_buffer.constData();
  qsizetype left = m_buffer.size();
  while (left > 0) {
    const ssize_t written = ::write(m_fd, data, size_t(left));
    if (written < 0) {
      if (errno == EINTR)
        continue;
      return SystemReason(errno);
    }
    data += written;
    left -= written;
  }
  m_buffer.resize(0);
  return QString();
}

QString OutputFile::StartWriteBack()
{
  const QString failure = WriteOut();
  if (failure.isEmpty())
    ::sync_file_range(m_fd, 0, 0, SYNC_FILE_RANGE_WRITE);
  return failure;
}

QString OutputFile::Close()
{
  QString failure = WriteOut();
  if (::close(m_fd) != 0 && failure.isEmpty())
    failure = SystemReason(errno);
  m_fd = -1;
  return failure;
}

bool StaysInsideFolder(const QString& folder, const QString& name)
{
  const QString root = QFileInfo(NativePath(folder)).canonicalFilePath();
  if (root.isEmpty())
    return false;
  QStringList folders = QString(name).replace(u'\\', u'/').split(u'/');
  folders.removeLast();
  QString path = NativePath(folder);
  for (const QString& segment : folders) {
    path += u'/' + segment;
    const QFileInfo entry(path);
    if (!entry.exists() && !entry.isSymLink())
      return true;   // the rest is created afresh, inside
    const QString real = entry.canonicalFilePath();
    if (real.isEmpty() || (real != root && !real.startsWith(root + u'/')))
      return false;
  }
  return true;
}

bool EntryExists(const QString& path)
{
  struct stat status;
  return ::lstat(QFile::encodeName(NativePath(path)).constData(), &status) == 0;
}

bool StartDetached(const QString& program, const QString& workDir)
{
  if (program.isEmpty())
    return false;
  QProcess process;
  process.setProgram(NativePath(program));
  process.setWorkingDirectory(NativePath(workDir));
  return process.startDetached();
}

namespace fs = std::filesystem;

namespace {
fs::path FsPath(const QString& path)
{
  return fs::path(QFile::encodeName(NativePath(path)).toStdString());
}

QString Reason(const std::error_code& error)
{
  return QString::fromLocal8Bit(error.message().c_str());
}
}

QString RenameOver(const QString& from, const QString& to)
{
  std::error_code error;
  fs::rename(FsPath(from), FsPath(to), error);
  return error ? Reason(error) : QString();
}


bool IsPlainFile(const QString& path)
{
  struct stat status;
  return ::lstat(QFile::encodeName(NativePath(path)).constData(), &status) == 0 && S_ISREG(status.st_mode);
}

qint64 FileSize(const QString& path)
{
  const QFileInfo info(NativePath(path));
  return info.exists() ? info.size() : -1;
}
