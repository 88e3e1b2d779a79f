#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace provider {

// Must succeed once before any other function here is used.
bool cryptoInit();

// Argon2id hash in the self-describing libsodium string form. `fast` uses the smallest cost the
// algorithm allows; it exists for tests, which would otherwise spend most of their time hashing.
std::string hashPassword(std::string_view password, bool fast);
bool verifyPassword(const std::string &hash, std::string_view password);
bool passwordNeedsRehash(const std::string &hash, bool fast);

std::string randomHex(size_t bytes);
std::string randomDigits(int count);
// Letters and digits only, as the phone library's 32-byte id field requires.
std::string randomDeviceId();
uint32_t randomBelow(uint32_t bound);

std::string sha256Hex(std::string_view data);
std::string hmacSha256Hex(std::string_view key, std::string_view message);
bool constantTimeEquals(std::string_view a, std::string_view b);

// Standard Base64 of AES-192-ECB with PKCS#7 padding; `key` must be 24 bytes. Empty on failure.
std::string aes192EcbBase64(std::string_view key, std::string_view plain);

// Phone access credential the phone farm checks: "ucv2.<expiry>.<r>.<generation>.<hmac hex>".
std::string phoneCredential(std::string_view secret, std::string_view deviceId, int64_t expiry,
                            bool restricted, int64_t generation);

} // namespace provider
