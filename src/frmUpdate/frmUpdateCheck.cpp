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
  return AppPath() + u'\\' + strNewUpdList;
}

void frmUpdate::tmrGetUpdateList_Timer()
{
  tmrGetUpdateList->stop();
  QString failure;
  if (!DownloadFile(*intClient, strUpdateUrl, strUpdList, strNewUpdList, &failure)) {
    if (m_unloaded)
      return;
    if (!failure.isEmpty())
      MsgBox(failure);
    MsgBox(QStringLiteral("获取服务器更新列表失败!"), MsgBoxStyle::OkInformation, QStringLiteral("提示"));
    Unload();
    return;
  }
  // Read once: the bytes whose signature is checked are the bytes parsed.
  QByteArray list;
  QString reason;
  if (!ReadXmlFile(ListCopyPath(), &list, &reason)) {
    ListNotLoaded(reason);
    return;
  }
  if (!strPublicKey.isEmpty() && !CheckListSignature(list))
    return;
  if (!LoadXml(list, xmlDoc, &reason)) {
    ListNotLoaded(reason);
    return;
  }
  // A signed list that does not pin its files protects nothing.
  if (!strPublicKey.isEmpty() && !PinsEveryFile()) {
    RefuseList(QStringLiteral("列表没有为每个文件给出 Size 和 Sha256"));
    return;
  }

  xmlNode = RequireNode(*xmlDoc, QStringLiteral("Version"));
  LogEvent(StdText(QStringLiteral("服务器提供版本 ") + xmlNode.Text()));
  if (xmlNode.Text() == strVersion) {
    Timer1->start();
  } else {
    xmlNode = RequireNode(*xmlDoc, QStringLiteral("Updata"));
    QString notes = txtdata->Text();
    for (int i = 0; i < xmlNode.ChildCount(); ++i)
      notes += QStringLiteral("\r\n\r\n")
               + RequireAttribute(xmlNode.Child(i), QStringLiteral("Updata"), i, QStringLiteral("Info"));
    txtdata->SetText(notes);
  }
  BuildUpdateList();
}

QString frmUpdate::StatePath() const
{
  return AppPath() + QStringLiteral("\\MervoUpdate.state");
}

// Refuses the list unless the key's owner signed it, for this name, recently enough. The
// signature's time is kept until the list has passed every other check too.
bool frmUpdate::CheckListSignature(const QByteArray& list)
{
  MinisignResult signature;
  QString reason = VerifyListSignature(*intClient, strUpdateUrl, SignatureName(strUpdList), list, strPublicKey,
                                       &signature);
  if (reason.isEmpty())
    reason = CheckListFreshness(signature, strUpdList, BuiltInTrust().minListTime, StatePath());
  if (!reason.isEmpty()) {
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
  const QString failure = RecordListTime(StatePath(), *m_pendingListTime);
  m_pendingListTime.reset();
  if (failure.isEmpty())
    return true;
  RefuseList(QStringLiteral("无法记录签名时间（%1）").arg(failure));
  return false;
}

// The boxes of a list copy that is missing, unreadable or not XML.
void frmUpdate::ListNotLoaded(const QString& reason)
{
  if (!reason.isEmpty())
    MsgBox(QStringLiteral("ERROR：") + reason);
  MsgBox(strNewUpdList + QStringLiteral("没有发现!"));
}

// A list whose signature does not hold is never acted on: the run ends as after a failed fetch.
void frmUpdate::RefuseList(const QString& reason)
{
  if (m_unloaded)
    return;
  RemoveFile(ListCopyPath());
  MsgBox(QStringLiteral("更新列表签名无效：") + reason, MsgBoxStyle::OkInformation, QStringLiteral("提示"));
  Unload();
}

bool frmUpdate::PinsEveryFile() const
{
  const XmlNode files = RequireNode(*xmlDoc, QStringLiteral("Files"));
  for (int i = 0; i < files.ChildCount(); ++i) {
    const ListedFile file = ReadListedFile(files.Child(i), i);
    if (file.size < 0 || file.sha256.isEmpty())
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
