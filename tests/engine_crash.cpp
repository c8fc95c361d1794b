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
#include <cstring>

namespace {
class Killer : public engine::InstallObserver {
public:
  explicit Killer(int step) : m_step(step) {}
  void Step(int number, const std::string& what) override
  {
    std::printf("%d\t%s\n", number, what.c_str());
    std::fflush(stdout);
    if (number == m_step)
      std::raise(SIGKILL);
  }

private:
  int m_step;
};
}  // namespace

int main(int argc, char** argv)
{
  if (argc < 4)
    return 2;
  const int step = std::atoi(argv[1]);
  const std::string folder = argv[2];
  Killer killer(step);
  const auto ops = engine::SystemFileOps();
  bool ok = true;
  if (std::strcmp(argv[3], "recover") == 0) {
    const engine::Recovery recovery = engine::Recover(folder, *ops, &killer);
    ok = recovery.reason.empty();
  } else if (std::strcmp(argv[3], "install") == 0) {
    std::vector<engine::InstallItem> items;
    for (int i = 4; i < argc; ++i)
      items.push_back(argv[i][0] == '*' ? engine::InstallItem{argv[i] + 1, true} : engine::InstallItem{argv[i], false});
    const engine::InstallResult result = engine::InstallEngine(folder, *ops, &killer).Install(items);
    ok = result.ok;
    if (!ok)
      std::fprintf(stderr, "%s: %s\n", result.failedName.c_str(), result.reason.c_str());
  } else {
    return 2;
  }
  return !ok ? 1 : step > 0 ? 3 : 0;
}
