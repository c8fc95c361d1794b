// The transfer control over WinINet, which brings the user's proxy settings, PAC scripts and
// Windows sign-in. Each request runs WinINet's blocking calls on a thread of its own; what it
// receives is handed to the window thread, whose waits sleep until then.
#include "platform/Inet.h"
#include "platform/common/Headers.h"

#include "platform/Events.h"
#include "platform/win32/Win32Text.h"

#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {
constexpr int MaxRedirects = 50;
constexpr size_t MaxHeaderLines = 200;
constexpr size_t MaxHeaderBytes = 256 * 1024;

std::string Seconds(int ms)
{
  char text[32];
  std::snprintf(text, sizeof text, "%g", ms / 1000.0);
  return text;
}

// Closes a WinINet handle when it goes out of scope.
struct NetHandle {
  explicit NetHandle(HINTERNET h = nullptr) : handle(h) {}
  ~NetHandle()
  {
    if (handle)
      InternetCloseHandle(handle);
  }
  NetHandle(const NetHandle&) = delete;
  NetHandle& operator=(const NetHandle&) = delete;
  HINTERNET handle;
};
}  // namespace

namespace {
// What the request's thread and the window thread share, under mutex.
struct Transfer {
  std::mutex mutex;
  std::condition_variable drained;
  bool stop = false;           // cancelled: the thread ends as soon as it can
  bool timedOut = false;       // nothing arrived for timeoutMs: ended by the watch
  std::uint64_t activity = 0;  // counts what arrived, for the watch
  HINTERNET handles[3] = {};   // session, connection, request: closed under the mutex only
  bool headersIn = false;
  bool done = false;
  std::string failure;
  std::vector<std::string> headerLines;
  int status = 0;
  std::int64_t declaredLength = -1;
  std::string buffer;  // body bytes not yet handed out, from readPos on
  size_t readPos = 0;
  std::int64_t arrived = 0;  // body bytes received in all

  std::string url;
  bool head = false;
  // Compressed answers lose their Content-Length, and the files are stored as sent.
  std::wstring requestHeaders = L"Accept-Encoding: identity\r\n";
  int timeoutMs = Inet::DefaultTimeoutMs;
};

std::string BrokenConnectionReason(const Transfer& t)
{
  if (t.declaredLength >= 0)
    return "连接中断（已收到 " + std::to_string(t.arrived) + " / " + std::to_string(t.declaredLength) + " 字节）";
  return "连接中断（已收到 " + std::to_string(t.arrived) + " 字节）";
}

std::string ReasonFor(DWORD code, const Transfer& t)
{
  switch (code) {
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
      return "找不到服务器（域名无法解析）";
    case ERROR_INTERNET_CANNOT_CONNECT:
      return "无法连接到服务器（连接被拒绝或无应答）";
    case ERROR_INTERNET_TIMEOUT:
      return Seconds(t.timeoutMs) + " 秒内未收到数据";
    case ERROR_INTERNET_CONNECTION_ABORTED:
    case ERROR_INTERNET_CONNECTION_RESET:
      return t.status == 0 ? "服务器未作应答就关闭了连接" : BrokenConnectionReason(t);
    case ERROR_HTTP_INVALID_SERVER_RESPONSE:
      return "服务器的应答不是有效的 HTTP 应答";
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
      return "无法建立安全连接（TLS 握手失败）";
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_REVOKED:
    case ERROR_INTERNET_SEC_INVALID_CERT:
      return "服务器的证书未通过验证";
    case ERROR_INTERNET_UNRECOGNIZED_SCHEME:
      return "不支持的地址协议";
    default:
      return "网络传输失败（错误码 " + std::to_string(code) + "）";
  }
}

// The response's header lines, status line first, as WinINet kept them.
std::vector<std::string> RawHeaderLines(HINTERNET request)
{
  DWORD size = 0;
  HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, nullptr, &size, nullptr);
  std::string raw(size, '\0');
  std::vector<std::string> lines;
  if (!HttpQueryInfoA(request, HTTP_QUERY_RAW_HEADERS_CRLF, raw.data(), &size, nullptr))
    return lines;
  raw.resize(size);
  for (size_t start = 0, end; (end = raw.find("\r\n", start)) != std::string::npos; start = end + 2) {
    if (end > start)
      lines.push_back(raw.substr(start, end - start));
  }
  return lines;
}

