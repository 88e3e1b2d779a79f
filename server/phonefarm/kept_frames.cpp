#include "server/phonefarm/kept_frames.h"

namespace farm {

KeptFrames::KeptFrames(int perDisplay, qint64 maxBytes)
    : perDisplay_(qMax(1, perDisplay)), maxBytes_(maxBytes)
{
}

quint64 KeptFrames::open(const QByteArray &deviceId)
{
    std::deque<Kept> forgotten; // freed after the lock
    std::lock_guard<std::mutex> lock(mutex_);
    Display &display = displays_[deviceId];
    for (const Kept &k : display.pictures)
        bytes_ -= k.picture.sizeInBytes();
    forgotten.swap(display.pictures);
    display.token = nextToken_++;
    return display.token;
}

void KeptFrames::add(const QByteArray &deviceId, quint64 token, quint32 seq, const QImage &picture)
{
    QImage dropped; // freed after the lock
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = displays_.find(deviceId);
    if (it == displays_.end() || it->token != token)
        return;
    it->pictures.push_back({seq, nextStamp_++, picture});
    bytes_ += picture.sizeInBytes();
    if (int(it->pictures.size()) > perDisplay_) {
        dropped = std::move(it->pictures.front().picture);
        bytes_ -= dropped.sizeInBytes();
        it->pictures.pop_front();
    }
    while (bytes_ > maxBytes_)
        evictOldest();
}

void KeptFrames::evictOldest()
{
    Display *oldest = nullptr;
    for (Display &d : displays_) {
        if (!d.pictures.empty() && (!oldest || d.pictures.front().stamp < oldest->pictures.front().stamp))
            oldest = &d;
    }
    if (!oldest) {
        bytes_ = 0;
        return;
    }
    bytes_ -= oldest->pictures.front().picture.sizeInBytes();
    oldest->pictures.pop_front();
}

QImage KeptFrames::find(const QByteArray &deviceId, quint32 seq) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = displays_.constFind(deviceId);
    if (it == displays_.constEnd())
        return {};
    for (const Kept &k : it->pictures) {
        if (k.seq == seq)
            return k.picture;
    }
    return {};
}

} // namespace farm
