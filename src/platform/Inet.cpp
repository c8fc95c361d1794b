#include "platform/Inet.h"

#include "platform/Runtime.h"

#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

namespace {
// Bounded so that a fast server cannot fill memory faster than the body is written out.
constexpr qint64 ReadBufferBytes = 256 * 1024;

bool IsRedirect(int status)
{
  return status >= 300 && status < 400;
}
}

Inet::Inet(QObject* parent) : QObject(parent), m_manager(new QNetworkAccessManager(this))
{
  QNetworkProxyFactory::setUseSystemConfiguration(true);
}

Inet::~Inet()
{
  DropReply();
}

void Inet::DropReply()
{
  if (!m_reply)
    return;
  m_reply->disconnect(this);
  if (!m_reply->isFinished()) {
    m_aborting = true;
    m_reply->abort();
  }
  // Not inside one of the reply's own signals here, so it can go at once:
  // deleteLater would pile replies up until the outermost event loop runs.
  delete m_reply;
  m_reply = nullptr;
}

void Inet::Execute(const QString& url, const QString& operation)
{
  DropReply();
  m_isGet = operation.compare(QLatin1String("HEAD"), Qt::CaseInsensitive) != 0;
  m_headersIn = false;
  m_finished = false;
  m_aborting = false;
  m_received = 0;

  QNetworkRequest request(QUrl::fromEncoded(url.toUtf8(), QUrl::StrictMode));
  // Compressed answers lose their Content-Length, which the size checks rely on.
  request.setRawHeader("Accept-Encoding", "identity");
  request.setRawHeader("User-Agent", "MervoUpdate");
  request.setTransferTimeout(m_timeoutMs);
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::NoLessSafeRedirectPolicy);

  m_reply = m_isGet ? m_manager->get(request) : m_manager->head(request);
  m_reply->setReadBufferSize(ReadBufferBytes);
  connect(m_reply, &QNetworkReply::metaDataChanged, this, &Inet::OnMetaData);
  connect(m_reply, &QNetworkReply::readyRead, this, [this] { m_headersIn = true; });
  connect(m_reply, &QNetworkReply::finished, this, &Inet::OnFinished);
  if (m_shutdown)
    m_reply->abort();
}

void Inet::OnMetaData()
{
  const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  if (status.isValid() && !IsRedirect(status.toInt()))
    m_headersIn = true;
}

void Inet::OnFinished()
{
  m_finished = true;
  m_headersIn = true;
  if (m_shutdown || m_aborting)
    return;
  emit StateChanged(TransferFailed() ? icError : icResponseCompleted);
}

bool Inet::StillExecuting() const
{
  if (!m_reply)
    return false;
  return m_isGet ? !m_headersIn : !m_finished;
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
  if (!m_reply)
    return 0;
  return m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

QString Inet::GetHeader() const
{
  const int status = StatusCode();
  if (status == 0)
    return QString();
  const bool http2 = m_reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool();
  QString text = QStringLiteral("%1 %2 %3\r\n")
                     .arg(http2 ? QStringLiteral("HTTP/2") : QStringLiteral("HTTP/1.1"))
                     .arg(status)
                     .arg(m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
  for (const auto& pair : m_reply->rawHeaderPairs())
    text += QString::fromLatin1(pair.first) + QStringLiteral(": ") + QString::fromLatin1(pair.second)
            + QStringLiteral("\r\n");
  return text;
}

QString Inet::GetHeader(const QString& name) const
{
  if (!m_reply)
    return QString();
  return QString::fromLatin1(m_reply->rawHeader(name.toLatin1()));
}

QByteArray Inet::GetChunk(int maxBytes)
{
  for (;;) {
    ThrowIfShutdown();
    if (!m_reply)
      return QByteArray();
    if (m_reply->bytesAvailable() > 0) {
      QByteArray piece = m_reply->read(maxBytes);
      m_received += piece.size();
      return piece;
    }
    if (m_finished)
      return QByteArray();
    WaitForEvents();
  }
}

bool Inet::TransferFailed() const
{
  // HTTP error statuses set error() too (203 for a 404, 401 for a 500): those are the
  // server's answers. Only codes below 200 are failures of the transfer itself.
  const QNetworkReply::NetworkError code = m_reply->error();
  return code > QNetworkReply::NoError && code < QNetworkReply::ContentAccessDenied;
}

QString Inet::AnswerFailure() const
{
  if (!m_reply)
    return QStringLiteral("no request");
  if (m_finished && TransferFailed()) {
    if (m_reply->error() == QNetworkReply::OperationCanceledError && !m_aborting)
      return QStringLiteral("no data received for %1 seconds").arg(m_timeoutMs / 1000.0);
    return m_reply->errorString();
  }
  const int status = StatusCode();
  if (status < 200 || status > 299) {
    if (!m_finished && status == 0)
      return QStringLiteral("no answer yet");
    return QStringLiteral("HTTP %1 %2")
        .arg(status)
        .arg(m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString())
        .trimmed();
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
  if (m_isGet) {
    bool known = false;
    const qint64 expected = m_reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
    if (known && expected != m_received)
      return QStringLiteral("received %1 of %2 bytes").arg(m_received).arg(expected);
  }
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
      DropReply();
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
  if (m_reply && !m_reply->isFinished())
    m_reply->abort();
}
