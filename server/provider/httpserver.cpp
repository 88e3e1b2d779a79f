#include "server/provider/httpserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace provider {

namespace {

// How long a refused connection is drained before it is closed, so that the answer is read
// rather than lost to a reset.
constexpr int64_t kLingerMs = 1000;

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void addressOf(const sockaddr_storage &address, std::string &ip, int &port)
{
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&address);
        inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
        port = ntohs(in->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&address);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        port = ntohs(in6->sin6_port);
    }
    ip = text;
}

const char *reasonOf(int status)
{
    switch (status) {
    case 400:
        return "Bad Request";
    case 413:
        return "Payload Too Large";
    case 431:
        return "Request Header Fields Too Large";
    case 501:
        return "Not Implemented";
    default:
        return "Service Unavailable";
    }
}

} // namespace

struct HttpServer::Connection : httplib::Stream
{
    enum Phase
    {
        Fresh,   // accepted, nothing received yet
        Idle,    // between requests of a keep-alive connection
        Reading, // part of a request received
        Closing, // refused: answered, and drained until closed
        Working, // with a worker
    };

    int fd = -1;
    std::string ip, localIp;
    int port = 0, localPort = 0;
    int served = 0;
    Phase phase = Fresh;
    bool counted = false;   // counts among the reading connections
    bool continued = false; // "100 Continue" sent for the request in progress
    int64_t startMs = 0;    // the connection's start or the request's first byte
    int64_t untilMs = 0;    // when the dispatcher gives up on it
    int64_t deadlineMs = 0; // end of the answer, for the worker
    int64_t ioTimeoutMs = 0;
    std::string in;
    size_t begin = 0;
    size_t requestEnd = 0; // for the worker: where the whole request in `in` ends

    bool buffered() const { return begin < in.size(); }
    std::string_view pending() const { return std::string_view(in).substr(begin); }

    // Waits for `events` no longer than the I/O timeout and never past the request's deadline.
    bool waitFor(short events) const
    {
        const int64_t now = nowMs();
        const int64_t limit = std::min(now + ioTimeoutMs, deadlineMs);
        if (limit <= now)
            return false;
        pollfd p{fd, events, 0};
        return ::poll(&p, 1, static_cast<int>(limit - now)) > 0 && !(p.revents & POLLNVAL);
    }

    // A worker holds a whole request, so it reads only that and never waits for the peer. The
    // request's end reads as the end of the connection: a body without a length is an empty one,
    // and never the next request.
    bool is_readable() const override { return begin < requestEnd; }
    bool is_writable() const override { return waitFor(POLLOUT); }

    ssize_t read(char *ptr, size_t size) override
    {
        const size_t n = std::min(size, requestEnd - std::min(begin, requestEnd));
        std::memcpy(ptr, in.data() + begin, n);
        begin += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char *ptr, size_t size) override
    {
        if (!waitFor(POLLOUT))
            return -1;
        // Never blocks past the deadline: a peer that stops reading gets what fits, and the
        // library comes back for the rest.
        const ssize_t n = ::send(fd, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        return n < 0 ? -1 : n;
    }

    void get_remote_ip_and_port(std::string &outIp, int &outPort) const override
    {
        outIp = ip;
        outPort = port;
    }
    void get_local_ip_and_port(std::string &outIp, int &outPort) const override
    {
        outIp = localIp;
        outPort = localPort;
    }
    socket_t socket() const override { return fd; }
};

HttpServer::HttpServer(const ServerLimits &limits) : limits_(limits)
{
    if (::pipe2(wakeFds_, O_CLOEXEC | O_NONBLOCK) != 0)
        wakeFds_[0] = wakeFds_[1] = -1;
}

HttpServer::~HttpServer()
{
    if (listenFd_ >= 0)
        ::close(listenFd_);
    for (int fd : wakeFds_)
        if (fd >= 0)
            ::close(fd);
}

int HttpServer::bindTo(const std::string &host, int port)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (wakeFds_[0] < 0 || ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0)
        return -1;
    for (addrinfo *a = found; a && listenFd_ < 0; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0)
            continue;
        const int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 512) == 0)
            listenFd_ = fd;
        else
            ::close(fd);
    }
    ::freeaddrinfo(found);
    if (listenFd_ < 0)
        return -1;
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(listenFd_, reinterpret_cast<sockaddr *>(&bound), &length);
    std::string ip;
    int boundPort = -1;
    addressOf(bound, ip, boundPort);
    return boundPort;
}

