#pragma once
// Signed update lists: the publisher's key, the list's signature, and the newest
// signature time accepted so far, which keeps an old signed list from being served again.
#include <QString>

class Inet;

// Most that a list's signature file may weigh.
constexpr qint64 MaxSignatureBytes = 4 * 1024;

// The name of the signature beside the list on the server.
inline QString SignatureName(const QString& listName) { return listName + QStringLiteral(".minisig"); }

// The publisher's public key in minisign's text form; empty when lists are not signed.
// MERVO_PUBLIC_KEY in the environment overrides the one built in.
QString ConfiguredPublicKey();

// Fetches baseUrl + signatureName and checks that it signs the list file at listPath
// under publicKey, and that it is not older than the last one accepted (kept in statePath).
// On success the signature's time becomes the newest accepted. Returns "" or a Chinese reason.
QString VerifyListSignature(Inet& client, const QString& baseUrl, const QString& signatureName,
                            const QString& listPath, const QString& publicKey, const QString& statePath);
