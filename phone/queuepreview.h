#pragma once

#include "coreclient/core_client.h"

#include <QImage>
#include <QObject>
#include <QString>

#include <memory>

class EventManager;
class ThreadPool;
struct PreviewState;

// Keeps the preview grid's thumbnails fresh: one entry per phone whose tile has been on screen, a
// frame request for every enabled entry every 5 s, and Msg::repaintMainWindow every 2.5 s. Frames
// come back on library threads; only the newest undecoded frame of each phone is kept, and at most
// one Msg::previewFrame per phone waits on the bus. Decoding runs on the pool.
class QueuePreview : public QObject
{
    Q_OBJECT

public:
    static constexpr int startDelayMs = 1200;
    static constexpr int repaintIntervalMs = 2500;
    static constexpr int sweepIntervalMs = 5000;
    static constexpr int idleSleepMs = 100;
    // JPEG quality of every request; the size code is the preview level.
    static constexpr int previewQuality = 25;
    static constexpr int initialPreviewLevel = 17;

    // Subscribes on `bus` to Msg::bigView, Msg::mediumView, Msg::smallView (preview level 25, 17, 13)
    // and Msg::previewFrame (a frame is waiting).
    // Only the pool's address is kept, so the process-wide instance may be built before the pool.
    QueuePreview(ThreadPool &pool, EventManager &bus);
    ~QueuePreview() override;

    // GUI thread; take the entry mutex. Enable (creating if needed) or disable a phone's entry.
    // Texts that do not fit the request's buffers (deviceId 31, deviceUcId 255 bytes) are refused
    // with a log line.
    void addPreview(const QString &deviceId, const QString &deviceUcId);
    void removePreview(const QString &deviceId);
    // GUI thread (tile painting); takes the entry mutex for a copy. Null until a frame arrived.
    QImage previewImage(const QString &deviceId) const;

    // One pool worker, for as long as the user is logged in: the request and repaint loop. A second
    // call while one runs returns at once. Keep the queue alive until the committed task has started
    // (the process-wide one outlives the pool).
    void runScheduler();
    // Any thread. The loop ends within 100 ms, and never starts again.
    void stopScheduler();

    int previewLevel() const;
    // Sweeps started so far; for diagnostics and tests.
    int sweepCount() const;

    // The preview request's callback. Library thread; takes the callback slot's lock, then the entry
    // mutex, then the bus's queue lock.
    static void onPreviewResult(SdkSession *session, int reserved, int code, const void *data, int length);

protected:
    // GUI thread: the display modes (Msg::bigView and its two siblings) and Msg::previewFrame.
    bool event(QEvent *event) override;

private:
    std::shared_ptr<PreviewState> d;
};

// The process-wide instance.
extern QueuePreview g_queuePreview;
