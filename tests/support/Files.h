#pragma once
// What every test shares, in standard C++: scratch folders, whole files, pattern bytes,
// other programs (the real minisign), and SHA-256 as hex.
#include <cstdint>
#include <string>
#include <vector>

using Strings = std::vector<std::string>;

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return m_path; }
  // name relative to the folder, "\" or "/" between folders.
  std::string File(const std::string& name) const;

private:
  std::string m_path;
};

// Writes data to path, making its folders; true when all of it was written.
bool WriteFile(const std::string& path, const std::string& data);
// The whole file at path; "(unreadable)" when it cannot be read, so it never equals real data.
std::string ReadFile(const std::string& path);
// size bytes of a pattern that differs with seed.
std::string Bytes(std::int64_t size, int seed);
// Runs the real minisign in dir, its input from the null device; true when it exits with 0.
bool RunMinisign(const std::string& dir, const Strings& arguments);
// Runs program with arguments and waits, its standard output in *out. Returns the exit
// status, or -1 when it could not start, 128 + the signal when one killed it.
int RunProgram(const std::string& program, const Strings& arguments, std::string* out = nullptr);
// The SHA-256 of data as 64 lower-case hex digits, or "" when the hashing failed.
std::string Sha256Hex(const std::string& data);
bool StartsWith(const std::string& text, const std::string& start);
// Sets a variable of this process's environment, or removes it when value is null.
void SetEnv(const std::string& name, const char* value);
