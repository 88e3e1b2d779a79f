#pragma once

// H.264 encoding of one display stream with libx264, set for low latency:
// each picture comes out as soon as it goes in (no lookahead, no B-frames),
// under a bitrate cap. A size change starts a new stream with a keyframe.
// One thread at a time; the gateway serialises each stream's calls.

#include <QByteArray>
#include <QImage>

struct SwsContext;
struct x264_t;

namespace farm {

class VideoEncoder
{
public:
    static constexpr int kDefaultKbps = 2500;

    explicit VideoEncoder(int fps, int maxKbps = kDefaultKbps);
    ~VideoEncoder();
    VideoEncoder(const VideoEncoder &) = delete;
    VideoEncoder &operator=(const VideoEncoder &) = delete;

    // One access unit (Annex B) for the picture, empty on failure; a failure
    // makes the next picture a keyframe. timeMs only has to rise.
    QByteArray encode(const QImage &picture, qint64 timeMs, bool forceKeyframe, bool *keyframe);
    // The cap for the pictures that follow.
    void setMaxKbps(int kbps);
    int maxKbps() const { return maxKbps_; }

private:
    bool open(int width, int height);
    void close();

    int fps_;
    int maxKbps_;
    bool reconfigure_ = false;
    x264_t *x264_ = nullptr;
    SwsContext *sws_ = nullptr;
    int width_ = 0;
    int height_ = 0;
    bool forceNext_ = false;
    qint64 lastPts_ = -1;
};

} // namespace farm