// Why a body cannot be stored as the server meant it ("" when it can); sets the declared length.
std::string CheckFinalHeaders(Transfer& t)
{
  const BodyFraming framing = ReadFraming(t.headerLines, t.head, t.status);
  t.declaredLength = framing.declaredLength;
  return framing.refusal;
}
}  // namespace

struct Inet::Impl {
  explicit Impl(Inet& owner) : m_owner(owner) { win32::StartWindowThread(); }
  ~Impl() { StopTransfer(); }

  void Execute(const std::string& url, const std::string& operation, std::int64_t offset = 0,
               const std::string& validator = std::string());
  bool StillExecuting() const;
  void Wait();
  std::string GetChunk(int maxBytes);
  std::string AnswerFailure() const;
  std::string FailureReason() const;
  void StopTransfer();
  void Finish(const std::string& failure);
  void OnTransferDone(const std::shared_ptr<Transfer>& transfer);
  void ThrowIfShutdown() const
  {
    if (m_shutdown)
      throw RunEnded{};
  }

  Inet& m_owner;
  std::shared_ptr<Transfer> m_transfer;
  std::thread m_thread;
  std::shared_ptr<Impl*> m_alive = std::make_shared<Impl*>(this);  // posted work finds the control through it
  bool m_headersIn = false;
  bool m_finished = true;
  bool m_shutdown = false;
  bool m_head = false;
  std::string m_failure;
  std::vector<std::string> m_headerLines;
  int m_status = 0;
  std::int64_t m_received = 0;
  int m_timeoutMs = DefaultTimeoutMs;
};

