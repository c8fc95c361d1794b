#include "TestServer.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

#include <sys/socket.h>

TestServer::TestServer() : m_server(new QTcpServer(this))
{
  m_server->listen(QHostAddress::LocalHost, 0);
  connect(m_server, &QTcpServer::newConnection, this, &TestServer::OnConnection);
}

TestServer::~TestServer() = default;

quint16 TestServer::Port() const
{
  return m_server->serverPort();
}

QString TestServer::BaseUrl() const
{
  return QStringLiteral("http://127.0.0.1:%1/mrvo/").arg(Port());
}

void TestServer::Route(const QByteArray& path, const Reply& reply)
{
  m_routes.insert(path, reply);
}

int TestServer::Count(const QString& method, const QByteArray& path) const
{
  return m_requests.count(method + u' ' + QString::fromLatin1(path));
}

void TestServer::CloseConnections()
{
  for (QTcpSocket* socket : findChildren<QTcpSocket*>())
    socket->disconnectFromHost();
}

void TestServer::OnConnection()
{
  while (QTcpSocket* socket = m_server->nextPendingConnection()) {
    socket->setParent(this);
    ++m_connections;
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { OnReadable(socket); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
  }
}

void TestServer::OnReadable(QTcpSocket* socket)
{
  QByteArray& buffer = m_pending[socket];
  buffer += socket->readAll();
  for (;;) {
    const qsizetype end = buffer.indexOf("\r\n\r\n");
    if (end < 0)
      return;
    const qsizetype lineEnd = buffer.indexOf("\r\n");
    const QList<QByteArray> requestLine = buffer.left(lineEnd).split(' ');
    const QByteArray head = buffer.mid(lineEnd + 2, end - lineEnd - 2);
    buffer.remove(0, end + 4);
    if (requestLine.size() < 2)
      continue;
    QByteArray target = requestLine[1];
    if (!m_proxyCredentials.isEmpty()) {
      const QByteArray expected = "proxy-authorization: basic " + m_proxyCredentials.toBase64().toLower();
      if (!("\r\n" + head.toLower() + "\r\n").contains("\r\n" + expected + "\r\n")) {
        m_requests << QString::fromLatin1("PROXY-REFUSED " + target);
        m_heads << head;
        socket->write("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"t\"\r\n"
                      "Content-Length: 0\r\n\r\n");
        continue;
      }
      // "http://host/path" is asked for by its path.
      target = target.mid(target.indexOf('/', target.indexOf("//") + 2));
    }
    m_requests << QString::fromLatin1(requestLine[0] + ' ' + target);
    m_heads << head;
    emit RequestReceived(m_requests.last());
    Answer(socket, requestLine[0], target, head);
  }
}

namespace {
// The value of the request header name (lower case), or nothing.
QByteArray RequestHeader(const QByteArray& head, const QByteArray& name)
{
  for (const QByteArray& line : head.split('\n'))
    if (line.toLower().startsWith(name + ':'))
      return line.mid(name.size() + 1).trimmed();
  return {};
}

// reply as a 206 for the range the request asks for, when reply serves ranges and the
// request's If-Range still names its ETag.
Reply RangeOf(Reply reply, const QByteArray& head)
{
  const QByteArray range = RequestHeader(head, "range");
  QByteArray etag;
  for (const auto& header : reply.headers)
    if (header.first.toLower() == "etag")
      etag = header.second;
  if (!reply.ranges || !range.startsWith("bytes=") || !range.endsWith('-') || RequestHeader(head, "if-range") != etag)
    return reply;
  const qint64 from = range.mid(6).chopped(1).toLongLong();
  const qint64 size = reply.body.size();
  reply.headers << qMakePair(QByteArray("Content-Range"),
                             "bytes " + QByteArray::number(from) + '-' + QByteArray::number(size - 1) + '/' + QByteArray::number(size));
  reply.status = 206;
  reply.reason = "Partial Content";
  reply.body = reply.body.mid(from);
  return reply;
}
}  // namespace

void TestServer::Answer(QTcpSocket* socket, const QByteArray& method, const QByteArray& path, const QByteArray& head)
{
  const Reply reply = RangeOf(m_routes.value(path, Reply::Status(404, "Not Found")), head);
  if (reply.stall)
    return;

  auto send = [this, socket, reply, method]() {
    QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reply.reason + "\r\n";
    if (reply.streamBytes > 0)
      head += "Transfer-Encoding: chunked\r\n";
    else if (reply.sendContentLength)
      head += "Content-Length: " + QByteArray::number(reply.declaredLength.value_or(reply.body.size())) + "\r\n";
    for (const auto& header : reply.headers)
      head += header.first + ": " + header.second + "\r\n";
    head += reply.keepAlive ? "\r\n" : "Connection: close\r\n\r\n";
    socket->write(head);
    if (method != "HEAD" && reply.streamBytes > 0) {
      Stream(socket, reply.streamBytes);
      return;
    }
    const QByteArray body = reply.closeAfter >= 0 ? reply.body.left(reply.closeAfter) : reply.body;
    if (method != "HEAD" && reply.dripMs > 0) {
      const qsizetype piece = (body.size() + reply.dripPieces - 1) / reply.dripPieces;
      for (int i = 0; i < reply.dripPieces; ++i)
        QTimer::singleShot(reply.dripMs * i, socket, [socket, part = body.mid(i * piece, piece)] { socket->write(part); });
      QTimer::singleShot(reply.dripMs * reply.dripPieces, socket, [socket] { socket->disconnectFromHost(); });
      return;
    }
    if (method != "HEAD") {
      socket->write(body);
      m_sent += body.size();
    }
    if (reply.resetOnClose) {
      socket->flush();
      const linger hard{1, 0};
      ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      socket->abort();
      return;
    }
    if (!reply.keepAlive)
      socket->disconnectFromHost();
  };
  if (reply.delayMs > 0)
    QTimer::singleShot(reply.delayMs, socket, send);
  else
    send();
}

// Keeps a little queued, so what was sent is about what the client took.
void TestServer::Stream(QTcpSocket* socket, qint64 bytes)
{
  ++m_openStreams;
  connect(socket, &QTcpSocket::disconnected, this, [this] { --m_openStreams; });
  auto left = std::make_shared<qint64>(bytes);
  auto feed = [this, socket, left] {
    static const QByteArray piece = "10000\r\n" + QByteArray(0x10000, 's') + "\r\n";
    while (*left > 0 && socket->bytesToWrite() < 4 * 0x10000) {
      socket->write(piece);
      *left -= 0x10000;
      m_streamed += 0x10000;
      if (*left <= 0) {
        socket->write("0\r\n\r\n");
        socket->disconnectFromHost();
      }
    }
  };
  connect(socket, &QTcpSocket::bytesWritten, this, feed);
  feed();
}
