#include "objstore/signer.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

namespace objstore {

std::string base64(const unsigned char *data, size_t size)
{
    std::string out(4 * ((size + 2) / 3), '\0');
    const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(&out[0]), data, int(size));
    out.resize(size_t(written));
    return out;
}

std::string hex(const unsigned char *data, size_t size)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

std::string hmacSha1Base64(const std::string &key, const std::string &text)
{
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha1(), key.data(), int(key.size()), reinterpret_cast<const unsigned char *>(text.data()),
         text.size(), mac, &length);
    return base64(mac, length);
}

std::string httpDate(int64_t seconds)
{
    const time_t t = time_t(seconds);
    struct tm utc;
    gmtime_r(&t, &utc);
    static const char *const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[40];
    snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[utc.tm_wday], utc.tm_mday,
             months[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

std::string encodeKey(const std::string &key)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : key) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out += char(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

std::string stringToSign(const SignedRequest &request)
{
    std::string text = request.method + "\n" + request.contentMd5 + "\n" + request.contentType + "\n\n";
    // std::map keeps the names sorted, as the canonical form wants.
    for (const auto &[name, value] : request.headers)
        if (name.compare(0, 6, "x-amz-") == 0)
            text += name + ":" + value + "\n";
    return text + request.resource;
}

namespace {

std::string hmacSha256(const std::string &key, const std::string &text)
{
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), int(key.size()), reinterpret_cast<const unsigned char *>(text.data()),
         text.size(), mac, &length);
    return std::string(reinterpret_cast<char *>(mac), length);
}

// Percent-encodes everything but the unreserved characters, as the second kind's canonical query wants.
std::string encodeQueryPart(const std::string &text)
{
    std::string out = encodeKey(text);
    std::string slashless;
    for (char c : out)
        slashless += c == '/' ? std::string("%2F") : std::string(1, c);
    return slashless;
}

std::string hostOf(const std::string &endpoint)
{
    const size_t start = endpoint.find("://");
    const size_t from = start == std::string::npos ? 0 : start + 3;
    return endpoint.substr(from, endpoint.find('/', from) - from);
}

std::string scope(const std::string &amzDateText, const std::string &region)
{
    return amzDateText.substr(0, 8) + "/" + region + "/s3/aws4_request";
}

} // namespace

std::string sha256Hex(const std::string &data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    return hex(digest, length);
}

std::string amzDate(int64_t seconds)
{
    const time_t t = time_t(seconds);
    struct tm utc;
    gmtime_r(&t, &utc);
    char text[20];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

std::string v4CanonicalRequest(const V4Request &request)
{
    std::vector<std::pair<std::string, std::string>> query;
    for (const auto &[name, value] : request.query)
        query.emplace_back(encodeQueryPart(name), encodeQueryPart(value));
    std::sort(query.begin(), query.end());
    std::string queryText, headers, names;
    for (const auto &[name, value] : query)
        queryText += (queryText.empty() ? "" : "&") + name + "=" + value;
    for (const auto &[name, value] : request.headers) {
        headers += name + ":" + value + "\n";
        names += (names.empty() ? "" : ";") + name;
    }
    return request.method + "\n" + encodeKey(request.path) + "\n" + queryText + "\n" + headers + "\n" +
           names + "\n" + request.payloadHash;
}

std::string v4Signature(const std::string &secret, const std::string &amzDateText, const std::string &region,
                        const std::string &canonicalRequest)
{
    const std::string toSign = "AWS4-HMAC-SHA256\n" + amzDateText + "\n" + scope(amzDateText, region) + "\n" +
                               sha256Hex(canonicalRequest);
    std::string key = hmacSha256("AWS4" + secret, amzDateText.substr(0, 8));
    key = hmacSha256(key, region);
    key = hmacSha256(key, "s3");
    key = hmacSha256(key, "aws4_request");
    const std::string mac = hmacSha256(key, toSign);
    return hex(reinterpret_cast<const unsigned char *>(mac.data()), mac.size());
}

std::string v4Authorization(const std::string &keyId, const std::string &secret, const std::string &region,
                            const std::string &amzDateText, const V4Request &request)
{
    std::string names;
    for (const auto &header : request.headers)
        names += (names.empty() ? "" : ";") + header.first;
    return "AWS4-HMAC-SHA256 Credential=" + keyId + "/" + scope(amzDateText, region) +
           ", SignedHeaders=" + names +
           ", Signature=" + v4Signature(secret, amzDateText, region, v4CanonicalRequest(request));
}

std::string presignGet(SignatureVersion version, const std::string &endpoint, const std::string &bucket,
                       const std::string &key, const std::string &keyId, const std::string &secret,
                       const std::string &token, const std::string &region, int64_t now, int64_t ttlSeconds)
{
    const std::string path = "/" + bucket + "/" + key;
    const std::string base = endpoint + encodeKey(path);
    if (version == SignatureVersion::V2) {
        const std::string expires = std::to_string(now + ttlSeconds);
        // A presigned address signs its expiry where a header signature has its date line.
        const std::string text = "GET\n\n\n" + expires + "\n" +
                                 (token.empty() ? "" : "x-amz-security-token:" + token + "\n") +
                                 encodeKey(path);
        std::string url = base + "?AWSAccessKeyId=" + encodeQueryPart(keyId) + "&Expires=" + expires +
                          "&Signature=" + encodeQueryPart(hmacSha1Base64(secret, text));
        if (!token.empty())
            url += "&x-amz-security-token=" + encodeQueryPart(token);
        return url;
    }
    V4Request request;
    request.method = "GET";
    request.path = path;
    const std::string date = amzDate(now);
    request.query = {{"X-Amz-Algorithm", "AWS4-HMAC-SHA256"},
                     {"X-Amz-Credential", keyId + "/" + scope(date, region)},
                     {"X-Amz-Date", date},
                     {"X-Amz-Expires", std::to_string(ttlSeconds)},
                     {"X-Amz-SignedHeaders", "host"}};
    if (!token.empty())
        request.query.emplace_back("X-Amz-Security-Token", token);
    request.headers = {{"host", hostOf(endpoint)}};
    request.payloadHash = "UNSIGNED-PAYLOAD";
    std::string url = base;
    char separator = '?';
    for (const auto &[name, value] : request.query) {
        url += separator + encodeQueryPart(name) + "=" + encodeQueryPart(value);
        separator = '&';
    }
    return url + "&X-Amz-Signature=" + v4Signature(secret, date, region, v4CanonicalRequest(request));
}

std::string authorization(const std::string &keyId, const std::string &secret, const SignedRequest &request)
{
    return "AWS " + keyId + ":" + hmacSha1Base64(secret, stringToSign(request));
}

} // namespace objstore
