// The engine's file operations on Windows. Paths arrive as UTF-8 with "/" between folders
// and go to the wide-character functions as UTF-16 with "\": never through the ANSI code
// page, which cannot hold every name (a Chinese name on a Western system, for one).
#include "engine/FileOps.h"
#include "engine/Paths.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which it needs.
#include <restartmanager.h>

#include <algorithm>
#include <string>
#include <vector>

namespace engine {

namespace {

// Read is for small files (the journal): anything larger is refused, not loaded.
constexpr LONGLONG MaxReadBytes = 64 * 1024 * 1024;

// The UTF-8 form of a wide string ("" when it cannot be converted).
std::string ToUtf8(const std::wstring& wide)
{
  if (wide.empty())
    return "";
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  if (size <= 0)
    return "";
  std::string text(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &text[0], size, nullptr, nullptr);
  return text;
}

// The system's sentence for error number code, in UTF-8 without its trailing line end,
// followed by the number: "Access is denied. (error 5)".
std::string Reason(DWORD code)
{
  wchar_t* buffer = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring message;
  if (length > 0 && buffer)
    message.assign(buffer, length);
  if (buffer)
    LocalFree(buffer);
  while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' || message.back() == L' '))
    message.pop_back();
  std::string text = ToUtf8(message);
  const std::string number = "error " + std::to_string(code);
  return text.empty() ? number : text + " (" + number + ")";
}

// The reason for the failure the calling thread has just seen.
std::string LastReason()
{
  return Reason(GetLastError());
}

// The programs that hold any of paths open, as the Restart Manager names them; none where
// it cannot tell.
std::vector<std::wstring> Holders(const std::vector<std::wstring>& paths)
{
  DWORD session = 0;
  WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
  if (RmStartSession(&session, 0, key) != ERROR_SUCCESS)
    return {};
  std::vector<std::wstring> full(paths.size(), std::wstring(32768, L'\0'));
  std::vector<LPCWSTR> files;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    full[i].resize(GetFullPathNameW(paths[i].c_str(), DWORD(full[i].size()), &full[i][0], nullptr));
    files.push_back(full[i].c_str());
  }
  std::vector<RM_PROCESS_INFO> found;
  DWORD result = RmRegisterResources(session, UINT(files.size()), files.data(), 0, nullptr, 0, nullptr);
  if (result == ERROR_SUCCESS) {
    // A program that opens the file between two questions makes the list longer: ask again.
    result = ERROR_MORE_DATA;
    UINT needed = 0;
    for (int tries = 0; tries < 3 && result == ERROR_MORE_DATA; ++tries) {
      found.resize(needed);
      UINT count = needed;
      DWORD reasons = 0;
      result = RmGetList(session, &needed, &count, found.data(), &reasons);
      found.resize(result == ERROR_SUCCESS ? count : 0);
    }
  }
  RmEndSession(session);
  std::vector<std::wstring> names;
  for (const RM_PROCESS_INFO& process : found)
    if (process.strAppName[0] && std::find(names.begin(), names.end(), process.strAppName) == names.end())
      names.emplace_back(process.strAppName);
  return names;
}

// The reason for error on paths; when another program holds one of them and Windows says
// which, its name follows: "... (error 32)（被 Explorer 占用）".
std::string HeldReason(DWORD error, const std::vector<std::wstring>& paths)
{
  std::string reason = Reason(error);
  if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED)
    return reason;
  const std::vector<std::wstring> names = Holders(paths);
  for (std::size_t i = 0; i < names.size(); ++i)
    reason += (i == 0 ? "（被 " : "、") + ToUtf8(names[i]);
  return names.empty() ? reason : reason + " 占用）";
}

// path (UTF-8, "/" or "\" between folders) as a wide Windows path with "\". False, with
// the reason in *reason, when path is not valid UTF-8.
bool ToWide(const std::string& path, std::wstring* wide, std::string* reason)
{
  wide->clear();
  if (path.empty()) {
    *reason = Reason(ERROR_INVALID_NAME);
    return false;
  }
  const int size =
      MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()), nullptr, 0);
  if (size <= 0) {
    *reason = LastReason();
    return false;
  }
  wide->resize(static_cast<std::size_t>(size));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(), static_cast<int>(path.size()), &(*wide)[0], size);
  std::replace(wide->begin(), wide->end(), L'/', L'\\');
  return true;
}

