// The window's controls over Qt Widgets. Object names are the controls' names, so tests and
// the screenshot tools find the widgets by them.
#include "platform/common/SystemBox.h"

#include "platform/Inet.h"
#include "platform/qt/QtArt.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>

namespace {
// A pixel is 15 twips at the standard 96 dpi.
QRect Pixels(TwipsRect where)
{
  return QRect(where.left / 15, where.top / 15, where.width / 15, where.height / 15);
}

QString Q(const std::string& text)
{
  return QString::fromStdString(text);
}

class QtButton : public Button {
public:
  explicit QtButton(QPushButton* button) : m_button(button)
  {
    QObject::connect(button, &QPushButton::clicked, button, [this] {
      if (m_handler)
        m_handler();
    });
  }
  void SetCaption(const std::string& caption) override { m_button->setText(Q(caption)); }
  std::string Caption() const override { return m_button->text().toStdString(); }
  void SetVisible(bool visible) override { m_button->setVisible(visible); }
  bool Visible() const override { return !m_button->isHidden(); }
  void SetEnabled(bool enabled) override { m_button->setEnabled(enabled); }
  bool Enabled() const override { return m_button->isEnabled(); }
  void OnClick(std::function<void()> handler) override { m_handler = std::move(handler); }
  void Click() override
  {
    if (m_button->isVisible() && m_button->isEnabled())
      m_button->click();
  }

private:
  QPushButton* m_button;
  std::function<void()> m_handler;
};

class QtTimer : public Timer {
public:
  explicit QtTimer(QTimer* timer) : m_timer(timer)
  {
    QObject::connect(timer, &QTimer::timeout, timer, [this] {
      if (m_handler)
        m_handler();
    });
  }
  void Start() override { m_timer->start(); }
  void Stop() override { m_timer->stop(); }
  bool Active() const override { return m_timer->isActive(); }
  void OnTick(std::function<void()> handler) override { m_handler = std::move(handler); }

private:
  QTimer* m_timer;
  std::function<void()> m_handler;
};

class QtProgressBar : public ProgressBar {
public:
  explicit QtProgressBar(QProgressBar* bar) : m_bar(bar) {}
  void SetVisible(bool visible) override { m_bar->setVisible(visible); }
  bool Visible() const override { return !m_bar->isHidden(); }
  void SetValue(int percent) override { m_bar->setValue(percent); }
  int Value() const override { return m_bar->value(); }

private:
  QProgressBar* m_bar;
};

// The status text panel, and the date and time panels with their clock.
class QtStatusBar : public StatusBar {
public:
  QtStatusBar(QStatusBar* bar, const std::string& text);
  void SetText(const std::string& text) override { m_status->setText(Q(text)); }
  std::string Text() const override { return m_status->text().toStdString(); }
  void StopClock() { m_clock->stop(); }

private:
  void ShowClock();
  QLabel* m_status;
  QLabel* m_date;
  QLabel* m_time;
  QTimer* m_clock;
};

QtStatusBar::QtStatusBar(QStatusBar* bar, const std::string& text)
{
  bar->setSizeGripEnabled(false);
  QFont font;
  font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("宋体"), QStringLiteral("WenQuanYi Micro Hei")});
  font.setPointSizeF(9.75);
  bar->setFont(font);
  m_status = new QLabel(Q(text), bar);
  m_status->setObjectName(bar->objectName() + QStringLiteral("Status"));
  // Status texts carry names from the server's list: never rendered as markup.
  m_status->setTextFormat(Qt::PlainText);
  m_status->setMinimumWidth(1000 / 15);
  m_date = new QLabel(bar);
  m_date->setObjectName(bar->objectName() + QStringLiteral("Date"));
  m_date->setFixedWidth(1200 / 15);
  m_time = new QLabel(bar);
  m_time->setObjectName(bar->objectName() + QStringLiteral("Time"));
  m_time->setFixedWidth(1000 / 15);
  bar->addWidget(m_status, 1);
  bar->addPermanentWidget(m_date);
  bar->addPermanentWidget(m_time);
  m_clock = new QTimer(bar);
  m_clock->setInterval(1000);
  QObject::connect(m_clock, &QTimer::timeout, bar, [this] { ShowClock(); });
  m_clock->start();
  ShowClock();
}

