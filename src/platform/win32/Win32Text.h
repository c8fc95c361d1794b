#pragma once
// UTF-8 and the system's wide text, and the system's own words for an error.
#include <windows.h>

#include <functional>
#include <string>

namespace win32 {
std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);
std::string Utf8(const wchar_t* wide, int length);
// The system's message for an error code, without its line break.
std::string SystemReason(DWORD code);
inline std::string LastReason()
{
  return SystemReason(GetLastError());
}
// The event the waits of Events.cpp also wake on: set it from any thread to wake the window thread.
HANDLE WakeEvent();
// Runs work on the window thread at its next event pass; callable from any thread.
void PostToWindowThread(std::function<void()> work);
// Marks the calling thread as the window thread; called before any other thread starts.
void StartWindowThread();
}  // namespace win32
