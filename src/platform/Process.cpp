#include "platform/Process.h"

#include "platform/FileSys.h"
#include "platform/Events.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#ifdef Q_OS_WIN
#include <windows.h>
#include <tlhelp32.h>
#else
#include <csignal>
#include <cerrno>
#include <unistd.h>
#endif

namespace {
#ifndef Q_OS_WIN
bool IsGone(qint64 pid)
{
  if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
    return true;
  // A child that has ended but not yet been reaped still answers; it is gone all the same.
  QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
  if (!stat.open(QIODevice::ReadOnly))
    return true;
  const QByteArray text = stat.readAll();
  const qsizetype close = text.lastIndexOf(')');
  return close > 0 && text.mid(close + 2, 1) == "Z";
}

// Waits on the event loop, looking every 20 ms, until the process is gone or ms have passed.
bool WaitUntilGone(qint64 pid, int ms)
{
  QElapsedTimer clock;
  clock.start();
  QTimer tick;
  tick.start(20);
  while (!IsGone(pid)) {
    if (clock.elapsed() >= ms)
      return false;
    WaitForEvents();
  }
  return true;
}
#endif
}

QList<qint64> ProcessesRunning(const QString& path)
{
  QList<qint64> found;
#ifdef Q_OS_WIN
  const std::wstring wanted = QDir::toNativeSeparators(QFileInfo(NativePath(path)).absoluteFilePath()).toStdWString();
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE)
    return found;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
    if (!process)
      continue;
    wchar_t image[32768];
    DWORD size = 32768;
    if (QueryFullProcessImageNameW(process, 0, image, &size) && _wcsicmp(image, wanted.c_str()) == 0)
      found << qint64(entry.th32ProcessID);
    CloseHandle(process);
  }
  CloseHandle(snapshot);
#else
  const QString wanted = QFileInfo(NativePath(path)).absoluteFilePath();
  const QString deleted = wanted + QStringLiteral(" (deleted)");
  const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
  for (const QString& entry : entries) {
    bool numeric = false;
    const qint64 pid = entry.toLongLong(&numeric);
    if (!numeric || pid == qint64(::getpid()))
      continue;
    const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(entry));
    if (exe == wanted || exe == deleted)
      found << pid;
  }
#endif
  return found;
}

bool EndProcess(qint64 pid, int graceMs)
{
#ifdef Q_OS_WIN
  Q_UNUSED(graceMs);
  HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, DWORD(pid));
  if (!process)
    return false;
  const bool ended = TerminateProcess(process, 1) && WaitForSingleObject(process, 5000) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
#else
  if (IsGone(pid))
    return true;
  if (::kill(pid_t(pid), SIGTERM) != 0)
    return IsGone(pid);
  if (WaitUntilGone(pid, graceMs))
    return true;
  ::kill(pid_t(pid), SIGKILL);
  return WaitUntilGone(pid, 2000);
#endif
}
