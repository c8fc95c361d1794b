#pragma once
// The window's side of the install engine (src/engine): the same operations with the
// program's own paths ("\" between folders).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace engine {
class FileOps;
class HeldLock;
class InstallEngine;
enum class LockRefusal;
}  // namespace engine

// The name a file is downloaded to before it is installed: name + ".tmp".
std::string TemporaryName(const std::string& name);

class Installer {
public:
  // Installs into the program folder.
  Installer();
  ~Installer();

  // A file pinned by the list's Size and Sha256 that the server gave a validator for: its
  // ".tmp" is kept when the download is cut short, for the next run to continue.
  struct Keepable {
    std::string name;
    std::int64_t size = 0;
    std::string sha256;     // the 32 bytes
    std::string validator;  // the strong ETag, else Last-Modified
  };
  struct KeptPart : Keepable {
    std::int64_t received = 0;  // bytes of its ".tmp" on the disk
  };

  // Records, before any is written, the ".tmp" files of the named files, of which the keepable
  // ones are kept when the download is cut short; removes what an earlier run kept that is
  // not of the same size and hash now. "" or the reason.
  std::string BeginDownload(const std::vector<std::string>& names, const std::vector<Keepable>& keepable = {});
  // What an earlier run kept, with a ".tmp" on the disk.
  std::vector<KeptPart> KeptParts();
  // The named file's ".tmp" proved wrong: it is removed and no longer kept. "" or the reason.
  std::string DropPart(const std::string& name);
  // The named file's ".tmp" is complete: only this very file will be installed. "" or the reason.
  std::string Downloaded(const std::string& name);
  // Removes the ".tmp" files of an abandoned download and its record; with keepParts the
  // keepable files' ".tmp" stay, recorded for the next run.
  void AbandonDownload(bool keepParts = true);

  struct Item {
    std::string name;
    bool executable = false;
  };
  // Puts every item's ".tmp" in its place, or none of them. On failure failedName and
  // reason say what went wrong (failedName is "" for a step of the whole set).
  bool Install(const std::vector<Item>& items, std::string* failedName, std::string* reason);

private:
  std::unique_ptr<engine::FileOps> m_ops;
  std::unique_ptr<engine::InstallEngine> m_engine;
};

// One updater at a time in the program folder: a lock on MervoUpdate.lock, held while this
// object lives and dropped by the system when the process ends. The file stays.
class RunLock {
public:
  RunLock();
  ~RunLock();
  bool Held() const { return m_held != nullptr; }
  // Another updater holds it.
  bool Busy() const;
  // The user may not write the program folder.
  bool Denied() const;
  // Why it could not be taken (the system's reason).
  std::string Reason() const { return m_reason; }

private:
  std::unique_ptr<engine::HeldLock> m_held;
  engine::LockRefusal m_refusal;
  std::string m_reason;
};

// Tests: while reason is not "", every RunLock is refused as a folder the user may not write,
// with that reason (a test running as root cannot make a folder unwritable).
void SetRunLockDenied(const std::string& reason);

// What the start-up found of an earlier run that did not end cleanly.
enum class Interrupted { Nothing, DownloadDiscarded, RolledBack, Completed, CleanedUp, Damaged, Unfinished };

// Completes or undoes an update that a crash interrupted, from its record in the program
// folder. reason is set for Damaged and Unfinished.
Interrupted RecoverInterruptedUpdate(std::string* reason);
