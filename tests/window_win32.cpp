// The Win32 window's controls, seen as a program outside would see them: found by class,
// title and control id, read through window messages. Laid out as the updater lays out its
// window. Run under wine with a display (tools/win32ui-tests.sh).
//
// Prints the failed checks and "N passed, N failed"; exits 0 only when every check passed.
#include "platform/Controls.h"
#include "platform/Runtime.h"
#include "platform/win32/ControlIds.h"

#include "windows/Checks.h"

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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

std::wstring Text(HWND hwnd)
{
  wchar_t text[512] = L"";
  GetWindowTextW(hwnd, text, 512);
  return text;
}

// Waits on the queue until done() or five seconds have passed.
bool WaitUntil(const std::function<bool()>& done)
{
  const ULONGLONG deadline = GetTickCount64() + 5000;
  const UINT_PTR clock = SetTimer(nullptr, 0, 100, nullptr);  // wakes the wait to look at the time
  while (!done() && GetTickCount64() < deadline)
    WaitForEvents();
  KillTimer(nullptr, clock);
  return done();
}

struct Form {
  std::unique_ptr<Window> window = NewWindow("frmUpdate");
  Button* cmdFinish;
  Button* cmdUpdate;
  ProgressBar* pbUpdate;
  StatusBar* sbUpdateInfo;
  TextBox* txtdata;
  ListView* lvUpdateList;
  Form()
  {
    window->SetTitle(AppTitle());
    window->SetClientSize(7245, 3855);
    window->AddBanner("picCompany", {135, 270, 1635, 2850}, "Mervo");
    lvUpdateList = window->AddListView("lvUpdateList", {1800, 270, 5280, 2850},
                                       {{"更新文件", 2100, false},
                                        {"版本号", 1200, false},
                                        {"文件大小", 1000, true},
                                        {"进度", 600, true},
                                        {"", 0, false}},
                                       "更新文件");
    sbUpdateInfo = window->AddStatusBar("sbUpdateInfo", {0, 3570, 7245, 285}, "就绪");
    cmdFinish = window->AddButton("cmdFinish", "完成", {6030, 3195, 1050, 330});
    cmdUpdate = window->AddButton("cmdUpdate", "更新", {4905, 3195, 1050, 330});
    pbUpdate = window->AddProgressBar("pbUpdate", {135, 3150, 4650, 375}, "进度");
    txtdata = window->AddTextBox("txtdata", {1800, 240, 5295, 2895}, "更新说明");
  }
};

std::wstring PanelText(HWND bar, int panel)
{
  wchar_t text[256] = L"";
  if (LOWORD(SendMessageW(bar, SB_GETTEXTLENGTHW, panel, 0)) < 256)
    SendMessageW(bar, SB_GETTEXTW, panel, LPARAM(text));
  return text;
}

std::wstring CellText(HWND list, int row, int column)
{
  wchar_t text[256] = L"";
  LVITEMW item{};
  item.iSubItem = column;
  item.pszText = text;
  item.cchTextMax = 256;
  SendMessageW(list, LVM_GETITEMTEXTW, row, LPARAM(&item));
  return text;
}

