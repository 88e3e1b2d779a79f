// The preview grid at scale and at work.
// Scale: the device page (tree and grid) of an account with N phones, all ticked as after a login:
// time from the inventory's arrival to the laid-out grid, the longest stall of the GUI thread (seen
// by a 10 ms heartbeat timer) and memory per phone; the same for N / 5 phones, so that the growth
// shows as a ratio (linear growth gives 5).
// Work: up to 200 ticked phones of a real phone farm in the small view: paint time per frame, GUI
// thread CPU while idle and while scrolling, memory per tile with frames, a full preview sweep.
// Each figure is printed with a peer or limit measured or fixed in the same run.
//
//   build/bin/bench_grid [phones]     (default 5000; runs on the offscreen platform unless told)

#include "api/userinfo.h"
#include "app/globals.h"
#include "phone/queuepreview.h"
#include "tests/support/cputime.h"
#include "tests/support/farmharness.h"
#include "ui/zqdevice.h"
#include "ui/zqdevicelist.h"
#include "ui/zqdevicelistitem.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

namespace {

using testsupport::threadCpuSeconds;

// Times every event the GUI thread delivers from its event loop, so that a stall can be named: the
// longest single delivery since the last reset, with its receiver's class and the event type.
class TimedApplication : public QApplication
{
public:
    using QApplication::QApplication;
    struct Slowest
    {
        double ms = 0;
        QByteArray receiver;
        int type = 0;
    };
    Slowest slowest;

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (m_depth > 0 || QThread::currentThread() != thread())
            return QApplication::notify(receiver, event);
        ++m_depth;
        QElapsedTimer clock;
        clock.start();
        const int type = event->type();
        const QByteArray name = receiver->metaObject()->className();
        const bool result = QApplication::notify(receiver, event);
        const double ms = clock.nsecsElapsed() / 1e6;
        if (ms > slowest.ms)
            slowest = {ms, name, type};
        --m_depth;
        return result;
    }

private:
    int m_depth = 0;
};

double rssMegabytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.value(1).toDouble() * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

bool waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// GUI-thread CPU per wall second while `step` runs every `intervalMs` for `seconds`.
double cpuShare(double seconds, int intervalMs, const std::function<void()> &step)
{
    QElapsedTimer wall;
    wall.start();
    const double cpu0 = threadCpuSeconds();
    qint64 next = 0;
    while (wall.elapsed() < qint64(seconds * 1000)) {
        if (step && wall.elapsed() >= next) {
            step();
            next += intervalMs;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        usleep(1000);
    }
    return (threadCpuSeconds() - cpu0) / (wall.elapsed() / 1000.0);
}

// Mean milliseconds of a synchronous repaint of `widget`.
double paintMs(QWidget *widget, int rounds)
{
    widget->repaint();
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < rounds; ++i)
        widget->repaint();
    return clock.nsecsElapsed() / 1e6 / rounds;
}

struct Provider
{
    QProcess process;
    QString url;
    ~Provider()
    {
        process.terminate();
        process.waitForFinished(10000);
    }

    // A provider on a free port whose scale account 13900000000 holds `phones` phones.
    bool start(const QString &dir, int phones, const QStringList &extra = {})
    {
        process.start(harness::binDir() + QStringLiteral("/pelomir-provider"),
                      QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"),
                                  QStringLiteral("--db"), dir + QStringLiteral("/p.db"),
                                  QStringLiteral("--log"), dir + QStringLiteral("/p.log"),
                                  QStringLiteral("--fast-hash"), QStringLiteral("--seed-phones"),
                                  QString::number(phones)} +
                          extra);
        QByteArray out;
        while (!out.contains('\n') && process.waitForReadyRead(120000))
            out += process.readAllStandardOutput();
        url = QRegularExpression(QStringLiteral("listening on (\\S+)")).match(out).captured(1);
        return !url.isEmpty();
    }
};

// Logs in to the scale account of the provider at `url` with a fresh account model.
bool login(const QString &url)
{
    // Nothing on the pool may still use the account model that is replaced here; the bus dispatcher
    // holds one worker for good.
    if (!waitFor([] { return g_threadPool.idleCount() >= g_threadPool.workerCount() - 1; }, 30000))
        return false;
    g_config->apiBaseUrl = url;
    g_userInfoHolder = std::make_shared<userInfo>();
    g_userInfo = g_userInfoHolder.get();
    g_userInfo->setReloadPauseMs(0);
    return g_userInfo->login(QStringLiteral("13900000000"), QStringLiteral("pelomir2026"), false);
}

// Notes the GUI thread's arrival of the first inventory load (Msg::rebuildTree).
class InventoryProbe : public QObject
{
public:
    InventoryProbe() { g_eventManager.subscribe(30, this); }
    ~InventoryProbe() override { g_eventManager.unsubscribe(this); }
    QElapsedTimer arrived;

protected:
    bool event(QEvent *event) override
    {
        if (!PhoneEvent::isBusEvent(event))
            return QObject::event(event);
        if (!arrived.isValid())
            arrived.start();
        return true;
    }
};

