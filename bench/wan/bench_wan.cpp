// core-client over a slow link: the phone farm behind a proxy that delays
// every byte by half the round trip each way and, for a share of the
// segments, by a retransmission time as well, holding back what follows as
// TCP would. First four windows share a link of capped speed, H.264 and then
// JPEG: tap to paint, each window's longest wait for a new frame and the
// link's queue. Then input-to-paint latency beside the RTT, a control
// window's frame rate and the rhythm of 5 s preview sweeps, each also over a
// direct connection in the same run.
//
//   build/bin/bench_wan [--app PACKAGE] [--cap-kbps N] [--cap-only] [RTT_MS [LOSS_PERCENT [ROUNDS]]]
//     (default com.pmapps.racer, 6000 kbit/s, 50 ms, 1 %, 4 rounds: 40 taps per link and window
//     size, 4 s of frames, 4 preview sweeps per link; the capped link has no loss)

#include "bench/coreclient/display_bench.h"
#include "coreclient/core_client.h"
#include "tests/coreclient/request_helpers.h"
#include "tests/support/farmharness.h"
#include "tests/support/xvfb.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <utility>

namespace {

using bench::connectWindow;
using bench::percentile;
using bench::shell;
using bench::Window;

// Linux's least retransmission time-out.
constexpr int kRetransmitMs = 200;
constexpr int kPreviewPeriodMs = 5000;
// The capped link's token bucket: what it lets through at once after idling.
constexpr int kBurstMs = 5;

// One direction of a proxied connection: bytes leave in arrival order, each
// no earlier than its release time. With a rate, bytes first cross a link of
// that many bits per second fed by a token bucket holding kBurstMs of them;
// what waits for tokens is the link's queue, reported in ms.
class Pipe : public QObject
{
public:
    Pipe(QTcpSocket *from, QTcpSocket *to, int delayMs, double loss, int kbps, std::vector<double> *late,
         std::vector<double> *queue, QObject *parent)
        : QObject(parent), from_(from), to_(to), delayMs_(delayMs), loss_(loss), kbps_(kbps), late_(late),
          queue_(queue)
    {
        timer_.setSingleShot(true);
        timer_.setTimerType(Qt::PreciseTimer);
        connect(&timer_, &QTimer::timeout, this, &Pipe::release);
        connect(from_, &QTcpSocket::readyRead, this, &Pipe::take);
    }

private:
    // Release times are kept in microseconds: whole milliseconds would add up
    // to one to every chunk's delay.
    void take()
    {
        const qint64 now = nowUs();
        QByteArray bytes = from_->readAll();
        qint64 sent = now;
        if (kbps_ > 0) {
            // The bucket is full again once the link has been idle for kBurstMs.
            const qint64 burstUs = 1000 * kBurstMs;
            const qint64 waitUs = std::max<qint64>(0, linkFreeUs_ - burstUs - now);
            if (queue_)
                queue_->push_back(waitUs / 1000.0);
            linkFreeUs_ = std::max(linkFreeUs_, now - burstUs) + bytes.size() * 8000 / kbps_;
            sent = std::max(now, linkFreeUs_ - burstUs); // its last byte is across
        }
        const bool lost = QRandomGenerator::global()->generateDouble() < loss_;
        last_ = std::max(last_, sent + 1000 * (delayMs_ + (lost ? kRetransmitMs + 2 * delayMs_ : 0)));
        chunks_.push_back({last_, std::move(bytes)});
        if (!timer_.isActive())
            arm(now);
    }

    void release()
    {
        const qint64 now = nowUs();
        while (!chunks_.empty() && chunks_.front().first <= now) {
            late_->push_back((now - chunks_.front().first) / 1000.0);
            to_->write(chunks_.front().second);
            chunks_.pop_front();
        }
        if (!chunks_.empty())
            arm(now);
    }

    // Timers count whole milliseconds; rounding up never releases a chunk early.
    void arm(qint64 now) { timer_.start(int((chunks_.front().first - now + 999) / 1000)); }

    static qint64 nowUs() { return clock().nsecsElapsed() / 1000; }

    static QElapsedTimer &clock()
    {
        static QElapsedTimer c = [] {
            QElapsedTimer t;
            t.start();
            return t;
        }();
        return c;
    }

