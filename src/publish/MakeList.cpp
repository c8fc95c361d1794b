#include "publish/MakeList.h"

#include "engine/Names.h"
#include "modules/modPublic.h"
#include "modules/modSign.h"
#include "modules/modXml.h"
#include "platform/Crypto.h"
#include "platform/FileSys.h"
#include "publish/Text.h"

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <map>
#include <ostream>
#include <vector>

namespace fs = std::filesystem;

namespace {
// Files at least this large get a progress line while they are hashed.
constexpr std::int64_t ProgressBytes = 16 * 1024 * 1024;

// Why the list cannot be made; one line, shown as it is.
struct Refusal {
  std::string message;
};

struct ReleaseFile {
  std::string name;  // as listed: "\" between folders
  std::string path;  // where it is read from, a link's own path for a linked file
  std::int64_t size = 0;
  std::string ver;
  std::string sha256;  // the 32 bytes
};

// What an earlier list says of one file.
struct PreviousFile {
  std::string ver;
  std::string sha256;
};

// The name quoted, for messages.
std::string Shown(const std::string& name)
{
  return '"' + VisibleText(name) + '"';
}

// The listed form of a path relative to the release ("/" between folders). Refuses a name
// the updater would refuse, or one whose "\" would read as a folder separator.
std::string ListedName(const std::string& relative)
{
  if (relative.find('\\') != std::string::npos)
    throw Refusal{Shown(relative) + ": a \"\\\" in a name would read as a folder separator"};
  if (!engine::IsUtf8(relative) || relative.find("\xEF\xBF\xBD") != std::string::npos)
    throw Refusal{Shown(relative) + ": the name is not valid UTF-8"};
  std::string name = relative;
  std::replace(name.begin(), name.end(), '/', '\\');
  if (!IsSafeRelativeName(name))
    throw Refusal{Shown(relative) + ": the updater refuses this name"};
  return name;
}

// Paths are UTF-8 with "/" between folders on every system; these convert to and from the system's.
fs::path FsPath(const std::string& path)
{
  return fs::u8path(path);
}

std::string PathText(const fs::path& path)
{
  return path.generic_u8string();
}

bool IsInside(const std::string& root, const std::string& real)
{
  const std::string prefix = root.back() == '/' ? root : root + '/';
  return real.compare(0, prefix.size(), prefix) == 0;
}

// The entries of a folder by name; a folder that cannot be listed is refused.
std::vector<fs::directory_entry> Entries(const std::string& path, const std::string& shown)
{
  std::error_code error;
  std::vector<fs::directory_entry> entries;
  for (fs::directory_iterator it(FsPath(path), error), end; !error && it != end; it.increment(error))
    entries.push_back(*it);
  if (error)
    throw Refusal{Shown(shown) + ": the folder cannot be read"};
  std::sort(entries.begin(), entries.end(), [](const fs::directory_entry& a, const fs::directory_entry& b) {
    return a.path().filename() < b.path().filename();
  });
  return entries;
}

// A link is served as the file it leads to; anything reached through it must be part of the release.
ReleaseFile LinkedFile(const std::string& root, const std::string& relative, const std::string& name,
                       const std::string& path)
{
  std::error_code error;
  const std::string target = PathText(fs::canonical(FsPath(path), error));
  if (error)
    throw Refusal{Shown(relative) + ": the link leads nowhere"};
  if (!IsInside(root, target))
    throw Refusal{Shown(relative) + ": the link leads outside the release folder"};
  if (!fs::is_regular_file(FsPath(target), error))
    throw Refusal{Shown(relative) + ": a link to a folder is not supported"};
  return {name, path, std::int64_t(fs::file_size(FsPath(target), error)), {}, {}};
}

// Appends every file below root/folder ("" for root itself) to files.
void CollectFiles(const std::string& root, const std::string& folder, std::vector<ReleaseFile>& files)
{
  const std::string listName = ServerListName();
  const std::string path = folder.empty() ? root : root + '/' + folder;
  for (const fs::directory_entry& entry : Entries(path, folder.empty() ? root : folder)) {
    const std::string fileName = PathText(entry.path().filename());
    if (folder.empty() && (fileName == listName || fileName == SignatureName(ServerListName())))
      continue;
    const std::string relative = folder.empty() ? fileName : folder + '/' + fileName;
    const std::string name = ListedName(relative);
    std::error_code error;
    const fs::file_status status = entry.symlink_status(error);
    if (fs::is_symlink(status))
      files.push_back(LinkedFile(root, relative, name, PathText(entry.path())));
    else if (fs::is_directory(status))
      CollectFiles(root, relative, files);
    else if (fs::is_regular_file(status))
      files.push_back({name, PathText(entry.path()), std::int64_t(entry.file_size(error)), {}, {}});
    else
      throw Refusal{Shown(relative) + ": not a regular file"};
  }
}

std::vector<std::string> ReadNotes(const std::string& path)
{
  std::string text;
  const std::string failure = ReadFileStart(path, std::string::npos, &text);
  if (!failure.empty())
    throw Refusal{path + ": " + failure};
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
    text.erase(0, 3);
  if (!engine::IsUtf8(text))
    throw Refusal{path + ": the notes are not UTF-8"};
  std::vector<std::string> notes;
  for (std::size_t start = 0; start <= text.size();) {
    const std::size_t end = std::min(text.find('\n', start), text.size());
    const std::string note = TrimmedUnicode(text.substr(start, end - start));
    start = end + 1;
    if (note.empty())
      continue;
    if (std::any_of(note.begin(), note.end(), [](char c) { return (c >= 0 && c < 0x20 && c != '\t') || c == 0x7F; }))
      throw Refusal{path + ": line " + std::to_string(notes.size() + 1) + " holds a control character"};
    notes.push_back(note);
  }
  return notes;
}

// The files of an earlier list by name.
std::map<std::string, PreviousFile> ReadPreviousList(const std::string& path)
{
  XmlDocument document;
  if (!document.Load(path))
    throw Refusal{path + ": " + document.ParseErrorReason()};
  std::map<std::string, PreviousFile> listed;
  try {
    const XmlNode files = RequireNode(document, "Files");
    for (int i = 0; i < files.ChildCount(); ++i) {
      const ListedFile file = ReadListedFile(files.Child(i), i);
      listed[file.name] = {file.ver, file.sha256};
    }
  } catch (const ListFormatError& error) {
    throw Refusal{path + ": " + error.what()};
  }
  return listed;
}

void HashFiles(std::vector<ReleaseFile>& files, std::ostream& err)
{
  for (ReleaseFile& file : files) {
    if (file.size >= ProgressBytes)
      err << "hashing " << file.name << " (" << file.size / (1024 * 1024) << " MiB)" << std::endl;
    std::string digest;
    const std::string failure = Sha256OfFile(file.path, &digest);
    if (!failure.empty())
      throw Refusal{Shown(file.name) + ": " + failure};
    file.sha256 = digest;
  }
}

// text escaped for XML. Tab, line feed and carriage return are kept in element text and
// escaped in attributes; other control characters and U+FFFE, U+FFFF cannot appear in XML
// and are left out.
std::string XmlEscaped(const std::string& text, bool attribute)
{
  std::string escaped;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t start = pos;
    const char32_t c = NextCodePoint(text, &pos);
    switch (c) {
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '&':
        escaped += "&amp;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\t':
        escaped += attribute ? "&#9;" : "\t";
        break;
      case '\n':
        escaped += attribute ? "&#10;" : "\n";
        break;
      case '\r':
        escaped += attribute ? "&#13;" : "\r";
        break;
      default:
        if (c == 0xFFFD)  // also what stands for a malformed byte
          escaped += "\xEF\xBF\xBD";
        else if ((c >= 0x20 && c < 0xFFFE) || c > 0xFFFF)
          escaped += text.substr(start, pos - start);
    }
  }
  return escaped;
}

