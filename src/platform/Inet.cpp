#include "platform/Inet.h"

#include "platform/Runtime.h"

#include <QHostAddress>
#include <QNetworkProxyFactory>
#include <QSslSocket>
#include <QTimer>
#include <QUrl>

namespace {
// Bounded, so that a fast server waits for the disk instead of filling memory.
constexpr qint64 ReadBufferBytes = 256 * 1024;
constexpr int MaxRedirects = 50;
constexpr int MaxHeaderLines = 200;
constexpr qint64 MaxLineBytes = 64 * 1024;

// Keeps count of the socket signals being handled, so the socket is not deleted under one.
class SignalScope {
public:
  explicit SignalScope(int& depth) : m_depth(depth) { ++m_depth; }
  ~SignalScope() { --m_depth; }
  SignalScope(const SignalScope&) = delete;
  SignalScope& operator=(const SignalScope&) = delete;

private:
  int& m_depth;
};

bool IsRedirect(int status)
{
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

QNetworkProxy ProxyFor(const QUrl& url)
{
  // This machine's own servers are never reached through a proxy.
  const QHostAddress address(url.host());
  if (url.host().compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 || address.isLoopback())
    return QNetworkProxy(QNetworkProxy::NoProxy);
  const QList<QNetworkProxy> proxies = QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url));
  return proxies.isEmpty() ? QNetworkProxy(QNetworkProxy::NoProxy) : proxies.first();
}
}

Inet::Inet(QObject* parent) : QObject(parent), m_idle(new QTimer(this))
{
  QNetworkProxyFactory::setUseSystemConfiguration(true);
  m_idle->setSingleShot(true);
  connect(m_idle, &QTimer::timeout, this, [this] {
    // A full buffer waiting for a slow reader is not a silent server.
    if (m_socket && m_socket->bytesAvailable() > 0 && m_headersIn)
      m_idle->start(m_timeoutMs);
    else
      Fail(QStringLiteral("no data received for %1 seconds").arg(m_timeoutMs / 1000.0));
  });
}

Inet::~Inet()
{
  DropSocket();
}

void Inet::DropSocket()
{
  if (!m_socket)
    return;
  m_socket->disconnect(this);
  m_socket->abort();
  if (m_signalDepth > 0)
    m_socket->deleteLater();
  else
    delete m_socket;
  m_socket = nullptr;
  m_socketKey.clear();
  m_reusable = false;
}

void Inet::Execute(const QString& url, const QString& operation)
{
  m_operation = operation.toUpper().toLatin1();
  m_redirects = 0;
  StartRequest(QUrl::fromEncoded(url.toUtf8(), QUrl::StrictMode));
}

void Inet::StartRequest(const QUrl& url)
{
  m_url = url;
  m_headersIn = false;
  m_finished = false;
  m_closed = false;
  m_onReusedSocket = false;
  m_closeError.clear();
  m_failure.clear();
  m_version.clear();
  m_status = 0;
  m_reason.clear();
  m_headers.clear();
  m_body = Body::None;
  m_declaredLength = -1;
  m_remaining = 0;
  m_chunkNeedsCrlf = false;
  m_inTrailer = false;
  m_received = 0;

  if (m_shutdown) {
    m_finished = true;
    return;
  }
  const QString scheme = url.scheme().toLower();
  if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
      || url.host().isEmpty()) {
    Fail(QStringLiteral("invalid address: %1").arg(url.toString()));
    return;
  }

  const bool secure = scheme == QLatin1String("https");
  const quint16 port = quint16(url.port(secure ? 443 : 80));
  const QNetworkProxy proxy = ProxyFor(url);
  // A plain request through an HTTP proxy goes to the proxy with the whole address;
  // everything else is tunnelled by the socket itself (CONNECT or SOCKS).
  m_viaHttpProxy = !secure && (proxy.type() == QNetworkProxy::HttpProxy
                               || proxy.type() == QNetworkProxy::HttpCachingProxy);
  const QString key = m_viaHttpProxy
                          ? QStringLiteral("proxy://%1:%2").arg(proxy.hostName()).arg(proxy.port())
                          : QStringLiteral("%1://%2:%3").arg(scheme, url.host()).arg(port);

  if (m_socket && m_reusable && m_socketKey == key && m_socket->state() == QAbstractSocket::ConnectedState
      && m_socket->bytesAvailable() == 0) {
    m_reusable = false;
    SendRequest();
    m_onReusedSocket = true;
    return;
  }

  DropSocket();
  m_socket = new QSslSocket(this);
  m_socketKey = key;
  m_socket->setReadBufferSize(ReadBufferBytes);
  connect(m_socket, &QSslSocket::readyRead, this, &Inet::OnReadyRead);
  connect(m_socket, &QSslSocket::disconnected, this, &Inet::OnDisconnected);
  connect(m_socket, &QSslSocket::errorOccurred, this, &Inet::OnSocketError);
  connect(m_socket, &QSslSocket::bytesWritten, m_idle, qOverload<>(&QTimer::start));
  connect(m_socket, &QSslSocket::sslErrors, this, [this](const QList<QSslError>& errors) {
    QStringList reasons;
    for (const QSslError& error : errors)
      reasons << error.errorString();
    Fail(reasons.join(QStringLiteral("; ")));
  });
  m_idle->start(m_timeoutMs);

  if (m_viaHttpProxy) {
    m_socket->setProxy(QNetworkProxy::NoProxy);
    connect(m_socket, &QSslSocket::connected, this, &Inet::SendRequest);
    m_socket->connectToHost(proxy.hostName(), proxy.port());
  } else {
    m_socket->setProxy(proxy.type() == QNetworkProxy::DefaultProxy ? QNetworkProxy(QNetworkProxy::NoProxy) : proxy);
    if (secure) {
      connect(m_socket, &QSslSocket::encrypted, this, &Inet::SendRequest);
      m_socket->connectToHostEncrypted(url.host(), port);
    } else {
      connect(m_socket, &QSslSocket::connected, this, &Inet::SendRequest);
      m_socket->connectToHost(url.host(), port);
    }
  }
}

