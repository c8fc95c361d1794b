#include "engine/Install.h"

#include "engine/Names.h"

#include <algorithm>
#include <set>

namespace engine {

namespace {
std::string PathIn(const std::string& folder, const std::string& name)
{
  return folder + "/" + name;
}

std::string FolderOf(const std::string& path)
{
  return path.substr(0, path.find_last_of('/'));
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

// Puts back the first `touched` targets of journal in reverse order, then removes every
// ".tmp" and kept-aside copy it names and flushes the folders. Safe to repeat after a
// crash at any point. Returns "" or the first failure (the rest is still attempted).
std::string Undo(const std::string& folder, FileOps& ops, const Journal& journal, std::size_t touched, Steps& steps)
{
  std::string failure;
  auto note = [&](const std::string& done, const std::string& failed, const std::string& reason) {
    if (failure.empty())
      failure = Because(failed, reason);
    if (reason.empty() && !done.empty())
      steps.Done(done);
  };
  std::set<std::string> folders = {folder};
  for (std::size_t i = touched; i-- > 0;) {
    const JournalTarget& target = journal.targets[i];
    const std::string path = PathIn(folder, target.name);
    const std::string aside = PathIn(folder, AsideName(target.name));
    folders.insert(FolderOf(path));
    // No aside copy: it was never made (the target is untouched) or is already back.
    if (target.existed && ops.Exists(aside))
      note("放回 " + target.name, "无法放回原文件 " + target.name, ops.Replace(aside, path));
    else if (!target.existed)
      note("删除 " + target.name, "无法删除新文件 " + target.name, ops.Remove(path));
  }
  std::vector<std::string> leftovers = journal.temporaries;
  for (std::size_t i = 0; i < journal.targets.size(); ++i) {
    leftovers.push_back(TemporaryName(journal.targets[i].name));
    if (i < touched && journal.targets[i].existed)
      leftovers.push_back(AsideName(journal.targets[i].name));
  }
  for (const std::string& name : leftovers)
    note("删除 " + name, "无法删除 " + name, ops.Remove(PathIn(folder, name)));
  // The old names are back on the disk before the journal that could restore them goes.
  for (const std::string& path : folders)
    note("", "无法把文件夹的改动写入磁盘", ops.FlushFolder(path));
  return failure;
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
// (a program still running from one) stay listed in the journal for the next start.
// Returns "" or the first failure.
std::string FinishCommitted(const std::string& folder, FileOps& ops, const std::vector<std::string>& asides,
                            Steps& steps)
{
  Journal remaining;
  remaining.phase = Journal::Phase::Committed;
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
  if (remaining.asides.size() < asides.size() && WriteJournal(ops, folder, remaining).empty())
    steps.Done("写入更新记录：committed");
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
  std::string failure = Undo(folder, ops, removed, 0, steps);
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
  Journal journal;
  journal.phase = Journal::Phase::Install;
  std::set<std::string> names;
  CaseClashes clashes;
  std::set<std::string> executables;
  std::string badName;
  for (const InstallItem& item : items) {
    if (item.executable)
      executables.insert(item.name);
    if (!names.insert(item.name).second)
      continue;
    // Two names that Windows takes for one file would replace it twice.
    if (!IsSafeRelativeName(item.name) || !clashes.Add(item.name).empty()) {
      badName = item.name;
      continue;
    }
    // Only what stands there now may be put back; anything else at a new name is ours.
    journal.targets.push_back({item.name, m_ops.Exists(PathIn(m_folder, item.name))});
  }
  for (const std::string& name : m_downloads)
    if (!names.count(name.substr(0, name.size() - 4)))
      journal.temporaries.push_back(name);

  std::size_t touched = 0;
  auto fail = [&](const std::string& name, const std::string& reason) {
    InstallResult result{false, name, reason};
    const std::string undone = Undo(m_folder, m_ops, journal, touched, steps);
    if (undone.empty())
      DeleteJournal(m_folder, m_ops, steps);
    else
      result.reason += "\n" + undone + "（下次启动时将再次恢复）";
    m_downloads.clear();
    m_written.clear();
    return result;
  };
  if (!badName.empty())
    return fail(badName, "文件名无效");
  // What a download keeps for resuming goes in only once this run has received all of it.
  for (const KeepableFile& file : m_keepable)
    if (names.count(file.name) && !m_written.count(file.name))
      return fail(file.name, "文件未下载完整");
  std::string failure = CheckedJournal(journal);
  if (!failure.empty())
    return fail("", Because("无法写入更新记录", failure));
  // A kept-aside copy left by an older run would be taken for this run's after a crash.
  std::vector<std::string> temporaries;
  for (const JournalTarget& target : journal.targets) {
    const std::string aside = PathIn(m_folder, AsideName(target.name));
    if (m_ops.Exists(aside)) {
      failure = m_ops.Remove(aside);
      if (!failure.empty())
        return fail(target.name, Because("无法删除旧的副本", failure));
      steps.Done("删除 " + AsideName(target.name));
    }
    temporaries.push_back(TemporaryName(target.name));
  }
  // The new data is on the disk before any name points at it.
  failure = m_ops.FlushNewFiles(m_folder, temporaries);
  if (!failure.empty())
    return fail("", Because("无法把下载的文件写入磁盘", failure));
  failure = WriteJournal(m_ops, m_folder, journal);
  if (!failure.empty())
    return fail("", Because("无法写入更新记录", failure));
  steps.Done("写入更新记录：install");

  std::set<std::string> folders;
  for (const JournalTarget& target : journal.targets) {
    ++touched;
    const std::string path = PathIn(m_folder, target.name);
    const std::string aside = PathIn(m_folder, AsideName(target.name));
    const std::string temporary = PathIn(m_folder, TemporaryName(target.name));
    // Only the very file the download wrote goes in, not one put in its place since.
    const auto written = m_written.find(target.name);
    FileIdentity identity;
    if (written != m_written.end() && (!m_ops.Identify(temporary, &identity).empty() || !(identity == written->second)))
      return fail(target.name, "下载的文件已被改动或替换");
    if (target.existed) {
      failure = m_ops.KeepAside(path, aside);
      if (!failure.empty())
        return fail(target.name, Because("无法保留原文件的副本", failure));
      steps.Done("保留 " + target.name);
    }
    // The aside copy is the old file even where keeping it aside moved it.
    failure = m_ops.AdoptPermissions(temporary, target.existed ? aside : path, executables.count(target.name) > 0);
    if (!failure.empty())
      return fail(target.name, Because("无法设置新文件的权限", failure));
    failure = m_ops.Replace(temporary, path);
    if (!failure.empty())
      return fail(target.name, Because("无法用新文件替换原文件", failure));
    steps.Done("替换 " + target.name);
    folders.insert(FolderOf(path));
  }
  // The renames are on the disk before the journal says they are done.
  for (const std::string& folder : folders) {
    failure = m_ops.FlushFolder(folder);
    if (!failure.empty())
      return fail("", Because("无法把替换后的文件写入磁盘", failure));
  }
  Journal committed;
  committed.phase = Journal::Phase::Committed;
  for (const JournalTarget& target : journal.targets)
    if (target.existed)
      committed.asides.push_back(AsideName(target.name));
  failure = WriteJournal(m_ops, m_folder, committed);
  if (!failure.empty()) {
    // The failed write may have reached the disk all the same: the undo must not be
    // taken for a clean-up if it is cut short.
    if (WriteJournal(m_ops, m_folder, journal).empty())
      steps.Done("写入更新记录：install");
    return fail("", Because("无法写入更新记录", failure));
  }
  steps.Done("写入更新记录：committed");
  m_downloads.clear();
  m_written.clear();
  // From here on the install stands; what is left of the clean-up waits for the next start.
  FinishCommitted(m_folder, m_ops, committed.asides, steps);
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
  if (journal.phase == Journal::Phase::Committed) {
    failure = FinishCommitted(folder, ops, journal.asides, steps);
  } else if (journal.phase == Journal::Phase::Download) {
    outcome = RecoveryOutcome::DownloadDiscarded;
    failure = KeepParts(folder, ops, journal, steps);
  } else {
    outcome = RecoveryOutcome::RolledBack;
    failure = Undo(folder, ops, journal, journal.targets.size(), steps);
    if (failure.empty())
      failure = DeleteJournal(folder, ops, steps);
  }
  return {failure.empty() ? outcome : RecoveryOutcome::Unfinished, failure};
}

}  // namespace engine
