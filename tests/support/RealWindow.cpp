// ShownRows and CloseFromTitleBar over the real Win32 window, for the tests that link no
// scripted controls: the window is found by its class among this thread's windows.
#include "Program.h"
#include "platform/win32/ControlIds.h"

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

namespace {
std::string Utf8(const wchar_t* text)
{
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(size > 0 ? size - 1 : 0, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  return out;
}

// The visible updater window of this thread, else any.
HWND Form()
{
  struct Found {
    HWND any = nullptr, visible = nullptr;
  } found;
  EnumThreadWindows(
      GetCurrentThreadId(),
      [](HWND hwnd, LPARAM data) -> BOOL {
        auto* f = reinterpret_cast<Found*>(data);
        wchar_t cls[32] = L"";
        GetClassNameW(hwnd, cls, 32);
        if (lstrcmpW(cls, L"frmUpdate") == 0)
          (IsWindowVisible(hwnd) ? f->visible : f->any) = hwnd;
        return TRUE;
      },
      LPARAM(&found));
  return found.visible ? found.visible : found.any;
}

int ControlId(const char* name)
{
  for (const win32ui::NamedId& known : win32ui::kControlIds)
    if (std::string(name) == known.name)
      return known.id;
  return 0;
}
}  // namespace

std::vector<Strings> ShownRows()
{
  std::vector<Strings> rows;
  const HWND list = GetDlgItem(Form(), ControlId("lvUpdateList"));
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
      rows.back().push_back(Utf8(text));
    }
  }
  return rows;
}

// Through the window's queue, as the close box's message comes.
void CloseFromTitleBar()
{
  PostMessageW(Form(), WM_CLOSE, 0, 0);
}
