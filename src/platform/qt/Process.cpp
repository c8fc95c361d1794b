#include "platform/Process.h"

#include "platform/FileSys.h"
#include "platform/Events.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <windows.h>
#include <tlhelp32.h>
#else
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cerrno>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {
#ifndef Q_OS_WIN
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
#endif
}

RunningProcess::~RunningProcess()
{
#ifdef Q_OS_WIN
  CloseHandle(HANDLE(m_handle));
#else
  ::close(int(m_handle));
#endif
}

std::vector<std::unique_ptr<RunningProcess>> ProcessesRunning(const std::string& path)
{
  std::vector<std::unique_ptr<RunningProcess>> found;
#ifdef Q_OS_WIN
  const std::wstring wanted = QDir::toNativeSeparators(QFileInfo(QString::fromStdString(NativePath(path))).absoluteFilePath()).toStdWString();
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE)
    return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    // The handle is kept: the image name is read through it, so it names this very process.
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                 entry.th32ProcessID);
    if (!process)
      continue;
    wchar_t image[32768];
    DWORD size = 32768;
    if (QueryFullProcessImageNameW(process, 0, image, &size) && _wcsicmp(image, wanted.c_str()) == 0)
      found.push_back(std::make_unique<RunningProcess>(std::intptr_t(process)));
    else
      CloseHandle(process);
  }
  CloseHandle(snapshot);
#else
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
#endif
  return found;
}

bool EndProcess(RunningProcess& process, int graceMs)
{
#ifdef Q_OS_WIN
  Q_UNUSED(graceMs);
  const HANDLE handle = HANDLE(process.Handle());
  if (WaitForSingleObject(handle, 0) == WAIT_OBJECT_0)
    return true;
  return TerminateProcess(handle, 1) && WaitForSingleObject(handle, 5000) == WAIT_OBJECT_0;
#else
  const int pidfd = int(process.Handle());
  const int error = Signal(pidfd, SIGTERM);
  if (error != 0)
    return error == ESRCH || HasEnded(pidfd);
  if (WaitUntilEnded(pidfd, graceMs))
    return true;
  Signal(pidfd, SIGKILL);
  return WaitUntilEnded(pidfd, 2000);
#endif
}
