// Download, install and hand-over.
#include "frmUpdate/frmUpdate.h"

#include "frmUpdate/frmUpdateHandler.h"
#include "modules/modDownload.h"
#include "modules/modPublic.h"
#include "platform/Crypto.h"
#include "platform/FileSys.h"
#include "platform/Log.h"
#include "platform/Process.h"

#include <algorithm>
#include <cstdlib>

namespace {
constexpr std::int64_t WriteBackBytes = 8 * 1024 * 1024;

// A file that could not be downloaded whole; reason says why. wrong: what arrived is known
// to be wrong, so its ".tmp" goes.
struct DownloadFailed {
  std::string reason;
  bool wrong = false;
  bool resumed = false;  // it continued a kept part
};

std::string WriteFailed(const std::string& path, const std::string& reason)
{
  return "无法写入 " + NativePath(path) + "：" + reason;
}

// Ends the file's download when reason is not empty.
void Refuse(const std::string& reason, bool wrong = false)
{
  if (!reason.empty())
    throw DownloadFailed{reason, wrong};
}

// The same file name as the list and the install record may spell it.
bool SameName(std::string a, std::string b)
{
  std::replace(a.begin(), a.end(), '/', '\\');
  std::replace(b.begin(), b.end(), '/', '\\');
  return a == b;
}

// Cancels the request when it goes out of scope.
struct CancelOnExit {
  Inet& client;
  ~CancelOnExit() { client.Cancel(); }
};
}  // namespace

void frmUpdate::cmdUpdate_Click()
{
  pbUpdate->SetVisible(true);
  cmdFinish->SetEnabled(false);
  pbUpdate->SetValue(0);
  m_progress = 0;
  // A second click would write the same ".tmp" files twice.
  cmdUpdate->SetEnabled(false);

  // The record of this run reaches the disk before its first ".tmp" file does.
  m_installer = std::make_unique<Installer>();
  const std::vector<std::string> names = FilesToDownload();
  // Read before the new record replaces it: the validators the kept bytes came with.
  m_kept = m_installer->KeptParts();
  const std::string recordFailure = m_installer->BeginDownload(names, KeepableFiles());
  if (!recordFailure.empty()) {
    EndFailedUpdate("文件下载失败：" + NativePath(AppPath()) + "\r\n" + recordFailure
                    + "\r\n未更新任何文件。");
    return;
  }

  try {
    DownloadFiles();
    if (!MainProgramStopped()) {
      RemoveTemporaryFiles();
      StopUpdate();
      return;
    }
  } catch (const DownloadFailed& failure) {
    RemoveTemporaryFiles();
    EndFailedUpdate("文件下载失败：" + strCurrentFileName + "\r\n" + failure.reason + "\r\n未更新任何文件。");
    return;
  } catch (const RunEnded&) {
    // Closed or unloaded mid-download: nothing gets installed.
    RemoveTemporaryFiles();
    throw;
  }

  if (!InstallFiles())
    return;
  SetProgress(100);
  pbUpdate->SetValue(100);
  lvUpdateList.Mirror();
  SetUiState(6);
  LogEvent("更新完成");
  FlushLog();
}

void frmUpdate::DownloadFiles()
{
  for (int i = 1; i <= lvUpdateList.Count(); ++i) {
    const bool downloaded = DownloadRow(i);
    SetRowText(i, 3, "100%");
    if (downloaded)
      PumpEventsPaced();
  }
}

// Downloads the file of row index into its ".tmp"; false when it is already in place. A part
// kept by an earlier run is continued; should the whole then fail its hash, the file is
// fetched once more from zero.
bool frmUpdate::DownloadRow(int index)
{
  strCurrentFileName = RowText(index, 0);
  lngCurrentFileSize = std::strtoll(RowText(index, 4).c_str(), nullptr, 10);
  SetStatusText("正在更新：" + strCurrentFileName + " ...");
  if (lvUpdateList.Row(index).unchanged) {
    LogEvent("未变化，不下载：" + strCurrentFileName);
    return false;
  }
  const Installer::KeptPart* kept = KeptPartOf(index);
  try {
    if (!kept)
      FetchFile(index, 0, std::string());
    else if (!KeptPartComplete(index))
      FetchFile(index, kept->received == kept->size ? 0 : kept->received, kept->validator);
  } catch (const DownloadFailed& failure) {
    if (!failure.wrong || !failure.resumed)
      throw;
    LogEvent("续传的文件有误，重新下载：" + strCurrentFileName);
    FetchFile(index, 0, std::string());
  }
  const std::string unknown = m_installer->Downloaded(strCurrentFileName);
  if (!unknown.empty())
    throw DownloadFailed{unknown};
  LogEvent("已下载：" + strCurrentFileName + "（" + std::to_string(intClient->BytesReceived()) + " 字节）");
  return true;
}