void QtStatusBar::ShowClock()
{
  const QDateTime now = QDateTime::currentDateTime();
  m_date->setText(QLocale::system().toString(now.date(), QLocale::ShortFormat));
  m_time->setText(now.time().toString(QStringLiteral("HH:mm:ss")));
}

// Keeps the text it was given, "\r\n" included; a plain text edit would normalise it.
class QtTextBox : public TextBox {
public:
  explicit QtTextBox(QPlainTextEdit* edit) : m_edit(edit) { edit->setReadOnly(true); }
  void SetText(const std::string& text) override
  {
    m_text = text;
    QString shown = Q(text);
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    m_edit->setPlainText(shown);
    m_edit->setAccessibleDescription(shown);
  }
  std::string Text() const override { return m_text; }

private:
  QPlainTextEdit* m_edit;
  std::string m_text;
};

class QtListView : public ListView {
public:
  explicit QtListView(QTreeWidget* tree) : m_tree(tree) {}
  void SetRowCount(int count) override
  {
    while (m_tree->topLevelItemCount() > count)
      delete m_tree->takeTopLevelItem(m_tree->topLevelItemCount() - 1);
    while (m_tree->topLevelItemCount() < count)
      new QTreeWidgetItem(m_tree);
  }
  void ShowRow(int index, const std::vector<std::string>& texts) override
  {
    QTreeWidgetItem* item = m_tree->topLevelItem(index - 1);
    for (int column = 0; column < int(texts.size()); ++column)
      item->setText(column, Q(texts[column]));
  }

private:
  QTreeWidget* m_tree;
};

class FormWidget : public QWidget {
public:
  std::function<void()> onClose;

protected:
  void closeEvent(QCloseEvent* event) override
  {
    if (onClose)
      onClose();
    event->accept();
  }
};

class QtWindow : public Window {
public:
  explicit QtWindow(const std::string& name);
  Button* AddButton(const std::string& name, const std::string& caption, TwipsRect where) override;
  Timer* AddTimer(const std::string& name, int intervalMs) override;
  ProgressBar* AddProgressBar(const std::string& name, TwipsRect where, const std::string& label) override;
  StatusBar* AddStatusBar(const std::string& name, TwipsRect where, const std::string& text) override;
  TextBox* AddTextBox(const std::string& name, TwipsRect where, const std::string& label) override;
  ListView* AddListView(const std::string& name, TwipsRect where, const std::vector<ListColumn>& columns,
                        const std::string& label) override;
  void AddBanner(const std::string& name, TwipsRect where, const std::string& label) override;

  void SetTitle(const std::string& title) override { m_form->setWindowTitle(Q(title)); }
  void SetClientSize(int widthTwips, int heightTwips) override
  {
    m_form->setFixedSize(widthTwips / 15, heightTwips / 15);
  }
  void ShowCentred() override;
  void Hide() override;
  bool Visible() const override { return m_form->isVisible(); }
  void OnClose(std::function<void()> handler) override { m_form->onClose = std::move(handler); }

private:
  // Places a new control and puts it last in the tab order.
  template <class W>
  W* Place(W* widget, const std::string& name, TwipsRect where, const std::string& label);
  template <class C>
  C* Keep(std::unique_ptr<C> control);

  // The controls go after the widgets they drive.
  std::vector<std::unique_ptr<QtStatusBar>> m_statusBars;
  std::vector<std::shared_ptr<void>> m_controls;
  std::unique_ptr<FormWidget> m_form;
  QWidget* m_lastInTabOrder = nullptr;
};

