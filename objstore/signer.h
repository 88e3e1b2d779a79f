#pragma once

#include "s3sign/codec.h"
#include "s3sign/signing.h"

#include <cstdint>
#include <map>
#include <string>

// Request signing of the object-storage protocol, both kinds: the older header signatures ("AWS
// id:signature", HMAC-SHA1 over a canonical string) and the HMAC-SHA256 ones with a credential scope
// ("AWS4-HMAC-SHA256"), which every current store takes; plus presigned GET addresses of either kind.
// Pure functions, any thread.
namespace objstore {

using s3sign::amzDate;
using s3sign::base64;
using s3sign::hex;
using s3sign::httpDate;
using s3sign::presignGet;
using s3sign::sha256Hex;
using s3sign::v4CanonicalRequest;
using s3sign::V4Request;
using s3sign::v4Signature;
using SignatureVersion = s3sign::Version;

inline std::string hmacSha1Base64(const std::string &key, const std::string &text)
{
    return s3sign::v2Signature(key, text);
}

// Percent-encodes an object key for the request path; "/" stays so keys keep their folders.
inline std::string encodeKey(const std::string &key)
{
    return s3sign::percentEncode(key, true);
}

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

// The Authorization header of a request signed at `amzDateText`.
std::string v4Authorization(const std::string &keyId, const std::string &secret, const std::string &region,
                            const std::string &amzDateText, const V4Request &request);

} // namespace objstore