void CheckLayout(HWND form)
{
  const int dpi = GetDeviceCaps(GetDC(form), LOGPIXELSY);
  std::printf("scale: %d dpi\n", dpi);
  RECT client;
  GetClientRect(form, &client);
  Expect(client.right == MulDiv(7245, dpi, 1440) && client.bottom == MulDiv(3855, dpi, 1440),
         "client size is 7245 x 3855 twips at the screen's scale");
  const int order[] = {1001, 1002, 1003, 1004, 1005, 1006, 1007};
  const wchar_t* classes[] = {
      L"Static", L"SysListView32", L"msctls_statusbar32", L"Button", L"Button", L"msctls_progress32", L"Edit"};
  HWND child = GetWindow(form, GW_CHILD);
  for (int i = 0; i < 7; ++i, child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t cls[64] = L"";
    GetClassNameW(child, cls, 64);
    Expect(child && GetDlgCtrlID(child) == order[i] && lstrcmpiW(cls, classes[i]) == 0,
           "control " + std::to_string(order[i]) + " in tab order with its class");
  }
  HWND text = GetDlgItem(form, 1007);
  RECT box;
  GetWindowRect(text, &box);
  MapWindowPoints(nullptr, form, reinterpret_cast<POINT*>(&box), 2);
  Expect(box.left == MulDiv(1800, dpi, 1440) && box.right - box.left == MulDiv(5295, dpi, 1440),
         "txtdata placed from twips");
  Expect(Text(GetDlgItem(form, 1004)) == W("完成") && Text(GetDlgItem(form, 1005)) == W("更新"), "button captions");
  HWND picture = GetDlgItem(form, 1001);
  BITMAP banner{};
  GetObjectW(HGDIOBJ(SendMessageW(picture, STM_GETIMAGE, IMAGE_BITMAP, 0)), sizeof banner, &banner);
  Expect(banner.bmWidth == 105 && banner.bmHeight == 186, "banner bitmap 105 x 186 from the resources");
  Expect(GetClassLongPtrW(form, GCLP_HICON) != 0, "window icon from the resources");
}

void CheckListAndBars(Form& f, HWND form)
{
  HWND list = GetDlgItem(form, 1002);
  HWND header = HWND(SendMessageW(list, LVM_GETHEADER, 0, 0));
  Expect(!IsWindowVisible(list) && SendMessageW(header, HDM_GETITEMCOUNT, 0, 0) == 5, "hidden list of 5 columns");
  wchar_t heading[64] = L"";
  LVCOLUMNW column{};
  column.mask = LVCF_TEXT | LVCF_FMT;
  column.pszText = heading;
  column.cchTextMax = 64;
  SendMessageW(list, LVM_GETCOLUMNW, 2, LPARAM(&column));
  Expect(heading == W("文件大小") && (column.fmt & LVCFMT_JUSTIFYMASK) == LVCFMT_RIGHT, "size column, right aligned");
  f.lvUpdateList->SetRowCount(3);
  f.lvUpdateList->ShowRow(1, {"a.txt"});
  f.lvUpdateList->ShowRow(2, {"子目录\\数据.dat", "1.2", "12 KB", "50%", ""});
  Expect(CellText(list, 1, 0) == W("子目录\\数据.dat") && CellText(list, 1, 3) == L"50%", "row 2 shows its texts");
  f.lvUpdateList->SetRowCount(1);
  Expect(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 1 && CellText(list, 0, 0) == L"a.txt",
         "rows dropped from the end");

  HWND bar = GetDlgItem(form, 1003);
  const std::wstring time = PanelText(bar, win32ui::kStatusTime);
  Expect(SendMessageW(bar, SB_GETPARTS, 0, 0) == 3 && PanelText(bar, 0) == W("就绪") && time.size() == 8
             && time[2] == L':' && !PanelText(bar, win32ui::kStatusDate).empty(),
         "status, date and time panels");
  f.sbUpdateInfo->SetText("正在下载 a.txt");
  Expect(PanelText(bar, 0) == W("正在下载 a.txt") && f.sbUpdateInfo->Text() == "正在下载 a.txt", "status text");

  HWND progress = GetDlgItem(form, 1006);
  PBRANGE range{};
  SendMessageW(progress, PBM_GETRANGE, 0, LPARAM(&range));
  f.pbUpdate->SetValue(40);
  Expect(range.iLow == 0 && range.iHigh == 100 && SendMessageW(progress, PBM_GETPOS, 0, 0) == 40, "progress 0-100");
}

