#pragma once
// What most tests share: a program folder of their own, a record of the message
// boxes shown (answered at once), and a window started against a test server.
#include "TestServer.h"
#include "platform/Runtime.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>
#include <string>

class frmUpdate;
class QWidget;

inline QString Q(const std::string& text)
{
  return QString::fromStdString(text);
}

// A message box as the tests compare it.
struct ShownBox {
  QString text;
  QString title;
  MsgBoxStyle style;
};

// Installs a message-box hook for its lifetime; every box is recorded and answered
// with OK (or with answer for Yes/No boxes).
class MessageLog {
public:
  MessageLog();
  ~MessageLog();
  QList<ShownBox> shown;
  MsgBoxResult answer = MsgBoxResult::No;
};

// A fresh program folder, made the updater's own for the test's lifetime.
class ProgramFolder {
public:
  ProgramFolder();
  ~ProgramFolder();
  QString Path() const { return m_dir.path(); }
  // name may hold "\" or "/" between folders.
  void Write(const QString& name, const QByteArray& data) const;
  QByteArray Read(const QString& name) const;
  // Every file below the folder but the updater's log and lock, relative, with "/" between folders; sorted.
  QStringList Files() const;

private:
  QTemporaryDir m_dir;
};

// A list document with the given version, notes, files (name, version) and main program.
QByteArray UpdateList(const QString& version, const QStringList& notes,
                      const QList<QPair<QString, QString>>& files, const QString& runApp);

// Files and data the tests make and compare.
// Writes data to path, making its folders; true when all of it was written.
bool WriteFile(const QString& path, const QByteArray& data);
// The whole file at path; "(unreadable)" when it cannot be read, so it never equals real data.
QByteArray ReadFile(const QString& path);
// size bytes of a pattern that differs with seed.
QByteArray Bytes(qsizetype size, int seed);
// Runs the real minisign in dir, never on a terminal; true when it exits with 0.
bool RunMinisign(const QString& dir, const QStringList& arguments);

// Waits (bounded) until the window's handler is done: the finish button is enabled again,
// or the window unloaded.
bool Ended(const frmUpdate& window);

// The window's widget (the Qt platform's), to find its widgets by object name.
QWidget* WindowWidget();

// Creates the window with the server address set and raises its load event.
std::unique_ptr<frmUpdate> LoadWindow(const QString& updateUrl);

// One run of the updater: its program folder, the server it talks to, the boxes it shows.
struct UpdaterRun {
  MessageLog log;
  ProgramFolder folder;
  TestServer server;
  std::unique_ptr<frmUpdate> Start() const;
};
