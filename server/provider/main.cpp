// pelomir-provider: the provider's HTTP service. See --help.
#include "server/provider/crypto.h"
#include "server/provider/db.h"
#include "server/provider/httpserver.h"
#include "server/provider/log.h"
#include "server/provider/options.h"
#include "server/provider/provider.h"
#include "server/provider/runtime.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <pthread.h>
#include <sys/stat.h>
#include <thread>

using namespace provider;

namespace {

// Waits for SIGTERM or SIGINT on its own thread (the others have them blocked) and stops the
// server; a stop asked before the server runs still holds.
void stopOnSignal(const sigset_t &signals, HttpServer &server, std::atomic<bool> &stopped, Log &log)
{
    int sig = 0;
    sigwait(&signals, &sig);
    if (stopped)
        return;
    log.line(std::string("signal ") + std::to_string(sig) + ", shutting down");
    server.requestStop();
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    std::string message;
    switch (parseOptions(argc, argv, options, message)) {
    case ParseResult::Help:
    case ParseResult::Version:
        std::cout << message;
        return 0;
    case ParseResult::Error:
        std::cerr << "pelomir-provider: " << message << "\nTry --help.\n";
        return 2;
    case ParseResult::Run:
        break;
    }

    // Block the stop signals before any thread starts, so that only the signal thread sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // The database holds password and session hashes: nobody else needs to read it, or the log.
    umask(077);

    Log log;
    if (!options.logPath.empty() && !log.openFile(options.logPath)) {
        std::cerr << "pelomir-provider: cannot open log file " << options.logPath << "\n";
        return 1;
    }
    if (!cryptoInit()) {
        log.line("cannot initialise libsodium");
        return 1;
    }

    std::unique_ptr<Database> db;
    try {
        db = std::make_unique<Database>(options.dbPath);
    } catch (const DbError &e) {
        log.line(std::string("cannot open the database: ") + e.what());
        return 1;
    }
    PhoneRuntime runtime(options);
    Provider service(options, *db, runtime, log);
    try {
        service.seed();
    } catch (const DbError &e) {
        log.line(std::string("cannot seed the database: ") + e.what());
        return 1;
    }

    ServerLimits limits;
    limits.threads = options.threads;
    limits.perClientActive = options.clientConnections;
    limits.requestDeadlineMs = options.requestDeadlineMs;
    limits.headDeadlineMs = options.headDeadlineMs;
    limits.maxReading = options.maxReading;
    limits.request.maxBody = options.maxBody;
    HttpServer server(limits);
    server.set_payload_max_length(options.maxBody);
    server.setRefusalBody([](int status) {
        httplib::Response res;
        replyError(res, status, status == 413 ? "请求内容过大" : "请求无效", status);
        return res.body;
    });

    const int port = server.bindTo(options.listenHost, options.listenPort);
    if (port < 0) {
        log.line("cannot listen on " + options.listenHost + ":" + std::to_string(options.listenPort));
        return 1;
    }
    const std::string address = "http://" + options.listenHost + ":" + std::to_string(port);
    service.install(server, options.publicUrl.empty() ? address : options.publicUrl);

    std::atomic<bool> stopped{false};
    std::thread signalThread(stopOnSignal, std::cref(signals), std::ref(server), std::ref(stopped),
                             std::ref(log));

    std::printf("listening on %s\n", address.c_str());
    std::fflush(stdout);
    log.line("listening on " + address + (options.dev ? " (development mode)" : "") +
             (runtime.usesFarm() ? ", phone farm " + options.farmUrl : ", simulated phone runtime"));

    const bool ok = server.serve();
    stopped = true;
    if (signalThread.joinable()) {
        // Wakes the signal thread if the server stopped for another reason.
        pthread_kill(signalThread.native_handle(), SIGTERM);
        signalThread.join();
    }
    db.reset();
    log.line(ok ? "stopped" : "server failed");
    return ok ? 0 : 1;
}
