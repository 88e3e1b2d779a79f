#include "objstore/signer.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cctype>
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

std::string authorization(const std::string &keyId, const std::string &secret, const SignedRequest &request)
{
    return "AWS " + keyId + ":" + hmacSha1Base64(secret, stringToSign(request));
}

} // namespace objstore
