#pragma once

#include "s3sign/codec.h"
#include "s3sign/signing.h"

#include <cstdint>
#include <string>

// The object store's request signatures as the store front verifies them and the provider presigns
// with them: the shared signing code, plus the grant's base64url and the date check. Pure functions,
// any thread.
namespace s3auth {

using s3sign::amzDate;
using s3sign::hex;
using s3sign::hmacSha256;
using s3sign::presignGet;
using s3sign::sha256Hex;
using s3sign::v2Signature;
using s3sign::v2StringToSign;
using s3sign::v4CanonicalRequest;
using s3sign::V4Request;
using s3sign::v4Scope;
using s3sign::v4Signature;
using Version = s3sign::Version;

std::string base64url(const std::string &data); // without padding
bool unbase64url(const std::string &text, std::string *out);

// Unix seconds of an amzDate text; false when it is not one.
bool parseAmzDate(const std::string &text, int64_t *seconds);

} // namespace s3auth
