#include "platform/win32/Win32Text.h"

namespace win32 {
std::wstring Wide(const std::string& utf8)
{
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring wide(size_t(size > 0 ? size : 0), L'\0');
  if (size > 0)
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), size);
  return wide;
}

std::string Utf8(const wchar_t* wide, int length)
{
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide, length, nullptr, 0, nullptr, nullptr);
  std::string text(size_t(size > 0 ? size : 0), '\0');
  if (size > 0)
    WideCharToMultiByte(CP_UTF8, 0, wide, length, text.data(), size, nullptr, nullptr);
  return text;
}

std::string Utf8(const std::wstring& wide)
{
  return Utf8(wide.data(), int(wide.size()));
}

std::string SystemReason(DWORD code)
{
  wchar_t* buffer = nullptr;
  const DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
  DWORD length = FormatMessageW(flags, nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (length == 0) {
    // WinINet's own codes live in its module's message table.
    length = FormatMessageW(flags | FORMAT_MESSAGE_FROM_HMODULE, GetModuleHandleW(L"wininet.dll"), code, 0,
                            reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  }
  std::wstring text = length ? std::wstring(buffer, length) : L"error " + std::to_wstring(code);
  if (buffer)
    LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
    text.pop_back();
  return Utf8(text);
}
}  // namespace win32
