#include "platform/Console.h"

#include "platform/win32/Win32Text.h"

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

int RunConsoleProgram(int, char*[], const std::function<int(const std::vector<std::string>&)>& run)
{
  // The ANSI argv would lose every name outside the code page: read the wide command line.
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> arguments;
  for (int i = 0; i < count; ++i)
    arguments.push_back(win32::Utf8(wide[i], -1).c_str());
  LocalFree(wide);
  // Output goes out as the UTF-8 bytes it is, without line-end translation.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  return run(arguments);
}
