#pragma once
// The window's controls as the window class uses them, and no more. Positions are in twips
// (1/1440 inch); each platform scales them to its own units. A platform window owns its
// controls: the pointers it hands out live as long as the window.
#include <functional>
#include <memory>
#include <string>
#include <vector>


struct TwipsRect {
  int left = 0;
  int top = 0;
  int width = 0;
  int height = 0;
};

class Button {
public:
  virtual ~Button() = default;
  virtual void SetCaption(const std::string& caption) = 0;
  virtual std::string Caption() const = 0;
  virtual void SetVisible(bool visible) = 0;
  virtual bool Visible() const = 0;
  virtual void SetEnabled(bool enabled) = 0;
  virtual bool Enabled() const = 0;
  virtual void OnClick(std::function<void()> handler) = 0;
  // Presses the button as a user would: nothing happens while it is hidden or disabled.
  virtual void Click() = 0;
};

// Raises its tick once per interval while it is active.
class Timer {
public:
  virtual ~Timer() = default;
  virtual void Start() = 0;
  virtual void Stop() = 0;
  virtual bool Active() const = 0;
  virtual void OnTick(std::function<void()> handler) = 0;
};

class ProgressBar {
public:
  virtual ~ProgressBar() = default;
  virtual void SetVisible(bool visible) = 0;
  virtual bool Visible() const = 0;
  virtual void SetValue(int percent) = 0;  // 0 to 100
  virtual int Value() const = 0;
};

// The status text panel; the date and time panels beside it keep themselves up to date.
class StatusBar {
public:
  virtual ~StatusBar() = default;
  virtual void SetText(const std::string& text) = 0;
  virtual std::string Text() const = 0;
};

// A multi-line, read-only text box whose Text() gives back exactly what it was given,
// "\r\n" line breaks included.
class TextBox {
public:
  virtual ~TextBox() = default;
  virtual void SetText(const std::string& text) = 0;
  virtual std::string Text() const = 0;
};

struct ListColumn {
  std::string header;
  int widthTwips = 0;
  bool alignRight = false;
};

// A list view that only shows rows kept elsewhere; no step of the updater makes it visible.
class ListView {
public:
  virtual ~ListView() = default;
  // Keeps count rows, adding empty ones or dropping the last ones.
  virtual void SetRowCount(int count) = 0;
  // Shows texts in the row at index (from 1), one per column.
  virtual void ShowRow(int index, const std::vector<std::string>& texts) = 0;
};

// The window and the factory of its controls. The name of a control is its object name.
class Window {
public:
  virtual ~Window() = default;
  virtual Button* AddButton(const std::string& name, const std::string& caption, TwipsRect where) = 0;
  virtual Timer* AddTimer(const std::string& name, int intervalMs) = 0;
  virtual ProgressBar* AddProgressBar(const std::string& name, TwipsRect where, const std::string& label) = 0;
  virtual StatusBar* AddStatusBar(const std::string& name, TwipsRect where, const std::string& text) = 0;
  virtual TextBox* AddTextBox(const std::string& name, TwipsRect where, const std::string& label) = 0;
  virtual ListView* AddListView(const std::string& name, TwipsRect where, const std::vector<ListColumn>& columns,
                                const std::string& label) = 0;
  // The product's banner, in a box with a sunken border.
  virtual void AddBanner(const std::string& name, TwipsRect where, const std::string& label) = 0;

  virtual void SetTitle(const std::string& title) = 0;
  virtual void SetClientSize(int widthTwips, int heightTwips) = 0;
  virtual void ShowCentred() = 0;
  // Hides the window for good: its clock stops too.
  virtual void Hide() = 0;
  virtual bool Visible() const = 0;
  // Raised when the user closes the window from its title bar; the window is closed then.
  virtual void OnClose(std::function<void()> handler) = 0;
};

// Makes the platform's window; name is its object name. Controls join it in tab order.
std::unique_ptr<Window> NewWindow(const std::string& name);


// Where NewWindow makes its windows: tests give a factory of their own to run the window class
// over controls they read and press; an empty factory restores the platform's windows.
using WindowFactory = std::function<std::unique_ptr<Window>(const std::string& name)>;
void SetWindowFactory(WindowFactory factory);