    QTcpSocket *from_;
    QTcpSocket *to_;
    int delayMs_;
    double loss_;
    int kbps_; // 0: no cap
    std::vector<double> *late_;
    std::vector<double> *queue_; // null: not reported
    qint64 last_ = 0;
    qint64 linkFreeUs_ = 0; // when the link has sent all it was given
    std::deque<std::pair<qint64, QByteArray>> chunks_;
    QTimer timer_;
};

// Lives on its own thread, so the GUI thread's waits never delay a byte.
class DelayProxy : public QObject
{
public:
    DelayProxy(quint16 target, int rttMs, double loss, int kbps = 0)
        : target_(target), oneWayMs_(rttMs / 2), loss_(loss), kbps_(kbps)
    {
    }

    // Proxy thread: how late each chunk left against its release time, in ms.
    std::vector<double> lateness() const { return late_; }
    // Proxy thread: each chunk's wait in the farm-to-client queue since the last call, in ms.
    std::vector<double> takeQueue() { return std::exchange(queue_, {}); }

    quint16 start()
    {
        connect(&server_, &QTcpServer::newConnection, this, &DelayProxy::accept);
        server_.listen(QHostAddress::LocalHost, 0);
        return server_.serverPort();
    }

    // Proxy thread: closes every connection and hands the proxy back to the
    // main thread, which can then destroy it.
    void stop()
    {
        server_.close();
        qDeleteAll(server_.findChildren<QTcpSocket *>(QString(), Qt::FindDirectChildrenOnly));
        moveToThread(QCoreApplication::instance()->thread());
    }

private:
    void accept()
    {
        while (QTcpSocket *down = server_.nextPendingConnection()) {
            auto *up = new QTcpSocket(down);
            down->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            connect(up, &QTcpSocket::connected, up,
                    [up] { up->setSocketOption(QAbstractSocket::LowDelayOption, 1); });
            new Pipe(down, up, oneWayMs_, loss_, kbps_, &late_, nullptr, down);
            new Pipe(up, down, oneWayMs_, loss_, kbps_, &late_, &queue_, down);
            connect(down, &QTcpSocket::disconnected, down, &QObject::deleteLater);
            connect(up, &QTcpSocket::disconnected, down, [down] { down->disconnectFromHost(); });
            up->connectToHost(QHostAddress::LocalHost, target_);
        }
    }

