#pragma once

#include "server/storefront/httphead.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

// The store front's connections, to its clients and to the store, and the answers it writes. A
// connection belongs to the one thread that serves it.
namespace storefront {

constexpr size_t kRelayBlock = 256 * 1024;

// Sends all of `data` on a blocking socket; false once the peer is gone or the send times out.
bool sendAll(int fd, const char *data, size_t size);
std::string lower(std::string text);
// For the log: what a client sent, without control characters and not too long.
std::string printable(const std::string &text);
std::string requestId();
// The store's error document.
std::string errorDocument(const std::string &code, const std::string &message, const std::string &id);
const char *reason(int status);
bool isForwardedHeader(const std::string &name);
bool isHopHeader(const std::string &name);

// One request to the store on a connection of its own, closed after the answer.
class Upstream
{
public:
    ~Upstream()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    bool connect(const std::string &host, int port, int timeoutSeconds)
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

    bool send(const char *data, size_t size) { return sendAll(fd_, data, size); }

    // Reads the answer's status line and headers; the body's first bytes stay buffered.
    bool readHead(int *status, std::vector<std::pair<std::string, std::string>> *headers, int64_t *length)
    {
        size_t end;
        while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
            if (buffer_.size() > kMaxHeadBytes || !fill())
                return false;
        }
        const std::string head = buffer_.substr(0, end);
        buffer_.erase(0, end + 4);
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

    // Up to `size` body bytes; 0 at the end, -1 on an error.
    ssize_t read(char *out, size_t size)
    {
        if (!buffer_.empty()) {
            const size_t n = std::min(size, buffer_.size());
            std::memcpy(out, buffer_.data(), n);
            buffer_.erase(0, n);
            return ssize_t(n);
        }
        return ::recv(fd_, out, size, 0);
    }

private:
    bool fill()
    {
        char block[16384];
        const ssize_t n = ::recv(fd_, block, sizeof block, 0);
        if (n <= 0)
            return false;
        buffer_.append(block, size_t(n));
        return true;
    }

    int fd_ = -1;
    std::string buffer_;
};

// A client's connection: the bytes read past the current head are kept for its body and the next
// request.
class Client
{
public:
    explicit Client(int fd) : fd_(fd) {}

    // The next request's head. False at the end of the connection or on an error; `why` is set
    // when the client sent something that is not a request.
    bool readHead(RequestHead *head, std::string *why)
    {
        size_t end;
        while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
            if (buffer_.size() > kMaxHeadBytes) {
                *why = "request head too long";
                return false;
            }
            if (!fill())
                return false;
        }
        const std::string text = buffer_.substr(0, end);
        buffer_.erase(0, end + 4);
        return parseRequestHead(text, head, why);
    }

    // Up to `size` body bytes; 0 when the client closed, -1 on an error.
    ssize_t read(char *out, size_t size)
    {
        if (!buffer_.empty()) {
            const size_t n = std::min(size, buffer_.size());
            std::memcpy(out, buffer_.data(), n);
            buffer_.erase(0, n);
            return ssize_t(n);
        }
        return ::recv(fd_, out, size, 0);
    }

    bool write(const char *data, size_t size) { return sendAll(fd_, data, size); }
    bool write(const std::string &text) { return write(text.data(), text.size()); }

    // Reads and drops `size` body bytes.
    bool skip(int64_t size)
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

private:
    bool fill()
    {
        char block[16384];
        const ssize_t n = ::recv(fd_, block, sizeof block, 0);
        if (n <= 0)
            return false;
        buffer_.append(block, size_t(n));
        return true;
    }

    int fd_;
    std::string buffer_;
};

// Writes an answer with a small body; false when the client is gone.
bool answer(Client &client, int status, const std::vector<std::pair<std::string, std::string>> &headers,
            const std::string &body, bool head, bool close);
bool answerError(Client &client, int status, const std::string &code, const std::string &message, bool head,
                 bool close);

} // namespace storefront
