// bench_video --stream: the quality a user sees. A real farm keeps its source
// pictures (--keep-source-frames); the library shows each scene in a window of
// the phone's own size, every painted picture is grabbed with its frame's
// sequence number, and compared with the farm's source of that number.

#include "bench/video/stream_ssim.h"

#include "bench/video/ssim.h"
#include "coreclient/core_client.h"
#include "tests/coreclient/request_helpers.h"
#include "tests/support/farmharness.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace bench {

namespace {

constexpr double kMinSsim = 0.95;

struct Painted
{
    quint32 seq;
    QImage picture;
};

struct StreamScene
{
    const char *name;
    const char *package;
    QSize screen; // as the app shows it
};

// Grabs up to `frames` painted pictures of the phone shown in a window of its own size.
std::vector<Painted> capture(const QByteArray &id, const QSize &screen, int frames)
{
    std::vector<Painted> painted;
    QWidget surface;
    surface.resize(screen);
    surface.show();
    const QByteArray cred = harness::credential(id);
    cc_core_connect_phone_tob(cred.constData(), id.constData(), surface.winId(), 1, 0, 0, 0, 0, 0, 0);
    QWidget *view = surface.findChild<QWidget *>(QStringLiteral("ccRenderView"));
    if (!view)
        return painted;
    QSignalSpy spy(view, SIGNAL(framePainted(quint32, quint32, qint64)));
    QElapsedTimer clock;
    clock.start();
    while (int(painted.size()) < frames && clock.elapsed() < 30000) {
        if (!spy.wait(5000))
            break;
        // A grab paints the newest picture; should that be a newer frame, its
        // signal arrives during the grab, so the last one names what was grabbed.
        const QImage shot = view->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const quint32 seq = spy.last().at(0).toUInt();
        if (painted.empty() || painted.back().seq != seq)
            painted.push_back({seq, shot});
    }
    cc_core_close_phone(surface.winId());
    return painted;
}

} // namespace

int streamSsim(int frames)
{
    harness::Farm farm;
    const int keep = frames + 60; // covers frames made but never painted
    if (!farm.start({QStringLiteral("--keep-source-frames"), QString::number(keep)},
                    QDir::temp().filePath(QStringLiteral("bench_video_farm.log")))) {
        std::fprintf(stderr, "cannot start %s/pelomir-phonefarm\n", qPrintable(harness::binDir()));
        return 1;
    }
    cc_core_set_gateway("127.0.0.1", farm.port);
    std::printf("bench_video --stream: %d painted pictures per scene through the library against a farm on "
                "port %u,\ncompared with the farm's source picture of the same sequence number (target: mean "
                "SSIM >= %.2f)\n",
                frames, farm.port, kMinSsim);
    const std::vector<StreamScene> scenes = {
        {"racer", "com.pmapps.racer", QSize(1280, 720)},
        {"feed", "com.pmapps.feed", QSize(720, 1280)},
        {"video", "com.pmapps.video", QSize(1280, 720)},
    };
    int n = 0;
    for (const StreamScene &scene : scenes) {
        const QByteArray id = "PMSSIM0" + QByteArray::number(++n);
        const QByteArray command = QByteArray("monkey -p ") + scene.package + " 1";
        harness::run(harness::credential(id), id, [&command](SdkSession *s, SdkCallback cb) {
            return cc_core_send_adb_command_msg_tob(s, command.constData(), cb, 0);
        });
        const std::vector<Painted> painted = capture(id, scene.screen, frames);
        double sum = 0, worst = 1, controlSum = 0;
        int compared = 0, missing = 0, controls = 0;
        QImage previous;
        quint32 previousSeq = 0;
        for (const Painted &p : painted) {
            QByteArray png;
            const QByteArray target = "/admin/phones/" + id + "/frames/" + QByteArray::number(p.seq);
            const QImage source =
                farm.adminRaw("GET", target, &png) == 200 ? QImage::fromData(png, "PNG") : QImage();
            if (source.size() != p.picture.size()) {
                ++missing;
                continue;
            }
            // The source of the frame before, as a check that matching by number matters.
            if (previousSeq + 1 == p.seq) {
                controlSum += ssim(previous, p.picture);
                ++controls;
            }
            previous = source;
            previousSeq = p.seq;
            const double s = ssim(source, p.picture);
            sum += s;
            worst = std::min(worst, s);
            ++compared;
        }
        const double mean = compared ? sum / compared : 0;
        std::printf("  %-6s %3d compared (seq %u..%u, %d unmatched): mean SSIM %.4f, worst %.4f  %s;"
                    " against the frame before's source %.4f\n",
                    scene.name, compared, painted.empty() ? 0 : painted.front().seq,
                    painted.empty() ? 0 : painted.back().seq, missing, mean, compared ? worst : 0.0,
                    compared && mean >= kMinSsim ? "met" : "MISSED", controls ? controlSum / controls : 0.0);
    }
    farm.stop();
    return 0;
}

} // namespace bench
