// The transfer control over libcurl: its multi interface is driven from the event loop
// through socket notifiers and a single-shot timer, so nothing ever blocks the window.
#include "platform/Inet.h"
#include "platform/common/Headers.h"

#include "platform/Events.h"

#include <QElapsedTimer>
#include <QSet>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

#include <curl/curl.h>

#include <cstring>
#include <mutex>

namespace {
constexpr long MaxRedirects = 50;
constexpr int MaxHeaderLines = 200;
constexpr qsizetype MaxHeaderBytes = 256 * 1024;

void InitCurlOnce()
{
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

QByteArray HeaderName(const QByteArray& line)
{
  const qsizetype colon = line.indexOf(':');
  return colon > 0 ? line.left(colon).trimmed() : QByteArray();
}

QByteArray HeaderValue(const QByteArray& line)
{
  return line.mid(line.indexOf(':') + 1).trimmed();
}

// The hosts that are never reached through a proxy: the user's list, and this machine.
QByteArray NoProxyList()
{
  QByteArray list = qgetenv("no_proxy");
  if (list.isEmpty())
    list = qgetenv("NO_PROXY");
  if (list.trimmed() == "*")
    return list;
  if (!list.isEmpty())
    list += ',';
  return list + "localhost,127.0.0.0/8,::1";
}
}

struct Inet::Impl : QObject {
  explicit Impl(Inet& owner);
  ~Impl() override;

  static size_t OnHeaderLine(char* data, size_t size, size_t count, void* self);
  static size_t OnBody(char* data, size_t size, size_t count, void* self);
  static int OnRequestSent(void* self, char*, char*, int, int);
  static int OnSocket(CURL*, curl_socket_t fd, int what, void* self, void*);
  static int OnTimer(CURLM*, long timeoutMs, void* self);

  void Execute(const QString& url, const QString& operation, qint64 offset = 0, const QByteArray& validator = {});
  bool StillExecuting() const;
  void Wait();
  QString GetHeader() const;
  QString GetHeader(const QString& name) const;
  std::string GetChunk(int maxBytes);
  QString AnswerFailure() const;
  QString FailureReason() const;
  void Cancel();
  void Shutdown();

  void ConfigureRequest(const QByteArray& url, bool head);
  void AskForRange(qint64 offset, const QByteArray& validator);
  void Drive(int fd, int events);
  void CollectFinished();
  void HeadersComplete();
  void Finish(const QString& failure);
  void Abort(const QString& reason);
  void StopTransfer();
  void ResumeIfDrained();
  QString ReasonFor(int code) const;
  QString BrokenConnectionReason() const;
  void ThrowIfShutdown() const;

  struct Notifiers {
    QSocketNotifier* read = nullptr;
    QSocketNotifier* write = nullptr;
  };

  Inet& m_owner;
  CURLM* m_multi = nullptr;
  CURL* m_easy = nullptr;
  bool m_active = false;            // the easy handle is in the multi handle
  QHash<int, Notifiers> m_notifiers;
  QTimer* m_curlTimer;              // libcurl's own timeouts
  QTimer* m_idle;                   // the inactivity limit

  bool m_head = false;
  bool m_headersIn = false;
  bool m_finished = false;
  bool m_shutdown = false;
  bool m_paused = false;
  QString m_failure;                // why the transfer failed; empty when it did not
  QString m_abortReason;            // set before a callback stops the transfer on purpose

  QList<QByteArray> m_headerLines;  // of the response being received, status line first
  int m_status = 0;
  qsizetype m_headerBytes = 0;
  QByteArray m_lastLocation;        // of the last redirect followed
  qint64 m_declaredLength = -1;

  QByteArray m_buffer;              // body bytes not yet handed out, from m_readPos on
  qsizetype m_readPos = 0;
  qint64 m_received = 0;
  int m_timeoutMs = DefaultTimeoutMs;
  QString m_caFile;
  curl_slist* m_extraHeaders = nullptr;
  curl_slist* m_rangeHeaders = nullptr;  // the above plus If-Range, for a ranged GET
  QByteArray m_range;
};

Inet::Impl::Impl(Inet& owner)
    : m_owner(owner), m_curlTimer(new QTimer(this)), m_idle(new QTimer(this))
{
  InitCurlOnce();
  m_multi = curl_multi_init();
  m_easy = curl_easy_init();
  // Compressed answers lose their Content-Length, and the files are stored as sent.
  m_extraHeaders = curl_slist_append(nullptr, "Accept-Encoding: identity");
  curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &Impl::OnSocket);
  curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &Impl::OnTimer);
  curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);

  m_curlTimer->setSingleShot(true);
  connect(m_curlTimer, &QTimer::timeout, this, [this] { Drive(CURL_SOCKET_TIMEOUT, 0); });

  m_idle->setSingleShot(true);
  connect(m_idle, &QTimer::timeout, this, [this] {
    // A reader that has not taken what arrived is slow; the server is not silent.
    if (m_paused || m_readPos < m_buffer.size()) {
      m_idle->start(m_timeoutMs);
      return;
    }
    Abort(QStringLiteral("%1 秒内未收到数据").arg(m_timeoutMs / 1000.0));
  });
}

