#pragma once

#include "server/storefront/request.h"

#include <memory>
#include <string>

namespace httplib {
class Server;
}

namespace storefront {

struct FrontOptions
{
    Settings settings;
    // The store behind the front ("http://host:port") and its own key, which re-signs what passes.
    std::string storeUrl;
    std::string storeKeyId;
    std::string storeKeySecret;
    int ioTimeoutSeconds = 60;
};

// The only address clients and phones reach: refuses what authorize() refuses with the store's
// XML error document, forwards the rest to the store, bodies streamed both ways.
class Front
{
public:
    explicit Front(FrontOptions options);
    ~Front();

    // Main thread, before serve(). The bound port, or -1.
    int bind(const std::string &host, int port);
    // Main thread: serves until stop().
    bool serve();
    // Any thread.
    void stop();

private:
    FrontOptions options_;
    std::string storeHost_;
    int storePort_ = 0;
    std::unique_ptr<httplib::Server> server_;
};

// "http://host:port" split; false for anything else (the front speaks plain HTTP to its store).
bool parseStoreUrl(const std::string &url, std::string *host, int *port);

} // namespace storefront