void Inet::SendRequest()
{
  SignalScope scope(m_signalDepth);
  const bool secure = m_url.scheme().toLower() == QLatin1String("https");
  const int port = m_url.port(secure ? 443 : 80);
  QByteArray host = m_url.host(QUrl::FullyEncoded).toLatin1();
  if (m_url.host().contains(u':'))
    host = '[' + host + ']';
  if (port != (secure ? 443 : 80))
    host += ':' + QByteArray::number(port);
  QByteArray target = m_viaHttpProxy ? m_url.toEncoded(QUrl::RemoveFragment)
                                     : m_url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
  if (target.isEmpty())
    target = "/";

  QByteArray request = m_operation + ' ' + target + " HTTP/1.1\r\nHost: " + host
                       + "\r\nUser-Agent: MervoUpdate\r\n"
                         // Compressed answers lose their Content-Length, which the size checks rely on.
                         "Accept-Encoding: identity\r\n"
                         "Connection: keep-alive\r\n\r\n";
  m_idle->start(m_timeoutMs);
  m_socket->write(request);
}

void Inet::OnReadyRead()
{
  SignalScope scope(m_signalDepth);
  if (m_finished)
    return;
  m_idle->start(m_timeoutMs);
  if (!m_headersIn && !ParseHead())
    return;
  // Body bytes stay in the socket's bounded buffer until GetChunk takes them.
}

// Reads the status line and headers as far as they have arrived. True once they are complete.
bool Inet::ParseHead()
{
  while (m_socket->canReadLine()) {
    const QByteArray line = m_socket->readLine(MaxLineBytes).trimmed();
    if (m_status == 0) {
      const QList<QByteArray> parts = line.split(' ');
      bool ok = false;
      const int status = parts.size() >= 2 ? parts[1].toInt(&ok) : 0;
      if (!line.startsWith("HTTP/") || !ok || status < 100 || status > 999) {
        Fail(QStringLiteral("not an HTTP answer"));
        return false;
      }
      m_version = parts[0];
      m_status = status;
      m_reason = line.mid(parts[0].size() + 1 + parts[1].size()).trimmed();
      continue;
    }
    if (!line.isEmpty()) {
      const qsizetype colon = line.indexOf(':');
      if (colon > 0 && m_headers.size() < MaxHeaderLines)
        m_headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
      continue;
    }
    // The blank line: an interim answer starts over, a final one is complete.
    if (m_status < 200) {
      m_status = 0;
      m_headers.clear();
      continue;
    }
    StartBody();
    return true;
  }
  if (m_socket->bytesAvailable() >= MaxLineBytes)
    Fail(QStringLiteral("answer header too long"));
  return false;
}

