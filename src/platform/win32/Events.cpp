// Waits over the Win32 message loop: a wait sleeps in MsgWaitForMultipleObjectsEx until a
// message arrives or another thread (the transfer's) hands the window thread some work.
// Keys go through the dialog manager of their top-level window first, so Tab and the arrow
// keys move between the controls.
#include "platform/Events.h"
#include "platform/win32/Win32Text.h"

#include <deque>
#include <mutex>

namespace {
struct Posted {
  std::mutex mutex;
  std::deque<std::function<void()>> work;
  DWORD thread = GetCurrentThreadId();  // the first to ask is the window thread
};

Posted& PostedWork()
{
  static Posted posted;
  return posted;
}

void RunPosted()
{
  Posted& posted = PostedWork();
  for (;;) {
    std::function<void()> next;
    {
      const std::lock_guard<std::mutex> lock(posted.mutex);
      if (posted.work.empty())
        return;
      next = std::move(posted.work.front());
      posted.work.pop_front();
    }
    next();
  }
}
}  // namespace

namespace win32 {
HANDLE WakeEvent()
{
  // Auto-reset: each wake is consumed by the one wait it ends; waiters check their state anyway.
  static const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  return event;
}

void PostToWindowThread(std::function<void()> work)
{
  Posted& posted = PostedWork();
  {
    const std::lock_guard<std::mutex> lock(posted.mutex);
    posted.work.push_back(std::move(work));
  }
  SetEvent(WakeEvent());
  // Also wakes a plain GetMessage loop; a modal loop may drop it, the queue stays.
  PostThreadMessageW(posted.thread, WM_NULL, 0, 0);
}

void StartWindowThread()
{
  PostedWork();
}
}  // namespace win32

void DoEvents()
{
  RunPosted();
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      // Left for the loop that owns the run.
      PostQuitMessage(int(message.wParam));
      break;
    }
    // Keys go to the dialog manager of their window first: Tab moves between the controls.
    const HWND root = message.hwnd ? GetAncestor(message.hwnd, GA_ROOT) : nullptr;
    if (root && IsDialogMessageW(root, &message))
      continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  RunPosted();
}

void WaitForEvents()
{
  const HANDLE wake = win32::WakeEvent();
  MsgWaitForMultipleObjectsEx(1, &wake, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  DoEvents();
}

void PostToEventLoop(std::function<void()> task)
{
  win32::PostToWindowThread(std::move(task));
}

// Nothing to hold: the message loop is the thread's own. Made first, it names the window thread.
struct EventLoop::Impl {};

EventLoop::EventLoop(int&, char**)
{
  win32::StartWindowThread();
}

EventLoop::~EventLoop() = default;
