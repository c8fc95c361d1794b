// Building the file table: one row per listed file, each probed on the server.
#include "frmUpdate/frmUpdate.h"

#include "engine/Names.h"
#include "frmUpdate/frmUpdateHandler.h"
#include "modules/modDownload.h"
#include "modules/modPublic.h"
#include "platform/FileSys.h"
#include "platform/Log.h"

void frmUpdate::BuildUpdateList()
{
  xmlNode = RequireNode(*xmlDoc, "Files");
  lvUpdateList.Clear();
  lvUpdateList.Mirror();
  const XmlNode files = xmlNode;
  if (!CheckListNames(files))
    return;
  // Follows every check of the list, and comes before the first request for a file.
  if (!RecordAcceptedList())
    return;

  for (int i = 0; i < files.ChildCount(); ++i) {
    const ListedFile file = ReadListedFile(files.Child(i), i);
    FileRow row;
    row.text[0] = file.name;
    row.text[1] = file.ver;
    // What the list pins down is checked while the file arrives.
    row.expected.listedSize = file.size;
    row.expected.listedHash = file.sha256;
    const int index = lvUpdateList.Add(std::move(row));
    const bool probed = ProbeFile(index, file.name);
    if (!probed || i + 1 == files.ChildCount())
      lvUpdateList.Mirror();
    if (!probed)
      return;
  }

  if (lvUpdateList.Count() > 0) {
    xmlNode = RequireNode(*xmlDoc, "RunApp");
    strRunApp = AppPath() + '\\' + xmlNode.Text();
    SetStatusText("发现更新文件 ，点【更新】开始更新...");
    SetUiState(1);
  } else {
    SetStatusText("没有可用更新，点【完成】退出...");
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
  const auto staysInside = [](const std::string& name) {
    return IsSafeRelativeName(name) && StaysInsideFolder(AppPath(), name);
  };
  engine::CaseClashes clashes;
  for (int i = 0; i < files.ChildCount(); ++i) {
    const std::string name = ReadListedFile(files.Child(i), i).name;
    // Two names that Windows takes for one file: whichever came last would win there.
    if (!staysInside(name) || !clashes.Add(name).empty()) {
      StopForBadName(name);
      return false;
    }
  }
  // With no files the main program is never started, and the list need not name it.
  if (files.ChildCount() > 0) {
    const std::string runApp = RequireNode(*xmlDoc, "RunApp").Text();
    if (!staysInside(runApp)) {
      StopForBadName(runApp);
      return false;
    }
  }
  return true;
}

// Probes the file of row index (1-based) and records its size. False when the
// build must stop: the server does not have the file.
bool frmUpdate::ProbeFile(int index, const std::string& name)
{
  const ProbeResult probe = ProbeRemoteFile(*intClient, FileUrl(strUpdateUrl, name));
  if (probe.missing) {
    SetStatusText("服务器丢失 " + name + "文件，无法继续更新 ...");
    LogEvent(StatusText());
    return false;
  }
  SetRowText(index, 4, std::to_string(probe.size == 0 ? 1 : probe.size));
  // The size the server gave, if it gave one: the download must deliver exactly that.
  lvUpdateList.Row(index).expected.probedSize = probe.reported ? probe.size : -1;
  lvUpdateList.Row(index).expected.validator = probe.validator;
  SetRowText(index, 2, FormatFileSize(probe.size));
  SetRowText(index, 3, "0%");
  return true;
}

void frmUpdate::StopForBadName(const std::string& name)
{
  SetStatusText("更新列表中的文件名无效：" + name + "，无法继续更新 ...");
  LogEvent(StatusText());
}