// Closes a handle when it goes out of scope.
class Handle {
public:
  explicit Handle(HANDLE handle) : m_handle(handle) {}
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool Valid() const { return m_handle != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return m_handle; }
  // Closes now; false (with the error left in GetLastError) when closing failed.
  bool Close()
  {
    if (!Valid())
      return true;
    const BOOL ok = CloseHandle(m_handle);
    m_handle = INVALID_HANDLE_VALUE;
    return ok != FALSE;
  }

private:
  HANDLE m_handle;
};

constexpr DWORD ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD MoveFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;

// Renames from over to, replacing to, and waits until the rename is on the disk.
std::string Move(const std::string& from, const std::string& to)
{
  std::wstring wideFrom, wideTo;
  std::string reason;
  if (!ToWide(from, &wideFrom, &reason) || !ToWide(to, &wideTo, &reason))
    return reason;
  if (MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MoveFlags))
    return "";
  const DWORD error = GetLastError();
  return HeldReason(error, {wideFrom, wideTo});
}

// Writes all of data to an open file.
std::string WriteAll(HANDLE file, const std::string& data)
{
  std::size_t done = 0;
  while (done < data.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(file, data.data() + done, chunk, &written, nullptr))
      return LastReason();
    if (written == 0)
      return Reason(ERROR_WRITE_FAULT);
    done += written;
  }
  return "";
}

// The path of what path leads to, links and junctions resolved; "" when it cannot be opened.
std::wstring FinalPath(const std::wstring& path)
{
  Handle entry(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, ShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!entry.Valid())
    return std::wstring();
  std::wstring final(32768, L'\0');
  const DWORD size = GetFinalPathNameByHandleW(entry.Get(), &final[0], static_cast<DWORD>(final.size()), 0);
  if (size == 0 || size >= final.size())
    return std::wstring();
  final.resize(size);
  return final;
}

// Names on Windows compare without regard to case.
bool SameOrInside(const std::wstring& path, const std::wstring& root)
{
  if (path.size() < root.size())
    return false;
  if (CompareStringOrdinal(path.data(), static_cast<int>(root.size()), root.data(), static_cast<int>(root.size()), TRUE)
      != CSTR_EQUAL)
    return false;
  return path.size() == root.size() || path[root.size()] == L'\\';
}

class FileLock : public HeldLock {
public:
  explicit FileLock(HANDLE file) : m_file(file) {}

private:
  Handle m_file;
};

class Win32FileOps : public FileOps {
public:
  std::string WriteDurably(const std::string& path, const std::string& data) override
  {
    const std::string temporary = path + TemporarySuffix;
    std::wstring wide;
    std::string reason;
    if (!ToWide(temporary, &wide, &reason))
      return reason;
    Handle file(CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
      return LastReason();
    reason = WriteAll(file.Get(), data);
    if (reason.empty() && !FlushFileBuffers(file.Get()))
      reason = LastReason();
    if (!file.Close() && reason.empty())
      reason = LastReason();
    if (reason.empty())
      reason = Move(temporary, path);
    if (!reason.empty())
      DeleteFileW(wide.c_str());
    return reason;
  }

  std::string Read(const std::string& path, std::string* data) override
  {
    data->clear();
    std::wstring wide;
    std::string reason;
    if (!ToWide(path, &wide, &reason))
      return reason;
    Handle file(
        CreateFileW(wide.c_str(), GENERIC_READ, ShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid())
      return LastReason();
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.Get(), &size))
      return LastReason();
    if (size.QuadPart > MaxReadBytes)
      return Reason(ERROR_FILE_TOO_LARGE);
    char buffer[65536];
    for (;;) {
      DWORD got = 0;
      if (!ReadFile(file.Get(), buffer, sizeof buffer, &got, nullptr)) {
        reason = LastReason();
        data->clear();
        return reason;
      }
      if (got == 0)
        return "";
      data->append(buffer, got);
    }
  }

