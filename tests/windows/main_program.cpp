// The main program of the update's tests on Windows. With "--wait" it runs until it is ended;
// without arguments, as the hand-over starts it, it leaves the file "started" in its working
// folder, holding its own file name, and exits.
#include <windows.h>

#include <cstring>

int main(int argc, char** argv)
{
  if (argc > 1 && std::strcmp(argv[1], "--wait") == 0)
    Sleep(INFINITE);
  char self[MAX_PATH] = "";
  const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
  const char* name = std::strrchr(self, '\\') ? std::strrchr(self, '\\') + 1 : self;
  const HANDLE mark = CreateFileW(L"started", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(mark, name, DWORD(self + length - name), &written, nullptr);
  CloseHandle(mark);
  return 0;
}
