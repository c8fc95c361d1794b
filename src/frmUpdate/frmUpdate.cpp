#include "frmUpdate/frmUpdate.h"

#include "frmUpdate/frmUpdateHandler.h"
#include "modules/Module1.h"
#include "modules/modPublic.h"
#include "modules/modSign.h"
#include "platform/FileSys.h"
#include "platform/Installer.h"
#include "platform/Log.h"

#include <cstdlib>

namespace {
std::string ConfiguredUpdateUrl()
{
  if (const char* url = std::getenv("MERVO_UPDATE_URL"))
    return url;
  return MERVO_DEFAULT_UPDATE_URL;
}
}  // namespace

frmUpdate::frmUpdate() : m_window(NewWindow("frmUpdate"))
{
  m_window->SetTitle(AppTitle());
  m_window->SetClientSize(7245, 3855);
  CreateControls();
}

frmUpdate::~frmUpdate() = default;

// Created in tab order; lvUpdateList's view lies under txtdata.
void frmUpdate::CreateControls()
{
  m_window->AddBanner("picCompany", {135, 270, 1635, 2850}, "Mervo");
  lvUpdateList.SetView(m_window->AddListView("lvUpdateList", {1800, 270, 5280, 2850},
                                             {{"更新文件", 2100, false},
                                              {"版本号", 1200, false},
                                              {"文件大小", 1000, true},
                                              {"进度", 600, true},
                                              {"", 0, false}},
                                             "更新文件"));
  sbUpdateInfo = m_window->AddStatusBar("sbUpdateInfo", {0, 3570, 7245, 285}, "就绪");
  cmdFinish = m_window->AddButton("cmdFinish", "完成", {6030, 3195, 1050, 330});
  cmdFinish->OnClick([this] { Handle([this] { cmdFinish_Click(); }); });
  cmdUpdate = m_window->AddButton("cmdUpdate", "更新", {4905, 3195, 1050, 330});
  cmdUpdate->SetVisible(false);
  cmdUpdate->OnClick([this] { Handle([this] { cmdUpdate_Click(); }); });
  pbUpdate = m_window->AddProgressBar("pbUpdate", {135, 3150, 4650, 375}, "进度");
  pbUpdate->SetVisible(false);
  txtdata = m_window->AddTextBox("txtdata", {1800, 240, 5295, 2895}, "更新说明");

  tmrGetUpdateList = m_window->AddTimer("tmrGetUpdateList", 200);
  tmrGetUpdateList->OnTick([this] { Handle([this] { tmrGetUpdateList_Timer(); }); });
  Timer1 = m_window->AddTimer("Timer1", 1000);
  Timer1->OnTick([this] { Handle([this] { Timer1_Timer(); }); });

  intClient = std::make_unique<Inet>();
  intClient->OnStateChanged = [this](int state) { intClient_StateChanged(state); };
  // A download in progress learns of a close in its next wait, and removes its ".tmp" files.
  // The install never waits, so a close cannot land in the middle of it.
  m_window->OnClose([this] { Unload(); });
}

void frmUpdate::Form_Load()
{
  strUpdateUrl = ConfiguredUpdateUrl();
  strUpdList = ServerListName();
  strNewUpdList = "NewUpdList.xml";
  strCurrentFileName.clear();
  lngCurrentFileSize = 0;
  strPublicKey = ConfiguredPublicKey();
  LogEvent("启动，服务器 " + strUpdateUrl);
  if (!TakeRunLock() || !RecoverEarlierRun())
    return;
  if (!IsValidUpdateUrl(strUpdateUrl)) {
    MsgBox("更新服务器地址无效：" + strUpdateUrl);
    Unload();
    return;
  }

  const std::string iniPath = AppPath() + "/setup.ini";
  if (FileExists(iniPath, 0)) {
    SetIniFile(iniPath);
    strVersion = ReadIni("Mervo", "版本");
  }
  LogEvent("已安装版本 " + strVersion);
  SetUiState(0);
  tmrGetUpdateList->Start();
  m_window->ShowCentred();
}

// A second updater in the same folder would take this run's record for a crash and undo it
// under its feet. False when the run must end: another one is at work, or no lock can be made.
// The lock is the run's first write, so a folder the user may not write shows here, before
// anything is fetched.
bool frmUpdate::TakeRunLock()
{
  m_runLock = std::make_unique<RunLock>();
  if (m_runLock->Held())
    return true;
  const std::string failed = "无法在程序文件夹中创建锁文件：" + NativePath(AppPath()) + "\r\n" + m_runLock->Reason();
  if (m_runLock->Busy())
    MsgBox("更新程序已在运行。", MsgBoxStyle::OkInformation, "提示");
  else if (m_runLock->Denied() && CanRestartAsAdministrator())
    OfferAdministratorRestart(failed);
  else
    MsgBox(failed);
  Unload();
  return false;
}

// Yes hands the run to an updater started with administrator rights; No, or a restart the
// system refused, shows why the folder cannot be used.
void frmUpdate::OfferAdministratorRestart(const std::string& failed)
{
  const std::string question =
      "程序文件夹不可写入：" + NativePath(AppPath()) + "\r\n是否以管理员身份重新运行更新程序？";
  if (MsgBox(question, MsgBoxStyle::YesNoQuestion) == MsgBoxResult::No) {
    MsgBox(failed);
    return;
  }
  const std::string refused = RestartAsAdministrator();
  if (!refused.empty())
    MsgBox(failed + "\r\n" + refused);
}

// An update that a crash or a power cut interrupted is finished or undone before anything
// else. False when the run must end: its record cannot be trusted or not be carried out.
bool frmUpdate::RecoverEarlierRun()
{
  std::string reason;
  switch (RecoverInterruptedUpdate(&reason)) {
    case Interrupted::Nothing:
      return true;
    case Interrupted::DownloadDiscarded:
      LogEvent("上次更新在下载时中断，已删除下载的临时文件");
      return true;
    case Interrupted::RolledBack:
      MsgBox("上次更新未完成，已恢复原有文件。", MsgBoxStyle::OkInformation, "提示");
      return true;
    case Interrupted::Completed:
      MsgBox("上次更新已完成。", MsgBoxStyle::OkInformation, "提示");
      return true;
    case Interrupted::CleanedUp:
      LogEvent("已删除上次更新留下的旧副本");
      return true;
    case Interrupted::Damaged:
      MsgBox("更新记录已损坏：" + reason);
      break;
    case Interrupted::Unfinished:
      MsgBox("上次更新未能收尾：" + reason);
      break;
  }
  Unload();
  return false;
}

void frmUpdate::SetUiState(int state)
{
  switch (state) {
    case 0:
      cmdFinish->SetCaption("退出");
      tmrGetUpdateList->Stop();
      SetStatusText("正在获取更新列表，请稍候...");
      break;
    case 1:
      cmdUpdate->SetVisible(true);
      cmdFinish->SetCaption("取消");
      break;
    case 2:
      cmdFinish->SetCaption("完成");
      break;
    case 6:
      SetStatusText("更新完成！");
      cmdFinish->SetCaption("完成");
      cmdFinish->SetEnabled(true);
      cmdUpdate->SetVisible(false);
      break;
    default:
      break;
  }
}

void frmUpdate::Unload()
{
  if (m_unloaded)
    return;
  m_unloaded = true;
  tmrGetUpdateList->Stop();
  Timer1->Stop();
  intClient->Shutdown();
  m_window->Hide();
  FlushLog();
  if (Unloaded)
    Unloaded();
}

void frmUpdate::PumpEvents()
{
  DoEvents();
  if (m_unloaded)
    throw RunEnded{};
}
