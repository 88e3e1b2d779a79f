#include "s3sign/signing.h"

#include "s3sign/codec.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace s3sign {

namespace {

std::string hmac(const EVP_MD *md, const std::string &key, const std::string &text)
{
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(md, key.data(), int(key.size()), reinterpret_cast<const unsigned char *>(text.data()), text.size(),
         mac, &length);
    return std::string(reinterpret_cast<char *>(mac), length);
}

// The host of "scheme://host[:port]", which signatures of the second kind cover.
std::string hostOf(const std::string &endpoint)
{
    const size_t start = endpoint.find("://");
    const size_t from = start == std::string::npos ? 0 : start + 3;
    return endpoint.substr(from, endpoint.find('/', from) - from);
}

struct tm utcOf(int64_t seconds)
{
    const time_t t = time_t(seconds);
    struct tm utc;
    gmtime_r(&t, &utc);
    return utc;
}

} // namespace

std::string hmacSha1(const std::string &key, const std::string &text)
{
    return hmac(EVP_sha1(), key, text);
}

std::string hmacSha256(const std::string &key, const std::string &text)
{
    return hmac(EVP_sha256(), key, text);
}

std::string sha256Hex(const std::string &data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    return hex(digest, length);
}

std::string httpDate(int64_t seconds)
{
    const struct tm utc = utcOf(seconds);
    static const char *const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[40];
    snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", days[utc.tm_wday], utc.tm_mday,
             months[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

std::string amzDate(int64_t seconds)
{
    const struct tm utc = utcOf(seconds);
    char text[20];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

std::string v2StringToSign(const std::string &method, const std::string &contentMd5,
                           const std::string &contentType, const std::string &dateLine,
                           const std::map<std::string, std::string> &amzHeaders, const std::string &resource)
{
    std::string text = method + "\n" + contentMd5 + "\n" + contentType + "\n" + dateLine + "\n";
    for (const auto &[name, value] : amzHeaders)
        text += name + ":" + value + "\n";
    return text + resource;
}

std::string v2Signature(const std::string &secret, const std::string &stringToSign)
{
    return base64(hmacSha1(secret, stringToSign));
}

std::string v4CanonicalRequest(const V4Request &request)
{
    std::vector<std::pair<std::string, std::string>> query;
    for (const auto &[name, value] : request.query)
        query.emplace_back(percentEncode(name, false), percentEncode(value, false));
    std::sort(query.begin(), query.end());
    std::string queryText;
    for (const auto &[name, value] : query)
        queryText += (queryText.empty() ? "" : "&") + name + "=" + value;
    std::string headers, signedHeaders;
    for (const auto &[name, value] : request.headers) {
        headers += name + ":" + value + "\n";
        signedHeaders += (signedHeaders.empty() ? "" : ";") + name;
    }
    return request.method + "\n" + percentEncode(request.path, true) + "\n" + queryText + "\n" + headers +
           "\n" + signedHeaders + "\n" + request.payloadHash;
}

std::string v4Scope(const std::string &date, const std::string &region)
{
    return date + "/" + region + "/s3/aws4_request";
}

std::string v4Signature(const std::string &secret, const std::string &amzDateText, const std::string &region,
                        const std::string &canonicalRequest)
{
    const std::string date = amzDateText.substr(0, 8);
    const std::string toSign = "AWS4-HMAC-SHA256\n" + amzDateText + "\n" + v4Scope(date, region) + "\n" +
                               sha256Hex(canonicalRequest);
    std::string key = hmacSha256("AWS4" + secret, date);
    key = hmacSha256(key, region);
    key = hmacSha256(key, "s3");
    key = hmacSha256(key, "aws4_request");
    const std::string mac = hmacSha256(key, toSign);
    return hex(reinterpret_cast<const unsigned char *>(mac.data()), mac.size());
}

std::string presignGet(Version version, const std::string &endpoint, const std::string &bucket,
                       const std::string &key, const std::string &keyId, const std::string &secret,
                       const std::string &token, const std::string &region, int64_t now, int64_t ttlSeconds)
{
    const std::string path = percentEncode("/" + bucket + "/" + key, true);
    if (version == Version::V2) {
        const std::string expires = std::to_string(now + ttlSeconds);
        std::map<std::string, std::string> amzHeaders;
        if (!token.empty())
            amzHeaders["x-amz-security-token"] = token;
        // A presigned address signs its expiry where a header signature has its date line.
        const std::string signature =
            v2Signature(secret, v2StringToSign("GET", "", "", expires, amzHeaders, path));
        std::string url = endpoint + path + "?AWSAccessKeyId=" + percentEncode(keyId, false) +
                          "&Expires=" + expires + "&Signature=" + percentEncode(signature, false);
        if (!token.empty())
            url += "&x-amz-security-token=" + percentEncode(token, false);
        return url;
    }
    V4Request request;
    request.method = "GET";
    request.path = "/" + bucket + "/" + key;
    const std::string date = amzDate(now);
    request.query = {{"X-Amz-Algorithm", "AWS4-HMAC-SHA256"},
                     {"X-Amz-Credential", keyId + "/" + v4Scope(date.substr(0, 8), region)},
                     {"X-Amz-Date", date},
                     {"X-Amz-Expires", std::to_string(ttlSeconds)}};
    if (!token.empty())
        request.query.emplace_back("X-Amz-Security-Token", token);
    request.query.emplace_back("X-Amz-SignedHeaders", "host");
    request.headers = {{"host", hostOf(endpoint)}};
    request.payloadHash = "UNSIGNED-PAYLOAD";
    std::string url = endpoint + path;
    char separator = '?';
    for (const auto &[name, value] : request.query) {
        url += separator + percentEncode(name, false) + "=" + percentEncode(value, false);
        separator = '&';
    }
    return url + "&X-Amz-Signature=" + v4Signature(secret, date, region, v4CanonicalRequest(request));
}

} // namespace s3sign