  std::string FlushNewFiles(const std::string& folder, const std::vector<std::string>& files) override
  {
    for (const std::string& name : files) {
      std::wstring wide;
      std::string reason;
      if (!ToWide(folder + "/" + name, &wide, &reason))
        return reason;
      Handle file(
          CreateFileW(wide.c_str(), GENERIC_WRITE, ShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!file.Valid() || !FlushFileBuffers(file.Get()))
        return LastReason();
    }
    return "";
  }

  // Renames with MOVEFILE_WRITE_THROUGH return once they are on the disk.
  std::string FlushFolder(const std::string&) override { return ""; }

  // A program that runs, or a library that is loaded, cannot be replaced or removed by
  // name, but it can be renamed: moving it aside frees its name for the new file.
  std::string KeepAside(const std::string& path, const std::string& aside) override
  {
    // A folder where a file is to go is the user's: it is never moved, and the install fails.
    std::wstring wide;
    std::string reason;
    if (!ToWide(path, &wide, &reason))
      return reason;
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
      return Reason(ERROR_DIRECTORY);
    return Move(path, aside);
  }

  std::string Replace(const std::string& from, const std::string& to) override { return Move(from, to); }

  std::string Remove(const std::string& path) override
  {
    std::wstring wide;
    std::string reason;
    if (!ToWide(path, &wide, &reason))
      return reason;
    if (DeleteFileW(wide.c_str()))
      return "";
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
      return "";
    return HeldReason(error, {wide});
  }

  bool Exists(const std::string& path) override
  {
    std::wstring wide;
    std::string reason;
    if (!ToWide(path, &wide, &reason))
      return false;
    if (GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES)
      return true;
    // A file waiting to be deleted, or one the system refuses to describe, still holds its name.
    const DWORD error = GetLastError();
    return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_INVALID_NAME
           && error != ERROR_BAD_NETPATH && error != ERROR_BAD_NET_NAME;
  }

  std::string Identify(const std::string& path, FileIdentity* identity) override
  {
    std::wstring wide;
    std::string reason;
    if (!ToWide(path, &wide, &reason))
      return reason;
    Handle file(CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES, ShareAll, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION information;
    if (!file.Valid() || !GetFileInformationByHandle(file.Get(), &information))
      return LastReason();
    identity->volume = information.dwVolumeSerialNumber;
    identity->file = (static_cast<unsigned long long>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    identity->size = static_cast<long long>((static_cast<unsigned long long>(information.nFileSizeHigh) << 32)
                                            | information.nFileSizeLow);
    return "";
  }

  bool StaysInside(const std::string& folder, const std::string& name) override
  {
    std::wstring path;
    std::string reason;
    if (!ToWide(folder, &path, &reason))
      return false;
    const std::wstring root = FinalPath(path);
    if (root.empty())
      return false;
    for (std::string::size_type start = 0, slash; (slash = name.find('/', start)) != std::string::npos;
         start = slash + 1) {
      std::wstring segment;
      if (!ToWide(name.substr(start, slash - start), &segment, &reason))
        return false;
      path += L"\\" + segment;
      if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
          return true;  // the rest would be created afresh, inside
        return false;
      }
      const std::wstring real = FinalPath(path);
      if (real.empty() || !SameOrInside(real, root))
        return false;
    }
    return true;
  }

  // No security attributes: the handle is not inheritable. The system drops the lock with
  // the handle, when the process ends however it ends.
  std::string TakeLock(const std::string& path, std::unique_ptr<HeldLock>* held, LockRefusal* refusal) override
  {
    *refusal = LockRefusal::Other;
    std::wstring wide;
    std::string reason;
    if (!ToWide(path, &wide, &reason))
      return reason;
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, ShareAll, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      // A folder under Program Files, to a user without administrator rights.
      const DWORD error = GetLastError();
      *refusal = error == ERROR_ACCESS_DENIED ? LockRefusal::Denied : LockRefusal::Other;
      return Reason(error);
    }
    auto lock = std::make_unique<FileLock>(file);
    OVERLAPPED start{};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &start)) {
      const DWORD error = GetLastError();
      if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING)
        *refusal = LockRefusal::Busy;
      return Reason(error);
    }
    *refusal = LockRefusal::None;
    *held = std::move(lock);
    return "";
  }

  // Windows files carry no permission bits; a file inherits its folder's access rules.
  std::string AdoptPermissions(const std::string&, const std::string&, bool) override { return ""; }
};

}  // namespace

std::unique_ptr<FileOps> SystemFileOps()
{
  return std::make_unique<Win32FileOps>();
}

}  // namespace engine
