#pragma once
// File services over the local file system. Paths are the program's own text,
// where "\" separates folders; on systems whose separator is "/" it is read as one.
#include <QString>

class QFileDevice;

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

// Removes a file; false when it was there and could not be removed.
bool RemoveFile(const QString& path);

// Writes data to path through a temporary file renamed into place, so that the
// old file stays whole until the new one is complete. Returns "" or the reason it failed.
QString WriteFileAtomically(const QString& path, const QByteArray& data);

// Forces everything written to the file system that holds path to the disk, in one
// go (cheaper than a flush per file). Returns "" or the reason it failed.
QString SyncFileSystem(const QString& path);

// Asks the system to start writing the file's data to the disk now, without waiting,
// so that a later sync has little left to do.
void StartWriteBack(QFileDevice& file);

// Starts a program detached, in workDir, without waiting for it; false when it cannot start.
bool StartDetached(const QString& program, const QString& workDir);

// Renames from over to, replacing to atomically when it exists (it may be a running program).
// Returns "" or the reason it failed.
QString RenameOver(const QString& from, const QString& to);

// Keeps a second name for the file at path (a hard link, or a copy where links are not
// possible), so that it can be put back after path has been replaced. Returns "" or the reason.
QString KeepAside(const QString& path, const QString& asidePath);

// Gives path the permission bits of model; with executable set, also the execute bits
// matching its read bits. Returns "" or the reason it failed.
QString AdoptPermissions(const QString& path, const QString& model, bool executable);

// Forces the folder's entries (renames, new files) to the disk; best effort.
void SyncFolder(const QString& folder);
