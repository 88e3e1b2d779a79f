#include "server/storefront/s3auth.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>

namespace s3auth {

namespace {

std::string hmac(const EVP_MD *md, const std::string &key, const std::string &text)
{
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(md, key.data(), int(key.size()), reinterpret_cast<const unsigned char *>(text.data()), text.size(),
         mac, &length);
    return std::string(reinterpret_cast<char *>(mac), length);
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The host of "scheme://host[:port]", which signatures of the second kind cover.
std::string hostOf(const std::string &endpoint)
{
    const size_t start = endpoint.find("://");
    const size_t from = start == std::string::npos ? 0 : start + 3;
    return endpoint.substr(from, endpoint.find('/', from) - from);
}

} // namespace

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

std::string base64(const std::string &data)
{
    std::string out(4 * ((data.size() + 2) / 3), '\0');
    const int written =
        EVP_EncodeBlock(reinterpret_cast<unsigned char *>(&out[0]),
                        reinterpret_cast<const unsigned char *>(data.data()), int(data.size()));
    out.resize(size_t(written));
    return out;
}

std::string base64url(const std::string &data)
{
    std::string out = base64(data);
    while (!out.empty() && out.back() == '=')
        out.pop_back();
    std::replace(out.begin(), out.end(), '+', '-');
    std::replace(out.begin(), out.end(), '/', '_');
    return out;
}

bool unbase64url(const std::string &text, std::string *out)
{
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string bytes;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        const size_t value = alphabet.find(c);
        if (value == std::string::npos)
            return false;
        bits = (bits << 6) | unsigned(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes += char((bits >> count) & 0xff);
        }
    }
    // Leftover bits of a canonical encoding are zero and fewer than a byte.
    if (count >= 6 || (bits & ((1u << count) - 1)) != 0)
        return false;
    *out = bytes;
    return true;
}

std::string uriEncode(const std::string &text, bool keepSlash)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || (keepSlash && c == '/')) {
            out += char(c);
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}

bool percentDecode(const std::string &text, std::string *out)
{
    std::string decoded;
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0)
            return false;
        decoded += char(high * 16 + low);
        i += 2;
    }
    *out = decoded;
    return true;
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
    return base64(hmac(EVP_sha1(), secret, stringToSign));
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

bool parseAmzDate(const std::string &text, int64_t *seconds)
{
    if (text.size() != 16 || text[8] != 'T' || text[15] != 'Z')
        return false;
    for (size_t i = 0; i < 15; ++i)
        if (i != 8 && !std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    struct tm utc = {};
    utc.tm_year = std::stoi(text.substr(0, 4)) - 1900;
    utc.tm_mon = std::stoi(text.substr(4, 2)) - 1;
    utc.tm_mday = std::stoi(text.substr(6, 2));
    utc.tm_hour = std::stoi(text.substr(9, 2));
    utc.tm_min = std::stoi(text.substr(11, 2));
    utc.tm_sec = std::stoi(text.substr(13, 2));
    if (utc.tm_mon > 11 || utc.tm_mday < 1 || utc.tm_mday > 31 || utc.tm_hour > 23 || utc.tm_min > 59 ||
        utc.tm_sec > 60)
        return false;
    *seconds = int64_t(timegm(&utc));
    return true;
}

std::string v4CanonicalRequest(const V4Request &request)
{
    std::vector<std::pair<std::string, std::string>> query;
    for (const auto &[name, value] : request.query)
        query.emplace_back(uriEncode(name, false), uriEncode(value, false));
    std::sort(query.begin(), query.end());
    std::string queryText;
    for (const auto &[name, value] : query)
        queryText += (queryText.empty() ? "" : "&") + name + "=" + value;
    std::string headers, signedHeaders;
    for (const auto &[name, value] : request.headers) {
        headers += name + ":" + value + "\n";
        signedHeaders += (signedHeaders.empty() ? "" : ";") + name;
    }
    return request.method + "\n" + uriEncode(request.path, true) + "\n" + queryText + "\n" + headers + "\n" +
           signedHeaders + "\n" + request.payloadHash;
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
    const std::string path = "/" + bucket + "/" + key;
    const std::string base = endpoint + uriEncode(path, true);
    if (version == Version::V2) {
        const std::string expires = std::to_string(now + ttlSeconds);
        const std::string signature =
            v2Signature(secret, v2StringToSign("GET", "", "", expires, {{"x-amz-security-token", token}},
                                               uriEncode(path, true)));
        return base + "?AWSAccessKeyId=" + uriEncode(keyId, false) + "&Expires=" + expires +
               "&Signature=" + uriEncode(signature, false) +
               "&x-amz-security-token=" + uriEncode(token, false);
    }
    V4Request request;
    request.method = "GET";
    request.path = path;
    const std::string date = amzDate(now);
    request.query = {{"X-Amz-Algorithm", "AWS4-HMAC-SHA256"},
                     {"X-Amz-Credential", keyId + "/" + v4Scope(date.substr(0, 8), region)},
                     {"X-Amz-Date", date},
                     {"X-Amz-Expires", std::to_string(ttlSeconds)},
                     {"X-Amz-Security-Token", token},
                     {"X-Amz-SignedHeaders", "host"}};
    request.headers = {{"host", hostOf(endpoint)}};
    request.payloadHash = "UNSIGNED-PAYLOAD";
    std::string url = base;
    char separator = '?';
    for (const auto &[name, value] : request.query) {
        url += separator + uriEncode(name, false) + "=" + uriEncode(value, false);
        separator = '&';
    }
    return url + "&X-Amz-Signature=" + v4Signature(secret, date, region, v4CanonicalRequest(request));
}

} // namespace s3auth
