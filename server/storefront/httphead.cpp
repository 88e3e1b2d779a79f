#include "server/storefront/httphead.h"

#include <algorithm>
#include <cctype>
#include <strings.h>

namespace storefront {

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

namespace {

bool isToken(const std::string &text)
{
    static const std::string extra = "!#$%&'*+-.^_`|~";
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
        return std::isalnum(c) || extra.find(char(c)) != std::string::npos;
    });
}

std::string trimmed(const std::string &text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

} // namespace

std::string RequestHead::header(const std::string &name) const
{
    for (const auto &[n, value] : headers)
        if (strcasecmp(n.c_str(), name.c_str()) == 0)
            return value;
    return {};
}

bool RequestHead::has(const std::string &name) const
{
    return std::any_of(headers.begin(), headers.end(),
                       [&name](const auto &h) { return strcasecmp(h.first.c_str(), name.c_str()) == 0; });
}

bool parseRequestHead(const std::string &text, RequestHead *out, std::string *why)
{
    if (text.size() > kMaxHeadBytes) {
        *why = "request head too long";
        return false;
    }
    RequestHead head;
    size_t start = 0;
    bool first = true;
    while (start < text.size() || first) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 2;
        if (std::any_of(line.begin(), line.end(),
                        [](unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7f; })) {
            *why = "control character in the request head";
            return false;
        }
        if (first) {
            first = false;
            const size_t a = line.find(' ');
            const size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
            if (b == std::string::npos || line.find(' ', b + 1) != std::string::npos) {
                *why = "malformed request line";
                return false;
            }
            head.method = line.substr(0, a);
            head.target = line.substr(a + 1, b - a - 1);
            const std::string version = line.substr(b + 1);
            if (!isToken(head.method) || head.target.empty() ||
                (version != "HTTP/1.1" && version != "HTTP/1.0")) {
                *why = "malformed request line";
                return false;
            }
            head.minorVersion = version.back() - '0';
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string::npos || !isToken(line.substr(0, colon))) {
            *why = "malformed header line";
            return false;
        }
        if (head.headers.size() >= kMaxHeaders) {
            *why = "too many headers";
            return false;
        }
        head.headers.emplace_back(line.substr(0, colon), trimmed(line.substr(colon + 1)));
    }
    *out = head;
    return true;
}

} // namespace storefront
