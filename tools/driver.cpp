// Runs one whole update with the real window and no person at the keyboard:
// loads the window, waits until the update is offered, clicks "更新", waits
// until it is done, and prints how long each phase took. The benchmark and the
// demo on machines without a display both use it.
//
//   mervo_driver <program-folder> [base-url] [--timeout seconds]
//                [--pictures folder] [--report] [--hand-over]
//
// base-url defaults to MERVO_UPDATE_URL from the environment. Every message box
// counts as a failure: its text goes to stderr and the run ends with exit code 1.
// --pictures saves the window as offer.png and finished.png; --report prints the
// versions, the notes and every file; --hand-over then presses "完成", which starts
// the main program. Exit codes: 0 done, 1 failed, 2 bad arguments.
#include "frmUpdate/frmUpdate.h"
#include "modules/Module1.h"
#include "modules/modXml.h"
#include "platform/FileSys.h"
#include "platform/Runtime.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <memory>
#include <sys/resource.h>

namespace {
const QString OfferedText = QStringLiteral("发现更新文件 ，点【更新】开始更新...");
const QString DoneText = QStringLiteral("更新完成！");

// Status texts after which the run cannot reach the next phase.
bool IsDeadEnd(const QString& status)
{
  static const QString prefixes[] = {
      QStringLiteral("服务器丢失"),
      QStringLiteral("没有可用更新"),
      QStringLiteral("更新列表中的文件名无效"),
      QStringLiteral("更新终止"),
  };
  for (const QString& prefix : prefixes)
    if (status.startsWith(prefix))
      return true;
  return false;
}

double Seconds(qint64 ns)
{
  return static_cast<double>(ns) / 1e9;
}

// Peak resident set of this process in KiB, as the kernel counts it.
long PeakRssKiB()
{
  QFile status(QStringLiteral("/proc/self/status"));
  if (status.open(QIODevice::ReadOnly)) {
    for (const QByteArray& line : status.readAll().split('\n'))
      if (line.startsWith("VmHWM:"))
        return line.mid(6).trimmed().split(' ').value(0).toLong();
  }
  return -1;
}

void Fail(const QString& why)
{
  std::fprintf(stderr, "driver: FAILED: %s\n", qPrintable(why));
  std::fflush(stderr);
}

struct Options {
  int timeoutSeconds = 900;
  QString pictures;     // where offer.png and finished.png go; empty: none
  bool report = false;
  bool handOver = false;
};

QString InstalledVersion(const QString& folder)
{
  SetIniFile((folder + QStringLiteral("/setup.ini")).toStdString());
  return QString::fromStdString(ReadIni("Mervo", "版本"));
}

class Run : public QObject {
public:
  Run(QString folder, Options options)
      : m_folder(std::move(folder)), m_timeoutSeconds(options.timeoutSeconds), m_options(std::move(options))
  {
  }

  void Start()
  {
    SetMsgBoxHook([this](const MsgBoxRequest& request) {
      QString text = QString::fromStdString(request.text);
      text.replace(QStringLiteral("\r\n"), QStringLiteral(" | "));
      Fail(QStringLiteral("message box \"%1\": %2").arg(QString::fromStdString(request.title), text));
      Finish(1);
      return request.style == MsgBoxStyle::YesNoQuestion ? MsgBoxResult::No : MsgBoxResult::Ok;
    });

    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
      Fail(QStringLiteral("no result after %1 s; status \"%2\"").arg(m_timeoutSeconds).arg(Status()));
      Finish(1);
    });
    m_deadline.start(m_timeoutSeconds * 1000);

    // The window says nothing when its status changes, so it is looked at every few
    // milliseconds; the look is a string comparison and costs next to nothing.
    m_poll.setInterval(2);
    m_poll.setTimerType(Qt::PreciseTimer);
    connect(&m_poll, &QTimer::timeout, this, [this] { Poll(); });