Inet::Impl::~Impl()
{
  StopTransfer();
  curl_easy_cleanup(m_easy);
  curl_multi_cleanup(m_multi);
  curl_slist_free_all(m_extraHeaders);
  curl_slist_free_all(m_rangeHeaders);
}

void Inet::Impl::Execute(const QString& url, const QString& operation, qint64 offset, const QByteArray& validator)
{
  StopTransfer();
  m_head = operation.compare(QLatin1String("HEAD"), Qt::CaseInsensitive) == 0;
  m_headersIn = false;
  m_finished = false;
  m_failure.clear();
  m_abortReason.clear();
  m_headerLines.clear();
  m_status = 0;
  m_headerBytes = 0;
  m_lastLocation.clear();
  m_declaredLength = -1;
  m_buffer.resize(0);
  m_readPos = 0;
  m_received = 0;

  if (m_shutdown) {
    m_finished = true;
    return;
  }
  const QUrl parsed = QUrl::fromEncoded(url.toUtf8(), QUrl::StrictMode);
  const QString scheme = parsed.scheme().toLower();
  if (!parsed.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
      || parsed.host().isEmpty()) {
    Finish(QStringLiteral("地址无效：%1").arg(url));
    return;
  }
  ConfigureRequest(parsed.toEncoded(), m_head);
  if (offset > 0 && !m_head)
    AskForRange(offset, validator);
  // Nothing is sent here: libcurl asks for a timer of 0 ms and starts on the next event pass.
  curl_multi_add_handle(m_multi, m_easy);
  m_active = true;
}

