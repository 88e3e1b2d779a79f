#include "phone/queuepreview.h"

#include "app/eventmanager.h"
#include "app/messages.h"
#include "app/threadpool.h"
#include "phone/callbackslot.h"
#include "phone/phonetext.h"

#include <QDateTime>
#include <QtDebug>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

struct PreviewFrames; // tag of the callbacks' slot

struct PreviewEntry
{
    bool enabled = true;
    QByteArray deviceUcId;
    QImage image;
    quint64 imageSequence = 0; // sequence of the frame shown in image
    // The newest frame not yet taken by a decoder, and whether a Msg::previewFrame is waiting for it.
    QByteArray newestFrame;
    quint64 newestSequence = 0;
    bool framePosted = false;
};

// What one request task sends: the buffers the library reads the phone's texts from.
struct PreviewRequest
{
    char deviceUcId[256];
    char deviceId[32];
    int level;
};

} // namespace

// Everything the scheduler, the request and decode tasks and the callback work on. Tasks hold a
// reference of their own.
struct PreviewState
{
    PreviewState(ThreadPool &pool, EventManager &bus) : pool(pool), bus(bus)
    {
        entries.rehash(8);
        entries.max_load_factor(1.0f);
    }

    // Any thread. True once the stop flag is set, at the latest after `duration`.
    bool waitForStop(std::chrono::milliseconds duration);
    // Scheduler's worker. False when the pool no longer takes work.
    bool sweep();
    // Library thread, under the callback slot's lock; takes the entry mutex.
    void storeFrame(const QString &deviceId, QByteArray frame);
    // Pool worker. Takes the entry mutex twice, and decodes between the two.
    void decodeNewest(const QString &deviceId);
    // GUI thread, when no decoder can be started; takes the entry mutex.
    void forgetPosted(const QString &deviceId);

    ThreadPool &pool;
    EventManager &bus;

    mutable std::mutex entryMutex; // guards entries and frameSequence
    std::unordered_map<QString, PreviewEntry> entries;
    quint64 frameSequence = 0;

    std::atomic<int> previewLevel{QueuePreview::initialPreviewLevel};
    std::atomic<bool> schedulerRunning{false};
    std::atomic<int> sweeps{0};

    std::mutex stopMutex; // with stopWake, cuts the scheduler's sleeps short
    std::condition_variable stopWake;
    std::atomic<bool> stop{false};
};

using FrameSlot = CallbackSlot<PreviewFrames, PreviewState>;

bool PreviewState::waitForStop(std::chrono::milliseconds duration)
{
    std::unique_lock<std::mutex> locker(stopMutex);
    return stopWake.wait_for(locker, duration, [this] { return stop.load(); });
}

bool PreviewState::sweep()
{
    std::vector<PreviewRequest> requests;
    const int level = previewLevel.load();
    {
        std::lock_guard<std::mutex> locker(entryMutex);
        for (const auto &entry : entries) {
            if (!entry.second.enabled)
                continue;
            PreviewRequest request;
            phonetext::fill(request.deviceUcId, sizeof request.deviceUcId, entry.second.deviceUcId);
            phonetext::fill(request.deviceId, sizeof request.deviceId, entry.first.toLatin1());
            request.level = level;
            requests.push_back(request);
        }
    }
    ++sweeps;
    // The library call only queues the request, so each task is short; the answers come back on the
    // library's threads.
    for (const PreviewRequest &request : requests) {
        try {
            pool.commit([request] {
                SdkSession session{request.deviceUcId, request.deviceId, nullptr};
                cc_core_send_preview_msg_tob(&session, QueuePreview::previewQuality, request.level,
                                             &QueuePreview::onPreviewResult);
            });
        } catch (const std::runtime_error &) {
            qDebug() << "preview scheduler: pool stopped";
            return false;
        }
    }
    return true;
}

void PreviewState::storeFrame(const QString &deviceId, QByteArray frame)
{
    {
        std::lock_guard<std::mutex> locker(entryMutex);
        const auto found = entries.find(deviceId);
        if (found == entries.end())
            return;
        PreviewEntry &entry = found->second;
        entry.newestFrame.swap(frame); // an older undecoded frame is dropped below, outside the lock
        entry.newestSequence = ++frameSequence;
        if (entry.framePosted)
            return;
        entry.framePosted = true;
    }
    ZQSlotMsg message;
    message.type = Msg::previewFrame;
    message.setBuffer(deviceId.toLatin1());
    bus.post(message);
}

void PreviewState::decodeNewest(const QString &deviceId)
{
    QByteArray frame;
    quint64 sequence = 0;
    {
        std::lock_guard<std::mutex> locker(entryMutex);
        const auto found = entries.find(deviceId);
        if (found == entries.end())
            return;
        frame.swap(found->second.newestFrame);
        sequence = found->second.newestSequence;
        found->second.framePosted = false; // a frame arriving from now on gets a message of its own
    }
    if (frame.isEmpty())
        return;
    QImage image = QImage::fromData(frame, "JPG");
    if (image.isNull()) {
        // Keep showing the last good frame; the next sweep asks again.
        qDebug() << "preview frame does not decode, deviceId" << deviceId << "bytes" << frame.size();
        return;
    }
    std::lock_guard<std::mutex> locker(entryMutex);
    PreviewEntry &entry = entries[deviceId];
    // Decoders of one phone may finish out of order; the newest frame wins.
    if (sequence > entry.imageSequence) {
        entry.image.swap(image);
        entry.imageSequence = sequence;
    }
}

