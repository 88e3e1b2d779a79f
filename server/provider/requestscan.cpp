#include "server/provider/requestscan.h"

#include "s3sign/codec.h"

#include <algorithm>
#include <cstdint>

namespace provider {

namespace {

// Longest chunk-size line taken, extensions included.
constexpr size_t kMaxChunkLine = 1024;

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// Digits only, false on anything else. A value past `limit` reads as limit + 1, so that any size
// of number is refused for its size rather than wrapping round.
bool parseLength(std::string_view s, uint64_t limit, uint64_t &out)
{
    if (s.empty())
        return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        v = std::min<uint64_t>(v * 10 + static_cast<uint64_t>(c - '0'), limit + 1);
    }
    out = v;
    return true;
}

RequestScan refused(RequestScan r, int status)
{
    r.state = RequestScan::Refused;
    r.status = status;
    return r;
}

// The body methods are those whose body the HTTP library reads.
bool takesBody(std::string_view method)
{
    for (const char *m : {"POST", "PUT", "PATCH", "DELETE", "PRI"})
        if (method == m)
            return true;
    return false;
}

// The framing counts towards the limit as well, so the whole request always fits the buffer.
RequestScan scanChunked(std::string_view data, size_t start, const RequestLimits &limits, RequestScan r)
{
    const size_t maxRaw = limits.maxBody + kChunkFraming;
    const auto waiting = [&] { return data.size() - start >= maxRaw ? refused(r, 413) : r; };
    size_t pos = start, total = 0;
    for (;;) {
        const size_t lineEnd = data.find("\r\n", pos);
        if (lineEnd == std::string_view::npos)
            return data.size() - pos > kMaxChunkLine ? refused(r, 400) : waiting();
        if (lineEnd - pos > kMaxChunkLine)
            return refused(r, 400);
        size_t size = 0, digits = 0;
        for (size_t i = pos; i < lineEnd && s3sign::hexValue(data[i]) >= 0; ++i, ++digits) {
            size = size * 16 + static_cast<size_t>(s3sign::hexValue(data[i]));
            if (size > limits.maxBody)
                return refused(r, 413);
        }
        if (digits == 0)
            return refused(r, 400);
        pos = lineEnd + 2;
        if (size == 0) {
            // No trailers: the library takes none either.
            if (data.size() - pos < 2)
                return waiting();
            if (data.substr(pos, 2) != "\r\n")
                return refused(r, 400);
            if (pos + 2 - start > maxRaw)
                return refused(r, 413);
            r.state = RequestScan::Complete;
            r.length = pos + 2;
            return r;
        }
        total += size;
        if (total > limits.maxBody)
            return refused(r, 413);
        if (data.size() - pos < size + 2)
            return waiting();
        if (data.substr(pos + size, 2) != "\r\n")
            return refused(r, 400);
        pos += size + 2;
    }
}

} // namespace

RequestScan scanRequest(std::string_view data, const RequestLimits &limits)
{
    RequestScan r;
    const size_t headEnd = data.find("\r\n\r\n");
    if (headEnd == std::string_view::npos)
        return data.size() > limits.maxHead ? refused(r, 431) : r;
    const size_t bodyStart = headEnd + 4;
    if (bodyStart > limits.maxHead)
        return refused(r, 431);
    r.headDone = true;
    const std::string_view head = data.substr(0, headEnd);
    size_t lineEnd = head.find("\r\n");
    const std::string_view requestLine = head.substr(0, lineEnd);
    const std::string_view method = requestLine.substr(0, requestLine.find(' '));
    if (method.empty() || method.size() == requestLine.size())
        return refused(r, 400);

    bool haveLength = false, chunked = false;
    uint64_t length = 0;
    while (lineEnd != std::string_view::npos) {
        const size_t next = head.find("\r\n", lineEnd + 2);
        const std::string_view line = head.substr(
            lineEnd + 2, next == std::string_view::npos ? std::string_view::npos : next - lineEnd - 2);
        lineEnd = next;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = trimmed(line.substr(colon + 1));
        if (equalsIgnoringCase(name, "Content-Length")) {
            uint64_t v = 0;
            if (!parseLength(value, limits.maxBody, v) || (haveLength && v != length))
                return refused(r, 400);
            haveLength = true;
            length = v;
        } else if (equalsIgnoringCase(name, "Transfer-Encoding")) {
            if (!equalsIgnoringCase(value, "chunked"))
                return refused(r, 501);
            chunked = true;
        } else if (equalsIgnoringCase(name, "Expect")) {
            r.expectsContinue = equalsIgnoringCase(value, "100-continue");
        }
    }
    // Both at once is how requests are smuggled past a proxy.
    if (chunked && haveLength)
        return refused(r, 400);
    if (!takesBody(method)) {
        if (chunked || length > 0)
            return refused(r, 400);
        r.state = RequestScan::Complete;
        r.length = bodyStart;
        return r;
    }
    if (length > limits.maxBody)
        return refused(r, 413);
    if (chunked) {
        r.bodyLength = limits.maxBody;
        return scanChunked(data, bodyStart, limits, r);
    }
    r.bodyLength = static_cast<size_t>(length);
    if (data.size() - bodyStart < r.bodyLength)
        return r;
    r.state = RequestScan::Complete;
    r.length = bodyStart + r.bodyLength;
    return r;
}

} // namespace provider
