#include "server/provider/textutil.h"

#include "s3sign/codec.h"

#include <chrono>
#include <cstdio>
#include <unordered_set>

namespace provider {

size_t utf8SequenceLength(std::string_view text, size_t pos)
{
    const auto b = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char c = b(pos);
    if (c < 0x80)
        return 1;
    size_t n;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (pos + n > text.size())
        return 0;
    for (size_t i = 1; i < n; ++i) {
        if ((b(pos + i) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (b(pos + i) & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

bool isValidUtf8(std::string_view text)
{
    for (size_t i = 0; i < text.size();) {
        const size_t n = utf8SequenceLength(text, i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

size_t codePointCount(std::string_view text)
{
    size_t count = 0;
    for (unsigned char c : text)
        count += (c & 0xC0) != 0x80;
    return count;
}

bool hasControlChars(std::string_view text)
{
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F)
            return true;
    return false;
}

const std::string *Params::find(std::string_view name) const
{
    for (const auto &item : items_)
        if (item.first == name)
            return &item.second;
    return nullptr;
}

bool parseParams(std::string_view text, Params &out, std::string &error, size_t maxItems)
{
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('&', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view item = text.substr(start, end - start);
        start = end + 1;
        if (item.empty())
            continue;
        const size_t eq = item.find('=');
        std::string name, value;
        if (!s3sign::percentDecode(item.substr(0, eq), name) ||
            !s3sign::percentDecode(eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1),
                                   value)) {
            error = "参数格式错误：转义字符无效";
            return false;
        }
        if (!isValidUtf8(name) || !isValidUtf8(value) || name.find('\0') != std::string::npos ||
            value.find('\0') != std::string::npos) {
            error = "参数包含无效字符";
            return false;
        }
        if (name.empty()) {
            error = "参数格式错误：缺少参数名";
            return false;
        }
        if (out.find(name)) {
            error = "参数重复：" + (hasControlChars(name) ? std::string("?") : name);
            return false;
        }
        if (out.size() >= maxItems) {
            error = "参数过多";
            return false;
        }
        out.add(std::move(name), std::move(value));
    }
    return true;
}

std::optional<int64_t> parseInt(std::string_view text, int64_t min, int64_t max)
{
    size_t i = 0;
    bool negative = false;
    if (!text.empty() && text[0] == '-') {
        negative = true;
        i = 1;
    }
    if (i >= text.size() || text.size() - i > 18)
        return std::nullopt;
    int64_t v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return std::nullopt;
        v = v * 10 + (text[i] - '0');
    }
    if (negative)
        v = -v;
    if (v < min || v > max)
        return std::nullopt;
    return v;
}

bool parseIdList(std::string_view text, std::vector<int64_t> &out, size_t maxCount)
{
    out.clear();
    if (text.empty())
        return true;
    std::unordered_set<int64_t> seen;
    size_t start = 0;
    while (true) {
        size_t end = text.find(',', start);
        const std::string_view item = text.substr(start, end == std::string_view::npos ? end : end - start);
        if (item.empty() || item[0] == '-')
            return false;
        const auto id = parseInt(item, 1, INT32_MAX);
        if (!id)
            return false;
        if (seen.insert(*id).second) {
            if (out.size() >= maxCount)
                return false;
            out.push_back(*id);
        }
        if (end == std::string_view::npos)
            return true;
        start = end + 1;
    }
}

bool isMobileNumber(std::string_view text)
{
    if (text.size() != 11 || text[0] != '1' || text[1] < '3' || text[1] > '9')
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string formatLocalTime(std::time_t t)
{
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

std::string remainText(std::time_t end, std::time_t now)
{
    if (end <= now)
        return "已到期";
    const long long hours = (end - now) / 3600;
    return std::to_string(hours / 24) + "天" + std::to_string(hours % 24) + "小时";
}

} // namespace provider
