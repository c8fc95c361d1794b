// The settings reader itself is shared (common/Profile.cpp); Windows supplies the ANSI decoding.
#include "platform/common/TextCodec.h"
#include "platform/win32/Win32Text.h"

namespace text_codec {
std::string AnsiToUtf8(const std::string& bytes)
{
  const int size = MultiByteToWideChar(GetACP(), 0, bytes.data(), int(bytes.size()), nullptr, 0);
  std::wstring wide(size_t(size > 0 ? size : 0), L'\0');
  if (size > 0)
    MultiByteToWideChar(GetACP(), 0, bytes.data(), int(bytes.size()), wide.data(), size);
  return win32::Utf8(wide);
}
}  // namespace text_codec
