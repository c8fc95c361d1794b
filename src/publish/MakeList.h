#pragma once
// The "make" verb: the update list of a release folder.
#include <iosfwd>
#include <string>

struct MakeOptions {
  std::string version;       // the release's version
  std::string runApp;        // the program started after an update; one of the release's files
  std::string notesPath;     // a UTF-8 file, one note per non-empty line; empty: no notes
  std::string previousPath;  // an earlier list whose unchanged files keep their Ver; empty: none
  std::string releaseDir;
  int expiresDays = 0;  // the signed list expires so many days after make; 0: never
};

// Writes releaseDir/UpdList.xml listing every file below the folder, then prints the command
// that signs it on out, with a trusted comment giving the time, the list's name and any expiry.
// Returns 0, or 1 after one line on err naming what was refused or failed; the folder is left
// untouched then.
int MakeUpdateList(const MakeOptions& options, std::ostream& out, std::ostream& err);