// A small XML writer: UTF-8, two spaces a level, an element without content closed as "<name/>".
class XmlWriter {
public:
  void Start(const std::string& name)
  {
    CloseStartTag();
    m_xml += Indent() + '<' + name;
    m_open.push_back(name);
    m_startTagOpen = true;
  }
  void Attribute(const std::string& name, const std::string& value)
  {
    m_xml += ' ' + name + "=\"" + XmlEscaped(value, true) + '"';
  }
  void End()
  {
    const std::string name = m_open.back();
    m_open.pop_back();
    m_xml += m_startTagOpen ? "/>\n" : Indent() + "</" + name + ">\n";
    m_startTagOpen = false;
  }
  void TextElement(const std::string& name, const std::string& text)
  {
    CloseStartTag();
    m_xml += Indent() + '<' + name + '>' + XmlEscaped(text, false) + "</" + name + ">\n";
  }
  const std::string& Document() const { return m_xml; }

private:
  void CloseStartTag()
  {
    if (m_startTagOpen)
      m_xml += ">\n";
    m_startTagOpen = false;
  }
  std::string Indent() const { return std::string(2 * m_open.size(), ' '); }

  std::string m_xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  std::vector<std::string> m_open;
  bool m_startTagOpen = false;
};

std::string Hex(const std::string& bytes)
{
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (const unsigned char byte : bytes)
    hex += std::string{digits[byte >> 4], digits[byte & 15]};
  return hex;
}

std::string ListXml(const std::string& version, const std::vector<std::string>& notes,
                    const std::vector<ReleaseFile>& files, const std::string& runApp)
{
  XmlWriter writer;
  writer.Start("UpdateList");
  writer.TextElement("Version", version);
  writer.Start("Updata");
  for (const std::string& note : notes) {
    writer.Start("Note");
    writer.Attribute("Info", note);
    writer.End();
  }
  writer.End();
  writer.Start("Files");
  for (const ReleaseFile& file : files) {
    writer.Start("File");
    writer.Attribute("Name", file.name);
    writer.Attribute("Ver", file.ver);
    writer.Attribute("Size", std::to_string(file.size));
    writer.Attribute("Sha256", Hex(file.sha256));
    writer.End();
  }
  writer.End();
  writer.TextElement("RunApp", runApp);
  writer.End();
  return writer.Document();
}

