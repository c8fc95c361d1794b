#pragma once
// Reading an HTTP answer's header lines, the same way on every platform.
#include <cstdint>
#include <string>
#include <vector>

// text with ASCII capitals in lower case; header names compare that way.
std::string LowerAscii(std::string text);
// text without the spaces and tabs at either end, as header values are read.
std::string TrimmedBlanks(const std::string& text);

// The name and the value of a "Name: value" line, white space around them removed.
std::string HeaderName(const std::string& line);
std::string HeaderValue(const std::string& line);

// The value of the first header called name (any letter case) among lines, which start with
// the status line; "" when there is none.
std::string FindHeader(const std::vector<std::string>& lines, const std::string& name);

// What the final answer's headers say of its body.
struct BodyFraming {
  std::int64_t declaredLength = -1;  // the one Content-Length given; -1 when none or unreadable
  std::string refusal;               // why a 2xx GET body cannot be stored as sent; "" when it can
};

// Reads lines (status line first) of an answer with status to a HEAD (head) or a GET.
BodyFraming ReadFraming(const std::vector<std::string>& lines, bool head, int status);