void Inet::Impl::ConfigureRequest(const QByteArray& url, bool head)
{
  curl_easy_reset(m_easy);
  curl_easy_setopt(m_easy, CURLOPT_URL, url.constData());
  curl_easy_setopt(m_easy, CURLOPT_NOBODY, head ? 1L : 0L);
  curl_easy_setopt(m_easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(m_easy, CURLOPT_HEADERFUNCTION, &Impl::OnHeaderLine);
  curl_easy_setopt(m_easy, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &Impl::OnBody);
  curl_easy_setopt(m_easy, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(m_easy, CURLOPT_PREREQFUNCTION, &Impl::OnRequestSent);
  curl_easy_setopt(m_easy, CURLOPT_PREREQDATA, this);
  curl_easy_setopt(m_easy, CURLOPT_USERAGENT, "MervoUpdate");
  curl_easy_setopt(m_easy, CURLOPT_HTTPHEADER, m_extraHeaders);

  curl_easy_setopt(m_easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(m_easy, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(m_easy, CURLOPT_MAXREDIRS, MaxRedirects);
  // Once on https, never fall back to plain text.
  curl_easy_setopt(m_easy, CURLOPT_REDIR_PROTOCOLS_STR, url.startsWith("https:") ? "https" : "http,https");

  curl_easy_setopt(m_easy, CURLOPT_CONNECTTIMEOUT_MS, long(m_timeoutMs));
  curl_easy_setopt(m_easy, CURLOPT_PROXYAUTH, long(CURLAUTH_ANY));
  curl_easy_setopt(m_easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  const QByteArray noProxy = NoProxyList();
  curl_easy_setopt(m_easy, CURLOPT_NOPROXY, noProxy.constData());
  if (!m_caFile.isEmpty())
    curl_easy_setopt(m_easy, CURLOPT_CAINFO, m_caFile.toLocal8Bit().constData());
  curl_easy_setopt(m_easy, CURLOPT_BUFFERSIZE, 128L * 1024);
}

void Inet::Impl::AskForRange(qint64 offset, const QByteArray& validator)
{
  m_range = QByteArray::number(offset) + '-';
  curl_easy_setopt(m_easy, CURLOPT_RANGE, m_range.constData());
  curl_slist_free_all(m_rangeHeaders);
  m_rangeHeaders = curl_slist_append(nullptr, "Accept-Encoding: identity");
  m_rangeHeaders = curl_slist_append(m_rangeHeaders, ("If-Range: " + validator).constData());
  curl_easy_setopt(m_easy, CURLOPT_HTTPHEADER, m_rangeHeaders);
}

int Inet::Impl::OnRequestSent(void* self, char*, char*, int, int)
{
  auto* inet = static_cast<Impl*>(self);
  inet->m_idle->start(inet->m_timeoutMs);
  return CURL_PREREQFUNC_OK;
}

size_t Inet::Impl::OnHeaderLine(char* data, size_t size, size_t count, void* self)
{
  auto* inet = static_cast<Impl*>(self);
  const size_t length = size * count;
  inet->m_idle->start(inet->m_timeoutMs);
  if (inet->m_headersIn)
    return length;   // trailers of a chunked body
  inet->m_headerBytes += qsizetype(length);
  QByteArray line(data, qsizetype(length));
  while (line.endsWith('\n') || line.endsWith('\r'))
    line.chop(1);

  if (line.startsWith("HTTP/")) {
    // Each response (interim, redirect, final) starts over.
    inet->m_headerLines = {line};
    const QList<QByteArray> parts = line.split(' ');
    inet->m_status = parts.value(1).toInt();
    return length;
  }
  if (!line.isEmpty()) {
    if (inet->m_headerLines.size() >= MaxHeaderLines || inet->m_headerBytes > MaxHeaderBytes) {
      inet->m_abortReason = QStringLiteral("服务器的应答头过长");
      return 0;
    }
    inet->m_headerLines << line;
    return length;
  }

  // The blank line. Only a 2xx answer is surely the last: after a redirect, or a 401 or
  // 407 that libcurl answers with credentials, another follows. Those count as the final
  // answer when their body starts or the transfer ends.
  if (inet->m_status >= 300 && inet->m_status < 400)
    inet->m_lastLocation = inet->GetHeader(QStringLiteral("Location")).toLatin1();
  if (inet->m_status < 200 || inet->m_status > 299)
    return length;
  inet->HeadersComplete();
  return inet->m_abortReason.isEmpty() ? length : 0;
}

// The final response's headers are in: a GET body that could not be stored as the
// server meant it is refused here, before a byte of it is handed out.
void Inet::Impl::HeadersComplete()
{
  m_headersIn = true;
  std::vector<std::string> lines;
  for (const QByteArray& line : m_headerLines)
    lines.push_back(line.toStdString());
  const BodyFraming framing = ReadFraming(lines, m_head, m_status);
  m_declaredLength = framing.declaredLength;
  if (!framing.refusal.empty())
    m_abortReason = QString::fromStdString(framing.refusal);
}

size_t Inet::Impl::OnBody(char* data, size_t size, size_t count, void* self)
{
  auto* inet = static_cast<Impl*>(self);
  const size_t length = size * count;
  if (!inet->m_headersIn) {
    inet->HeadersComplete();
    if (!inet->m_abortReason.isEmpty())
      return 0;
  }
  if (inet->m_readPos == inet->m_buffer.size()) {
    inet->m_buffer.resize(0);   // keeps its capacity
    inet->m_readPos = 0;
  } else if (inet->m_buffer.size() - inet->m_readPos + qsizetype(length) > BufferLimit) {
    // Enough waits unread: the server waits until GetChunk has drained it.
    inet->m_paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  inet->m_idle->start(inet->m_timeoutMs);
  inet->m_buffer.append(data, qsizetype(length));
  return length;
}

int Inet::Impl::OnSocket(CURL*, curl_socket_t fd, int what, void* self, void*)
{
  auto* inet = static_cast<Impl*>(self);
  Notifiers& notifiers = inet->m_notifiers[fd];
  // Notifiers are kept per descriptor and only switched off: libcurl may report a
  // removal from inside one of their own signals.
  if (what != CURL_POLL_REMOVE) {
    if (!notifiers.read) {
      notifiers.read = new QSocketNotifier(fd, QSocketNotifier::Read, inet);
      connect(notifiers.read, &QSocketNotifier::activated, inet,
              [inet, fd] { inet->Drive(fd, CURL_CSELECT_IN); });
      notifiers.write = new QSocketNotifier(fd, QSocketNotifier::Write, inet);
      connect(notifiers.write, &QSocketNotifier::activated, inet,
              [inet, fd] { inet->Drive(fd, CURL_CSELECT_OUT); });
    }
  }
  if (notifiers.read) {
    notifiers.read->setEnabled(what == CURL_POLL_IN || what == CURL_POLL_INOUT);
    notifiers.write->setEnabled(what == CURL_POLL_OUT || what == CURL_POLL_INOUT);
  }
  return 0;
}

int Inet::Impl::OnTimer(CURLM*, long timeoutMs, void* self)
{
  auto* inet = static_cast<Impl*>(self);
  if (timeoutMs < 0)
    inet->m_curlTimer->stop();
  else
    inet->m_curlTimer->start(int(timeoutMs));
  return 0;
}

void Inet::Impl::Drive(int fd, int events)
{
  int running = 0;
  curl_multi_socket_action(m_multi, curl_socket_t(fd), events, &running);
  CollectFinished();
}

void Inet::Impl::CollectFinished()
{
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(m_multi, &left)) {
    if (message->msg != CURLMSG_DONE || message->easy_handle != m_easy || !m_active)
      continue;
    const CURLcode code = message->data.result;
    if (code == CURLE_OK && !m_headersIn)
      HeadersComplete();
    QString failure;
    if (code != CURLE_OK)
      failure = m_abortReason.isEmpty() ? ReasonFor(code) : m_abortReason;
    Finish(failure);
    return;
  }
}

QString Inet::Impl::BrokenConnectionReason() const
{
  const qint64 arrived = m_received + (m_buffer.size() - m_readPos);
  if (m_declaredLength >= 0)
    return QStringLiteral("连接中断（已收到 %1 / %2 字节）").arg(arrived).arg(m_declaredLength);
  return QStringLiteral("连接中断（已收到 %1 字节）").arg(arrived);
}

QString Inet::Impl::ReasonFor(int code) const
{
  switch (code) {
  case CURLE_COULDNT_RESOLVE_HOST:
    return QStringLiteral("找不到服务器（域名无法解析）");
  case CURLE_COULDNT_RESOLVE_PROXY:
    return QStringLiteral("找不到代理服务器（域名无法解析）");
  case CURLE_COULDNT_CONNECT:
    return QStringLiteral("无法连接到服务器（连接被拒绝或无应答）");
  case CURLE_OPERATION_TIMEDOUT:
    return QStringLiteral("%1 秒内未能连接到服务器").arg(m_timeoutMs / 1000.0);
  case CURLE_GOT_NOTHING:
    return QStringLiteral("服务器未作应答就关闭了连接");
  case CURLE_PARTIAL_FILE:
  case CURLE_RECV_ERROR:
  case CURLE_SEND_ERROR:
    return m_status == 0 ? QStringLiteral("服务器未作应答就关闭了连接") : BrokenConnectionReason();
  case CURLE_TOO_MANY_REDIRECTS:
    return QStringLiteral("重定向超过 %1 次").arg(MaxRedirects);
  case CURLE_UNSUPPORTED_PROTOCOL:
    if (!m_lastLocation.isEmpty())
      return QStringLiteral("拒绝重定向到不安全的地址：%1").arg(QString::fromLatin1(m_lastLocation));
    return QStringLiteral("不支持的地址协议");
  case CURLE_WEIRD_SERVER_REPLY:
    return QStringLiteral("服务器的应答不是有效的 HTTP 应答");
  case CURLE_SSL_CONNECT_ERROR:
    return QStringLiteral("无法建立安全连接（TLS 握手失败）");
  case CURLE_PEER_FAILED_VERIFICATION:
  case CURLE_SSL_CACERT_BADFILE:
    return QStringLiteral("服务器的证书未通过验证");
  case CURLE_BAD_CONTENT_ENCODING:
    return QStringLiteral("服务器发来的内容编码无法识别");
  default:
    return QStringLiteral("网络传输失败（错误码 %1）").arg(code);
  }
}

void Inet::Impl::Abort(const QString& reason)
{
  m_abortReason = reason;
  Finish(reason);
}

void Inet::Impl::StopTransfer()
{
  if (m_active) {
    curl_multi_remove_handle(m_multi, m_easy);
    m_active = false;
  }
  m_paused = false;
  m_idle->stop();
}

void Inet::Impl::Finish(const QString& failure)
{
  if (m_finished)
    return;
  StopTransfer();
  m_failure = failure;
  m_finished = true;
  if (!m_shutdown)
    if (m_owner.OnStateChanged)
      m_owner.OnStateChanged(failure.isEmpty() ? icResponseCompleted : icError);
}

bool Inet::Impl::StillExecuting() const
{
  if (m_finished)
    return false;
  return m_active && (m_head || !m_headersIn);
}

void Inet::Impl::ThrowIfShutdown() const
{
  if (m_shutdown)
    throw RunEnded{};
}

void Inet::Impl::Wait()
{
  while (StillExecuting() && !m_shutdown)
    WaitForEvents();
  ThrowIfShutdown();
}

QString Inet::Impl::GetHeader() const
{
  QString text;
  for (const QByteArray& line : m_headerLines)
    text += QString::fromLatin1(line) + QStringLiteral("\r\n");
  return text;
}

QString Inet::Impl::GetHeader(const QString& name) const
{
  const QByteArray wanted = name.toLatin1();
  for (const QByteArray& line : m_headerLines.mid(1))
    if (HeaderName(line).compare(wanted, Qt::CaseInsensitive) == 0)
      return QString::fromLatin1(HeaderValue(line));
  return QString();
}

void Inet::Impl::ResumeIfDrained()
{
  if (!m_paused || m_readPos < m_buffer.size() || !m_active)
    return;
  m_paused = false;
  m_idle->start(m_timeoutMs);
  // libcurl may hand over what it held back right here, from inside this call.
  curl_easy_pause(m_easy, CURLPAUSE_CONT);
}

std::string Inet::Impl::GetChunk(int maxBytes)
{
  for (;;) {
    ThrowIfShutdown();
    const qsizetype available = m_buffer.size() - m_readPos;
    if (available > 0) {
      const qsizetype size = qMin<qsizetype>(available, maxBytes);
      std::string piece(m_buffer.constData() + m_readPos, size_t(size));
      m_readPos += size;
      m_received += size;
      ResumeIfDrained();
      return piece;
    }
    if (m_finished || !m_headersIn)
      return std::string();
    ResumeIfDrained();
    WaitForEvents();
  }
}

QString Inet::Impl::AnswerFailure() const
{
  if (!m_failure.isEmpty())
    return m_failure;
  if (m_status < 200 || m_status > 299) {
    if (m_status == 0)
      return QStringLiteral("服务器没有应答");
    QString reason = GetHeader().section(QStringLiteral("\r\n"), 0, 0).section(u' ', 2).trimmed();
    return QStringLiteral("服务器返回 HTTP %1 %2").arg(m_status).arg(reason).trimmed();
  }
  return QString();
}

QString Inet::Impl::FailureReason() const
{
  const QString answer = AnswerFailure();
  if (!answer.isEmpty())
    return answer;
  if (!m_finished)
    return QStringLiteral("传输没有完成");
  return QString();
}

void Inet::Impl::Cancel()
{
  if (m_finished)
    return;
  StopTransfer();
  m_buffer.resize(0);
  m_readPos = 0;
  m_failure = QStringLiteral("传输已取消");
  m_finished = true;
}

void Inet::Impl::Shutdown()
{
  m_shutdown = true;
  StopTransfer();
  m_finished = true;
}

Inet::Inet() : m_impl(std::make_unique<Impl>(*this)) {}

Inet::~Inet() = default;

void Inet::Execute(const std::string& url, const std::string& operation)
{
  m_impl->Execute(QString::fromStdString(url), QString::fromStdString(operation));
}

void Inet::ExecuteFrom(const std::string& url, std::int64_t offset, const std::string& validator)
{
  m_impl->Execute(QString::fromStdString(url), QStringLiteral("GET"), offset, QByteArray::fromStdString(validator));
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
  return m_impl->GetHeader().toStdString();
}

std::string Inet::GetHeader(const std::string& name) const
{
  return m_impl->GetHeader(QString::fromStdString(name)).toStdString();
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
  return m_impl->m_declaredLength;
}

std::string Inet::AnswerFailure() const
{
  return m_impl->AnswerFailure().toStdString();
}

std::string Inet::FailureReason() const
{
  return m_impl->FailureReason().toStdString();
}

std::int64_t Inet::BytesReceived() const
{
  return m_impl->m_received;
}

void Inet::Cancel()
{
  m_impl->Cancel();
}

void Inet::Shutdown()
{
  m_impl->Shutdown();
}

void Inet::SetTimeoutMs(int ms)
{
  m_impl->m_timeoutMs = ms;
}

void Inet::SetCaFile(const std::string& path)
{
  m_impl->m_caFile = QString::fromStdString(path);
}

std::optional<UrlParts> ParseUrl(const std::string& url)
{
  const QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
  if (!parsed.isValid())
    return std::nullopt;
  return UrlParts{parsed.scheme().toStdString(), parsed.host().toStdString()};
}
