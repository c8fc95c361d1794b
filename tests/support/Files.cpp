#include "Files.h"

#include "platform/Crypto.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#endif

namespace fs = std::filesystem;

TempDir::TempDir()
{
  std::random_device random;
  do
    m_path = (fs::temp_directory_path() / ("mervo-test-" + std::to_string(random()))).string();
  while (!fs::create_directory(m_path));
}

TempDir::~TempDir()
{
  std::error_code ignored;
  fs::remove_all(m_path, ignored);
}

std::string TempDir::File(const std::string& name) const
{
  std::string relative = name;
  std::replace(relative.begin(), relative.end(), '\\', '/');
  return m_path + '/' + relative;
}

bool WriteFile(const std::string& path, const std::string& data)
{
  std::error_code ignored;
  // UTF-8 names: on Windows a plain string would be read in the ANSI code page.
  const fs::path file = fs::u8path(path);
  fs::create_directories(file.parent_path(), ignored);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  return out.write(data.data(), std::streamsize(data.size())) && out.flush();
}

std::string ReadFile(const std::string& path)
{
  std::ifstream in(fs::u8path(path), std::ios::binary);
  return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "(unreadable)";
}

std::string Bytes(std::int64_t size, int seed)
{
  std::string data(std::size_t(size), '\0');
  for (std::int64_t i = 0; i < size; ++i)
    data[std::size_t(i)] = char((std::uint32_t(i) * 2654435761u + unsigned(seed)) >> 11);
  return data;
}

namespace {
#ifdef _WIN32
std::wstring Wide(const std::string& text)
{
  std::wstring wide(text.size(), L'\0');
  wide.resize(std::size_t(MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), int(wide.size()))));
  return wide;
}

// One argument as CommandLineToArgvW reads it back: quoted, backslashes before a quote doubled.
std::wstring Quoted(const std::wstring& word)
{
  std::wstring quoted = L"\"";
  std::size_t slashes = 0;
  for (wchar_t c : word) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    quoted.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    quoted += c;
    slashes = 0;
  }
  return quoted.append(slashes * 2, L'\\') + L"\"";
}

// Starts program in dir, its input from the null device and its output to out, or nowhere.
// Under wine, a Linux program starts but gives no process handle.
bool Start(const std::string& dir, const std::string& program, const Strings& arguments, HANDLE out,
           PROCESS_INFORMATION* process)
{
  std::wstring command = Quoted(Wide(program));
  for (const std::string& argument : arguments)
    command += L' ' + Quoted(Wide(argument));
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE null = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                            OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null;
  startup.hStdOutput = out ? out : null;
  startup.hStdError = out ? GetStdHandle(STD_ERROR_HANDLE) : null;
  const std::wstring folder = Wide(dir);
  const BOOL started =
      CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(), &startup, process);
  CloseHandle(null);
  return started;
}

// Runs program in dir and waits, its output, if wanted, read back.
int Run(const std::string& dir, const std::string& program, const Strings& arguments, std::string* out)
{
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  if (out && !CreatePipe(&read, &write, &inherit, 0))
    return -1;
  if (read)
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  PROCESS_INFORMATION process{};
  const bool started = Start(dir, program, arguments, write, &process);
  if (write)
    CloseHandle(write);
  DWORD status = DWORD(-1);
  if (started) {
    char buffer[4096];
    DWORD n;
    while (read && ReadFile(read, buffer, sizeof buffer, &n, nullptr) && n > 0)
      out->append(buffer, n);
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  if (read)
    CloseHandle(read);
  return started ? int(status) : -1;
}

// The Linux path of a Windows one, from wine; "" outside wine.
std::string LinuxPath(const std::string& path)
{
  using Convert = char*(CDECL*)(const wchar_t*);
  static const auto convert =
      reinterpret_cast<Convert>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name"));
  char* linux = convert ? convert(Wide(path).c_str()) : nullptr;
  const std::string converted = linux ? linux : "";
  if (linux)
    HeapFree(GetProcessHeap(), 0, linux);
  return converted;
}

// minisign is the Linux program, run by wine. With no handle to wait on, a shell around it
// leaves its exit status in a file renamed into place once written; the wait is on the
// folder's change notifications, bounded.
bool RunLinuxMinisign(const std::string& dir, const Strings& arguments)
{
  const char* minisign = std::getenv("MERVO_MINISIGN");
  Strings words{"-c", "\"$0\" \"$@\" </dev/null >/dev/null 2>&1; echo $? >.minisign~ && mv .minisign~ .minisign",
                minisign ? minisign : "/usr/bin/minisign"};
  for (const std::string& argument : arguments) {
    const bool absolute = argument.size() > 2 && argument[1] == ':' && (argument[2] == '\\' || argument[2] == '/');
    words.push_back(absolute ? LinuxPath(argument) : argument);
  }
  const std::wstring status = Wide(dir + "\\.minisign");
  DeleteFileW(status.c_str());
  HANDLE changes = FindFirstChangeNotificationW(Wide(dir).c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
  PROCESS_INFORMATION process{};
  if (changes == INVALID_HANDLE_VALUE || LinuxPath(dir).empty() || !Start(dir, "Z:\\bin\\sh", words, nullptr, &process))
    return false;
  for (const ULONGLONG end = GetTickCount64() + 60000;
       GetFileAttributesW(status.c_str()) == INVALID_FILE_ATTRIBUTES && GetTickCount64() < end;
       FindNextChangeNotification(changes))
    WaitForSingleObject(changes, 1000);
  FindCloseChangeNotification(changes);
  const std::string result = ReadFile(dir + "\\.minisign");
  DeleteFileW(status.c_str());
  return result == "0\n";
}
#else
// A word for the shell, quoted.
std::string Quoted(const std::string& word)
{
  std::string quoted = "'";
  for (char c : word)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs program in dir through the shell, its input from the null device.
int Run(const std::string& dir, const std::string& program, const Strings& arguments, std::string* out)
{
  std::string command = "cd " + Quoted(dir) + " && exec " + Quoted(program);
  for (const std::string& argument : arguments)
    command += ' ' + Quoted(argument);
  FILE* pipe = ::popen((command + (out ? " </dev/null" : " </dev/null >/dev/null 2>&1")).c_str(), "r");
  if (!pipe)
    return -1;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    if (out)
      out->append(buffer, n);
  const int status = ::pclose(pipe);
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}
#endif
}  // namespace

bool RunMinisign(const std::string& dir, const Strings& arguments)
{
#ifdef _WIN32
  return RunLinuxMinisign(dir, arguments);
#else
  return Run(dir, "minisign", arguments, nullptr) == 0;
#endif
}

int RunProgram(const std::string& program, const Strings& arguments, std::string* out)
{
  return Run(".", program, arguments, out);
}

std::string Sha256Hex(const std::string& data)
{
  Sha256Hasher hasher;
  hasher.Add(data.data(), std::int64_t(data.size()));
  const std::string digest = hasher.Finish();
  return digest.empty() ? "" : HexOf(digest);
}

bool StartsWith(const std::string& text, const std::string& start)
{
  return text.compare(0, start.size(), start) == 0;
}

void SetEnv(const std::string& name, const char* value)
{
#ifdef _WIN32
  // The C run-time's copy, which getenv reads; an empty value removes the variable.
  _putenv_s(name.c_str(), value ? value : "");
#else
  if (value)
    ::setenv(name.c_str(), value, 1);
  else
    ::unsetenv(name.c_str());
#endif
}
