// File services over the Win32 wide-character calls.
#include "platform/FileSys.h"

#include "platform/Crypto.h"
#include "platform/win32/Win32Text.h"

#include <algorithm>

namespace {
std::string& AppPathOverride()
{
  static std::string folder;
  return folder;
}

std::wstring WidePath(const std::string& path)
{
  return win32::Wide(NativePath(path));
}

DWORD Attributes(const std::string& path)
{
  return GetFileAttributesW(WidePath(path).c_str());
}

constexpr DWORD NoFile = INVALID_FILE_ATTRIBUTES;
}  // namespace

std::string AppPath()
{
  if (!AppPathOverride().empty())
    return AppPathOverride();
  std::wstring exe(32768, L'\0');
  exe.resize(GetModuleFileNameW(nullptr, exe.data(), DWORD(exe.size())));
  return win32::Utf8(exe.substr(0, exe.find_last_of(L"\\/")));
}

void SetAppPath(const std::string& folder)
{
  AppPathOverride() = folder;
}

std::string NativePath(const std::string& path)
{
  std::string native = path;
  std::replace(native.begin(), native.end(), '/', '\\');
  return native;
}

bool PathHasEntry(const std::string& path, bool includeFolders)
{
  const DWORD attributes = Attributes(path);
  return attributes != NoFile && (includeFolders || !(attributes & FILE_ATTRIBUTE_DIRECTORY));
}

bool MakeSureDirectoryPathExists(const std::string& path)
{
  const std::wstring native = WidePath(path);
  for (size_t slash = native.find(L'\\', 1); slash != std::wstring::npos; slash = native.find(L'\\', slash + 1)) {
    const std::wstring folder = native.substr(0, slash);
    if (folder.size() == 2 && folder[1] == L':')
      continue;  // a drive
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == NoFile && !CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
      return false;
    if (attributes != NoFile && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
      return false;
  }
  return true;
}

bool ReadSmallFile(const std::string& path, std::int64_t maxBytes, std::string* data, std::string* reason)
{
  std::string failure;
  const HANDLE file =
      CreateFileW(WidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, 0, nullptr);
  LARGE_INTEGER size{};
  if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)) {
    failure = win32::LastReason();
  } else if (size.QuadPart > maxBytes) {
    failure = "文件超过 " + std::to_string(maxBytes) + " 字节";
  } else {
    data->assign(size_t(size.QuadPart), '\0');
    DWORD got = 0;
    if (!data->empty() && !ReadFile(file, data->data(), DWORD(data->size()), &got, nullptr))
      failure = win32::LastReason();
    data->resize(got);
  }
  if (file != INVALID_HANDLE_VALUE)
    CloseHandle(file);
  if (reason)
    *reason = failure;
  return failure.empty();
}

