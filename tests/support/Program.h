#pragma once
// What the window's tests add, in standard C++: a program folder of their own, a record of
// the message boxes shown (answered at once), waits with a bound, and a window started
// against a test server.
#include "Files.h"
#include "Server.h"
#include "platform/Runtime.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class frmUpdate;

// A message box as the tests compare it.
struct ShownBox {
  std::string text;
  std::string title;
  MsgBoxStyle style;
};

// Installs a message-box hook for its lifetime; every box is recorded and answered
// with OK (or with answer for Yes/No boxes).
class MessageLog {
public:
  MessageLog();
  ~MessageLog();
  std::vector<ShownBox> shown;
  MsgBoxResult answer = MsgBoxResult::No;
  Strings Texts() const;
  // Runs once inside the next box, before it is answered.
  std::function<void()> onNextBox;
};

// A fresh program folder, made the updater's own for the test's lifetime.
class ProgramFolder : public TempDir {
public:
  ProgramFolder();
  ~ProgramFolder();
  void Write(const std::string& name, const std::string& data) const;
  std::string Read(const std::string& name) const;
  bool Exists(const std::string& name) const;
  // Every file below the folder but the updater's log and lock, relative, with "/" between folders; sorted.
  Strings Files() const;
};

// A list document with the given version, notes, files (name, version) and main program; the
// texts go in as they are, unescaped.
std::string UpdateList(const std::string& version, const Strings& notes,
                       const std::vector<std::pair<std::string, std::string>>& files, const std::string& runApp);

// Runs the event loop until done() holds, for at most ms milliseconds; false on time-out.
bool WaitUntil(const std::function<bool()>& done, int ms = 5000);
// Runs action on the event loop and waits (bounded) until it has run: how a server's thread acts
// on the window while the window waits for that server's answer.
void RunOnEventLoop(const std::function<void()>& action);
// Waits until the window's handler is done: the finish button is enabled again, or the window unloaded.
bool Ended(const frmUpdate& window);

// The window's list view as it shows, its rows from the first; and a close from its title bar,
// as a user's. Each set of controls gives its own (Scripted.cpp, RealWindow.cpp).
std::vector<Strings> ShownRows();
void CloseFromTitleBar();

// Creates the window with the server address set and raises its load event.
std::unique_ptr<frmUpdate> LoadWindow(const std::string& updateUrl);

// One run of the updater: its program folder, the server it talks to, the boxes it shows.
struct UpdaterRun {
  MessageLog log;
  ProgramFolder folder;
  Server server;
  std::unique_ptr<frmUpdate> Start() const;
};

// Status texts the tests wait for.
inline const std::string Checking = "正在获取更新列表，请稍候...";
inline const std::string Offered = "发现更新文件 ，点【更新】开始更新...";
inline const std::string Done = "更新完成！";
inline const std::string Stopped = "更新终止，请按[退出]";
