#include "Server.h"

#include <algorithm>
#include <cctype>
#include <chrono>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {
// The socket calls that differ on Winsock, in one place.
#ifdef _WIN32
constexpr int ShutBoth = SD_BOTH;
constexpr int SendFlags = 0;
const auto CloseSocket = ::closesocket;
#else
constexpr int ShutBoth = SHUT_RDWR;
constexpr int SendFlags = MSG_NOSIGNAL;
const auto CloseSocket = ::close;
#endif
constexpr Socket NoSocket = Socket(-1);  // a failed accept: -1, or Winsock's INVALID_SOCKET

bool SendAll(Socket socket, const std::string& data)
{
  for (std::size_t sent = 0; sent < data.size();) {
    const auto n = ::send(socket, data.data() + sent, int(data.size() - sent), SendFlags);
    if (n <= 0)
      return false;
    sent += std::size_t(n);
  }
  return true;
}

// The value of the request header name (lower case), or "".
std::string RequestHeader(const std::string& head, const std::string& name)
{
  for (std::size_t at = 0; at < head.size();) {
    const std::size_t end = std::min(head.find("\r\n", at), head.size());
    std::string line = head.substr(at, end - at);
    at = end + 2;
    std::transform(line.begin(), line.begin() + std::ptrdiff_t(std::min(line.size(), name.size())), line.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    if (line.compare(0, name.size() + 1, name + ':') == 0)
      return line.substr(std::min(line.find_first_not_of(' ', name.size() + 1), line.size()));
  }
  return "";
}

// reply as a 206 for the range the request asks for, when reply serves ranges and the
// request's If-Range still names its ETag.
Reply RangeOf(Reply reply, const std::string& head)
{
  const std::string range = RequestHeader(head, "range");
  std::string etag;
  for (const auto& [name, value] : reply.headers)
    if (name == "ETag")
      etag = value;
  if (!reply.ranges || range.compare(0, 6, "bytes=") != 0 || range.back() != '-'
      || RequestHeader(head, "if-range") != etag)
    return reply;
  const std::size_t from = std::stoul(range.substr(6));
  const std::string size = std::to_string(reply.body.size());
  reply.headers.emplace_back("Content-Range",
                             "bytes " + std::to_string(from) + '-' + std::to_string(reply.body.size() - 1) + '/' + size);
  reply.status = 206;
  reply.reason = "Partial Content";
  reply.body = reply.body.substr(from);
  return reply;
}
}  // namespace

Server::Server()
{
#ifdef _WIN32
  WSADATA data;
  ::WSAStartup(MAKEWORD(2, 2), &data);
#endif
  m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length);
  ::listen(m_listener, 16);
  ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
  m_port = ntohs(address.sin_port);
  m_acceptor = std::thread([this] { Accept(); });
}

Server::~Server()
{
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = true;
    for (Socket socket : m_sockets)
      ::shutdown(socket, ShutBoth);
  }
  m_stopped.notify_all();
#ifdef _WIN32
  ::closesocket(m_listener);  // Winsock wakes a blocked accept only by closing its socket
#else
  ::shutdown(m_listener, ShutBoth);
#endif
  m_acceptor.join();
  for (std::thread& thread : m_threads)
    thread.join();
  for (Socket socket : m_sockets)
    CloseSocket(socket);
#ifdef _WIN32
  ::WSACleanup();
#else
  CloseSocket(m_listener);
#endif
}

std::string Server::BaseUrl() const
{
  return "http://127.0.0.1:" + std::to_string(m_port) + "/mrvo/";
}

void Server::Route(const std::string& path, const Reply& reply)
{
  std::lock_guard<std::mutex> lock(m_mutex);
  m_routes[path] = reply;
}

