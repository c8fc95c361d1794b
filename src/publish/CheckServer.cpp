#include "publish/CheckServer.h"

#include "modules/modPublic.h"
#include "modules/modSign.h"
#include "modules/modXml.h"
#include "platform/Crypto.h"
#include "platform/Inet.h"
#include "publish/Text.h"

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <vector>

namespace {
constexpr int ChunkBytes = 64 * 1024;

// Why the check cannot even start; one line on err.
struct CheckFailure {
  std::string message;
};

// One line of the report: a tag ("ok", "MISMATCH", ...) and what is wrong.
struct Finding {
  std::string tag;
  std::string detail;
  bool IsProblem() const { return tag != "ok"; }
};

// What the list pins of one file.
struct PinnedFile {
  std::string name;
  std::int64_t size = -1;  // -1: the list gives none
  std::string sha256;      // the 32 bytes; empty: the list gives none
};

void Report(std::ostream& out, const std::string& name, const Finding& finding)
{
  // Names and reasons come from the network.
  out << finding.tag << std::string(8 - std::min<std::size_t>(finding.tag.size(), 8), ' ') << ' ' << VisibleText(name);
  if (!finding.detail.empty())
    out << ": " << VisibleText(finding.detail);
  out << std::endl;
}

// The key as text: the argument itself when it is a key, else what the file it names holds.
std::string PublicKeyText(const std::string& argument)
{
  if (ParseMinisignPublicKey(argument))
    return argument;
  std::string text;
  const std::string failure = ReadFileStart(argument, MaxSignatureBytes, &text);
  if (!failure.empty())
    throw CheckFailure{argument + ": neither a minisign key nor a readable file (" + failure + ')'};
  if (!ParseMinisignPublicKey(text))
    throw CheckFailure{argument + ": not a minisign public key"};
  return text;
}

std::string Fetch(Inet& client, const std::string& url, std::int64_t maxBytes)
{
  try {
    return client.OpenURL(url, maxBytes);
  } catch (const InetError& error) {
    throw CheckFailure{url + ": " + VisibleText(error.what())};
  }
}

// The list, parsed exactly as the updater parses it.
XmlDocument ParseList(const std::string& data, const std::string& url)
{
  XmlDocument document;
  if (!document.Parse(data))
    throw CheckFailure{url + ": " + document.ParseErrorReason()};
  return document;
}

// Reads the index-th child of "//Files" as the updater does; throws ListFormatError.
PinnedFile ReadPinnedFile(const XmlNode& child, int index)
{
  const ListedFile file = ReadListedFile(child, index);
  return {file.name, file.size, file.sha256};
}

// "HTTP 404 Not Found" for an answer with a status, else the transfer's own reason.
std::string AnswerText(const Inet& client)
{
  if (client.StatusCode() == 0)
    return client.AnswerFailure();
  const std::string header = client.GetHeader();
  const std::string statusLine = header.substr(0, header.find("\r\n"));
  const std::size_t space = statusLine.find(' ');
  return "HTTP " + (space == std::string::npos ? std::string() : TrimmedUnicode(statusLine.substr(space + 1)));
}

// Fetches one listed file and compares its size and SHA-256 with the list's.
Finding CheckFile(Inet& client, const std::string& baseUrl, const PinnedFile& file)
{
  if (!IsSafeRelativeName(file.name))
    return {"UNSAFE", "the updater refuses this name"};
  client.Execute(FileUrl(baseUrl, file.name), "GET");
  client.Wait();
  if (!client.AnswerFailure().empty())
    return {IsMissingOnServer(client) ? "MISSING" : "FAILED", AnswerText(client)};
  Sha256Hasher hasher;
  for (;;) {
    const auto piece = client.GetChunk(ChunkBytes);
    if (piece.size() == 0)
      break;
    hasher.Add(piece.data(), piece.size());
  }
  const std::string failure = client.FailureReason();
  if (!failure.empty())
    return {"FAILED", failure};
  const std::int64_t size = client.BytesReceived();
  if (file.size >= 0 && size != file.size)
    return {"MISMATCH", "size " + std::to_string(size) + ", the list says " + std::to_string(file.size)};
  if (!file.sha256.empty() && hasher.Finish() != file.sha256)
    return {"MISMATCH", "sha256 differs"};
  if (file.size < 0 || file.sha256.empty())
    return {"UNPINNED", std::string("the list gives no ") + (file.size < 0 ? "Size" : "Sha256")};
  return {"ok", std::string()};
}

std::string Counted(int count, const char* noun)
{
  return std::to_string(count) + ' ' + noun + (count == 1 ? "" : "s");
}

// Checks every file the list names, and that RunApp is one of them. Returns the exit status.
int CheckFiles(Inet& client, const std::string& baseUrl, const XmlDocument& document, std::ostream& out)
{
  RequireNode(document, "Version");
  RequireNode(document, "Updata");
  const std::string runApp = RequireNode(document, "RunApp").Text();
  const XmlNode files = RequireNode(document, "Files");
  const int count = files.ChildCount();
  int problems = 0;
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    PinnedFile file;
    Finding finding;
    try {
      file = ReadPinnedFile(files.Child(i), i);
      finding = CheckFile(client, baseUrl, file);
    } catch (const ListFormatError& error) {
      file.name = "entry " + std::to_string(i + 1);
      finding = {"INVALID", error.what()};
    }
    names.push_back(file.name);
    problems += finding.IsProblem();
    Report(out, file.name, finding);
  }
  if (count > 0 && std::find(names.begin(), names.end(), runApp) == names.end()) {
    Report(out, "RunApp", {"INVALID", '"' + runApp + "\" is not a listed file"});
    ++problems;
  }
  out << Counted(count, "file") << ", " << Counted(problems, "problem") << std::endl;
  return problems == 0 ? 0 : 1;
}

int Check(const CheckOptions& options, std::ostream& out)
{
  const std::string key = options.publicKey.empty() ? std::string() : PublicKeyText(options.publicKey);
  Inet client;
  const std::string listName = ServerListName();
  const std::string listUrl = options.baseUrl + listName;
  const std::string list = Fetch(client, listUrl, MaxListBytes);
  if (!key.empty()) {
    const std::string signatureName = SignatureName(ServerListName());
    const std::string signatureUrl = options.baseUrl + signatureName;
    const std::string signature = Fetch(client, signatureUrl, MaxSignatureBytes);
    const MinisignResult result = VerifyMinisign(key, list,
                                                 signature);
    if (!result.ok)
      throw CheckFailure{signatureUrl + ": the signature does not verify: " + result.reason};
    Report(out, signatureName, {"ok", std::string()});
  }
  const XmlDocument document = ParseList(list, listUrl);
  try {
    return CheckFiles(client, options.baseUrl, document, out);
  } catch (const ListFormatError& error) {
    throw CheckFailure{listUrl + ": " + error.what()};
  }
}
}  // namespace

int CheckServer(const CheckOptions& options, std::ostream& out, std::ostream& err)
{
  try {
    return Check(options, out);
  } catch (const CheckFailure& failure) {
    err << "MervoPublish: " << failure.message << std::endl;
    return 1;
  }
}
