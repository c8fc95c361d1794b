// Hashing and Ed25519 over libgcrypt, linked statically; the minisign formats are shared.
#include "platform/Crypto.h"
#include "platform/FileSys.h"
#include "platform/common/CryptoCore.h"
#include "platform/win32/Win32Text.h"

#include <gcrypt.h>

#include <algorithm>

namespace {
// libgcrypt must be initialised once before any other call.
bool GcryptReady()
{
  static const bool ready = [] {
    if (!gcry_check_version(GCRYPT_VERSION))
      return false;
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    return true;
  }();
  return ready;
}

// An S-expression freed when it goes out of scope.
struct Sexp {
  ~Sexp() { gcry_sexp_release(value); }
  gcry_sexp_t value = nullptr;
};
}  // namespace

struct Sha256Hasher::Impl {
  void Start()
  {
    gcry_md_close(md);
    md = nullptr;
    failed = !GcryptReady() || gcry_md_open(&md, GCRY_MD_SHA256, 0) != 0;
  }

  gcry_md_hd_t md = nullptr;
  bool failed = false;
};

Sha256Hasher::Sha256Hasher() : m_impl(std::make_unique<Impl>())
{
  m_impl->Start();
}

Sha256Hasher::~Sha256Hasher()
{
  gcry_md_close(m_impl->md);
}

void Sha256Hasher::Add(const char* data, std::int64_t size)
{
  if (!m_impl->failed && size > 0)
    gcry_md_write(m_impl->md, data, size_t(size));
}

std::string Sha256Hasher::Finish()
{
  std::string digest;
  if (!m_impl->failed)
    digest.assign(reinterpret_cast<const char*>(gcry_md_read(m_impl->md, GCRY_MD_SHA256)), 32);
  m_impl->Start();
  return digest;
}

std::string Sha256OfFile(const std::string& path, std::string* digest)
{
  const HANDLE file =
      CreateFileW(win32::Wide(NativePath(path)).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return win32::LastReason();
  // Large blocks keep the system-call cost far below the hashing cost.
  constexpr DWORD BlockBytes = 1024 * 1024;
  const std::unique_ptr<char[]> buffer(new char[BlockBytes]);
  Sha256Hasher hasher;
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, buffer.get(), BlockBytes, &got, nullptr)) {
      const std::string reason = win32::LastReason();
      CloseHandle(file);
      return reason;
    }
    if (got == 0)
      break;
    hasher.Add(buffer.get(), got);
  }
  CloseHandle(file);
  const std::string result = hasher.Finish();
  if (result.empty())
    return "无法计算 SHA-256";
  *digest = result;
  return std::string();
}

namespace crypto_core {
FileReader::FileReader(const std::string& path)
    : m_handle(reinterpret_cast<std::intptr_t>(
          CreateFileW(win32::Wide(NativePath(path)).c_str(), GENERIC_READ,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr)))
{
}

FileReader::~FileReader()
{
  if (IsOpen())
    CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}

bool FileReader::IsOpen() const
{
  return reinterpret_cast<HANDLE>(m_handle) != INVALID_HANDLE_VALUE;
}

bool FileReader::ReadAt(std::int64_t offset, char* data, std::int64_t size)
{
  std::int64_t got = 0;
  while (got < size) {
    // The offset travels in the OVERLAPPED; the handle is synchronous, so the read completes here.
    OVERLAPPED at{};
    at.Offset = DWORD(std::uint64_t(offset + got));
    at.OffsetHigh = DWORD(std::uint64_t(offset + got) >> 32);
    DWORD read = 0;
    const DWORD want = DWORD(std::min<std::int64_t>(size - got, 1 << 30));
    if (!ReadFile(reinterpret_cast<HANDLE>(m_handle), data + got, want, &read, &at) || read == 0)
      return false;
    got += read;
  }
  return true;
}

std::string Blake2b512(const std::string& data)
{
  if (!GcryptReady())
    return std::string();
  std::string digest(64, '\0');
  gcry_md_hash_buffer(GCRY_MD_BLAKE2B_512, digest.data(), data.data(), data.size());
  return digest;
}

bool VerifyEd25519(const std::string& key, const std::string& signature, const std::string& message)
{
  if (!GcryptReady() || key.size() != 32 || signature.size() != 64)
    return false;
  Sexp publicKey, signed_, data;
  return gcry_sexp_build(&publicKey.value, nullptr, "(public-key (ecc (curve Ed25519) (flags eddsa) (q %b)))",
                         int(key.size()), key.data())
             == 0
         && gcry_sexp_build(&signed_.value, nullptr, "(sig-val (eddsa (r %b) (s %b)))", 32, signature.data(), 32,
                            signature.data() + 32)
                == 0
         && gcry_sexp_build(&data.value, nullptr, "(data (flags eddsa) (hash-algo sha512) (value %b))",
                            int(message.size()), message.data())
                == 0
         && gcry_pk_verify(signed_.value, data.value, publicKey.value) == 0;
}
}  // namespace crypto_core
