#pragma once

#include <cstdint>
#include <string>

// Upload grants of the object store: per-account temporary credentials that the provider mints and
// the store front checks, without any shared state but one secret. The security token carries the
// grant's scope and expiry under an HMAC of that secret; the access key secret is derived from the
// token, so only the holder of the grant and the two servers know it. Pure functions, any thread.
namespace storegrant {

// What a grant lets its holder do: read ('r') and write ('w') objects under `prefix`.
struct Grant
{
    std::string keyId;
    std::string secret;
    std::string token;
    std::string prefix;  // an object key prefix without a trailing "/"; keys must lie under prefix + "/"
    std::string ops;     // letters of the allowed operations
    int64_t expires = 0; // unix seconds
};

// Longest accepted token; a grant's own is far shorter.
constexpr size_t kMaxTokenBytes = 1024;

// A prefix that a grant can scope: 1 to 256 bytes of letters, digits and "-_./", in segments that
// are neither empty nor "." or "..".
bool validPrefix(const std::string &prefix);

// A fresh grant; `prefix` must be valid. `ops` holds letters of "rw".
Grant mint(const std::string &masterSecret, const std::string &prefix, const std::string &ops,
           int64_t expires);

// The grant that `token` names for `keyId`, with its secret, when the token's MAC holds, it names
// this key and it has not expired at `now`. Otherwise false with the store's error code in `code`
// ("InvalidToken", "ExpiredToken") and why in `why`.
bool open(const std::string &masterSecret, const std::string &keyId, const std::string &token, int64_t now,
          Grant *out, std::string *code, std::string *why);

// True when `key` lies under the grant's prefix and `op` is one of its operations.
bool permits(const Grant &grant, const std::string &key, char op);

} // namespace storegrant
