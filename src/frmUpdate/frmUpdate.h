#pragma once
// The updater's only window: its controls, the variables it keeps for the whole
// run, and its event handlers from start-up to hand-over.
#include "frmUpdate/FileTable.h"
#include "platform/Controls.h"
#include "platform/Inet.h"
#include "platform/Installer.h"
#include "platform/XmlDoc.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class OutputFile;

class frmUpdate {
public:
  frmUpdate();
  ~frmUpdate();
  frmUpdate(const frmUpdate&) = delete;
  frmUpdate& operator=(const frmUpdate&) = delete;

  // The load event: prepares the run and shows the window. The run may already
  // have ended when it returns (an unusable server address).
  void Form_Load();

  // Switches the buttons and the status text to one of the interface states (0, 1, 2, 6).
  void SetUiState(int state);

  // Ends the run: stops the timers and the transfer, hides the window. Waits that
  // are in progress unwind; nothing touches the window afterwards.
  void Unload();
  bool IsUnloaded() const { return m_unloaded; }
  // Raised once, when the window unloads.
  std::function<void()> Unloaded;

  void SetStatusText(const std::string& text) { sbUpdateInfo->SetText(text); }
  std::string StatusText() const { return sbUpdateInfo->Text(); }
  bool IsVisible() const { return m_window->Visible(); }

  // Public window variables.
  std::string strCurrentFileName;
  std::int64_t lngCurrentFileSize = 0;
  // How long a running main program gets to end by itself before it is killed.
  int lngEndGraceMs = 5000;

  // Controls; the file table is data, mirrored to a list view that is never shown.
  FileTable lvUpdateList;
  TextBox* txtdata;
  ProgressBar* pbUpdate;
  Button* cmdUpdate;
  Button* cmdFinish;
  StatusBar* sbUpdateInfo;
  Timer* tmrGetUpdateList;
  Timer* Timer1;
  std::unique_ptr<Inet> intClient;

  // Accessors for the private window variables that the hand-over and tests read.
  std::string RunApp() const { return strRunApp; }
  std::string Version() const { return strVersion; }

private:
  // Layout (frmUpdate.cpp).
  void CreateControls();
  bool TakeRunLock();
  void OfferAdministratorRestart(const std::string& failed);
  bool RecoverEarlierRun();

  // Runs a handler; a run that ended inside it, or an unreadable list, ends it quietly.
  template <class Handler>
  void Handle(Handler&& handler);
  // One pass of event processing inside a handler; throws RunEnded after unloading.
  void PumpEvents();
  // The same, at most every 10 ms: for loops that run per piece or per file.
  void PumpEventsPaced();

  // Update check (frmUpdateCheck.cpp).
  void tmrGetUpdateList_Timer();
  void Timer1_Timer();
  void intClient_StateChanged(int state);
  std::string ListCopyPath() const;
  std::string StatePath() const;
  bool CheckListSignature(const std::string& list);
  bool RecordAcceptedList();
  void ListNotLoaded(const std::string& reason);
  void RefuseList(const std::string& reason);
  bool PinsEveryFile() const;
  void AppendNotes();

  // File list (frmUpdateList.cpp).
  void BuildUpdateList();
  bool ProbeFile(int index, const std::string& name);
  void StopForBadName(const std::string& name);
  bool CheckListNames(const XmlNode& files);

  // Download, install and hand-over (frmUpdateDownload.cpp).
  void cmdUpdate_Click();
  void DownloadFiles();
  bool DownloadRow(int index);
  void FetchFile(int index, std::int64_t from, const std::string& validator);
  void SaveDownload(int index, std::int64_t from);
  std::int64_t ReceiveBody(int index, OutputFile& file, const std::string& path, std::int64_t total);
  std::vector<Installer::Keepable> KeepableFiles() const;
  const Installer::KeptPart* KeptPartOf(int index) const;
  bool KeptPartComplete(int index);
  void SetProgress(int percent);
  bool InstallFiles();
  std::vector<std::string> FilesToDownload();
  void cmdFinish_Click();
  void RemoveTemporaryFiles();
  void EndFailedUpdate(const std::string& message);
  void StopUpdate();
  bool MainProgramStopped();
  bool IsUnchanged(int index) const;
  std::string RowText(int index, int column) const { return lvUpdateList.RowText(index, column); }
  void SetRowText(int index, int column, const std::string& text) { lvUpdateList.SetRowText(index, column, text); }

  // Private window variables.
  XmlDocumentPtr xmlDoc;
  XmlNode xmlNode;
  std::string strUpdateUrl;
  std::string strRunApp;
  std::string strUpdList;
  std::string strNewUpdList;
  std::string strVersion;
  std::string strPublicKey;                       // empty: the list is not signed
  std::optional<std::int64_t> m_pendingListTime;  // the checked list's signature time, not yet recorded

  std::unique_ptr<Window> m_window;
  std::optional<std::chrono::steady_clock::time_point> m_lastEvents;
  int m_progress = 0;  // shown by the bar at the next event pass
  bool m_unloaded = false;
  std::unique_ptr<Installer> m_installer;  // this run's download and install
  std::vector<Installer::KeptPart> m_kept; // what an earlier run kept, as it recorded it
  std::unique_ptr<RunLock> m_runLock;      // held from before the recovery to the end
};