// Asks for the file from byte from on (the whole file when 0) and saves what arrives.
void frmUpdate::FetchFile(int index, std::int64_t from, const std::string& validator)
{
  intClient->URL = FileUrl(strUpdateUrl, strCurrentFileName);
  if (from > 0)
    intClient->ExecuteFrom(intClient->URL, from, validator);
  else
    intClient->Execute(intClient->URL, "GET");
  intClient->Wait();
  try {
    SaveDownload(index, from);
  } catch (DownloadFailed& failure) {
    if (failure.wrong)
      m_installer->DropPart(strCurrentFileName);
    failure.resumed = intClient->StatusCode() == 206;
    throw;
  }
}

// The files whose ".tmp" a cut download keeps: pinned by the list, with a validator to ask
// the server whether the rest still belongs to the same bytes.
std::vector<Installer::Keepable> frmUpdate::KeepableFiles() const
{
  std::vector<Installer::Keepable> files;
  for (int i = 1; i <= lvUpdateList.Count(); ++i) {
    const FileRow& row = lvUpdateList.Row(i);
    const FileExpectation& expected = row.expected;
    if (!row.unchanged && expected.listedSize > 0 && !expected.listedHash.empty() && !expected.validator.empty())
      files.push_back({row.text[0], expected.listedSize, expected.listedHash, expected.validator});
  }
  return files;
}

// The part an earlier run kept of row index's file, when it may be continued: the list
// still pins the same size and hash.
const Installer::KeptPart* frmUpdate::KeptPartOf(int index) const
{
  const FileRow& row = lvUpdateList.Row(index);
  const FileExpectation& expected = row.expected;
  if (expected.validator.empty())
    return nullptr;
  for (const Installer::KeptPart& part : m_kept)
    if (SameName(part.name, row.text[0]) && part.size == expected.listedSize && part.sha256 == expected.listedHash
        && part.received <= part.size)
      return &part;
  return nullptr;
}

// True when the kept part of row index's file is all of it, as listed: nothing to ask for.
// A whole part that is wrong goes.
bool frmUpdate::KeptPartComplete(int index)
{
  const FileExpectation& expected = lvUpdateList.Row(index).expected;
  const Installer::KeptPart* kept = KeptPartOf(index);
  if (kept->received != expected.listedSize)
    return false;
  std::string digest;
  const std::string path = AppPath() + '\\' + TemporaryName(strCurrentFileName);
  if (Sha256OfFile(path, &digest).empty() && digest == expected.listedHash)
    return true;
  m_installer->DropPart(strCurrentFileName);
  return false;
}

// The rows' files that must be downloaded: all but those the folder already holds as listed.
std::vector<std::string> frmUpdate::FilesToDownload()
{
  std::vector<std::string> names;
  for (int i = 1; i <= lvUpdateList.Count(); ++i) {
    const bool unchanged = IsUnchanged(i);
    lvUpdateList.Row(i).unchanged = unchanged;
    if (!unchanged)
      names.push_back(RowText(i, 0));
  }
  return names;
}

void frmUpdate::SaveDownload(int index, std::int64_t from)
{
  // However this ends, the request goes with it: a refused body is never read to its end.
  const CancelOnExit cancel{*intClient};
  const FileExpectation& expected = lvUpdateList.Row(index).expected;
  // An error page or a failed request is never saved as a file.
  Refuse(CheckAnswer(*intClient, expected, from));
  Refuse(PrepareFolder(AppPath(), strCurrentFileName));
  // A 206 continues the kept part; any other answer carries the whole file.
  const bool resumed = intClient->StatusCode() == 206;

  const std::string temporaryPath = AppPath() + '\\' + TemporaryName(strCurrentFileName);
  OutputFile file;
  Sha256Worker hasher;
  if (!expected.listedHash.empty())
    file.HashWith(&hasher);
  std::int64_t kept = 0;
  std::string failure = resumed ? file.Continue(temporaryPath, &kept) : file.Open(temporaryPath);
  if (!failure.empty())
    throw DownloadFailed{WriteFailed(temporaryPath, failure)};
  if (resumed && kept != from)
    throw DownloadFailed{"保留的部分已改变（应为 " + std::to_string(from) + " 字节，实为 " + std::to_string(kept) + " 字节）", true};
  const std::int64_t total = ReceiveBody(index, file, temporaryPath, kept);

  const std::string cut = intClient->FailureReason();
  if (!cut.empty()) {
    // What arrived goes to the disk, for the next run to continue from.
    file.Close();
    Refuse(cut);
  }
  Refuse(CheckWhole(*intClient, total, expected), true);
  // A full disk often shows only when the last buffered data is written out.
  failure = file.Close();
  if (!failure.empty())
    throw DownloadFailed{WriteFailed(temporaryPath, failure)};
  // The hash has seen every block, the kept ones first, once the file is closed.
  if (!expected.listedHash.empty())
    Refuse(CheckDigest(hasher.Finish(), expected), true);
}

