#pragma once
// Small routines on paths, folders, sizes and the update server.
#include <cstdint>
#include <string>

class Inet;

// The update list's name on the server.
inline std::string ServerListName()
{
  return "UpdList.xml";
}

// Most that the update list may weigh; a larger answer is not a list.
constexpr std::int64_t MaxListBytes = 16 * 1024 * 1024;

// text without the ASCII white space at either end.
std::string Trimmed(const std::string& text);

// The prefix of text up to and including the last separator; "" when there is none.
std::string GetDirPart(const std::string& text, const std::string& separator);

// path with a trailing "\" (an empty path gives "\").
std::string AddBackslash(const std::string& path);

// Creates every missing folder along path; true when the whole chain exists afterwards.
bool MakeDir(const std::string& path);

// True when a listing of path names a normal file. attributes is the listing's
// attribute mask: 0 lists normal files only, 16 (directory) also folders.
constexpr int vbDirectory = 16;
bool FileExists(const std::string& path, int attributes);

// The address of a file on the server: the base address followed by the name,
// "\" turned into "/" and each segment percent-encoded as UTF-8.
std::string FileUrl(const std::string& baseUrl, const std::string& name);

// True when the answer to the last HEAD says that the file is not on the server.
bool IsMissingOnServer(const Inet& client);

// The leading decimal digits of a Content-Length value; 0 when absent or not numeric.
std::int64_t ContentLengthOf(const std::string& value);

// Size as shown in the file table: "#0KB" below 1 MiB, else "#0.00MB", halves rounded up.
std::string FormatFileSize(std::int64_t bytes);

// True when a name from the update list stays inside the program folder, every system
// can hold it and it is none of the updater's own files (see engine/Names.h for the rules).
bool IsSafeRelativeName(const std::string& name);

// True for an http or https address ending in "/".
bool IsValidUpdateUrl(const std::string& url);

// Fetches baseUrl + remoteName into the program folder as localName. Returns false with
// failure left empty when the server says the file is missing; on any other failure sets
// failure to the reason and returns false, leaving an older localName untouched.
bool DownloadFile(Inet& client, const std::string& baseUrl, const std::string& remoteName, const std::string& localName,
                  std::string* failure);

// Whole percent of done in total, rounded to nearest with ties to even, never above 100.
int ProgressPercent(std::int64_t done, std::int64_t total);
