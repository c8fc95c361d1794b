#pragma once
// Small routines on paths, folders, sizes and the update server.
#include <QString>

class Inet;

// The update list's name on the server.
inline QString ServerListName() { return QStringLiteral("UpdList.xml"); }

// Most that the update list may weigh; a larger answer is not a list.
constexpr qint64 MaxListBytes = 16 * 1024 * 1024;

// The prefix of text up to and including the last separator; "" when there is none.
QString GetDirPart(const QString& text, const QString& separator);

// path with a trailing "\" (an empty path gives "\").
QString AddBackslash(const QString& path);

// Creates every missing folder along path; true when the whole chain exists afterwards.
bool MakeDir(const QString& path);

// True when a listing of path names a normal file. attributes is the listing's
// attribute mask: 0 lists normal files only, 16 (directory) also folders.
constexpr int vbDirectory = 16;
bool FileExists(const QString& path, int attributes);

// The address of a file on the server: the base address followed by the name,
// "\" turned into "/" and each segment percent-encoded as UTF-8.
QString FileUrl(const QString& baseUrl, const QString& name);

// True when the answer to the last HEAD says that the file is not on the server.
bool IsMissingOnServer(const Inet& client);

// The leading decimal digits of a Content-Length value; 0 when absent or not numeric.
qint64 ContentLengthOf(const QString& value);

// Size as shown in the file table: "#0KB" below 1 MiB, else "#0.00MB", halves rounded up.
QString FormatFileSize(qint64 bytes);

// True when a name from the update list stays inside the program folder, every system
// can hold it and it is none of the updater's own files (see engine/Names.h for the rules).
bool IsSafeRelativeName(const QString& name);

// True for an http or https address ending in "/".
bool IsValidUpdateUrl(const QString& url);

// Fetches baseUrl + remoteName into the program folder as localName. Returns false with
// failure left empty when the server says the file is missing; on any other failure sets
// failure to the reason and returns false, leaving an older localName untouched.
bool DownloadFile(Inet& client, const QString& baseUrl, const QString& remoteName,
                  const QString& localName, QString* failure);

// Whole percent of done in total, rounded to nearest with ties to even, never above 100.
int ProgressPercent(qint64 done, qint64 total);
