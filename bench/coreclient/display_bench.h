#pragma once

// What the display benchmarks share: connected windows, taps timed until the
// painted frame shows them, and the frame rate while a phone animates.

#include "coreclient/core_client.h"
#include "tests/coreclient/request_helpers.h"
#include "tests/support/farmharness.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QSignalSpy>
#include <QTimer>
#include <QWidget>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <vector>

namespace bench {

inline double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * (v.size() - 1) + 0.5))];
}

inline QByteArray shell(const QByteArray &phone, const char *command)
{
    return harness::run(harness::credential(phone), phone,
                        [command](SdkSession *s, SdkCallback cb) {
                            return cc_core_send_adb_command_msg_tob(s, command, cb, 0);
                        })
        .data;
}

struct Window
{
    std::unique_ptr<QWidget> surface;
    QWidget *view = nullptr;
    bool shown = false; // a frame has been painted
};

inline Window connectWindow(const QByteArray &phone, const QSize &size = QSize(360, 640))
{
    Window w;
    w.surface = std::make_unique<QWidget>();
    w.surface->resize(size);
    w.surface->show();
    const QByteArray cred = harness::credential(phone);
    cc_core_connect_phone_tob(cred.constData(), phone.constData(), w.surface->winId(), 1, 0, 0, 0, 0, 0, 0);
    w.view = w.surface->findChild<QWidget *>(QStringLiteral("ccRenderView"));
    return w;
}

// Milliseconds from each tap on empty wallpaper to the painted frame that
// shows it applied; taps whose frame never came are left out. `gapMs` after
// each release lets the mark fade, so on a launcher the next tap starts from a
// still screen. Taps fall at `height` of the view's height.
inline std::vector<double> tapLatencies(Window &w, int taps, int gapMs = 400, double height = 0.75)
{
    QSignalSpy painted(w.view, SIGNAL(framePainted(quint32, quint32, qint64)));
    if (!w.shown)
        w.shown = painted.wait(10000);
    QSignalSpy sent(w.view, SIGNAL(inputSent(quint32)));
    std::vector<double> latencies;
    for (int i = 0; i < taps; ++i) {
        // The same spots of the phone's screen at any window size.
        const QPoint pos((60 + (i % 5) * 60) * w.view->width() / 360, int(height * w.view->height()));
        QElapsedTimer clock;
        clock.start();
        QTest::mousePress(w.view, Qt::LeftButton, {}, pos);
        const quint32 seq = sent.isEmpty() ? 0 : sent.last().at(0).toUInt();
        painted.clear();
        // Woken by the paint itself, not by polling, so the figure holds no sleep of ours.
        bool seen = false;
        QEventLoop loop;
        const auto shown =
            QObject::connect(w.view, SIGNAL(framePainted(quint32, quint32, qint64)), &loop, SLOT(quit()));
        QTimer::singleShot(5000, &loop, &QEventLoop::quit);
        while (!seen && clock.elapsed() < 5000) {
            loop.exec();
            for (const auto &p : painted)
                seen = seen || p.at(1).toUInt() >= seq;
        }
        QObject::disconnect(shown);
        if (seen)
            latencies.push_back(clock.nsecsElapsed() / 1e6);
        QTest::mouseRelease(w.view, Qt::LeftButton, {}, pos);
        QTest::qWait(gapMs);
    }
    return latencies;
}

// Painted frames per second over `ms` once the first frame is in.
inline double paintedFps(Window &w, int ms, QObject *paintClock = nullptr, const char *slot = nullptr)
{
    QSignalSpy painted(w.view, SIGNAL(framePainted(quint32, quint32, qint64)));
    painted.wait(10000);
    painted.clear();
    if (paintClock)
        QObject::connect(w.view, SIGNAL(framePainted(quint32, quint32, qint64)), paintClock, slot);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QTest::qWait(50);
    return painted.count() * 1000.0 / clock.elapsed();
}

} // namespace bench
