#pragma once
// What each platform supplies to the shared hashing code: its library's BLAKE2b and Ed25519
// for the minisign check (Minisign.cpp), and its file calls for Sha256Worker (Sha256Worker.cpp).
#include <cstdint>
#include <string>

namespace crypto_core {
// BLAKE2b-512 of data; "" when the library failed.
std::string Blake2b512(const std::string& data);
// True when signature (64 bytes) is a valid Ed25519 signature of message under key (32 bytes).
bool VerifyEd25519(const std::string& key, const std::string& signature, const std::string& message);

// A file opened for reading at given offsets, while another handle keeps writing it.
class FileReader {
public:
  explicit FileReader(const std::string& path);  // "\" separates folders
  ~FileReader();
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  bool IsOpen() const;
  // Reads exactly size bytes from offset on; false when they cannot all be read.
  bool ReadAt(std::int64_t offset, char* data, std::int64_t size);

private:
  std::intptr_t m_handle;  // the system's descriptor or handle
};
}  // namespace crypto_core
