#include "engine/Install.h"

#include "engine/Names.h"
#include "engine/Paths.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

namespace engine {

namespace {
std::string PathIn(const std::string& folder, const std::string& name)
{
  return folder + "/" + name;
}

// Numbers the steps that leave a mark on the disk and tells the observer of each.
class Steps {
public:
  Steps(InstallObserver* observer, int* counter) : m_observer(observer), m_counter(counter) {}
  void Done(const std::string& what)
  {
    ++*m_counter;
    if (m_observer)
      m_observer->Step(*m_counter, what);
  }

private:
  InstallObserver* m_observer;
  int* m_counter;
};

// What could not be done, and the system's reason; "" when there is no reason.
std::string Because(const std::string& what, const std::string& systemReason)
{
  return systemReason.empty() ? "" : what + "：" + systemReason;
}

// Takes an install back. Each target registers its undo before its swap begins, since a
// failure or a crash can cut the swap short. Run puts the registered targets back, the last
// first, removes every ".tmp" the journal names and the kept-aside copies of the targets put
// back, and flushes the folders. Safe to repeat after a crash at any point.
class Rollback {
public:
  Rollback(const std::string& folder, FileOps& ops, const Journal& journal, Steps& steps)
      : m_folder(folder), m_ops(ops), m_journal(journal), m_steps(steps)
  {
  }
  // target is one of the journal's, which stays unchanged from here on.
  void Register(const JournalTarget& target) { m_registered.push_back(&target); }
  // "" or the first failure (the rest is still attempted).
  std::string Run();

private:
  // False when the old file could not be put back: its kept-aside copy is the only old one.
  bool PutBack(const JournalTarget& target);
  void Note(const std::string& done, const std::string& failed, const std::string& reason);