bool RemoveFile(const std::string& path)
{
  return DeleteFileW(WidePath(path).c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND
         || GetLastError() == ERROR_PATH_NOT_FOUND;
}

std::string WriteFileAtomically(const std::string& path, const std::string& data)
{
  const std::string temporary = path + ".new~";
  OutputFile file;
  std::string failure = file.Open(temporary);
  if (failure.empty())
    failure = file.Write(data.data(), std::int64_t(data.size()));
  const std::string closed = file.Close();
  if (failure.empty())
    failure = closed;
  if (failure.empty())
    failure = RenameOver(temporary, path);
  if (!failure.empty())
    RemoveFile(temporary);
  return failure;
}

namespace {
constexpr std::size_t OutputBlockBytes = 256 * 1024;
}  // namespace

struct OutputFile::Impl {
  std::string WriteOut();

  HANDLE file = INVALID_HANDLE_VALUE;
  std::string buffer;
  Sha256Worker* hasher = nullptr;
};

OutputFile::OutputFile() : m_impl(std::make_unique<Impl>()) {}

OutputFile::~OutputFile()
{
  if (m_impl->file != INVALID_HANDLE_VALUE)
    CloseHandle(m_impl->file);
}

void OutputFile::HashWith(Sha256Worker* hasher)
{
  m_impl->hasher = hasher;
}

std::string OutputFile::Open(const std::string& path)
{
  const std::wstring native = WidePath(path);
  // A link or a leftover goes first; the new file is never written through a link.
  if (!DeleteFileW(native.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
    return win32::LastReason();
  m_impl->file = CreateFileW(native.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (m_impl->file == INVALID_HANDLE_VALUE)
    return win32::LastReason();
  m_impl->buffer.reserve(OutputBlockBytes);
  if (m_impl->hasher)
    m_impl->hasher->FollowFile(path, 0);
  return std::string();
}

std::string OutputFile::Continue(const std::string& path, std::int64_t* size)
{
  *size = 0;
  // The link itself is opened, never what it points to, and then refused.
  m_impl->file = CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  BY_HANDLE_FILE_INFORMATION information;
  LARGE_INTEGER end{};
  if (m_impl->file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(m_impl->file, &information)
      || !SetFilePointerEx(m_impl->file, LARGE_INTEGER{}, &end, FILE_END))
    return win32::LastReason();
  if (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    CloseHandle(m_impl->file);
    m_impl->file = INVALID_HANDLE_VALUE;
    return win32::SystemReason(ERROR_CANT_RESOLVE_FILENAME);
  }
  *size = end.QuadPart;
  m_impl->buffer.reserve(OutputBlockBytes);
  if (m_impl->hasher)
    m_impl->hasher->FollowFile(path, *size);
  return std::string();
}

std::string OutputFile::Write(const char* data, std::int64_t size)
{
  if (m_impl->buffer.size() + std::size_t(size) > OutputBlockBytes) {
    const std::string failure = m_impl->WriteOut();
    if (!failure.empty())
      return failure;
  }
  m_impl->buffer.append(data, std::size_t(size));
  return std::string();
}

std::string OutputFile::Impl::WriteOut()
{
  const char* data = buffer.data();
  std::size_t left = buffer.size();
  while (left > 0) {
    DWORD written = 0;
    if (!WriteFile(file, data, DWORD(std::min<std::size_t>(left, 1u << 30)), &written, nullptr))
      return win32::LastReason();
    data += written;
    left -= written;
  }
  // The hasher takes the block and gives back an emptied one.
  if (hasher && !buffer.empty())
    hasher->Add(buffer);
  buffer.clear();
  return std::string();
}

std::string OutputFile::StartWriteBack()
{
  // Windows has no call that starts write-back without waiting; the install's sync does it.
  return m_impl->WriteOut();
}

std::string OutputFile::Close()
{
  std::string failure = m_impl->WriteOut();
  if (m_impl->file != INVALID_HANDLE_VALUE && !CloseHandle(m_impl->file) && failure.empty())
    failure = win32::LastReason();
  m_impl->file = INVALID_HANDLE_VALUE;
  return failure;
}

namespace {
// The path with links resolved; "" when it cannot be opened.
std::wstring FinalPath(const std::wstring& path)
{
  const HANDLE handle = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE)
    return std::wstring();
  std::wstring final(32768, L'\0');
  final.resize(GetFinalPathNameByHandleW(handle, final.data(), DWORD(final.size()), FILE_NAME_NORMALIZED));
  CloseHandle(handle);
  return final;
}

bool SameOrInside(const std::wstring& path, const std::wstring& root)
{
  return CompareStringOrdinal(path.c_str(), int(std::min(path.size(), root.size())), root.c_str(), int(root.size()),
                              TRUE)
             == CSTR_EQUAL
         && path.size() >= root.size() && (path.size() == root.size() || path[root.size()] == L'\\');
}
}  // namespace

bool StaysInsideFolder(const std::string& folder, const std::string& name)
{
  const std::wstring root = FinalPath(WidePath(folder));
  if (root.empty())
    return false;
  std::wstring path = WidePath(folder);
  const std::wstring relative = WidePath(name);
  for (size_t start = 0, slash; (slash = relative.find(L'\\', start)) != std::wstring::npos; start = slash + 1) {
    path += L'\\' + relative.substr(start, slash - start);
    if (GetFileAttributesW(path.c_str()) == NoFile)
      return true;  // the rest is created afresh, inside
    const std::wstring real = FinalPath(path);
    if (real.empty() || !SameOrInside(real, root))
      return false;
  }
  return true;
}

bool IsPlainFile(const std::string& path)
{
  const DWORD attributes = Attributes(path);
  return attributes != NoFile && !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

std::int64_t FileSize(const std::string& path)
{
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(WidePath(path).c_str(), GetFileExInfoStandard, &data))
    return -1;
  return std::int64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

bool StartDetached(const std::string& program, const std::string& workDir)
{
  if (program.empty())
    return false;
  std::wstring commandLine = L"\"" + WidePath(program) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  const std::wstring folder = WidePath(workDir);
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      folder.empty() ? nullptr : folder.c_str(), &startup, &process))
    return false;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

std::string RenameOver(const std::string& from, const std::string& to)
{
  if (!MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(), MOVEFILE_REPLACE_EXISTING))
    return win32::LastReason();
  return std::string();
}
