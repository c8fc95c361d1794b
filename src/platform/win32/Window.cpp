// The window's controls over Win32 and the common controls (version 6, from the manifest).
// Controls are children with fixed ids (ControlIds.h); places are kept in twips and scaled
// to the monitor's DPI, again whenever the window moves to a monitor of another scale.
#include "platform/common/SystemBox.h"

#include "platform/win32/ControlIds.h"
#include "platform/win32/Win32Text.h"
#include "platform/win32/resources/resource.h"

#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <map>
#include <set>

namespace {
constexpr UINT_PTR kClockTimer = 1;
constexpr UINT_PTR kFirstTimer = 100;

// A call of user32 that older systems lack: null there.
template <class Fn>
Fn FromUser32(const char* name)
{
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

// Per-monitor scale where the system has it (Windows 10), else the system's.
UINT DpiOf(HWND hwnd)
{
  static const auto getDpi = FromUser32<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
  if (getDpi && hwnd)
    return getDpi(hwnd);
  HDC screen = GetDC(nullptr);
  const UINT dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return dpi;
}

RECT FrameFor(int width, int height, DWORD style, UINT dpi)
{
  RECT frame{0, 0, width, height};
  static const auto adjust = FromUser32<BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT)>("AdjustWindowRectExForDpi");
  if (adjust)
    adjust(&frame, style, FALSE, 0, dpi);
  else
    AdjustWindowRectEx(&frame, style, FALSE, 0);
  return frame;
}

int IdFor(const std::string& name, int& nextOtherId)
{
  for (const win32ui::NamedId& known : win32ui::kControlIds)
    if (name == known.name)
      return known.id;
  return nextOtherId++;
}

std::wstring WindowTextOf(HWND hwnd)
{
  std::wstring text(GetWindowTextLengthW(hwnd) + 1, L'\0');
  text.resize(GetWindowTextW(hwnd, text.data(), int(text.size())));
  return text;
}

HINSTANCE Instance()
{
  return GetModuleHandleW(nullptr);
}

class Win32Button : public Button {
public:
  explicit Win32Button(HWND button) : m_button(button) {}
  void SetCaption(const std::string& caption) override { SetWindowTextW(m_button, win32::Wide(caption).c_str()); }
  std::string Caption() const override { return win32::Utf8(WindowTextOf(m_button)); }
  void SetVisible(bool visible) override { ShowWindow(m_button, visible ? SW_SHOWNA : SW_HIDE); }
  bool Visible() const override { return (GetWindowLongW(m_button, GWL_STYLE) & WS_VISIBLE) != 0; }
  void SetEnabled(bool enabled) override { EnableWindow(m_button, enabled); }
  bool Enabled() const override { return IsWindowEnabled(m_button) != FALSE; }
  void OnClick(std::function<void()> handler) override { m_handler = std::move(handler); }
  // The same notification a mouse click sends, down the same path.
  void Click() override
  {
    if (IsWindowVisible(m_button) && IsWindowEnabled(m_button))
      SendMessageW(GetParent(m_button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(m_button), BN_CLICKED), LPARAM(m_button));
  }
  void Clicked()
  {
    if (m_handler)
      m_handler();
  }

private:
  HWND m_button;
  std::function<void()> m_handler;
};

// A thread timer of the window: its ticks arrive as WM_TIMER through the window's queue.
class Win32Timer : public Timer {
public:
  Win32Timer(HWND owner, UINT_PTR id, int intervalMs) : m_owner(owner), m_id(id), m_interval(intervalMs) {}
  ~Win32Timer() override { Stop(); }
  void Start() override { m_active = SetTimer(m_owner, m_id, UINT(m_interval), nullptr) != 0; }
  void Stop() override
  {
    if (m_active)
      KillTimer(m_owner, m_id);
    m_active = false;
  }
  bool Active() const override { return m_active; }
  void OnTick(std::function<void()> handler) override { m_handler = std::move(handler); }
  void Tick()
  {
    if (m_active && m_handler)
      m_handler();
  }

private:
  HWND m_owner;
  UINT_PTR m_id;
  int m_interval;
  bool m_active = false;
  std::function<void()> m_handler;
};

class Win32ProgressBar : public ProgressBar {
public:
  explicit Win32ProgressBar(HWND bar) : m_bar(bar) { SendMessageW(bar, PBM_SETRANGE32, 0, 100); }
  void SetVisible(bool visible) override { ShowWindow(m_bar, visible ? SW_SHOWNA : SW_HIDE); }
  bool Visible() const override { return (GetWindowLongW(m_bar, GWL_STYLE) & WS_VISIBLE) != 0; }
  void SetValue(int percent) override { SendMessageW(m_bar, PBM_SETPOS, WPARAM(percent), 0); }
  int Value() const override { return int(SendMessageW(m_bar, PBM_GETPOS, 0, 0)); }

private:
  HWND m_bar;
};

// The status text panel, and the date and time panels the window's clock keeps current.
class Win32StatusBar : public StatusBar {
public:
  explicit Win32StatusBar(HWND bar) : m_bar(bar) {}
  void SetText(const std::string& text) override
  {
    SendMessageW(m_bar, SB_SETTEXTW, win32ui::kStatusText, LPARAM(win32::Wide(text).c_str()));
  }
  std::string Text() const override
  {
    std::wstring text(LOWORD(SendMessageW(m_bar, SB_GETTEXTLENGTHW, win32ui::kStatusText, 0)) + 1, L'\0');
    text.resize(LOWORD(SendMessageW(m_bar, SB_GETTEXTW, win32ui::kStatusText, LPARAM(text.data()))));
    return win32::Utf8(text);
  }
  void ShowClock();
  // Panel edges: the date and time panels keep their width, the status text takes the rest.
  void Layout(int clientWidth, UINT dpi);

private:
  HWND m_bar;
};

void Win32StatusBar::ShowClock()
{
  wchar_t date[80] = L"";
  wchar_t time[80] = L"";
  GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, nullptr, nullptr, date, 80);
  GetTimeFormatW(LOCALE_USER_DEFAULT, 0, nullptr, L"HH':'mm':'ss", time, 80);
  SendMessageW(m_bar, SB_SETTEXTW, win32ui::kStatusDate, LPARAM(date));
  SendMessageW(m_bar, SB_SETTEXTW, win32ui::kStatusTime, LPARAM(time));
}