QtWindow::QtWindow(const std::string& name) : m_form(std::make_unique<FormWidget>())
{
  m_form->setObjectName(Q(name));
  m_form->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                         | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  m_form->setWindowIcon(WindowIcon());
}

template <class W>
W* QtWindow::Place(W* widget, const std::string& name, TwipsRect where, const std::string& label)
{
  widget->setObjectName(Q(name));
  widget->setGeometry(Pixels(where));
  if (!label.empty())
    widget->setAccessibleName(Q(label));
  if (m_lastInTabOrder)
    QWidget::setTabOrder(m_lastInTabOrder, widget);
  m_lastInTabOrder = widget;
  return widget;
}

template <class C>
C* QtWindow::Keep(std::unique_ptr<C> control)
{
  C* kept = control.get();
  m_controls.push_back(std::shared_ptr<C>(std::move(control)));
  return kept;
}

Button* QtWindow::AddButton(const std::string& name, const std::string& caption, TwipsRect where)
{
  auto* button = Place(new QPushButton(Q(caption), m_form.get()), name, where, std::string());
  return Keep(std::make_unique<QtButton>(button));
}

Timer* QtWindow::AddTimer(const std::string& name, int intervalMs)
{
  auto* timer = new QTimer(m_form.get());
  timer->setObjectName(Q(name));
  timer->setInterval(intervalMs);
  return Keep(std::make_unique<QtTimer>(timer));
}

ProgressBar* QtWindow::AddProgressBar(const std::string& name, TwipsRect where, const std::string& label)
{
  auto* bar = Place(new QProgressBar(m_form.get()), name, where, label);
  bar->setRange(0, 100);
  bar->setValue(0);
  return Keep(std::make_unique<QtProgressBar>(bar));
}

StatusBar* QtWindow::AddStatusBar(const std::string& name, TwipsRect where, const std::string& text)
{
  auto* bar = Place(new QStatusBar(m_form.get()), name, where, std::string());
  m_statusBars.push_back(std::make_unique<QtStatusBar>(bar, text));
  return m_statusBars.back().get();
}

TextBox* QtWindow::AddTextBox(const std::string& name, TwipsRect where, const std::string& label)
{
  auto* edit = Place(new QPlainTextEdit(m_form.get()), name, where, label);
  return Keep(std::make_unique<QtTextBox>(edit));
}

ListView* QtWindow::AddListView(const std::string& name, TwipsRect where, const std::vector<ListColumn>& columns,
                                const std::string& label)
{
  auto* tree = Place(new QTreeWidget(m_form.get()), name, where, label);
  tree->setRootIsDecorated(false);
  tree->setColumnCount(int(columns.size()));
  QStringList headers;
  for (const ListColumn& column : columns)
    headers << Q(column.header);
  tree->setHeaderLabels(headers);
  for (int i = 0; i < int(columns.size()); ++i) {
    tree->setColumnWidth(i, columns[i].widthTwips / 15);
    if (columns[i].alignRight)
      tree->headerItem()->setTextAlignment(i, Qt::AlignRight);
  }
  tree->hide();
  return Keep(std::make_unique<QtListView>(tree));
}

void QtWindow::AddBanner(const std::string& name, TwipsRect where, const std::string& label)
{
  auto* picture = Place(new QLabel(m_form.get()), name, where, label);
  picture->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  picture->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  picture->setPixmap(BannerImage());
}

void QtWindow::ShowCentred()
{
  if (const QScreen* screen = m_form->screen())
    m_form->move(screen->availableGeometry().center() - m_form->rect().center());
  m_form->show();
}

void QtWindow::Hide()
{
  for (const auto& bar : m_statusBars)
    bar->StopClock();
  m_form->hide();
}
}  // namespace

std::unique_ptr<Window> NewSystemWindow(const std::string& name)
{
  return std::make_unique<QtWindow>(name);
}