  const std::string& m_folder;
  FileOps& m_ops;
  const Journal& m_journal;
  Steps& m_steps;
  std::vector<const JournalTarget*> m_registered;
  std::set<std::string> m_folders;
  std::string m_failure;
};

void Rollback::Note(const std::string& done, const std::string& failed, const std::string& reason)
{
  if (m_failure.empty())
    m_failure = Because(failed, reason);
  if (reason.empty() && !done.empty())
    m_steps.Done(done);
}

bool Rollback::PutBack(const JournalTarget& target)
{
  const std::string path = PathIn(m_folder, target.name);
  const std::string aside = PathIn(m_folder, AsideName(target.name));
  m_folders.insert(FolderOf(path));
  // No aside copy: it was never made (the target is untouched) or is already back.
  if (target.existed && m_ops.Exists(aside)) {
    const std::string failure = m_ops.Replace(aside, path);
    Note("放回 " + target.name, "无法放回原文件 " + target.name, failure);
    return failure.empty();
  }
  if (!target.existed)
    Note("删除 " + target.name, "无法删除新文件 " + target.name, m_ops.Remove(path));
  return true;
}

std::string Rollback::Run()
{
  m_failure.clear();
  m_folders = {m_folder};
  // A copy whose put-back failed stays, with the journal, for the next start to put back.
  std::set<const JournalTarget*> putBack;
  for (auto target = m_registered.rbegin(); target != m_registered.rend(); ++target)
    if (PutBack(**target))
      putBack.insert(*target);
  std::vector<std::string> leftovers = m_journal.temporaries;
  for (const JournalTarget& target : m_journal.targets) {
    leftovers.push_back(TemporaryName(target.name));
    if (target.existed && putBack.count(&target))
      leftovers.push_back(AsideName(target.name));
  }
  for (const std::string& name : leftovers)
    Note("删除 " + name, "无法删除 " + name, m_ops.Remove(PathIn(m_folder, name)));
  // The old names are back on the disk before the journal that could restore them goes.
  for (const std::string& path : m_folders)
    Note("", "无法把文件夹的改动写入磁盘", m_ops.FlushFolder(path));
  return m_failure;
}

// Takes back all that journal records, as after a crash; "" or the first failure.
std::string Undo(const std::string& folder, FileOps& ops, const Journal& journal, Steps& steps)
{
  Rollback rollback(folder, ops, journal, steps);
  for (const JournalTarget& target : journal.targets)
    rollback.Register(target);
  return rollback.Run();
}

// Removes what a journal write cut short by a crash leaves beside the journal.
void RemoveJournalTemporary(const std::string& folder, FileOps& ops, Steps& steps)
{
  const std::string path = TemporaryName(PathIn(folder, JournalName()));
  if (ops.Exists(path) && ops.Remove(path).empty())
    steps.Done("删除 " + TemporaryName(JournalName()));
}

// Deletes folder's journal for good; "" or the reason.
std::string DeleteJournal(const std::string& folder, FileOps& ops, Steps& steps)
{
  const std::string failure = ops.Remove(PathIn(folder, JournalName()));
  if (!failure.empty())
    return Because("无法删除更新记录", failure);
  steps.Done("删除更新记录");
  RemoveJournalTemporary(folder, ops, steps);
  return Because("无法删除更新记录", ops.FlushFolder(folder));
}

// Removes the kept-aside copies of a committed install. Those that cannot be removed yet
// (a program still running from one, as the updater's own) stay listed in a finished journal
// for the next start, which removes them without telling the user again.
// Returns "" or the first failure.
std::string FinishCommitted(const std::string& folder, FileOps& ops, const std::vector<std::string>& asides,
                            Steps& steps)
{
  Journal remaining;
  remaining.phase = Journal::Phase::Finished;
  std::string failure;
  for (const std::string& name : asides) {
    const std::string reason = ops.Remove(PathIn(folder, name));
    if (reason.empty()) {
      steps.Done("删除 " + name);
      continue;
    }
    if (failure.empty())
      failure = Because("无法删除 " + name, reason);
    remaining.asides.push_back(name);
  }
  if (failure.empty())
    return DeleteJournal(folder, ops, steps);
  if (WriteJournal(ops, folder, remaining).empty())
    steps.Done("写入更新记录：finished");
  return failure;
}

// "" when every name in journal stays inside folder, links resolved; else why it cannot be trusted.
std::string LeadsOutside(const std::string& folder, FileOps& ops, const Journal& journal)
{
  std::vector<std::string> names = journal.temporaries;
  names.insert(names.end(), journal.asides.begin(), journal.asides.end());
  for (const KeepableFile& file : journal.keepable)
    names.push_back(TemporaryName(file.name));
  for (const JournalTarget& target : journal.targets)
    names.push_back(target.name);
  for (const std::string& name : names)
    if (!ops.StaysInside(folder, name))
      return "记录中的文件在程序文件夹之外：" + name;
  return "";
}

// The journal that records names, or the reason no valid journal can hold them.
std::string CheckedJournal(const Journal& journal)
{
  Journal parsed;
  return ParseJournal(FormatJournal(journal), &parsed);
}

// Why an install phase failed: the file it failed on ("" for a step of the whole set) and a
// Chinese sentence with the system's reason.
struct Failure {
  std::string name;
  std::string reason;
};

// One install in its phases: plan, clear old copies, flush and record, swap, commit. A phase
// that fails returns why, and Fail then takes back every step registered so far.
class InstallRun {
public:
  InstallRun(const std::string& folder, FileOps& ops, Steps& steps, const std::map<std::string, FileIdentity>& written)
      : m_folder(folder), m_ops(ops), m_steps(steps), m_written(written), m_rollback(folder, ops, m_journal, steps)
  {
  }
  // Journals which targets stand now; downloads of no target go with the undo.
  std::optional<Failure> Plan(const std::vector<InstallItem>& items, const std::vector<std::string>& downloads);
  std::optional<Failure> ClearOldCopies();
  std::optional<Failure> FlushAndRecord();
  std::optional<Failure> Swap();
  std::optional<Failure> Commit();
  // After Commit: removes the kept-aside copies, or leaves them listed for the next start.
  void CleanUp() { FinishCommitted(m_folder, m_ops, m_asides, m_steps); }
  // Undoes what the failed install did and deletes the journal, or leaves it for Recover.
  InstallResult Fail(const Failure& failure);

private:
  std::optional<Failure> SwapOne(const JournalTarget& target);

