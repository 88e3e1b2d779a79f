// core-client against a real phone farm: display frame rate, input-to-paint
// latency on the H.264 stream and on the JPEG one, a 200-phone preview sweep and memory per connected phone.
// Each figure is printed with a peer or limit measured in the same run.
//
//   build/bin/bench_coreclient [--phones N] [--taps T]   (N windows for the memory figure, default 20;
//                                                         T taps for the input latency, default 60)

#include "bench/coreclient/display_bench.h"
#include "coreclient/core_client.h"
#include "tests/coreclient/request_helpers.h"
#include "tests/support/cputime.h"
#include "tests/support/farmharness.h"
#include "tests/support/xvfb.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QWidget>
#include <QtTest>

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

using bench::connectWindow;
using bench::percentile;
using bench::shell;
using bench::Window;
using testsupport::processCpuSeconds;

double rssMiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

// Paint time against the farm's render time of each frame (same machine, same clock).
class PaintClock : public QObject
{
    Q_OBJECT
public:
    std::vector<double> latencyMs;
public slots:
    void onPainted(quint32, quint32, qint64 renderedAtUs)
    {
        latencyMs.push_back((QDateTime::currentMSecsSinceEpoch() * 1000 - renderedAtUs) / 1000.0);
    }
};

void frameRate(int maxFps)
{
    const QByteArray phone = "PMBENCHFPS";
    shell(phone, "monkey -p com.pmapps.clock 1"); // the stopwatch redraws continuously
    Window w = connectWindow(phone);
    PaintClock paints;
    const double fps = bench::paintedFps(w, 3000, &paints, SLOT(onPainted(quint32, quint32, qint64)));
    std::printf(
        "display frames: %.1f fps while the screen animates, %.2f of the farm's %d fps cap; farm render to "
        "surface paint: median %.1f ms, p95 %.1f ms\n",
        fps, fps / maxFps, maxFps, percentile(paints.latencyMs, 0.5), percentile(paints.latencyMs, 0.95));
    cc_core_close_phone(w.surface->winId());
}

// The median, for the JPEG stream's peer figure.
double inputLatency(int taps)
{
    const QByteArray phone = "PMBENCHLAT";
    Window w = connectWindow(phone);
    const std::vector<double> latencies = bench::tapLatencies(w, taps);
    std::vector<double> transport;
    // Peer: a request that changes nothing visible, round trip through the same gateway.
    const QByteArray cred = harness::credential(phone);
    for (int i = 0; i < 60; ++i) {
        QElapsedTimer clock;
        clock.start();
        harness::run(cred, phone, [](SdkSession *s, SdkCallback cb) {
            return cc_core_send_get_installed_package_msg_tob(s, cb);
        });
        transport.push_back(clock.nsecsElapsed() / 1e6);
    }
    const double median = percentile(latencies, 0.5), p95 = percentile(latencies, 0.95);
    std::printf(
        "input to changed frame painted: median %.1f ms, p95 %.1f ms (%zu taps); request round trip median "
        "%.2f ms -> paint path is %.1fx a bare round trip\n",
        median, p95, latencies.size(), percentile(transport, 0.5), median / percentile(transport, 0.5));
    cc_core_close_phone(w.surface->winId());
    return median;
}

// The same taps on the JPEG stream of a farm told to send it: the H.264 stream's cost in latency.
void jpegPeer(int taps, double h264Median, harness::Farm &farm)
{
    harness::Farm jpegFarm;
    if (!jpegFarm.start({QStringLiteral("--display-codec"), QStringLiteral("jpeg")}))
        return;
    cc_core_set_gateway("127.0.0.1", jpegFarm.port);
    Window w = connectWindow("PMBENCHJPG");
    const std::vector<double> latencies = bench::tapLatencies(w, taps);
    const double median = percentile(latencies, 0.5);
    std::printf(
        "the same on the JPEG stream: median %.1f ms, p95 %.1f ms -> H.264 median is JPEG's %+.1f ms\n",
        median, percentile(latencies, 0.95), h264Median - median);
    cc_core_close_phone(w.surface->winId());
    cc_core_set_gateway("127.0.0.1", farm.port);
}

