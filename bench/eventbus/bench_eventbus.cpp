// Event-bus throughput and delivery latency (post on a worker thread to handler on the GUI thread)
// with 1, 4 and 16 posting threads. The peer is Qt's own postEvent straight to the receiver, measured
// in the same run; latency is also put against the dispatcher's 50 ms polling period.
//
//   build/bin/bench_eventbus [MESSAGES]   (each burst, default 48000)
#include "app/eventmanager.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

int64_t nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

class Receiver : public QObject
{
public:
    std::vector<int64_t> latencies;

protected:
    bool event(QEvent *e) override
    {
        if (!PhoneEvent::isBusEvent(e))
            return QObject::event(e);
        int64_t sent = 0;
        std::memcpy(&sent, static_cast<PhoneEvent *>(e)->message().buffer, sizeof sent);
        latencies.push_back(nowNs() - sent);
        return true;
    }
};

struct Result
{
    double perSecond;
    double medianMs;
    double p95Ms;
};

// Posts `total` messages from `threads` threads, back to back or one every `paceUs` microseconds per
// thread, and waits until all arrived.
template <class Post> Result measure(int threads, int total, int paceUs, Receiver &receiver, Post post)
{
    receiver.latencies.clear();
    receiver.latencies.reserve(static_cast<size_t>(total));
    const int each = total / threads;
    const int64_t start = nowNs();
    std::vector<std::thread> posters;
    for (int t = 0; t < threads; ++t) {
        posters.emplace_back([&, each] {
            ZQSlotMsg m;
            m.type = 60;
            m.text = QStringLiteral("{\n    \"deviceId\": \"PM0001\"\n}\n");
            for (int i = 0; i < each; ++i) {
                const int64_t ts = nowNs();
                std::memcpy(m.buffer, &ts, sizeof ts);
                post(m);
                if (paceUs > 0)
                    std::this_thread::sleep_for(std::chrono::microseconds(paceUs));
            }
        });
    }
    const size_t expected = static_cast<size_t>(each * threads);
    while (receiver.latencies.size() < expected)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const double seconds = double(nowNs() - start) / 1e9;
    for (auto &p : posters)
        p.join();
    std::vector<int64_t> sorted = receiver.latencies;
    std::sort(sorted.begin(), sorted.end());
    return {double(expected) / seconds, double(sorted[sorted.size() / 2]) / 1e6,
            double(sorted[sorted.size() * 95 / 100]) / 1e6};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // Messages of each burst; the paced runs send a hundredth of it per poster, at least 20.
    const int burst = argc > 1 ? std::max(160, atoi(argv[1])) : 48000;
    const int paced = std::max(20, burst / 160);
    EventManager bus;
    Receiver receiver;
    bus.subscribe(60, &receiver);
    std::thread dispatcher([&bus] { bus.run(); });

    auto viaBus = [&bus](const ZQSlotMsg &m) { bus.post(m); };
    auto direct = [&receiver](const ZQSlotMsg &m) {
        QCoreApplication::postEvent(&receiver, new PhoneEvent(m));
    };

    std::printf("Burst: %d messages of %zu bytes posted back to back\n", burst, sizeof(ZQSlotMsg));
    std::printf("%-8s %12s %14s %10s %12s %12s\n", "posters", "bus msg/s", "direct msg/s", "bus/direct",
                "bus p50 ms", "bus p95 ms");
    for (int threads : {1, 4, 16}) {
        const Result b = measure(threads, burst, 0, receiver, viaBus);
        const Result d = measure(threads, burst, 0, receiver, direct);
        std::printf("%-8d %12.0f %14.0f %10.2f %12.2f %12.2f\n", threads, b.perSecond, d.perSecond,
                    b.perSecond / d.perSecond, b.medianMs, b.p95Ms);
    }
    std::printf("\nPaced: each poster sends one message every 2 ms (delivery latency, post to handler)\n");
    std::printf("%-8s %12s %12s %14s %14s %12s\n", "posters", "bus p50 ms", "bus p95 ms", "direct p50 ms",
                "direct p95 ms", "p50 / 50 ms");
    for (int threads : {1, 4, 16}) {
        const Result b = measure(threads, threads * paced, 2000, receiver, viaBus);
        const Result d = measure(threads, threads * paced, 2000, receiver, direct);
        std::printf("%-8d %12.2f %12.2f %14.3f %14.3f %12.2f\n", threads, b.medianMs, b.p95Ms, d.medianMs,
                    d.p95Ms, b.medianMs / EventManager::pollMilliseconds);
    }
    bus.stop();
    dispatcher.join();
    bus.unsubscribe(&receiver);
    return 0;
}