void Win32StatusBar::Layout(int clientWidth, UINT dpi)
{
  SendMessageW(m_bar, WM_SIZE, 0, 0);
  int edges[3] = {clientWidth - MulDiv(2200, int(dpi), 1440), clientWidth - MulDiv(1000, int(dpi), 1440), -1};
  SendMessageW(m_bar, SB_SETPARTS, 3, LPARAM(edges));
}

// Keeps the text it was given; the edit control shows it with every line break as "\r\n".
class Win32TextBox : public TextBox {
public:
  explicit Win32TextBox(HWND edit) : m_edit(edit) {}
  void SetText(const std::string& text) override
  {
    m_text = text;
    std::wstring shown;
    for (wchar_t c : win32::Wide(text)) {
      if (c == L'\n' && (shown.empty() || shown.back() != L'\r'))
        shown += L'\r';
      shown += c;
    }
    SetWindowTextW(m_edit, shown.c_str());
  }
  std::string Text() const override { return m_text; }

private:
  HWND m_edit;
  std::string m_text;
};

class Win32ListView : public ListView {
public:
  explicit Win32ListView(HWND list) : m_list(list) {}
  void SetRowCount(int count) override
  {
    int rows = int(SendMessageW(m_list, LVM_GETITEMCOUNT, 0, 0));
    for (; rows > count; --rows)
      SendMessageW(m_list, LVM_DELETEITEM, WPARAM(rows - 1), 0);
    for (; rows < count; ++rows) {
      LVITEMW item{};
      item.mask = LVIF_TEXT;
      item.iItem = rows;
      item.pszText = const_cast<wchar_t*>(L"");
      SendMessageW(m_list, LVM_INSERTITEMW, 0, LPARAM(&item));
    }
  }
  void ShowRow(int index, const std::vector<std::string>& texts) override
  {
    for (int column = 0; column < int(texts.size()); ++column) {
      std::wstring text = win32::Wide(texts[column]);
      LVITEMW item{};
      item.iSubItem = column;
      item.pszText = text.data();
      SendMessageW(m_list, LVM_SETITEMTEXTW, WPARAM(index - 1), LPARAM(&item));
    }
  }

private:
  HWND m_list;
};

