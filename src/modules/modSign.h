#pragma once
// Signed update lists: the publisher's key, the list's signature, and the newest
// signature time accepted so far, which keeps an old signed list from being served again.
#include <cstdint>
#include <string>

class Inet;
struct MinisignResult;

// Most that a list's signature file may weigh.
constexpr std::int64_t MaxSignatureBytes = 4 * 1024;

// The name of the signature beside the list on the server.
inline std::string SignatureName(const std::string& listName)
{
  return listName + ".minisig";
}

// What this build trusts: the publisher's key in minisign's text form ("": lists are not
// signed), and the oldest signature time accepted when no later one is recorded (0: none).
// Starts as the build set it; tests put their own in.
struct ListTrust {
  std::string publicKey;
  std::int64_t minListTime = 0;
};
ListTrust& BuiltInTrust();

// The publisher's public key in minisign's text form; empty when lists are not signed.
// MERVO_PUBLIC_KEY in the environment gives a key only to a build without one.
std::string ConfiguredPublicKey();

// Fetches baseUrl + signatureName and checks that it signs list under publicKey; *signature
// then holds what it says. Returns "" or a Chinese reason.
std::string VerifyListSignature(Inet& client, const std::string& baseUrl, const std::string& signatureName,
                                const std::string& list, const std::string& publicKey, MinisignResult* signature);

// Checks what a good signature says of the list named listName: signed for that name, not
// expired, and no older than minListTime nor than the time recorded in statePath. A state file
// that is there but unreadable refuses every list. Returns "" or a Chinese reason.
std::string CheckListFreshness(const MinisignResult& signature, const std::string& listName, std::int64_t minListTime,
                               const std::string& statePath);

// Records timestamp in statePath as the newest accepted. Returns "" or the system's reason.
std::string RecordListTime(const std::string& statePath, std::int64_t timestamp);
