#include "publish/MakeList.h"

#include "engine/Names.h"
#include "modules/modPublic.h"
#include "modules/modSign.h"
#include "modules/modXml.h"
#include "platform/Crypto.h"
#include "platform/FileSys.h"
#include "publish/Publish.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTextStream>
#include <QXmlStreamWriter>

#include <algorithm>

namespace {
// Files at least this large get a progress line while they are hashed.
constexpr qint64 ProgressBytes = 16 * 1024 * 1024;

// Why the list cannot be made; one line, shown as it is.
struct Refusal {
  QString message;
};

struct ReleaseFile {
  QString name;       // as listed: "\" between folders
  QString path;       // where it is read from, a link's own path for a linked file
  qint64 size = 0;
  QString ver;
  QByteArray sha256;
};

// The name quoted, for messages.
QString Shown(const QString& name)
{
  return u'"' + VisibleText(name) + u'"';
}

// The listed form of a path relative to the release ("/" between folders). Refuses a name
// the updater would refuse, or one whose "\" would read as a folder separator.
QString ListedName(const QString& relative)
{
  if (relative.contains(u'\\'))
    throw Refusal{Shown(relative) + QStringLiteral(": a \"\\\" in a name would read as a folder separator")};
  if (relative.contains(QChar::ReplacementCharacter))
    throw Refusal{Shown(relative) + QStringLiteral(": the name is not valid UTF-8")};
  const QString name = QString(relative).replace(u'/', u'\\');
  if (!IsSafeRelativeName(name.toStdString()))
    throw Refusal{Shown(relative) + QStringLiteral(": the updater refuses this name")};
  return name;
}

bool IsInside(const QString& root, const QString& real)
{
  return real.startsWith(root.endsWith(u'/') ? root : root + u'/');
}

// Appends every file below root/folder ("" for root itself) to files.
void CollectFiles(const QString& root, const QString& folder, QList<ReleaseFile>& files)
{
  const QString path = folder.isEmpty() ? root : root + u'/' + folder;
  if (!QFileInfo(path).isReadable())
    throw Refusal{Shown(folder.isEmpty() ? root : folder) + QStringLiteral(": the folder cannot be read")};
  const QFileInfoList entries =
      QDir(path).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
  for (const QFileInfo& entry : entries) {
    const QString fileName = entry.fileName();
    if (folder.isEmpty()
        && (fileName.toStdString() == ServerListName() || fileName.toStdString() == SignatureName(ServerListName())))
      continue;
    const QString relative = folder.isEmpty() ? entry.fileName() : folder + u'/' + entry.fileName();
    const QString name = ListedName(relative);
    if (entry.isSymLink()) {
      // Served as the file it leads to; anything reached through it must be part of the release.
      const QString target = entry.canonicalFilePath();
      if (target.isEmpty())
        throw Refusal{Shown(relative) + QStringLiteral(": the link leads nowhere")};
      if (!IsInside(root, target))
        throw Refusal{Shown(relative) + QStringLiteral(": the link leads outside the release folder")};
      if (!QFileInfo(target).isFile())
        throw Refusal{Shown(relative) + QStringLiteral(": a link to a folder is not supported")};
      files.append({name, entry.absoluteFilePath(), QFileInfo(target).size(), {}, {}});
    } else if (entry.isDir()) {
      CollectFiles(root, relative, files);
    } else if (entry.isFile()) {
      files.append({name, entry.absoluteFilePath(), entry.size(), {}, {}});
    } else {
      throw Refusal{Shown(relative) + QStringLiteral(": not a regular file")};
    }
  }
}

QStringList ReadNotes(const QString& path)
{
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly))
    throw Refusal{path + QStringLiteral(": ") + file.errorString()};
  QStringDecoder decoder(QStringDecoder::Utf8);
  const QString text = decoder(file.readAll());
  if (decoder.hasError())
    throw Refusal{path + QStringLiteral(": the notes are not UTF-8")};
  QStringList notes;
  for (const QString& line : text.split(u'\n')) {
    const QString note = line.trimmed();
    if (note.isEmpty())
      continue;
    if (note.contains(QRegularExpression(QStringLiteral("[\\x00-\\x08\\x0b-\\x1f\\x7f]"))))
      throw Refusal{path + QStringLiteral(": line %1 holds a control character").arg(notes.size() + 1)};
    notes << note;
  }
  return notes;
}

// The files of an earlier list by name.
QHash<QString, ListedFile> ReadPreviousList(const QString& path)
{
  XmlDocument document;
  if (!document.Load(path.toStdString()))
    throw Refusal{path + QStringLiteral(": ") + QString::fromStdString(document.ParseErrorReason())};
  QHash<QString, ListedFile> listed;
  try {
    const XmlNode files = RequireNode(document, "Files");
    for (int i = 0; i < files.ChildCount(); ++i) {
      const ListedFile file = ReadListedFile(files.Child(i), i);
      listed.insert(QString::fromStdString(file.name), file);
    }
  } catch (const ListFormatError& error) {
    throw Refusal{path + QStringLiteral(": ") + QString::fromStdString(error.Description())};
  }
  return listed;
}

void HashFiles(QList<ReleaseFile>& files, QTextStream& err)
{
  for (ReleaseFile& file : files) {
    if (file.size >= ProgressBytes)
      err << "hashing " << file.name << " (" << file.size / (1024 * 1024) << " MiB)" << Qt::endl;
    std::string digest;
    const std::string failure = Sha256OfFile(file.path.toStdString(), &digest);
    if (!failure.empty())
      throw Refusal{Shown(file.name) + QStringLiteral(": ") + QString::fromStdString(failure)};
    file.sha256 = QByteArray::fromStdString(digest);
  }
}