    m_clock.start();
    m_window = std::make_unique<frmUpdate>();
    m_window->Unloaded = [this] {
      if (!m_finished) {
        Fail(QStringLiteral("the window unloaded itself; status \"%1\"").arg(Status()));
        Finish(1);
      }
    };
    m_window->Form_Load();
    if (m_finished)
      return;
    m_poll.start();
  }

  int ExitCode() const { return m_exitCode; }

  void Report() const
  {
    if (m_offeredNs < 0)
      return;
    std::printf("phase check_s=%.3f (load to update offered: list, HEAD per file)\n", Seconds(m_offeredNs));
    if (m_doneNs >= 0) {
      std::printf("phase update_s=%.3f (click to done: downloads and install)\n", Seconds(m_doneNs - m_clickNs));
      std::printf("phase total_s=%.3f (load to done)\n", Seconds(m_doneNs));
    }
  }

private:
  QString Status() const { return m_window ? QString::fromStdString(m_window->StatusText()) : QString(); }

  void Poll()
  {
    if (m_finished)
      return;
    const QString status = Status();
    if (m_offeredNs < 0) {
      if (status == OfferedText) {
        m_offeredNs = m_clock.nsecsElapsed();
        ShowOffer();
        // Nothing to watch until the click; the download itself runs unobserved.
        m_poll.stop();
        QTimer::singleShot(0, this, [this] { Click(); });
      } else if (IsDeadEnd(status)) {
        Fail(QStringLiteral("no update offered; status \"%1\"").arg(status));
        Finish(1);
      }
      return;
    }
    if (status == DoneText) {
      m_doneNs = m_clock.nsecsElapsed();
      m_poll.stop();
      ShowDone();
      Finish(0);
    } else if (IsDeadEnd(status)) {
      Fail(QStringLiteral("update did not complete; status \"%1\"").arg(status));
      Finish(1);
    }
  }

  void Picture(const QString& name) const
  {
    if (m_options.pictures.isEmpty())
      return;
    const QString path = QDir(m_options.pictures).filePath(name);
    // The Qt platform's window, found by its object name.
    QWidget* window = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets())
      if (widget->objectName() == QLatin1String("frmUpdate"))
        window = widget;
    if (window && window->grab().save(path))
      std::printf("picture %s\n", qPrintable(path));
  }

  void ShowOffer() const
  {
    Picture(QStringLiteral("offer.png"));
    if (!m_options.report)
      return;
    XmlDocumentPtr list;
    std::string unreadable;
    if (LoadXml((m_folder + QStringLiteral("/NewUpdList.xml")).toStdString(), list, &unreadable))
      std::printf("installed version %s, offered %s\n", m_window->Version().c_str(),
                  list->SelectSingleNode("Version").Text().c_str());
    std::printf("release notes:%s\n", qPrintable(QString::fromStdString(m_window->txtdata->Text()).replace(QStringLiteral("\r\n\r\n"),
                                                                                 QStringLiteral("\n  "))));
  }

  void ShowDone()
  {
    Picture(QStringLiteral("finished.png"));
    if (m_options.report) {
      for (int i = 1; i <= m_window->lvUpdateList.Count(); ++i) {
        const FileRow& row = m_window->lvUpdateList.Row(i);
        std::printf("file %-24s %-6s %8s  %s\n", row.text[0].c_str(), row.text[1].c_str(), row.text[2].c_str(),
                    row.text[3].c_str());
      }
      std::printf("outcome %s; installed version now %s\n", qPrintable(Status()),
                  qPrintable(InstalledVersion(m_folder)));
    }
    if (m_options.handOver) {
      // The finish button starts the main program and unloads the window.
      m_finished = true;
      std::printf("pressing %s: starting %s\n", m_window->cmdFinish->Caption().c_str(),
                  NativePath(m_window->RunApp()).c_str());
      m_window->cmdFinish->Click();
      m_finished = false;
    }
  }

  void Click()
  {
    if (m_finished)
      return;
    Button* button = m_window->cmdUpdate;
    if (!button->Visible() || !button->Enabled()) {
      Fail(QStringLiteral("the update button cannot be clicked"));
      Finish(1);
      return;
    }
    m_clickNs = m_clock.nsecsElapsed();
    // The click handler may run the whole download before it returns, or hand it
    // to the event loop; the poll below covers both.
    button->Click();
    if (m_finished)
      return;
    Poll();
    if (!m_finished)
      m_poll.start();
  }

  void Finish(int code)
  {
    if (m_finished)
      return;
    m_finished = true;
    m_exitCode = code;
    m_poll.stop();
    m_deadline.stop();
    // Leaving from inside a handler: the window unwinds at its next wait, then the loop ends.
    QTimer::singleShot(0, this, [this] {
      if (m_window && !m_window->IsUnloaded())
        m_window->Unload();
      QCoreApplication::exit(m_exitCode);
    });
  }

  QString m_folder;
  int m_timeoutSeconds;
  Options m_options;
  std::unique_ptr<frmUpdate> m_window;
  QElapsedTimer m_clock;
  QTimer m_poll;
  QTimer m_deadline;
  bool m_finished = false;
  int m_exitCode = 1;
  qint64 m_offeredNs = -1;
  qint64 m_clickNs = -1;
  qint64 m_doneNs = -1;
};

