#include "publish/CheckServer.h"

#include "modules/modPublic.h"
#include "modules/modSign.h"
#include "modules/modXml.h"
#include "platform/Crypto.h"
#include "platform/Inet.h"
#include "publish/Publish.h"

#include <QFile>
#include <QTextStream>

#include <optional>

namespace {
constexpr int ChunkBytes = 64 * 1024;

// The routines and the platform speak UTF-8 std::string.
QString QText(const std::string& text)
{
  return QString::fromStdString(text);
}

// Why the check cannot even start; one line on err.
struct CheckFailure {
  QString message;
};

// One line of the report: a tag ("ok", "MISMATCH", ...) and what is wrong.
struct Finding {
  QString tag;
  QString detail;
  bool IsProblem() const { return tag != QLatin1String("ok"); }
};

void Report(QTextStream& out, const QString& name, const Finding& finding)
{
  // Names and reasons come from the network.
  out << finding.tag.leftJustified(8) << ' ' << VisibleText(name);
  if (!finding.detail.isEmpty())
    out << ": " << VisibleText(finding.detail);
  out << Qt::endl;
}

// The key as text: the argument itself when it is a key, else what the file it names holds.
QString PublicKeyText(const QString& argument)
{
  if (ParseMinisignPublicKey(argument.toStdString()))
    return argument;
  QFile file(argument);
  if (!file.open(QIODevice::ReadOnly))
    throw CheckFailure{argument + QStringLiteral(": neither a minisign key nor a readable file (")
                       + file.errorString() + u')'};
  const QString text = QString::fromUtf8(file.read(MaxSignatureBytes));
  if (!ParseMinisignPublicKey(text.toStdString()))
    throw CheckFailure{argument + QStringLiteral(": not a minisign public key")};
  return text;
}

std::string Fetch(Inet& client, const QString& url, qint64 maxBytes)
{
  try {
    return client.OpenURL(url.toStdString(), maxBytes);
  } catch (const InetError& error) {
    throw CheckFailure{url + QStringLiteral(": ") + VisibleText(QText(error.Reason()))};
  }
}

// The list, parsed exactly as the updater parses it.
XmlDocument ParseList(const std::string& data, const QString& url)
{
  XmlDocument document;
  if (!document.Parse(data))
    throw CheckFailure{url + QStringLiteral(": ") + QText(document.ParseErrorReason())};
  return document;
}

// "HTTP 404 Not Found" for an answer with a status, else the transfer's own reason.
QString AnswerText(const Inet& client)
{
  if (client.StatusCode() == 0)
    return QText(client.AnswerFailure());
  return QStringLiteral("HTTP ") + QText(client.GetHeader()).section(QStringLiteral("\r\n"), 0, 0).section(u' ', 1).trimmed();
}

// Fetches one listed file and compares its size and SHA-256 with the list's.
Finding CheckFile(Inet& client, const QString& baseUrl, const ListedFile& file)
{
  if (!IsSafeRelativeName(file.name))
    return {QStringLiteral("UNSAFE"), QStringLiteral("the updater refuses this name")};
  client.Execute(FileUrl(baseUrl.toStdString(), file.name), "GET");
  client.Wait();
  if (!client.AnswerFailure().empty())
    return {IsMissingOnServer(client) ? QStringLiteral("MISSING") : QStringLiteral("FAILED"), AnswerText(client)};
  Sha256Hasher hasher;
  for (;;) {
    const std::string piece = client.GetChunk(ChunkBytes);
    if (piece.empty())
      break;
    hasher.Add(piece.data(), qint64(piece.size()));
  }
  const QString failure = QText(client.FailureReason());
  if (!failure.isEmpty())
    return {QStringLiteral("FAILED"), failure};
  const qint64 size = client.BytesReceived();
  if (file.size >= 0 && size != file.size)
    return {QStringLiteral("MISMATCH"), QStringLiteral("size %1, the list says %2").arg(size).arg(file.size)};
  if (!file.sha256.empty() && hasher.Finish() != file.sha256)
    return {QStringLiteral("MISMATCH"), QStringLiteral("sha256 differs")};
  if (file.size < 0 || file.sha256.empty())
    return {QStringLiteral("UNPINNED"), QStringLiteral("the list gives no %1")
                                            .arg(file.size < 0 ? QStringLiteral("Size") : QStringLiteral("Sha256"))};
  return {QStringLiteral("ok"), QString()};
}

QString Counted(int count, const char* noun)
{
  return QStringLiteral("%1 %2%3").arg(count).arg(QLatin1String(noun)).arg(count == 1 ? "" : "s");
}

int Check(const CheckOptions& options, QTextStream& out)
{
  const QString key = options.publicKey.isEmpty() ? QString() : PublicKeyText(options.publicKey);
  Inet client;
  const QString listUrl = options.baseUrl + QText(ServerListName());
  const std::string list = Fetch(client, listUrl, MaxListBytes);
  if (!key.isEmpty()) {
    const QString signatureUrl = options.baseUrl + QText(SignatureName(ServerListName()));
    const MinisignResult signature =
        VerifyMinisign(key.toStdString(), list, Fetch(client, signatureUrl, MaxSignatureBytes));
    if (!signature.ok)
      throw CheckFailure{signatureUrl + QStringLiteral(": the signature does not verify: ") + QText(signature.reason)};
    Report(out, QText(SignatureName(ServerListName())), {QStringLiteral("ok"), QString()});
  }

  const XmlDocument document = ParseList(list, listUrl);
  int count = 0;
  int problems = 0;
  QString runApp;
  QStringList names;
  try {
    RequireNode(document, "Version");
    RequireNode(document, "Updata");
    runApp = QText(RequireNode(document, "RunApp").Text());
    const XmlNode files = RequireNode(document, "Files");
    for (int i = 0; i < files.ChildCount(); ++i, ++count) {
      ListedFile file;
      Finding finding;
      try {
        file = ReadListedFile(files.Child(i), i);
        finding = CheckFile(client, options.baseUrl, file);
      } catch (const ListFormatError& error) {
        file.name = "entry " + std::to_string(i + 1);
        finding = {QStringLiteral("INVALID"), QText(error.Description())};
      }
      names << QText(file.name);
      problems += finding.IsProblem();
      Report(out, QText(file.name), finding);
    }
  } catch (const ListFormatError& error) {
    throw CheckFailure{listUrl + QStringLiteral(": ") + QText(error.Description())};
  }
  if (count > 0 && !names.contains(runApp)) {
    Report(out, QStringLiteral("RunApp"), {QStringLiteral("INVALID"), u'"' + runApp + QStringLiteral("\" is not a listed file")});
    ++problems;
  }
  out << Counted(count, "file") << ", " << Counted(problems, "problem") << Qt::endl;
  return problems == 0 ? 0 : 1;
}
}

int CheckServer(const CheckOptions& options, QTextStream& out, QTextStream& err)
{
  try {
    return Check(options, out);
  } catch (const CheckFailure& failure) {
    err << "MervoPublish: " << failure.message << Qt::endl;
    return 1;
  }
}
