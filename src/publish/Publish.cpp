#include "publish/Publish.h"

#include "modules/modPublic.h"
#include "publish/CheckServer.h"
#include "publish/MakeList.h"
#include "publish/Text.h"

#include <algorithm>
#include <ostream>
#include <set>

namespace {
const char* const ToolName = "MervoPublish";
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

const char* const MakeHelpText =
    "Usage: MervoPublish make --version TEXT --run-app NAME [options] RELEASE_DIR\n"
    "Writes RELEASE_DIR/UpdList.xml: every file below the folder with its size and SHA-256.\n"
    "\n"
    "Options:\n"
    "  -h, --help            Show this help.\n"
    "  --version <TEXT>      The release's version (required).\n"
    "  --run-app <NAME>      The file started after an update (required).\n"
    "  --notes <FILE>        Release notes: one note per non-empty UTF-8 line.\n"
    "  --previous <OLDLIST>  An earlier UpdList.xml: files it lists with the same\n"
    "                        SHA-256 keep their Ver.\n"
    "  --expires-days <N>    The signed list expires N days from now.\n"
    "\n"
    "Arguments:\n"
    "  RELEASE_DIR           The folder holding the release's files.\n";

const char* const CheckHelpText =
    "Usage: MervoPublish check [--public-key KEY] BASEURL\n"
    "Fetches BASEURL/UpdList.xml and compares every listed file the server delivers with it.\n"
    "\n"
    "Options:\n"
    "  -h, --help          Show this help.\n"
    "  --public-key <KEY>  Verify UpdList.xml.minisig with this minisign key\n"
    "                      (\"RW...\" or a .pub file).\n"
    "\n"
    "Arguments:\n"
    "  BASEURL             The server's http or https address, ending in \"/\".\n";

// One option: its names ("h" and "help" are "-h" and "--help") and whether a value follows.
struct OptionSpec {
  std::vector<std::string> names;
  bool takesValue = false;
};

// A command line read the GNU way: "--name VALUE" or "--name=VALUE", "-h" (letters may be
// run together), "--" before arguments that only look like options; options anywhere.
class CommandLine {
public:
  explicit CommandLine(std::vector<OptionSpec> specs) : m_specs(std::move(specs)), m_values(m_specs.size()) {}

  // Reads arguments from index first on. False when they are not valid; Error() tells why.
  bool Parse(const std::vector<std::string>& arguments, std::size_t first);
  std::string Error() const;
  bool IsSet(const std::string& name) const { return m_given.count(Find(name)) > 0; }
  // The option's last value; "" when it was not given.
  std::string Value(const std::string& name) const { return m_values[Find(name)]; }
  const std::vector<std::string>& Positional() const { return m_positional; }

private:
  int Find(const std::string& name) const;
  void ReadLong(const std::vector<std::string>& arguments, std::size_t* index);
  void ReadShort(const std::string& argument);

