#pragma once

// H.264 decoding for a display stream: one decoder per stream, fed every
// frame in order (each refers to those before it). A frame it cannot decode
// cleanly is reported, never shown, and nothing after it decodes until the
// next keyframe. One thread at a time.

#include <QByteArray>
#include <QImage>
#include <QSize>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace cc {

class VideoDecoder
{
public:
    VideoDecoder();
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder &) = delete;
    VideoDecoder &operator=(const VideoDecoder &) = delete;

    // Decodes one access unit that should show a picture of `size`. False
    // for anything that does not decode cleanly to that size; the decoder
    // then waits for a keyframe (decode() returns false until one comes).
    bool decode(const QByteArray &accessUnit, bool keyframe, QSize size);
    // The last decoded picture, scaled to fit within `bound` (its own size
    // when empty or larger), as RGB32.
    QImage picture(QSize bound = {});
    // Forgets the stream, as after a reconnection: the next frame must be a keyframe.
    void reset();
    bool waitingForKeyframe() const { return needKey_; }

private:
    bool open();
    void close();

    AVCodecContext *ctx_ = nullptr;
    AVFrame *frame_ = nullptr;
    AVFrame *spare_ = nullptr; // receives what should not be there
    AVPacket *packet_ = nullptr;
    SwsContext *sws_ = nullptr;
    bool needKey_ = true;
    bool haveFrame_ = false;
};

} // namespace cc
