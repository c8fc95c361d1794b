// The Linux processes: /proc and pidfds (src/platform/win32/Process.cpp is the Windows one).
#include "platform/Process.h"

#include "platform/FileSys.h"
#include "platform/Events.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cerrno>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
// A pidfd reads as ready once its process has ended (a child not yet reaped included).
bool HasEnded(int pidfd)
{
  pollfd ready{pidfd, POLLIN, 0};
  return ::poll(&ready, 1, 0) > 0;
}

// Waits on the event loop until the process has ended or ms have passed.
bool WaitUntilEnded(int pidfd, int ms)
{
  if (HasEnded(pidfd))
    return true;
  QSocketNotifier ended(pidfd, QSocketNotifier::Read);
  bool timedOut = false;
  QTimer limit;
  limit.setSingleShot(true);
  QObject::connect(&limit, &QTimer::timeout, [&] { timedOut = true; });
  limit.start(ms);
  while (!HasEnded(pidfd) && !timedOut)
    WaitForEvents();
  return HasEnded(pidfd);
}

// 0 when the signal was sent; ESRCH when the process has ended; otherwise the error.
int Signal(int pidfd, int signal)
{
  return ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0) == 0 ? 0 : errno;
}

QString ExecutableOf(qint64 pid)
{
  return QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
}
}

RunningProcess::~RunningProcess()
{
  ::close(int(m_handle));
}

std::vector<std::unique_ptr<RunningProcess>> ProcessesRunning(const std::string& path)
{
  std::vector<std::unique_ptr<RunningProcess>> found;
  const QString wanted = QFileInfo(QString::fromStdString(NativePath(path))).absoluteFilePath();
  const QString deleted = wanted + QStringLiteral(" (deleted)");
  auto matches = [&](qint64 pid) {
    const QString exe = ExecutableOf(pid);
    return exe == wanted || exe == deleted;
  };
  const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
  for (const QString& entry : entries) {
    bool numeric = false;
    const qint64 pid = entry.toLongLong(&numeric);
    if (!numeric || pid == qint64(::getpid()) || !matches(pid))
      continue;
    const int pidfd = int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
    if (pidfd < 0)
      continue;
    // Looked at again through the pidfd's eyes: the id may have gone to another process in between.
    if (matches(pid) && !HasEnded(pidfd))
      found.push_back(std::make_unique<RunningProcess>(std::intptr_t(pidfd)));
    else
      ::close(pidfd);
  }
  return found;
}

bool EndProcess(RunningProcess& process, int graceMs)
{
  const int pidfd = int(process.Handle());
  const int error = Signal(pidfd, SIGTERM);
  if (error != 0)
    return error == ESRCH || HasEnded(pidfd);
  if (WaitUntilEnded(pidfd, graceMs))
    return true;
  Signal(pidfd, SIGKILL);
  return WaitUntilEnded(pidfd, 2000);
}