void CountFiles(const QString& folder, int* files, qint64* bytes)
{
  *files = 0;
  *bytes = 0;
  QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) {
    it.next();
    ++*files;
    *bytes += it.fileInfo().size();
  }
}
}

int main(int argc, char* argv[])
{
  QElapsedTimer sinceStart;
  sinceStart.start();
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");

  QString folder;
  QString url;
  Options options;
  for (int i = 1; i < argc; ++i) {
    const QString arg = QString::fromLocal8Bit(argv[i]);
    if (arg == QLatin1String("--timeout") && i + 1 < argc) {
      options.timeoutSeconds = QString::fromLocal8Bit(argv[++i]).toInt();
    } else if (arg == QLatin1String("--pictures") && i + 1 < argc) {
      options.pictures = QString::fromLocal8Bit(argv[++i]);
    } else if (arg == QLatin1String("--report")) {
      options.report = true;
    } else if (arg == QLatin1String("--hand-over")) {
      options.handOver = true;
    } else if (folder.isEmpty()) {
      folder = arg;
    } else if (url.isEmpty()) {
      url = arg;
    } else {
      folder.clear();
      break;
    }
  }
  if (folder.isEmpty() || options.timeoutSeconds <= 0) {
    std::fprintf(stderr, "usage: %s <program-folder> [base-url] [--timeout seconds] [--pictures folder]"
                         " [--report] [--hand-over]\n", argv[0]);
    return 2;
  }
  if (!url.isEmpty())
    qputenv("MERVO_UPDATE_URL", url.toUtf8());
  if (qEnvironmentVariable("MERVO_UPDATE_URL").isEmpty()) {
    std::fprintf(stderr, "driver: no base URL (argument or MERVO_UPDATE_URL)\n");
    return 2;
  }
  const QFileInfo folderInfo(folder);
  if (!folderInfo.isDir()) {
    std::fprintf(stderr, "driver: %s is not a folder\n", qPrintable(folder));
    return 2;
  }

  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  SetAppPath(folderInfo.absoluteFilePath().toStdString());

  Run run(folderInfo.absoluteFilePath(), options);
  const double startupSeconds = Seconds(sinceStart.nsecsElapsed());
  QTimer::singleShot(0, &run, [&run] { run.Start(); });
  const int loopCode = QApplication::exec();
  const int code = loopCode == 0 ? run.ExitCode() : 1;

  std::printf("phase startup_s=%.3f (process start to event loop)\n", startupSeconds);
  run.Report();
  int files = 0;
  qint64 bytes = 0;
  CountFiles(folderInfo.absoluteFilePath(), &files, &bytes);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("folder files=%d bytes=%lld\n", files, static_cast<long long>(bytes));
  std::printf("process user_s=%.3f sys_s=%.3f peak_rss_kib=%ld\n",
              usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6,
              usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6, PeakRssKiB());
  std::printf("result %s\n", code == 0 ? "ok" : "FAILED");
  std::fflush(stdout);
  return code;
}
