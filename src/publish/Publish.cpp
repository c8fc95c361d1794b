#include "publish/Publish.h"

#include "modules/modPublic.h"
#include "publish/CheckServer.h"
#include "publish/MakeList.h"

#include <QCommandLineParser>
#include <QTextStream>

namespace {
const QString ToolName = QStringLiteral("MervoPublish");
constexpr int ExitUsage = 2;

const char* const OverviewText =
    "Usage: MervoPublish make [options] RELEASE_DIR\n"
    "       MervoPublish check [options] BASEURL\n"
    "Builds the update list of a release, and checks a server against its list.\n"
    "\n"
    "  make     write RELEASE_DIR/UpdList.xml listing every file of the release\n"
    "  check    compare every file that BASEURL serves with its UpdList.xml\n"
    "\n"
    "Run \"MervoPublish VERB --help\" for a verb's options.\n"
    "Exit status: 0 on success, 1 when refused or on any difference, 2 on a command-line error.\n";

int UsageError(QTextStream& err, const QString& message)
{
  err << ToolName << ": " << message << " (try --help)" << Qt::endl;
  return ExitUsage;
}

// The verb's help: Qt's option table under a usage line naming the tool, not the process.
QString VerbHelp(const QCommandLineParser& parser, const QString& usage)
{
  const QString text = parser.helpText();
  return QStringLiteral("Usage: %1 %2\n").arg(ToolName, usage) + text.mid(text.indexOf(u'\n') + 1);
}

// Parses a verb's arguments (those after the verb). False after a usage error on err.
bool ParseVerb(QCommandLineParser& parser, const QStringList& arguments, QTextStream& err)
{
  parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsCompactedShortOptions);
  if (!parser.parse(QStringList{arguments.value(0)} + arguments.mid(2))) {
    UsageError(err, parser.errorText());
    return false;
  }
  return true;
}

int RunMake(const QStringList& arguments, QTextStream& out, QTextStream& err)
{
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Writes RELEASE_DIR/UpdList.xml: every file below the folder with its size and SHA-256."));
  const QCommandLineOption help({"h", "help"}, "Show this help.");
  const QCommandLineOption version("version", "The release's version (required).", "TEXT");
  const QCommandLineOption runApp("run-app", "The file started after an update (required).", "NAME");
  const QCommandLineOption notes("notes", "Release notes: one note per non-empty UTF-8 line.", "FILE");
  const QCommandLineOption previous(
      "previous", "An earlier UpdList.xml: files it lists with the same SHA-256 keep their Ver.", "OLDLIST");
  const QCommandLineOption expires("expires-days", "The signed list expires N days from now.", "N");
  parser.addOptions({help, version, runApp, notes, previous, expires});
  parser.addPositionalArgument("RELEASE_DIR", "The folder holding the release's files.");
  const QString usage = QStringLiteral("make --version TEXT --run-app NAME [options] RELEASE_DIR");
  if (!ParseVerb(parser, arguments, err))
    return ExitUsage;
  if (parser.isSet(help)) {
    out << VerbHelp(parser, usage) << Qt::flush;
    return 0;
  }
  if (!parser.isSet(version) || !parser.isSet(runApp))
    return UsageError(err, QStringLiteral("make needs --version and --run-app"));
  if (parser.positionalArguments().size() != 1)
    return UsageError(err, QStringLiteral("make needs exactly one RELEASE_DIR"));
  MakeOptions options;
  if (parser.isSet(expires)) {
    bool ok = false;
    options.expiresDays = parser.value(expires).toInt(&ok);
    if (!ok || options.expiresDays <= 0 || options.expiresDays > 36500)
      return UsageError(err, QStringLiteral("--expires-days needs a whole number of days from 1 to 36500"));
  }
  options.version = parser.value(version);
  options.runApp = parser.value(runApp);
  options.notesPath = parser.value(notes);
  options.previousPath = parser.value(previous);
  options.releaseDir = parser.positionalArguments().constFirst();
  return MakeUpdateList(options, out, err);
}

int RunCheck(const QStringList& arguments, QTextStream& out, QTextStream& err)
{
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Fetches BASEURL/UpdList.xml and compares every listed file the server delivers with it."));
  const QCommandLineOption help({"h", "help"}, "Show this help.");
  const QCommandLineOption publicKey(
      "public-key", "Verify UpdList.xml.minisig with this minisign key (\"RW...\" or a .pub file).", "KEY");
  parser.addOptions({help, publicKey});
  parser.addPositionalArgument("BASEURL", "The server's http or https address, ending in \"/\".");
  if (!ParseVerb(parser, arguments, err))
    return ExitUsage;
  if (parser.isSet(help)) {
    out << VerbHelp(parser, QStringLiteral("check [--public-key KEY] BASEURL")) << Qt::flush;
    return 0;
  }
  if (parser.positionalArguments().size() != 1)
    return UsageError(err, QStringLiteral("check needs exactly one BASEURL"));
  CheckOptions options;
  options.baseUrl = parser.positionalArguments().constFirst();
  options.publicKey = parser.value(publicKey);
  if (!IsValidUpdateUrl(options.baseUrl.toStdString()))
    return UsageError(err, QStringLiteral("BASEURL must be an http or https address ending in \"/\""));
  return CheckServer(options, out, err);
}

// The options that may come before a verb: --help and --version.
int RunWithoutVerb(const QStringList& arguments, QTextStream& out, QTextStream& err)
{
  QCommandLineParser parser;
  const QCommandLineOption help(QStringList{"h", "help"});
  const QCommandLineOption version("version");
  parser.addOptions({help, version});
  if (!parser.parse(arguments))
    return UsageError(err, parser.errorText());
  if (parser.isSet(version)) {
    out << ToolName << ' ' << MERVO_VERSION << Qt::endl;
    return 0;
  }
  if (parser.isSet(help)) {
    out << OverviewText << Qt::flush;
    return 0;
  }
  return UsageError(err, QStringLiteral("a verb is needed: make or check"));
}
}

QString VisibleText(const QString& text)
{
  QString shown;
  for (const QChar c : text)
    shown += c.category() == QChar::Other_Control ? QStringLiteral("<U+%1>").arg(c.unicode(), 4, 16, QChar(u'0'))
                                                  : QString(c);
  return shown;
}

int RunPublish(const QStringList& arguments, QTextStream& out, QTextStream& err)
{
  // The verb comes first, as with git; each verb has options of its own.
  const QString verb = arguments.value(1);
  if (verb.isEmpty() || verb.startsWith(u'-'))
    return RunWithoutVerb(arguments, out, err);
  if (verb == QLatin1String("make"))
    return RunMake(arguments, out, err);
  if (verb == QLatin1String("check"))
    return RunCheck(arguments, out, err);
  return UsageError(err, QStringLiteral("unknown verb \"%1\"").arg(verb));
}
