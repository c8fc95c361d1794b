// The window's controls as plain data, for tests to read and press: no widgets. Timers tick
// on the real event loop, so waits and ticks run as they do in the product. Linking this file
// installs them as the factory of every window.
#include "Program.h"
#include "platform/Controls.h"
#include "platform/Events.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {
// A thread that posts each tick to the event loop; one tick waits there at most, as with a
// platform timer whose ticks do not pile up while a handler runs.
class ScriptedTimer : public Timer {
public:
  explicit ScriptedTimer(int intervalMs)
      : m_state(std::make_shared<State>()), m_thread([state = m_state, intervalMs] { Run(state, intervalMs); })
  {
  }
  ~ScriptedTimer() override
  {
    {
      std::lock_guard<std::mutex> lock(m_state->mutex);
      m_state->quit = true;
    }
    m_state->changed.notify_all();
    m_thread.join();
  }
  void Start() override { Set(true); }
  void Stop() override { Set(false); }
  bool Active() const override { return m_state->active; }
  void OnTick(std::function<void()> handler) override { m_state->handler = std::move(handler); }

private:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    bool active = false;  // written on the event loop's thread only
    bool quit = false;
    bool queued = false;
    int started = 0;  // counts starts, so that a stop and start restarts the interval
    std::function<void()> handler;
  };

  void Set(bool active)
  {
    {
      std::lock_guard<std::mutex> lock(m_state->mutex);
      m_state->active = active;
      ++m_state->started;
    }
    m_state->changed.notify_all();
  }

  static void Run(const std::shared_ptr<State>& state, int intervalMs)
  {
    std::unique_lock<std::mutex> lock(state->mutex);
    while (!state->quit) {
      if (!state->active) {
        state->changed.wait(lock);
        continue;
      }
      const int started = state->started;
      const bool interrupted = state->changed.wait_for(lock, std::chrono::milliseconds(intervalMs),
                                                       [&] { return state->quit || state->started != started; });
      if (interrupted || state->queued)
        continue;
      state->queued = true;
      PostToEventLoop([weak = std::weak_ptr<State>(state)] { Tick(weak); });
    }
  }

  static void Tick(const std::weak_ptr<State>& weak)
  {
    const std::shared_ptr<State> state = weak.lock();
    if (!state)
      return;
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      state->queued = false;
    }
    if (state->active && state->handler)
      state->handler();
  }

  std::shared_ptr<State> m_state;
  std::thread m_thread;
};

class ScriptedProgressBar : public ProgressBar {
public:
  void SetVisible(bool value) override { m_visible = value; }
  bool Visible() const override { return m_visible; }
  void SetValue(int percent) override { m_value = percent; }
  int Value() const override { return m_value; }

private:
  bool m_visible = true;
  int m_value = 0;
};

class ScriptedText : public StatusBar, public TextBox {
public:
  explicit ScriptedText(std::string text) : m_text(std::move(text)) {}
  void SetText(const std::string& text) override { m_text = text; }
  std::string Text() const override { return m_text; }

private:
  std::string m_text;
};

class ScriptedList : public ListView {
public:
  explicit ScriptedList(std::vector<Strings>& rows) : m_rows(rows) {}
  void SetRowCount(int count) override { m_rows.resize(std::size_t(count)); }
  void ShowRow(int index, const Strings& texts) override { m_rows.at(std::size_t(index - 1)) = texts; }

private:
  std::vector<Strings>& m_rows;
};

class ScriptedButton : public Button {
public:
  ScriptedButton(const Window& window, std::string caption) : m_window(window), m_caption(std::move(caption)) {}
  void SetCaption(const std::string& text) override { m_caption = text; }
  std::string Caption() const override { return m_caption; }
  void SetVisible(bool value) override { m_visible = value; }
  bool Visible() const override { return m_visible; }
  void SetEnabled(bool value) override { m_enabled = value; }
  bool Enabled() const override { return m_enabled; }
  void OnClick(std::function<void()> handler) override { m_handler = std::move(handler); }
  void Click() override
  {
    if (m_window.Visible() && m_visible && m_enabled && m_handler)
      m_handler();
  }

private:
  const Window& m_window;
  std::function<void()> m_handler;
  std::string m_caption;
  bool m_visible = true;
  bool m_enabled = true;
};

class ScriptedWindow : public Window {
public:
  Button* AddButton(const std::string&, const std::string& caption, TwipsRect) override
  {
    return Keep(std::make_unique<ScriptedButton>(*this, caption));
  }
  Timer* AddTimer(const std::string&, int intervalMs) override
  {
    return Keep(std::make_unique<ScriptedTimer>(intervalMs));
  }
  ProgressBar* AddProgressBar(const std::string&, TwipsRect, const std::string&) override
  {
    return Keep(std::make_unique<ScriptedProgressBar>());
  }
  StatusBar* AddStatusBar(const std::string&, TwipsRect, const std::string& text) override
  {
    return Keep(std::make_unique<ScriptedText>(text));
  }
  TextBox* AddTextBox(const std::string&, TwipsRect, const std::string&) override
  {
    return Keep(std::make_unique<ScriptedText>(std::string()));
  }
  ListView* AddListView(const std::string&, TwipsRect, const std::vector<ListColumn>&, const std::string&) override
  {
    return Keep(std::make_unique<ScriptedList>(rows));
  }
  void AddBanner(const std::string&, TwipsRect, const std::string&) override {}
  void SetTitle(const std::string&) override {}
  void SetClientSize(int, int) override {}
  void ShowCentred() override { m_visible = true; }
  void Hide() override { m_visible = false; }
  bool Visible() const override { return m_visible; }
  void OnClose(std::function<void()> handler) override { m_onClose = std::move(handler); }
  ~ScriptedWindow() override;

  // Closes the window from its title bar, as a user would.
  void Close()
  {
    if (!m_visible)
      return;
    if (m_onClose)
      m_onClose();
    m_visible = false;
  }
  // The rows the list view shows, from index 0.
  std::vector<Strings> rows;

private:
  template <class Control>
  Control* Keep(std::unique_ptr<Control> control)
  {
    Control* kept = control.get();
    m_controls.emplace_back(std::move(control));
    return kept;
  }
  std::function<void()> m_onClose;
  std::vector<std::shared_ptr<void>> m_controls;
  bool m_visible = false;
};

ScriptedWindow* g_last = nullptr;  // the window made last

ScriptedWindow::~ScriptedWindow()
{
  if (g_last == this)
    g_last = nullptr;
}

// Installed before main, for the program's lifetime.
const struct Installer {
  Installer()
  {
    SetWindowFactory([](const std::string&) {
      auto window = std::make_unique<ScriptedWindow>();
      g_last = window.get();
      return window;
    });
  }
} installed;
}  // namespace

std::vector<Strings> ShownRows()
{
  return g_last ? g_last->rows : std::vector<Strings>();
}

void CloseFromTitleBar()
{
  if (g_last)
    g_last->Close();
}
