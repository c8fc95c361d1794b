// Drives MervoUpdate.exe from outside through one whole update of its folder, as a user would,
// telling what its window shows: the Windows demo without a display (tools/demo.sh --windows).
//   demo_windows EXE BASEURL PUBLICKEY      (PUBLICKEY may be "")
// Without arguments it exits at once: the demo release ships it as the main program 完成 starts.
#include "../tests/windows/Outside.h"

namespace {
using namespace outside;

// The text of a control of the window (WM_GETTEXT crosses processes).
std::string ControlText(const Updater& updater, int id)
{
  const HWND control = GetDlgItem(WindowOf(updater, L"frmUpdate"), id);
  std::wstring text(SendMessageW(control, WM_GETTEXTLENGTH, 0, 0) + 1, L'\0');
  text.resize(SendMessageW(control, WM_GETTEXT, text.size(), LPARAM(text.data())));
  return Utf8(text);
}

// The list view's rows, their first four columns, read through a buffer in that process.
std::vector<std::vector<std::string>> ListRows(const Updater& updater)
{
  struct Remote {
    LVITEMW item;
    wchar_t text[512];
  };
  std::vector<std::vector<std::string>> rows;
  const HWND list = GetDlgItem(WindowOf(updater, L"frmUpdate"), 1002);
  auto* remote = static_cast<Remote*>(
      VirtualAllocEx(updater.process.hProcess, nullptr, sizeof(Remote), MEM_COMMIT, PAGE_READWRITE));
  if (!list || !remote)
    return rows;
  for (int row = 0; row < int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)); ++row) {
    rows.emplace_back();
    for (int column = 0; column < 4; ++column) {
      LVITEMW item{};
      item.iSubItem = column;
      item.pszText = remote->text;
      item.cchTextMax = 512;
      Remote local{};
      WriteProcessMemory(updater.process.hProcess, &remote->item, &item, sizeof item, nullptr);
      SendMessageW(list, LVM_GETITEMTEXTW, row, LPARAM(&remote->item));
      ReadProcessMemory(updater.process.hProcess, remote->text, local.text, sizeof local.text, nullptr);
      local.text[511] = L'\0';
      rows.back().push_back(Utf8(local.text));
    }
  }
  VirtualFreeEx(updater.process.hProcess, remote, 0, MEM_RELEASE);
  return rows;
}

// One whole update, pressing 更新 and then 完成 as a user would, printing what the window shows.
int DemoRun(const fs::path& exe, const std::string& url, const std::string& key)
{
  Updater updater;
  if (!Start(updater, exe, url, key)) {
    Expect(false, "MervoUpdate.exe not started");
    return checks::Summary();
  }
  if (!WaitForStatus(updater, "发现更新文件 ，点【更新】开始更新..."))
    return checks::Summary();
  std::string notes = ControlText(updater, 1007);
  for (std::size_t at; (at = notes.find("\r\n\r\n")) != std::string::npos;)
    notes.replace(at, 4, "\n  ");
  std::printf("release notes:%s\npressing 更新\n", notes.c_str());
  Press(updater, 1005);
  if (!WaitForStatus(updater, "更新完成！"))
    return checks::Summary();
  for (const auto& row : ListRows(updater))
    std::printf("file %-24s %-6s %8s  %s\n", row[0].c_str(), row[1].c_str(), row[2].c_str(), row[3].c_str());
  std::printf("outcome %s\npressing 完成: starting the main program\n", StatusText(updater).c_str());
  std::fflush(stdout);
  Press(updater, 1004);
  Expect(updater.WaitForEnd(), "still running after 完成");
  return checks::Summary();
}
}  // namespace

int main(int argc, char** argv)
{
  return argc == 4 ? DemoRun(fs::u8path(argv[1]), argv[2], argv[3]) : 0;
}
