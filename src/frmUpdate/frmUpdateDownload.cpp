// Download, install and hand-over.
#include "frmUpdate/frmUpdate.h"

#include "frmUpdate/frmUpdateHandler.h"
#include "modules/modPublic.h"
#include "platform/Crypto.h"
#include "platform/FileSys.h"
#include "platform/Log.h"
#include "platform/Process.h"

#include <QProgressBar>
#include <QPushButton>
#include <QScopeGuard>
#include <QSet>
#include <QTreeWidget>

#include <vector>

namespace {
constexpr qint64 WriteBackBytes = 8 * 1024 * 1024;

// A file that could not be downloaded whole; reason says why.
struct DownloadFailed {
  QString reason;
};

QString SizeChanged(qint64 probed, qint64 now)
{
  return QStringLiteral("文件大小与检查时不同（检查时 %1 字节，下载时 %2 字节）").arg(probed).arg(now);
}

QString WrongSize(qint64 listed, qint64 now)
{
  return QStringLiteral("文件校验失败：大小不符（应为 %1 字节，实为 %2 字节）").arg(listed).arg(now);
}

QString TooLong(qint64 size)
{
  return QStringLiteral("文件校验失败：大小不符（应为 %1 字节，收到的已超过 %1 字节）").arg(size);
}

QString WriteFailed(const QString& path, const QString& reason)
{
  return QStringLiteral("无法写入 %1：%2").arg(ShownPath(path), reason);
}


}

void frmUpdate::cmdUpdate_Click()
{
  pbUpdate->show();
  cmdFinish->setEnabled(false);
  pbUpdate->setValue(0);
  m_progress = 0;
  // A second click would write the same ".tmp" files twice.
  cmdUpdate->setEnabled(false);

  // The record of this run reaches the disk before its first ".tmp" file does.
  m_installer = std::make_unique<Installer>();
  const QString recordFailure = QText(m_installer->BeginDownload(FilesToDownload()));
  if (!recordFailure.isEmpty()) {
    EndFailedUpdate(QStringLiteral("文件下载失败：") + ShownPath(AppFolder()) + QStringLiteral("\r\n") + recordFailure
                    + QStringLiteral("\r\n未更新任何文件。"));
    return;
  }

  try {
    const int rows = lvUpdateList->topLevelItemCount();
    for (int i = 1; i <= rows; ++i) {
      strCurrentFileName = RowText(i, 0);
      lngCurrentFileSize = RowText(i, 4).toLongLong();
      SetStatusText(QStringLiteral("正在更新：") + strCurrentFileName + QStringLiteral(" ..."));
      if (lvUpdateList->topLevelItem(i - 1)->data(0, UnchangedRole).toBool()) {
        LogEvent(StdText(QStringLiteral("未变化，不下载：") + strCurrentFileName));
        SetRowText(i, 3, QStringLiteral("100%"));
        continue;
      }
      intClient->URL = FileUrl(StdText(strUpdateUrl), StdText(strCurrentFileName));
      intClient->Execute(intClient->URL, "GET");
      intClient->Wait();
      SaveDownload(i);
      const QString unknown = QText(m_installer->Downloaded(StdText(strCurrentFileName)));
      if (!unknown.isEmpty())
        throw DownloadFailed{unknown};
      LogEvent(StdText(QStringLiteral("已下载：%1（%2 字节）").arg(strCurrentFileName).arg(intClient->BytesReceived())));
      SetRowText(i, 3, QStringLiteral("100%"));
      PumpEventsPaced();
    }
    if (!MainProgramStopped()) {
      RemoveTemporaryFiles();
      StopUpdate();
      return;
    }
  } catch (const DownloadFailed& failure) {
    RemoveTemporaryFiles();
    EndFailedUpdate(QStringLiteral("文件下载失败：") + strCurrentFileName + QStringLiteral("\r\n") + failure.reason
                    + QStringLiteral("\r\n未更新任何文件。"));
    return;
  } catch (const RunEnded&) {
    // Closed or unloaded mid-download: nothing gets installed.
    RemoveTemporaryFiles();
    throw;
  }

  if (!InstallFiles())
    return;
  SetProgress(100);
  pbUpdate->setValue(100);
  SetUiState(6);
  LogEvent(StdText(QStringLiteral("更新完成")));
  FlushLog();
}

