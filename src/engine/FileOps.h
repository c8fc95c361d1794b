#pragma once
// The file operations the install engine needs, one implementation per system.
// Free of Qt: the engine also builds for Windows, where the window does not.
// Paths are UTF-8 with "/" between folders. Each operation returns "" on success or
// the system's reason for the failure.
#include <memory>
#include <string>
#include <vector>

namespace engine {

// What tells one file from another on the disk, and its size.
struct FileIdentity {
  unsigned long long volume = 0;
  unsigned long long file = 0;
  long long size = -1;
  bool operator==(const FileIdentity& other) const
  {
    return volume == other.volume && file == other.file && size == other.size;
  }
};

// Why a lock was not taken: another process holds it, the user may not write there, or else.
enum class LockRefusal { None, Busy, Denied, Other };

// A lock held for as long as the object lives, and never longer than the process.
class HeldLock {
public:
  virtual ~HeldLock() = default;
};

class FileOps {
public:
  virtual ~FileOps() = default;

  // Writes data to path through a temporary file (path + ".tmp") that is flushed and
  // renamed over it, then flushes the folder: when this returns "", the new content is on
  // the disk. A crash leaves either the old or the new content at path.
  virtual std::string WriteDurably(const std::string& path, const std::string& data) = 0;
  // Reads a whole (small) file.
  virtual std::string Read(const std::string& path, std::string* data) = 0;
  // Puts the data of new files under folder on the disk before any of them is renamed
  // into place. files lists them (folder-relative); a system may flush them one by one
  // or the whole file system at once.
  virtual std::string FlushNewFiles(const std::string& folder, const std::vector<std::string>& files) = 0;
  // Puts a folder's entries (renames, removals) on the disk; a no-op where renames are
  // durable by themselves.
  virtual std::string FlushFolder(const std::string& folder) = 0;
  // Keeps the file at path reachable as aside (replacing any aside there), so that it can
  // be put back; aside is whole the moment it appears. Where a second name cannot be
  // made, or a file in use cannot be replaced by name, this moves it (path is then absent).
  virtual std::string KeepAside(const std::string& path, const std::string& aside) = 0;
  // Renames from over to, replacing to atomically and durably when it exists.
  virtual std::string Replace(const std::string& from, const std::string& to) = 0;
  // Removes a file; "" when it is already absent.
  virtual std::string Remove(const std::string& path) = 0;
  // True when something (a file, a link even when broken) stands at path.
  virtual bool Exists(const std::string& path) = 0;
  // The identity of what stands at path itself (a link is not followed).
  virtual std::string Identify(const std::string& path, FileIdentity* identity) = 0;
  // True when the folders of name (relative, "/" between them) that exist lead, links
  // resolved, to places inside folder; false when one leads outside or cannot be resolved.
  virtual bool StaysInside(const std::string& folder, const std::string& name) = 0;
  // Creates the file at path if need be (it stays afterwards) and locks it for this process
  // alone, without waiting. Sets held when taken; otherwise sets refusal and returns the
  // system's reason. Programs this process starts never inherit it.
  virtual std::string TakeLock(const std::string& path, std::unique_ptr<HeldLock>* held, LockRefusal* refusal) = 0;
  // Gives path the permission bits of model (or the usual ones when model is absent),
  // plus execute bits when executable; a no-op where files carry no such bits.
  virtual std::string AdoptPermissions(const std::string& path, const std::string& model, bool executable) = 0;
};

// The implementation for the system the program runs on.
std::unique_ptr<FileOps> SystemFileOps();

}  // namespace engine
