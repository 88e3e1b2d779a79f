#pragma once

#include "server/provider/requestscan.h"

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace provider {

struct ServerLimits
{
    int threads = 16;
    // Requests of one client address served at once; the rest of its complete requests wait.
    int perClientActive = 8;
    // Open connections of one client address; more are answered 503 and closed.
    int perClientOpen = 256;
    // Connections still sending a request, or not yet any, across all addresses. A new one past
    // this closes the oldest of the address that has the most, so one address cannot crowd out
    // the others.
    int maxReading = 1024;
    // From a connection's start, or a request's first byte, to the end of the request's head.
    int64_t headDeadlineMs = 5000;
    // What a body must keep up, on top of the head's time.
    int64_t minBodyBytesPerSecond = 8192;
    // Whole time from a request's first byte to the end of its answer.
    int64_t requestDeadlineMs = 30000;
    int64_t ioTimeoutMs = 10000;
    int64_t keepAliveMs = 5000;
    int keepAliveMax = 100;
    RequestLimits request;
};

// The library's routing on connections handled here. One dispatcher thread accepts, reads every
// request until it is complete and watches idle keep-alive connections; a worker gets a connection
// only with a whole request in its buffer, so a slow peer costs a file descriptor and some memory,
// never a worker.
class HttpServer : public httplib::Server
{
public:
    explicit HttpServer(const ServerLimits &limits);
    ~HttpServer() override;

    // Main thread, before serve(). Returns the bound port, or -1.
    int bindTo(const std::string &host, int port);
    // Main thread, before serve(): the body of an answer the dispatcher gives itself to a request
    // it refuses (too large, malformed), by HTTP status.
    void setRefusalBody(std::function<std::string(int status)> body) { refusalBody_ = std::move(body); }
    // Main thread: serves until requestStop(); false when the listening socket failed.
    bool serve();
    // Any thread, also before serve() starts: serve() returns after the requests in progress.
    void requestStop();

    struct Connection;

private:
    void worker();
    Connection *takeReady();
    void finish(Connection *c, bool keep);
    // Holding mutex_: the connection no longer counts for its client.
    void forget(Connection *c);
    // Without mutex_: closes the socket and frees the connection.
    static void drop(Connection *c);
    void wake();

    // Dispatcher thread only, without mutex_ unless said.
    void acceptAll(int64_t now);
    void admit(Connection *c, int64_t now);
    bool readMore(Connection *c);
    void advance(Connection *c, int64_t now);
    void countReading(Connection *c, int64_t now);
    void uncountReading(Connection *c);
    void refuse(Connection *c, int status, int64_t now);
    void close(Connection *c);

    const ServerLimits limits_;
    std::function<std::string(int)> refusalBody_;
    int listenFd_ = -1;
    int wakeFds_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};

    // Owned by the dispatcher thread.
    std::vector<Connection *> conns_;
    std::vector<Connection *> handoff_; // whole requests, for the workers at the end of the round
    std::unordered_map<std::string, int> readingByIp_;
    int reading_ = 0;

    std::mutex mutex_; // guards the members below
    std::condition_variable ready_cv_;
    std::deque<Connection *> ready_;
    std::vector<Connection *> idleReturned_;
    std::map<std::string, int> active_;
    std::map<std::string, int> open_;
    std::vector<std::thread> workers_;
};

} // namespace provider
