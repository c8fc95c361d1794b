#pragma once
// A scripted HTTP server on 127.0.0.1 for tests, on threads of its own: each path answers as
// its Reply says; unknown paths answer "404 Not Found". Standard C++ over POSIX sockets or Winsock.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#ifdef _WIN32
using Socket = std::uintptr_t;  // Winsock's SOCKET
#else
using Socket = int;
#endif

struct Reply {
  int status = 200;
  std::string reason = "OK";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;  // extra header lines
  bool sendContentLength = true;                             // "Content-Length: <declared or body size>"
  std::optional<std::int64_t> declaredLength;                // claim a length other than the body's
  bool stall = false;                                        // never answer
  std::int64_t closeAfter = -1;                              // send this many body bytes, then close
  bool holdOpen = false;                                     // after the body, neither close nor answer more
  std::int64_t streamBytes = 0;                              // a chunked body this long, sent as the client takes it
  int dripMs = 0;                                            // send the body in dripPieces pieces, this far apart
  int dripPieces = 1;
  bool ranges = false;  // answers "Range: bytes=N-" with a 206 while If-Range matches the ETag among the headers

  static Reply Ok(std::string body)
  {
    Reply r;
    r.body = std::move(body);
    return r;
  }
  static Reply Status(int status, const std::string& reason)
  {
    Reply r;
    r.status = status;
    r.reason = reason;
    r.body = "<html>" + reason + "</html>";
    return r;
  }
  static Reply Stall()
  {
    Reply r;
    r.stall = true;
    return r;
  }
};

class Server {
public:
  Server();
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // "http://127.0.0.1:<port>/mrvo/"
  std::string BaseUrl() const;
  // path is the request target as sent, e.g. "/mrvo/sub/a.dll".
  void Route(const std::string& path, const Reply& reply);
  // Shorthand for a file under /mrvo/.
  void File(const std::string& name, const std::string& body) { Route("/mrvo/" + name, Reply::Ok(body)); }

  // Every request line received so far, e.g. "HEAD /mrvo/a.dll"; a proxy's absolute target
  // ("GET http://host/mrvo/a.dll") is routed and recorded by its path.
  std::vector<std::string> Requests() const;
  // The header lines of each request, lower-case, in the order of Requests().
  std::vector<std::string> Heads() const;
  int Count(const std::string& method, const std::string& path) const;
  // Body bytes of streamed replies sent so far, and whether a client still holds one open.
  std::int64_t Streamed() const;
  bool Streaming() const;
  // The body bytes of ordinary replies sent for each request, in the order of Requests().
  std::vector<std::int64_t> Sent() const;

  // Called on the server's thread as each request arrives, before it is answered. A test that
  // acts on the window from here posts the action to the event loop. Set it while no request is
  // in flight.
  std::function<void(const std::string& requestLine)> onRequest;

private:
  void Accept();
  void Serve(Socket socket);
  std::int64_t Answer(Socket socket, const std::string& method, const std::string& path, const std::string& request);
  std::int64_t Send(Socket socket, const Reply& reply);
  void Stream(Socket socket, std::int64_t bytes);

  Socket m_listener = Socket(-1);
  int m_port = 0;
  mutable std::mutex m_mutex;
  std::condition_variable m_stopped;
  bool m_stopping = false;
  std::map<std::string, Reply> m_routes;
  std::vector<std::string> m_requests;
  std::vector<std::string> m_heads;
  std::vector<Socket> m_sockets;
  std::vector<std::thread> m_threads;
  std::int64_t m_streamed = 0;
  std::vector<std::int64_t> m_sent;
  int m_openStreams = 0;
  std::thread m_acceptor;
};