class Win32Window : public Window {
public:
  explicit Win32Window(const std::string& name);
  ~Win32Window() override;
  Button* AddButton(const std::string& name, const std::string& caption, TwipsRect where) override;
  Timer* AddTimer(const std::string& name, int intervalMs) override;
  ProgressBar* AddProgressBar(const std::string& name, TwipsRect where, const std::string& label) override;
  StatusBar* AddStatusBar(const std::string& name, TwipsRect where, const std::string& text) override;
  TextBox* AddTextBox(const std::string& name, TwipsRect where, const std::string& label) override;
  ListView* AddListView(const std::string& name, TwipsRect where, const std::vector<ListColumn>& columns,
                        const std::string& label) override;
  void AddBanner(const std::string& name, TwipsRect where, const std::string& label) override;

  void SetTitle(const std::string& title) override { SetWindowTextW(m_hwnd, win32::Wide(title).c_str()); }
  void SetClientSize(int widthTwips, int heightTwips) override;
  void ShowCentred() override;
  void Hide() override;
  bool Visible() const override { return IsWindowVisible(m_hwnd) != FALSE; }
  void OnClose(std::function<void()> handler) override { m_onClose = std::move(handler); }

private:
  struct Placed {
    HWND hwnd;
    TwipsRect where;
  };
  static LRESULT CALLBACK Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  void Close();
  void Command(WPARAM wParam);
  void Timer(UINT_PTR id);
  void Rescale(UINT dpi, const RECT* suggested);
  // Makes a control and puts it last in the tab order (the order of the children).
  HWND Place(const wchar_t* cls, const std::string& name, const std::wstring& text, DWORD style, DWORD exStyle,
             TwipsRect where);
  int Px(int twips) const { return MulDiv(twips, int(m_dpi), 1440); }
  void MakeFont();
  HWND m_hwnd = nullptr;
  UINT m_dpi = 96;
  HFONT m_font = nullptr;
  HBITMAP m_banner = nullptr;
  int m_widthTwips = 0;
  int m_heightTwips = 0;
  int m_nextOtherId = win32ui::kFirstOtherId;
  UINT_PTR m_nextTimer = kFirstTimer;
  HWND m_text = nullptr;  // the read-only text box, shown on white as a text box is
  std::vector<Placed> m_placed;
  std::map<int, std::unique_ptr<Win32Button>> m_buttons;
  std::map<UINT_PTR, std::unique_ptr<Win32Timer>> m_timers;
  std::vector<std::unique_ptr<Win32StatusBar>> m_statusBars;
  std::vector<std::unique_ptr<void, void (*)(void*)>> m_controls;
  std::vector<std::pair<HWND, std::vector<int>>> m_listColumns;  // widths in twips
  std::function<void()> m_onClose;
};

const wchar_t* ClassFor(const std::string& name)
{
  static std::set<std::wstring> registered;
  auto [it, added] = registered.insert(win32::Wide(name));
  if (added) {
    WNDCLASSEXW cls{};
    cls.cbSize = sizeof cls;
    cls.lpfnWndProc = DefWindowProcW;
    cls.hInstance = Instance();
    cls.hIcon = LoadIconW(Instance(), MAKEINTRESOURCEW(IDI_MERVO));
    cls.hIconSm = HICON(LoadImageW(Instance(), MAKEINTRESOURCEW(IDI_MERVO), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                   GetSystemMetrics(SM_CYSMICON), 0));
    cls.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    cls.hbrBackground = HBRUSH(COLOR_BTNFACE + 1);
    cls.lpszClassName = it->c_str();
    RegisterClassExW(&cls);
  }
  return it->c_str();
}

constexpr DWORD kFrameStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;

Win32Window::Win32Window(const std::string& name)
{
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  m_hwnd = CreateWindowExW(WS_EX_CONTROLPARENT, ClassFor(name), L"", kFrameStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                           CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, Instance(), nullptr);
  SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, LONG_PTR(this));
  SetWindowLongPtrW(m_hwnd, GWLP_WNDPROC, LONG_PTR(&Win32Window::Proc));
  m_dpi = DpiOf(m_hwnd);
  MakeFont();
  SetTimer(m_hwnd, kClockTimer, 1000, nullptr);
}

Win32Window::~Win32Window()
{
  // No message reaches this object once it is going.
  SetWindowLongPtrW(m_hwnd, GWLP_USERDATA, 0);
  m_timers.clear();
  DestroyWindow(m_hwnd);
  DeleteObject(m_font);
  if (m_banner)
    DeleteObject(m_banner);
}

