#pragma once
// The "check" verb: does the server deliver exactly the files its list describes?
#include <iosfwd>
#include <string>

struct CheckOptions {
  std::string baseUrl;    // http or https, ending in "/"
  std::string publicKey;  // a minisign key ("RW...") or the path of its .pub file; empty: unsigned
};

// Fetches the list (and its signature when a key is given), then every listed file, streamed
// through SHA-256. Prints a line per file and a summary on out. Returns 0 when every file
// matches, 1 on any difference or failure; a list that cannot be had is one line on err.
int CheckServer(const CheckOptions& options, std::ostream& out, std::ostream& err);
