#pragma once
// What a file's probe found, and the checks a download passes before its file may be
// installed. Each check returns "" or the reason (Chinese) the file is refused.
#include <cstdint>
#include <string>

class Inet;

// What is known of a file before its download; -1 or empty where nothing is.
struct FileExpectation {
  std::int64_t listedSize = -1;  // the list's Size
  std::string listedHash;        // the list's Sha256, 32 bytes
  std::int64_t probedSize = -1;  // the Content-Length of the probe
  std::string validator;         // of the probe: a strong ETag, else Last-Modified
};

struct ProbeResult {
  bool missing = false;   // the server does not have the file
  std::int64_t size = 0;  // the Content-Length's digits; 0 when there are none
  bool reported = false;  // the server gave a size
  std::string validator;  // a strong ETag, else Last-Modified; empty with neither
};

// Asks the server for the file at url with a HEAD and waits for the answer on the event loop.
ProbeResult ProbeRemoteFile(Inet& client, const std::string& url);

// The answer to a GET, before a byte of it is saved: an error page, a failed request, or an
// announced length other than the one expected. A 206 answers a request for the bytes
// from offset on: it must hold exactly those, up to the listed size.
std::string CheckAnswer(const Inet& client, const FileExpectation& expected, std::int64_t offset = 0);

// After total bytes arrived: refuses a body already longer than expected, which could
// otherwise go on until the disk is full.
std::string CheckSoFar(std::int64_t total, const FileExpectation& expected);

// When the body has ended: a failed transfer, or a length other than the one expected.
std::string CheckWhole(const Inet& client, std::int64_t total, const FileExpectation& expected);

// digest: the SHA-256 of the bytes received.
std::string CheckDigest(const std::string& digest, const FileExpectation& expected);

// Makes the folders of name (relative, "\" or "/" between folders) in appPath. Refuses a name
// whose real path leaves appPath: a folder may have been swapped for a link since the probe.
std::string PrepareFolder(const std::string& appPath, const std::string& name);