  std::vector<OptionSpec> m_specs;
  std::vector<std::string> m_values;
  std::set<int> m_given;
  std::vector<std::string> m_positional;
  std::vector<std::string> m_unknown;
  std::string m_error;
};

int CommandLine::Find(const std::string& name) const
{
  for (std::size_t i = 0; i < m_specs.size(); ++i) {
    const std::vector<std::string>& names = m_specs[i].names;
    if (std::find(names.begin(), names.end(), name) != names.end())
      return int(i);
  }
  return -1;
}

bool CommandLine::Parse(const std::vector<std::string>& arguments, std::size_t first)
{
  bool positionalOnly = false;
  for (std::size_t i = first; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (positionalOnly || argument.size() < 2 || argument[0] != '-')
      m_positional.push_back(argument);
    else if (argument == "--")
      positionalOnly = true;
    else if (argument[1] == '-')
      ReadLong(arguments, &i);
    else
      ReadShort(argument);
  }
  return m_error.empty() && m_unknown.empty();
}

void CommandLine::ReadLong(const std::vector<std::string>& arguments, std::size_t* index)
{
  const std::string& argument = arguments[*index];
  const std::size_t assign = argument.find('=');
  const std::string name = argument.substr(2, assign == std::string::npos ? std::string::npos : assign - 2);
  const int option = Find(name);
  if (option < 0) {
    m_unknown.push_back(name);
    return;
  }
  m_given.insert(option);
  if (!m_specs[option].takesValue) {
    if (assign != std::string::npos)
      m_error = "Unexpected value after '" + argument.substr(0, assign) + "'.";
  } else if (assign != std::string::npos) {
    m_values[option] = argument.substr(assign + 1);
  } else if (*index + 1 < arguments.size()) {
    m_values[option] = arguments[++*index];
  } else {
    m_error = "Missing value after '" + argument + "'.";
  }
}

// Every letter is an option of its own; only options without a value have one letter.
void CommandLine::ReadShort(const std::string& argument)
{
  std::string name;
  for (std::size_t pos = 1; pos < argument.size(); ++pos) {
    name = argument.substr(pos, 1);
    const int option = Find(name);
    if (option < 0) {
      m_unknown.push_back(name);
      continue;
    }
    m_given.insert(option);
    if (pos + 1 < argument.size() && argument[pos + 1] == '=')
      break;
  }
  const std::size_t assign = argument.find('=');
  if (Find(name) >= 0 && assign != std::string::npos)
    m_error = "Unexpected value after '" + argument.substr(0, assign) + "'.";
}

std::string CommandLine::Error() const
{
  if (!m_error.empty())
    return m_error;
  if (m_unknown.size() == 1)
    return "Unknown option '" + m_unknown.front() + "'.";
  std::string names;
  for (const std::string& name : m_unknown)
    names += (names.empty() ? "" : ", ") + name;
  return "Unknown options: " + names + ".";
}

int UsageError(std::ostream& err, const std::string& message)
{
  err << ToolName << ": " << message << " (try --help)" << std::endl;
  return ExitUsage;
}

// A whole number, optionally signed and surrounded by white space; 0 when text is anything else.
int DaysOf(const std::string& text)
{
  const std::string number = TrimmedUnicode(text);
  const std::size_t digits = number.find_first_not_of("+-") == 1 ? 1 : 0;
  if (number.size() == digits || number.find_first_not_of("0123456789", digits) != std::string::npos)
    return 0;
  long long value = 0;
  for (std::size_t i = digits; i < number.size() && value <= 36500; ++i)
    value = value * 10 + (number[i] - '0');
  return number[0] == '-' || value > 36500 ? 0 : int(value);
}

int RunMake(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err)
{
  CommandLine line({{{"h", "help"}, false},
                    {{"version"}, true},
                    {{"run-app"}, true},
                    {{"notes"}, true},
                    {{"previous"}, true},
                    {{"expires-days"}, true}});
  if (!line.Parse(arguments, 2))
    return UsageError(err, line.Error());
  if (line.IsSet("help")) {
    out << MakeHelpText << std::flush;
    return 0;
  }
  if (!line.IsSet("version") || !line.IsSet("run-app"))
    return UsageError(err, "make needs --version and --run-app");
  if (line.Positional().size() != 1)
    return UsageError(err, "make needs exactly one RELEASE_DIR");
  MakeOptions options;
  if (line.IsSet("expires-days")) {
    options.expiresDays = DaysOf(line.Value("expires-days"));
    if (options.expiresDays <= 0)
      return UsageError(err, "--expires-days needs a whole number of days from 1 to 36500");
  }
  options.version = line.Value("version");
  options.runApp = line.Value("run-app");
  options.notesPath = line.Value("notes");
  options.previousPath = line.Value("previous");
  options.releaseDir = line.Positional().front();
  return MakeUpdateList(options, out, err);
}

int RunCheck(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err)
{
  CommandLine line({{{"h", "help"}, false}, {{"public-key"}, true}});
  if (!line.Parse(arguments, 2))
    return UsageError(err, line.Error());
  if (line.IsSet("help")) {
    out << CheckHelpText << std::flush;
    return 0;
  }
  if (line.Positional().size() != 1)
    return UsageError(err, "check needs exactly one BASEURL");
  CheckOptions options;
  options.baseUrl = line.Positional().front();
  options.publicKey = line.Value("public-key");
  if (!IsValidUpdateUrl(options.baseUrl))
    return UsageError(err, "BASEURL must be an http or https address ending in \"/\"");
  return CheckServer(options, out, err);
}

// The options that may come before a verb: --help and --version.
int RunWithoutVerb(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err)
{
  CommandLine line({{{"h", "help"}, false}, {{"version"}, false}});
  if (!line.Parse(arguments, 1))
    return UsageError(err, line.Error());
  if (line.IsSet("version")) {
    out << ToolName << ' ' << MERVO_VERSION << std::endl;
    return 0;
  }
  if (line.IsSet("help")) {
    out << OverviewText << std::flush;
    return 0;
  }
  return UsageError(err, "a verb is needed: make or check");
}
}  // namespace

int RunPublish(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err)
{
  // The verb comes first, as with git; each verb has options of its own.
  const std::string verb = arguments.size() > 1 ? arguments[1] : std::string();
  if (verb.empty() || verb[0] == '-')
    return RunWithoutVerb(arguments, out, err);
  if (verb == "make")
    return RunMake(arguments, out, err);
  if (verb == "check")
    return RunCheck(arguments, out, err);
  return UsageError(err, "unknown verb \"" + verb + "\"");
}
