#include "server/storefront/grant.h"

#include "server/storefront/s3auth.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <cctype>
#include <cstdlib>

namespace storegrant {

namespace {

constexpr char kTokenTag[] = "pg1";
constexpr size_t kKeyIdRandomBytes = 12;

std::string tokenMac(const std::string &masterSecret, const std::string &keyId, const std::string &payload)
{
    return s3auth::base64url(s3auth::hmacSha256(masterSecret, std::string("token|") + keyId + "|" + payload));
}

std::string secretOf(const std::string &masterSecret, const std::string &token)
{
    return s3auth::base64url(s3auth::hmacSha256(masterSecret, "secret|" + token)).substr(0, 40);
}

bool fail(std::string *code, std::string *why, const char *c, const std::string &text)
{
    *code = c;
    *why = text;
    return false;
}

} // namespace

bool validPrefix(const std::string &prefix)
{
    if (prefix.empty() || prefix.size() > 256)
        return false;
    size_t start = 0;
    while (start <= prefix.size()) {
        size_t end = prefix.find('/', start);
        if (end == std::string::npos)
            end = prefix.size();
        const std::string segment = prefix.substr(start, end - start);
        if (segment.empty() || segment == "." || segment == "..")
            return false;
        for (unsigned char c : segment)
            if (!std::isalnum(c) && c != '-' && c != '_' && c != '.')
                return false;
        start = end + 1;
    }
    return true;
}

Grant mint(const std::string &masterSecret, const std::string &prefix, const std::string &ops,
           int64_t expires)
{
    unsigned char random[kKeyIdRandomBytes];
    RAND_bytes(random, sizeof random);
    Grant grant;
    grant.keyId = "PG" + s3auth::hex(random, sizeof random);
    grant.prefix = prefix;
    grant.ops = ops;
    grant.expires = expires;
    const std::string payload = s3auth::base64url(std::to_string(expires) + "|" + ops + "|" + prefix);
    grant.token = std::string(kTokenTag) + "." + payload + "." + tokenMac(masterSecret, grant.keyId, payload);
    grant.secret = secretOf(masterSecret, grant.token);
    return grant;
}

bool open(const std::string &masterSecret, const std::string &keyId, const std::string &token, int64_t now,
          Grant *out, std::string *code, std::string *why)
{
    if (token.empty())
        return fail(code, why, "InvalidToken", "the request carries no security token");
    if (token.size() > kMaxTokenBytes)
        return fail(code, why, "InvalidToken", "the security token is too long");
    const size_t first = token.find('.');
    const size_t second = first == std::string::npos ? first : token.find('.', first + 1);
    if (second == std::string::npos || token.compare(0, first, kTokenTag) != 0)
        return fail(code, why, "InvalidToken", "the security token is malformed");
    const std::string payload = token.substr(first + 1, second - first - 1);
    const std::string mac = token.substr(second + 1);
    const std::string expected = tokenMac(masterSecret, keyId, payload);
    if (mac.size() != expected.size() || CRYPTO_memcmp(mac.data(), expected.data(), mac.size()) != 0)
        return fail(code, why, "InvalidToken", "the security token is not valid for this access key");
    std::string fields;
    if (!s3auth::unbase64url(payload, &fields))
        return fail(code, why, "InvalidToken", "the security token is malformed");
    const size_t a = fields.find('|');
    const size_t b = a == std::string::npos ? a : fields.find('|', a + 1);
    if (b == std::string::npos)
        return fail(code, why, "InvalidToken", "the security token is malformed");
    Grant grant;
    grant.keyId = keyId;
    grant.token = token;
    grant.ops = fields.substr(a + 1, b - a - 1);
    grant.prefix = fields.substr(b + 1);
    char *end = nullptr;
    const std::string expiry = fields.substr(0, a);
    grant.expires = std::strtoll(expiry.c_str(), &end, 10);
    if (expiry.empty() || *end != '\0' || !validPrefix(grant.prefix))
        return fail(code, why, "InvalidToken", "the security token is malformed");
    if (grant.expires <= now)
        return fail(code, why, "ExpiredToken", "the upload grant has expired");
    grant.secret = secretOf(masterSecret, token);
    *out = grant;
    return true;
}

bool permits(const Grant &grant, const std::string &key, char op)
{
    return grant.ops.find(op) != std::string::npos && key.size() > grant.prefix.size() + 1 &&
           key.compare(0, grant.prefix.size(), grant.prefix) == 0 && key[grant.prefix.size()] == '/';
}

} // namespace storegrant
