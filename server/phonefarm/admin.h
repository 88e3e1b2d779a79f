#pragma once

// The farm's admin API for the provider: restart, reset and running status,
// each request signed with the shared secret. Runs on its own threads.

#include "server/phonefarm/farm.h"

#include <QString>

#include <memory>
#include <thread>

namespace httplib {
class Server;
}

namespace farm {

class AdminServer
{
public:
    explicit AdminServer(Farm *farm);
    ~AdminServer();

    // Binds and starts serving; port 0 picks a free port. Main thread.
    bool start(const QString &host, int port);
    int port() const { return port_; }
    // Stops serving and joins the server thread. Main thread.
    void stop();

private:
    Farm *farm_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
};

// Checks X-Farm-Auth / X-Farm-Time of an admin request: the hex HMAC of
// METHOD + " " + target + " " + time, at most 300 s off the farm's clock.
bool adminSignatureValid(const QByteArray &secret, const QByteArray &method, const QByteArray &target,
                         const QByteArray &timeHeader, const QByteArray &authHeader, qint64 nowSeconds);

} // namespace farm
