#pragma once

#include <httplib.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace provider {

struct ServerLimits
{
    int threads = 16;
    // Requests of one client address served at once; the rest of its connections wait, so a peer
    // that trickles its requests cannot take every worker.
    int perClientActive = 8;
    // Open connections of one client address; more are answered 503 and closed.
    int perClientOpen = 256;
    // Whole time from a request's first byte to the end of its answer.
    int64_t requestDeadlineMs = 30000;
    int64_t ioTimeoutMs = 10000;
    int64_t keepAliveMs = 5000;
    int keepAliveMax = 100;
};

// The library's routing on connections handled here: one dispatcher thread accepts and watches
// idle keep-alive connections, and workers only run while a request is in progress, each request
// under a deadline.
class HttpServer : public httplib::Server
{
public:
    explicit HttpServer(const ServerLimits &limits);
    ~HttpServer() override;

    // Main thread, before serve(). Returns the bound port, or -1.
    int bindTo(const std::string &host, int port);
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
    void acceptAll(std::vector<Connection *> &idle);
    void wake();

    const ServerLimits limits_;
    int listenFd_ = -1;
    int wakeFds_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};

    std::mutex mutex_; // guards the members below
    std::condition_variable ready_cv_;
    std::deque<Connection *> ready_;
    std::vector<Connection *> idleReturned_;
    std::map<std::string, int> active_;
    std::map<std::string, int> open_;
    std::vector<std::thread> workers_;
};

} // namespace provider
