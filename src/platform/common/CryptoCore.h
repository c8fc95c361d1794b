#pragma once
// What each platform's hashing library supplies to the shared minisign check (Minisign.cpp).
#include <string>

namespace crypto_core {
// BLAKE2b-512 of data; "" when the library failed.
std::string Blake2b512(const std::string& data);
// True when signature (64 bytes) is a valid Ed25519 signature of message under key (32 bytes).
bool VerifyEd25519(const std::string& key, const std::string& signature, const std::string& message);
}  // namespace crypto_core
