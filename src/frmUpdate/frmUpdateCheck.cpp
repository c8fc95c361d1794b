// The update check: fetching the list, comparing versions, showing the release notes.
#include "frmUpdate/frmUpdate.h"

#include "frmUpdate/frmUpdateHandler.h"
#include "modules/modPublic.h"
#include "modules/modSign.h"
#include "modules/modXml.h"
#include "platform/Crypto.h"
#include "platform/FileSys.h"
#include "platform/Log.h"

std::string frmUpdate::ListCopyPath() const
{
  return AppPath() + '\\' + strNewUpdList;
}

void frmUpdate::tmrGetUpdateList_Timer()
{
  tmrGetUpdateList->Stop();
  std::string failure;
  if (!DownloadFile(*intClient, strUpdateUrl, strUpdList, strNewUpdList, &failure)) {
    if (m_unloaded)
      return;
    if (!failure.empty())
      MsgBox(failure);
    MsgBox("获取服务器更新列表失败!", MsgBoxStyle::OkInformation, "提示");
    Unload();
    return;
  }
  // Read once: the bytes whose signature is checked are the bytes parsed.
  std::string list;
  std::string reason;
  if (!ReadXmlFile(ListCopyPath(), &list, &reason)) {
    ListNotLoaded(reason);
    return;
  }
  if (!strPublicKey.empty() && !CheckListSignature(list))
    return;
  if (!LoadXmlData(list, xmlDoc, &reason)) {
    ListNotLoaded(reason);
    return;
  }
  // A signed list that does not pin its files protects nothing.
  if (!strPublicKey.empty() && !PinsEveryFile()) {
    RefuseList("列表没有为每个文件给出 Size 和 Sha256");
    return;
  }

  xmlNode = RequireNode(*xmlDoc, "Version");
  LogEvent("服务器提供版本 " + xmlNode.Text());
  if (xmlNode.Text() == strVersion)
    Timer1->Start();
  else
    AppendNotes();
  BuildUpdateList();
}

// Each note of the list after the notes box's text, a blank line before each.
void frmUpdate::AppendNotes()
{
  xmlNode = RequireNode(*xmlDoc, "Updata");
  std::string notes = txtdata->Text();
  for (int i = 0; i < xmlNode.ChildCount(); ++i)
    notes +=
        "\r\n\r\n" + RequireAttribute(xmlNode.Child(i), "Updata", i, "Info");
  txtdata->SetText(notes);
}

std::string frmUpdate::StatePath() const
{
  return AppPath() + "\\MervoUpdate.state";
}

// Refuses the list unless the key's owner signed it, for this name, recently enough. The
// signature's time is kept until the list has passed every other check too.
bool frmUpdate::CheckListSignature(const std::string& list)
{
  MinisignResult signature;
  std::string reason = VerifyListSignature(*intClient, strUpdateUrl, SignatureName(strUpdList), list,
                                       strPublicKey, &signature);
  if (reason.empty())
    reason = CheckListFreshness(signature, strUpdList, BuiltInTrust().minListTime, StatePath());
  if (!reason.empty()) {
    RefuseList(reason);
    return false;
  }
  m_pendingListTime = signature.timestamp;
  return true;
}

// From now on a list signed earlier than the accepted one is refused.
bool frmUpdate::RecordAcceptedList()
{
  if (!m_pendingListTime)
    return true;
  const std::string failure = RecordListTime(StatePath(), *m_pendingListTime);
  m_pendingListTime.reset();
  if (failure.empty())
    return true;
  RefuseList("无法记录签名时间（" + failure + "）");
  return false;
}

// The boxes of a list copy that is missing, unreadable or not XML.
void frmUpdate::ListNotLoaded(const std::string& reason)
{
  if (!reason.empty())
    MsgBox("ERROR：" + reason);
  MsgBox(strNewUpdList + "没有发现!");
}

// A list whose signature does not hold is never acted on: the run ends as after a failed fetch.
void frmUpdate::RefuseList(const std::string& reason)
{
  if (m_unloaded)
    return;
  RemoveFile(ListCopyPath());
  MsgBox("更新列表签名无效：" + reason, MsgBoxStyle::OkInformation, "提示");
  Unload();
}

bool frmUpdate::PinsEveryFile() const
{
  const XmlNode files = RequireNode(*xmlDoc, "Files");
  for (int i = 0; i < files.ChildCount(); ++i) {
    const ListedFile file = ReadListedFile(files.Child(i), i);
    if (file.size < 0 || file.sha256.empty())
      return false;
  }
  return true;
}

void frmUpdate::Timer1_Timer()
{
  Timer1->Stop();
  MsgBox("当前Mervo已经是最新版本，无需更新！", MsgBoxStyle::OkInformation, "提示");
  Unload();
}

void frmUpdate::intClient_StateChanged(int state)
{
  if (state == Inet::icError && !m_unloaded)
    MsgBox("NetWork Error! Please make sure you computer online.");
}
