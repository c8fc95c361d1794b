#include "platform/Installer.h"

#include "engine/Install.h"
#include "platform/FileSys.h"

namespace {
std::string EngineName(const QString& name)
{
  return QString(name).replace(u'\\', u'/').toStdString();
}

std::string ProgramFolder()
{
  return NativePath(AppPath()).toStdString();
}
}

Installer::Installer()
    : m_ops(engine::SystemFileOps()), m_engine(std::make_unique<engine::InstallEngine>(ProgramFolder(), *m_ops))
{
}

Installer::~Installer() = default;

QString Installer::BeginDownload(const QStringList& names)
{
  std::vector<std::string> files;
  for (const QString& name : names)
    files.push_back(EngineName(name));
  return QString::fromStdString(m_engine->BeginDownload(files));
}

QString Installer::Downloaded(const QString& name)
{
  return QString::fromStdString(m_engine->Downloaded(EngineName(name)));
}

void Installer::AbandonDownload()
{
  m_engine->AbandonDownload();
}

bool Installer::Install(const QList<Item>& items, QString* failedName, QString* reason)
{
  std::vector<engine::InstallItem> files;
  for (const Item& item : items)
    files.push_back({EngineName(item.name), item.executable});
  const engine::InstallResult result = m_engine->Install(files);
  *failedName = QString::fromStdString(result.failedName).replace(u'/', u'\\');
  *reason = QString::fromStdString(result.reason);
  return result.ok;
}

RunLock::RunLock()
{
  const std::string path = ProgramFolder() + "/MervoUpdate.lock";
  m_reason = QString::fromStdString(engine::SystemFileOps()->TakeLock(path, &m_held, &m_busy));
}

RunLock::~RunLock() = default;

Interrupted RecoverInterruptedUpdate(QString* reason)
{
  const std::unique_ptr<engine::FileOps> ops = engine::SystemFileOps();
  const engine::Recovery recovery = engine::Recover(ProgramFolder(), *ops);
  *reason = QString::fromStdString(recovery.reason);
  switch (recovery.outcome) {
  case engine::RecoveryOutcome::Nothing: return Interrupted::Nothing;
  case engine::RecoveryOutcome::DownloadDiscarded: return Interrupted::DownloadDiscarded;
  case engine::RecoveryOutcome::RolledBack: return Interrupted::RolledBack;
  case engine::RecoveryOutcome::Completed: return Interrupted::Completed;
  case engine::RecoveryOutcome::Damaged: return Interrupted::Damaged;
  case engine::RecoveryOutcome::Unfinished: return Interrupted::Unfinished;
  }
  return Interrupted::Damaged;
}
