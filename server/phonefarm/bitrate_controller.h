#pragma once

// What one H.264 display stream may send, following the link. Each
// acknowledged frame gives its delay from sending to the ack; the lowest
// delay of the last seconds is the link's own round trip, and what lies above
// it is queueing. When queueing is high, or grows fast, the bitrate steps
// down, toward below what the link delivered if that is lower (at most
// halving at once, as a loaded machine's delays look like queueing too), and
// once it is at its floor the frame rate does; when the queue stays short for a while,
// the frame rate comes back first, then the bitrate climbs slowly to its
// ceiling, but only while the stream uses most of it (a calm picture proves
// nothing about the link). Two thresholds and hold times keep it from
// swinging on every sample; a raise the link could not carry makes the next
// one wait twice as long. Bookkeeping only, on the connection's thread; times are
// monotonic milliseconds passed in.

#include <QtGlobal>

#include <deque>
#include <utility>

namespace farm {

class BitrateController
{
public:
    static constexpr int kMinKbps = 250;
    static constexpr int kMinFps = 5;
    static constexpr qint64 kHighQueueMs = 80; // above: the link is falling behind
    static constexpr qint64 kGrowthMs = 40;    // queue growth within kGrowthWindowMs that counts too
    static constexpr qint64 kGrowthWindowMs = 500;
    static constexpr qint64 kLowQueueMs = 25;   // below, for kRaiseHoldMs: there is room
    static constexpr qint64 kLowerHoldMs = 400; // a step down takes this long to show in the delays
    static constexpr qint64 kRaiseHoldMs = 1000;
    static constexpr qint64 kMaxRaiseHoldMs = 16000;
    static constexpr qint64 kProbeMs = 2000;       // a step down this soon after a raise: the raise failed
    static constexpr qint64 kCalmMs = 30000;       // without a step down: raises wait kRaiseHoldMs again
    static constexpr qint64 kBaseWindowMs = 10000; // how long the lowest delay is remembered
    static constexpr qint64 kRateWindowMs = 1000;  // what the link delivered is measured over this
    static constexpr int kUsedPercent = 60;        // of the bitrate: sent at least this, it may rise
    static constexpr int kHeadroomPercent = 85;    // a step down goes this far below the delivered rate

    BitrateController(int maxKbps, int maxFps);

    // A frame of `bytes` sent at some time was acknowledged delayMs later.
    void onAck(qint64 delayMs, int bytes, qint64 nowMs);

    int kbps() const { return kbps_; }
    int fps() const { return fps_; }
    // The delay above the link's own round trip, smoothed.
    double queueMs() const { return queueMs_; }
    // What the acknowledged frames of the last kRateWindowMs carried, in kbit/s.
    int deliveredKbps() const;

private:
    void lower(qint64 nowMs);
    void raise(qint64 nowMs);

    int maxKbps_;
    int maxFps_;
    int kbps_;
    int fps_;
    double queueMs_ = 0;
    bool started_ = false;
    std::deque<std::pair<qint64, qint64>> samples_;      // (time, delay) within kBaseWindowMs
    std::deque<std::pair<qint64, double>> queueHistory_; // (time, queue) within kGrowthWindowMs
    std::deque<std::pair<qint64, int>> delivered_;       // (time, bytes) within kRateWindowMs
    qint64 firstAckMs_ = 0;
    qint64 lastChangeMs_ = 0;
    qint64 lastRaiseMs_ = -kProbeMs;
    qint64 lastLowerMs_ = 0;
    qint64 raiseHoldMs_ = kRaiseHoldMs;
    qint64 lowSinceMs_ = -1; // the queue has been short since
};

} // namespace farm
