#pragma once
// File services over the local file system. Paths are the program's own text,
// where "\" separates folders; on systems whose separator is "/" it is read as one.
#include <QString>

class Sha256Hasher;

// The folder that holds the updater's executable, without a trailing separator.
QString AppPath();
// Tests run the updater in a folder of their own.
void SetAppPath(const QString& folder);

// The path as the operating system spells it.
QString NativePath(const QString& path);

// True when a directory listing of path names something: a file always,
// a folder only when includeFolders is set.
bool PathHasEntry(const QString& path, bool includeFolders);

// Creates every missing folder up to the last "\" of path; true when they all exist afterwards.
bool MakeSureDirectoryPathExists(const QString& path);

// Reads a whole file of at most maxBytes into data; false when it cannot be read or is larger,
// with the reason in *reason when one is given.
bool ReadSmallFile(const QString& path, qint64 maxBytes, QByteArray* data, QString* reason = nullptr);

// Removes a file; false when it was there and could not be removed.
bool RemoveFile(const QString& path);

// Writes data to path through a temporary file renamed into place, so that the
// old file stays whole until the new one is complete. Returns "" or the reason it failed.
QString WriteFileAtomically(const QString& path, const QByteArray& data);

// A download's file, written in large blocks. Open() removes whatever stands at the path
// (a link or a leftover included) and creates the file afresh, never writing through a link.
// Every failure is returned as the system's reason ("" on success).
class OutputFile {
public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  QString Open(const QString& path);
  // Everything written from now on also goes through hasher, in large blocks (hashing
  // 1 KiB pieces one by one is a third slower).
  void HashWith(Sha256Hasher* hasher) { m_hasher = hasher; }
  QString Write(const char* data, qint64 size);
  // Writes out what is buffered, then asks the system to start putting it on the disk
  // without waiting, so that the sync before the install has little left to do.
  QString StartWriteBack();
  // Writes out what is buffered and closes the file.
  QString Close();

private:
  QString WriteOut();

  int m_fd = -1;
  QByteArray m_buffer;
  Sha256Hasher* m_hasher = nullptr;
};

// True when the folders of name (relative, "\" between them) that already exist lead,
// links resolved, to places inside folder; false when one leads outside or is a broken link.
bool StaysInsideFolder(const QString& folder, const QString& name);

// True when path names a regular file itself, not a link to one.
bool IsPlainFile(const QString& path);
// The size of the file at path; -1 when there is none.
qint64 FileSize(const QString& path);

// True when something (a file, a folder, a link even when broken) stands at path.
bool EntryExists(const QString& path);

// Starts a program detached, in workDir, without waiting for it; false when it cannot start.
bool StartDetached(const QString& program, const QString& workDir);

// Renames from over to, replacing to atomically when it exists (it may be a running program).
// Returns "" or the reason it failed.
QString RenameOver(const QString& from, const QString& to);

