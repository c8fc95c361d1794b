#pragma once
// A scripted HTTP server on 127.0.0.1 for tests, in the test's own thread:
// each path answers as its Reply says; unknown paths answer "404 Not Found".
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <optional>

class QTcpServer;
class QTcpSocket;

struct Reply {
  int status = 200;
  QByteArray reason = "OK";
  QByteArray body;
  QList<QPair<QByteArray, QByteArray>> headers;  // extra header lines
  bool sendContentLength = true;                  // "Content-Length: <declared or body size>"
  std::optional<qint64> declaredLength;           // claim a length other than the body's
  int delayMs = 0;                                // answer only after this long
  bool stall = false;                             // never answer
  qint64 closeAfter = -1;                         // send this many body bytes, then close
  bool resetOnClose = false;                      // close with a TCP reset instead of a FIN
  bool keepAlive = false;                         // leave the connection open for the next request
  int dripMs = 0;                                 // send the body in dripPieces pieces, this far apart
  int dripPieces = 1;
  qint64 streamBytes = 0;                         // a chunked body this long, sent as the client takes it
  bool ranges = false;                            // answers "Range: bytes=N-" with a 206 while If-Range
                                                  // matches the ETag among the headers

  static Reply Ok(const QByteArray& body) { Reply r; r.body = body; return r; }
  static Reply Status(int status, const QByteArray& reason)
  {
    Reply r;
    r.status = status;
    r.reason = reason;
    r.body = "<html>" + reason + "</html>";
    return r;
  }
};

class TestServer : public QObject {
  Q_OBJECT
public:
  TestServer();
  ~TestServer() override;

  quint16 Port() const;
  // "http://127.0.0.1:<port>/mrvo/"
  QString BaseUrl() const;

  // path is the request target as sent, e.g. "/mrvo/sub/a.dll".
  void Route(const QByteArray& path, const Reply& reply);
  // Shorthand for a file under /mrvo/.
  void File(const QByteArray& name, const QByteArray& body) { Route("/mrvo/" + name, Reply::Ok(body)); }

  // Every request line received so far, e.g. "HEAD /mrvo/a.dll".
  QStringList Requests() const { return m_requests; }
  int Count(const QString& method, const QByteArray& path) const;
  // Closes every open connection, as a server does with idle kept-alive ones.
  void CloseConnections();
  // How many connections clients have opened.
  int Connections() const { return m_connections; }
  // The header lines of each request, in the order of Requests().
  QList<QByteArray> RequestHeads() const { return m_heads; }
  // Acts as an HTTP proxy that wants these "user:password" credentials: absolute request
  // targets are routed by their path, and a request without the credentials gets a 407.
  void ActAsProxy(const QByteArray& credentials) { m_proxyCredentials = credentials; }
  // Body bytes of streamed replies sent so far, and whether a client still holds one open.
  qint64 Streamed() const { return m_streamed; }
  bool Streaming() const { return m_openStreams > 0; }
  // Body bytes of ordinary replies to GET requests sent so far.
  qint64 Sent() const { return m_sent; }

signals:
  // Emitted as each request arrives, inside whatever event loop is running then:
  // tests use it to act in the middle of a handler that waits for the server.
  void RequestReceived(const QString& requestLine);

private:
  void OnConnection();
  void OnReadable(QTcpSocket* socket);
  void Answer(QTcpSocket* socket, const QByteArray& method, const QByteArray& path, const QByteArray& head);
  void Stream(QTcpSocket* socket, qint64 bytes);

  QTcpServer* m_server;
  QHash<QByteArray, Reply> m_routes;
  QStringList m_requests;
  int m_connections = 0;
  QList<QByteArray> m_heads;
  QHash<QTcpSocket*, QByteArray> m_pending;
  QByteArray m_proxyCredentials;
  qint64 m_streamed = 0;
  qint64 m_sent = 0;
  int m_openStreams = 0;
};
