#include "Files.h"

#include "platform/Crypto.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

TempDir::TempDir()
{
#ifdef _WIN32
  m_path = (fs::temp_directory_path() / ("mervo-test-" + std::to_string(std::rand()))).string();
  fs::create_directories(m_path);
#else
  std::string pattern = (fs::temp_directory_path() / "mervo-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data()))
    throw std::runtime_error("cannot make a temporary folder");
  m_path = pattern;
#endif
}

TempDir::~TempDir()
{
  std::error_code ignored;
  fs::remove_all(m_path, ignored);
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

#ifndef _WIN32
namespace {
// Runs program in dir (empty: here), standard input from the null device.
int Run(const std::string& dir, const std::string& program, const std::vector<std::string>& arguments, std::string* out)
{
  int pipeEnds[2];
  if (::pipe(pipeEnds) != 0)
    return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments)
      argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int null = ::open("/dev/null", O_RDWR);
    ::dup2(null, 0);
    ::dup2(out ? pipeEnds[1] : null, 1);
    if (!out)
      ::dup2(null, 2);
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    if (!dir.empty() && ::chdir(dir.c_str()) != 0)
      ::_exit(127);
    ::execvp(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(pipeEnds[1]);
  char buffer[4096];
  for (ssize_t n; pid > 0 && (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
    if (out)
      out->append(buffer, std::size_t(n));
  ::close(pipeEnds[0]);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid)
    return -1;
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}
}  // namespace

bool RunMinisign(const std::string& dir, const std::vector<std::string>& arguments)
{
  return Run(dir, "minisign", arguments, nullptr) == 0;
}

int RunProgram(const std::string& program, const std::vector<std::string>& arguments, std::string* out)
{
  return Run("", program, arguments, out);
}
#endif

std::string Sha256Hex(const std::string& data)
{
  Sha256Hasher hasher;
  hasher.Add(data.data(), std::int64_t(data.size()));
  const std::string digest = hasher.Finish();
  return digest.empty() ? "" : HexOf(digest);
}
