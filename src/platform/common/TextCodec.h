#pragma once
// Text decoding the shared readers need from the platform.
#include <string>

namespace text_codec {
// True when bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsUtf8(const std::string& bytes);
// bytes read as the system's Chinese ANSI text (GB18030 on Linux, the ANSI code page on
// Windows), in UTF-8. Supplied by each platform.
std::string AnsiToUtf8(const std::string& bytes);
}  // namespace text_codec
