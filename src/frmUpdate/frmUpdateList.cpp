// Building the file table: one row per listed file, each probed on the server.
#include "frmUpdate/frmUpdate.h"

#include "frmUpdate/frmUpdateHandler.h"
#include "engine/Names.h"
#include "modules/modPublic.h"
#include "platform/FileSys.h"
#include "platform/Log.h"

#include <QTreeWidget>

void frmUpdate::BuildUpdateList()
{
  xmlNode = RequireNode(*xmlDoc, "Files");
  lvUpdateList->clear();
  const XmlNode files = xmlNode;
  if (!CheckListNames(files))
    return;
  // Follows every check of the list, and comes before the first request for a file.
  if (!RecordAcceptedList())
    return;

  for (int i = 0; i < files.ChildCount(); ++i) {
    const ListedFile file = ReadListedFile(files.Child(i), i);
    auto* row = new QTreeWidgetItem(lvUpdateList);
    row->setText(0, QText(file.name));
    row->setText(1, QText(file.ver));
    // What the list pins down is checked while the file arrives.
    row->setData(1, ListedSizeRole, qint64(file.size));
    row->setData(1, ListedHashRole, QBytes(file.sha256));
    if (!ProbeFile(lvUpdateList->topLevelItemCount(), QText(file.name)))
      return;
  }

  if (lvUpdateList->topLevelItemCount() > 0) {
    xmlNode = RequireNode(*xmlDoc, "RunApp");
    strRunApp = AppFolder() + u'\\' + QText(xmlNode.Text());
    SetStatusText(QStringLiteral("发现更新文件 ，点【更新】开始更新..."));
    SetUiState(1);
  } else {
    SetStatusText(QStringLiteral("没有可用更新，点【完成】退出..."));
    SetUiState(2);
  }
  xmlDoc.reset();
}

// Checks every name of the list, the main program's among them, before any file is asked
// for. False, with the status text set, at the first name that cannot be installed.
bool frmUpdate::CheckListNames(const XmlNode& files)
{
  // Names come from the network: none may reach outside the program folder, neither by its
  // text nor through a linked folder.
  const auto staysInside = [](const QString& name) {
    return IsSafeRelativeName(StdText(name)) && StaysInsideFolder(AppPath(), StdText(name));
  };
  engine::CaseClashes clashes;
  for (int i = 0; i < files.ChildCount(); ++i) {
    const QString name = QText(ReadListedFile(files.Child(i), i).name);
    // Two names that Windows takes for one file: whichever came last would win there.
    if (!staysInside(name) || !clashes.Add(name.toStdString()).empty()) {
      StopForBadName(name);
      return false;
    }
  }
  // With no files the main program is never started, and the list need not name it.
  if (files.ChildCount() > 0) {
    const QString runApp = QText(RequireNode(*xmlDoc, "RunApp").Text());
    if (!staysInside(runApp)) {
      StopForBadName(runApp);
      return false;
    }
  }
  return true;
}

// Probes the file of row index (1-based) and records its size. False when the
// build must stop: the server does not have the file.
bool frmUpdate::ProbeFile(int index, const QString& name)
{
  intClient->Execute(FileUrl(StdText(strUpdateUrl), StdText(name)), "HEAD");
  intClient->Wait();
  if (IsMissingOnServer(*intClient)) {
    SetStatusText(QStringLiteral("服务器丢失 ") + name + QStringLiteral("文件，无法继续更新 ..."));
    LogEvent(StdText(StatusText()));
    return false;
  }
  const QString length = QText(intClient->GetHeader("Content-Length"));
  const qint64 size = ContentLengthOf(StdText(length));
  SetRowText(index, 4, QString::number(size == 0 ? 1 : size));
  // The size the server gave, if it gave one: the download must deliver exactly that.
  const bool reported = !length.isEmpty() && length.at(0).isDigit();
  lvUpdateList->topLevelItem(index - 1)->setData(4, ProbedSizeRole, reported ? size : qint64(-1));
  SetRowText(index, 2, QText(FormatFileSize(size)));
  SetRowText(index, 3, QStringLiteral("0%"));
  return true;
}

void frmUpdate::StopForBadName(const QString& name)
{
  SetStatusText(QStringLiteral("更新列表中的文件名无效：") + name + QStringLiteral("，无法继续更新 ..."));
  LogEvent(StdText(StatusText()));
}

QString frmUpdate::RowText(int index, int column) const
{
  return lvUpdateList->topLevelItem(index - 1)->text(column);
}

void frmUpdate::SetRowText(int index, int column, const QString& text)
{
  lvUpdateList->topLevelItem(index - 1)->setText(column, text);
}
