#include "server/storefront/s3auth.h"

#include "s3sign/codec.h"

#include <algorithm>
#include <cctype>
#include <ctime>

namespace s3auth {

std::string base64url(const std::string &data)
{
    std::string out = s3sign::base64(data);
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

} // namespace s3auth