  const std::string& m_folder;
  FileOps& m_ops;
  Steps& m_steps;
  const std::map<std::string, FileIdentity>& m_written;
  Journal m_journal;
  Rollback m_rollback;
  std::set<std::string> m_executables;
  std::set<std::string> m_folders;    // of the swapped targets
  std::vector<std::string> m_asides;  // of the committed install
};

std::optional<Failure> InstallRun::Plan(const std::vector<InstallItem>& items,
                                        const std::vector<std::string>& downloads)
{
  m_journal.phase = Journal::Phase::Install;
  std::set<std::string> names, temporaries;
  CaseClashes clashes;
  std::string badName;
  for (const InstallItem& item : items) {
    if (item.executable)
      m_executables.insert(item.name);
    if (!names.insert(item.name).second)
      continue;
    temporaries.insert(TemporaryName(item.name));
    // Two names that Windows takes for one file would replace it twice.
    if (!IsSafeRelativeName(item.name) || !clashes.Add(item.name).empty()) {
      badName = item.name;
      continue;
    }
    // Only what stands there now may be put back; anything else at a new name is ours.
    m_journal.targets.push_back({item.name, m_ops.Exists(PathIn(m_folder, item.name))});
  }
  for (const std::string& name : downloads)
    if (!temporaries.count(name))
      m_journal.temporaries.push_back(name);
  if (!badName.empty())
    return Failure{badName, "文件名无效"};
  const std::string failure = CheckedJournal(m_journal);
  if (!failure.empty())
    return Failure{"", Because("无法写入更新记录", failure)};
  return {};
}

// A kept-aside copy left by an older run would be taken for this run's after a crash.
std::optional<Failure> InstallRun::ClearOldCopies()
{
  for (const JournalTarget& target : m_journal.targets) {
    const std::string aside = PathIn(m_folder, AsideName(target.name));
    if (!m_ops.Exists(aside))
      continue;
    const std::string failure = m_ops.Remove(aside);
    if (!failure.empty())
      return Failure{target.name, Because("无法删除旧的副本", failure)};
    m_steps.Done("删除 " + AsideName(target.name));
  }
  return {};
}

// The new data is on the disk before the journal, and any name, points at it.
std::optional<Failure> InstallRun::FlushAndRecord()
{
  std::vector<std::string> temporaries;
  for (const JournalTarget& target : m_journal.targets)
    temporaries.push_back(TemporaryName(target.name));
  std::string failure = m_ops.FlushNewFiles(m_folder, temporaries);
  if (!failure.empty())
    return Failure{"", Because("无法把下载的文件写入磁盘", failure)};
  failure = WriteJournal(m_ops, m_folder, m_journal);
  if (!failure.empty())
    return Failure{"", Because("无法写入更新记录", failure)};
  m_steps.Done("写入更新记录：install");
  return {};
}

std::optional<Failure> InstallRun::Swap()
{
  for (const JournalTarget& target : m_journal.targets) {
    // Registered before its first step: a swap cut short half-way is put back too.
    m_rollback.Register(target);
    if (std::optional<Failure> failure = SwapOne(target))
      return failure;
    m_folders.insert(FolderOf(PathIn(m_folder, target.name)));
  }
  return {};
}

// Keeps the old file aside and renames the new one into its place.
std::optional<Failure> InstallRun::SwapOne(const JournalTarget& target)
{
  const std::string path = PathIn(m_folder, target.name);
  const std::string aside = PathIn(m_folder, AsideName(target.name));
  const std::string temporary = PathIn(m_folder, TemporaryName(target.name));
  // Only the very file the download wrote goes in, not one put in its place since.
  const auto written = m_written.find(target.name);
  FileIdentity identity;
  if (written != m_written.end() && (!m_ops.Identify(temporary, &identity).empty() || !(identity == written->second)))
    return Failure{target.name, "下载的文件已被改动或替换"};
  std::string failure;
  if (target.existed) {
    failure = m_ops.KeepAside(path, aside);
    if (!failure.empty())
      return Failure{target.name, Because("无法保留原文件的副本", failure)};
    m_steps.Done("保留 " + target.name);
  }
  // The aside copy is the old file even where keeping it aside moved it.
  failure = m_ops.AdoptPermissions(temporary, target.existed ? aside : path, m_executables.count(target.name) > 0);
  if (!failure.empty())
    return Failure{target.name, Because("无法设置新文件的权限", failure)};
  failure = m_ops.Replace(temporary, path);
  if (!failure.empty())
    return Failure{target.name, Because("无法用新文件替换原文件", failure)};
  m_steps.Done("替换 " + target.name);
  return {};
}

std::optional<Failure> InstallRun::Commit()
{
  // The renames are on the disk before the journal says they are done.
  for (const std::string& folder : m_folders) {
    const std::string failure = m_ops.FlushFolder(folder);
    if (!failure.empty())
      return Failure{"", Because("无法把替换后的文件写入磁盘", failure)};
  }
  Journal committed;
  committed.phase = Journal::Phase::Committed;
  for (const JournalTarget& target : m_journal.targets)
    if (target.existed)
      committed.asides.push_back(AsideName(target.name));
  const std::string failure = WriteJournal(m_ops, m_folder, committed);
  if (!failure.empty()) {
    // The failed write may have reached the disk all the same: the undo must not be
    // taken for a clean-up if it is cut short.
    if (WriteJournal(m_ops, m_folder, m_journal).empty())
      m_steps.Done("写入更新记录：install");
    return Failure{"", Because("无法写入更新记录", failure)};
  }
  m_steps.Done("写入更新记录：committed");
  m_asides = committed.asides;
  return {};
}

InstallResult InstallRun::Fail(const Failure& failure)
{
  InstallResult result{false, failure.name, failure.reason};
  const std::string undone = m_rollback.Run();
  if (undone.empty())
    DeleteJournal(m_folder, m_ops, m_steps);
  else
    result.reason += "\n" + undone + "（下次启动时将再次恢复）";
  return result;
}
// The journal of folder when it is one of a download, all its names inside folder.
bool ReadDownloadJournal(const std::string& folder, FileOps& ops, Journal* journal)
{
  const std::string path = PathIn(folder, JournalName());
  std::string text;
  return ops.Exists(path) && ops.Read(path, &text).empty() && ParseJournal(text, journal).empty()
         && journal->phase == Journal::Phase::Download && LeadsOutside(folder, ops, *journal).empty();
}

// The download journal of temporaries (".tmp" names), of which the keepable files keep theirs.
Journal DownloadJournal(const std::vector<std::string>& temporaries, const std::vector<KeepableFile>& keepable)
{
  Journal journal;
  journal.keepable = keepable;
  for (const std::string& name : temporaries)
    if (std::none_of(keepable.begin(), keepable.end(),
                     [&](const KeepableFile& file) { return TemporaryName(file.name) == name; }))
      journal.temporaries.push_back(name);
  return journal;
}

// Removes a download's ".tmp" files but the kept parts (its keepable files that have one)
// and leaves a journal of those alone, or none. Safe to repeat. "" or the first failure.
std::string KeepParts(const std::string& folder, FileOps& ops, const Journal& journal, Steps& steps)
{
  Journal kept;
  for (const KeepableFile& file : journal.keepable)
    if (ops.Exists(PathIn(folder, TemporaryName(file.name))))
      kept.keepable.push_back(file);
  Journal removed;
  removed.temporaries = journal.temporaries;
  std::string failure = Undo(folder, ops, removed, steps);
  if (!failure.empty())
    return failure;
  if (kept.keepable.empty())
    return DeleteJournal(folder, ops, steps);
  if (journal.temporaries.empty() && kept.keepable.size() == journal.keepable.size())
    return "";
  failure = WriteJournal(ops, folder, kept);
  if (!failure.empty())
    return Because("无法写入更新记录", failure);
  steps.Done("写入更新记录：download");
  return "";
}

// The journal of a download of names, the keepable among them recorded as such (one without
// a validator is not); "" or why they cannot be recorded.
std::string PlanDownload(const std::vector<std::string>& names, const std::vector<KeepableFile>& keepable,
                         Journal* journal)
{
  std::map<std::string, KeepableFile> keeps;
  for (KeepableFile file : keepable) {
    if (std::find(names.begin(), names.end(), file.name) == names.end())
      return "要保留的文件不在下载之列：" + file.name;
    // A tab or a line break would end the journal's field or line early.
    for (const char c : file.validator)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
        return "服务器对 " + file.name + " 给出的标记含有控制字符";
    std::transform(file.sha256.begin(), file.sha256.end(), file.sha256.begin(),
                   [](char c) { return static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c); });
    if (!file.validator.empty())
      keeps.emplace(file.name, file);
  }
  std::set<std::string> seen;
  for (const std::string& name : names) {
    if (!seen.insert(name).second)
      continue;
    const auto keep = keeps.find(name);
    if (keep != keeps.end())
      journal->keepable.push_back(keep->second);
    else
      journal->temporaries.push_back(TemporaryName(name));
  }
  return "";
}

// Removes every ".tmp" an earlier download recorded in folder, and any of journal's keepable
// files, but the parts that the next download, journal, keeps: a kept part stays when keepable
// again with the same size and hash, and holds no more than that size. "" or the first failure.
std::string RemoveStaleParts(const std::string& folder, FileOps& ops, const Journal& journal, Steps& steps)
{
  Journal earlier;
  if (!ReadDownloadJournal(folder, ops, &earlier))
    earlier = Journal();
  std::set<std::string> stale(earlier.temporaries.begin(), earlier.temporaries.end());
  for (const KeepableFile& file : journal.keepable)
    stale.insert(TemporaryName(file.name));
  for (const KeepableFile& file : earlier.keepable) {
    const bool listed = std::any_of(journal.keepable.begin(), journal.keepable.end(), [&](const KeepableFile& next) {
      return next.name == file.name && next.size == file.size && next.sha256 == file.sha256;
    });
    FileIdentity identity;
    const std::string path = PathIn(folder, TemporaryName(file.name));
    if (!listed || (ops.Identify(path, &identity).empty() && identity.size > file.size))
      stale.insert(TemporaryName(file.name));
    else
      stale.erase(TemporaryName(file.name));
  }
  for (const std::string& name : stale) {
    if (!ops.Exists(PathIn(folder, name)))
      continue;
    const std::string failure = ops.Remove(PathIn(folder, name));
    if (!failure.empty())
      return Because("无法删除 " + name, failure);
    steps.Done("删除 " + name);
  }
  return "";
}

// What a download keeps for resuming goes in only once this run has received all of it.
std::optional<Failure> UnfinishedPart(const std::vector<InstallItem>& items, const std::vector<KeepableFile>& keepable,
                                      const std::map<std::string, FileIdentity>& written)
{
  for (const KeepableFile& file : keepable)
    if (!written.count(file.name)
        && std::any_of(items.begin(), items.end(), [&](const InstallItem& item) { return item.name == file.name; }))
      return Failure{file.name, "文件未下载完整"};
  return {};
}
}  // namespace

