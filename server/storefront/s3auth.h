#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// The object store's request signatures, both kinds: header and query signatures of the older
// HMAC-SHA1 form ("AWS id:signature") and of the HMAC-SHA256 form with a credential scope
// ("AWS4-HMAC-SHA256"). The store front verifies them and the provider presigns addresses with them.
// Pure functions, any thread.
namespace s3auth {

std::string hmacSha256(const std::string &key, const std::string &text); // raw bytes
std::string sha256Hex(const std::string &data);
std::string hex(const unsigned char *data, size_t size);
std::string base64(const std::string &data);
std::string base64url(const std::string &data); // without padding
bool unbase64url(const std::string &text, std::string *out);

// Percent-encodes all but the unreserved characters (and "/" when `keepSlash`).
std::string uriEncode(const std::string &text, bool keepSlash);
// Decodes %XX escapes; false on a malformed escape. "+" stays "+": object stores use %20.
bool percentDecode(const std::string &text, std::string *out);

// ---- HMAC-SHA1 signatures ----

// The text a client signs: method, Content-MD5, Content-Type, the date line (empty, a Date header
// or a presigned address's expiry), the x-amz- headers (lowercase names, sorted, with values) and
// the resource ("/bucket/encoded-key" plus the signed sub-resources).
std::string v2StringToSign(const std::string &method, const std::string &contentMd5,
                           const std::string &contentType, const std::string &dateLine,
                           const std::map<std::string, std::string> &amzHeaders, const std::string &resource);
std::string v2Signature(const std::string &secret, const std::string &stringToSign); // base64

// ---- HMAC-SHA256 signatures with a credential scope ----

// "yyyymmddThhmmssZ" of unix seconds.
std::string amzDate(int64_t seconds);
// Unix seconds of an amzDate text; false when it is not one.
bool parseAmzDate(const std::string &text, int64_t *seconds);

struct V4Request
{
    std::string method;
    std::string path;                                       // decoded "/bucket/key"
    std::vector<std::pair<std::string, std::string>> query; // decoded, the signature itself left out
    std::map<std::string, std::string> headers;             // the signed ones: lowercase name, value
    std::string payloadHash;                                // hex, or "UNSIGNED-PAYLOAD"
};

std::string v4CanonicalRequest(const V4Request &request);
// "date/region/service/aws4_request"
std::string v4Scope(const std::string &date, const std::string &region);
std::string v4Signature(const std::string &secret, const std::string &amzDateText, const std::string &region,
                        const std::string &canonicalRequest);

// ---- presigned reads ----

enum class Version
{
    V2,
    V4
};

// A GET address of one object valid for `ttlSeconds` from `now`, made with a grant's key, secret
// and token. `endpoint` is "http://host:port" (path-style addresses).
std::string presignGet(Version version, const std::string &endpoint, const std::string &bucket,
                       const std::string &key, const std::string &keyId, const std::string &secret,
                       const std::string &token, const std::string &region, int64_t now, int64_t ttlSeconds);

} // namespace s3auth