void Inet::StartBody()
{
  if (IsRedirect(m_status) && !GetHeader(QStringLiteral("Location")).isEmpty()) {
    const QUrl next = m_url.resolved(QUrl::fromEncoded(GetHeader(QStringLiteral("Location")).toLatin1()));
    if (++m_redirects > MaxRedirects) {
      Fail(QStringLiteral("too many redirects"));
      return;
    }
    if (m_url.scheme() == QLatin1String("https") && next.scheme() != QLatin1String("https")) {
      Fail(QStringLiteral("redirect from https to %1 refused").arg(next.toString()));
      return;
    }
    // The redirect's own body is of no use: start afresh on a new connection.
    m_reusable = false;
    StartRequest(next);
    return;
  }

  m_headersIn = true;
  const QByteArray transfer = GetHeader(QStringLiteral("Transfer-Encoding")).toLatin1().toLower();
  const QString length = GetHeader(QStringLiteral("Content-Length"));
  bool lengthOk = false;
  m_declaredLength = length.toLongLong(&lengthOk);
  if (!lengthOk || m_declaredLength < 0)
    m_declaredLength = -1;

  if (m_operation == "HEAD" || m_status == 204 || m_status == 304)
    m_body = Body::None;
  else if (transfer.contains("chunked"))
    m_body = Body::Chunked;
  else if (m_declaredLength >= 0)
    m_body = Body::Length;
  else
    m_body = Body::UntilClose;
  m_remaining = m_body == Body::Length ? m_declaredLength : 0;
  if (m_body == Body::None || (m_body == Body::Length && m_remaining == 0))
    Complete();
}

void Inet::Complete()
{
  if (m_finished)
    return;
  m_idle->stop();
  // Bytes beyond the end of the body mean the length was wrong: the body cannot be trusted.
  if (m_body != Body::None && m_body != Body::UntilClose && m_socket && m_socket->bytesAvailable() > 0) {
    Fail(QStringLiteral("the server sent more than the %1 bytes it announced")
             .arg(m_body == Body::Length ? m_declaredLength : m_received));
    return;
  }
  const QByteArray connection = GetHeader(QStringLiteral("Connection")).toLatin1().toLower();
  m_reusable = m_version == "HTTP/1.1" && !connection.contains("close") && m_body != Body::UntilClose && !m_closed;
  m_finished = true;
  m_headersIn = true;
  if (!m_shutdown)
    emit StateChanged(icResponseCompleted);
}

void Inet::Fail(const QString& reason)
{
  if (m_finished)
    return;
  m_idle->stop();
  m_failure = reason;
  m_finished = true;
  m_reusable = false;
  if (m_socket)
    m_socket->abort();
  if (!m_shutdown)
    emit StateChanged(icError);
}

void Inet::OnDisconnected()
{
  SignalScope scope(m_signalDepth);
  m_closed = true;
  m_reusable = false;
  if (m_finished)
    return;
  if (!m_headersIn) {
    // What has arrived may still complete the head.
    if (m_socket->bytesAvailable() > 0 && ParseHead())
      return;
    if (m_finished)
      return;
    // A kept-alive connection may close just as a request goes out: try once more afresh.
    if (m_onReusedSocket && m_status == 0) {
      StartRequest(m_url);
      return;
    }
    Fail(QStringLiteral("the server closed the connection without an answer"));
  }
  // During the body GetChunk drains what is buffered, then judges the end.
}

void Inet::OnSocketError()
{
  SignalScope scope(m_signalDepth);
  if (m_socket->error() == QAbstractSocket::RemoteHostClosedError) {
    OnDisconnected();
    return;
  }
  if (m_headersIn && m_socket->bytesAvailable() > 0) {
    // Let GetChunk take what arrived first, then report the break.
    m_closed = true;
    m_closeError = m_socket->errorString();
    return;
  }
  if (!m_headersIn && m_onReusedSocket && m_status == 0) {
    StartRequest(m_url);
    return;
  }
  Fail(m_socket->errorString());
}

bool Inet::StillExecuting() const
{
  if (m_url.isEmpty() || m_finished)
    return false;
  return m_operation == "HEAD" || !m_headersIn;
}

void Inet::ThrowIfShutdown() const
{
  if (m_shutdown)
    throw RunEnded{};
}

void Inet::Wait()
{
  while (StillExecuting() && !m_shutdown)
    WaitForEvents();
  ThrowIfShutdown();
}

int Inet::StatusCode() const
{
  return m_status;
}

