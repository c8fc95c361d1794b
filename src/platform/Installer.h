#pragma once
// The window's side of the install engine (src/engine): the same operations in Qt's
// terms, with the program's own paths ("\" between folders).
#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <memory>

namespace engine {
class FileOps;
class HeldLock;
class InstallEngine;
}

class Installer {
public:
  // Installs into the program folder.
  Installer();
  ~Installer();

  // A file pinned by the list's Size and Sha256 that the server gave a validator for: its
  // ".tmp" is kept when the download is cut short, for the next run to continue.
  struct Keepable {
    QString name;
    qint64 size = 0;
    QByteArray sha256;  // the 32 bytes
    QString validator;  // the strong ETag, else Last-Modified
  };
  struct KeptPart : Keepable {
    qint64 received = 0;  // bytes of its ".tmp" on the disk
  };

  // Records, before any is written, the ".tmp" files of the named files, of which the keepable
  // ones are kept when the download is cut short; removes what an earlier run kept that is
  // not of the same size and hash now. "" or the reason.
  QString BeginDownload(const QStringList& names, const QList<Keepable>& keepable = {});
  // What an earlier run kept, with a ".tmp" on the disk.
  QList<KeptPart> KeptParts();
  // The named file's ".tmp" proved wrong: it is removed and no longer kept. "" or the reason.
  QString DropPart(const QString& name);
  // The named file's ".tmp" is complete: only this very file will be installed. "" or the reason.
  QString Downloaded(const QString& name);
  // Removes the ".tmp" files of an abandoned download and its record; with keepParts the
  // keepable files' ".tmp" stay, recorded for the next run.
  void AbandonDownload(bool keepParts = true);

  struct Item {
    QString name;
    bool executable = false;
  };
  // Puts every item's ".tmp" in its place, or none of them. On failure failedName and
  // reason say what went wrong (failedName is "" for a step of the whole set).
  bool Install(const QList<Item>& items, QString* failedName, QString* reason);

private:
  std::unique_ptr<engine::FileOps> m_ops;
  std::unique_ptr<engine::InstallEngine> m_engine;
};

// One updater at a time in the program folder: a lock on MervoUpdate.lock, held while this
// object lives and dropped by the system when the process ends. The file stays.
class RunLock {
public:
  RunLock();
  ~RunLock();
  bool Held() const { return m_held != nullptr; }
  // Another updater holds it.
  bool Busy() const { return m_busy; }
  // Why it could not be taken (the system's reason).
  QString Reason() const { return m_reason; }

private:
  std::unique_ptr<engine::HeldLock> m_held;
  bool m_busy = false;
  QString m_reason;
};

// What the start-up found of an earlier run that did not end cleanly.
enum class Interrupted { Nothing, DownloadDiscarded, RolledBack, Completed, Damaged, Unfinished };

// Completes or undoes an update that a crash interrupted, from its record in the program
// folder. reason is set for Damaged and Unfinished.
Interrupted RecoverInterruptedUpdate(QString* reason);
