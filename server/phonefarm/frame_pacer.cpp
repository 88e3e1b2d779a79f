#include "server/phonefarm/frame_pacer.h"

#include <cmath>

namespace farm {

FramePacer::FramePacer(int intervalMs) : intervalMs_(qMax(1, intervalMs)) {}

qint64 FramePacer::wait(qint64 nowMs, Input input) const
{
    if (unacked_ >= window_)
        return -1;
    if (input == Input::Discrete)
        return 0;
    const qint64 due = input == Input::Move && !earlyUsed_ ? nextDueMs_ - intervalMs_ : nextDueMs_;
    return qMax<qint64>(0, due - nowMs);
}

void FramePacer::made(qint64 nowMs, Input input)
{
    ++unacked_;
    if (input == Input::Discrete) {
        // It takes the turn of the frame due next, but never brings a later one forward.
        nextDueMs_ = qMax(nextDueMs_, nowMs + intervalMs_);
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
    nextDueMs_ = nowMs - nextDueMs_ < intervalMs_ ? nextDueMs_ + intervalMs_ : nowMs + intervalMs_;
}

void FramePacer::sent(quint32 seq, qint64 nowMs)
{
    sentAt_.emplace_back(seq, nowMs);
    // Unacknowledged frames are bounded by the window; a client that acks out
    // of order must not grow the list.
    while (sentAt_.size() > size_t(kMaxWindow))
        sentAt_.pop_front();
}

void FramePacer::dropped()
{
    unacked_ = qMax(0, unacked_ - 1);
}

qint64 FramePacer::acked(quint32 seq, qint64 nowMs)
{
    unacked_ = qMax(0, unacked_ - 1);
    while (!sentAt_.empty() && sentAt_.front().first < seq)
        sentAt_.pop_front();
    if (sentAt_.empty() || sentAt_.front().first != seq)
        return -1;
    const qint64 delay = nowMs - sentAt_.front().second;
    const double sample = double(delay);
    sentAt_.pop_front();
    srttMs_ = srttMs_ < 0 ? sample : (7 * srttMs_ + sample) / 8;
    // Enough frames in flight to keep sending through one round trip, and one more.
    const int cover = int(std::ceil(srttMs_ / intervalMs_)) + 1;
    window_ = qBound(kMinWindow, cover, kMaxWindow);
    return delay;
}

} // namespace farm
