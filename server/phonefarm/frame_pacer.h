#pragma once

// When a display connection may send its next frame. Acknowledgements bound
// the frames in flight, so a client that stops reading stops the stream; the
// bound grows to cover one round trip at the frame rate, so a slow link keeps
// the rate. Frames are paced to the rate, but one that shows a press, a
// release or a key goes at once, and one that shows only a move may go up to
// one interval early. Bookkeeping only, on the connection's thread; times are
// monotonic milliseconds passed in.

#include "wire/wire.h"

#include <QtGlobal>

#include <deque>
#include <utility>

namespace farm {

class FramePacer
{
public:
    static constexpr int kMinWindow = ccwire::kMinWindow;
    static constexpr int kMaxWindow = ccwire::kMaxWindow;

    // What the next frame would show that the last one did not.
    enum class Input
    {
        None,
        Move,     // only moves: they come without end, so they keep the rate
        Discrete, // a press, release or key: a few a second at most
    };

    // Fractional, so 60 fps is 60 and not 62.5.
    explicit FramePacer(double intervalMs = 1000.0 / 30);

    // 0 when a frame may be made now, the milliseconds until pacing allows
    // one, or -1 while the window is full (only an ack opens it).
    qint64 wait(qint64 nowMs, Input input) const;
    // A frame is being made now; it counts against the window from here.
    void made(qint64 nowMs, Input input = Input::None);
    // The frame went out, `bytes` long (seq rises by one per frame), or will
    // not (its encoding failed).
    void sent(quint32 seq, qint64 nowMs, int bytes = 0);
    void dropped();
    // The client acknowledged a frame: its delay since sending, or -1 when
    // the frame's sending time is no longer known; its size in `bytes`.
    qint64 acked(quint32 seq, qint64 nowMs, int *bytes = nullptr);
    // A new frame rate, from the next frame on.
    void setInterval(double intervalMs) { intervalMs_ = qMax(1.0, intervalMs); }

    int window() const { return window_; }
    int unacked() const { return unacked_; }

private:
    double intervalMs_;
    int unacked_ = 0;
    int window_ = kMinWindow;
    double srttMs_ = -1;
    double nextDueMs_ = -1e18;
    bool earlyUsed_ = false; // the last frame went early; the next one waits its turn
    struct Sent
    {
        quint32 seq;
        qint64 atMs;
        qint64 madeAtMs;
        int bytes;
    };
    std::deque<Sent> sentAt_;
    std::deque<qint64> makingSince_; // frames being made, oldest first
};

} // namespace farm
