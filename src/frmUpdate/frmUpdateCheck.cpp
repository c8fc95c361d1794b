// The update check: fetching the list, comparing versions, showing the release notes.
#include "frmUpdate/frmUpdate.h"

#include "frmUpdate/frmUpdateHandler.h"
#include "modules/modPublic.h"
#include "modules/modSign.h"
#include "modules/modXml.h"
#include "platform/Crypto.h"
#include "platform/FileSys.h"
#include "platform/Log.h"
#include "platform/qt/TextBox.h"

#include <QTimer>

QString frmUpdate::ListCopyPath() const
{
  return AppFolder() + u'\\' + strNewUpdList;
}

void frmUpdate::tmrGetUpdateList_Timer()
{
  tmrGetUpdateList->stop();
  std::string failure;
  if (!DownloadFile(*intClient, StdText(strUpdateUrl), StdText(strUpdList), StdText(strNewUpdList), &failure)) {
    if (m_unloaded)
      return;
    if (!failure.empty())
      MsgBox(QText(failure));
    MsgBox(QStringLiteral("获取服务器更新列表失败!"), MsgBoxStyle::OkInformation, QStringLiteral("提示"));
    Unload();
    return;
  }
  // Read once: the bytes whose signature is checked are the bytes parsed.
  std::string list;
  std::string reason;
  if (!ReadXmlFile(StdText(ListCopyPath()), &list, &reason)) {
    ListNotLoaded(reason);
    return;
  }
  if (!strPublicKey.isEmpty() && !CheckListSignature(list))
    return;
  if (!LoadXmlData(list, xmlDoc, &reason)) {
    ListNotLoaded(reason);
    return;
  }
  // A signed list that does not pin its files protects nothing.
  if (!strPublicKey.isEmpty() && !PinsEveryFile()) {
    RefuseList(QStringLiteral("列表没有为每个文件给出 Size 和 Sha256"));
    return;
  }

  xmlNode = RequireNode(*xmlDoc, "Version");
  LogEvent("服务器提供版本 " + xmlNode.Text());
  if (QText(xmlNode.Text()) == strVersion) {
    Timer1->start();
  } else {
    xmlNode = RequireNode(*xmlDoc, "Updata");
    QString notes = txtdata->Text();
    for (int i = 0; i < xmlNode.ChildCount(); ++i)
      notes += QStringLiteral("\r\n\r\n")
               + QText(RequireAttribute(xmlNode.Child(i), "Updata", i, "Info"));
    txtdata->SetText(notes);
  }
  BuildUpdateList();
}

QString frmUpdate::StatePath() const
{
  return AppFolder() + QStringLiteral("\\MervoUpdate.state");
}

// Refuses the list unless the key's owner signed it, for this name, recently enough. The
// signature's time is kept until the list has passed every other check too.
bool frmUpdate::CheckListSignature(const std::string& list)
{
  MinisignResult signature;
  std::string reason = VerifyListSignature(*intClient, StdText(strUpdateUrl), SignatureName(StdText(strUpdList)),
                                           list, StdText(strPublicKey), &signature);
  if (reason.empty())
    reason = CheckListFreshness(signature, StdText(strUpdList), BuiltInTrust().minListTime, StdText(StatePath()));
  if (!reason.empty()) {
    RefuseList(QText(reason));
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
  const QString failure = QText(RecordListTime(StdText(StatePath()), *m_pendingListTime));
  m_pendingListTime.reset();
  if (failure.isEmpty())
    return true;
  RefuseList(QStringLiteral("无法记录签名时间（%1）").arg(failure));
  return false;
}

// The boxes of a list copy that is missing, unreadable or not XML.
void frmUpdate::ListNotLoaded(const std::string& reason)
{
  if (!reason.empty())
    MsgBox(QStringLiteral("ERROR：") + QText(reason));
  MsgBox(strNewUpdList + QStringLiteral("没有发现!"));
}

// A list whose signature does not hold is never acted on: the run ends as after a failed fetch.
void frmUpdate::RefuseList(const QString& reason)
{
  if (m_unloaded)
    return;
  RemoveFile(StdText(ListCopyPath()));
  MsgBox(QStringLiteral("更新列表签名无效：") + reason, MsgBoxStyle::OkInformation, QStringLiteral("提示"));
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
  Timer1->stop();
  MsgBox(QStringLiteral("当前Mervo已经是最新版本，无需更新！"), MsgBoxStyle::OkInformation, QStringLiteral("提示"));
  Unload();
}

void frmUpdate::intClient_StateChanged(int state)
{
  if (state == Inet::icError && !m_unloaded)
    MsgBox(QStringLiteral("NetWork Error! Please make sure you computer online."));
}
