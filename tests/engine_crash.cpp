// Runs the install engine on a folder and kills itself at a chosen step, the way a
// crash or a power cut would stop it there.
//   engine_crash STEP FOLDER install NAME...   (a NAME starting with "*" is the main program)
//   engine_crash STEP FOLDER recover
// STEP 0 runs to the end. Every step reached is printed as "number<TAB>what".
// Exit status: 0 done, 1 the engine failed, 2 usage, 3 the step was never reached; killed, 137
// (on Linux as the signal SIGKILL, 128 + 9).
#include "engine/Install.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>
#endif

namespace {
struct Killer : engine::InstallObserver {
  int step;
  explicit Killer(int s) : step(s) {}
  void Step(int number, const std::string& what) override
  {
    std::printf("%d\t%s\n", number, what.c_str());
    std::fflush(stdout);
    if (number != step)
      return;
#ifdef _WIN32
    TerminateProcess(GetCurrentProcess(), 128 + 9);
#else
    std::raise(SIGKILL);
#endif
  }
};

// The arguments in UTF-8; on Windows read from the wide command line, since the ANSI code
// page cannot hold every name.
std::vector<std::string> Arguments(int argc, char** argv)
{
#ifdef _WIN32
  (void)argv;
  _setmode(_fileno(stdout), _O_BINARY);  // "\n", not "\r\n"
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) {
    std::string text(wcslen(wide[i]) * 3, '\0');
    text.resize(std::size_t(WideCharToMultiByte(CP_UTF8, 0, wide[i], int(wcslen(wide[i])), text.data(),
                                                int(text.size()), nullptr, nullptr)));
    arguments.push_back(text);
  }
  return arguments;
#else
  return std::vector<std::string>(argv, argv + argc);
#endif
}
}  // namespace

int main(int argc, char** argv)
{
  const std::vector<std::string> args = Arguments(argc, argv);
  const std::string mode = args.size() < 4 ? "" : args[3];
  if (mode != "recover" && mode != "install")
    return 2;
  Killer killer(std::atoi(args[1].c_str()));
  const auto ops = engine::SystemFileOps();
  bool ok;
  if (mode == "recover") {
    ok = engine::Recover(args[2], *ops, &killer).reason.empty();
  } else {
    std::vector<engine::InstallItem> items;
    for (std::size_t i = 4; i < args.size(); ++i)
      items.push_back({args[i].substr(args[i][0] == '*'), args[i][0] == '*'});
    const engine::InstallResult result = engine::InstallEngine(args[2], *ops, &killer).Install(items);
    if (!(ok = result.ok))
      std::fprintf(stderr, "%s: %s\n", result.failedName.c_str(), result.reason.c_str());
  }
  return !ok ? 1 : killer.step > 0 ? 3 : 0;
}
