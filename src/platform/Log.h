#pragma once
// The log for support: "MervoUpdate.log" in the program folder, one line per event,
// each starting with the local time in ISO 8601, in UTF-8. Past 1 MiB the log moves to
// "MervoUpdate.log.1" (one older generation is kept). A log that cannot be written is
// skipped: it never stops an update.
#include <string>

// The log's file name in the program folder.
inline std::string LogName()
{
  return "MervoUpdate.log";
}

// Appends one line (line breaks in text are shown as " / ").
void LogEvent(const std::string& text);

// Writes out what is buffered; done at the end of a run and after every failure.
void FlushLog();
