#include "server/storefront/front.h"

#include "server/storefront/s3auth.h"

#include <httplib.h>
#include <openssl/rand.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace storefront {

namespace {

constexpr size_t kMaxHeadBytes = 64 * 1024;
constexpr size_t kMaxUnsizedBody = 16 * 1024 * 1024;
constexpr size_t kRelayBlock = 256 * 1024;
constexpr size_t kMaxObjectBytes = size_t(5) << 30; // one PUT or part; what S3 itself allows

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

void sendError(httplib::Response &res, int status, const std::string &code, const std::string &message)
{
    const std::string id = requestId();
    res.status = status;
    res.set_header("x-amz-request-id", id);
    res.set_content("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>" + xmlEscape(code) +
                        "</Code><Message>" + xmlEscape(message) + "</Message><RequestId>" + id +
                        "</RequestId></Error>",
                    "application/xml");
}

std::string httpDate(int64_t seconds)
{
    const time_t t = time_t(seconds);
    struct tm utc;
    gmtime_r(&t, &utc);
    char text[40];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
    return text;
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

    bool send(const char *data, size_t size)
    {
        while (size > 0) {
            const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            data += n;
            size -= size_t(n);
        }
        return true;
    }

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

} // namespace

bool parseStoreUrl(const std::string &url, std::string *host, int *port)
{
    if (url.compare(0, 7, "http://") != 0)
        return false;
    const std::string rest =
        url.substr(7, url.find('/', 7) == std::string::npos ? std::string::npos : url.find('/', 7) - 7);
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

Front::Front(FrontOptions options)
    : options_(std::move(options)), server_(std::make_unique<httplib::Server>())
{
    parseStoreUrl(options_.storeUrl, &storeHost_, &storePort_);
    server_->set_read_timeout(options_.ioTimeoutSeconds, 0);
    server_->set_write_timeout(options_.ioTimeoutSeconds, 0);
    server_->set_payload_max_length(kMaxObjectBytes);

    // Worker thread of the server, one request at a time; takes no locks.
    auto handle = [this](const httplib::Request &req, httplib::Response &res,
                         const httplib::ContentReader *reader) {
        Incoming incoming;
        incoming.method = req.method;
        incoming.target = req.target;
        for (const auto &[name, value] : req.headers)
            if (lower(name) != "remote_addr" && lower(name) != "remote_port" && lower(name) != "local_addr" &&
                lower(name) != "local_port")
                incoming.headers.emplace_back(name, value);
        const Verdict verdict = authorize(incoming, options_.settings, int64_t(std::time(nullptr)));
        // A body left unread would be taken for the next request on the connection.
        auto drain = [reader] {
            if (reader)
                (*reader)([](const char *, size_t) { return true; });
        };
        if (!verdict.allowed) {
            std::fprintf(stderr, "refused %s %s from %s: %s: %s\n", req.method.c_str(),
                         printable(req.target).c_str(), req.remote_addr.c_str(), verdict.code.c_str(),
                         printable(verdict.message).c_str());
            drain();
            sendError(res, verdict.status, verdict.code, verdict.message);
            return;
        }
        const bool hasBody = req.method == "PUT" || req.method == "POST";
        if (hasBody && !req.has_header("Content-Length")) {
            drain();
            sendError(res, 411, "MissingContentLength", "the request must name its Content-Length");
            return;
        }
        const int64_t bodyLength =
            hasBody ? std::strtoll(req.get_header_value("Content-Length").c_str(), nullptr, 10) : 0;

        // The store's own signature over what is forwarded.
        std::map<std::string, std::string> amz;
        std::string head;
        std::string contentType, contentMd5;
        for (const auto &[name, value] : req.headers) {
            const std::string n = lower(name);
            if (!isForwardedHeader(n))
                continue;
            head += n + ": " + value + "\r\n";
            if (n == "content-type")
                contentType = value;
            else if (n == "content-md5")
                contentMd5 = value;
            else if (n.compare(0, 11, "x-amz-meta-") == 0)
                amz[n] = value;
        }
        amz["x-amz-date"] = httpDate(int64_t(std::time(nullptr)));
        head += "x-amz-date: " + amz["x-amz-date"] + "\r\n";
        std::string resource = "/" + verdict.bucket + "/" + s3auth::uriEncode(verdict.key, true);
        if (!verdict.subresource.empty())
            resource += "?" + verdict.subresource;
        const std::string signature = s3auth::v2Signature(
            options_.storeKeySecret,
            s3auth::v2StringToSign(req.method, contentMd5, contentType, "", amz, resource));
        head = req.method + " " + resource + " HTTP/1.1\r\nHost: " + storeHost_ + ":" +
               std::to_string(storePort_) + "\r\nConnection: close\r\nAuthorization: AWS " +
               options_.storeKeyId + ":" + signature + "\r\n" + head +
               (hasBody ? "Content-Length: " + std::to_string(bodyLength) + "\r\n" : std::string()) + "\r\n";

        auto upstream = std::make_shared<Upstream>();
        if (!upstream->connect(storeHost_, storePort_, options_.ioTimeoutSeconds) ||
            !upstream->send(head.data(), head.size())) {
            drain();
            sendError(res, 503, "ServiceUnavailable", "the object store cannot be reached");
            return;
        }
        if (hasBody) {
            int64_t sent = 0;
            bool upstreamOk = true;
            const bool read = (*reader)([&](const char *data, size_t size) {
                sent += int64_t(size);
                // Past the announced length the client is not speaking HTTP; the store gets no more.
                if (sent > bodyLength)
                    return false;
                upstreamOk = upstreamOk && upstream->send(data, size);
                return true;
            });
            if (!read || sent != bodyLength) {
                // The store drops the cut-off request with its connection.
                sendError(res, 400, "IncompleteBody", "the request body ended early");
                res.set_header("Connection", "close");
                return;
            }
            if (!upstreamOk) {
                sendError(res, 503, "ServiceUnavailable", "the object store dropped the request");
                return;
            }
        }
        int status = 0;
        int64_t length = -1;
        std::vector<std::pair<std::string, std::string>> headers;
        if (!upstream->readHead(&status, &headers, &length)) {
            sendError(res, 502, "BadGateway", "the object store's answer is not HTTP");
            return;
        }
        res.status = status;
        std::string type = "application/octet-stream";
        for (const auto &[name, value] : headers) {
            if (name == "content-type")
                type = value;
            if (!isHopHeader(name))
                res.set_header(name.c_str(), value);
        }
        if (length < 0 && req.method != "HEAD") {
            std::string body;
            char block[16384];
            for (ssize_t n; (n = upstream->read(block, sizeof block)) > 0;) {
                body.append(block, size_t(n));
                if (body.size() > kMaxUnsizedBody) {
                    sendError(res, 502, "BadGateway", "the object store's answer is too long");
                    return;
                }
            }
            res.set_content(body, type.c_str());
            return;
        }
        if (length <= 0) {
            res.set_content("", type.c_str());
            if (req.method == "HEAD" && length == 0)
                res.set_header("Content-Length", "0");
            return;
        }
        res.set_content_provider(size_t(length), type.c_str(),
                                 [upstream](size_t, size_t wanted, httplib::DataSink &sink) {
                                     std::vector<char> block(std::min(wanted, kRelayBlock));
                                     const ssize_t n = upstream->read(block.data(), block.size());
                                     return n > 0 && sink.write(block.data(), size_t(n));
                                 });
    };
    server_->Get(
        ".*", [handle](const httplib::Request &req, httplib::Response &res) { handle(req, res, nullptr); });
    auto withBody = [handle](const httplib::Request &req, httplib::Response &res,
                             const httplib::ContentReader &reader) { handle(req, res, &reader); };
    server_->Put(".*", withBody);
    server_->Post(".*", withBody);
    server_->Delete(".*", withBody);
    server_->Patch(".*", withBody);
    server_->Options(".*", [](const httplib::Request &, httplib::Response &res) {
        sendError(res, 405, "MethodNotAllowed", "the method is not allowed");
    });
}

Front::~Front() = default;

int Front::bind(const std::string &host, int port)
{
    if (storeHost_.empty())
        return -1;
    if (port == 0)
        return server_->bind_to_any_port(host.c_str());
    return server_->bind_to_port(host.c_str(), port) ? port : -1;
}

bool Front::serve()
{
    return server_->listen_after_bind();
}

void Front::stop()
{
    server_->stop();
}

} // namespace storefront
