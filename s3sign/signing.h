#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// Request signatures of the object-storage protocol, both kinds: the older HMAC-SHA1 form
// ("AWS id:signature") and the HMAC-SHA256 form with a credential scope ("AWS4-HMAC-SHA256"), and
// presigned GET addresses of either. Pure functions, any thread.
namespace s3sign {

std::string hmacSha1(const std::string &key, const std::string &text);   // raw bytes
std::string hmacSha256(const std::string &key, const std::string &text); // raw bytes
std::string sha256Hex(const std::string &data);

// RFC 1123 date of unix seconds, in GMT, in English whatever the locale.
std::string httpDate(int64_t seconds);
// "yyyymmddThhmmssZ" of unix seconds.
std::string amzDate(int64_t seconds);

// ---- HMAC-SHA1 signatures ----

// The text a client signs: method, Content-MD5, Content-Type, the date line (empty, a Date header
// or a presigned address's expiry), the x-amz- headers (lowercase names, sorted, with values) and
// the resource ("/bucket/encoded-key" plus the signed sub-resources).
std::string v2StringToSign(const std::string &method, const std::string &contentMd5,
                           const std::string &contentType, const std::string &dateLine,
                           const std::map<std::string, std::string> &amzHeaders, const std::string &resource);
std::string v2Signature(const std::string &secret, const std::string &stringToSign); // base64

// ---- HMAC-SHA256 signatures with a credential scope ----

struct V4Request
{
    std::string method;
    std::string path;                                       // "/bucket/key", not encoded
    std::vector<std::pair<std::string, std::string>> query; // not encoded, the signature itself left out
    std::map<std::string, std::string> headers;             // the signed ones: lowercase name, value
    std::string payloadHash;                                // hex SHA-256, or "UNSIGNED-PAYLOAD"
};

std::string v4CanonicalRequest(const V4Request &request);
// "date/region/s3/aws4_request" of a "yyyymmdd" date.
std::string v4Scope(const std::string &date, const std::string &region);
std::string v4Signature(const std::string &secret, const std::string &amzDateText, const std::string &region,
                        const std::string &canonicalRequest);

// ---- presigned reads ----

enum class Version
{
    V2,
    V4
};

// A GET address of one object, valid `ttlSeconds` from `now`; an empty `token` is left out.
// `endpoint` is "scheme://host[:port]" (path-style addresses).
std::string presignGet(Version version, const std::string &endpoint, const std::string &bucket,
                       const std::string &key, const std::string &keyId, const std::string &secret,
                       const std::string &token, const std::string &region, int64_t now, int64_t ttlSeconds);

} // namespace s3sign