std::vector<std::string> Server::Requests() const
{
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

std::vector<std::string> Server::Heads() const
{
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_heads;
}

int Server::Count(const std::string& method, const std::string& path) const
{
  const std::vector<std::string> requests = Requests();
  return int(std::count(requests.begin(), requests.end(), method + ' ' + path));
}

std::int64_t Server::Streamed() const
{
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_streamed;
}

bool Server::Streaming() const
{
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_openStreams > 0;
}

std::vector<std::int64_t> Server::Sent() const
{
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_sent;
}

void Server::Accept()
{
  for (;;) {
    const Socket socket = ::accept(m_listener, nullptr, nullptr);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (socket == NoSocket || m_stopping) {
      if (socket != NoSocket)
        CloseSocket(socket);
      return;
    }
    m_sockets.push_back(socket);
    m_threads.emplace_back([this, socket] { Serve(socket); });
  }
}

// One connection: requests are answered in turn until either side closes.
void Server::Serve(Socket socket)
{
  std::string buffer;
  char chunk[4096];
  for (;;) {
    const std::size_t end = buffer.find("\r\n\r\n");
    if (end == std::string::npos) {
      const auto n = ::recv(socket, chunk, sizeof chunk, 0);
      if (n <= 0)
        break;
      buffer.append(chunk, std::size_t(n));
      continue;
    }
    const std::string line = buffer.substr(0, buffer.find("\r\n"));
    std::string head = buffer.substr(line.size(), end - line.size());
    std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    buffer.erase(0, end + 4);
    const std::size_t space = line.find(' ');
    const std::string method = line.substr(0, space);
    std::string target = line.substr(space + 1, line.find(' ', space + 1) - space - 1);
    if (target.rfind("http://", 0) == 0)
      target.erase(0, target.find('/', 7));
    std::size_t index = 0;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      index = m_requests.size();
      m_requests.push_back(method + ' ' + target);
      m_heads.push_back(head + "\r\n");
      m_sent.push_back(0);
    }
    if (onRequest)
      onRequest(method + ' ' + target);
    const std::int64_t sent = Answer(socket, method, target, head);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sent[index] = sent;
  }
  ::shutdown(socket, ShutBoth);
}

// Returns the body bytes of an ordinary reply sent.
std::int64_t Server::Answer(Socket socket, const std::string& method, const std::string& path,
                            const std::string& request)
{
  Reply reply = Reply::Status(404, "Not Found");
  {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto found = m_routes.find(path);
    if (found != m_routes.end())
      reply = RangeOf(found->second, request);
    if (reply.stall) {
      m_stopped.wait(lock, [this] { return m_stopping; });
      return 0;
    }
  }
  std::string head = "HTTP/1.1 " + std::to_string(reply.status) + ' ' + reply.reason + "\r\n";
  if (reply.streamBytes > 0)
    head += "Transfer-Encoding: chunked\r\n";
  else if (reply.sendContentLength)
    head +=
        "Content-Length: " + std::to_string(reply.declaredLength.value_or(std::int64_t(reply.body.size()))) + "\r\n";
  for (const auto& [name, value] : reply.headers)
    head += name + ": " + value + "\r\n";
  SendAll(socket, head + "Connection: close\r\n\r\n");
  std::int64_t sent = 0;
  if (method != "HEAD" && reply.streamBytes > 0)
    Stream(socket, reply.streamBytes);
  else if (method != "HEAD")
    sent = Send(socket, reply);
  std::unique_lock<std::mutex> lock(m_mutex);
  if (reply.holdOpen)
    m_stopped.wait(lock, [this] { return m_stopping; });
  ::shutdown(socket, ShutBoth);
  return sent;
}

// Sends the body, or its first closeAfter bytes, in pieces with a pause before each but the first when it
// drips; returns the bytes sent.
std::int64_t Server::Send(Socket socket, const Reply& reply)
{
  const std::string body = reply.closeAfter >= 0 ? reply.body.substr(0, std::size_t(reply.closeAfter)) : reply.body;
  const std::size_t piece = body.size() / std::size_t(reply.dripPieces) + 1;
  std::int64_t sent = 0;
  for (std::size_t at = 0; at < body.size(); at += piece) {
    if (at > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(reply.dripMs));
    const std::string part = body.substr(at, piece);
    if (!SendAll(socket, part))
      break;
    sent += std::int64_t(part.size());
  }
  return sent;
}

// A small send buffer keeps what was sent close to what the client took.
void Server::Stream(Socket socket, std::int64_t bytes)
{
  const int buffer = 64 * 1024;
  ::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&buffer), int(sizeof buffer));
  const std::string piece = "10000\r\n" + std::string(0x10000, 's') + "\r\n";
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_openStreams;
  }
  bool open = true;
  for (std::int64_t left = bytes; open && left > 0; left -= 0x10000) {
    open = SendAll(socket, piece);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_streamed += open ? 0x10000 : 0;
  }
  if (open)
    SendAll(socket, "0\r\n\r\n");
  std::lock_guard<std::mutex> lock(m_mutex);
  --m_openStreams;
}
