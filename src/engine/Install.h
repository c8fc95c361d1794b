#pragma once
// The install engine: puts a set of downloaded ".tmp" files in place of their targets
// all at once, or not at all, even across a crash or a power cut.
//
// Every step is written down in a journal before it is taken (see Journal.h); the journal's
// phase tells the next start what to do: forget a download, undo an install, or finish
// the clean-up of a committed one.
#include "engine/FileOps.h"
#include "engine/Journal.h"

#include <map>
#include <string>
#include <vector>

namespace engine {

// Told after each step that leaves a mark on the disk (a journal write, a rename, a
// removal), numbered from 1. Tests stop the engine at step N to prove recovery.
class InstallObserver {
public:
  virtual ~InstallObserver() = default;
  virtual void Step(int number, const std::string& what) = 0;
};

struct InstallItem {
  std::string name;         // relative to the program folder, "/" between folders
  bool executable = false;  // the main program: it gets execute bits
};

// A file's ".tmp" kept from a cut download, as recorded, and how much of it is on the disk.
struct KeptPart : KeepableFile {
  long long received = 0;
};

struct InstallResult {
  bool ok = false;
  std::string failedName;  // the file that could not be installed ("" for a step of the whole set)
  std::string reason;      // a Chinese sentence with the system's reason
};

class InstallEngine {
public:
  InstallEngine(std::string folder, FileOps& ops, InstallObserver* observer = nullptr);

  // Before the first ".tmp" is written: records the download and the names of the files
  // that will get one; of these, the keepable ones (with a validator) keep their ".tmp" when
  // the run is cut short. A part kept by an earlier run stays only when keepable now with
  // the same size and hash and no larger than that size; every other ".tmp" that run left is
  // removed. Returns "" or the reason the journal could not be written.
  std::string BeginDownload(const std::vector<std::string>& names, const std::vector<KeepableFile>& keepable = {});
  // The kept parts recorded in the program folder that have a ".tmp" on the disk, in the
  // order recorded: what the next download may ask the server to continue.
  std::vector<KeptPart> KeptParts();
  // The named file's ".tmp" is known to be wrong (its hash or size failed, or more arrived
  // than listed): removes it, and it is no longer kept. "" or the system's reason.
  std::string DropPart(const std::string& name);
  // The named file's ".tmp" is complete: Install puts in only this very file (the same
  // file on the disk, of the same size). "" or the system's reason it cannot be told.
  std::string Downloaded(const std::string& name);
  // The download was abandoned: removes its ".tmp" files and the journal; with keepParts,
  // the keepable files' ".tmp" stay and the journal records only them.
  void AbandonDownload(bool keepParts);
  // Installs every item's ".tmp" over its target. A name listed twice is installed once.
  // On failure every replaced target is put back, the ".tmp" files are removed and the
  // journal is deleted; where putting back fails, the journal and the old file's kept-aside
  // copy stay for Recover.
  // Kept-aside copies that cannot be removed yet stay listed in a committed journal.
  InstallResult Install(const std::vector<InstallItem>& items);

private:
  std::string m_folder;
  FileOps& m_ops;
  InstallObserver* m_observer;
  int m_step = 0;
  bool m_downloading = false;
  std::vector<std::string> m_downloads;
  std::vector<KeepableFile> m_keepable;  // of m_downloads, the files a cut download keeps
  std::map<std::string, FileIdentity> m_written;
};

enum class RecoveryOutcome {
  Nothing,           // no journal: the last run ended cleanly
  DownloadDiscarded, // a download was interrupted: its ".tmp" files are gone but the kept parts,
                     // which the journal alone still records; nothing else changed
  RolledBack,        // an install was interrupted: the old files are back
  Completed,         // an install had committed: its clean-up is done
  CleanedUp,         // a finished install's last kept-aside copies are removed; its run had told the user
  Damaged,           // the journal cannot be trusted: nothing was touched
  Unfinished,        // a step failed: the journal stays, and the next call tries again
};

struct Recovery {
  RecoveryOutcome outcome = RecoveryOutcome::Nothing;
  std::string reason;  // for Damaged and Unfinished, a Chinese sentence saying what is wrong
};

// Completes or undoes what a journal in folder records, then deletes the journal (or, of a
// download, keeps its kept parts with a journal of them alone).
// Idempotent: a crash during recovery is recovered by the next call.
Recovery Recover(const std::string& folder, FileOps& ops, InstallObserver* observer = nullptr);

}  // namespace engine
