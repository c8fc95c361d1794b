#include "frmUpdate/frmUpdate.h"

#include "frmUpdate/frmUpdateHandler.h"
#include "modules/Module1.h"
#include "modules/modPublic.h"
#include "modules/modSign.h"
#include "platform/FileSys.h"
#include "platform/Installer.h"
#include "platform/Log.h"
#include "platform/qt/TextBox.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QTreeWidget>

namespace {
// The layout is drawn in twips; a pixel is 15 of them at the standard 96 dpi.
QRect Twips(int left, int top, int width, int height)
{
  return QRect(left / 15, top / 15, width / 15, height / 15);
}

QString ConfiguredUpdateUrl()
{
  if (qEnvironmentVariableIsSet("MERVO_UPDATE_URL"))
    return qEnvironmentVariable("MERVO_UPDATE_URL");
  return QStringLiteral(MERVO_DEFAULT_UPDATE_URL);
}
}

frmUpdate::frmUpdate(QWidget* parent) : QWidget(parent)
{
  setObjectName(QStringLiteral("frmUpdate"));
  setWindowTitle(AppTitle());
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                 | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(Twips(0, 0, 7245, 3855).size());
  setWindowIcon(WindowIcon());
  CreateControls();
  CreateStatusBar();
}

frmUpdate::~frmUpdate() = default;

void frmUpdate::CreateControls()
{
  picCompany = new QLabel(this);
  picCompany->setObjectName(QStringLiteral("picCompany"));
  picCompany->setGeometry(Twips(135, 270, 1635, 2850));
  picCompany->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  picCompany->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  picCompany->setPixmap(BannerImage());
  picCompany->setAccessibleName(QStringLiteral("Mervo"));

  lvUpdateList = new QTreeWidget(this);
  lvUpdateList->setObjectName(QStringLiteral("lvUpdateList"));
  lvUpdateList->setGeometry(Twips(1800, 270, 5280, 2850));
  lvUpdateList->setRootIsDecorated(false);
  lvUpdateList->setColumnCount(5);
  lvUpdateList->setHeaderLabels({QStringLiteral("更新文件"), QStringLiteral("版本号"),
                                 QStringLiteral("文件大小"), QStringLiteral("进度"), QString()});
  const int widths[] = {2100, 1200, 1000, 600, 0};
  for (int column = 0; column < 5; ++column)
    lvUpdateList->setColumnWidth(column, widths[column] / 15);
  lvUpdateList->headerItem()->setTextAlignment(2, Qt::AlignRight);
  lvUpdateList->headerItem()->setTextAlignment(3, Qt::AlignRight);
  lvUpdateList->setAccessibleName(QStringLiteral("更新文件"));
  lvUpdateList->hide();

  txtdata = new TextBox(this);
  txtdata->setObjectName(QStringLiteral("txtdata"));
  txtdata->setGeometry(Twips(1800, 240, 5295, 2895));
  txtdata->setAccessibleName(QStringLiteral("更新说明"));

  pbUpdate = new QProgressBar(this);
  pbUpdate->setObjectName(QStringLiteral("pbUpdate"));
  pbUpdate->setGeometry(Twips(135, 3150, 4650, 375));
  pbUpdate->setRange(0, 100);
  pbUpdate->setValue(0);
  pbUpdate->setAccessibleName(QStringLiteral("进度"));
  pbUpdate->hide();

  cmdUpdate = new QPushButton(QStringLiteral("更新"), this);
  cmdUpdate->setObjectName(QStringLiteral("cmdUpdate"));
  cmdUpdate->setGeometry(Twips(4905, 3195, 1050, 330));
  cmdUpdate->hide();
  connect(cmdUpdate, &QPushButton::clicked, this, [this] { Handle([this] { cmdUpdate_Click(); }); });

  cmdFinish = new QPushButton(QStringLiteral("完成"), this);
  cmdFinish->setObjectName(QStringLiteral("cmdFinish"));
  cmdFinish->setGeometry(Twips(6030, 3195, 1050, 330));
  connect(cmdFinish, &QPushButton::clicked, this, [this] { Handle([this] { cmdFinish_Click(); }); });

  tmrGetUpdateList = new QTimer(this);
  tmrGetUpdateList->setObjectName(QStringLiteral("tmrGetUpdateList"));
  tmrGetUpdateList->setInterval(200);
  connect(tmrGetUpdateList, &QTimer::timeout, this, [this] { Handle([this] { tmrGetUpdateList_Timer(); }); });

  Timer1 = new QTimer(this);
  Timer1->setObjectName(QStringLiteral("Timer1"));
  Timer1->setInterval(1000);
  connect(Timer1, &QTimer::timeout, this, [this] { Handle([this] { Timer1_Timer(); }); });

  intClient = std::make_unique<Inet>();
  intClient->OnStateChanged = [this](int state) { intClient_StateChanged(state); };
}

