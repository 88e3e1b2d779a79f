// The phone control window against a real phone farm: latency from a key or a click to the changed
// frame painted in the window, frames per second while the phone animates, and the GUI thread's CPU
// with four windows open, then the frame rate and click latency against a farm allowed 60 fps. Each
// figure is printed with a peer or limit measured in the same run.
//
//   build/bin/bench_oper [--rounds N]     (key and click samples each, default 60)

#include "app/globals.h"
#include "coreclient/core_client.h"
#include "oper/zqphoneform.h"
#include "oper/zqphonewindow.h"
#include "tests/coreclient/request_helpers.h"
#include "tests/support/cputime.h"
#include "tests/support/farmharness.h"
#include "tests/support/xvfb.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

namespace {

using testsupport::threadCpuSeconds;

constexpr int kFarmMaxFps = 30;
constexpr int kFastMaxFps = 60;
constexpr int kFastMinFps = 57; // what one window must paint at kFastMaxFps

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * (v.size() - 1) + 0.5))];
}

// The farm stamps frames with its wall clock; same machine, same clock.
qint64 wallUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void shell(const QByteArray &phone, const QByteArray &command)
{
    harness::run(harness::credential(phone), phone, [&command](SdkSession *s, SdkCallback cb) {
        return cc_core_send_adb_command_msg_tob(s, command.constData(), cb, 0);
    });
}

void startApp(const QByteArray &phone, const char *package)
{
    shell(phone, QByteArray("monkey -p ") + package + " -c android.intent.category.LAUNCHER 1");
}

// Paint times of one render child: (inputAck, renderedAtUs, painted at in wall-clock microseconds).
class Paints : public QObject
{
    Q_OBJECT
public:
    struct Paint
    {
        quint32 inputAck;
        qint64 renderedAtUs;
        qint64 paintedAtUs;
    };
    std::vector<Paint> paints;
public slots:
    void onPainted(quint32, quint32 inputAck, qint64 renderedAtUs)
    {
        paints.push_back({inputAck, renderedAtUs, wallUs()});
    }
};

struct Window
{
    std::unique_ptr<ZqPhoneForm> form;
    QWidget *view = nullptr;
    Paints paints;
};

std::unique_ptr<Window> openWindow(const QByteArray &phone, int cloudPhoneId)
{
    auto w = std::make_unique<Window>();
    w->form = std::make_unique<ZqPhoneForm>(QString::fromLatin1(phone), QStringLiteral("bench"),
                                            QString::fromLatin1(harness::credential(phone)),
                                            QStringLiteral("1"), 0, cloudPhoneId);
    w->view = w->form->display()->findChild<QWidget *>(QStringLiteral("ccRenderView"));
    QObject::connect(w->view, SIGNAL(framePainted(quint32, quint32, qint64)), &w->paints,
                     SLOT(onPainted(quint32, quint32, qint64)));
    w->form->show();
    if (!QTest::qWaitForWindowExposed(w->form.get()) ||
        !harness::waitUntil([&] { return !w->paints.paints.empty(); }, 10000))
        std::fprintf(stderr, "no frame from %s\n", phone.constData());
    return w;
}

// The first paint after `sinceUs` of a frame the farm drew after `sinceUs`; its delay, or -1.
double paintAfter(Window &w, qint64 sinceUs)
{
    const auto found = [&]() -> const Paints::Paint * {
        for (const Paints::Paint &p : w.paints.paints)
            if (p.renderedAtUs >= sinceUs)
                return &p;
        return nullptr;
    };
    if (!harness::waitUntil([&] { return found() != nullptr; }, 3000))
        return -1;
    return (found()->paintedAtUs - sinceUs) / 1000.0;
}

void report(const char *what, const std::vector<double> &ms, const char *peerName,
            const std::vector<double> &peer)
{
    std::printf("%s: median %.1f ms, p95 %.1f ms (n=%zu); %s: median %.1f ms, p95 %.1f ms; ratio of medians "
                "%.2f\n",
                what, percentile(ms, 0.5), percentile(ms, 0.95), ms.size(), peerName, percentile(peer, 0.5),
                percentile(peer, 0.95),
                percentile(peer, 0.5) > 0 ? percentile(ms, 0.5) / percentile(peer, 0.5) : 0);
}

// A character typed into the window against the same text sent straight through the library.
void keyLatency(int rounds)
{
    const QByteArray phone = "PMBENCHKEYS";
    startApp(phone, "com.pmapps.notes");
    auto w = openWindow(phone, 1);
    const QByteArray credential = harness::credential(phone);
    std::vector<double> window, direct;
    for (int i = 0; i < rounds; ++i) {
        const bool viaWindow = i % 2 == 0;
        w->paints.paints.clear();
        const qint64 start = wallUs();
        if (viaWindow) {
            QTest::keyClick(w->form->display(), Qt::Key_A);
        } else {
            SdkSession session{credential.constData(), phone.constData(), nullptr};
            cc_core_send_text_event_tob(&session, "a", 1, nullptr);
        }
        const double ms = paintAfter(*w, start);
        if (ms >= 0)
            (viaWindow ? window : direct).push_back(ms);
        if (i % 20 == 19) // keep the text field short
            shell(phone, "am force-stop com.pmapps.notes"), startApp(phone, "com.pmapps.notes");
    }
    report("key to painted frame, through the control window", window, "the same text sent straight", direct);
}

