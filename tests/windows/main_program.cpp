// The main program of the update's tests on Windows. With "--wait" it runs until it is ended;
// without arguments, as the hand-over starts it, it leaves the file "started" in its working
// folder, holding its own file name, and exits.
#include <windows.h>

#include <cstring>
#include <filesystem>
#include <fstream>

int main(int argc, char** argv)
{
  if (argc > 1 && std::strcmp(argv[1], "--wait") == 0) {
    Sleep(INFINITE);
    return 0;
  }
  wchar_t self[MAX_PATH] = L"";
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::ofstream("started", std::ios::binary) << std::filesystem::path(self).filename().u8string();
  return 0;
}