void HttpServer::wake()
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(wakeFds_[1], &byte, 1);
}

void HttpServer::requestStop()
{
    stopping_ = true;
    wake();
    ready_cv_.notify_all();
}

// Dispatcher thread. Takes every waiting connection; a client past its limit of open connections
// is told so and closed.
void HttpServer::acceptAll(int64_t now)
{
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        // An answer goes out in a few writes (head, body); waiting for the peer's acknowledgement
        // before the next costs a keep-alive request 40 ms.
        const int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        auto *c = new Connection;
        c->fd = fd;
        addressOf(peer, c->ip, c->port);
        sockaddr_storage local{};
        length = sizeof local;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length);
        addressOf(local, c->localIp, c->localPort);
        c->ioTimeoutMs = limits_.ioTimeoutMs;
        bool admitted = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            int &open = open_[c->ip];
            admitted = open < limits_.perClientOpen;
            open += admitted;
        }
        if (admitted) {
            c->phase = Connection::Fresh;
            c->startMs = now;
            c->untilMs = now + limits_.headDeadlineMs;
            countReading(c, now);
            conns_.push_back(c);
            continue;
        }
        static const char kRefused[] = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n"
                                       "Connection: close\r\n\r\n";
        ::send(fd, kRefused, sizeof kRefused - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        ::close(fd);
        delete c;
    }
}

// Dispatcher thread: `c` joins the reading connections; at the cap, the oldest reading connection
// of the address with the most of them makes room.
void HttpServer::countReading(Connection *c, int64_t now)
{
    if (c->counted)
        return;
    if (reading_ >= limits_.maxReading) {
        const auto heaviest =
            std::max_element(readingByIp_.begin(), readingByIp_.end(),
                             [](const auto &a, const auto &b) { return a.second < b.second; });
        Connection *oldest = nullptr;
        for (Connection *o : conns_)
            if (o->counted && o->ip == heaviest->first && (!oldest || o->startMs < oldest->startMs))
                oldest = o;
        if (oldest) {
            uncountReading(oldest);
            oldest->phase = Connection::Closing;
            oldest->untilMs = now; // closed by this round's sweep
        }
    }
    c->counted = true;
    ++reading_;
    ++readingByIp_[c->ip];
}

void HttpServer::uncountReading(Connection *c)
{
    if (!c->counted)
        return;
    c->counted = false;
    --reading_;
    const auto it = readingByIp_.find(c->ip);
    if (--it->second <= 0)
        readingByIp_.erase(it);
}

