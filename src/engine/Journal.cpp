#include "engine/Journal.h"

#include "engine/Names.h"
#include "engine/Paths.h"

#include <set>

namespace engine {

namespace {
const std::string Header = "MervoUpdate journal ";
// Version 2 adds the kept files' fields; a journal without them is still written as 1.
const std::string Version = "1";
const std::string KeepingVersion = "2";
const std::string EndMarker = "end";

const std::string Incomplete = "记录不完整";
const std::string Unrecognised = "记录格式无法识别";

std::vector<std::string> Split(const std::string& text, char separator)
{
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  for (;;) {
    const std::string::size_type end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos)
      return parts;
    start = end + 1;
  }
}

bool EndsWith(const std::string& text, const std::string& suffix)
{
  return text.size() > suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string BadName(const std::string& name)
{
  return "记录中的文件名无效：" + name;
}

bool IsHex(char c)
{
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A ".tmp" record: a plain one, or with keeps, one of a file kept when its download is cut short.
std::string ParseTemporary(const std::vector<std::string>& fields, bool keeps, Journal* journal)
{
  const std::string& temporary = fields[1];
  if (!IsSafeRelativeName(temporary) || !EndsWith(temporary, TemporarySuffix))
    return BadName(temporary);
  if (fields.size() == 2) {
    journal->temporaries.push_back(temporary);
    return "";
  }
  if (!keeps || journal->phase != Journal::Phase::Download)
    return Unrecognised;
  KeepableFile file{temporary.substr(0, temporary.size() - (sizeof TemporarySuffix - 1)), 0, fields[3], fields[4]};
  const std::string& size = fields[2];
  bool valid = !size.empty() && size.size() <= 18 && file.sha256.size() == 64 && !file.validator.empty();
  for (const char c : size)
    valid = valid && c >= '0' && c <= '9';
  for (char& c : file.sha256) {
    valid = valid && IsHex(c);
    c = static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
  }
  if (!valid)
    return "记录中的文件大小或校验值无效：" + temporary;
  file.size = std::stoll(size);
  journal->keepable.push_back(file);
  return "";
}

// Reads one record line of the phase into journal; "" or why it is damaged.
std::string ParseRecord(const std::vector<std::string>& fields, bool keeps, Journal* journal,
                        std::set<std::string>* seen)
{
  using Phase = Journal::Phase;
  const std::string& kind = fields[0];
  std::vector<std::string> names;
  const bool committed = journal->phase == Phase::Committed || journal->phase == Phase::Finished;
  if (kind == "tmp" && (fields.size() == 2 || fields.size() == 5) && !committed) {
    const std::string failure = ParseTemporary(fields, keeps, journal);
    if (!failure.empty())
      return failure;
    names = {fields[1]};
  } else if (kind == "aside" && fields.size() == 2 && committed) {
    if (!IsSafeRelativeName(fields[1]) || !EndsWith(fields[1], AsideSuffix))
      return BadName(fields[1]);
    journal->asides.push_back(fields[1]);
    names = {fields[1]};
  } else if (kind == "file" && fields.size() == 5 && journal->phase == Phase::Install
             && (fields[1] == "existed" || fields[1] == "new")) {
    const std::string& name = fields[2];
    if (!IsSafeRelativeName(name))
      return BadName(name);
    // Recovery renames and removes these: they must be the target's own.
    if (fields[3] != AsideName(name))
      return BadName(fields[3]);
    if (fields[4] != TemporaryName(name))
      return BadName(fields[4]);
    journal->targets.push_back({name, fields[1] == "existed"});
    names = {name, fields[3], fields[4]};
  } else {
    return Unrecognised;
  }
  for (const std::string& name : names)
    if (!seen->insert(name).second)
      return "记录中的文件名重复：" + name;
  return "";
}
}  // namespace

std::string TemporaryName(const std::string& name)
{
  return name + TemporarySuffix;
}

std::string AsideName(const std::string& name)
{
  return name + AsideSuffix;
}

std::string FormatJournal(const Journal& journal)
{
  static const char* const PhaseNames[] = {"download", "install", "committed", "finished"};
  const std::string& version = journal.keepable.empty() ? Version : KeepingVersion;
  std::string text = Header + version + "\n" + PhaseNames[static_cast<int>(journal.phase)] + "\n";
  for (const std::string& name : journal.temporaries)
    text += "tmp\t" + name + "\n";
  for (const KeepableFile& file : journal.keepable)
    text += "tmp\t" + TemporaryName(file.name) + "\t" + std::to_string(file.size) + "\t" + file.sha256 + "\t"
            + file.validator + "\n";
  for (const JournalTarget& target : journal.targets)
    text += "file\t" + std::string(target.existed ? "existed" : "new") + "\t" + target.name + "\t"
            + AsideName(target.name) + "\t" + TemporaryName(target.name) + "\n";
  for (const std::string& name : journal.asides)
    text += "aside\t" + name + "\n";
  return text + EndMarker + "\n";
}

std::string ParseJournal(const std::string& text, Journal* journal)
{
  // A file cut off inside its first line is as incomplete as one cut off later.
  if (text.find('\n') == std::string::npos && Header.compare(0, text.size(), text) == 0)
    return Incomplete;
  if (!IsUtf8(text))
    return Unrecognised;
  for (const char c : text)
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') || c == 0x7F)
      return Unrecognised;
  std::vector<std::string> lines = Split(text, '\n');
  if (lines[0].compare(0, Header.size(), Header) != 0)
    return Unrecognised;
  const std::string version = lines[0].substr(Header.size());
  if (version != Version && version != KeepingVersion)
    return "记录的版本无法识别";
  // The end marker comes last and alone: anything else means the write never finished.
  if (lines.size() < 3 || !lines.back().empty() || lines[lines.size() - 2] != EndMarker)
    return Incomplete;
  lines.resize(lines.size() - 2);

  Journal parsed;
  if (lines.size() < 2)
    return Unrecognised;
  if (lines[1] == "download")
    parsed.phase = Journal::Phase::Download;
  else if (lines[1] == "install")
    parsed.phase = Journal::Phase::Install;
  else if (lines[1] == "committed")
    parsed.phase = Journal::Phase::Committed;
  else if (lines[1] == "finished")
    parsed.phase = Journal::Phase::Finished;
  else
    return Unrecognised;
  std::set<std::string> seen;
  for (std::size_t i = 2; i < lines.size(); ++i) {
    const std::string failure = ParseRecord(Split(lines[i], '\t'), version == KeepingVersion, &parsed, &seen);
    if (!failure.empty())
      return failure;
  }
  *journal = parsed;
  return "";
}

std::string WriteJournal(FileOps& ops, const std::string& folder, const Journal& journal)
{
  return ops.WriteDurably(folder + "/" + JournalName(), FormatJournal(journal));
}

}  // namespace engine
