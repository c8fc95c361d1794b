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

// Runs program in dir, its input from the null device and its output, if wanted, read back.
int Run(const std::string& dir, const std::string& program, const Strings& arguments, std::string* out)
{
  std::wstring command = Quoted(Wide(program));
  for (const std::string& argument : arguments)
    command += L' ' + Quoted(Wide(argument));
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE null = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                            OPEN_EXISTING, 0, nullptr);
  HANDLE read = nullptr, write = null;
  if (out && !CreatePipe(&read, &write, &inherit, 0))
    return -1;
  if (read)
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null;
  startup.hStdOutput = write;
  startup.hStdError = out ? GetStdHandle(STD_ERROR_HANDLE) : null;
  PROCESS_INFORMATION process{};
  const std::wstring folder = Wide(dir);
  const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, folder.c_str(),
                                      &startup, &process);
  if (write != null)
    CloseHandle(write);
  CloseHandle(null);
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
  // There is no minisign for Windows, and wine starts Linux programs without a handle to wait
  // on: tests that sign need the Linux build.
  (void)dir, (void)arguments;
  return false;
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