// The rows' files that must be downloaded: all but those the folder already holds as listed.
std::vector<std::string> frmUpdate::FilesToDownload()
{
  std::vector<std::string> names;
  for (int i = 1; i <= lvUpdateList->topLevelItemCount(); ++i) {
    const bool unchanged = IsUnchanged(i);
    lvUpdateList->topLevelItem(i - 1)->setData(0, UnchangedRole, unchanged);
    if (!unchanged)
      names.push_back(StdText(RowText(i, 0)));
  }
  return names;
}

void frmUpdate::SaveDownload(int index)
{
  // However this ends, the request goes with it: a refused body is never read to its end.
  const auto cancel = qScopeGuard([this] { intClient->Cancel(); });
  // An error page or a failed request is never saved as a file.
  const QString answer = QText(intClient->AnswerFailure());
  if (!answer.isEmpty())
    throw DownloadFailed{answer};
  const QTreeWidgetItem* row = lvUpdateList->topLevelItem(index - 1);
  const qint64 probedSize = row->data(4, ProbedSizeRole).toLongLong();
  const qint64 listedSize = row->data(1, ListedSizeRole).toLongLong();
  const QByteArray listedHash = row->data(1, ListedHashRole).toByteArray();
  const std::string announced = intClient->GetHeader("Content-Length");
  if (!announced.empty()) {
    if (listedSize >= 0 && ContentLengthOf(announced) != listedSize)
      throw DownloadFailed{WrongSize(listedSize, ContentLengthOf(announced))};
    if (probedSize >= 0 && ContentLengthOf(announced) != probedSize)
      throw DownloadFailed{SizeChanged(probedSize, ContentLengthOf(announced))};
  }

  QString folderName = strCurrentFileName;
  folderName.replace(u'/', u'\\');
  // Checked again here: a folder may have been swapped for a link since the probe.
  if (!StaysInsideFolder(AppPath(), StdText(folderName)))
    throw DownloadFailed{QStringLiteral("文件夹链接到了程序文件夹之外")};
  MakeDir(AppPath() + '\\' + GetDirPart(StdText(folderName), "\\"));

  const QString temporaryPath = AppFolder() + u'\\' + strCurrentFileName + QStringLiteral(".tmp");
  OutputFile file;
  QString failure = QText(file.Open(StdText(temporaryPath)));
  if (!failure.isEmpty())
    throw DownloadFailed{WriteFailed(temporaryPath, failure)};

  qint64 total = 0;
  int lastPercent = 0;
  Sha256Hasher hasher;
  if (!listedHash.isEmpty())
    file.HashWith(&hasher);
  for (;;) {
    PumpEventsPaced();
    const std::string chunk = intClient->GetChunk(1024);
    if (chunk.empty())
      break;
    total += qint64(chunk.size());
    // A body past its known size could go on until the disk is full.
    if (listedSize >= 0 && total > listedSize)
      throw DownloadFailed{TooLong(listedSize)};
    if (probedSize >= 0 && total > probedSize)
      throw DownloadFailed{TooLong(probedSize)};
    failure = QText(file.Write(chunk.data(), qint64(chunk.size())));
    // Write-back overlaps the download, so the sync before install is short.
    if (failure.isEmpty() && total % WriteBackBytes < qint64(chunk.size()))
      failure = QText(file.StartWriteBack());
    if (!failure.isEmpty())
      throw DownloadFailed{WriteFailed(temporaryPath, failure)};
    if (lngCurrentFileSize > 0) {
      const int percent = ProgressPercent(total, lngCurrentFileSize);
      if (percent >= lastPercent + 1) {
        SetRowText(index, 3, QString::number(percent));
        SetProgress(percent);
        lastPercent = percent;
      }
    }
  }

  failure = QText(intClient->FailureReason());
  if (!failure.isEmpty())
    throw DownloadFailed{failure};
  if (listedSize >= 0 && total != listedSize)
    throw DownloadFailed{WrongSize(listedSize, total)};
  if (probedSize >= 0 && total != probedSize)
    throw DownloadFailed{SizeChanged(probedSize, total)};
  // A full disk often shows only when the last buffered data is written out.
  failure = QText(file.Close());
  if (!failure.isEmpty())
    throw DownloadFailed{WriteFailed(temporaryPath, failure)};
  // The hash has seen every block once the file is closed.
  if (!listedHash.isEmpty()) {
    const QByteArray received = QBytes(hasher.Finish());
    if (received != listedHash)
      throw DownloadFailed{QStringLiteral("文件校验失败：SHA-256 不符（应为 %1…，实为 %2…）")
                               .arg(QString::fromLatin1(listedHash.toHex().left(12)),
                                    QString::fromLatin1(received.toHex().left(12)))};
  }
}