// A tap through the window's display to the first frame drawn after the phone applied it; the
// delays in ms.
std::vector<double> clickLatency(int rounds)
{
    const QByteArray phone = "PMBENCHTAPS";
    startApp(phone, "com.pmapps.browser");
    auto w = openWindow(phone, 2);
    QSignalSpy sent(w->view, SIGNAL(inputSent(quint32)));
    std::vector<double> ms, renderToPaint;
    for (int i = 0; i < rounds; ++i) {
        w->paints.paints.clear();
        sent.clear();
        const QPoint spot(w->view->width() / 2, w->view->height() / 2 + (i % 5) * 20);
        QTest::mousePress(w->view, Qt::LeftButton, {}, spot);
        const qint64 start = wallUs();
        QTest::mouseRelease(w->view, Qt::LeftButton, {}, spot);
        if (sent.isEmpty())
            continue;
        const quint32 release = sent.last().at(0).toUInt();
        const auto found = [&]() -> const Paints::Paint * {
            for (const Paints::Paint &p : w->paints.paints)
                if (p.inputAck >= release)
                    return &p;
            return nullptr;
        };
        if (harness::waitUntil([&] { return found() != nullptr; }, 3000)) {
            ms.push_back((found()->paintedAtUs - start) / 1000.0);
            renderToPaint.push_back((found()->paintedAtUs - found()->renderedAtUs) / 1000.0);
        }
    }
    report("click to painted frame", ms, "of it, farm render to paint", renderToPaint);
    return ms;
}

// Frames painted per second and the GUI thread's CPU while `count` windows show animating phones.
void animating(int count, double *fps, double *cpu)
{
    std::vector<std::unique_ptr<Window>> windows;
    for (int i = 0; i < count; ++i) {
        const QByteArray phone = "PMBENCHANIM" + QByteArray::number(i);
        startApp(phone, "com.pmapps.racer");
        windows.push_back(openWindow(phone, 10 + i));
        windows.back()->form->move(40 + i * 120, 40 + i * 60);
    }
    // The racer turns the phone: wait until every window has turned with it.
    harness::waitUntil(
        [&] {
            return std::all_of(windows.begin(), windows.end(),
                               [](const auto &w) { return w->form->width() > w->form->height(); });
        },
        10000);
    for (auto &w : windows)
        w->paints.paints.clear();
    const double cpuStart = threadCpuSeconds();
    QElapsedTimer clock;
    clock.start();
    harness::waitUntil([&] { return clock.elapsed() >= 4000; }, 5000);
    *cpu = (threadCpuSeconds() - cpuStart) / (clock.elapsed() / 1000.0);
    size_t frames = 0;
    for (auto &w : windows)
        frames += w->paints.paints.size();
    *fps = frames * 1000.0 / clock.elapsed() / count;
}

} // namespace

int main(int argc, char *argv[])
{
    testsupport::runUnderXvfb(argc, argv, "1600x1040x24");
    QApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    int rounds = 60;
    const QStringList args = app.arguments();
    if (const int at = args.indexOf(QStringLiteral("--rounds")); at > 0)
        rounds = qMax(2, args.value(at + 1).toInt());

    harness::Farm farm;
    if (!farm.start({QStringLiteral("--max-fps"), QString::number(kFarmMaxFps)})) {
        std::fprintf(stderr, "the phone farm did not start\n");
        return 1;
    }
    cc_core_set_gateway("127.0.0.1", farm.port);
    // No account is logged in here; without this every window would be view-only and send nothing.
    ZqPhoneForm::setAccount({});
    // The bus's dispatcher, on this thread: rotation reaches the windows through it.
    QTimer busPump;
    QObject::connect(&busPump, &QTimer::timeout, [] { g_eventManager.dispatchPending(); });
    busPump.start(10);
    std::printf("platform %s, %u cores\n", qPrintable(QGuiApplication::platformName()),
                std::max(1u, std::thread::hardware_concurrency()));
    keyLatency(rounds);
    const std::vector<double> clicks = clickLatency(rounds);
    const double interval = 1000.0 / kFarmMaxFps;
    std::printf("  frame interval at the farm's cap: %.1f ms; click median / interval %.2f (limit 1.00)\n",
                interval, percentile(clicks, 0.5) / interval);
    double oneFps = 0, oneCpu = 0, fourFps = 0, fourCpu = 0;
    animating(1, &oneFps, &oneCpu);
    animating(4, &fourFps, &fourCpu);
    std::printf("animating phone: %.1f fps painted in one window, %.2f of the farm's %d fps cap\n", oneFps,
                oneFps / kFarmMaxFps, kFarmMaxFps);
    std::printf("GUI thread CPU: %.1f %% of a core with four windows (%.1f fps each), %.1f %% with one; "
                "ratio %.2f (4.00 would be linear)\n",
                fourCpu * 100, fourFps, oneCpu * 100, oneCpu > 0 ? fourCpu / oneCpu : 0);

    // The same window against a farm allowed twice the rate.
    harness::Farm fast;
    if (!fast.start({QStringLiteral("--max-fps"), QString::number(kFastMaxFps)})) {
        std::fprintf(stderr, "the phone farm did not start\n");
        return 1;
    }
    cc_core_set_gateway("127.0.0.1", fast.port);
    const double fastInterval = 1000.0 / kFastMaxFps;
    double fastFps = 0, fastCpu = 0;
    animating(1, &fastFps, &fastCpu);
    const std::vector<double> fastClicks = clickLatency(rounds);
    std::printf(
        "at --max-fps %d: %.1f fps painted in one window (limit %d, %.2f of it); click to paint median "
        "%.1f ms against the limit of one interval + 10 ms = %.1f ms (%.2f of it)\n",
        kFastMaxFps, fastFps, kFastMinFps, fastFps / kFastMinFps, percentile(fastClicks, 0.5),
        fastInterval + 10, percentile(fastClicks, 0.5) / (fastInterval + 10));
    cc_core_uninit();
    return 0;
}

#include "bench_oper.moc"
