#pragma once
// The counted checks of the Windows programs that drive windows under wine, and their summary.
#include <cstdio>
#include <string>

namespace checks {
inline int passed = 0;
inline int failed = 0;

inline void Expect(bool ok, const std::string& what)
{
  ok ? ++passed : ++failed;
  if (!ok)
    std::printf("FAIL: %s\n", what.c_str());
  std::fflush(stdout);
}

// Prints "N passed, M failed" and gives the program's exit status.
inline int Summary()
{
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
}  // namespace checks
