#pragma once
// Other processes: finding the ones that run a given program, and ending them.
#include <QList>
#include <QString>

// The processes whose executable is the file at path ("\" read as a folder separator),
// including ones still running a copy that has since been replaced or removed.
QList<qint64> ProcessesRunning(const QString& path);

// Ends a process: on Linux it is asked to stop (SIGTERM) and, still there after graceMs,
// killed; on Windows it is terminated with exit code 1. Waits on the event loop, never
// spinning. True once the process is gone.
bool EndProcess(qint64 pid, int graceMs);
