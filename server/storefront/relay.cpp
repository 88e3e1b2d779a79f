#include "server/storefront/relay.h"

#include "server/storefront/s3auth.h"

#include <openssl/rand.h>

#include <cctype>

namespace storefront {

namespace {

std::string xmlEscape(const std::string &text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

} // namespace

// Sends all of `data` on a blocking socket; false once the peer is gone or the send times out.
bool sendAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

// For the log: what a client sent, without control characters and not too long.
std::string printable(const std::string &text)
{
    std::string out;
    for (unsigned char c : text.substr(0, 300))
        out += c < 0x20 || c == 0x7f ? '?' : char(c);
    return out;
}

std::string requestId()
{
    unsigned char random[8];
    RAND_bytes(random, sizeof random);
    return s3auth::hex(random, sizeof random);
}

// The store's error document.
std::string errorDocument(const std::string &code, const std::string &message, const std::string &id)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>" + xmlEscape(code) +
           "</Code><Message>" + xmlEscape(message) + "</Message><RequestId>" + id + "</RequestId></Error>";
}

const char *reason(int status)
{
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 206:
        return "Partial Content";
    case 304:
        return "Not Modified";
    case 400:
        return "Bad Request";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 411:
        return "Length Required";
    case 412:
        return "Precondition Failed";
    case 413:
        return "Payload Too Large";
    case 416:
        return "Range Not Satisfiable";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

bool isForwardedHeader(const std::string &name)
{
    static const char *const names[] = {
        "content-type", "content-md5", "cache-control", "content-disposition", "content-encoding",
        "range",        "if-match",    "if-none-match", "if-modified-since",   "if-unmodified-since"};
    return std::find(std::begin(names), std::end(names), name) != std::end(names) ||
           name.compare(0, 11, "x-amz-meta-") == 0;
}

bool isHopHeader(const std::string &name)
{
    return name == "connection" || name == "keep-alive" || name == "transfer-encoding" ||
           name == "content-length" || name == "content-type" || name == "date";
}

// Writes an answer with a small body; false when the client is gone.
bool answer(Client &client, int status, const std::vector<std::pair<std::string, std::string>> &headers,
            const std::string &body, bool head, bool close)
{
    std::string text = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
    for (const auto &[name, value] : headers)
        text += name + ": " + value + "\r\n";
    text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    if (close)
        text += "Connection: close\r\n";
    text += "\r\n";
    if (!head)
        text += body;
    return client.write(text);
}

bool answerError(Client &client, int status, const std::string &code, const std::string &message, bool head,
                 bool close)
{
    const std::string id = requestId();
    return answer(client, status, {{"Content-Type", "application/xml"}, {"x-amz-request-id", id}},
                  errorDocument(code, message, id), head, close);
}

} // namespace storefront