// Dispatcher thread: reads what has arrived, up to the largest request. False when the peer has
// gone.
bool HttpServer::readMore(Connection *c)
{
    if (c->begin > 0) {
        c->in.erase(0, c->begin);
        c->begin = 0;
    }
    const size_t cap = limits_.request.maxHead + limits_.request.maxBody + kChunkFraming;
    char buffer[16384];
    while (c->in.size() < cap) {
        const ssize_t n = ::recv(c->fd, buffer, std::min(sizeof buffer, cap - c->in.size()), MSG_DONTWAIT);
        if (n > 0) {
            c->in.append(buffer, static_cast<size_t>(n));
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    }
    return true;
}

// Dispatcher thread: a connection with bytes of a request goes to a worker once they are a whole
// request, is refused when they cannot become one, and otherwise waits for more until its time
// is up.
void HttpServer::advance(Connection *c, int64_t now)
{
    if (!c->buffered())
        return;
    if (c->phase == Connection::Idle) {
        c->startMs = now;
        countReading(c, now);
    }
    c->phase = Connection::Reading;
    const RequestScan scan = scanRequest(c->pending(), limits_.request);
    if (scan.state == RequestScan::Refused) {
        refuse(c, scan.status, now);
        return;
    }
    if (scan.state == RequestScan::Complete) {
        uncountReading(c);
        c->phase = Connection::Working;
        c->continued = false;
        c->deadlineMs = c->startMs + limits_.requestDeadlineMs;
        c->requestEnd = c->begin + scan.length;
        handoff_.push_back(c);
        return;
    }
    const int64_t body = scan.headDone ? static_cast<int64_t>(scan.bodyLength) : 0;
    c->untilMs = std::min(c->startMs + limits_.requestDeadlineMs,
                          c->startMs + limits_.headDeadlineMs + body * 1000 / limits_.minBodyBytesPerSecond);
    if (scan.headDone && scan.expectsContinue && !c->continued) {
        static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
        ::send(c->fd, kContinue, sizeof kContinue - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        c->continued = true;
    }
}

// Dispatcher thread: answers a request that cannot be served and stops reading from its
// connection.
void HttpServer::refuse(Connection *c, int status, int64_t now)
{
    uncountReading(c);
    const std::string body = refusalBody_ ? refusalBody_(status) : std::string();
    std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + reasonOf(status) +
                         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n";
    if (!body.empty())
        answer += "Content-Type: application/json; charset=utf-8\r\n";
    answer += "\r\n" + body;
    ::send(c->fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(c->fd, SHUT_WR);
    c->phase = Connection::Closing;
    c->in.clear();
    c->begin = 0;
    c->untilMs = now + kLingerMs;
}

// Dispatcher thread: the connection leaves the server.
void HttpServer::close(Connection *c)
{
    uncountReading(c);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        forget(c);
    }
    drop(c);
}

void HttpServer::admit(Connection *c, int64_t now)
{
    if (c->buffered()) {
        c->phase = Connection::Idle;
        advance(c, now);
    } else {
        c->phase = Connection::Idle;
        c->untilMs = now + limits_.keepAliveMs;
    }
    if (c->phase != Connection::Working)
        conns_.push_back(c);
}

bool HttpServer::serve()
{
    if (listenFd_ < 0)
        return false;
    for (int i = 0; i < limits_.threads; ++i)
        workers_.emplace_back(&HttpServer::worker, this);

    bool ok = true;
    std::vector<Connection *> returned;
    std::vector<pollfd> fds;
    while (!stopping_) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            returned.swap(idleReturned_);
        }
        for (Connection *c : returned)
            admit(c, nowMs());
        returned.clear();

        fds.assign({{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}});
        int64_t next = -1;
        for (const Connection *c : conns_) {
            fds.push_back({c->fd, POLLIN, 0});
            next = next < 0 ? c->untilMs : std::min(next, c->untilMs);
        }
        const int timeout = next < 0 ? -1 : static_cast<int>(std::max<int64_t>(0, next - nowMs()));
        if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
            ok = false;
            break;
        }
        if (fds[1].revents) {
            char drain[64];
            while (::read(wakeFds_[0], drain, sizeof drain) > 0) {
            }
        }
        int64_t now = nowMs();
        // Every connection polled above is still in conns_ at its index: acceptAll and the
        // eviction only append or mark.
        const size_t polled = conns_.size();
        for (size_t i = 0; i < polled; ++i) {
            Connection *c = conns_[i];
            if (!fds[i + 2].revents || c->phase == Connection::Working)
                continue;
            if (c->phase == Connection::Closing) {
                char sink[4096];
                ssize_t n;
                while ((n = ::recv(c->fd, sink, sizeof sink, MSG_DONTWAIT)) > 0) {
                }
                if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                    c->untilMs = now;
                continue;
            }
            if (!readMore(c)) {
                c->phase = Connection::Closing;
                c->untilMs = now;
                continue;
            }
            advance(c, now);
        }
        if (fds[0].revents & (POLLERR | POLLNVAL)) {
            ok = false;
            break;
        }
        if (fds[0].revents)
            acceptAll(now);
        now = nowMs();
        std::vector<Connection *> still;
        for (Connection *c : conns_) {
            if (c->phase == Connection::Working)
                continue;
            if (now >= c->untilMs)
                close(c);
            else
                still.push_back(c);
        }
        conns_.swap(still);
        // Only now, with none of them left in conns_, may a worker have them (and free them).
        if (!handoff_.empty()) {
            std::lock_guard<std::mutex> lock(mutex_);
            ready_.insert(ready_.end(), handoff_.begin(), handoff_.end());
            ready_cv_.notify_all();
        }
        handoff_.clear();
    }

    requestStop();
    for (std::thread &t : workers_)
        t.join();
    workers_.clear();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        conns_.insert(conns_.end(), idleReturned_.begin(), idleReturned_.end());
        conns_.insert(conns_.end(), ready_.begin(), ready_.end());
        idleReturned_.clear();
        ready_.clear();
    }
    // A round cut short leaves its handed-off connections in conns_ as well.
    for (Connection *c : conns_)
        if (c->phase != Connection::Working)
            close(c);
    for (Connection *c : handoff_)
        close(c);
    conns_.clear();
    handoff_.clear();
    ::close(listenFd_);
    listenFd_ = -1;
    return ok;
}

