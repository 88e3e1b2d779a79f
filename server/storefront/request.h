#pragma once

#include "server/storefront/grant.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// What the store front lets through: parses a request's target and headers, checks its signature
// with the secret of the grant its token names, and checks that the operation and the object key lie
// within the grant. Pure, any thread.
namespace storefront {

struct Settings
{
    std::string grantSecret;
    std::string bucket;           // the one bucket served
    int64_t maxSkewSeconds = 900; // between a signed request's time and ours
};

struct Incoming
{
    std::string method;
    std::string target; // as sent: "/bucket/key?query"
    std::vector<std::pair<std::string, std::string>> headers;
};

struct Verdict
{
    bool allowed = false;
    int status = 403;
    std::string code; // the store's error code on refusal
    std::string message;
    // When allowed: the object and the store's sub-resource text ("", "uploads",
    // "partNumber=1&uploadId=x", "uploadId=x"), and the grant's key id for the log.
    std::string bucket;
    std::string key;
    std::string subresource;
    std::string keyId;
    // The body's SHA-256 (lowercase hex) that the signature covers, when it names one; the front
    // checks the body against it before the store gets its last byte.
    std::string payloadSha256;
};

Verdict authorize(const Incoming &request, const Settings &settings, int64_t now);

// Longest object key accepted.
constexpr size_t kMaxKeyBytes = 1024;

} // namespace storefront