// The text as one word for a POSIX shell.
std::string ShellWord(const std::string& text)
{
  static const std::string plain = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_./:@%+=,-";
  if (!text.empty() && text.find_first_not_of(plain) == std::string::npos)
    return text;
  std::string quoted = "'";
  for (const char c : text)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + '\'';
}

// The path without "." and ".." segments, repeated or trailing "/", as it is shown.
std::string CleanPath(const std::string& path)
{
  std::string clean = PathText(FsPath(path).lexically_normal());
  if (clean.size() > 1 && clean.back() == '/')
    clean.pop_back();
  return clean;
}

// The release folder with links resolved; refused when it is no folder.
std::string ReleaseRoot(const std::string& releaseDir)
{
  std::error_code error;
  const std::string root = PathText(fs::canonical(FsPath(releaseDir), error));
  if (error || !fs::is_directory(FsPath(root), error))
    throw Refusal{releaseDir + ": not a folder"};
  // The file routines read "\" as a separator.
  if (root.find('\\') != std::string::npos)
    throw Refusal{releaseDir + ": a \"\\\" in the folder's path is not supported"};
  return root;
}

// The release's files, sorted as listed, refused when two would be one file on Windows.
std::vector<ReleaseFile> ReleaseFiles(const std::string& root)
{
  std::vector<ReleaseFile> files;
  CollectFiles(root, std::string(), files);
  std::sort(files.begin(), files.end(),
            [](const ReleaseFile& a, const ReleaseFile& b) { return Utf16Less(a.name, b.name); });
  engine::CaseClashes clashes;
  for (const ReleaseFile& file : files) {
    const std::string earlier = clashes.Add(file.name);
    if (!earlier.empty())
      throw Refusal{Shown(earlier) + " and " + Shown(file.name)
                    + ": the names differ only in letter case, and Windows takes them for one file"};
  }
  return files;
}

// The command that signs the list, its trusted comment telling the updater when it was made,
// for which name, and until when it holds.
std::string SignCommand(const MakeOptions& options)
{
  const std::string listName = ServerListName();
  const std::int64_t now = std::time(nullptr);
  std::string comment = "timestamp:" + std::to_string(now) + " file:" + listName;
  if (options.expiresDays > 0)
    comment += " expires:" + std::to_string(now + std::int64_t(options.expiresDays) * 86400);
  return "minisign -S -t \"" + comment + "\" -m " + ShellWord(CleanPath(options.releaseDir) + '/' + listName)
         + "    # add -s FILE to choose the secret key";
}

void MakeList(const MakeOptions& options, std::ostream& out, std::ostream& err)
{
  const std::string version = TrimmedUnicode(options.version);
  if (version.empty()
      || std::any_of(version.begin(), version.end(), [](char c) { return c >= 0 && (c < 0x20 || c == 0x7F); }))
    throw Refusal{"--version must be a non-empty line of text"};
  const std::string root = ReleaseRoot(options.releaseDir);
  const std::vector<std::string> notes =
      options.notesPath.empty() ? std::vector<std::string>() : ReadNotes(options.notesPath);
  const std::map<std::string, PreviousFile> previous =
      options.previousPath.empty() ? std::map<std::string, PreviousFile>() : ReadPreviousList(options.previousPath);

  std::vector<ReleaseFile> files = ReleaseFiles(root);
  // The updater reads RunApp with surrounding white space removed.
  std::string runApp = options.runApp;
  std::replace(runApp.begin(), runApp.end(), '/', '\\');
  const bool listed =
      std::any_of(files.cbegin(), files.cend(), [&](const ReleaseFile& file) { return file.name == runApp; });
  if (!listed || runApp != TrimmedUnicode(runApp))
    throw Refusal{"--run-app " + Shown(options.runApp) + " is not a file of the release"};

  HashFiles(files, err);
  for (ReleaseFile& file : files) {
    const auto old = previous.find(file.name);
    const bool same = old != previous.end() && !old->second.sha256.empty() && old->second.sha256 == file.sha256;
    file.ver = same ? old->second.ver : version;
  }

  const std::string listName = ServerListName();
  const std::string failure = WriteFileAtomically(root + '/' + listName,
                                                  ListXml(version, notes, files, runApp))
                                  ;
  if (!failure.empty())
    throw Refusal{CleanPath(options.releaseDir) + '/' + listName + ": " + failure};
  out << SignCommand(options) << std::endl;
}
}  // namespace

int MakeUpdateList(const MakeOptions& options, std::ostream& out, std::ostream& err)
{
  try {
    MakeList(options, out, err);
    return 0;
  } catch (const Refusal& refusal) {
    err << "MervoPublish: " << refusal.message << std::endl;
    return 1;
  }
}
