// The updater's Win32 window as a program outside sees it: by class, title and control id,
// through window messages; and the system's message boxes. Linked into test_check over the real
// window; tools/win32ui-tests.sh runs these cases at two scales.
#include "Program.h"
#include "frmUpdate/frmUpdate.h"
#include "platform/win32/ControlIds.h"

#include <doctest/doctest.h>

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <tuple>

namespace {
std::wstring W(const char* utf8)
{
  wchar_t wide[256];
  wide[MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, 255) - 1] = 0;
  return wide;
}

// The text a control puts in a buffer of 256 characters: WM_GETTEXT's size, or SB_GETTEXTW's panel.
std::wstring Ask(HWND hwnd, UINT message, WPARAM wparam)
{
  wchar_t text[256] = L"";
  SendMessageW(hwnd, message, wparam, LPARAM(text));
  return text;
}

void CheckLayout(HWND form)
{
  const int dpi = GetDeviceCaps(GetDC(form), LOGPIXELSY);
  MESSAGE("scale: ", dpi, " dpi");
  RECT client, box;
  GetClientRect(form, &client);
  CHECK(client.right == MulDiv(7245, dpi, 1440));
  CHECK(client.bottom == MulDiv(3855, dpi, 1440));
  // In tab order, each with its id and class.
  const wchar_t* classes[] = {
      L"Static", L"SysListView32", L"msctls_statusbar32", L"Button", L"Button", L"msctls_progress32", L"Edit"};
  HWND child = GetWindow(form, GW_CHILD);
  for (int i = 0; i < 7; ++i, child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t cls[64] = L"";
    GetClassNameW(child, cls, 64);
    CHECK(GetDlgCtrlID(child) == 1001 + i);
    CHECK(lstrcmpiW(cls, classes[i]) == 0);
  }
  GetWindowRect(GetDlgItem(form, 1007), &box);
  MapWindowPoints(nullptr, form, reinterpret_cast<POINT*>(&box), 2);
  CHECK(box.left == MulDiv(1800, dpi, 1440));
  CHECK(box.right - box.left == MulDiv(5295, dpi, 1440));
  // The banner bitmap and the window icon from the resources.
  BITMAP banner{};
  GetObjectW(HGDIOBJ(SendMessageW(GetDlgItem(form, 1001), STM_GETIMAGE, IMAGE_BITMAP, 0)), sizeof banner, &banner);
  CHECK((banner.bmWidth == 105 && banner.bmHeight == 186));
  CHECK(GetClassLongPtrW(form, GCLP_HICON) != 0);
}

void CheckControls(HWND form)
{
  HWND list = GetDlgItem(form, 1002);
  wchar_t heading[64] = L"";
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT | LVCF_FMT;
  column.pszText = heading;
  column.cchTextMax = 64;
  SendMessageW(list, LVM_GETCOLUMNW, 2, LPARAM(&column));
  CHECK(!IsWindowVisible(list));
  CHECK(SendMessageW(HWND(SendMessageW(list, LVM_GETHEADER, 0, 0)), HDM_GETITEMCOUNT, 0, 0) == 5);
  CHECK((heading == W("文件大小") && (column.fmt & LVCFMT_JUSTIFYMASK) == LVCFMT_RIGHT));
  HWND bar = GetDlgItem(form, 1003);
  const std::wstring time = Ask(bar, SB_GETTEXTW, win32ui::kStatusTime);
  CHECK(SendMessageW(bar, SB_GETPARTS, 0, 0) == 3);
  CHECK((time.size() == 8 && time[2] == L':'));
  CHECK(!Ask(bar, SB_GETTEXTW, win32ui::kStatusDate).empty());
  CHECK(Ask(GetDlgItem(form, 1005), WM_GETTEXT, 256) == W("更新"));
  // The notes box shows each line on its own, a bare line break too.
  HWND edit = GetDlgItem(form, 1007);
  CHECK(Ask(edit, WM_GETTEXT, 256) == W("\r\n\r\n第一行\r\n末行"));
  CHECK((GetWindowLongW(edit, GWL_STYLE) & ES_READONLY));
}

// Answers the real box: notes its default button, then presses the one asked.
int g_press = 0;
int g_default = 0;
void CALLBACK AnswerBox(HWND, UINT, UINT_PTR id, DWORD)
{
  HWND box = FindWindowW(L"#32770", W("Mervo自动更新程序").c_str());
  if (!box)
    return;
  KillTimer(nullptr, id);
  for (int button : {IDOK, IDYES, IDNO})
    if (GetDlgItem(box, button) && (GetWindowLongW(GetDlgItem(box, button), GWL_STYLE) & 0xF) == BS_DEFPUSHBUTTON)
      g_default = button;
  PostMessageW(GetDlgItem(box, g_press), BM_CLICK, 0, 0);
}
}  // namespace

TEST_CASE("the Win32 window seen from outside" * doctest::test_suite("win32 window"))
{
  UpdaterRun run;
  run.server.File("UpdList.xml", UpdateList("2", {"第一行&#10;末行"}, {{"a.dll", "1"}}, "a.dll"));
  run.server.File("a.dll", "a");
  auto w = run.Start();
  REQUIRE(WaitUntil([&] { return w->StatusText() == Offered; }));
  HWND form = FindWindowW(L"frmUpdate", W("Mervo自动更新程序").c_str());
  REQUIRE(form != nullptr);
  CheckLayout(form);
  CheckControls(form);
}

// No hook: the system's box, pressed by control id.
TEST_CASE("message boxes" * doctest::test_suite("win32 window"))
{
  const std::tuple<MsgBoxStyle, int, MsgBoxResult, int> rows[] = {
      {MsgBoxStyle::YesNoQuestion, IDNO, MsgBoxResult::No, IDNO},
      {MsgBoxStyle::YesNoQuestion, IDYES, MsgBoxResult::Yes, IDNO},
      {MsgBoxStyle::OkInformation, IDOK, MsgBoxResult::Ok, IDOK}};
  for (const auto& [style, press, result, defaultButton] : rows) {
    INFO(press);
    g_press = press;
    g_default = 0;
    SetTimer(nullptr, 0, 50, AnswerBox);
    CHECK(MsgBox("程序正在运行", style) == result);
    CHECK(g_default == defaultButton);
  }
}
