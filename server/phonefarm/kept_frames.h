#pragma once

// Test mode: the pictures the farm drew for the newest display of each phone,
// by frame sequence number, so that a benchmark can compare what a client
// decoded with its source. Bounded: a number of pictures per display, and a
// number of bytes in all (the oldest picture goes first). Any thread; one mutex,
// held only to look up or move shared images, never to copy or encode pixels.

#include <QByteArray>
#include <QHash>
#include <QImage>

#include <deque>
#include <mutex>

namespace farm {

class KeptFrames
{
public:
    static constexpr qint64 kDefaultMaxBytes = 512LL * 1024 * 1024;

    explicit KeptFrames(int perDisplay, qint64 maxBytes = kDefaultMaxBytes);

    // A display of the phone opens: the phone's earlier pictures are forgotten.
    // Returns the display's token for add().
    quint64 open(const QByteArray &deviceId);
    // Keeps a picture of the display with `token`; dropped when a newer display of the phone opened since.
    void add(const QByteArray &deviceId, quint64 token, quint32 seq, const QImage &picture);
    // The picture, or a null image when it was never kept or has gone.
    QImage find(const QByteArray &deviceId, quint32 seq) const;
    int perDisplay() const { return perDisplay_; }

private:
    struct Kept
    {
        quint32 seq;
        quint64 stamp; // order of arrival across all displays
        QImage picture;
    };
    struct Display
    {
        quint64 token = 0;
        std::deque<Kept> pictures;
    };
    void evictOldest(); // takes nothing: mutex_ held

    const int perDisplay_;
    const qint64 maxBytes_;
    mutable std::mutex mutex_;
    QHash<QByteArray, Display> displays_;
    qint64 bytes_ = 0;
    quint64 nextToken_ = 1;
    quint64 nextStamp_ = 0;
};

// Where one display's pictures go in test mode; nothing happens when it is off.
struct KeepSlot
{
    KeptFrames *frames = nullptr;
    QByteArray deviceId;
    quint64 token = 0;

    // Any thread.
    void operator()(quint32 seq, const QImage &picture) const
    {
        if (frames)
            frames->add(deviceId, token, seq, picture);
    }
};

} // namespace farm