InstallEngine::InstallEngine(std::string folder, FileOps& ops, InstallObserver* observer)
    : m_folder(std::move(folder)), m_ops(ops), m_observer(observer)
{
}

std::string InstallEngine::BeginDownload(const std::vector<std::string>& names,
                                         const std::vector<KeepableFile>& keepable)
{
  Steps steps(m_observer, &m_step);
  Journal journal;
  std::string failure = PlanDownload(names, keepable, &journal);
  if (failure.empty())
    failure = CheckedJournal(journal);
  if (!failure.empty())
    return Because("无法写入更新记录", failure);
  // The stale parts go while the journal that records them is still there.
  failure = RemoveStaleParts(m_folder, m_ops, journal, steps);
  if (!failure.empty())
    return failure;
  failure = WriteJournal(m_ops, m_folder, journal);
  if (!failure.empty())
    return Because("无法写入更新记录", failure);
  m_downloading = true;
  m_downloads = journal.temporaries;
  for (const KeepableFile& file : journal.keepable)
    m_downloads.push_back(TemporaryName(file.name));
  m_keepable = journal.keepable;
  steps.Done("写入更新记录：download");
  return "";
}

std::vector<KeptPart> InstallEngine::KeptParts()
{
  std::vector<KeptPart> parts;
  Journal journal;
  if (!ReadDownloadJournal(m_folder, m_ops, &journal))
    return parts;
  for (const KeepableFile& file : journal.keepable) {
    FileIdentity identity;
    if (m_ops.Identify(PathIn(m_folder, TemporaryName(file.name)), &identity).empty())
      parts.push_back({file, identity.size});
  }
  return parts;
}