namespace {
enum { Session, Connection, Request };

using Handles = std::vector<HINTERNET>;

// Takes the handles from index first on out of the transfer, request first; under its mutex.
Handles TakeHandles(Transfer& t, int first)
{
  Handles taken;
  for (int i = 2; i >= first; --i) {
    if (t.handles[i])
      taken.push_back(t.handles[i]);
    t.handles[i] = nullptr;
  }
  return taken;
}

// Closing a request handle also ends a blocking call on it, but may first read out the rest of
// its body (wine's WinINet does, however the request was sent): never under the transfer's mutex.
void Close(const Handles& handles)
{
  for (const HINTERNET handle : handles)
    InternetCloseHandle(handle);
}

// Keeps a new handle, unless the transfer was stopped meanwhile; nullptr then, or on failure.
HINTERNET Keep(Transfer& t, int index, HINTERNET handle)
{
  Handles stopped;
  {
    const std::lock_guard<std::mutex> lock(t.mutex);
    t.handles[index] = handle;
    if (t.stop || t.timedOut)
      stopped = TakeHandles(t, Session);
  }
  Close(stopped);
  return stopped.empty() ? handle : nullptr;
}

struct UrlPieces {
  std::wstring scheme, host, path;
  INTERNET_PORT port = 0;
};

bool CrackUrl(const std::wstring& url, UrlPieces* pieces)
{
  wchar_t scheme[32], host[1024], path[8192], extra[8192];
  URL_COMPONENTSW parts{};
  parts.dwStructSize = sizeof parts;
  parts.lpszScheme = scheme;
  parts.dwSchemeLength = 32;
  parts.lpszHostName = host;
  parts.dwHostNameLength = 1024;
  parts.lpszUrlPath = path;
  parts.dwUrlPathLength = 8192;
  parts.lpszExtraInfo = extra;
  parts.dwExtraInfoLength = 8192;
  if (!InternetCrackUrlW(url.c_str(), DWORD(url.size()), 0, &parts))
    return false;
  *pieces = {scheme, host, std::wstring(path) + extra, parts.nPort};
  return true;
}

// Sends one request to url on a new connection; "" or the reason it failed.
std::string SendOne(Transfer& t, const std::string& url)
{
  UrlPieces pieces;
  if (!CrackUrl(win32::Wide(url), &pieces))
    return "地址无效：" + url;
  const bool secure = LowerAscii(win32::Utf8(pieces.scheme)) == "https";
  if (!secure && LowerAscii(win32::Utf8(pieces.scheme)) != "http")
    return "不支持的地址协议";
  const HINTERNET connection = Keep(t, Connection,
                                    InternetConnectW(t.handles[Session], pieces.host.c_str(), pieces.port, nullptr,
                                                     nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  const DWORD flags = INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_RELOAD
                      | INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_UI | INTERNET_FLAG_KEEP_CONNECTION
                      | (secure ? INTERNET_FLAG_SECURE : 0);
  const HINTERNET request = connection
                                ? Keep(t, Request,
                                       HttpOpenRequestW(connection, t.head ? L"HEAD" : L"GET", pieces.path.c_str(),
                                                        nullptr, nullptr, nullptr, flags, 0))
                                : nullptr;
  if (!request || !HttpSendRequestW(request, t.requestHeaders.c_str(), DWORD(-1), nullptr, 0))
    return ReasonFor(GetLastError(), t);
  DWORD status = 0, size = sizeof status;
  HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr);
  const std::vector<std::string> lines = RawHeaderLines(request);
  size_t bytes = 0;
  for (const std::string& line : lines)
    bytes += line.size() + 2;
  if (lines.size() > MaxHeaderLines || bytes > MaxHeaderBytes)
    return "服务器的应答头过长";
  const std::lock_guard<std::mutex> lock(t.mutex);
  t.status = int(status);
  t.headerLines = lines;
  return std::string();
}

// The address a redirect leads to, resolved against the one it came from.
std::string Resolve(const std::string& base, const std::string& location)
{
  std::wstring combined(8192, L'\0');
  DWORD size = DWORD(combined.size());
  if (!InternetCombineUrlW(win32::Wide(base).c_str(), win32::Wide(location).c_str(), combined.data(), &size,
                           ICU_NO_ENCODE))
    return location;
  combined.resize(size);
  return win32::Utf8(combined);
}

// Sends the request and follows redirects itself: at most 50, never from https to http.
std::string SendFollowingRedirects(Transfer& t)
{
  std::string url = t.url;
  for (int hops = 0;; ++hops) {
    const std::string failure = SendOne(t, url);
    if (!failure.empty())
      return failure;
    const std::string location = FindHeader(t.headerLines, "Location");
    if (t.status < 300 || t.status > 399 || location.empty())
      return std::string();
    if (hops == MaxRedirects)
      return "重定向超过 " + std::to_string(MaxRedirects) + " 次";
    const std::string next = Resolve(url, location);
    if (LowerAscii(url).rfind("https:", 0) == 0 && LowerAscii(next).rfind("https:", 0) != 0)
      return "拒绝重定向到不安全的地址：" + location;
    Handles previous;
    {
      const std::lock_guard<std::mutex> lock(t.mutex);
      previous = TakeHandles(t, Connection);
    }
    Close(previous);
    url = next;
  }
}

// Reads the body into the shared buffer, making the server wait while enough lies unread.
std::string ReadBody(Transfer& t)
{
  std::vector<char> piece(128 * 1024);
  for (;;) {
    HINTERNET request;
    {
      std::unique_lock<std::mutex> lock(t.mutex);
      t.drained.wait(
          lock, [&t] { return t.stop || t.timedOut || std::int64_t(t.buffer.size() - t.readPos) < Inet::BufferLimit; });
      if (t.stop || t.timedOut)
        return std::string();
      request = t.handles[Request];
    }
    // A read asks only for what has arrived: WinINet may otherwise wait to fill the whole piece,
    // and a slow server that never falls silent would look silent to the watch.
    DWORD available = 0, got = 0;
    if (!InternetQueryDataAvailable(request, &available, 0, 0)
        || !InternetReadFile(request, piece.data(), std::min(DWORD(piece.size()), std::max(available, DWORD(1))), &got))
      return ReasonFor(GetLastError(), t);
    if (got == 0)
      break;
    {
      const std::lock_guard<std::mutex> lock(t.mutex);
      if (t.done || t.stop)
        return std::string();
      if (t.readPos == t.buffer.size()) {
        t.buffer.clear();  // keeps its capacity
        t.readPos = 0;
      }
      t.buffer.append(piece.data(), got);
      t.arrived += got;
      ++t.activity;
    }
    t.drained.notify_all();
    SetEvent(win32::WakeEvent());
  }
  return t.declaredLength >= 0 && t.arrived < t.declaredLength ? BrokenConnectionReason(t) : std::string();
}

// Ends a transfer that receives nothing for its time limit (WinINet's own limit does not hold
// everywhere); a reader that has not taken what arrived is slow, the server is not silent.
// The failure is told at once: a blocked WinINet call may not return before the server acts.
void Watch(Transfer& t, const std::function<void()>& notify)
{
  std::unique_lock<std::mutex> lock(t.mutex);
  while (!t.done && !t.stop) {
    const std::uint64_t seen = t.activity;
    if (t.drained.wait_for(lock, std::chrono::milliseconds(t.timeoutMs),
                           [&t, seen] { return t.done || t.stop || t.activity != seen; })
        || t.readPos < t.buffer.size())
      continue;
    t.timedOut = true;
    const Handles handles = TakeHandles(t, Session);
    t.failure = Seconds(t.timeoutMs) + " 秒内未收到数据";
    t.done = true;
    lock.unlock();
    t.drained.notify_all();
    notify();
    Close(handles);
    return;
  }
}

// The request's thread: the whole transfer, then the news for the window thread.
void RunTransfer(Transfer& t, const std::function<void()>& notify)
{
  std::thread watch([&t, &notify] { Watch(t, notify); });
  const HINTERNET session =
      Keep(t, Session, InternetOpenW(L"MervoUpdate", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  for (const DWORD option :
       {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT}) {
    DWORD ms = DWORD(t.timeoutMs);
    if (session)
      InternetSetOptionW(session, option, &ms, sizeof ms);
  }
  std::string failure = session ? SendFollowingRedirects(t) : ReasonFor(GetLastError(), t);
  if (failure.empty()) {
    {
      const std::lock_guard<std::mutex> lock(t.mutex);
      failure = CheckFinalHeaders(t);
      t.headersIn = true;
      ++t.activity;
    }
    notify();
    if (failure.empty() && !t.head)
      failure = ReadBody(t);
  }
  bool told = false;
  Handles handles;
  {
    const std::lock_guard<std::mutex> lock(t.mutex);
    handles = TakeHandles(t, Session);
    told = t.done;
    if (!told)
      t.failure = t.stop ? std::string() : failure;
    t.done = true;
  }
  t.drained.notify_all();
  Close(handles);
  watch.join();
  if (!told)
    notify();
}
}  // namespace

void Inet::Impl::Execute(const std::string& url, const std::string& operation, std::int64_t offset,
                         const std::string& validator)
{
  StopTransfer();
  m_transfer.reset();
  m_head = LowerAscii(operation) == "head";
  m_headersIn = false;
  m_finished = false;
  m_failure.clear();
  m_headerLines.clear();
  m_status = 0;
  m_received = 0;
  if (m_shutdown) {
    m_finished = true;
    return;
  }
  const std::optional<UrlParts> parts = ParseUrl(url);
  const std::string scheme = parts ? LowerAscii(parts->scheme) : std::string();
  if (!parts || (scheme != "http" && scheme != "https") || parts->host.empty()) {
    Finish("地址无效：" + url);
    return;
  }
  auto transfer = std::make_shared<Transfer>();
  transfer->url = url;
  transfer->head = m_head;
  transfer->timeoutMs = m_timeoutMs;
  // The rest of the file, and only while it is still the one validator names.
  if (offset > 0 && !m_head)
    transfer->requestHeaders +=
        L"Range: bytes=" + std::to_wstring(offset) + L"-\r\nIf-Range: " + win32::Wide(validator) + L"\r\n";
  m_transfer = transfer;
  const std::weak_ptr<Impl*> alive = m_alive;
  const auto notify = [alive, transfer] {
    win32::PostToWindowThread([alive, transfer] {
      if (const auto impl = alive.lock())
        (*impl)->OnTransferDone(transfer);
    });
  };
  m_thread = std::thread([transfer, notify] { RunTransfer(*transfer, notify); });
}

// Takes over what the request's thread has found so far.
void Inet::Impl::OnTransferDone(const std::shared_ptr<Transfer>& transfer)
{
  if (transfer != m_transfer || m_finished)
    return;
  bool done = false;
  std::string failure;
  {
    const std::lock_guard<std::mutex> lock(transfer->mutex);
    if (transfer->headersIn && !m_headersIn) {
      m_headersIn = true;
      m_headerLines = transfer->headerLines;
      m_status = transfer->status;
    }
    done = transfer->done;
    failure = transfer->failure;
    if (done && !m_headersIn) {
      m_headerLines = transfer->headerLines;
      m_status = transfer->status;
    }
  }
  if (done)
    Finish(failure);
}

void Inet::Impl::StopTransfer()
{
  if (m_transfer) {
    Handles handles;
    {
      const std::lock_guard<std::mutex> lock(m_transfer->mutex);
      m_transfer->stop = true;
      handles = TakeHandles(*m_transfer, Session);
    }
    m_transfer->drained.notify_all();
    // The window never waits for a close: a thread of its own ends any blocking call and
    // takes whatever WinINet reads out on the way.
    if (!handles.empty())
      std::thread([handles] { Close(handles); }).detach();
  }
  // A WinINet call does not always return when its handle is closed: the thread, which owns
  // its share of the transfer, ends on its own.
  if (m_thread.joinable())
    m_thread.detach();
}

void Inet::Impl::Finish(const std::string& failure)
{
  if (m_finished)
    return;
  StopTransfer();
  m_failure = failure;
  m_finished = true;
  if (!m_shutdown && m_owner.OnStateChanged)
    m_owner.OnStateChanged(failure.empty() ? icResponseCompleted : icError);
}

bool Inet::Impl::StillExecuting() const
{
  return !m_finished && (m_head || !m_headersIn);
}

void Inet::Impl::Wait()
{
  while (StillExecuting() && !m_shutdown) {
    WaitForEvents();
    if (m_transfer)
      OnTransferDone(m_transfer);
  }
  ThrowIfShutdown();
}

std::string Inet::Impl::GetChunk(int maxBytes)
{
  for (;;) {
    ThrowIfShutdown();
    if (m_transfer)
      OnTransferDone(m_transfer);
    if (m_transfer) {
      Transfer& t = *m_transfer;
      std::unique_lock<std::mutex> lock(t.mutex);
      const size_t size = std::min(t.buffer.size() - t.readPos, size_t(std::max(maxBytes, 0)));
      if (size > 0) {
        std::string piece = t.buffer.substr(t.readPos, size);
        t.readPos += size;
        m_received += std::int64_t(size);
        lock.unlock();
        t.drained.notify_all();
        return piece;
      }
    }
    if (m_finished || !m_headersIn)
      return std::string();
    WaitForEvents();
  }
}

std::string Inet::Impl::AnswerFailure() const
{
  if (!m_failure.empty())
    return m_failure;
  if (m_status >= 200 && m_status <= 299)
    return std::string();
  if (m_status == 0)
    return "服务器没有应答";
  const std::string statusLine = m_headerLines.empty() ? std::string() : m_headerLines[0];
  size_t space = statusLine.find(' ');
  space = space == std::string::npos ? space : statusLine.find(' ', space + 1);
  const std::string reason = space == std::string::npos ? std::string() : TrimmedBlanks(statusLine.substr(space + 1));
  return TrimmedBlanks("服务器返回 HTTP " + std::to_string(m_status) + " " + reason);
}

std::string Inet::Impl::FailureReason() const
{
  const std::string answer = AnswerFailure();
  if (!answer.empty())
    return answer;
  return m_finished ? std::string() : "传输没有完成";
}

Inet::Inet() : m_impl(std::make_unique<Impl>(*this)) {}

Inet::~Inet() = default;

void Inet::Execute(const std::string& url, const std::string& operation)
{
  m_impl->Execute(url, operation);
}

void Inet::ExecuteFrom(const std::string& url, std::int64_t offset, const std::string& validator)
{
  m_impl->Execute(url, "GET", offset, validator);
}

bool Inet::StillExecuting() const
{
  return m_impl->StillExecuting();
}

void Inet::Wait()
{
  m_impl->Wait();
}

std::string Inet::GetHeader() const
{
  std::string text;
  for (const std::string& line : m_impl->m_headerLines)
    text += line + "\r\n";
  return text;
}

std::string Inet::GetHeader(const std::string& name) const
{
  return FindHeader(m_impl->m_headerLines, name);
}

int Inet::StatusCode() const
{
  return m_impl->m_status;
}

std::string Inet::GetChunk(int maxBytes)
{
  return m_impl->GetChunk(maxBytes);
}

std::int64_t Inet::DeclaredLength() const
{
  if (!m_impl->m_transfer)
    return -1;
  const std::lock_guard<std::mutex> lock(m_impl->m_transfer->mutex);
  return m_impl->m_transfer->declaredLength;
}

std::string Inet::AnswerFailure() const
{
  return m_impl->AnswerFailure();
}

std::string Inet::FailureReason() const
{
  return m_impl->FailureReason();
}

std::int64_t Inet::BytesReceived() const
{
  return m_impl->m_received;
}

void Inet::Cancel()
{
  if (m_impl->m_finished)
    return;
  m_impl->StopTransfer();
  if (m_impl->m_transfer) {
    const std::lock_guard<std::mutex> lock(m_impl->m_transfer->mutex);
    m_impl->m_transfer->buffer.clear();
    m_impl->m_transfer->readPos = 0;
  }
  m_impl->m_failure = "传输已取消";
  m_impl->m_finished = true;
}

void Inet::Shutdown()
{
  m_impl->m_shutdown = true;
  m_impl->StopTransfer();
  m_impl->m_finished = true;
}

void Inet::SetTimeoutMs(int ms)
{
  m_impl->m_timeoutMs = ms;
}

// Windows checks certificates against its own store; a file of test certificates has no place there.
void Inet::SetCaFile(const std::string&) {}

std::optional<UrlParts> ParseUrl(const std::string& url)
{
  const size_t colon = url.find("://");
  const std::string scheme = url.substr(0, colon);
  if (colon == std::string::npos || scheme.empty() || !isalpha(static_cast<unsigned char>(scheme[0]))
      || scheme.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+-.")
             != std::string::npos)
    return std::nullopt;
  UrlPieces pieces;
  if (!CrackUrl(win32::Wide(url), &pieces))
    return std::nullopt;
  return UrlParts{scheme, win32::Utf8(pieces.host)};
}
