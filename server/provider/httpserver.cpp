#include "server/provider/httpserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace provider {

namespace {

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

} // namespace

struct HttpServer::Connection : httplib::Stream
{
    int fd = -1;
    std::string ip, localIp;
    int port = 0, localPort = 0;
    int served = 0;
    int64_t idleUntilMs = 0;
    int64_t deadlineMs = 0;
    int64_t ioTimeoutMs = 0;
    char buffer[4096];
    size_t begin = 0, end = 0;

    bool buffered() const { return begin < end; }

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

    bool is_readable() const override { return buffered() || waitFor(POLLIN); }
    bool is_writable() const override { return waitFor(POLLOUT); }

    ssize_t read(char *ptr, size_t size) override
    {
        if (!buffered()) {
            if (!waitFor(POLLIN))
                return -1;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return n < 0 ? -1 : 0;
            begin = 0;
            end = static_cast<size_t>(n);
        }
        const size_t n = std::min(size, end - begin);
        std::memcpy(ptr, buffer + begin, n);
        begin += n;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char *ptr, size_t size) override
    {
        if (!waitFor(POLLOUT))
            return -1;
        const ssize_t n = ::send(fd, ptr, size, MSG_NOSIGNAL);
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
        if (::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, 128) == 0)
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
void HttpServer::acceptAll(std::vector<Connection *> &idle)
{
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        auto *c = new Connection;
        c->fd = fd;
        addressOf(peer, c->ip, c->port);
        sockaddr_storage local{};
        length = sizeof local;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length);
        addressOf(local, c->localIp, c->localPort);
        c->ioTimeoutMs = limits_.ioTimeoutMs;
        c->idleUntilMs = nowMs() + limits_.ioTimeoutMs;
        bool admitted = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            int &open = open_[c->ip];
            admitted = open < limits_.perClientOpen;
            open += admitted;
        }
        if (admitted) {
            idle.push_back(c);
            continue;
        }
        static const char kRefused[] = "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n"
                                       "Connection: close\r\n\r\n";
        ::send(fd, kRefused, sizeof kRefused - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        ::close(fd);
        delete c;
    }
}

bool HttpServer::serve()
{
    if (listenFd_ < 0)
        return false;
    for (int i = 0; i < limits_.threads; ++i)
        workers_.emplace_back(&HttpServer::worker, this);

    bool ok = true;
    std::vector<Connection *> idle;
    std::vector<pollfd> fds;
    while (!stopping_) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            idle.insert(idle.end(), idleReturned_.begin(), idleReturned_.end());
            idleReturned_.clear();
        }
        fds.assign({{listenFd_, POLLIN, 0}, {wakeFds_[0], POLLIN, 0}});
        int64_t next = -1;
        for (const Connection *c : idle) {
            fds.push_back({c->fd, POLLIN, 0});
            next = next < 0 ? c->idleUntilMs : std::min(next, c->idleUntilMs);
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
        const int64_t now = nowMs();
        std::vector<Connection *> still;
        for (size_t i = 0; i < idle.size(); ++i) {
            Connection *c = idle[i];
            if (fds[i + 2].revents) {
                std::lock_guard<std::mutex> lock(mutex_);
                ready_.push_back(c);
                ready_cv_.notify_one();
            } else if (now >= c->idleUntilMs) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    forget(c);
                }
                drop(c);
            } else {
                still.push_back(c);
            }
        }
        idle.swap(still);
        if (fds[0].revents & (POLLERR | POLLNVAL)) {
            ok = false;
            break;
        }
        if (fds[0].revents)
            acceptAll(idle);
    }

    requestStop();
    for (std::thread &t : workers_)
        t.join();
    workers_.clear();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        idle.insert(idle.end(), idleReturned_.begin(), idleReturned_.end());
        idle.insert(idle.end(), ready_.begin(), ready_.end());
        idleReturned_.clear();
        ready_.clear();
        for (Connection *c : idle)
            forget(c);
    }
    for (Connection *c : idle)
        drop(c);
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
        c->deadlineMs = nowMs() + limits_.requestDeadlineMs;
        const bool last = ++c->served >= limits_.keepAliveMax || stopping_;
        bool closed = false;
        const bool ok = process_request(*c, last, closed, [](httplib::Request &) {});
        finish(c, ok && !closed && !last);
    }
}

// Worker thread, after a request: the connection waits for its next request, at once when that
// has arrived already.
void HttpServer::finish(Connection *c, bool keep)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto active = active_.find(c->ip);
        if (--active->second <= 0)
            active_.erase(active);
        ready_cv_.notify_all();
        keep = keep && !stopping_;
        if (!keep) {
            forget(c);
        } else if (c->buffered()) {
            ready_.push_back(c);
            return;
        } else {
            c->idleUntilMs = nowMs() + limits_.keepAliveMs;
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
