#pragma once
// Text as the publisher's tool handles it: UTF-8 read by code point, trimmed, shown safely.
#include <cstddef>
#include <string>

// The code point that starts at text[*pos], moving *pos past it. A byte that starts no
// well-formed sequence gives U+FFFD and is skipped alone.
char32_t NextCodePoint(const std::string& text, std::size_t* pos);

// text with each control character shown as "<U+XXXX>" and each malformed byte as U+FFFD,
// safe to print on a terminal.
std::string VisibleText(const std::string& text);

// text without the white space at either end: Unicode's separators, tab to carriage return, U+0085.
std::string TrimmedUnicode(const std::string& text);

// True when a comes before b in UTF-16 order, the order the lists have always been sorted in.
bool Utf16Less(const std::string& a, const std::string& b);

// Reads at most maxBytes from the start of the file at path into *data.
// Returns "" or the system's reason.
std::string ReadFileStart(const std::string& path, std::size_t maxBytes, std::string* data);
