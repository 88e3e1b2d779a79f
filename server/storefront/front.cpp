#include "server/storefront/front.h"

#include "s3sign/codec.h"
#include "s3sign/signing.h"
#include "server/storefront/relay.h"
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
constexpr size_t kMaxObjectBytes = size_t(5) << 30; // one PUT or part; what S3 itself allows

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
            !upstream.write(request.data(), request.size())) {
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
                upstreamOk = upstreamOk && (heldSize == 0 || upstream.write(held.data(), heldSize));
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
            upstreamOk = upstreamOk && upstream.write(held.data(), heldSize);
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
