#pragma once
// The HTTP transfer control: one request at a time, started without waiting,
// waited for on the event loop, its body read back in pieces.
//
// It speaks HTTP/1.1 itself over one kept-alive socket in the window's thread rather
// than through QNetworkAccessManager: that one buffers a whole body when its read limit
// comes too late, and reads headers a byte per system call, which made many small files
// several times slower than curl.
#include <QByteArray>
#include <QList>
#include <QPair>
#include <QUrl>
#include <QObject>
#include <QString>
#include <stdexcept>

class QSslSocket;
class QTimer;

// A failed whole-body fetch; what() is the reason shown to the user.
class InetError : public std::runtime_error {
public:
  explicit InetError(const QString& reason) : std::runtime_error(reason.toStdString()) {}
  QString Reason() const { return QString::fromStdString(what()); }
};

class Inet : public QObject {
  Q_OBJECT
public:
  static constexpr int icError = 11;
  static constexpr int icResponseCompleted = 12;
  static constexpr int DefaultTimeoutMs = 30000;

  explicit Inet(QObject* parent = nullptr);
  ~Inet() override;

  QString URL = QStringLiteral("http://");

  // Starts a "HEAD" or "GET" for an already encoded address and returns at once.
  // A GET stops executing as soon as the response headers are in; its body is
  // then read with GetChunk.
  void Execute(const QString& url, const QString& operation);
  bool StillExecuting() const;

  // Blocks on the event loop while StillExecuting(). Throws RunEnded after Shutdown().
  void Wait();

  // The whole header text: a status line, then one "Name: value" line per header.
  // Empty when no response arrived.
  QString GetHeader() const;
  QString GetHeader(const QString& name) const;
  int StatusCode() const;

  // The next piece of the body, at most maxBytes; empty at its end (or after a failure).
  // Waits on the event loop for data; throws RunEnded after Shutdown().
  QByteArray GetChunk(int maxBytes);

  // Fetches a whole body of at most maxBytes. Throws InetError with a readable
  // reason on any failure, RunEnded after Shutdown().
  QByteArray OpenURL(const QString& url, qint64 maxBytes);

  // Why the answer of the last request is unusable: a failed transfer or a status
  // other than 2xx. Empty when the answer is usable; valid once the wait has ended.
  QString AnswerFailure() const;

  // Why the last request did not deliver a complete 2xx answer; empty when it did.
  // Meaningful once the request has finished (for a GET: after GetChunk returned empty).
  QString FailureReason() const;

  // Ends the run for this control: aborts the request, and every later wait throws RunEnded.
  void Shutdown();
  bool IsShutdown() const { return m_shutdown; }

  // Inactivity limit of a request; a request that receives nothing for this long fails.
  void SetTimeoutMs(int ms) { m_timeoutMs = ms; }
  int TimeoutMs() const { return m_timeoutMs; }

signals:
  void StateChanged(int state);

private:
  enum class Body { None, Length, Chunked, UntilClose };

  void StartRequest(const QUrl& url);
  void SendRequest();
  void OnReadyRead();
  void OnDisconnected();
  void OnSocketError();
  bool ParseHead();
  void StartBody();
  bool NextChunkSize();
  void Complete();
  void Fail(const QString& reason);
  void DropSocket();
  void ThrowIfShutdown() const;
  bool TransferFailed() const { return !m_failure.isEmpty(); }

  QSslSocket* m_socket = nullptr;
  QString m_socketKey;              // scheme://host:port the socket is connected to
  bool m_reusable = false;          // the last answer left the connection usable
  int m_signalDepth = 0;            // inside one of the socket's signals: delete it later
  QTimer* m_idle;

  QUrl m_url;
  QByteArray m_operation;
  bool m_viaHttpProxy = false;
  int m_redirects = 0;
  bool m_headersIn = false;
  bool m_finished = false;
  bool m_shutdown = false;
  bool m_closed = false;            // the server closed the connection
  bool m_onReusedSocket = false;    // sent on a kept-alive connection the server may just have closed
  QString m_closeError;             // how the connection broke while body bytes were still buffered
  QString m_failure;                // why the transfer failed; empty when it did not

  QByteArray m_version;
  int m_status = 0;
  QByteArray m_reason;
  QList<QPair<QByteArray, QByteArray>> m_headers;
  Body m_body = Body::None;
  qint64 m_declaredLength = -1;
  qint64 m_remaining = 0;           // of the body (Length) or of the current chunk (Chunked)
  bool m_chunkNeedsCrlf = false;
  bool m_inTrailer = false;         // after the last chunk, before the blank line
  qint64 m_received = 0;
  int m_timeoutMs = DefaultTimeoutMs;
};
