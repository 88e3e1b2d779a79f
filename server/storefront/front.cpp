#include "server/storefront/front.h"

#include "s3sign/codec.h"
#include "s3sign/signing.h"
#include "server/storefront/httphead.h"
#include "server/storefront/s3auth.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <thread>
#include <vector>

namespace storefront {

namespace {

constexpr size_t kMaxUnsizedBody = 16 * 1024 * 1024;
constexpr size_t kRelayBlock = 256 * 1024;
constexpr size_t kMaxObjectBytes = size_t(5) << 30; // one PUT or part; what S3 itself allows

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

} // namespace

bool parseStoreUrl(const std::string &url, std::string *host, int *port)
{
    if (url.compare(0, 7, "http://") != 0)
        return false;
    const size_t slash = url.find('/', 7);
    const std::string rest = url.substr(7, slash == std::string::npos ? std::string::npos : slash - 7);
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    *host = rest.substr(0, colon);
    const std::string portText = rest.substr(colon + 1);
    if (portText.empty() || portText.size() > 5 || !std::all_of(portText.begin(), portText.end(), ::isdigit))
        return false;
    *port = std::atoi(portText.c_str());
    return *port > 0 && *port < 65536;
}

Front::Front(FrontOptions options) : options_(std::move(options))
{
    parseStoreUrl(options_.storeUrl, &storeHost_, &storePort_);
}

Front::~Front()
{
    for (int fd : {listenFd_, wakeFds_[0], wakeFds_[1]})
        if (fd >= 0)
            ::close(fd);
}

int Front::bind(const std::string &host, int port)
{
    if (storeHost_.empty() || ::pipe2(wakeFds_, O_CLOEXEC) != 0)
        return -1;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
        return -1;
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 128) != 0)
        return -1;
    socklen_t length = sizeof address;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

bool Front::serve()
{
    if (listenFd_ < 0)
        return false;
    while (!stopping_) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            break;
        if (stopping_ || !(fds[0].revents & POLLIN))
            continue;
        sockaddr_in peer = {};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        std::unique_lock<std::mutex> guard(mutex_);
        if (int(open_.size()) >= options_.maxConnections) {
            guard.unlock();
            ::close(fd);
            continue;
        }
        open_.insert(fd);
        guard.unlock();
        std::thread([this, fd, peerText = std::string(text)] { serveConnection(fd, peerText); }).detach();
    }
    std::unique_lock<std::mutex> guard(mutex_);
    for (int fd : open_)
        ::shutdown(fd, SHUT_RDWR);
    closed_.wait(guard, [this] { return open_.empty(); });
    return true;
}

void Front::stop()
{
    stopping_ = true;
    const char byte = 0;
    if (wakeFds_[1] >= 0 && ::write(wakeFds_[1], &byte, 1) < 0)
        std::fprintf(stderr, "cannot wake the front\n");
}

