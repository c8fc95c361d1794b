// The Win32 window's controls, laid out as the updater lays them out and seen as a program outside
// sees them: by class, title and control id, through window messages. Run by tools/win32ui-tests.sh
// at two scales. The controls at work (clicks, status text, list rows, timers, the close box) are
// the window's tests run over the real window (windows-tests.sh).
#include "platform/Controls.h"
#include "platform/Runtime.h"
#include "platform/win32/ControlIds.h"

#include "windows/Checks.h"

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <cstdio>
#include <memory>
#include <string>
#include <tuple>

// The log belongs to the services; these checks need none of it.
void LogEvent(const std::string&) {}
void FlushLog() {}

namespace {
using checks::Expect;

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
  std::printf("scale: %d dpi\n", dpi);
  RECT client, box;
  GetClientRect(form, &client);
  Expect(client.right == MulDiv(7245, dpi, 1440) && client.bottom == MulDiv(3855, dpi, 1440),
         "client size is 7245 x 3855 twips at the screen's scale");
  const wchar_t* classes[] = {
      L"Static", L"SysListView32", L"msctls_statusbar32", L"Button", L"Button", L"msctls_progress32", L"Edit"};
  HWND child = GetWindow(form, GW_CHILD);
  for (int i = 0; i < 7; ++i, child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t cls[64] = L"";
    GetClassNameW(child, cls, 64);
    Expect(child && GetDlgCtrlID(child) == 1001 + i && lstrcmpiW(cls, classes[i]) == 0,
           "control " + std::to_string(1001 + i) + " in tab order with its class");
  }
  GetWindowRect(GetDlgItem(form, 1007), &box);
  MapWindowPoints(nullptr, form, reinterpret_cast<POINT*>(&box), 2);
  Expect(box.left == MulDiv(1800, dpi, 1440) && box.right - box.left == MulDiv(5295, dpi, 1440),
         "txtdata placed from twips");
  BITMAP banner{};
  GetObjectW(HGDIOBJ(SendMessageW(GetDlgItem(form, 1001), STM_GETIMAGE, IMAGE_BITMAP, 0)), sizeof banner, &banner);
  Expect(Ask(GetDlgItem(form, 1004), WM_GETTEXT, 256) == W("完成")
             && Ask(GetDlgItem(form, 1005), WM_GETTEXT, 256) == W("更新") && banner.bmWidth == 105
             && banner.bmHeight == 186 && GetClassLongPtrW(form, GCLP_HICON) != 0,
         "button captions, the banner bitmap 105 x 186 and the window icon from the resources");
}

void CheckList(HWND list)
{
  wchar_t heading[64] = L"";
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT | LVCF_FMT;
  column.pszText = heading;
  column.cchTextMax = 64;
  SendMessageW(list, LVM_GETCOLUMNW, 2, LPARAM(&column));
  Expect(!IsWindowVisible(list)
             && SendMessageW(HWND(SendMessageW(list, LVM_GETHEADER, 0, 0)), HDM_GETITEMCOUNT, 0, 0) == 5
             && heading == W("文件大小") && (column.fmt & LVCFMT_JUSTIFYMASK) == LVCFMT_RIGHT,
         "hidden list of 5 columns, the size column right aligned");
}

void CheckBars(HWND form)
{
  HWND bar = GetDlgItem(form, 1003);
  const std::wstring time = Ask(bar, SB_GETTEXTW, win32ui::kStatusTime);
  Expect(SendMessageW(bar, SB_GETPARTS, 0, 0) == 3 && Ask(bar, SB_GETTEXTW, win32ui::kStatusText) == W("就绪")
             && time.size() == 8 && time[2] == L':' && !Ask(bar, SB_GETTEXTW, win32ui::kStatusDate).empty(),
         "status, date and time panels");
}

void CheckTextBox(TextBox* notes, HWND edit)
{
  notes->SetText("第一行\r\n第二行\n末行");
  Expect(notes->Text() == "第一行\r\n第二行\n末行" && Ask(edit, WM_GETTEXT, 256) == W("第一行\r\n第二行\r\n末行")
             && (GetWindowLongW(edit, GWL_STYLE) & ES_READONLY),
         "read-only txtdata gives back its text as set and shows each line on its own");
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

void CheckMessageBoxes()
{
  const std::tuple<MsgBoxStyle, int, MsgBoxResult, int> rows[] = {
      {MsgBoxStyle::YesNoQuestion, IDNO, MsgBoxResult::No, IDNO},
      {MsgBoxStyle::YesNoQuestion, IDYES, MsgBoxResult::Yes, IDNO},
      {MsgBoxStyle::OkInformation, IDOK, MsgBoxResult::Ok, IDOK}};
  for (const auto& [style, press, result, defaultButton] : rows) {
    g_press = press;
    g_default = 0;
    SetTimer(nullptr, 0, 50, AnswerBox);
    const MsgBoxResult answered = MsgBox("程序正在运行", style);
    Expect(answered == result && g_default == defaultButton,
           "real box pressed " + std::to_string(press) + " (default " + std::to_string(g_default) + ")");
  }
}
}  // namespace

int wmain()
{
  const std::unique_ptr<Window> window = NewWindow("frmUpdate");
  window->SetTitle(AppTitle());
  window->SetClientSize(7245, 3855);
  window->AddBanner("picCompany", {135, 270, 1635, 2850}, "Mervo");
  window->AddListView("lvUpdateList", {1800, 270, 5280, 2850},
                                       {{"更新文件", 2100, false},
                                        {"版本号", 1200, false},
                                        {"文件大小", 1000, true},
                                        {"进度", 600, true},
                                        {"", 0, false}},
                                       "更新文件");
  window->AddStatusBar("sbUpdateInfo", {0, 3570, 7245, 285}, "就绪");
  window->AddButton("cmdFinish", "完成", {6030, 3195, 1050, 330});
  window->AddButton("cmdUpdate", "更新", {4905, 3195, 1050, 330});
  window->AddProgressBar("pbUpdate", {135, 3150, 4650, 375}, "进度");
  TextBox* notes = window->AddTextBox("txtdata", {1800, 240, 5295, 2895}, "更新说明");
  HWND form = FindWindowW(L"frmUpdate", W("Mervo自动更新程序").c_str());
  Expect(form != nullptr, "window found by class and title");
  if (!form)
    return 1;
  window->ShowCentred();
  DoEvents();
  CheckLayout(form);
  CheckList(GetDlgItem(form, 1002));
  CheckBars(form);
  CheckTextBox(notes, GetDlgItem(form, 1007));
  CheckMessageBoxes();
  return checks::Summary();
}
