#pragma once
// File services over the local file system. Paths are the program's own text,
// where "\" separates folders; on systems whose separator is "/" it is read as one.
#include <cstdint>
#include <memory>
#include <string>

class Sha256Worker;

// The folder that holds the updater's executable, without a trailing separator.
std::string AppPath();
// Tests run the updater in a folder of their own.
void SetAppPath(const std::string& folder);

// The path as the operating system spells it.
std::string NativePath(const std::string& path);

// True when a directory listing of path names something: a file always,
// a folder only when includeFolders is set.
bool PathHasEntry(const std::string& path, bool includeFolders);

// Creates every missing folder up to the last "\" of path; true when they all exist afterwards.
bool MakeSureDirectoryPathExists(const std::string& path);

// Reads a whole file of at most maxBytes into data; false when it cannot be read or is larger,
// with the reason in *reason when one is given.
bool ReadSmallFile(const std::string& path, std::int64_t maxBytes, std::string* data, std::string* reason = nullptr);

// Removes a file; false when it was there and could not be removed.
bool RemoveFile(const std::string& path);

// Writes data to path through a temporary file renamed into place, so that the
// old file stays whole until the new one is complete. Returns "" or the reason it failed.
std::string WriteFileAtomically(const std::string& path, const std::string& data);

// A download's file, written in large blocks. Open() removes whatever stands at the path
// (a link or a leftover included) and creates the file afresh, never writing through a link.
// Every failure is returned as the system's reason ("" on success).
class OutputFile {
public:
  OutputFile();
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  std::string Open(const std::string& path);
  // Opens the file already at path (never through a link) to append to it; *size is set to
  // the bytes it holds, which the hasher reads back meanwhile.
  std::string Continue(const std::string& path, std::int64_t* size);
  // Everything in the file (from Open or Continue on) also goes through hasher, written blocks
  // handed over whole: hashing 1 KiB pieces one by one is a third slower.
  void HashWith(Sha256Worker* hasher);
  std::string Write(const char* data, std::int64_t size);
  // Writes out what is buffered, then asks the system to start putting it on the disk
  // without waiting, so that the sync before the install has little left to do.
  std::string StartWriteBack();
  // Writes out what is buffered and closes the file.
  std::string Close();

private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// True when the folders of name (relative, "\" between them) that already exist lead,
// links resolved, to places inside folder; false when one leads outside or is a broken link.
bool StaysInsideFolder(const std::string& folder, const std::string& name);

// True when path names a regular file itself, not a link to one.
bool IsPlainFile(const std::string& path);
// The size of the file at path; -1 when there is none.
std::int64_t FileSize(const std::string& path);

// Starts a program detached, in workDir, without waiting for it; false when it cannot start.
bool StartDetached(const std::string& program, const std::string& workDir);

// Renames from over to, replacing to atomically when it exists (it may be a running program).
// Returns "" or the reason it failed.
std::string RenameOver(const std::string& from, const std::string& to);
