#pragma once

#include <cstdint>
#include <map>
#include <string>

// Request signing of the object-storage protocol: header signatures ("AWS id:signature", HMAC-SHA1
// over a canonical string) and the digests that go with them. Pure functions, any thread.
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

} // namespace objstore
