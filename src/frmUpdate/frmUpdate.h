#pragma once
// The updater's only window: its controls, the variables it keeps for the whole
// run, and its event handlers from start-up to hand-over.
#include "platform/Inet.h"
#include "platform/Installer.h"
#include "platform/XmlDoc.h"

#include <QElapsedTimer>
#include <QStringList>
#include <QWidget>

#include <memory>
#include <optional>
#include <string>
#include <vector>

class QCloseEvent;
class QLabel;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QTimer;
class QTreeWidget;
class TextBox;

class frmUpdate : public QWidget {
  Q_OBJECT
public:
  explicit frmUpdate(QWidget* parent = nullptr);
  ~frmUpdate() override;

  // The load event: prepares the run and shows the window. The run may already
  // have ended when it returns (an unusable server address).
  void Form_Load();

  // Switches the buttons and the status text to one of the interface states (0, 1, 2, 6).
  void SetUiState(int state);

  // Ends the run: stops the timers and the transfer, hides the window. Waits that
  // are in progress unwind; nothing touches the window afterwards.
  void Unload();
  bool IsUnloaded() const { return m_unloaded; }

  void SetStatusText(const QString& text);
  QString StatusText() const;

  // Public window variables.
  QString strCurrentFileName;
  qint64 lngCurrentFileSize = 0;
  // How long a running main program gets to end by itself before it is killed.
  int lngEndGraceMs = 5000;

  // Controls.
  QLabel* picCompany;
  TextBox* txtdata;
  QTreeWidget* lvUpdateList;
  QProgressBar* pbUpdate;
  QPushButton* cmdUpdate;
  QPushButton* cmdFinish;
  QStatusBar* sbUpdateInfo;
  QTimer* tmrGetUpdateList;
  QTimer* Timer1;
  std::unique_ptr<Inet> intClient;

  // Accessors for the private window variables that the hand-over and tests read.
  QString RunApp() const { return strRunApp; }
  QString Version() const { return strVersion; }
  QString UpdateUrl() const { return strUpdateUrl; }

signals:
  void Unloaded();

protected:
  void closeEvent(QCloseEvent* event) override;

private:
  // Layout and art (frmUpdate.cpp, frmUpdateArt.cpp).
  void CreateControls();
  void CreateStatusBar();
  void ShowClock();
  static QPixmap BannerImage();
  static QIcon WindowIcon();
  bool TakeRunLock();
  bool RecoverEarlierRun();

  // Runs a handler; a run that ended inside it, or an unreadable list, ends it quietly.
  template <class Handler> void Handle(Handler&& handler);
  // One pass of event processing inside a handler; throws RunEnded after unloading.
  void PumpEvents();
  // The same, at most every 10 ms: for loops that run per piece or per file.
  void PumpEventsPaced();

  // Update check (frmUpdateCheck.cpp).
  void tmrGetUpdateList_Timer();
  void Timer1_Timer();
  void intClient_StateChanged(int state);
  QString ListCopyPath() const;
  QString StatePath() const;
  bool CheckListSignature(const std::string& list);
  bool RecordAcceptedList();
  void ListNotLoaded(const std::string& reason);
  void RefuseList(const QString& reason);
  bool PinsEveryFile() const;

  // File list (frmUpdateList.cpp).
  void BuildUpdateList();
  bool ProbeFile(int index, const QString& name);
  void StopForBadName(const QString& name);
  bool CheckListNames(const XmlNode& files);

  // Download, install and hand-over (frmUpdateDownload.cpp).
  void cmdUpdate_Click();
  void SaveDownload(int index);
  void SetProgress(int percent);
  bool InstallFiles();
  std::vector<std::string> FilesToDownload();
  void cmdFinish_Click();
  void RemoveTemporaryFiles();
  void EndFailedUpdate(const QString& message);
  void StopUpdate();
  bool MainProgramStopped();
  QString RowText(int index, int column) const;
  void SetRowText(int index, int column, const QString& text);

  // What a row keeps beside its texts.
  static constexpr int ProbedSizeRole = Qt::UserRole;       // column 4: the HEAD's size, -1 when none
  static constexpr int ListedSizeRole = Qt::UserRole;       // column 1: the list's Size, -1 when none
  static constexpr int ListedHashRole = Qt::UserRole + 1;   // column 1: the list's Sha256, empty when none
  static constexpr int UnchangedRole = Qt::UserRole;        // column 0: already up to date, not downloaded
  bool IsUnchanged(int index) const;

  // Private window variables.
  XmlDocumentPtr xmlDoc;
  XmlNode xmlNode;
  QString strUpdateUrl;
  QString strRunApp;
  QString strUpdList;
  QString strNewUpdList;
  QString strVersion;
  QString strPublicKey;           // empty: the list is not signed
  std::optional<qint64> m_pendingListTime;   // the checked list's signature time, not yet recorded

  QLabel* m_statusPanel;
  QLabel* m_datePanel;
  QLabel* m_timePanel;
  QTimer* m_clock;
  QElapsedTimer m_sinceEvents;
  int m_progress = 0;             // shown by the bar at the next event pass
  bool m_unloaded = false;
  std::unique_ptr<Installer> m_installer;   // this run's download and install
  std::unique_ptr<RunLock> m_runLock;       // held from before the recovery to the end
};
