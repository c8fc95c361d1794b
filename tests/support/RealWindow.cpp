// ShownRows and CloseFromTitleBar over the real Win32 window, for the tests that link no
// scripted controls: the window is found by its class among this thread's windows.
#include "Program.h"
#include "platform/win32/ControlIds.h"
#include "platform/win32/Win32Text.h"

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

namespace {
// The visible updater window of this thread, else any.
HWND Form()
{
  HWND found[2] = {};  // hidden, visible
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND hwnd, LPARAM data) -> BOOL {
        wchar_t cls[32] = L"";
        GetClassNameW(hwnd, cls, 32);
        if (lstrcmpW(cls, L"frmUpdate") == 0)
          reinterpret_cast<HWND*>(data)[IsWindowVisible(hwnd) ? 1 : 0] = hwnd;
        return TRUE;
      },
      LPARAM(found));
  return found[1] ? found[1] : found[0];
}
}  // namespace

std::vector<Strings> ShownRows()
{
  std::vector<Strings> rows;
  const HWND list = GetDlgItem(Form(), win32ui::kControlIds[1].id);  // lvUpdateList
  const int columns = int(SendMessageW(HWND(SendMessageW(list, LVM_GETHEADER, 0, 0)), HDM_GETITEMCOUNT, 0, 0));
  for (int row = 0; row < int(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)); ++row) {
    rows.emplace_back();
    for (int column = 0; column < columns; ++column) {
      wchar_t text[512] = L"";
      LVITEMW item{};
      item.iSubItem = column;
      item.pszText = text;
      item.cchTextMax = 512;
      SendMessageW(list, LVM_GETITEMTEXTW, WPARAM(row), LPARAM(&item));
      rows.back().push_back(win32::Utf8(text));
    }
  }
  return rows;
}

// Through the window's queue, as the close box's message comes.
void CloseFromTitleBar()
{
  PostMessageW(Form(), WM_CLOSE, 0, 0);
}
