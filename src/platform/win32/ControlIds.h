#pragma once
// How a program outside the updater finds its Win32 window and controls. The window's class
// is the window's name ("frmUpdate") and its title the application's title; each control is
// a child with the id below (GetDlgItem). The status bar has three panels: 0 the status text,
// 1 the date, 2 the time (SB_GETTEXTW). Message boxes are "#32770" dialogs owned by the
// window, with the buttons IDOK, IDYES and IDNO.
namespace win32ui {

struct NamedId {
  const char* name;
  int id;
};

// Away from IDOK and IDCANCEL, which the dialog manager sends for Enter and Escape.
constexpr NamedId kControlIds[] = {
    {"picCompany", 1001}, {"lvUpdateList", 1002}, {"sbUpdateInfo", 1003}, {"cmdFinish", 1004},
    {"cmdUpdate", 1005},  {"pbUpdate", 1006},     {"txtdata", 1007},
};

// Controls with other names get ids from here on, in the order they are made.
constexpr int kFirstOtherId = 1100;

enum StatusPanel { kStatusText = 0, kStatusDate = 1, kStatusTime = 2 };

}  // namespace win32ui
