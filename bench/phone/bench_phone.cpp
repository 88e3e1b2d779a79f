// Preview sweep through the preview queue against the same requests made straight to the library,
// with the pool's load during the sweep and the cost of what a tile does when it paints.
//   build/bin/bench_phone [phones]
#include "app/eventmanager.h"
#include "app/threadpool.h"
#include "phone/queuepreview.h"
#include "tests/phone/phonefarm.h"
#include "tests/support/xvfb.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <vector>

namespace {

std::atomic<int> directAnswers{0};

// Library thread: what the queue does with a frame, without the queue.
void decodeDirect(SdkSession *, int, int code, const void *data, int length)
{
    if (code >= 0 && length > 0)
        QImage::fromData(static_cast<const uchar *>(data), length, "JPG");
    ++directAnswers;
}

struct SweepFigures
{
    double ms = 0;
    int busyWorkers = 0;
};

// Waits for the queue's next sweep and measures until every phone shows a frame of it.
SweepFigures timeSweep(QueuePreview &queue, ThreadPool &pool, const QStringList &ids)
{
    const int before = queue.sweepCount();
    while (queue.sweepCount() == before)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    QElapsedTimer timer;
    timer.start();
    std::vector<qint64> keys;
    for (const QString &id : ids)
        keys.push_back(queue.previewImage(id).cacheKey());
    SweepFigures figures;
    int done = 0;
    while (done < ids.size() && timer.elapsed() < 60000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        figures.busyWorkers = qMax(figures.busyWorkers, pool.workerCount() - pool.idleCount());
        done = 0;
        for (int i = 0; i < ids.size(); ++i)
            done += queue.previewImage(ids[i]).cacheKey() != keys[size_t(i)];
    }
    figures.ms = timer.nsecsElapsed() / 1e6;
    if (done < ids.size())
        std::printf("  only %d of %d phones got a frame\n", done, int(ids.size()));
    return figures;
}

} // namespace

int main(int argc, char *argv[])
{
    testsupport::preferOffscreen();
    QApplication app(argc, argv); // the library expects a QApplication
    const int phones = argc > 1 ? qMax(1, atoi(argv[1])) : 200;
    PhoneFarm farm;
    QString error;
    if (!farm.start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }

    QStringList ids;
    std::vector<QByteArray> credentials;
    for (int i = 0; i < phones; ++i) {
        ids << QStringLiteral("PMBENCH%1").arg(i, 4, 10, QLatin1Char('0'));
        credentials.push_back(PhoneFarm::credential(ids.last().toLatin1()));
    }

    // The queue as the program runs it: the bus dispatcher and the scheduler on the pool.
    ThreadPool pool;
    EventManager bus;
    QueuePreview queue(pool, bus);
    pool.commit([&bus] { bus.run(); });
    ZQSlotMsg small;
    small.type = 54;
    bus.post(small);
    for (int i = 0; i < phones; ++i)
        queue.addPreview(ids[i], QString::fromLatin1(credentials[size_t(i)]));
    pool.commit([&queue] { queue.runScheduler(); });

    std::printf("%d phones, small view, pool of %d workers (2 always busy: bus and scheduler)\n", phones,
                pool.workerCount());
    const SweepFigures cold = timeSweep(queue, pool, ids);
    std::printf("first sweep (farm creates the phones): %.0f ms\n", cold.ms);
    const SweepFigures warm = timeSweep(queue, pool, ids);
    std::printf("sweep through the queue:   %8.1f ms   most busy workers %d of %d\n", warm.ms,
                warm.busyWorkers, pool.workerCount());
    queue.stopScheduler();

    // Peer: the same requests straight to the library from one thread, decoded on its callback thread.
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < phones; ++i) {
        const QByteArray id = ids[i].toLatin1();
        SdkSession session{credentials[size_t(i)].constData(), id.constData(), nullptr};
        cc_core_send_preview_msg_tob(&session, QueuePreview::previewQuality, CC_PREVIEW_SMALL, &decodeDirect);
    }
    while (directAnswers.load() < phones && timer.elapsed() < 60000)
        QThread::msleep(1);
    const double direct = timer.nsecsElapsed() / 1e6;
    std::printf("same requests, no queue:   %8.1f ms   ratio queue/direct %.2f\n", direct, warm.ms / direct);
    std::printf("  (the queue adds the bus's 50 ms polling and the hop through the GUI thread)\n");

    // What painting costs the GUI thread: one image copy per tile.
    timer.restart();
    const int rounds = 100;
    qint64 bytes = 0;
    for (int r = 0; r < rounds; ++r) {
        for (const QString &id : qAsConst(ids))
            bytes += queue.previewImage(id).sizeInBytes();
    }
    const double perCopyUs = timer.nsecsElapsed() / 1e3 / (rounds * phones);
    std::printf("previewImage per tile:     %8.2f us   (%d tiles: %.3f ms, %.2f%% of a 16.7 ms frame)\n",
                perCopyUs, phones, perCopyUs * phones / 1e3, perCopyUs * phones / 1e3 / 16.7 * 100);
    std::printf("decoded frame per phone:   %8.1f KiB  (%d phones: %.1f MiB)\n",
                bytes / double(rounds * phones) / 1024, phones, bytes / double(rounds) / 1048576);

    cc_core_uninit();
    bus.stop();
    return 0;
}