std::string InstallEngine::DropPart(const std::string& name)
{
  Steps steps(m_observer, &m_step);
  m_written.erase(name);
  const auto kept =
      std::find_if(m_keepable.begin(), m_keepable.end(), [&](const KeepableFile& file) { return file.name == name; });
  std::string failure;
  if (kept != m_keepable.end()) {
    // No longer kept before it goes: a crash in between leaves it to be removed at the next start.
    m_keepable.erase(kept);
    failure = WriteJournal(m_ops, m_folder, DownloadJournal(m_downloads, m_keepable));
    if (!failure.empty())
      return Because("无法写入更新记录", failure);
    steps.Done("写入更新记录：download");
  }
  const std::string temporary = TemporaryName(name);
  if (!m_ops.Exists(PathIn(m_folder, temporary)))
    return "";
  failure = Because("无法删除 " + temporary, m_ops.Remove(PathIn(m_folder, temporary)));
  if (failure.empty())
    steps.Done("删除 " + temporary);
  return failure;
}

std::string InstallEngine::Downloaded(const std::string& name)
{
  FileIdentity identity;
  const std::string failure = m_ops.Identify(PathIn(m_folder, TemporaryName(name)), &identity);
  if (failure.empty())
    m_written[name] = identity;
  return failure;
}