    QTcpServer server_{this}; // a child, so it moves to the proxy thread too
    quint16 target_;
    int oneWayMs_;
    double loss_;
    int kbps_;
    std::vector<double> late_;
    std::vector<double> queue_;
};

struct Figures
{
    double inputMedian = 0, inputP95 = 0;
    int taps = 0;
    double fps = 0;
    double sweepMedian = 0, sweepMax = 0, periodMax = 0;
    int previewsOk = 0, previews = 0;
};

// Taps, preview sweeps and seconds of frames grow with `rounds`; 4 is the full run.
// Taps alternate between a direct and a delayed window in blocks of five, so a
// change in the machine's load falls on both links alike. On a still screen
// each tap waits until the last mark has faded and its frames are acknowledged
// over the slow link too; on an animating one its frame competes with the
// animation's for the frames in flight.
void inputLatency(quint16 directPort, quint16 slowPort, const QSize &size, bool animating, int rounds,
                  Figures *direct, Figures *slow)
{
    const QByteArray tag = QByteArray(animating ? "A" : "S") + QByteArray::number(size.width());
    const QByteArray phones[] = {"PMWANLATD" + tag, "PMWANLATS" + tag};
    if (animating) {
        for (const QByteArray &phone : phones)
            shell(phone, "monkey -p com.pmapps.clock 1"); // the stopwatch redraws continuously
    }
    cc_core_set_gateway("127.0.0.1", directPort);
    Window d = connectWindow(phones[0], size);
    cc_core_set_gateway("127.0.0.1", slowPort);
    Window s = connectWindow(phones[1], size);
    const int gapMs = animating ? 200 : 700;
    std::vector<double> dl, sl;
    for (int block = 0; block < 2 * rounds; ++block) {
        for (const double ms : bench::tapLatencies(d, 5, gapMs))
            dl.push_back(ms);
        for (const double ms : bench::tapLatencies(s, 5, gapMs))
            sl.push_back(ms);
    }
    for (auto [f, l] : {std::make_pair(direct, &dl), std::make_pair(slow, &sl)}) {
        f->inputMedian = percentile(*l, 0.5);
        f->inputP95 = percentile(*l, 0.95);
        f->taps = int(l->size());
    }
    cc_core_close_phone(d.surface->winId());
    cc_core_close_phone(s.surface->winId());
}

void frameRate(const QByteArray &phone, int rounds, Figures *f)
{
    shell(phone, "monkey -p com.pmapps.clock 1"); // the stopwatch redraws continuously
    Window w = connectWindow(phone);
    f->fps = bench::paintedFps(w, 1000 * rounds);
    cc_core_close_phone(w.surface->winId());
}

// The preview grid's schedule: every 5 s one preview of each phone in view.
void previewRhythm(const QByteArray &prefix, int phones, int rounds, Figures *f)
{
    std::vector<double> sweeps, periods;
    QElapsedTimer clock;
    clock.start();
    qint64 lastEnd = -1;
    for (int round = 0; round < rounds; ++round) {
        const qint64 due = qint64(round) * kPreviewPeriodMs;
        harness::waitUntil([&] { return clock.elapsed() >= due; }, kPreviewPeriodMs + 1000);
        const qint64 begin = clock.elapsed();
        std::vector<std::unique_ptr<harness::Request>> requests;
        for (int i = 0; i < phones; ++i) {
            const QByteArray id = prefix + QByteArray::number(i);
            requests.push_back(std::make_unique<harness::Request>(harness::credential(id), id));
            cc_core_send_preview_msg_tob(requests.back()->session(), 25, CC_PREVIEW_SMALL,
                                         &harness::Request::callback);
        }
        for (auto &r : requests) {
            f->previewsOk += r->wait(30000) && r->result().code == 0;
            ++f->previews;
        }
        const qint64 end = clock.elapsed();
        if (round > 0) // the first round creates the phones
            sweeps.push_back(double(end - begin));
        if (lastEnd >= 0)
            periods.push_back(double(end - lastEnd));
        lastEnd = end;
    }
    f->sweepMedian = percentile(sweeps, 0.5);
    f->sweepMax = percentile(sweeps, 1.0);
    f->periodMax = percentile(periods, 1.0);
}

// When each frame of one window was painted, in ms on a shared clock.
class PaintTimes : public QObject
{
    Q_OBJECT
public:
    explicit PaintTimes(const QElapsedTimer *clock) : clock_(clock) {}
    std::vector<qint64> atMs;
public slots:
    void onPainted() { atMs.push_back(clock_->elapsed()); }

private:
    const QElapsedTimer *clock_;
};

struct LinkFigures
{
    double tapMedian = 0;
    int taps = 0;
    std::vector<double> gapMs; // the longest without a new frame, per window
    double queueMax = 0, queueP95 = 0;
};

// Four windows share one capped link. After the first kSettleMs (keyframes,
// the controller finding the rate) taps go to each window in turn, and each
// window's longest gap between paints and the link's queue are taken.
LinkFigures sharedLink(quint16 port, DelayProxy *proxy, const QByteArray &tag, const QByteArray &app,
                       int rounds)
{
    constexpr int kWindows = 4;
    constexpr qint64 kSettleMs = 3000;
    cc_core_set_gateway("127.0.0.1", port);
    QElapsedTimer clock;
    clock.start();
    std::vector<Window> windows;
    std::vector<std::unique_ptr<PaintTimes>> paints;
    for (int i = 0; i < kWindows; ++i) {
        const QByteArray phone = "PMWANCAP" + tag + QByteArray::number(i);
        shell(phone, ("monkey -p " + app + " 1").constData());
        windows.push_back(connectWindow(phone));
        paints.push_back(std::make_unique<PaintTimes>(&clock));
        QObject::connect(windows.back().view, SIGNAL(framePainted(quint32, quint32, qint64)),
                         paints.back().get(), SLOT(onPainted()));
    }
    harness::waitUntil([&] { return clock.elapsed() >= kSettleMs; }, kSettleMs + 1000);
    QMetaObject::invokeMethod(
        proxy, [proxy] { proxy->takeQueue(); }, Qt::BlockingQueuedConnection);
    const qint64 from = clock.elapsed();
    std::vector<double> taps;
    for (int round = 0; round < 2 * rounds; ++round) {
        for (Window &w : windows) {
            // Mid-height lies on the phone's picture in either orientation.
            for (const double ms : bench::tapLatencies(w, 1, 300, 0.5))
                taps.push_back(ms);
        }
    }
    const qint64 to = clock.elapsed();
    LinkFigures f;
    std::vector<double> queue;
    QMetaObject::invokeMethod(
        proxy, [&] { queue = proxy->takeQueue(); }, Qt::BlockingQueuedConnection);
    f.queueMax = percentile(queue, 1.0);
    f.queueP95 = percentile(queue, 0.95);
    f.tapMedian = percentile(taps, 0.5);
    f.taps = int(taps.size());
    for (const auto &p : paints) {
        qint64 last = from, gap = 0;
        for (const qint64 at : p->atMs) {
            if (at > from) {
                gap = std::max(gap, at - last);
                last = at;
            }
        }
        f.gapMs.push_back(double(std::max(gap, to - last)));
    }
    for (Window &w : windows)
        cc_core_close_phone(w.surface->winId());
    return f;
}

void printLink(const char *codec, const LinkFigures &f, int rttMs, bool target)
{
    QStringList gaps;
    for (const double g : f.gapMs)
        gaps << QString::number(g, 'f', 0);
    const double worst = percentile(f.gapMs, 1.0);
    const QString taps =
        f.taps == 0 ? QStringLiteral("no tap painted within 5 s")
        : target
            ? QStringLiteral("tap to paint median %1 ms (%2 taps) against RTT + 50 = %3 ms: %4")
                  .arg(f.tapMedian, 0, 'f', 1)
                  .arg(f.taps)
                  .arg(rttMs + 50)
                  .arg(f.tapMedian <= rttMs + 50 ? "within" : "OVER")
            : QStringLiteral("tap to paint median %1 ms (%2 taps)").arg(f.tapMedian, 0, 'f', 1).arg(f.taps);
    std::printf("  %s: %s; longest gap without a new frame per window %s ms (limit 1000: %s); link queue max "
                "%.0f ms, "
                "p95 %.0f ms (limit 100: %s)\n",
                codec, qPrintable(taps), qPrintable(gaps.join(QStringLiteral(", "))),
                worst <= 1000 ? "within" : "OVER", f.queueMax, f.queueP95,
                f.queueMax < 100 ? "within" : "OVER");
}

Figures measure(quint16 port, const char *tag, int rounds)
{
    cc_core_set_gateway("127.0.0.1", port);
    Figures f;
    frameRate(QByteArray("PMWANFPS") + tag, rounds, &f);
    previewRhythm(QByteArray("PMWANPV") + tag, 50, rounds, &f);
    return f;
}

} // namespace