struct Scale
{
    int phones = 0;
    double layoutMs = 0;   // inventory arrival to the laid-out grid
    double cpuMs = 0;      // GUI-thread CPU from the login to the laid-out grid
    double stallMs = 0;    // longest gap between heartbeats in that time
    double kbPerPhone = 0; // RSS growth of the page per phone
    TimedApplication::Slowest slowest;
};

// The device page in a 1280 x 800 window, a login to an account of `phones` phones, and the time
// until the grid holds them all, laid out, with nothing left in the event queue.
bool measureScale(int phones, Scale *result)
{
    QTemporaryDir dir;
    Provider provider;
    if (!provider.start(dir.path(), phones)) {
        std::fprintf(stderr, "pelomir-provider did not start\n");
        return false;
    }
    ZqDevice page;
    page.resize(1280, 760);
    page.show();
    ZqDeviceList *grid = page.findChild<ZqDeviceList *>();
    waitFor([] { return false; }, 200);
    const double rssBefore = rssMegabytes();

    InventoryProbe probe;
    QElapsedTimer beat;
    qint64 longest = 0;
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    // A gap that began before the inventory arrived counts whole.
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const qint64 gap = beat.restart();
        if (probe.arrived.isValid())
            longest = std::max(longest, gap);
    });
    beat.start();
    heartbeat.start(10);
    auto *app = static_cast<TimedApplication *>(qApp);
    app->slowest = {};
    const double cpu0 = threadCpuSeconds();
    if (!login(provider.url)) {
        std::fprintf(stderr, "no login at %d phones\n", phones);
        return false;
    }
    if (!waitFor(
            [&] {
                return probe.arrived.isValid() && grid->tiles().size() == phones && !grid->layoutPending();
            },
            120000)) {
        std::fprintf(stderr, "the grid did not fill with %d phones\n", phones);
        return false;
    }
    const qint64 settled = probe.arrived.elapsed();
    result->cpuMs = (threadCpuSeconds() - cpu0) * 1000;
    heartbeat.stop();
    waitFor([] { return !g_userInfo->reloadBusy(); }, 60000);
    result->phones = phones;
    result->layoutMs = double(settled);
    result->stallMs = double(longest);
    result->slowest = app->slowest;
    result->kbPerPhone = (rssMegabytes() - rssBefore) * 1024 / phones;
    return true;
}

} // namespace

