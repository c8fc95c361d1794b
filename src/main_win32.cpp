// The updater on Windows: one window, no command-line arguments.
#include "frmUpdate/frmUpdate.h"
#include "platform/Events.h"
#include "platform/win32/Win32Text.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
  win32::StartWindowThread();
  frmUpdate form;
  // The run ends when the window is unloaded, not when it is hidden or closed.
  bool ended = false;
  form.Unloaded = [&ended] { ended = true; };
  form.Form_Load();
  while (!ended && !form.IsUnloaded())
    WaitForEvents();
  return 0;
}
