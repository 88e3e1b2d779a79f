#include "server/phonefarm/bitrate_controller.h"

#include <algorithm>

namespace farm {

namespace {

constexpr int kFpsSteps[] = {60, 30, 20, 15, 10, 5};

} // namespace

BitrateController::BitrateController(int maxKbps, int maxFps)
    : maxKbps_(qMax(kMinKbps, maxKbps)), maxFps_(qMax(kMinFps, maxFps)), kbps_(maxKbps_), fps_(maxFps_)
{
}

void BitrateController::onAck(qint64 delayMs, qint64 nowMs)
{
    if (delayMs < 0)
        return;
    if (!started_) {
        started_ = true;
        lastChangeMs_ = nowMs;
    }
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

    if (queueMs_ > kHighQueueMs || (growth > kGrowthMs && queueMs_ > kLowQueueMs)) {
        lowSinceMs_ = -1;
        if (nowMs - lastChangeMs_ >= kLowerHoldMs)
            lower(nowMs);
    } else if (queueMs_ < kLowQueueMs) {
        if (lowSinceMs_ < 0)
            lowSinceMs_ = nowMs;
        if (nowMs - lowSinceMs_ >= kRaiseHoldMs && nowMs - lastChangeMs_ >= kRaiseHoldMs)
            raise(nowMs);
    } else {
        lowSinceMs_ = -1; // between the thresholds: hold
    }
}

// The bitrate first, by a fifth at a time; at its floor, the frame rate.
void BitrateController::lower(qint64 nowMs)
{
    lastChangeMs_ = nowMs;
    if (kbps_ > kMinKbps) {
        kbps_ = std::max(kMinKbps, kbps_ * 4 / 5);
        return;
    }
    for (int step : kFpsSteps) {
        if (step < fps_) {
            fps_ = std::max(kMinFps, step);
            return;
        }
    }
}

// The frame rate back first (it costs the most to the eye), then the bitrate
// by a tenth at a time, slower than it fell.
void BitrateController::raise(qint64 nowMs)
{
    lastChangeMs_ = nowMs;
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