// The dialog font of the system the program was written for, at the window's scale.
void Win32Window::MakeFont()
{
  LOGFONTW look{};
  look.lfHeight = -MulDiv(9, int(m_dpi), 72);
  look.lfCharSet = GB2312_CHARSET;
  look.lfQuality = CLEARTYPE_QUALITY;
  wcscpy(look.lfFaceName, L"宋体");
  HFONT old = m_font;
  m_font = CreateFontIndirectW(&look);
  for (const Placed& placed : m_placed)
    SendMessageW(placed.hwnd, WM_SETFONT, WPARAM(m_font), TRUE);
  if (old)
    DeleteObject(old);
}

LRESULT CALLBACK Win32Window::Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
  auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self)
    return DefWindowProcW(hwnd, message, wParam, lParam);
  return self->Handle(message, wParam, lParam);
}

LRESULT Win32Window::Handle(UINT message, WPARAM wParam, LPARAM lParam)
{
  switch (message) {
    case WM_CLOSE:
      Close();
      return 0;
    case WM_COMMAND:
      Command(wParam);
      return 0;
    case WM_TIMER:
      Timer(wParam);
      return 0;
    case WM_DPICHANGED:
      Rescale(HIWORD(wParam), reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_CTLCOLORSTATIC:
      if (HWND(lParam) == m_text) {
        SetBkColor(HDC(wParam), GetSysColor(COLOR_WINDOW));
        return LRESULT(GetSysColorBrush(COLOR_WINDOW));
      }
      break;
  }
  return DefWindowProcW(m_hwnd, message, wParam, lParam);
}

// The close box: the handler learns of it, and the window is closed (hidden, not destroyed:
// the window class still owns it).
void Win32Window::Close()
{
  if (m_onClose)
    m_onClose();
  Hide();
}

void Win32Window::Command(WPARAM wParam)
{
  if (HIWORD(wParam) != BN_CLICKED)
    return;
  auto button = m_buttons.find(LOWORD(wParam));
  if (button != m_buttons.end())
    button->second->Clicked();
}

void Win32Window::Timer(UINT_PTR id)
{
  if (id == kClockTimer) {
    for (const auto& bar : m_statusBars)
      bar->ShowClock();
    return;
  }
  auto timer = m_timers.find(id);
  if (timer != m_timers.end())
    timer->second->Tick();
}

void Win32Window::Rescale(UINT dpi, const RECT* suggested)
{
  m_dpi = dpi;
  MakeFont();
  for (const Placed& placed : m_placed)
    MoveWindow(placed.hwnd, Px(placed.where.left), Px(placed.where.top), Px(placed.where.width),
               Px(placed.where.height), TRUE);
  for (const auto& [list, widths] : m_listColumns)
    for (int i = 0; i < int(widths.size()); ++i)
      SendMessageW(list, LVM_SETCOLUMNWIDTH, WPARAM(i), Px(widths[i]));
  if (suggested)
    SetWindowPos(m_hwnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
  for (const auto& bar : m_statusBars)
    bar->Layout(Px(m_widthTwips), m_dpi);
}

HWND Win32Window::Place(const wchar_t* cls, const std::string& name, const std::wstring& text, DWORD style,
                        DWORD exStyle, TwipsRect where)
{
  const int id = IdFor(name, m_nextOtherId);
  HWND control = CreateWindowExW(exStyle, cls, text.c_str(), WS_CHILD | style, Px(where.left), Px(where.top),
                                 Px(where.width), Px(where.height), m_hwnd, HMENU(INT_PTR(id)), Instance(), nullptr);
  SendMessageW(control, WM_SETFONT, WPARAM(m_font), FALSE);
  m_placed.push_back({control, where});
  return control;
}

template <class C>
C* Keep(std::vector<std::unique_ptr<void, void (*)(void*)>>& kept, std::unique_ptr<C> control)
{
  C* raw = control.release();
  kept.emplace_back(raw, [](void* p) { delete static_cast<C*>(p); });
  return raw;
}

Button* Win32Window::AddButton(const std::string& name, const std::string& caption, TwipsRect where)
{
  HWND hwnd = Place(WC_BUTTONW, name, win32::Wide(caption), WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0, where);
  auto& button = m_buttons[GetDlgCtrlID(hwnd)];
  button = std::make_unique<Win32Button>(hwnd);
  return button.get();
}

Timer* Win32Window::AddTimer(const std::string&, int intervalMs)
{
  const UINT_PTR id = m_nextTimer++;
  auto& timer = m_timers[id];
  timer = std::make_unique<Win32Timer>(m_hwnd, id, intervalMs);
  return timer.get();
}

ProgressBar* Win32Window::AddProgressBar(const std::string& name, TwipsRect where, const std::string& label)
{
  HWND bar = Place(PROGRESS_CLASSW, name, win32::Wide(label), WS_VISIBLE, 0, where);
  return Keep(m_controls, std::make_unique<Win32ProgressBar>(bar));
}

// A status bar sits at the bottom of the window by itself; where only gives its height.
StatusBar* Win32Window::AddStatusBar(const std::string& name, TwipsRect where, const std::string& text)
{
  HWND bar = Place(STATUSCLASSNAMEW, name, std::wstring(), WS_VISIBLE, 0, where);
  m_statusBars.push_back(std::make_unique<Win32StatusBar>(bar));
  Win32StatusBar* status = m_statusBars.back().get();
  status->Layout(Px(m_widthTwips ? m_widthTwips : where.width), m_dpi);
  status->SetText(text);
  status->ShowClock();
  return status;
}

TextBox* Win32Window::AddTextBox(const std::string& name, TwipsRect where, const std::string&)
{
  const DWORD style = WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL;
  m_text = Place(WC_EDITW, name, std::wstring(), style, WS_EX_CLIENTEDGE, where);
  return Keep(m_controls, std::make_unique<Win32TextBox>(m_text));
}

ListView* Win32Window::AddListView(const std::string& name, TwipsRect where, const std::vector<ListColumn>& columns,
                                   const std::string& label)
{
  HWND list = Place(WC_LISTVIEWW, name, win32::Wide(label), WS_TABSTOP | LVS_REPORT | LVS_SHOWSELALWAYS,
                    WS_EX_CLIENTEDGE, where);
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT);
  std::vector<int> widths;
  for (int i = 0; i < int(columns.size()); ++i) {
    std::wstring header = win32::Wide(columns[i].header);
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
    column.fmt = columns[i].alignRight && i > 0 ? LVCFMT_RIGHT : LVCFMT_LEFT;
    column.cx = Px(columns[i].widthTwips);
    column.pszText = header.data();
    SendMessageW(list, LVM_INSERTCOLUMNW, WPARAM(i), LPARAM(&column));
    widths.push_back(columns[i].widthTwips);
  }
  m_listColumns.emplace_back(list, widths);
  return Keep(m_controls, std::make_unique<Win32ListView>(list));
}

// The bitmap is stretched to the box, so it fills it at every scale.
void Win32Window::AddBanner(const std::string& name, TwipsRect where, const std::string& label)
{
  const DWORD style = WS_VISIBLE | SS_BITMAP | SS_REALSIZECONTROL | SS_SUNKEN;
  HWND picture = Place(WC_STATICW, name, win32::Wide(label), style, 0, where);
  if (!m_banner)
    m_banner = HBITMAP(LoadImageW(Instance(), MAKEINTRESOURCEW(IDB_BANNER), IMAGE_BITMAP, 0, 0, LR_DEFAULTCOLOR));
  SendMessageW(picture, STM_SETIMAGE, IMAGE_BITMAP, LPARAM(m_banner));
  MoveWindow(picture, Px(where.left), Px(where.top), Px(where.width), Px(where.height), FALSE);
}

void Win32Window::SetClientSize(int widthTwips, int heightTwips)
{
  m_widthTwips = widthTwips;
  m_heightTwips = heightTwips;
  const RECT frame = FrameFor(Px(widthTwips), Px(heightTwips), kFrameStyle, m_dpi);
  SetWindowPos(m_hwnd, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  for (const auto& bar : m_statusBars)
    bar->Layout(Px(widthTwips), m_dpi);
}

// Centred on the work area of the monitor the window is on.
void Win32Window::ShowCentred()
{
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  GetMonitorInfoW(MonitorFromWindow(m_hwnd, MONITOR_DEFAULTTOPRIMARY), &monitor);
  RECT frame;
  GetWindowRect(m_hwnd, &frame);
  const RECT& work = monitor.rcWork;
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  SetWindowPos(m_hwnd, nullptr, work.left + (work.right - work.left - width) / 2,
               work.top + (work.bottom - work.top - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  ShowWindow(m_hwnd, SW_SHOW);
  UpdateWindow(m_hwnd);
}

void Win32Window::Hide()
{
  KillTimer(m_hwnd, kClockTimer);
  ShowWindow(m_hwnd, SW_HIDE);
}
}  // namespace

std::unique_ptr<Window> NewSystemWindow(const std::string& name)
{
  return std::make_unique<Win32Window>(name);
}
