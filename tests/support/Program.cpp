#include "Program.h"

#include "frmUpdate/frmUpdate.h"
#include "platform/Events.h"
#include "platform/FileSys.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <thread>

namespace fs = std::filesystem;

MessageLog::MessageLog()
{
  SetMsgBoxHook([this](const MsgBoxRequest& request) {
    shown.push_back({request.text, request.title, request.style});
    if (onNextBox) {
      auto run = std::move(onNextBox);
      onNextBox = nullptr;
      run();
    }
    return request.style == MsgBoxStyle::YesNoQuestion ? answer : MsgBoxResult::Ok;
  });
}

MessageLog::~MessageLog()
{
  SetMsgBoxHook(nullptr);
}

Strings MessageLog::Texts() const
{
  Strings texts;
  for (const ShownBox& box : shown)
    texts.push_back(box.text);
  return texts;
}

ProgramFolder::ProgramFolder()
{
  SetAppPath(Path());
}

ProgramFolder::~ProgramFolder()
{
  SetAppPath(std::string());
}

void ProgramFolder::Write(const std::string& name, const std::string& data) const
{
  WriteFile(File(name), data);
}

std::string ProgramFolder::Read(const std::string& name) const
{
  return ReadFile(File(name));
}

bool ProgramFolder::Exists(const std::string& name) const
{
  std::error_code ignored;
  return fs::exists(fs::symlink_status(fs::u8path(File(name)), ignored));
}

Strings ProgramFolder::Files() const
{
  Strings files;
  for (const auto& entry : fs::recursive_directory_iterator(Path())) {
    const std::string file = fs::relative(entry.path(), Path()).generic_u8string();
    if (!entry.is_directory() && file != "MervoUpdate.log" && file != "MervoUpdate.lock")
      files.push_back(file);
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::string UpdateList(const std::string& version, const Strings& notes,
                       const std::vector<std::pair<std::string, std::string>>& files, const std::string& runApp)
{
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<UpdateList>\n";
  xml += "  <Version>" + version + "</Version>\n  <Updata>\n";
  for (const std::string& note : notes)
    xml += "    <Note Info=\"" + note + "\"/>\n";
  xml += "  </Updata>\n  <Files>\n";
  for (const auto& [name, ver] : files)
    xml += "    <File Name=\"" + name + "\" Ver=\"" + ver + "\"/>\n";
  return xml + "  </Files>\n  <RunApp>" + runApp + "</RunApp>\n</UpdateList>\n";
}

// While a test waits, the event loop is woken every few milliseconds to look at the condition
// again, as a wait that the condition cannot signal must be.
bool WaitUntil(const std::function<bool()>& done, int ms)
{
  std::mutex mutex;
  std::condition_variable finished;
  bool stop = false;
  std::thread waker([&] {
    std::unique_lock<std::mutex> lock(mutex);
    while (!finished.wait_for(lock, std::chrono::milliseconds(10), [&] { return stop; }))
      PostToEventLoop([] {});
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  bool held = done();
  while (!held && std::chrono::steady_clock::now() < deadline) {
    WaitForEvents();
    held = done();
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    stop = true;
  }
  finished.notify_all();
  waker.join();
  return held;
}

void RunOnEventLoop(const std::function<void()>& action)
{
  auto state = std::make_shared<std::pair<std::mutex, std::condition_variable>>();
  auto done = std::make_shared<bool>(false);
  PostToEventLoop([=] {
    action();
    std::lock_guard<std::mutex> lock(state->first);
    *done = true;
    state->second.notify_all();
  });
  std::unique_lock<std::mutex> lock(state->first);
  state->second.wait_for(lock, std::chrono::seconds(10), [&] { return *done; });
}

bool Ended(const frmUpdate& window)
{
  return WaitUntil([&] { return window.cmdFinish->Enabled() || window.IsUnloaded(); }, 10000);
}

std::unique_ptr<frmUpdate> LoadWindow(const std::string& updateUrl)
{
  SetEnv("MERVO_UPDATE_URL", updateUrl.c_str());
  auto window = std::make_unique<frmUpdate>();
  window->Form_Load();
  return window;
}

std::unique_ptr<frmUpdate> UpdaterRun::Start() const
{
  return LoadWindow(server.BaseUrl());
}
