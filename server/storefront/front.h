#pragma once

#include "server/storefront/request.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>

namespace storefront {

struct FrontOptions
{
    Settings settings;
    // The store behind the front ("http://host:port") and its own key, which re-signs what passes.
    std::string storeUrl;
    std::string storeKeyId;
    std::string storeKeySecret;
    int ioTimeoutSeconds = 60;
    int maxConnections = 256;
};

// The only address clients and phones reach: refuses what authorize() refuses with the store's
// XML error document, forwards the rest to the store, bodies streamed both ways. One thread per
// client connection; each request goes to the store on a connection of its own.
class Front
{
public:
    explicit Front(FrontOptions options);
    ~Front();

    // Main thread, before serve(). The bound port, or -1.
    int bind(const std::string &host, int port);
    // Main thread: accepts until stop(), then waits for the connections to end.
    bool serve();
    // Any thread; takes mutex_.
    void stop();

private:
    // A connection's thread: its requests one after another. Takes mutex_ only to leave.
    void serveConnection(int fd, const std::string &peer);

    FrontOptions options_;
    std::string storeHost_;
    int storePort_ = 0;
    int listenFd_ = -1;
    int wakeFds_[2] = {-1, -1};
    std::atomic<bool> stopping_{false};

    std::mutex mutex_; // guards open_
    std::condition_variable closed_;
    std::set<int> open_; // client sockets being served
};

// "http://host:port" split; false for anything else (the front speaks plain HTTP to its store).
bool parseStoreUrl(const std::string &url, std::string *host, int *port);

} // namespace storefront
