#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// The head of an HTTP/1.1 request as the store front reads it from a client. Pure, any thread.
namespace storefront {

constexpr size_t kMaxHeadBytes = 64 * 1024;
constexpr size_t kMaxHeaders = 100;

struct RequestHead
{
    std::string method;
    std::string target;
    int minorVersion = 1;                                     // HTTP/1.x
    std::vector<std::pair<std::string, std::string>> headers; // names as sent, values trimmed

    // The value of the first header of that name (any case), or empty.
    std::string header(const std::string &name) const;
    bool has(const std::string &name) const;
};

// ASCII letters in lowercase, as header names are compared.
std::string lower(std::string text);

// Parses the text before the blank line that ends a head. False, with why, for anything that is not
// a plain request line and "Name: value" lines: folded lines, control characters, too many headers.
bool parseRequestHead(const std::string &text, RequestHead *out, std::string *why);

} // namespace storefront
