#pragma once
// The "make" verb: the update list of a release folder.
#include <QString>

class QTextStream;

struct MakeOptions {
  QString version;        // the release's version
  QString runApp;         // the program started after an update; one of the release's files
  QString notesPath;      // a UTF-8 file, one note per non-empty line; empty: no notes
  QString previousPath;   // an earlier list whose unchanged files keep their Ver; empty: none
  QString releaseDir;
  int expiresDays = 0;    // the signed list expires so many days after make; 0: never
};

// Writes releaseDir/UpdList.xml listing every file below the folder, then prints the command
// that signs it on out, with a trusted comment giving the time, the list's name and any expiry. Returns 0, or 1 after one line on err naming what was refused or
// failed; the folder is left untouched then.
int MakeUpdateList(const MakeOptions& options, QTextStream& out, QTextStream& err);
