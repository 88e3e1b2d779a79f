// A recorded macro replayed at speed x1 on many farm phones, one replay thread each. Prints how far
// each phone's sends drifted from the recorded timing (p50, p95, max over its events, then the
// spread of those figures across phones), against the 20 ms target, and the client's CPU beside the
// farm's over the same replay. Runs at a tenth of the phones first, then at the full count.
//   build/bin/bench_macro [phones [events]]     (defaults 100 phones, 1,000 events)
#include "app/eventmanager.h"
#include "app/messages.h"
#include "app/threadpool.h"
#include "phone/macrofile.h"
#include "phone/sdkmanager.h"
#include "tests/phone/phonefarm.h"
#include "tests/support/busrecorder.h"
#include "tests/support/cputime.h"
#include "tests/support/xvfb.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

using testsupport::processCpuSeconds;

constexpr double targetP95Ms = 20.0;
constexpr int eventGapMs = 20; // a drag sampled at 50 Hz

// Drags across the empty lower half of the launcher: a press, moves, a release, in gestures of 50.
std::shared_ptr<const macro::Recording> dragging(int events)
{
    auto recording = std::make_shared<macro::Recording>();
    recording->name = QStringLiteral("bench");
    for (int i = 0; i < events; ++i) {
        const int inGesture = i % 50;
        const bool last = inGesture == 49 || i == events - 1;
        macro::Step step;
        step.offsetMs = qint64(i) * eventGapMs;
        step.event.type = inGesture == 0 || last ? SyncTouchUpDown : SyncTouchMove;
        step.event.length = 12;
        step.event.data[0] = 1;
        step.event.data[1] = char(inGesture == 0 ? 0 : last ? 1 : 2);
        qToLittleEndian<quint16>(quint16(8000 + inGesture * 900), step.event.data + 4);
        qToLittleEndian<quint16>(quint16(52000), step.event.data + 6);
        qToLittleEndian<quint32>(quint32(inGesture * eventGapMs), step.event.data + 8);
        recording->steps.push_back(step);
    }
    return recording;
}

// Runs the event loop for `ms` without spinning, so that the bench's own waiting costs no CPU.
void idle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

double at(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(fraction * double(values.size() - 1) + 0.5))];
}

bool run(PhoneFarm &farm, int phones, int events, int firstId)
{
    ThreadPool pool(2);
    EventManager bus;
    SdkManager manager(pool, bus);
    testsupport::BusRecorder probe(bus, {Msg::macroProgress, Msg::macroFinished});
    QTimer pump;
    QObject::connect(&pump, &QTimer::timeout, [&bus] { bus.dispatchPending(); });
    pump.start(20);
    for (int i = 0; i < phones; ++i) {
        const QByteArray id = "PMMACRO" + QByteArray::number(firstId + i);
        manager.addPhone(firstId + i, QString::fromLatin1(id), QString::fromLatin1(PhoneFarm::credential(id)),
                         QString());
    }
    QElapsedTimer clock;
    clock.start();
    while (manager.phoneCount() < phones && clock.elapsed() < 30000)
        idle(10);

    const auto recording = dragging(events);
    const double clientBefore = processCpuSeconds();
    const double farmBefore = processCpuSeconds(farm.process.processId());
    clock.restart();
    if (!manager.startMacro(recording, {}))
        return false;
    const qint64 limit = recording->lengthMs() * 4 + 60000;
    while (probe.messages(Msg::macroFinished).isEmpty() && clock.elapsed() < limit)
        idle(50);
    const double wall = double(clock.elapsed()) / 1000.0;
    const double clientCpu = processCpuSeconds() - clientBefore;
    const double farmCpu = processCpuSeconds(farm.process.processId()) - farmBefore;
    if (probe.messages(Msg::macroFinished).isEmpty()) {
        std::printf("%d phones: the replay did not finish in %lld s\n", phones, limit / 1000);
        manager.stopMacro();
        return false;
    }

    std::vector<double> p50s, p95s, maxes;
    int incomplete = 0;
    for (const QJsonObject &progress : probe.payloads(Msg::macroProgress)) {
        const QString state = progress.value(QStringLiteral("state")).toString();
        if (state == QLatin1String("waiting") || state == QLatin1String("running"))
            continue;
        if (state != QLatin1String("done") || progress.value(QStringLiteral("sent")).toInt() != events)
            ++incomplete;
        p50s.push_back(progress.value(QStringLiteral("driftP50Ms")).toDouble());
        p95s.push_back(progress.value(QStringLiteral("driftP95Ms")).toDouble());
        maxes.push_back(progress.value(QStringLiteral("driftMaxMs")).toDouble());
    }
    std::printf("%d phones x %d events at x1 (%.1f s recorded), replay took %.1f s%s\n", phones, events,
                double(recording->lengthMs()) / 1000.0, wall,
                incomplete ? qPrintable(QStringLiteral(", %1 phones incomplete").arg(incomplete)) : "");
    std::printf("  drift per phone        median      worst phone\n");
    std::printf("  p50                  %7.2f ms   %7.2f ms\n", at(p50s, 0.5), at(p50s, 1.0));
    std::printf("  p95                  %7.2f ms   %7.2f ms   (%.2fx the %.0f ms target)\n", at(p95s, 0.5),
                at(p95s, 1.0), at(p95s, 1.0) / targetP95Ms, targetP95Ms);
    std::printf("  max                  %7.2f ms   %7.2f ms\n", at(maxes, 0.5), at(maxes, 1.0));
    std::printf("  client CPU %.2f s (%.0f%% of a core), farm CPU %.2f s: client %.2fx the farm\n", clientCpu,
                clientCpu / wall * 100.0, farmCpu, farmCpu > 0 ? clientCpu / farmCpu : 0.0);
    return incomplete == 0 && int(p95s.size()) == phones;
}

} // namespace

int main(int argc, char *argv[])
{
    testsupport::preferOffscreen();
    QApplication app(argc, argv); // the library expects a QApplication
    const int phones = argc > 1 ? qBound(1, QByteArray(argv[1]).toInt(), 1000) : 100;
    const int events = argc > 2 ? qBound(1, QByteArray(argv[2]).toInt(), macro::eventLimit) : 1000;
    PhoneFarm farm;
    QString error;
    if (!farm.start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    bool complete = run(farm, std::max(1, phones / 10), events, 1000);
    complete = run(farm, phones, events, 5000) && complete;
    cc_core_uninit();
    return complete ? 0 : 1;
}
