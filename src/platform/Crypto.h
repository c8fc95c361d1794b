#pragma once
// Hashing and signature checks over OpenSSL's libcrypto: SHA-256 of downloaded
// files, and minisign signatures (Ed25519) of the update list.
#include <QByteArray>
#include <QString>
#include <optional>

struct evp_md_ctx_st;

// SHA-256 of data fed in pieces. Finish() returns the 32-byte digest and starts
// over; it returns an empty array when libcrypto failed at any step.
class Sha256Hasher {
public:
  Sha256Hasher();
  ~Sha256Hasher();
  Sha256Hasher(const Sha256Hasher&) = delete;
  Sha256Hasher& operator=(const Sha256Hasher&) = delete;

  void Add(const char* data, qint64 size);
  QByteArray Finish();

private:
  void Start();

  evp_md_ctx_st* m_ctx;
  bool m_failed = false;
};

// Sets *digest to the 32-byte SHA-256 of the file at path ("\" separates folders).
// Returns "" or the system's reason; *digest is left alone on failure.
QString Sha256OfFile(const QString& path, QByteArray* digest);

// True when text is exactly 64 hex digits (either case); *raw then holds the 32 bytes.
bool ParseSha256Hex(const QString& text, QByteArray* raw);

// A minisign public key: the signer's key id as stored (8 bytes) and the Ed25519 key (32).
struct MinisignPublicKey {
  QByteArray keyId;
  QByteArray key;
};

// Reads a key given as its base64 line ("RW...") or as a whole .pub file (an
// "untrusted comment:" line, then that line). nullopt when text is anything else.
std::optional<MinisignPublicKey> ParseMinisignPublicKey(const QString& text);

struct MinisignResult {
  bool ok = false;
  QString reason;                  // when !ok: a short sentence, fit to follow "更新列表签名无效："
  QString trustedComment;          // when ok: the signed comment's text
  std::optional<qint64> timestamp; // when ok and the comment has a "timestamp:N" field
};

// The value of the first "name:" field of a trusted comment, its fields separated by tabs
// (as minisign writes them) or spaces; nullopt when there is none.
std::optional<QString> TrustedCommentField(const QString& comment, const QString& name);

// value read as a Unix time: decimal digits only; nullopt when it is anything else.
std::optional<qint64> UnixTimeOf(const QString& value);

// Checks that signatureFile (the bytes of a .minisig file, prehashed "ED" or legacy "Ed")
// signs data under publicKey (either text form above), trusted comment included.
MinisignResult VerifyMinisign(const QString& publicKey, const QByteArray& data,
                              const QByteArray& signatureFile);
