#pragma once
// The install journal, MervoUpdate.journal in the program folder: what an update has
// started, so that the next start can finish or undo it.
//
// UTF-8 text, one record a line, fields separated by tabs, "\n" after every line:
//   MervoUpdate journal 2          1 where no record below needs 2
//   <phase>                        download | install | committed
//   tmp<TAB><name>.tmp             download, install: a downloaded file of no target
//   tmp<TAB><name>.tmp<TAB><size><TAB><sha256><TAB><validator>
//                                  download (2): a file kept when the download is cut short
//   file<TAB>existed|new<TAB><name><TAB><name>.updbak~<TAB><name>.tmp    install
//   aside<TAB><name>.updbak~       committed: a kept-aside copy still to remove
//   end
// Names are relative to the program folder, "/" between folders.
#include "engine/FileOps.h"

#include <string>
#include <vector>

namespace engine {

// The journal's file name in the program folder.
inline const char* JournalName()
{
  return "MervoUpdate.journal";
}

// The name a file is downloaded to, and the name its old copy is kept under.
std::string TemporaryName(const std::string& name);
std::string AsideName(const std::string& name);

struct JournalTarget {
  std::string name;
  bool existed = false;  // something stood at name before the install
};

// A file whose ".tmp" outlives a cut download, so that the next run can ask for the rest: the
// list pins it by size and hash, and the server gave a validator for it.
struct KeepableFile {
  std::string name;       // the target's name, as listed
  long long size = 0;     // the listed size
  std::string sha256;     // the listed hash, 64 lower-case hex digits
  std::string validator;  // the strong ETag, else Last-Modified; no control characters
};

struct Journal {
  // Finished: a committed install whose run ended and told the user; only its kept-aside
  // copies that could not be removed then (a running program's) are left.
  enum class Phase { Download, Install, Committed, Finished };
  Phase phase = Phase::Download;
  std::vector<std::string> temporaries;  // Download, Install: ".tmp" names of no target
  std::vector<KeepableFile> keepable;    // Download: files whose ".tmp" a cut download keeps
  std::vector<JournalTarget> targets;    // Install, in the order they are replaced
  std::vector<std::string> asides;       // Committed, Finished: kept-aside copies still to remove
};

std::string FormatJournal(const Journal& journal);
// Returns "" and fills journal when text is a whole, valid journal; otherwise a short
// Chinese reason why it cannot be trusted.
std::string ParseJournal(const std::string& text, Journal* journal);
// Writes journal as folder's journal, on the disk when it returns "" (else the system's reason).
std::string WriteJournal(FileOps& ops, const std::string& folder, const Journal& journal);

}  // namespace engine