QByteArray ListXml(const MakeOptions& options, const QStringList& notes, const QList<ReleaseFile>& files,
                   const QString& runApp)
{
  QByteArray xml;
  QXmlStreamWriter writer(&xml);
  writer.setAutoFormatting(true);
  writer.setAutoFormattingIndent(2);
  writer.writeStartDocument();
  writer.writeStartElement(QStringLiteral("UpdateList"));
  writer.writeTextElement(QStringLiteral("Version"), options.version.trimmed());
  writer.writeStartElement(QStringLiteral("Updata"));
  for (const QString& note : notes) {
    writer.writeEmptyElement(QStringLiteral("Note"));
    writer.writeAttribute(QStringLiteral("Info"), note);
  }
  writer.writeEndElement();
  writer.writeStartElement(QStringLiteral("Files"));
  for (const ReleaseFile& file : files) {
    writer.writeEmptyElement(QStringLiteral("File"));
    writer.writeAttribute(QStringLiteral("Name"), file.name);
    writer.writeAttribute(QStringLiteral("Ver"), file.ver);
    writer.writeAttribute(QStringLiteral("Size"), QString::number(file.size));
    writer.writeAttribute(QStringLiteral("Sha256"), QString::fromLatin1(file.sha256.toHex()));
  }
  writer.writeEndElement();
  writer.writeTextElement(QStringLiteral("RunApp"), runApp);
  writer.writeEndDocument();
  return xml;
}

// The text as one word for a POSIX shell.
QString ShellWord(const QString& text)
{
  static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./:@%+=,-]+$"));
  if (plain.match(text).hasMatch())
    return text;
  return u'\'' + QString(text).replace(u'\'', QStringLiteral("'\\''")) + u'\'';
}

void MakeList(const MakeOptions& options, QTextStream& out, QTextStream& err)
{
  const QString version = options.version.trimmed();
  if (version.isEmpty() || version.contains(QRegularExpression(QStringLiteral("[\\x00-\\x1f\\x7f]"))))
    throw Refusal{QStringLiteral("--version must be a non-empty line of text")};
  const QString root = QFileInfo(options.releaseDir).canonicalFilePath();
  if (root.isEmpty() || !QFileInfo(root).isDir())
    throw Refusal{options.releaseDir + QStringLiteral(": not a folder")};
  // The file routines read "\" as a separator.
  if (root.contains(u'\\'))
    throw Refusal{options.releaseDir + QStringLiteral(": a \"\\\" in the folder's path is not supported")};

  const QStringList notes = options.notesPath.isEmpty() ? QStringList() : ReadNotes(options.notesPath);
  const QHash<QString, ListedFile> previous =
      options.previousPath.isEmpty() ? QHash<QString, ListedFile>() : ReadPreviousList(options.previousPath);

  QList<ReleaseFile> files;
  CollectFiles(root, QString(), files);
  std::sort(files.begin(), files.end(),
            [](const ReleaseFile& a, const ReleaseFile& b) { return a.name < b.name; });
  engine::CaseClashes clashes;
  for (const ReleaseFile& file : files) {
    const QString earlier = QString::fromStdString(clashes.Add(file.name.toStdString()));
    if (!earlier.isEmpty())
      throw Refusal{Shown(earlier) + QStringLiteral(" and ") + Shown(file.name)
                    + QStringLiteral(": the names differ only in letter case, and Windows takes them for one file")};
  }
  // The updater reads RunApp with surrounding white space removed.
  const QString runApp = QString(options.runApp).replace(u'/', u'\\');
  const bool listed = std::any_of(files.cbegin(), files.cend(),
                                  [&](const ReleaseFile& file) { return file.name == runApp; });
  if (!listed || runApp != runApp.trimmed())
    throw Refusal{QStringLiteral("--run-app ") + Shown(options.runApp) + QStringLiteral(" is not a file of the release")};

  HashFiles(files, err);
  for (ReleaseFile& file : files) {
    const ListedFile old = previous.value(file.name);
    file.ver = !old.sha256.empty() && QByteArray::fromStdString(old.sha256) == file.sha256 ? QString::fromStdString(old.ver) : version;
  }

  const QString listPath = QDir::cleanPath(options.releaseDir) + u'/' + QString::fromStdString(ServerListName());
  const QString failure = QString::fromStdString(WriteFileAtomically(
      (root + u'/').toStdString() + ServerListName(), ListXml(options, notes, files, runApp).toStdString()));
  if (!failure.isEmpty())
    throw Refusal{listPath + QStringLiteral(": ") + failure};
  // The updater refuses a list signed for another name, signed before the last one it took, or expired.
  const qint64 now = QDateTime::currentSecsSinceEpoch();
  QString comment = QStringLiteral("timestamp:%1 file:%2").arg(now).arg(QString::fromStdString(ServerListName()));
  if (options.expiresDays > 0)
    comment += QStringLiteral(" expires:%1").arg(now + qint64(options.expiresDays) * 86400);
  out << "minisign -S -t \"" << comment << "\" -m " << ShellWord(listPath)
      << "    # add -s FILE to choose the secret key" << Qt::endl;
}
}

int MakeUpdateList(const MakeOptions& options, QTextStream& out, QTextStream& err)
{
  try {
    MakeList(options, out, err);
    return 0;
  } catch (const Refusal& refusal) {
    err << "MervoPublish: " << refusal.message << Qt::endl;
    return 1;
  }
}
