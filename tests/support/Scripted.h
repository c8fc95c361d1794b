#pragma once
// The window's controls as plain data, for tests to read and press: no widgets. Timers tick
// on the real event loop, so waits and ticks run as they do in the product.
#include "platform/Controls.h"

#include <map>
#include <string>
#include <vector>

class ScriptedButton : public Button {
public:
  ScriptedButton(const Window& window, std::string caption) : m_window(window), caption(std::move(caption)) {}
  void SetCaption(const std::string& text) override { caption = text; }
  std::string Caption() const override { return caption; }
  void SetVisible(bool value) override { visible = value; }
  bool Visible() const override { return visible; }
  void SetEnabled(bool value) override { enabled = value; }
  bool Enabled() const override { return enabled; }
  void OnClick(std::function<void()> handler) override { m_handler = std::move(handler); }
  void Click() override;

private:
  const Window& m_window;
  std::function<void()> m_handler;

public:
  std::string caption;
  bool visible = true;
  bool enabled = true;
};

class ScriptedWindow : public Window {
public:
  Button* AddButton(const std::string& name, const std::string& caption, TwipsRect where) override;
  Timer* AddTimer(const std::string& name, int intervalMs) override;
  ProgressBar* AddProgressBar(const std::string& name, TwipsRect where, const std::string& label) override;
  StatusBar* AddStatusBar(const std::string& name, TwipsRect where, const std::string& text) override;
  TextBox* AddTextBox(const std::string& name, TwipsRect where, const std::string& label) override;
  ListView* AddListView(const std::string& name, TwipsRect where, const std::vector<ListColumn>& columns,
                        const std::string& label) override;
  void AddBanner(const std::string&, TwipsRect, const std::string&) override {}
  void SetTitle(const std::string& text) override { title = text; }
  void SetClientSize(int, int) override {}
  void ShowCentred() override { visible = true; }
  void Hide() override { visible = false; }
  bool Visible() const override { return visible; }
  void OnClose(std::function<void()> handler) override { m_onClose = std::move(handler); }
  ~ScriptedWindow() override;

  // Closes the window from its title bar, as a user would.
  void Close();
  // The rows the list view shows, from index 0.
  std::vector<std::vector<std::string>> rows;
  std::string title;
  bool visible = false;

private:
  std::function<void()> m_onClose;
  template <class Control>
  Control* Keep(std::unique_ptr<Control> control)
  {
    Control* kept = control.get();
    m_controls.emplace_back(std::move(control));
    return kept;
  }
  std::vector<std::shared_ptr<void>> m_controls;
};
