#pragma once
// UTF-8, the text of the layers above, to and from the UTF-16 of the Win32 calls.
#include <windows.h>

#include <string>

inline std::wstring Wide(const std::string& text)
{
  if (text.empty())
    return std::wstring();
  const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
  std::wstring wide(length, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), length);
  return wide;
}

inline std::string Narrow(const std::wstring& wide)
{
  if (wide.empty())
    return std::string();
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string text(length, '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), text.data(), length, nullptr, nullptr);
  return text;
}

// The text of a window or control.
inline std::wstring WindowTextOf(HWND hwnd)
{
  std::wstring text(GetWindowTextLengthW(hwnd) + 1, L'\0');
  text.resize(GetWindowTextW(hwnd, text.data(), int(text.size())));
  return text;
}