void frmUpdate::CreateStatusBar()
{
  sbUpdateInfo = new QStatusBar(this);
  sbUpdateInfo->setObjectName(QStringLiteral("sbUpdateInfo"));
  sbUpdateInfo->setGeometry(Twips(0, 3570, 7245, 285));
  sbUpdateInfo->setSizeGripEnabled(false);
  QFont font;
  font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("宋体"), QStringLiteral("WenQuanYi Micro Hei")});
  font.setPointSizeF(9.75);
  sbUpdateInfo->setFont(font);

  m_statusPanel = new QLabel(QStringLiteral("就绪"), sbUpdateInfo);
  m_statusPanel->setObjectName(QStringLiteral("sbUpdateInfoStatus"));
  // Status texts carry names from the server's list: never rendered as markup.
  m_statusPanel->setTextFormat(Qt::PlainText);
  m_statusPanel->setMinimumWidth(1000 / 15);
  m_datePanel = new QLabel(sbUpdateInfo);
  m_datePanel->setObjectName(QStringLiteral("sbUpdateInfoDate"));
  m_datePanel->setFixedWidth(1200 / 15);
  m_timePanel = new QLabel(sbUpdateInfo);
  m_timePanel->setObjectName(QStringLiteral("sbUpdateInfoTime"));
  m_timePanel->setFixedWidth(1000 / 15);
  sbUpdateInfo->addWidget(m_statusPanel, 1);
  sbUpdateInfo->addPermanentWidget(m_datePanel);
  sbUpdateInfo->addPermanentWidget(m_timePanel);

  m_clock = new QTimer(this);
  m_clock->setInterval(1000);
  connect(m_clock, &QTimer::timeout, this, &frmUpdate::ShowClock);
  m_clock->start();
  ShowClock();

  // Tab order as the controls were laid out.
  setTabOrder(picCompany, lvUpdateList);
  setTabOrder(lvUpdateList, sbUpdateInfo);
  setTabOrder(sbUpdateInfo, cmdFinish);
  setTabOrder(cmdFinish, cmdUpdate);
  setTabOrder(cmdUpdate, pbUpdate);
  setTabOrder(pbUpdate, txtdata);
}

void frmUpdate::ShowClock()
{
  const QDateTime now = QDateTime::currentDateTime();
  m_datePanel->setText(QLocale::system().toString(now.date(), QLocale::ShortFormat));
  m_timePanel->setText(now.time().toString(QStringLiteral("HH:mm:ss")));
}

void frmUpdate::SetStatusText(const QString& text)
{
  m_statusPanel->setText(text);
}

QString frmUpdate::StatusText() const
{
  return m_statusPanel->text();
}

