#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace provider {

// Length of the well-formed UTF-8 sequence starting at text[pos], or 0 when it is malformed
// (overlong forms, surrogates and code points above U+10FFFF are malformed).
size_t utf8SequenceLength(std::string_view text, size_t pos);
bool isValidUtf8(std::string_view text);
// Number of code points of valid UTF-8 text.
size_t codePointCount(std::string_view text);
bool hasControlChars(std::string_view text);

// Decoded form or query parameters, in the order they were sent.
class Params
{
public:
    const std::string *find(std::string_view name) const;
    void add(std::string name, std::string value) { items_.emplace_back(std::move(name), std::move(value)); }
    size_t size() const { return items_.size(); }

private:
    std::vector<std::pair<std::string, std::string>> items_;
};

// Parses "a=1&b=2" the way the client writes it: "%XX" escapes are decoded, '+' stays a plus sign
// and raw spaces and raw UTF-8 are allowed. Refuses bad escapes, invalid UTF-8, NUL bytes, repeated
// names and more than maxItems items; `error` then says why in the user's language.
bool parseParams(std::string_view text, Params &out, std::string &error, size_t maxItems = 64);

// Whole-string decimal integer, optionally negative, within the given range.
std::optional<int64_t> parseInt(std::string_view text, int64_t min, int64_t max);

// "5,7,9": positive decimal ids separated by single commas. Repeated ids keep their first place.
// Empty items, signs, spaces and more than maxCount ids are refused.
bool parseIdList(std::string_view text, std::vector<int64_t> &out, size_t maxCount);

// Mainland mobile number: 11 digits starting with 1 and a second digit 3 to 9.
bool isMobileNumber(std::string_view text);

// Wall-clock milliseconds since the epoch.
int64_t nowMs();
// Local time as "yyyy-MM-dd HH:mm:ss".
std::string formatLocalTime(std::time_t t);
// Remaining rental time in words ("29天23小时"), or "已到期".
std::string remainText(std::time_t end, std::time_t now);

} // namespace provider
