#pragma once
// The HTTP transfer control: one request at a time, started without waiting,
// waited for on the event loop, its body read back in pieces.
//
// libcurl does the HTTP work (framing, redirects, proxies and their authentication,
// TLS, kept-alive connections); its multi interface is driven from the window's own
// event loop through socket notifiers and a timer, so nothing ever blocks the window.
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <stdexcept>

class QSocketNotifier;
class QTimer;
typedef void CURL;
typedef void CURLM;
struct curl_slist;

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
  // Most body bytes held in memory before the server is made to wait for the reader.
  static constexpr qsizetype BufferLimit = 512 * 1024;

  explicit Inet(QObject* parent = nullptr);
  ~Inet() override;

  QString URL = QStringLiteral("http://");

  // Starts a "HEAD" or "GET" for an already encoded address and returns at once.
  // A GET stops executing as soon as the final response's headers are in; its body
  // is then read with GetChunk.
  void Execute(const QString& url, const QString& operation);
  bool StillExecuting() const;

  // Blocks on the event loop while StillExecuting(). Throws RunEnded after Shutdown().
  void Wait();

  // The final response's header text: its status line, then its header lines, each
  // ending in "\r\n". Empty when no response arrived.
  QString GetHeader() const;
  // The first header of that name (any letter case); empty when absent.
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

  // Body bytes handed out by GetChunk for the current request.
  qint64 BytesReceived() const { return m_received; }

  // Drops the current request at once and closes its connection: the rest of the body is
  // never read. Nothing is signalled; a finished request is left as it is.
  void Cancel();

  // Ends the run for this control: aborts the request, and every later wait throws RunEnded.
  void Shutdown();
  bool IsShutdown() const { return m_shutdown; }

  // Inactivity limit of a request; a request that receives nothing for this long fails.
  void SetTimeoutMs(int ms) { m_timeoutMs = ms; }
  int TimeoutMs() const { return m_timeoutMs; }

  // Certificates are checked against the system's store; tests name a file of their own.
  void SetCaFile(const QString& path) { m_caFile = path; }

signals:
  void StateChanged(int state);

private:
  static size_t OnHeaderLine(char* data, size_t size, size_t count, void* self);
  static size_t OnBody(char* data, size_t size, size_t count, void* self);
  static int OnRequestSent(void* self, char*, char*, int, int);
  static int OnSocket(CURL*, int fd, int what, void* self, void*);
  static int OnTimer(CURLM*, long timeoutMs, void* self);

  void ConfigureRequest(const QByteArray& url, bool head);
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
  QByteArray m_piece;               // reused for every piece handed out
  qint64 m_received = 0;
  int m_timeoutMs = DefaultTimeoutMs;
  QString m_caFile;
  curl_slist* m_extraHeaders = nullptr;
};
