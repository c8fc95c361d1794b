#include "Files.h"

#include "platform/Crypto.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#ifndef _WIN32
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
  fs::create_directories(fs::path(path).parent_path(), ignored);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  return out.write(data.data(), std::streamsize(data.size())) && out.flush();
}

std::string ReadFile(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "(unreadable)";
}

std::string Bytes(std::int64_t size, int seed)
{
  std::string data(std::size_t(size), '\0');
  for (std::int64_t i = 0; i < size; ++i)
    data[std::size_t(i)] = char((std::uint32_t(i) * 2654435761u + unsigned(seed)) >> 11);
  return data;
}

// Programs run through the POSIX shell; Windows would want CreateProcess here.
#ifndef _WIN32
namespace {
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
}  // namespace

bool RunMinisign(const std::string& dir, const Strings& arguments)
{
  return Run(dir, "minisign", arguments, nullptr) == 0;
}

int RunProgram(const std::string& program, const Strings& arguments, std::string* out)
{
  return Run(".", program, arguments, out);
}

#endif

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
