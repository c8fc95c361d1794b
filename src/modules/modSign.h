#pragma once
// Signed update lists: the publisher's key, the list's signature, and the newest
// signature time accepted so far, which keeps an old signed list from being served again.
#include <QString>

class Inet;
struct MinisignResult;

// Most that a list's signature file may weigh.
constexpr qint64 MaxSignatureBytes = 4 * 1024;

// The name of the signature beside the list on the server.
inline QString SignatureName(const QString& listName) { return listName + QStringLiteral(".minisig"); }

// What this build trusts: the publisher's key in minisign's text form ("": lists are not
// signed), and the oldest signature time accepted when no later one is recorded (0: none).
// Starts as the build set it; tests put their own in.
struct ListTrust {
  QString publicKey;
  qint64 minListTime = 0;
};
ListTrust& BuiltInTrust();

// The publisher's public key in minisign's text form; empty when lists are not signed.
// MERVO_PUBLIC_KEY in the environment gives a key only to a build without one.
QString ConfiguredPublicKey();

// Fetches baseUrl + signatureName and checks that it signs list under publicKey; *signature
// then holds what it says. Returns "" or a Chinese reason.
QString VerifyListSignature(Inet& client, const QString& baseUrl, const QString& signatureName, const QByteArray& list,
                            const QString& publicKey, MinisignResult* signature);

// Checks what a good signature says of the list named listName: signed for that name, not
// expired, and no older than minListTime nor than the time recorded in statePath. A state file
// that is there but unreadable refuses every list. Returns "" or a Chinese reason.
QString CheckListFreshness(const MinisignResult& signature, const QString& listName, qint64 minListTime,
                           const QString& statePath);

// Records timestamp in statePath as the newest accepted. Returns "" or the system's reason.
QString RecordListTime(const QString& statePath, qint64 timestamp);
