// What one hostile peer costs everyone else. At pelomir-provider: /healthz from a fresh address
// while many connections from several addresses trickle their requests, against the same request
// unloaded and the 100 ms target; and the rate of requests on one keep-alive connection against a
// new connection per request. At pelomir-phonefarm: another account's previews while one
// credential pipelines thousands of screencaps and abandons them, against the same previews
// unloaded and the 1 s target.
#include "coreclient/core_client.h"
#include "tests/support/farmharness.h"
#include "tests/support/providerprocess.h"
#include "wire/wire.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A TCP connection from `source` (an address of 127/8) to the provider, or -1.
int connectFrom(const char *source, int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source, &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0 ||
        ::connect(fd, reinterpret_cast<sockaddr *>(&remote), sizeof remote) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const std::string &data)
{
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Reads one answer with a Content-Length (the provider always sends one); false after `timeoutMs`.
bool readAnswer(int fd, int timeoutMs, int &status)
{
    std::string in;
    const auto start = Clock::now();
    size_t need = std::string::npos;
    while (in.size() < need) {
        const int left = timeoutMs - static_cast<int>(msSince(start));
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, left) <= 0)
            return false;
        char buffer[8192];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        in.append(buffer, static_cast<size_t>(n));
        const size_t end = in.find("\r\n\r\n");
        if (need == std::string::npos && end != std::string::npos) {
            const size_t at = in.find("Content-Length: ");
            need = end + 4 + (at < end ? std::stoul(in.substr(at + 16)) : 0);
        }
    }
    status = std::atoi(in.c_str() + 9);
    return true;
}

const std::string kHealth = "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// A connection from `source` to the provider, closed when it goes.
class Peer
{
public:
    Peer(const char *source, int port) : fd_(connectFrom(source, port)) {}
    ~Peer()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    // /healthz answered with 200 within 3 s.
    bool healthy() const
    {
        int status = 0;
        return fd_ >= 0 && sendAll(fd_, kHealth) && readAnswer(fd_, 3000, status) && status == 200;
    }

private:
    int fd_;
};

struct Latency
{
    std::vector<double> ms;
    int failed = 0;
    // An unanswered request counts as the 3 s it was waited for.
    double at(double q) const
    {
        std::vector<double> s = ms;
        s.insert(s.end(), static_cast<size_t>(failed), 3000.0);
        if (s.empty())
            return 0;
        std::sort(s.begin(), s.end());
        return s[std::min(s.size() - 1, static_cast<size_t>(q * static_cast<double>(s.size())))];
    }
};

// /healthz on a new connection from a fresh address, `rounds` times.
Latency freshHealth(int port, int rounds)
{
    Latency l;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        const Peer peer("127.0.1.1", port);
        if (peer.healthy())
            l.ms.push_back(msSince(start));
        else
            ++l.failed;
    }
    return l;
}

void printLatency(const char *label, const Latency &l)
{
    std::printf("  %-44s p50 %8.2f ms  p95 %8.2f ms  max %8.2f ms  unanswered in 3 s: %d\n", label, l.at(0.5),
                l.at(0.95), l.at(1.0), l.failed);
}

// Requests per second on kept-alive connections (a new one only when the server ends one) and on a
// new connection each.
void keepAliveRate(int port, int requests)
{
    std::unique_ptr<Peer> kept;
    int ok = 0, connections = 0;
    auto start = Clock::now();
    for (int i = 0; i < requests; ++i) {
        // A connection the server has ended fails once; the request is then made on a new one.
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!kept) {
                kept = std::make_unique<Peer>("127.0.0.1", port);
                ++connections;
            }
            if (kept->healthy()) {
                ++ok;
                break;
            }
            kept.reset();
        }
    }
    const double keptMs = msSince(start);
    kept.reset();
    start = Clock::now();
    int okFresh = 0;
    for (int i = 0; i < requests; ++i)
        okFresh += Peer("127.0.0.1", port).healthy();
    const double freshMs = msSince(start);
    std::printf("  keep-alive: %d/%d answered on %d connections, %.0f requests/s (%.3f ms each)\n", ok,
                requests, connections, 1000.0 * ok / keptMs, keptMs / requests);
    std::printf("  new connection each: %d/%d answered, %.0f requests/s (%.3f ms each)\n", okFresh, requests,
                1000.0 * okFresh / freshMs, freshMs / requests);
    std::printf("  ratio keep-alive rate / new-connection rate %.2f x\n",
                (ok / keptMs) / std::max(1e-9, okFresh / freshMs));
}

// Sends `message` and, unless `answers` is 0, reads that many answers; false on a failure or
// after `timeoutMs`.
bool exchange(int fd, ccwire::FrameReader &reader, const ccwire::Message &message, int answers, int timeoutMs)
{
    const QByteArray bytes = ccwire::encode(message);
    if (!sendAll(fd, bytes.toStdString()))
        return false;
    const auto start = Clock::now();
    while (answers > 0) {
        ccwire::Message in;
        QString error;
        const auto result = reader.nextMessage(&in, &error);
        if (result == ccwire::FrameReader::Result::Error)
            return false;
        if (result == ccwire::FrameReader::Result::Frame) {
            const auto *response = std::get_if<ccwire::Response>(&in);
            if (!response || response->code != 0)
                return false;
            --answers;
            continue;
        }
        const int left = timeoutMs - static_cast<int>(msSince(start));
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, left) <= 0)
            return false;
        char buffer[65536];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return false;
        reader.append(QByteArray(buffer, static_cast<int>(n)));
    }
    return true;
}

