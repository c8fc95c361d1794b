#include "platform/Installer.h"

#include "engine/Install.h"
#include "platform/Crypto.h"
#include "platform/FileSys.h"

#include <algorithm>

namespace {
std::string EngineName(std::string name)
{
  std::replace(name.begin(), name.end(), '\\', '/');
  return name;
}

std::string ProgramFolder()
{
  return NativePath(AppPath());
}
}

Installer::Installer()
    : m_ops(engine::SystemFileOps()), m_engine(std::make_unique<engine::InstallEngine>(ProgramFolder(), *m_ops))
{
}

Installer::~Installer() = default;

std::string Installer::BeginDownload(const std::vector<std::string>& names, const std::vector<Keepable>& keepable)
{
  std::vector<std::string> files;
  for (const std::string& name : names)
    files.push_back(EngineName(name));
  std::vector<engine::KeepableFile> keeps;
  for (const Keepable& file : keepable)
    keeps.push_back({EngineName(file.name), file.size, HexOf(file.sha256), file.validator});
  return m_engine->BeginDownload(files, keeps);
}

std::vector<Installer::KeptPart> Installer::KeptParts()
{
  std::vector<KeptPart> parts;
  for (const engine::KeptPart& part : m_engine->KeptParts()) {
    std::string name = part.name, sha256;
    std::replace(name.begin(), name.end(), '/', '\\');
    ParseSha256Hex(part.sha256, &sha256);
    parts.push_back({{name, part.size, sha256, part.validator}, part.received});
  }
  return parts;
}

std::string Installer::DropPart(const std::string& name)
{
  return m_engine->DropPart(EngineName(name));
}

std::string Installer::Downloaded(const std::string& name)
{
  return m_engine->Downloaded(EngineName(name));
}

void Installer::AbandonDownload(bool keepParts)
{
  m_engine->AbandonDownload(keepParts);
}

bool Installer::Install(const std::vector<Item>& items, std::string* failedName, std::string* reason)
{
  std::vector<engine::InstallItem> files;
  for (const Item& item : items)
    files.push_back({EngineName(item.name), item.executable});
  const engine::InstallResult result = m_engine->Install(files);
  *failedName = result.failedName;
  std::replace(failedName->begin(), failedName->end(), '/', '\\');
  *reason = result.reason;
  return result.ok;
}

namespace {
std::string& RunLockDenial()
{
  static std::string reason;
  return reason;
}
}  // namespace

void SetRunLockDenied(const std::string& reason)
{
  RunLockDenial() = reason;
}

RunLock::RunLock() : m_refusal(engine::LockRefusal::Other)
{
  if (!RunLockDenial().empty()) {
    m_refusal = engine::LockRefusal::Denied;
    m_reason = RunLockDenial();
    return;
  }
  const std::string path = ProgramFolder() + "/MervoUpdate.lock";
  m_reason = engine::SystemFileOps()->TakeLock(path, &m_held, &m_refusal);
}

RunLock::~RunLock() = default;

bool RunLock::Busy() const
{
  return m_refusal == engine::LockRefusal::Busy;
}

bool RunLock::Denied() const
{
  return m_refusal == engine::LockRefusal::Denied;
}

Interrupted RecoverInterruptedUpdate(std::string* reason)
{
  const std::unique_ptr<engine::FileOps> ops = engine::SystemFileOps();
  const engine::Recovery recovery = engine::Recover(ProgramFolder(), *ops);
  *reason = recovery.reason;
  switch (recovery.outcome) {
  case engine::RecoveryOutcome::Nothing: return Interrupted::Nothing;
  case engine::RecoveryOutcome::DownloadDiscarded: return Interrupted::DownloadDiscarded;
  case engine::RecoveryOutcome::RolledBack: return Interrupted::RolledBack;
  case engine::RecoveryOutcome::Completed: return Interrupted::Completed;
  case engine::RecoveryOutcome::CleanedUp: return Interrupted::CleanedUp;
  case engine::RecoveryOutcome::Damaged: return Interrupted::Damaged;
  case engine::RecoveryOutcome::Unfinished: return Interrupted::Unfinished;
  }
  return Interrupted::Damaged;
}

std::string TemporaryName(const std::string& name)
{
  return engine::TemporaryName(name);
}