QString Inet::GetHeader() const
{
  if (m_status == 0)
    return QString();
  QString text = QStringLiteral("%1 %2 %3\r\n")
                     .arg(QString::fromLatin1(m_version))
                     .arg(m_status)
                     .arg(QString::fromLatin1(m_reason));
  for (const auto& header : m_headers)
    text += QString::fromLatin1(header.first) + QStringLiteral(": ") + QString::fromLatin1(header.second)
            + QStringLiteral("\r\n");
  return text;
}

QString Inet::GetHeader(const QString& name) const
{
  const QByteArray wanted = name.toLatin1();
  for (const auto& header : m_headers)
    if (header.first.compare(wanted, Qt::CaseInsensitive) == 0)
      return QString::fromLatin1(header.second);
  return QString();
}

// Reads the size line of the next chunk when it has arrived. True when m_remaining is set
// (0 after the last chunk and its trailer); false when more data must arrive first.
bool Inet::NextChunkSize()
{
  if (m_inTrailer) {
    while (m_socket->canReadLine())
      if (m_socket->readLine(MaxLineBytes).trimmed().isEmpty()) {
        Complete();
        return true;
      }
    return false;
  }
  if (m_chunkNeedsCrlf) {
    if (!m_socket->canReadLine())
      return false;
    m_socket->readLine(MaxLineBytes);
    m_chunkNeedsCrlf = false;
  }
  if (!m_socket->canReadLine())
    return false;
  QByteArray line = m_socket->readLine(MaxLineBytes).trimmed();
  if (line.contains(';'))
    line.truncate(line.indexOf(';'));
  bool ok = false;
  const qint64 size = line.toLongLong(&ok, 16);
  if (!ok || size < 0) {
    Fail(QStringLiteral("malformed chunked body"));
    return false;
  }
  if (size == 0) {
    m_inTrailer = true;
    return NextChunkSize();
  }
  m_remaining = size;
  m_chunkNeedsCrlf = true;
  return true;
}

QByteArray Inet::GetChunk(int maxBytes)
{
  for (;;) {
    ThrowIfShutdown();
    if (m_finished || !m_headersIn || !m_socket)
      return QByteArray();

    if (m_body == Body::Chunked && m_remaining == 0 && !NextChunkSize()) {
      if (m_finished)
        return QByteArray();
    } else if (m_socket->bytesAvailable() > 0) {
      qint64 wanted = maxBytes;
      if (m_body != Body::UntilClose)
        wanted = qMin<qint64>(wanted, m_remaining);
      const QByteArray piece = m_socket->read(wanted);
      m_received += piece.size();
      if (m_body != Body::UntilClose) {
        m_remaining -= piece.size();
        if (m_body == Body::Length && m_remaining == 0)
          Complete();
      }
      return piece;
    }

    if (m_closed && m_socket->bytesAvailable() == 0) {
      if (!m_closeError.isEmpty())
        Fail(m_closeError);
      else if (m_body == Body::UntilClose)
        Complete();
      else
        Fail(QStringLiteral("the connection closed after %1 of %2 bytes")
                 .arg(m_received)
                 .arg(m_body == Body::Length ? QString::number(m_declaredLength) : QStringLiteral("the chunked")));
      return QByteArray();
    }
    WaitForEvents();
  }
}

QString Inet::AnswerFailure() const
{
  if (TransferFailed())
    return m_failure;
  if (m_status < 200 || m_status > 299) {
    if (m_status == 0)
      return QStringLiteral("no answer yet");
    return QStringLiteral("HTTP %1 %2").arg(m_status).arg(QString::fromLatin1(m_reason)).trimmed();
  }
  return QString();
}

QString Inet::FailureReason() const
{
  const QString answer = AnswerFailure();
  if (!answer.isEmpty())
    return answer;
  if (!m_finished)
    return QStringLiteral("the transfer did not finish");
  return QString();
}

QByteArray Inet::OpenURL(const QString& url, qint64 maxBytes)
{
  Execute(url, QStringLiteral("GET"));
  Wait();
  const QString answer = AnswerFailure();
  if (!answer.isEmpty())
    throw InetError(answer);
  QByteArray body;
  for (;;) {
    const QByteArray piece = GetChunk(64 * 1024);
    if (piece.isEmpty())
      break;
    body += piece;
    if (body.size() > maxBytes) {
      DropSocket();
      throw InetError(QStringLiteral("larger than %1 bytes").arg(maxBytes));
    }
  }
  const QString reason = FailureReason();
  if (!reason.isEmpty())
    throw InetError(reason);
  return body;
}

void Inet::Shutdown()
{
  m_shutdown = true;
  m_idle->stop();
  if (m_socket)
    m_socket->abort();
  m_finished = true;
}
