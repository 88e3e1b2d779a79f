#include "server/phonefarm/frame_pacer.h"

#include <cmath>

namespace farm {

FramePacer::FramePacer(double intervalMs) : intervalMs_(qMax(1.0, intervalMs)) {}

qint64 FramePacer::wait(qint64 nowMs, Input input) const
{
    if (unacked_ >= window_)
        return -1;
    if (input == Input::Discrete)
        return 0;
    const double due = input == Input::Move && !earlyUsed_ ? nextDueMs_ - intervalMs_ : nextDueMs_;
    return qMax<qint64>(0, qint64(std::ceil(due - double(nowMs))));
}

void FramePacer::made(qint64 nowMs, Input input)
{
    ++unacked_;
    makingSince_.push_back(nowMs);
    if (makingSince_.size() > size_t(kMaxWindow)) // made without ever being sent or dropped
        makingSince_.pop_front();
    if (input == Input::Discrete) {
        // It takes the turn of the frame due next, but never brings a later one forward.
        nextDueMs_ = qMax(nextDueMs_, double(nowMs) + intervalMs_);
        return;
    }
    if (nowMs < nextDueMs_) {
        // An early frame takes the next one's turn, so the rate holds over time.
        earlyUsed_ = true;
        nextDueMs_ += intervalMs_;
        return;
    }
    earlyUsed_ = false;
    // Keep the cadence of a steady animation instead of drifting by the poll
    // interval each frame; after a pause, start afresh.
    nextDueMs_ = nowMs - nextDueMs_ < intervalMs_ ? nextDueMs_ + intervalMs_ : double(nowMs) + intervalMs_;
}

void FramePacer::sent(quint32 seq, qint64 nowMs, int bytes)
{
    qint64 madeAt = nowMs;
    if (!makingSince_.empty()) {
        madeAt = makingSince_.front();
        makingSince_.pop_front();
    }
    sentAt_.push_back({seq, nowMs, madeAt, bytes});
    // Unacknowledged frames are bounded by the window; a client that acks out
    // of order must not grow the list.
    while (sentAt_.size() > size_t(kMaxWindow))
        sentAt_.pop_front();
}

void FramePacer::dropped()
{
    unacked_ = qMax(0, unacked_ - 1);
    if (!makingSince_.empty())
        makingSince_.pop_front();
}

qint64 FramePacer::acked(quint32 seq, qint64 nowMs, int *bytes)
{
    unacked_ = qMax(0, unacked_ - 1);
    while (!sentAt_.empty() && sentAt_.front().seq < seq)
        sentAt_.pop_front();
    if (sentAt_.empty() || sentAt_.front().seq != seq)
        return -1;
    const qint64 delay = nowMs - sentAt_.front().atMs;
    if (bytes)
        *bytes = sentAt_.front().bytes;
    // A frame holds its place in the window from when it is made, so the
    // window covers the making too, not only the round trip.
    const double sample = double(nowMs - sentAt_.front().madeAtMs);
    sentAt_.pop_front();
    srttMs_ = srttMs_ < 0 ? sample : (7 * srttMs_ + sample) / 8;
    // Enough frames in flight to keep sending through that time, and one more.
    const int cover = int(std::ceil(srttMs_ / intervalMs_)) + 1;
    window_ = qBound(kMinWindow, cover, kMaxWindow);
    return delay;
}

} // namespace farm