// Painting, scrolling, memory with frames and a preview sweep with `phones` ticked phones of a farm.
int previewWork(int phones)
{
    QTemporaryDir dir;

    harness::Farm farm;
    if (!farm.start()) {
        std::fprintf(stderr, "pelomir-phonefarm did not start\n");
        return 1;
    }
    cc_core_set_gateway("127.0.0.1", farm.port);
    Provider provider;
    if (!provider.start(
            dir.path(), phones,
            {QStringLiteral("--farm"), QStringLiteral("http://127.0.0.1:%1").arg(farm.adminPort)})) {
        std::fprintf(stderr, "pelomir-provider did not start\n");
        return 1;
    }
    if (!login(provider.url) ||
        !waitFor([&] { return g_userInfo->phoneCount() == phones && !g_userInfo->reloadBusy(); }, 60000)) {
        std::fprintf(stderr, "no inventory of %d phones\n", phones);
        return 1;
    }
    g_threadPool.commit([] { g_queuePreview.runScheduler(); });

    // The grid as the device page holds it in a 1280 x 800 window, in the small view.
    ZqDeviceList grid;
    grid.resize(879, 760);
    grid.show();
    ZQSlotMsg small;
    small.type = 54;
    g_eventManager.post(small);
    QWidget blank;
    blank.resize(grid.size());
    blank.show();
    waitFor([] { return false; }, 300);

    const double rssBefore = rssMegabytes();
    for (const groupRecord &group : g_userInfo->ordinaryGroups()) {
        for (const phoneRecord &phone : group.phones) {
            ZQSlotMsg check;
            check.type = 63;
            check.text = jsonToText(
                {{QStringLiteral("cloudId"), phone.cloudPhoneId}, {QStringLiteral("isChecked"), true}});
            g_eventManager.post(check);
        }
    }
    if (!waitFor(
            [&] {
                return grid.tiles().size() == phones && !grid.layoutPending() &&
                       grid.displayMode() == ZqDeviceList::SmallView;
            },
            30000)) {
        std::fprintf(stderr, "the grid did not fill\n");
        return 1;
    }
    QList<ZqDeviceListItem *> visible;
    for (ZqDeviceListItem *tile : grid.tiles())
        if (tile->previewRequested())
            visible.append(tile);
    auto frame = [](ZqDeviceListItem *tile) { return g_queuePreview.previewImage(tile->deviceId()); };
    if (!waitFor(
            [&] {
                return std::all_of(visible.begin(), visible.end(),
                                   [&](auto t) { return !frame(t).isNull(); });
            },
            30000)) {
        std::fprintf(stderr, "no frames for the visible tiles\n");
        return 1;
    }
    const double rssTiles = rssMegabytes();
    qint64 frameBytes = 0;
    for (ZqDeviceListItem *tile : visible)
        frameBytes += frame(tile).sizeInBytes();

    // A full sweep: from the scheduler's next sweep to the last visible tile's new frame.
    std::vector<qint64> keys;
    for (ZqDeviceListItem *tile : visible)
        keys.push_back(frame(tile).cacheKey());
    const int sweeps = g_queuePreview.sweepCount();
    waitFor([&] { return g_queuePreview.sweepCount() > sweeps; }, 10000);
    QElapsedTimer sweep;
    sweep.start();
    waitFor(
        [&] {
            for (int i = 0; i < visible.size(); ++i)
                if (frame(visible[i]).cacheKey() == keys[size_t(i)])
                    return false;
            return true;
        },
        10000);
    const double sweepMs = sweep.nsecsElapsed() / 1e6;

    // A frame: the tiles in view drawn again with their newest previews, as on the scheduler's
    // repaint message; and a full repaint of the grid with its drop shadow, as on a resize.
    const double tilesPaint = paintMs(grid.contentWidget(), 30);
    const double gridPaint = paintMs(&grid, 30);
    const double blankPaint = paintMs(&blank, 30);
    const double idle = cpuShare(10, 0, nullptr);
    QScrollBar *bar = grid.scrollArea()->verticalScrollBar();
    int direction = 1;
    const double scrolling = cpuShare(5, 16, [&] {
        if (bar->value() >= bar->maximum() || bar->value() <= bar->minimum())
            direction = bar->value() >= bar->maximum() ? -1 : 1;
        bar->setValue(bar->value() + direction * 12);
    });

    std::printf("grid with %d ticked phones, small view, %d tiles in view\n", phones, int(visible.size()));
    std::printf(
        "paint per frame: %.2f ms for the tiles in view, %.1f%% of a 16.7 ms frame; a blank widget of "
        "the grid's size %.2f ms (%.1fx)\n",
        tilesPaint, tilesPaint / 16.7 * 100, blankPaint, tilesPaint / blankPaint);
    std::printf("full repaint of the grid with its drop shadow: %.2f ms (%.1fx the tiles)\n", gridPaint,
                gridPaint / tilesPaint);
    std::printf("GUI thread CPU: idle %.1f%%, scrolling at 60 steps/s %.1f%% of one core\n", idle * 100,
                scrolling * 100);
    std::printf("memory: %.1f KB per tile (RSS %.1f -> %.1f MB), of which frames %.1f KB per tile in view\n",
                (rssTiles - rssBefore) * 1024 / phones, rssBefore, rssTiles,
                frameBytes / 1024.0 / std::max(1, int(visible.size())));
    std::printf("full sweep of %d visible tiles: %.0f ms, %.1f%% of the %d ms sweep interval\n",
                int(visible.size()), sweepMs, sweepMs / QueuePreview::sweepIntervalMs * 100,
                QueuePreview::sweepIntervalMs);

    g_queuePreview.stopScheduler();
    g_eventManager.stop();
    return 0;
}

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TimedApplication app(argc, argv);
    const int phones = argc > 1 ? std::max(5, atoi(argv[1])) : 5000;
    g_configHolder = std::make_shared<ZqConfig>();
    g_config = g_configHolder.get();
    g_threadPool.commit([] { g_eventManager.run(); });

    // A first small page pays for what is loaded once (styles, fonts, images) outside the figures.
    Scale warmUp, small, large;
    if (!measureScale(5, &warmUp) || !measureScale(phones / 5, &small) || !measureScale(phones, &large))
        return 1;
    std::printf("device page, all phones ticked: inventory arrival to laid-out grid, longest GUI stall "
                "(10 ms heartbeat), memory\n");
    for (const Scale &s : {small, large})
        std::printf(
            "%6d phones: %5.0f ms (limit 1000; GUI thread CPU %.0f ms), longest stall %4.0f ms (limit 100), "
            "%.1f KB per phone\n",
            s.phones, s.layoutMs, s.cpuMs, s.stallMs, s.kbPerPhone);
    for (const Scale &s : {small, large})
        std::printf("%6d phones: longest single event %.0f ms (%s, event type %d)\n", s.phones, s.slowest.ms,
                    s.slowest.receiver.constData(), s.slowest.type);
    std::printf("growth %d / %d phones: time %.1fx, CPU %.1fx, memory %.1fx (linear 5.0x, limit 6.0x)\n",
                large.phones, small.phones, large.layoutMs / std::max(1.0, small.layoutMs),
                large.cpuMs / std::max(1.0, small.cpuMs),
                large.kbPerPhone * large.phones / std::max(1.0, small.kbPerPhone * small.phones));
    std::fflush(stdout);

    return previewWork(std::min(phones, 200));
}