void Front::serveConnection(int fd, const std::string &peer)
{
    timeval timeout = {options_.ioTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Client client(fd);
    for (bool keep = true; keep && !stopping_;) {
        RequestHead head;
        std::string why;
        if (!client.readHead(&head, &why)) {
            if (!why.empty())
                answerError(client, 400, "BadRequest", why, false, true);
            break;
        }
        const bool isHead = head.method == "HEAD";
        keep = head.minorVersion == 1 ? strcasecmp(head.header("Connection").c_str(), "close") != 0
                                      : strcasecmp(head.header("Connection").c_str(), "keep-alive") == 0;
        if (head.has("Transfer-Encoding")) {
            answerError(client, 411, "MissingContentLength", "the request must name its Content-Length",
                        isHead, true);
            break;
        }
        const std::string lengthText = head.header("Content-Length");
        int64_t bodyLength = 0;
        if (!lengthText.empty()) {
            if (lengthText.size() > 12 || !std::all_of(lengthText.begin(), lengthText.end(), ::isdigit)) {
                answerError(client, 400, "BadRequest", "malformed Content-Length", isHead, true);
                break;
            }
            bodyLength = std::strtoll(lengthText.c_str(), nullptr, 10);
        }
        const bool expectsContinue = strcasecmp(head.header("Expect").c_str(), "100-continue") == 0;

        Incoming incoming;
        incoming.method = head.method;
        incoming.target = head.target;
        incoming.headers = head.headers;
        const Verdict verdict = authorize(incoming, options_.settings, int64_t(std::time(nullptr)));
        // A body left unread would be taken for the next request; a large one is not worth reading.
        const auto refuse = [&](int status, const std::string &code, const std::string &message) {
            const bool drain =
                !expectsContinue && bodyLength <= int64_t(kRelayBlock) && client.skip(bodyLength);
            keep = keep && drain;
            answerError(client, status, code, message, isHead, !keep);
        };
        if (!verdict.allowed) {
            std::fprintf(stderr, "refused %s %s from %s: %s: %s\n", printable(head.method).c_str(),
                         printable(head.target).c_str(), peer.c_str(), verdict.code.c_str(),
                         printable(verdict.message).c_str());
            refuse(verdict.status, verdict.code, verdict.message);
            continue;
        }
        const bool hasBody = head.method == "PUT" || head.method == "POST";
        if (hasBody && lengthText.empty()) {
            refuse(411, "MissingContentLength", "the request must name its Content-Length");
            continue;
        }
        if (bodyLength > int64_t(kMaxObjectBytes) || (!hasBody && bodyLength > 0)) {
            refuse(413, "EntityTooLarge", "the request body is too large for its kind");
            continue;
        }

        // The store's own signature over what is forwarded.
        std::map<std::string, std::string> amz;
        std::string forwarded, contentType, contentMd5;
        for (const auto &[name, value] : head.headers) {
            const std::string n = lower(name);
            if (!isForwardedHeader(n))
                continue;
            forwarded += n + ": " + value + "\r\n";
            if (n == "content-type")
                contentType = value;
            else if (n == "content-md5")
                contentMd5 = value;
            else if (n.compare(0, 11, "x-amz-meta-") == 0)
                amz[n] = value;
        }
        const std::string date = s3sign::httpDate(int64_t(std::time(nullptr)));
        amz["x-amz-date"] = date;
        std::string resource = "/" + verdict.bucket + "/" + s3sign::percentEncode(verdict.key, true);
        if (!verdict.subresource.empty())
            resource += "?" + verdict.subresource;
        const std::string signature = s3auth::v2Signature(
            options_.storeKeySecret,
            s3auth::v2StringToSign(head.method, contentMd5, contentType, "", amz, resource));
        const std::string request =
            head.method + " " + resource + " HTTP/1.1\r\nHost: " + storeHost_ + ":" +
            std::to_string(storePort_) + "\r\nConnection: close\r\nAuthorization: AWS " +
            options_.storeKeyId + ":" + signature + "\r\nx-amz-date: " + date + "\r\n" + forwarded +
            (hasBody ? "Content-Length: " + std::to_string(bodyLength) + "\r\n" : std::string()) + "\r\n";

        Upstream upstream;
        if (!upstream.connect(storeHost_, storePort_, options_.ioTimeoutSeconds) ||
            !upstream.send(request.data(), request.size())) {
            refuse(503, "ServiceUnavailable", "the object store cannot be reached");
            continue;
        }
        if (expectsContinue && bodyLength > 0 && !client.write("HTTP/1.1 100 Continue\r\n\r\n"))
            break;
        if (bodyLength > 0) {
            // Streamed as it comes; a client that stops early leaves the store a cut request, which
            // it drops with the connection. A body whose signed digest does not match is cut the same
            // way: its last block is held back until the digest is known.
            std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> digest(nullptr, &EVP_MD_CTX_free);
            if (!verdict.payloadSha256.empty()) {
                digest.reset(EVP_MD_CTX_new());
                EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr);
            }
            std::vector<char> block(kRelayBlock), held(kRelayBlock);
            size_t heldSize = 0;
            int64_t left = bodyLength;
            bool upstreamOk = true;
            while (left > 0) {
                const ssize_t n =
                    client.read(block.data(), size_t(std::min<int64_t>(left, int64_t(block.size()))));
                if (n <= 0)
                    break;
                left -= n;
                if (digest)
                    EVP_DigestUpdate(digest.get(), block.data(), size_t(n));
                upstreamOk = upstreamOk && (heldSize == 0 || upstream.send(held.data(), heldSize));
                std::swap(block, held);
                heldSize = size_t(n);
            }
            if (left > 0)
                break;
            if (digest) {
                unsigned char sum[EVP_MAX_MD_SIZE];
                unsigned int size = 0;
                EVP_DigestFinal_ex(digest.get(), sum, &size);
                if (s3auth::hex(sum, size) != verdict.payloadSha256) {
                    std::fprintf(stderr, "refused %s %s from %s: XAmzContentSHA256Mismatch\n",
                                 printable(head.method).c_str(), printable(head.target).c_str(),
                                 peer.c_str());
                    answerError(client, 400, "XAmzContentSHA256Mismatch",
                                "the body's SHA-256 differs from x-amz-content-sha256", isHead, !keep);
                    continue;
                }
            }
            upstreamOk = upstreamOk && upstream.send(held.data(), heldSize);
            if (!upstreamOk) {
                answerError(client, 503, "ServiceUnavailable", "the object store dropped the request", isHead,
                            !keep);
                continue;
            }
        }

        int status = 0;
        int64_t length = -1;
        std::vector<std::pair<std::string, std::string>> headers;
        if (!upstream.readHead(&status, &headers, &length)) {
            answerError(client, 502, "BadGateway", "the object store's answer is not HTTP", isHead, !keep);
            continue;
        }
        std::string reply = "HTTP/1.1 " + std::to_string(status) + " " + reason(status) + "\r\n";
        for (const auto &[name, value] : headers)
            if (!isHopHeader(name) || name == "content-type")
                reply += name + ": " + value + "\r\n";
        const bool bodyless = isHead || status == 204 || status == 304;
        if (length < 0 && !bodyless) {
            // Not what the store does; read to its end, within a limit, to learn the length.
            std::string body;
            char part[16384];
            for (ssize_t n; (n = upstream.read(part, sizeof part)) > 0 && body.size() <= kMaxUnsizedBody;)
                body.append(part, size_t(n));
            if (body.size() > kMaxUnsizedBody) {
                answerError(client, 502, "BadGateway", "the object store's answer is too long", isHead,
                            !keep);
                continue;
            }
            length = int64_t(body.size());
            reply += "Content-Length: " + std::to_string(length) + "\r\n" +
                     (keep ? std::string() : std::string("Connection: close\r\n")) + "\r\n" + body;
            if (!client.write(reply))
                break;
            continue;
        }
        if (length >= 0)
            reply += "Content-Length: " + std::to_string(length) + "\r\n";
        reply += keep ? "\r\n" : "Connection: close\r\n\r\n";
        if (!client.write(reply))
            break;
        if (!bodyless && length > 0) {
            std::vector<char> block(kRelayBlock);
            int64_t left = length;
            while (left > 0) {
                const ssize_t n =
                    upstream.read(block.data(), size_t(std::min<int64_t>(left, int64_t(block.size()))));
                if (n <= 0 || !client.write(block.data(), size_t(n)))
                    break;
                left -= n;
            }
            // A body cut short cannot be mended on a kept connection.
            if (left > 0)
                break;
        }
    }
    // Out of the set before the number can be reused by the next accepted connection.
    {
        std::lock_guard<std::mutex> guard(mutex_);
        open_.erase(fd);
        closed_.notify_all();
    }
    ::close(fd);
}

} // namespace storefront