void CheckTextBox(Form& f, HWND form)
{
  const std::string notes = "第一行\r\n第二行\n末行";
  f.txtdata->SetText(notes);
  Expect(f.txtdata->Text() == notes, "txtdata gives back its text as set");
  Expect(Text(GetDlgItem(form, 1007)) == W("第一行\r\n第二行\r\n末行"), "txtdata shows each line on its own");
  Expect(GetWindowLongW(GetDlgItem(form, 1007), GWL_STYLE) & ES_READONLY, "txtdata read-only");
}

void CheckButtons(Form& f, HWND form)
{
  int clicks = 0;
  f.cmdUpdate->OnClick([&] { ++clicks; });
  f.cmdUpdate->Click();
  f.cmdUpdate->SetEnabled(false);
  f.cmdUpdate->Click();
  f.cmdUpdate->SetEnabled(true);
  f.cmdUpdate->SetVisible(false);
  f.cmdUpdate->Click();
  Expect(clicks == 1 && !f.cmdUpdate->Visible(), "a hidden or disabled button does not click");
  f.cmdUpdate->SetVisible(true);
  PostMessageW(GetDlgItem(form, 1005), BM_CLICK, 0, 0);
  Expect(WaitUntil([&] { return clicks == 2; }), "BM_CLICK from outside runs the handler");
}

void CheckTimerAndClose(Form& f, HWND form)
{
  Timer* timer = f.window->AddTimer("tmrGetUpdateList", 20);
  int ticks = 0;
  timer->OnTick([&] { ++ticks; });
  timer->Start();
  Expect(WaitUntil([&] { return ticks >= 2; }) && timer->Active(), "the timer ticks on the window's thread");
  timer->Stop();
  Expect(!timer->Active(), "a stopped timer is inactive");

  bool closed = false;
  f.window->OnClose([&] { closed = true; });
  PostMessageW(form, WM_CLOSE, 0, 0);
  Expect(WaitUntil([&] { return closed; }) && !f.window->Visible() && IsWindow(form),
         "the close box raises the close and hides the window");
}

// Answers the real box: checks its default button, then presses the one asked.
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
  MsgBoxRequest seen;
  SetMsgBoxHook([&](const MsgBoxRequest& request) {
    seen = request;
    return MsgBoxResult::Yes;
  });
  Expect(MsgBox("是否更新？", MsgBoxStyle::YesNoQuestion) == MsgBoxResult::Yes && seen.title == "Mervo自动更新程序"
             && seen.style == MsgBoxStyle::YesNoQuestion,
         "the hook answers with the application's title");
  SetMsgBoxHook({});
  struct Row {
    MsgBoxStyle style;
    int press;
    MsgBoxResult result;
    int defaultButton;
  } rows[] = {{MsgBoxStyle::YesNoQuestion, IDNO, MsgBoxResult::No, IDNO},
              {MsgBoxStyle::YesNoQuestion, IDYES, MsgBoxResult::Yes, IDNO},
              {MsgBoxStyle::OkInformation, IDOK, MsgBoxResult::Ok, IDOK}};
  for (const Row& row : rows) {
    g_press = row.press;
    g_default = 0;
    SetTimer(nullptr, 0, 50, AnswerBox);
    const MsgBoxResult result = MsgBox("程序正在运行", row.style);
    Expect(result == row.result && g_default == row.defaultButton,
           "real box pressed " + std::to_string(row.press) + " (default " + std::to_string(g_default) + ")");
  }
}

}  // namespace

int wmain()
{
  Form f;
  HWND form = FindWindowW(L"frmUpdate", W("Mervo自动更新程序").c_str());
  Expect(form != nullptr, "window found by class and title");
  if (!form)
    return 1;
  f.window->ShowCentred();
  DoEvents();
  CheckLayout(form);
  CheckListAndBars(f, form);
  CheckTextBox(f, form);
  CheckButtons(f, form);
  CheckMessageBoxes();
  CheckTimerAndClose(f, form);
  return checks::Summary();
}