// True when the list pins the row's file down and the program folder already holds exactly
// that file: then there is nothing to download.
bool frmUpdate::IsUnchanged(int index) const
{
  const QTreeWidgetItem* row = lvUpdateList->topLevelItem(index - 1);
  const QByteArray listedHash = row->data(1, ListedHashRole).toByteArray();
  const qint64 listedSize = row->data(1, ListedSizeRole).toLongLong();
  const std::string target = AppPath() + '\\' + StdText(RowText(index, 0));
  if (listedHash.isEmpty() || !IsPlainFile(target))
    return false;
  if (listedSize >= 0 && FileSize(target) != listedSize)
    return false;
  std::string local;
  return Sha256OfFile(target, &local).empty() && QBytes(local) == listedHash;
}

// An event pass costs a system call and often a repaint; one per 1 KiB piece or per small
// file halved the throughput. Every 10 ms keeps the window just as responsive, and
// GetChunk waits on the event loop whenever no data is there anyway.
void frmUpdate::PumpEventsPaced()
{
  if (m_sinceEvents.isValid() && m_sinceEvents.elapsed() < 10) {
    if (m_unloaded)
      throw RunEnded{};
    return;
  }
  // The bar is painted here, once per pass, rather than at every percent of every file.
  if (pbUpdate->value() != m_progress)
    pbUpdate->setValue(m_progress);
  PumpEvents();
  m_sinceEvents.start();
}

void frmUpdate::SetProgress(int percent)
{
  m_progress = percent;
}

// Puts every ".tmp" in place of its target: either every file is replaced, or none is. The
// install engine keeps a record on the disk, so that even a crash half-way leaves one or the other.
bool frmUpdate::InstallFiles()
{
  std::vector<Installer::Item> items;
  for (int i = 1; i <= lvUpdateList->topLevelItemCount(); ++i)
    if (!lvUpdateList->topLevelItem(i - 1)->data(0, UnchangedRole).toBool())
      items.push_back({StdText(RowText(i, 0)), AppFolder() + u'\\' + RowText(i, 0) == strRunApp});
  std::string failedName, reason;
  const bool installed = m_installer->Install(items, &failedName, &reason);
  m_installer.reset();
  if (!installed) {
    EndFailedUpdate(QStringLiteral("文件安装失败：") + (failedName.empty() ? ShownPath(AppFolder()) : QText(failedName))
                    + QStringLiteral("\r\n") + QText(reason) + QStringLiteral("\r\n已恢复原有文件。"));
    return false;
  }
  LogEvent(StdText(QStringLiteral("已安装 %1 个文件").arg(items.size())));
  RemoveFile(StdText(ListCopyPath()));
  return true;
}

void frmUpdate::RemoveTemporaryFiles()
{
  if (m_installer)
    m_installer->AbandonDownload();
  m_installer.reset();
}

// A main program that runs from the program folder would keep its old files busy (and,
// on Windows, locked): it is ended first, if the user agrees. False when it still runs.
bool frmUpdate::MainProgramStopped()
{
  if (strRunApp.isEmpty())
    return true;
  const auto running = ProcessesRunning(StdText(strRunApp));
  if (running.empty())
    return true;
  const QString question = QStringLiteral("更新主程序：") + ShownPath(strRunApp) + QStringLiteral("正在运行!")
                           + QStringLiteral("\r\n") + QStringLiteral("关闭此程序按[是]，终止更新按[否]");
  if (MsgBox(question, MsgBoxStyle::YesNoQuestion) != MsgBoxResult::Yes)
    return false;
  for (const auto& process : running)
    if (!EndProcess(*process, lngEndGraceMs))
      return false;
  // Closed while it waited for the program to end: nothing more is done.
  if (m_unloaded)
    throw RunEnded{};
  return true;
}

void frmUpdate::StopUpdate()
{
  LogEvent(StdText(QStringLiteral("更新终止")));
  SetStatusText(QStringLiteral("更新终止，请按[退出]"));
  cmdFinish->setText(QStringLiteral("退出"));
  cmdFinish->setEnabled(true);
  cmdUpdate->hide();
}

void frmUpdate::EndFailedUpdate(const QString& message)
{
  StopUpdate();
  MsgBox(message);
}

void frmUpdate::cmdFinish_Click()
{
  RemoveFile(StdText(ListCopyPath()));
  if (!strRunApp.isEmpty())
    LogEvent("启动主程序 " + NativePath(StdText(strRunApp)));
  StartDetached(StdText(strRunApp), AppPath());
  Unload();
}