// Writes the answer's body to file piece by piece after the total bytes already there, with
// the progress in row index and the bar. Returns the file's bytes; stops as soon as they pass
// a known size.
std::int64_t frmUpdate::ReceiveBody(int index, OutputFile& file, const std::string& path, std::int64_t total)
{
  const FileExpectation& expected = lvUpdateList.Row(index).expected;
  int lastPercent = lngCurrentFileSize > 0 ? ProgressPercent(total, lngCurrentFileSize) : 0;
  if (lastPercent > 0) {
    SetRowText(index, 3, std::to_string(lastPercent));
    SetProgress(lastPercent);
  }
  for (;;) {
    PumpEventsPaced();
    const std::string chunk = intClient->GetChunk(1024);
    if (chunk.empty())
      return total;
    total += chunk.size();
    Refuse(CheckSoFar(total, expected), true);
    std::string failure = file.Write(chunk.data(), chunk.size());
    // Write-back overlaps the download, so the sync before install is short.
    if (failure.empty() && total % WriteBackBytes < static_cast<std::int64_t>(chunk.size()))
      failure = file.StartWriteBack();
    if (!failure.empty())
      throw DownloadFailed{WriteFailed(path, failure)};
    if (lngCurrentFileSize > 0) {
      const int percent = ProgressPercent(total, lngCurrentFileSize);
      if (percent >= lastPercent + 1) {
        SetRowText(index, 3, std::to_string(percent));
        SetProgress(percent);
        lastPercent = percent;
      }
    }
  }
}

// True when the list pins the row's file down and the program folder already holds exactly
// that file: then there is nothing to download.
bool frmUpdate::IsUnchanged(int index) const
{
  const FileExpectation& expected = lvUpdateList.Row(index).expected;
  const std::string target = AppPath() + '\\' + RowText(index, 0);
  if (expected.listedHash.empty() || !IsPlainFile(target))
    return false;
  if (expected.listedSize >= 0 && FileSize(target) != expected.listedSize)
    return false;
  std::string local;
  return Sha256OfFile(target, &local).empty() && local == expected.listedHash;
}

// An event pass costs a system call and often a repaint; one per 1 KiB piece or per small
// file halved the throughput. Every 10 ms keeps the window just as responsive, and
// GetChunk waits on the event loop whenever no data is there anyway.
void frmUpdate::PumpEventsPaced()
{
  const auto now = std::chrono::steady_clock::now();
  if (m_lastEvents && now - *m_lastEvents < std::chrono::milliseconds(10)) {
    if (m_unloaded)
      throw RunEnded{};
    return;
  }
  // The bar and the list view are brought up to date here, once per pass, rather than at
  // every percent of every file.
  if (pbUpdate->Value() != m_progress)
    pbUpdate->SetValue(m_progress);
  lvUpdateList.Mirror();
  PumpEvents();
  m_lastEvents = std::chrono::steady_clock::now();
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
  for (int i = 1; i <= lvUpdateList.Count(); ++i)
    if (!lvUpdateList.Row(i).unchanged)
      items.push_back({RowText(i, 0), AppPath() + '\\' + RowText(i, 0) == strRunApp});
  std::string failedName, reason;
  const bool installed = m_installer->Install(items, &failedName, &reason);
  m_installer.reset();
  if (!installed) {
    EndFailedUpdate("文件安装失败：" + (failedName.empty() ? NativePath(AppPath()) : failedName) + "\r\n"
                    + reason + "\r\n已恢复原有文件。");
    return false;
  }
  LogEvent("已安装 " + std::to_string(items.size()) + " 个文件");
  RemoveFile(ListCopyPath());
  return true;
}

void frmUpdate::RemoveTemporaryFiles()
{
  // What arrived of the keepable files stays for the next run to continue.
  if (m_installer)
    m_installer->AbandonDownload(true);
  m_installer.reset();
}

// A main program that runs from the program folder would keep its old files busy (and,
// on Windows, locked): it is ended first, if the user agrees. False when it still runs.
bool frmUpdate::MainProgramStopped()
{
  if (strRunApp.empty())
    return true;
  const auto running = ProcessesRunning(strRunApp);
  if (running.empty())
    return true;
  const std::string question =
      "更新主程序：" + NativePath(strRunApp) + "正在运行!" + "\r\n" + "关闭此程序按[是]，终止更新按[否]";
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
  LogEvent("更新终止");
  SetStatusText("更新终止，请按[退出]");
  cmdFinish->SetCaption("退出");
  cmdFinish->SetEnabled(true);
  cmdUpdate->SetVisible(false);
}

void frmUpdate::EndFailedUpdate(const std::string& message)
{
  StopUpdate();
  MsgBox(message);
}

void frmUpdate::cmdFinish_Click()
{
  RemoveFile(ListCopyPath());
  if (!strRunApp.empty())
    LogEvent("启动主程序 " + NativePath(strRunApp));
  StartDetached(strRunApp, AppPath());
  Unload();
}
