// Waiting on the thread's message queue. Keys go through the dialog manager of their
// top-level window first, so Tab and the arrow keys move between the controls.
#include "platform/Events.h"

#include <windows.h>

void DoEvents()
{
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      // Left for the loop that owns the run to see.
      PostQuitMessage(int(message.wParam));
      return;
    }
    HWND root = message.hwnd ? GetAncestor(message.hwnd, GA_ROOT) : nullptr;
    if (root && IsDialogMessageW(root, &message))
      continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

void WaitForEvents()
{
  // Returns at once when input is already waiting, even input seen before and left queued.
  MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  DoEvents();
}