void previewSweep(harness::Farm &farm)
{
    const int phones = 200;
    // Warm the farm: phones exist and the first sweep's set-up is not timed.
    auto sweep = [&](const QByteArray &prefix, int count) {
        std::vector<std::unique_ptr<harness::Request>> requests;
        for (int i = 0; i < count; ++i) {
            const QByteArray id = prefix + QByteArray::number(i);
            requests.push_back(std::make_unique<harness::Request>(harness::credential(id), id));
            cc_core_send_preview_msg_tob(requests.back()->session(), 25, CC_PREVIEW_MEDIUM,
                                         &harness::Request::callback);
        }
        int ok = 0;
        for (auto &r : requests)
            ok += r->wait(60000) && r->result().code == 0;
        return ok;
    };
    sweep("PMSW", phones);
    const double clientCpu0 = processCpuSeconds(), farmCpu0 = processCpuSeconds(farm.process.processId());
    QElapsedTimer clock;
    clock.start();
    const int ok = sweep("PMSW", phones);
    const double wall = clock.nsecsElapsed() / 1e9;
    const double clientCpu = processCpuSeconds() - clientCpu0,
                 farmCpu = processCpuSeconds(farm.process.processId()) - farmCpu0;
    // Peer: one preview at a time, the cost a sweep would have without concurrency.
    std::vector<double> single;
    for (int i = 0; i < 20; ++i) {
        QElapsedTimer one;
        one.start();
        sweep("PMSW", 1);
        single.push_back(one.nsecsElapsed() / 1e9);
    }
    const double serial = percentile(single, 0.5) * phones;
    std::printf(
        "preview sweep: %d/%d phones in %.3f s (%.0f previews/s); CPU: library side %.3f s (%.2f ms per "
        "phone), farm %.3f s; one-at-a-time would take %.3f s -> %.1fx faster\n",
        ok, phones, wall, phones / wall, clientCpu, clientCpu * 1000 / phones, farmCpu, serial,
        serial / wall);
}

void memoryPerPhone(harness::Farm &farm, int count)
{
    // A first window pays for one-off set-up; measure the ones after it.
    Window first = connectWindow("PMMEMBASE0");
    QSignalSpy firstPainted(first.view, SIGNAL(framePainted(quint32, quint32, qint64)));
    firstPainted.wait(5000);
    QTest::qWait(300);
    const double client0 = rssMiB(getpid()), farm0 = rssMiB(farm.process.processId());
    std::vector<Window> windows;
    for (int i = 0; i < count; ++i) {
        windows.push_back(connectWindow("PMMEM" + QByteArray::number(i)));
        QSignalSpy painted(windows.back().view, SIGNAL(framePainted(quint32, quint32, qint64)));
        painted.wait(5000);
    }
    QTest::qWait(500);
    const double client = (rssMiB(getpid()) - client0) / count,
                 farmSide = (rssMiB(farm.process.processId()) - farm0) / count;
    const double frame = 720.0 * 1280 * 4 / (1024 * 1024);
    std::printf(
        "memory per connected phone (%d windows): library side %.2f MiB, farm %.2f MiB; one raw 720x1280 "
        "frame is %.2f MiB -> %.2f and %.2f frames' worth\n",
        count, client, farmSide, frame, client / frame, farmSide / frame);
    for (Window &w : windows)
        cc_core_close_phone(w.surface->winId());
    cc_core_close_phone(first.surface->winId());
}

} // namespace

int main(int argc, char *argv[])
{
    testsupport::preferOffscreen();
    QApplication app(argc, argv);
    int phones = 20;
    const int at = app.arguments().indexOf(QStringLiteral("--phones"));
    if (at > 0)
        phones = qMax(1, app.arguments().value(at + 1).toInt());
    int taps = 60;
    if (const int tapsAt = app.arguments().indexOf(QStringLiteral("--taps")); tapsAt > 0)
        taps = qMax(2, app.arguments().value(tapsAt + 1).toInt());

    harness::Farm farm;
    const int maxFps = 30;
    if (!farm.start({QStringLiteral("--max-fps"), QString::number(maxFps)})) {
        std::fprintf(stderr, "cannot start %s/pelomir-phonefarm\n", qPrintable(harness::binDir()));
        return 1;
    }
    cc_core_set_gateway("127.0.0.1", farm.port);
    std::printf("core-client against pelomir-phonefarm on 127.0.0.1:%u, %d cores\n", farm.port,
                QThread::idealThreadCount());
    frameRate(maxFps);
    jpegPeer(taps, inputLatency(taps), farm);
    previewSweep(farm);
    memoryPerPhone(farm, phones);
    cc_core_uninit();
    return 0;
}

#include "bench_coreclient.moc"
