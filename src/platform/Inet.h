#pragma once
// The HTTP transfer control: one request at a time, started without waiting,
// waited for on the event loop, its body read back in pieces.
//
// The implementation does the HTTP work (framing, redirects, proxies and their
// authentication, TLS, kept-alive connections) and is driven from the window's own event
// loop, so nothing ever blocks the window.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

// A failed whole-body fetch; what() is the reason shown to the user.
class InetError : public std::runtime_error {
public:
  explicit InetError(const std::string& reason) : std::runtime_error(reason) {}
  std::string Reason() const { return what(); }
};

class Inet {
public:
  static constexpr int icError = 11;
  static constexpr int icResponseCompleted = 12;
  static constexpr int DefaultTimeoutMs = 30000;
  // Most body bytes held in memory before the server is made to wait for the reader.
  static constexpr std::int64_t BufferLimit = 512 * 1024;

  Inet();
  ~Inet();
  Inet(const Inet&) = delete;
  Inet& operator=(const Inet&) = delete;

  std::string URL = "http://";

  // Told of each finished request: icResponseCompleted, or icError when it failed.
  // Not called after Shutdown().
  std::function<void(int state)> OnStateChanged;

  // Starts a "HEAD" or "GET" for an already encoded address and returns at once.
  // A GET stops executing as soon as the final response's headers are in; its body
  // is then read with GetChunk.
  void Execute(const std::string& url, const std::string& operation);
  // Starts a GET for the body from byte offset on ("Range: bytes=offset-"), to be sent as a
  // range only while the file is still the one validator names ("If-Range"); a server that
  // ignores either answers 200 with the whole body.
  void ExecuteFrom(const std::string& url, std::int64_t offset, const std::string& validator);
  bool StillExecuting() const;

  // Blocks on the event loop while StillExecuting(). Throws RunEnded after Shutdown().
  void Wait();

  // The final response's header text: its status line, then its header lines, each
  // ending in "\r\n". Empty when no response arrived.
  std::string GetHeader() const;
  // The first header of that name (any letter case); empty when absent.
  std::string GetHeader(const std::string& name) const;
  int StatusCode() const;

  // The next piece of the body, at most maxBytes; empty at its end (or after a failure).
  // Waits on the event loop for data; throws RunEnded after Shutdown().
  std::string GetChunk(int maxBytes);

  // Fetches a whole body of at most maxBytes. Throws InetError with a readable
  // reason on any failure, RunEnded after Shutdown().
  std::string OpenURL(const std::string& url, std::int64_t maxBytes);

  // Why the answer of the last request is unusable: a failed transfer or a status
  // other than 2xx. Empty when the answer is usable; valid once the wait has ended.
  std::string AnswerFailure() const;

  // Why the last request did not deliver a complete 2xx answer; empty when it did.
  // Meaningful once the request has finished (for a GET: after GetChunk returned empty).
  std::string FailureReason() const;

  // Body bytes handed out by GetChunk for the current request.
  std::int64_t BytesReceived() const;
  // The final answer's one Content-Length, once its headers are in; -1 when it gave none.
  std::int64_t DeclaredLength() const;

  // Drops the current request at once and closes its connection: the rest of the body is
  // never read. Nothing is signalled; a finished request is left as it is.
  void Cancel();

  // Ends the run for this control: aborts the request, and every later wait throws RunEnded.
  void Shutdown();

  // Inactivity limit of a request; a request that receives nothing for this long fails.
  void SetTimeoutMs(int ms);

  // Certificates are checked against the system's store; tests name a file of their own.
  void SetCaFile(const std::string& path);

private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// The parts of an address that the updater checks, as the transfer reads them.
struct UrlParts {
  std::string scheme;
  std::string host;
};

// The address's scheme (as written) and host, when it is a well-formed absolute address;
// nullopt otherwise.
std::optional<UrlParts> ParseUrl(const std::string& url);