// Worker thread, holding mutex_: the first waiting connection whose client is under its limit.
HttpServer::Connection *HttpServer::takeReady()
{
    for (auto it = ready_.begin(); it != ready_.end(); ++it) {
        int &active = active_[(*it)->ip];
        if (active < limits_.perClientActive) {
            Connection *c = *it;
            ready_.erase(it);
            ++active;
            return c;
        }
    }
    return nullptr;
}

void HttpServer::worker()
{
    for (;;) {
        Connection *c = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ready_cv_.wait(lock, [&] { return stopping_ || (c = takeReady()) != nullptr; });
            if (!c) {
                return;
            }
        }
        const bool last = ++c->served >= limits_.keepAliveMax || stopping_;
        bool closed = false;
        const bool ok = process_request(*c, last, closed, [](httplib::Request &) {});
        finish(c, ok && !closed && !last);
    }
}

// Worker thread, after a request: a whole next request already buffered goes straight back to the
// workers; anything else returns to the dispatcher, which reads the rest or waits for the next.
void HttpServer::finish(Connection *c, bool keep)
{
    const RequestScan scan =
        keep && c->buffered() ? scanRequest(c->pending(), limits_.request) : RequestScan{};
    const bool next = scan.state == RequestScan::Complete;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto active = active_.find(c->ip);
        if (--active->second <= 0)
            active_.erase(active);
        ready_cv_.notify_all();
        keep = keep && !stopping_;
        if (!keep) {
            forget(c);
        } else if (next) {
            c->startMs = nowMs();
            c->deadlineMs = c->startMs + limits_.requestDeadlineMs;
            c->requestEnd = c->begin + scan.length;
            ready_.push_back(c);
            return;
        } else {
            idleReturned_.push_back(c);
        }
    }
    if (keep)
        wake();
    else
        drop(c);
}

void HttpServer::forget(Connection *c)
{
    const auto open = open_.find(c->ip);
    if (open != open_.end() && --open->second <= 0)
        open_.erase(open);
}

void HttpServer::drop(Connection *c)
{
    ::shutdown(c->fd, SHUT_RDWR);
    ::close(c->fd);
    delete c;
}

} // namespace provider