void PreviewState::forgetPosted(const QString &deviceId)
{
    std::lock_guard<std::mutex> locker(entryMutex);
    const auto found = entries.find(deviceId);
    if (found != entries.end())
        found->second.framePosted = false;
}

QueuePreview::QueuePreview(ThreadPool &pool, EventManager &bus) : d(std::make_shared<PreviewState>(pool, bus))
{
    if (!FrameSlot::attach(d.get()))
        qDebug() << "QueuePreview: another preview queue receives the library's frames";
    for (int type : {Msg::bigView, Msg::mediumView, Msg::smallView, Msg::previewFrame})
        bus.subscribe(type, this);
}

QueuePreview::~QueuePreview()
{
    d->bus.unsubscribe(this);
    stopScheduler();
    FrameSlot::detach(d.get());
}

void QueuePreview::addPreview(const QString &deviceId, const QString &deviceUcId)
{
    QByteArray id, credential;
    if (!phonetext::toFixed(deviceId, phonetext::sessionDeviceIdLimit, "deviceId", &id) ||
        !phonetext::toFixed(deviceUcId, phonetext::longTextLimit, "deviceUcId", &credential))
        return;
    std::lock_guard<std::mutex> locker(d->entryMutex);
    PreviewEntry &entry = d->entries[deviceId];
    entry.enabled = true;
    entry.deviceUcId = credential; // a renewed credential is used from the next sweep on
}

void QueuePreview::removePreview(const QString &deviceId)
{
    std::lock_guard<std::mutex> locker(d->entryMutex);
    const auto found = d->entries.find(deviceId);
    if (found != d->entries.end())
        found->second.enabled = false;
}

QImage QueuePreview::previewImage(const QString &deviceId) const
{
    std::lock_guard<std::mutex> locker(d->entryMutex);
    const auto found = d->entries.find(deviceId);
    return found == d->entries.end() ? QImage() : found->second.image;
}

void QueuePreview::runScheduler()
{
    const std::shared_ptr<PreviewState> state = d;
    if (state->schedulerRunning.exchange(true)) {
        qDebug() << "preview scheduler already running";
        return;
    }
    using Clock = std::chrono::steady_clock;
    using std::chrono::milliseconds;
    if (!state->waitForStop(milliseconds(startDelayMs))) {
        // "Long ago", so that the first round repaints and sweeps at once.
        Clock::time_point lastTick = Clock::now() - milliseconds(sweepIntervalMs);
        Clock::time_point lastSweep = lastTick;
        while (!state->stop.load()) {
            const Clock::time_point now = Clock::now();
            if (now - lastTick > milliseconds(repaintIntervalMs)) {
                lastTick = now;
                ZQSlotMsg repaint;
                repaint.type = Msg::repaintMainWindow;
                state->bus.post(repaint);
            }
            if (now - lastSweep >= milliseconds(sweepIntervalMs)) {
                lastSweep = now;
                if (!state->sweep())
                    break;
            } else {
                state->waitForStop(milliseconds(idleSleepMs));
            }
        }
    }
    state->schedulerRunning = false;
}

void QueuePreview::stopScheduler()
{
    {
        std::lock_guard<std::mutex> locker(d->stopMutex);
        d->stop = true;
    }
    d->stopWake.notify_all();
}

int QueuePreview::previewLevel() const
{
    return d->previewLevel.load();
}

int QueuePreview::sweepCount() const
{
    return d->sweeps.load();
}

void QueuePreview::onPreviewResult(SdkSession *session, int, int code, const void *data, int length)
{
    const QString deviceId =
        session && session->deviceId ? QString::fromLatin1(session->deviceId) : QString();
    if (code < 0 || length <= 0 || !data) {
        qDebug() << "               请求预览失败" << deviceId << QDateTime::currentMSecsSinceEpoch();
        return;
    }
    QByteArray frame(static_cast<const char *>(data), length);
    FrameSlot::with([&](PreviewState &state) { state.storeFrame(deviceId, std::move(frame)); });
}

bool QueuePreview::event(QEvent *event)
{
    if (!PhoneEvent::isBusEvent(event))
        return QObject::event(event);
    const ZQSlotMsg &message = static_cast<PhoneEvent *>(event)->message();
    switch (message.type) {
    case Msg::bigView:
        d->previewLevel = CC_PREVIEW_LARGE;
        break;
    case Msg::mediumView:
        d->previewLevel = CC_PREVIEW_MEDIUM;
        break;
    case Msg::smallView:
        d->previewLevel = CC_PREVIEW_SMALL;
        break;
    case Msg::previewFrame: {
        const QString deviceId = QString::fromLatin1(message.bufferBytes());
        try {
            d->pool.commit([state = d, deviceId] { state->decodeNewest(deviceId); });
        } catch (const std::runtime_error &) {
            d->forgetPosted(deviceId);
        }
        break;
    }
    default:
        break;
    }
    return true;
}
