// Runs the install engine on a folder and kills itself at a chosen step, the way a
// crash or a power cut would stop it there.
//   engine_crash STEP FOLDER install NAME...   (a NAME starting with "*" is the main program)
//   engine_crash STEP FOLDER recover
// STEP 0 runs to the end. Every step reached is printed as "number<TAB>what".
// Exit status: 0 done, 1 the engine failed, 2 usage, 3 the step was never reached.
#include "engine/Install.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
struct Killer : engine::InstallObserver {
  int step;
  explicit Killer(int s) : step(s) {}
  void Step(int number, const std::string& what) override
  {
    std::printf("%d\t%s\n", number, what.c_str());
    std::fflush(stdout);
    if (number == step)
      std::raise(SIGKILL);
  }
};
}  // namespace

int main(int argc, char** argv)
{
  const std::string mode = argc < 4 ? "" : argv[3];
  if (mode != "recover" && mode != "install")
    return 2;
  Killer killer(std::atoi(argv[1]));
  const auto ops = engine::SystemFileOps();
  bool ok;
  if (mode == "recover") {
    ok = engine::Recover(argv[2], *ops, &killer).reason.empty();
  } else {
    std::vector<engine::InstallItem> items;
    for (int i = 4; i < argc; ++i)
      items.push_back({argv[i] + (argv[i][0] == '*'), argv[i][0] == '*'});
    const engine::InstallResult result = engine::InstallEngine(argv[2], *ops, &killer).Install(items);
    if (!(ok = result.ok))
      std::fprintf(stderr, "%s: %s\n", result.failedName.c_str(), result.reason.c_str());
  }
  return !ok ? 1 : killer.step > 0 ? 3 : 0;
}
