#include "server/provider/crypto.h"

#include "s3sign/codec.h"

#include <openssl/evp.h>
#include <sodium.h>

#include <memory>

namespace provider {

bool cryptoInit()
{
    return sodium_init() >= 0;
}

namespace {

unsigned long long opsLimit(bool fast)
{
    return fast ? crypto_pwhash_argon2id_OPSLIMIT_MIN : crypto_pwhash_argon2id_OPSLIMIT_INTERACTIVE;
}

size_t memLimit(bool fast)
{
    return fast ? crypto_pwhash_argon2id_MEMLIMIT_MIN : crypto_pwhash_argon2id_MEMLIMIT_INTERACTIVE;
}

} // namespace

std::string hashPassword(std::string_view password, bool fast)
{
    char out[crypto_pwhash_argon2id_STRBYTES];
    if (crypto_pwhash_argon2id_str(out, password.data(), password.size(), opsLimit(fast), memLimit(fast)) !=
        0)
        return {};
    return out;
}

bool verifyPassword(const std::string &hash, std::string_view password)
{
    if (hash.empty())
        return false;
    return crypto_pwhash_argon2id_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

bool passwordNeedsRehash(const std::string &hash, bool fast)
{
    return crypto_pwhash_argon2id_str_needs_rehash(hash.c_str(), opsLimit(fast), memLimit(fast)) != 0;
}

std::string randomHex(size_t bytes)
{
    std::string raw(bytes, '\0');
    randombytes_buf(raw.data(), raw.size());
    return s3sign::hex(reinterpret_cast<const unsigned char *>(raw.data()), raw.size());
}

uint32_t randomBelow(uint32_t bound)
{
    return randombytes_uniform(bound);
}

std::string randomDigits(int count)
{
    std::string out;
    for (int i = 0; i < count; ++i)
        out += static_cast<char>('0' + randombytes_uniform(10));
    return out;
}

std::string randomDeviceId()
{
    static const char alphabet[] = "0123456789ABCDEF";
    std::string id = "PM";
    for (int i = 0; i < 8; ++i)
        id += alphabet[randombytes_uniform(16)];
    return id;
}

// libsodium's SHA-256 and HMAC: OpenSSL 3's one-shot calls look the algorithm up on every call,
// which made them the largest cost of a group list with thousands of credentials.
std::string sha256Hex(std::string_view data)
{
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char *>(data.data()), data.size());
    return s3sign::hex(digest, sizeof digest);
}

std::string hmacSha256Hex(std::string_view key, std::string_view message)
{
    crypto_auth_hmacsha256_state state;
    unsigned char digest[crypto_auth_hmacsha256_BYTES];
    crypto_auth_hmacsha256_init(&state, reinterpret_cast<const unsigned char *>(key.data()), key.size());
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char *>(message.data()),
                                  message.size());
    crypto_auth_hmacsha256_final(&state, digest);
    return s3sign::hex(digest, sizeof digest);
}

bool constantTimeEquals(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string aes192EcbBase64(std::string_view key, std::string_view plain)
{
    if (key.size() != 24)
        return {};
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_aes_192_ecb(), nullptr,
                                   reinterpret_cast<const unsigned char *>(key.data()), nullptr) != 1)
        return {};
    std::string cipher(plain.size() + 16, '\0');
    int len1 = 0, len2 = 0;
    auto *out = reinterpret_cast<unsigned char *>(cipher.data());
    if (EVP_EncryptUpdate(ctx.get(), out, &len1, reinterpret_cast<const unsigned char *>(plain.data()),
                          static_cast<int>(plain.size())) != 1 ||
        EVP_EncryptFinal_ex(ctx.get(), out + len1, &len2) != 1)
        return {};
    const int cipherLen = len1 + len2;
    std::string b64(4 * ((cipherLen + 2) / 3) + 1, '\0');
    const int b64Len = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(b64.data()), out, cipherLen);
    b64.resize(static_cast<size_t>(b64Len));
    return b64;
}

std::string phoneCredential(std::string_view secret, std::string_view deviceId, int64_t expiry,
                            bool restricted, int64_t generation)
{
    const std::string r = restricted ? "1" : "0";
    const std::string exp = std::to_string(expiry);
    const std::string gen = std::to_string(generation);
    std::string message = "ucv2|";
    message.append(deviceId).append("|").append(exp).append("|").append(r).append("|").append(gen);
    return "ucv2." + exp + "." + r + "." + gen + "." + hmacSha256Hex(secret, message);
}

} // namespace provider
