#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Hex, base64 and percent coding as object-store requests and form parameters use them. Pure
// functions, any thread.
namespace s3sign {

// Lowercase hex.
std::string hex(const unsigned char *data, size_t size);
// The value of one hexadecimal digit, or -1.
int hexValue(char c);

std::string base64(const unsigned char *data, size_t size);
std::string base64(std::string_view data);

// Percent-encodes all but the unreserved characters (and "/" when `keepSlash`, so keys keep their
// folders), with uppercase digits.
std::string percentEncode(std::string_view text, bool keepSlash);
// Decodes %XX escapes; false on a malformed escape, leaving `out` as it was. "+" stays "+".
bool percentDecode(std::string_view text, std::string &out);

} // namespace s3sign
