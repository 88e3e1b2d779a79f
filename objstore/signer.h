#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// Request signing of the object-storage protocol, both kinds: the older header signatures ("AWS
// id:signature", HMAC-SHA1 over a canonical string) and the HMAC-SHA256 ones with a credential scope
// ("AWS4-HMAC-SHA256"), which every current store takes; plus presigned GET addresses of either kind.
// Pure functions, any thread.
namespace objstore {

std::string base64(const unsigned char *data, size_t size);
std::string hex(const unsigned char *data, size_t size);
std::string hmacSha1Base64(const std::string &key, const std::string &text);

// RFC 1123 date of `seconds` since the epoch, in GMT: what x-amz-date carries.
std::string httpDate(int64_t seconds);

// Percent-encodes an object key for the request path; "/" stays so keys keep their folders.
std::string encodeKey(const std::string &key);

struct SignedRequest
{
    std::string method;
    std::string contentMd5;  // base64, or empty
    std::string contentType; // or empty
    // Every header; the lowercase "x-amz-" ones take part in the signature.
    std::map<std::string, std::string> headers;
    // "/bucket/encoded-key", plus the signed sub-resources ("?partNumber=1&uploadId=x").
    std::string resource;
};

// The canonical text that is signed. The Date line stays empty: the time travels in x-amz-date,
// which every store we target reads, while some of them reject a Date header in the signed text.
std::string stringToSign(const SignedRequest &request);
std::string authorization(const std::string &keyId, const std::string &secret, const SignedRequest &request);

enum class SignatureVersion
{
    V2,
    V4
};

std::string sha256Hex(const std::string &data);
// "yyyymmddThhmmssZ" of `seconds` since the epoch.
std::string amzDate(int64_t seconds);

// A request as the second kind signs it.
struct V4Request
{
    std::string method;
    std::string path;                                       // "/bucket/key", not encoded
    std::vector<std::pair<std::string, std::string>> query; // not encoded
    std::map<std::string, std::string> headers;             // signed ones: lowercase name, value
    std::string payloadHash;                                // hex SHA-256, or "UNSIGNED-PAYLOAD"
};

std::string v4CanonicalRequest(const V4Request &request);
std::string v4Signature(const std::string &secret, const std::string &amzDateText, const std::string &region,
                        const std::string &canonicalRequest);
// The Authorization header of a request signed at `amzDateText`.
std::string v4Authorization(const std::string &keyId, const std::string &secret, const std::string &region,
                            const std::string &amzDateText, const V4Request &request);

// A GET address of one object, valid `ttlSeconds` from `now`. `endpoint` is "scheme://host[:port]".
std::string presignGet(SignatureVersion version, const std::string &endpoint, const std::string &bucket,
                       const std::string &key, const std::string &keyId, const std::string &secret,
                       const std::string &token, const std::string &region, int64_t now, int64_t ttlSeconds);

} // namespace objstore