// Small previews of the victim's phone, one after another on one connection.
Latency previews(int port, const QByteArray &deviceId, int rounds)
{
    Latency l;
    const int fd = connectFrom("127.0.0.1", port);
    ccwire::FrameReader reader(ccwire::kMaxGatewayFrame);
    const QByteArray credential = harness::credential(deviceId);
    for (int i = 0; i < rounds; ++i) {
        ccwire::Request request;
        request.id = static_cast<quint32>(i + 1);
        request.op = ccwire::Op::Preview;
        request.credential = credential;
        request.deviceId = deviceId;
        request.payload = ccwire::previewPayload(60, CC_PREVIEW_SMALL);
        const auto start = Clock::now();
        if (fd >= 0 && exchange(fd, reader, request, 1, 3000))
            l.ms.push_back(msSince(start));
        else
            ++l.failed;
    }
    if (fd >= 0)
        ::close(fd);
    return l;
}

void farmAbuse(int screencaps, int rounds)
{
    harness::Farm farm;
    if (!farm.start()) {
        std::printf("  phone farm did not start\n");
        return;
    }
    std::printf(
        "pelomir-phonefarm under abandoned screencaps: %d pipelined by one credential, closed after 0.5 s\n",
        screencaps);
    const QByteArray victim = "PMVICTIM01", attacker = "PMATTACK01";
    previews(farm.port, victim, 3);
    // Each preview on a connection of its own, as in the loaded case below.
    Latency unloaded;
    for (int i = 0; i < rounds; ++i) {
        const Latency one = previews(farm.port, victim, 1);
        unloaded.ms.insert(unloaded.ms.end(), one.ms.begin(), one.ms.end());
        unloaded.failed += one.failed;
    }
    printLatency("victim's preview, unloaded", unloaded);

    std::atomic<bool> done{false};
    std::atomic<int> measured{0};
    Latency loaded; // the victim thread's until it is joined
    std::thread victimThread([&] {
        while (!done) {
            const Latency one = previews(farm.port, victim, 1);
            loaded.ms.insert(loaded.ms.end(), one.ms.begin(), one.ms.end());
            loaded.failed += one.failed;
            ++measured;
        }
    });
    // Each round the attacker pipelines its screencaps, abandons them after 0.5 s and starts again.
    const auto abuseStart = Clock::now();
    int attacks = 0;
    while (measured < rounds && msSince(abuseStart) < 60000) {
        const int fd = connectFrom("127.0.0.2", farm.port);
        std::string burst;
        const QByteArray credential = harness::credential(attacker);
        for (int i = 0; i < screencaps; ++i) {
            ccwire::Request request;
            request.id = static_cast<quint32>(i + 1);
            request.op = ccwire::Op::Screencap;
            request.credential = credential;
            request.deviceId = attacker;
            burst += ccwire::encode(request).toStdString();
        }
        if (fd >= 0)
            sendAll(fd, burst);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        if (fd >= 0)
            ::close(fd);
        ++attacks;
    }
    done = true;
    victimThread.join();
    printLatency("victim's preview, beside the abuse", loaded);
    std::printf("  %d abandoned bursts; ratio loaded / unloaded p95 %.2f x; loaded p95 / 1 s target %.3f\n",
                attacks, loaded.at(0.95) / std::max(1e-9, unloaded.at(0.95)), loaded.at(0.95) / 1000.0);
    farm.stop();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int trickling = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    const int addresses = argc > 2 ? std::max(1, std::atoi(argv[2])) : 10;
    const int rounds = argc > 3 ? std::max(3, std::atoi(argv[3])) : 50;
    const int screencaps = argc > 4 ? std::max(1, std::atoi(argv[4])) : 2000;

    QTemporaryDir dir;
    ProviderProcess provider(dir.filePath("bench.db"));
    QString error;
    if (!provider.start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const int port = provider.port();
    std::printf("pelomir-provider under slow peers: %d trickling connections from %d addresses\n", trickling,
                addresses);

    keepAliveRate(port, 200);
    const Latency unloaded = freshHealth(port, rounds);
    printLatency("/healthz, fresh address, unloaded", unloaded);

    // Each trickler sends a request head without its end, then one more byte every 200 ms.
    std::vector<int> fds;
    for (int i = 0; i < trickling; ++i) {
        const std::string source = "127.0.0." + std::to_string(2 + i % addresses);
        const int fd = connectFrom(source.c_str(), port);
        if (fd < 0)
            continue;
        sendAll(fd, "POST /api/tamsu-phone-user/v1/login/phone HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                    "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 100000\r\n");
        fds.push_back(fd);
    }
    std::atomic<bool> stop{false};
    std::thread drip([&] {
        while (!stop) {
            for (int fd : fds)
                ::send(fd, "X", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const Latency loaded = freshHealth(port, rounds);
    stop = true;
    drip.join();
    int stillOpen = 0;
    for (int fd : fds) {
        pollfd p{fd, POLLIN, 0};
        stillOpen += ::poll(&p, 1, 0) == 0;
        ::close(fd);
    }
    printLatency("/healthz, fresh address, beside the trickling", loaded);
    std::printf("  %zu trickling connections made, %d still open at the end\n", fds.size(), stillOpen);
    std::printf("  ratio loaded / unloaded p95 %.2f x; loaded p95 / 100 ms target %.3f\n",
                loaded.at(0.95) / std::max(1e-9, unloaded.at(0.95)), loaded.at(0.95) / 100.0);
    provider.terminate();

    farmAbuse(screencaps, rounds);
    return 0;
}
