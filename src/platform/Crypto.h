#pragma once
// Hashing and signature checks: SHA-256 of downloaded files, and minisign signatures
// (Ed25519) of the update list. Digests and keys are raw bytes held in std::string.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// SHA-256 of data fed in pieces. Finish() returns the 32-byte digest and starts
// over; it returns "" when the hashing library failed at any step.
class Sha256Hasher {
public:
  Sha256Hasher();
  ~Sha256Hasher();
  Sha256Hasher(const Sha256Hasher&) = delete;
  Sha256Hasher& operator=(const Sha256Hasher&) = delete;

  void Add(const char* data, std::int64_t size);
  std::string Finish();

private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// SHA-256 of blocks handed to a thread that does nothing but hash them, so the caller's
// reading or writing goes on meanwhile. At most a few blocks wait, so memory stays flat.
// A single block is hashed on the caller's thread: small files never start the thread.
class Sha256Worker {
public:
  Sha256Worker();
  ~Sha256Worker();
  Sha256Worker(const Sha256Worker&) = delete;
  Sha256Worker& operator=(const Sha256Worker&) = delete;

  // The blocks are the bytes written to the file at path, after the first alreadyThere bytes
  // that it holds: the thread hashes those from the file, and whatever it falls behind on too,
  // so that Add never waits. Called before the first Add.
  void FollowFile(const std::string& path, std::int64_t alreadyThere);
  // Takes block's bytes and leaves block empty, with a buffer of the same capacity to fill
  // again. Waits while the queue is full, unless following a file.
  void Add(std::string& block);
  // Waits until every block is hashed; the digest as Sha256Hasher::Finish gives it.
  std::string Finish();

private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// Sets *digest to the 32-byte SHA-256 of the file at path ("\" separates folders).
// Returns "" or the system's reason; *digest is left alone on failure.
std::string Sha256OfFile(const std::string& path, std::string* digest);

// True when text is exactly 64 hex digits (either case); *raw then holds the 32 bytes.
bool ParseSha256Hex(const std::string& text, std::string* raw);

// The bytes as lower-case hex digits.
std::string HexOf(const std::string& bytes);

// A minisign public key: the signer's key id as stored (8 bytes) and the Ed25519 key (32).
struct MinisignPublicKey {
  std::string keyId;
  std::string key;
};

// Reads a key given as its base64 line ("RW...") or as a whole .pub file (an
// "untrusted comment:" line, then that line). nullopt when text is anything else.
std::optional<MinisignPublicKey> ParseMinisignPublicKey(const std::string& text);

struct MinisignResult {
  bool ok = false;
  std::string reason;                     // when !ok: a short sentence, fit to follow "更新列表签名无效："
  std::string trustedComment;             // when ok: the signed comment's text
  std::optional<std::int64_t> timestamp;  // when ok and the comment has a "timestamp:N" field
};

// The value of the first "name:" field of a trusted comment, its fields separated by tabs
// (as minisign writes them) or spaces; nullopt when there is none.
std::optional<std::string> TrustedCommentField(const std::string& comment, const std::string& name);

// value read as a Unix time: decimal digits only; nullopt when it is anything else.
std::optional<std::int64_t> UnixTimeOf(const std::string& value);

// Checks that signatureFile (the bytes of a .minisig file, prehashed "ED" or legacy "Ed")
// signs data under publicKey (either text form above), trusted comment included.
MinisignResult VerifyMinisign(const std::string& publicKey, const std::string& data, const std::string& signatureFile);