int main(int argc, char *argv[])
{
    testsupport::preferOffscreen();
    QApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const auto option = [&args](const QString &name, const QString &fallback) {
        const int at = args.indexOf(name);
        if (at < 0 || at + 1 >= args.size())
            return fallback;
        const QString value = args.at(at + 1);
        args.erase(args.begin() + at, args.begin() + at + 2);
        return value;
    };
    const QByteArray capApp = option(QStringLiteral("--app"), QStringLiteral("com.pmapps.racer")).toLatin1();
    const int capKbps =
        qBound(100, option(QStringLiteral("--cap-kbps"), QStringLiteral("6000")).toInt(), 1000000);
    const bool capOnly = args.removeAll(QStringLiteral("--cap-only")) > 0;
    const int rttMs = args.size() > 0 ? qMax(0, args.at(0).toInt()) : 50;
    const double lossPercent = args.size() > 1 ? qBound(0.0, args.at(1).toDouble(), 50.0) : 1.0;
    // At least two preview rounds: the first creates the phones and is not counted.
    const int rounds = args.size() > 2 ? qBound(2, args.at(2).toInt(), 100) : 4;

    harness::Farm farm;
    const int maxFps = 30;
    if (!farm.start({QStringLiteral("--max-fps"), QString::number(maxFps)})) {
        std::fprintf(stderr, "cannot start %s/pelomir-phonefarm\n", qPrintable(harness::binDir()));
        return 1;
    }
    QThread proxyThread;
    DelayProxy proxy(farm.port, rttMs, lossPercent / 100.0);
    proxy.moveToThread(&proxyThread);
    proxyThread.start();
    quint16 proxyPort = 0;
    QMetaObject::invokeMethod(
        &proxy, [&] { proxyPort = proxy.start(); }, Qt::BlockingQueuedConnection);
    const auto finish = [&proxyThread] {
        cc_core_uninit();
        proxyThread.quit();
        proxyThread.wait();
        return 0;
    };

    // One home link shared by four windows: H.264, then JPEG from a farm that sends only that.
    harness::Farm jpegFarm;
    if (!jpegFarm.start({QStringLiteral("--max-fps"), QString::number(maxFps),
                         QStringLiteral("--display-codec"), QStringLiteral("jpeg")})) {
        std::fprintf(stderr, "cannot start %s/pelomir-phonefarm\n", qPrintable(harness::binDir()));
        return finish() + 1;
    }
    std::printf("four windows of %s sharing a link of %d kbit/s at RTT %d ms:\n", capApp.constData(), capKbps,
                rttMs);
    for (const bool h264 : {true, false}) {
        DelayProxy capped(h264 ? farm.port : jpegFarm.port, rttMs, 0, capKbps);
        capped.moveToThread(&proxyThread);
        quint16 cappedPort = 0;
        QMetaObject::invokeMethod(
            &capped, [&] { cappedPort = capped.start(); }, Qt::BlockingQueuedConnection);
        const LinkFigures f = sharedLink(cappedPort, &capped, h264 ? "H" : "J", capApp, rounds);
        printLink(h264 ? "H.264" : "JPEG", f, rttMs, h264);
        // Its sockets live on the proxy thread: they go there too.
        QMetaObject::invokeMethod(
            &capped, [&] { capped.stop(); }, Qt::BlockingQueuedConnection);
    }
    if (capOnly)
        return finish();

    std::printf(
        "core-client against pelomir-phonefarm: direct, and through a proxy adding %d ms RTT with %.1f %% of "
        "segments held %d ms more (a retransmission); %d cores\n",
        rttMs, lossPercent, kRetransmitMs + rttMs, QThread::idealThreadCount());
    // The painted size decides the client's decoding and painting; the farm's frames are full size.
    struct Scene
    {
        QSize size;
        bool animating;
    };
    for (const Scene scene : {Scene{{360, 640}, false}, Scene{{720, 1280}, false}, Scene{{360, 640}, true}}) {
        Figures direct, slow;
        inputLatency(farm.port, proxyPort, scene.size, scene.animating, rounds, &direct, &slow);
        std::printf(
            "input to painted frame, %s screen in a %dx%d window: median %.1f ms, p95 %.1f ms (%d taps) at "
            "RTT %d ms; direct median %.1f ms, p95 %.1f ms, so the link adds %.1f ms (%.2fx its RTT); "
            "median %s RTT + 30 ms (%d ms)\n",
            scene.animating ? "animating" : "still", scene.size.width(), scene.size.height(),
            slow.inputMedian, slow.inputP95, slow.taps, rttMs, direct.inputMedian, direct.inputP95,
            slow.inputMedian - direct.inputMedian,
            rttMs > 0 ? (slow.inputMedian - direct.inputMedian) / rttMs : 0.0,
            slow.inputMedian <= rttMs + 30 ? "within" : "OVER", rttMs + 30);
    }
    const Figures direct = measure(farm.port, "D", rounds);
    const Figures slow = measure(proxyPort, "S", rounds);
    std::printf("control window frame rate while the screen animates: %.1f fps at RTT %d ms, %.1f fps direct "
                "(%.2f of direct; farm cap %d fps)\n",
                slow.fps, rttMs, direct.fps, direct.fps > 0 ? slow.fps / direct.fps : 0.0, maxFps);
    std::printf(
        "preview sweeps of 50 phones every %d s: %d/%d answered; sweep median %.0f ms, max %.0f ms at RTT "
        "%d ms (direct median %.0f ms); longest gap between sweep ends %.0f ms -> rhythm %s\n",
        kPreviewPeriodMs / 1000, slow.previewsOk, slow.previews, slow.sweepMedian, slow.sweepMax, rttMs,
        direct.sweepMedian, slow.periodMax,
        slow.sweepMax < kPreviewPeriodMs && slow.periodMax < kPreviewPeriodMs + 1000 ? "kept" : "LOST");
    std::vector<double> late;
    QMetaObject::invokeMethod(
        &proxy, [&] { late = proxy.lateness(); }, Qt::BlockingQueuedConnection);
    std::printf(
        "the proxy itself: %zu chunks left a median %.2f ms, p95 %.2f ms, max %.1f ms after their release "
        "time (%.1f%% of the RTT at p95)\n",
        late.size(), percentile(late, 0.5), percentile(late, 0.95), percentile(late, 1.0),
        rttMs > 0 ? 100 * percentile(late, 0.95) / rttMs : 0.0);
    return finish();
}

#include "bench_wan.moc"
