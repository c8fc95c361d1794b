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

QString Installer::BeginDownload(const QStringList& names, const QList<Keepable>& keepable)
{
  std::vector<std::string> files;
  for (const QString& name : names)
    files.push_back(EngineName(name));
  std::vector<engine::KeepableFile> keeps;
  for (const Keepable& file : keepable)
    keeps.push_back(
        {EngineName(file.name), file.size, file.sha256.toHex().toStdString(), file.validator.toStdString()});
  return QString::fromStdString(m_engine->BeginDownload(files, keeps));
}

QList<Installer::KeptPart> Installer::KeptParts()
{
  QList<KeptPart> parts;
  for (const engine::KeptPart& part : m_engine->KeptParts())
    parts.push_back(
        {{QString::fromStdString(part.name).replace(u'/', u'\\'), part.size,
          QByteArray::fromHex(QByteArray::fromStdString(part.sha256)), QString::fromStdString(part.validator)},
         part.received});
  return parts;
}

QString Installer::DropPart(const QString& name)
{
  return QString::fromStdString(m_engine->DropPart(EngineName(name)));
}

QString Installer::Downloaded(const QString& name)
{
  return QString::fromStdString(m_engine->Downloaded(EngineName(name)));
}

void Installer::AbandonDownload(bool keepParts)
{
  m_engine->AbandonDownload(keepParts);
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