void frmUpdate::Form_Load()
{
  strUpdateUrl = ConfiguredUpdateUrl();
  strUpdList = QText(ServerListName());
  strNewUpdList = QStringLiteral("NewUpdList.xml");
  strCurrentFileName.clear();
  lngCurrentFileSize = 0;
  strPublicKey = QText(ConfiguredPublicKey());
  LogEvent(StdText(QStringLiteral("启动，服务器 ") + strUpdateUrl));
  if (!TakeRunLock() || !RecoverEarlierRun())
    return;
  if (!IsValidUpdateUrl(StdText(strUpdateUrl))) {
    MsgBox(QStringLiteral("更新服务器地址无效：") + strUpdateUrl);
    Unload();
    return;
  }

  const QString iniPath = AppFolder() + QStringLiteral("/setup.ini");
  if (FileExists(StdText(iniPath), 0)) {
    SetIniFile(StdText(iniPath));
    strVersion = QText(ReadIni("Mervo", "版本"));
  }
  LogEvent(StdText(QStringLiteral("已安装版本 ") + strVersion));
  SetUiState(0);
  tmrGetUpdateList->start();

  if (const QScreen* screen = this->screen())
    move(screen->availableGeometry().center() - rect().center());
  show();
}

// A second updater in the same folder would take this run's record for a crash and undo it
// under its feet. False when the run must end: another one is at work, or no lock can be made.
bool frmUpdate::TakeRunLock()
{
  m_runLock = std::make_unique<RunLock>();
  if (m_runLock->Held())
    return true;
  if (m_runLock->Busy())
    MsgBox(QStringLiteral("更新程序已在运行。"), MsgBoxStyle::OkInformation, QStringLiteral("提示"));
  else
    MsgBox(QStringLiteral("无法在程序文件夹中创建锁文件：") + ShownPath(AppFolder()) + QStringLiteral("\r\n")
           + QText(m_runLock->Reason()));
  Unload();
  return false;
}

// An update that a crash or a power cut interrupted is finished or undone before anything
// else. False when the run must end: its record cannot be trusted or not be carried out.
bool frmUpdate::RecoverEarlierRun()
{
  std::string reason;
  switch (RecoverInterruptedUpdate(&reason)) {
  case Interrupted::Nothing:
    return true;
  case Interrupted::DownloadDiscarded:
    LogEvent(StdText(QStringLiteral("上次更新在下载时中断，已删除下载的临时文件")));
    return true;
  case Interrupted::RolledBack:
    MsgBox(QStringLiteral("上次更新未完成，已恢复原有文件。"), MsgBoxStyle::OkInformation, QStringLiteral("提示"));
    return true;
  case Interrupted::Completed:
    MsgBox(QStringLiteral("上次更新已完成。"), MsgBoxStyle::OkInformation, QStringLiteral("提示"));
    return true;
  case Interrupted::Damaged:
    MsgBox(QStringLiteral("更新记录已损坏：") + QText(reason));
    break;
  case Interrupted::Unfinished:
    MsgBox(QStringLiteral("上次更新未能收尾：") + QText(reason));
    break;
  }
  Unload();
  return false;
}

void frmUpdate::SetUiState(int state)
{
  switch (state) {
  case 0:
    cmdFinish->setText(QStringLiteral("退出"));
    tmrGetUpdateList->stop();
    SetStatusText(QStringLiteral("正在获取更新列表，请稍候..."));
    break;
  case 1:
    cmdUpdate->show();
    cmdFinish->setText(QStringLiteral("取消"));
    break;
  case 2:
    cmdFinish->setText(QStringLiteral("完成"));
    break;
  case 6:
    SetStatusText(QStringLiteral("更新完成！"));
    cmdFinish->setText(QStringLiteral("完成"));
    cmdFinish->setEnabled(true);
    cmdUpdate->hide();
    break;
  default:
    break;
  }
}

void frmUpdate::Unload()
{
  if (m_unloaded)
    return;
  m_unloaded = true;
  tmrGetUpdateList->stop();
  Timer1->stop();
  m_clock->stop();
  intClient->Shutdown();
  hide();
  FlushLog();
  emit Unloaded();
}

void frmUpdate::PumpEvents()
{
  DoEvents();
  if (m_unloaded)
    throw RunEnded{};
}

void frmUpdate::closeEvent(QCloseEvent* event)
{
  // A download in progress learns of this in its next wait, and removes its ".tmp" files.
  // The install never waits, so a close cannot land in the middle of it.
  Unload();
  event->accept();
}
