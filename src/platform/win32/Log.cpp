// The support log over the Win32 file calls.
#include "platform/Log.h"

#include "platform/FileSys.h"
#include "platform/win32/Win32Text.h"

#include <cstdio>

namespace {
constexpr std::int64_t MaxLogBytes = 1024 * 1024;

// The local time in ISO 8601 with its offset from UTC.
std::string LocalTimeText()
{
  SYSTEMTIME local;
  GetLocalTime(&local);
  TIME_ZONE_INFORMATION zone;
  const DWORD kind = GetTimeZoneInformation(&zone);
  long bias = -zone.Bias - (kind == TIME_ZONE_ID_DAYLIGHT ? zone.DaylightBias : 0);
  char text[40];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u%c%02ld:%02ld", local.wYear, local.wMonth, local.wDay,
                local.wHour, local.wMinute, local.wSecond, bias < 0 ? '-' : '+', labs(bias) / 60, labs(bias) % 60);
  return text;
}

void Append(const std::string& path, const std::string& bytes)
{
  const std::wstring wide = win32::Wide(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)
      && (std::int64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow) + std::int64_t(bytes.size()) > MaxLogBytes)
    RenameOver(path, path + ".1");
  const HANDLE file = CreateFileW(wide.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return;
  DWORD written = 0;
  WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr);
  CloseHandle(file);
}
}  // namespace

void LogEvent(const std::string& text)
{
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, "\r\n") == 0)
      ++i;
    line += text[i] == '\n' || text[i] == '\r' ? std::string(" / ") : std::string(1, text[i]);
  }
  // Each line is written through at once, so FlushLog has nothing left to do.
  Append(NativePath(AppPath() + '\\' + LogName()), LocalTimeText() + ' ' + line + '\n');
}

void FlushLog() {}