void InstallEngine::AbandonDownload(bool keepParts)
{
  // Without a download of its own, the journal here may hold an earlier run's kept parts.
  if (!m_downloading)
    return;
  Steps steps(m_observer, &m_step);
  KeepParts(m_folder, m_ops, DownloadJournal(m_downloads, keepParts ? m_keepable : std::vector<KeepableFile>()), steps);
  m_downloading = false;
  m_downloads.clear();
  m_keepable.clear();
  m_written.clear();
}

InstallResult InstallEngine::Install(const std::vector<InstallItem>& items)
{
  Steps steps(m_observer, &m_step);
  InstallRun run(m_folder, m_ops, steps, m_written);
  std::optional<Failure> failure = run.Plan(items, m_downloads);
  if (!failure)
    failure = UnfinishedPart(items, m_keepable, m_written);
  if (!failure)
    failure = run.ClearOldCopies();
  if (!failure)
    failure = run.FlushAndRecord();
  if (!failure)
    failure = run.Swap();
  if (!failure)
    failure = run.Commit();
  m_downloads.clear();
  m_written.clear();
  if (failure)
    return run.Fail(*failure);
  // From here on the install stands; what is left of the clean-up waits for the next start.
  run.CleanUp();
  return {true, "", ""};
}

Recovery Recover(const std::string& folder, FileOps& ops, InstallObserver* observer)
{
  const std::string path = PathIn(folder, JournalName());
  int counter = 0;
  Steps steps(observer, &counter);
  if (!ops.Exists(path)) {
    RemoveJournalTemporary(folder, ops, steps);
    return {RecoveryOutcome::Nothing, ""};
  }
  std::string text;
  std::string failure = ops.Read(path, &text);
  if (!failure.empty())
    return {RecoveryOutcome::Damaged, Because("无法读取更新记录", failure)};
  Journal journal;
  failure = ParseJournal(text, &journal);
  if (failure.empty())
    failure = LeadsOutside(folder, ops, journal);
  if (!failure.empty())
    return {RecoveryOutcome::Damaged, failure};

  RecoveryOutcome outcome = RecoveryOutcome::Completed;
  if (journal.phase == Journal::Phase::Committed || journal.phase == Journal::Phase::Finished) {
    if (journal.phase == Journal::Phase::Finished)
      outcome = RecoveryOutcome::CleanedUp;
    failure = FinishCommitted(folder, ops, journal.asides, steps);
  } else if (journal.phase == Journal::Phase::Download) {
    outcome = RecoveryOutcome::DownloadDiscarded;
    failure = KeepParts(folder, ops, journal, steps);
  } else {
    outcome = RecoveryOutcome::RolledBack;
    failure = Undo(folder, ops, journal, steps);
    if (failure.empty())
      failure = DeleteJournal(folder, ops, steps);
  }
  return {failure.empty() ? outcome : RecoveryOutcome::Unfinished, failure};
}

}  // namespace engine
