#include "server/storefront/relay.h"

#include "s3sign/codec.h"

#include <openssl/rand.h>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

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
    return s3sign::hex(random, sizeof random);
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

ssize_t BufferedSocket::read(char *out, size_t size)
{
    if (!buffer_.empty()) {
        const size_t n = std::min(size, buffer_.size());
        std::memcpy(out, buffer_.data(), n);
        buffer_.erase(0, n);
        return ssize_t(n);
    }
    return ::recv(fd_, out, size, 0);
}

BufferedSocket::Head BufferedSocket::takeHead(std::string *text)
{
    size_t end;
    while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
        if (buffer_.size() > kMaxHeadBytes)
            return Head::TooLong;
        char block[16384];
        const ssize_t n = ::recv(fd_, block, sizeof block, 0);
        if (n <= 0)
            return Head::Closed;
        buffer_.append(block, size_t(n));
    }
    *text = buffer_.substr(0, end);
    buffer_.erase(0, end + 4);
    return Head::Read;
}

Upstream::~Upstream()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool Upstream::connect(const std::string &host, int port, int timeoutSeconds)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return false;
    for (addrinfo *a = found; a && fd_ < 0; a = a->ai_next) {
        fd_ = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd_ < 0)
            continue;
        if (::connect(fd_, a->ai_addr, a->ai_addrlen) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    freeaddrinfo(found);
    if (fd_ < 0)
        return false;
    timeval timeout = {timeoutSeconds, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

bool Upstream::readHead(int *status, std::vector<std::pair<std::string, std::string>> *headers,
                        int64_t *length)
{
    std::string head;
    if (takeHead(&head) != Head::Read)
        return false;
    size_t lineEnd = head.find("\r\n");
    const std::string statusLine = head.substr(0, lineEnd);
    if (statusLine.compare(0, 5, "HTTP/") != 0 || statusLine.size() < 12)
        return false;
    *status = std::atoi(statusLine.c_str() + 9);
    *length = -1;
    while (lineEnd != std::string::npos) {
        const size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string line =
            head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string name = lower(line.substr(0, colon));
        const size_t first = line.find_first_not_of(" \t", colon + 1);
        const std::string value = first == std::string::npos ? std::string() : line.substr(first);
        if (name == "content-length")
            *length = std::strtoll(value.c_str(), nullptr, 10);
        if (name == "transfer-encoding" && lower(value) != "identity")
            return false; // not what the store sends; a chunked body would need decoding
        headers->emplace_back(name, value);
    }
    return *status >= 100 && *status < 600;
}

bool Client::readHead(RequestHead *head, std::string *why)
{
    std::string text;
    switch (takeHead(&text)) {
    case Head::TooLong:
        *why = "request head too long";
        return false;
    case Head::Closed:
        return false;
    case Head::Read:
        break;
    }
    return parseRequestHead(text, head, why);
}

bool Client::skip(int64_t size)
{
    std::vector<char> block(kRelayBlock);
    while (size > 0) {
        const ssize_t n = read(block.data(), size_t(std::min<int64_t>(size, int64_t(block.size()))));
        if (n <= 0)
            return false;
        size -= n;
    }
    return true;
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
