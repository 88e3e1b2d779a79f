#include "server/phonefarm/bitrate_controller.h"

#include <algorithm>

namespace farm {

namespace {

// Small steps, so a raise overshoots the link by little.
constexpr int kFpsSteps[] = {60, 50, 40, 30, 25, 20, 15, 10, 5};

} // namespace

BitrateController::BitrateController(int maxKbps, int maxFps)
    : maxKbps_(qMax(kMinKbps, maxKbps)), maxFps_(qMax(kMinFps, maxFps)), kbps_(maxKbps_), fps_(maxFps_)
{
}

void BitrateController::onAck(qint64 delayMs, int bytes, qint64 nowMs)
{
    if (delayMs < 0)
        return;
    if (!started_) {
        started_ = true;
        lastChangeMs_ = nowMs;
        firstAckMs_ = nowMs;
    }
    delivered_.emplace_back(nowMs, qMax(0, bytes));
    while (delivered_.front().first <= nowMs - kRateWindowMs)
        delivered_.pop_front();
    samples_.emplace_back(nowMs, delayMs);
    while (samples_.front().first < nowMs - kBaseWindowMs)
        samples_.pop_front();
    qint64 base = delayMs;
    for (const auto &s : samples_)
        base = std::min(base, s.second);
    queueMs_ = (3 * queueMs_ + double(delayMs - base)) / 4;
    queueHistory_.emplace_back(nowMs, queueMs_);
    while (queueHistory_.front().first < nowMs - kGrowthWindowMs)
        queueHistory_.pop_front();
    const double growth = queueMs_ - queueHistory_.front().second;

    // A high queue that shrinks is the last step down taking effect.
    if ((queueMs_ > kHighQueueMs && growth >= 0) || (growth > kGrowthMs && queueMs_ > kLowQueueMs)) {
        lowSinceMs_ = -1;
        if (nowMs - lastChangeMs_ >= kLowerHoldMs)
            lower(nowMs);
    } else if (queueMs_ < kLowQueueMs) {
        if (lowSinceMs_ < 0)
            lowSinceMs_ = nowMs;
        if (nowMs - lowSinceMs_ >= raiseHoldMs_ && nowMs - lastChangeMs_ >= raiseHoldMs_)
            raise(nowMs);
    } else {
        lowSinceMs_ = -1; // between the thresholds: hold
    }
}

int BitrateController::deliveredKbps() const
{
    if (delivered_.empty())
        return 0;
    // Over less than the whole window only at the start; never over less than a frame's worth.
    const qint64 spanMs = qBound<qint64>(100, delivered_.back().first - firstAckMs_, kRateWindowMs);
    qint64 bytes = 0;
    for (const auto &d : delivered_)
        bytes += d.second;
    return int(bytes * 8 / spanMs);
}

// The bitrate first, by a fifth at a time or, up to half, to below what the
// link delivered while its queue grew; at its floor, the frame rate, the same way.
void BitrateController::lower(qint64 nowMs)
{
    if (nowMs - lastRaiseMs_ < kProbeMs)
        raiseHoldMs_ = std::min(kMaxRaiseHoldMs, 2 * raiseHoldMs_);
    lastChangeMs_ = nowMs;
    lastLowerMs_ = nowMs;
    if (kbps_ > kMinKbps) {
        int next = kbps_ * 4 / 5;
        if (const int delivered = deliveredKbps(); delivered > 0)
            next = std::min(next, std::max(kbps_ / 2, delivered * kHeadroomPercent / 100));
        kbps_ = std::max(kMinKbps, next);
        return;
    }
    // A stream far below its floor is not what fills the queue: its frames stay.
    const int delivered = deliveredKbps();
    if (delivered * 100 < kbps_ * kUsedPercent)
        return;
    // The encoder budgets each frame as an interval at the full rate, so
    // the bitrate falls with the frame rate.
    const int fit = delivered > 0 ? maxFps_ * delivered * kHeadroomPercent / 100 / kbps_ : fps_;
    for (int step : kFpsSteps) {
        if (step < fps_ && (step <= fit || step <= fps_ / 2 || step == kMinFps)) {
            fps_ = step;
            return;
        }
    }
    fps_ = kMinFps;
}

// The frame rate back first (it costs the most to the eye), then the bitrate
// by a tenth at a time, slower than it fell, while the stream presses on it.
void BitrateController::raise(qint64 nowMs)
{
    if (fps_ == maxFps_ && (kbps_ == maxKbps_ || deliveredKbps() * 100 < kbps_ * kUsedPercent))
        return;
    if (nowMs - lastLowerMs_ >= kCalmMs)
        raiseHoldMs_ = kRaiseHoldMs;
    lastChangeMs_ = nowMs;
    lastRaiseMs_ = nowMs;
    if (fps_ < maxFps_) {
        int next = maxFps_;
        for (int step : kFpsSteps) {
            if (step > fps_ && step <= maxFps_)
                next = step;
        }
        fps_ = next;
        return;
    }
    kbps_ = std::min(maxKbps_, kbps_ + std::max(50, kbps_ / 10));
}

} // namespace farm
