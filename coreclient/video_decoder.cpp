#include "coreclient/video_decoder.h"

#include "wire/wire.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include <cstring>
#include <mutex>

namespace cc {

VideoDecoder::VideoDecoder() = default;

VideoDecoder::~VideoDecoder()
{
    close();
}

bool VideoDecoder::open()
{
    // A broken peer's stream would otherwise fill the host's standard error;
    // each failure is already answered with a keyframe request.
    static std::once_flag quiet;
    std::call_once(quiet, [] { av_log_set_level(AV_LOG_FATAL); });
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec)
        return false;
    ctx_ = avcodec_alloc_context3(codec);
    frame_ = av_frame_alloc();
    spare_ = av_frame_alloc();
    packet_ = av_packet_alloc();
    if (!ctx_ || !frame_ || !spare_ || !packet_) {
        close();
        return false;
    }
    // Each access unit comes out as soon as it goes in; one thread, since
    // frame threading delays output by a frame per thread.
    ctx_->flags |= AV_CODEC_FLAG_LOW_DELAY;
    ctx_->thread_count = 1;
    // A damaged frame is an error, not a concealed picture of garbage.
    ctx_->flags &= ~AV_CODEC_FLAG_OUTPUT_CORRUPT;
    ctx_->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM | AV_EF_BUFFER | AV_EF_CRCCHECK;
    ctx_->max_pixels = ccwire::kMaxFramePixels;
    if (avcodec_open2(ctx_, codec, nullptr) < 0) {
        close();
        return false;
    }
    return true;
}

void VideoDecoder::close()
{
    sws_freeContext(sws_);
    sws_ = nullptr;
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    av_frame_free(&spare_);
    avcodec_free_context(&ctx_);
    haveFrame_ = false;
}

void VideoDecoder::reset()
{
    close();
    needKey_ = true;
}

bool VideoDecoder::decode(const QByteArray &accessUnit, bool keyframe, QSize size)
{
    if (needKey_ && !keyframe)
        return false;
    if (keyframe) {
        // A fresh decoder per keyframe: nothing of a damaged past leaks into it.
        close();
        if (!open())
            return false;
    }
    needKey_ = true;
    haveFrame_ = false;
    if (accessUnit.isEmpty() || size.isEmpty() ||
        qint64(size.width()) * size.height() > ccwire::kMaxFramePixels)
        return false;
    // The decoder reads up to AV_INPUT_BUFFER_PADDING_SIZE past the end.
    if (av_new_packet(packet_, accessUnit.size()) < 0)
        return false;
    std::memcpy(packet_->data, accessUnit.constData(), size_t(accessUnit.size()));
    const int sent = avcodec_send_packet(ctx_, packet_);
    av_packet_unref(packet_);
    if (sent < 0)
        return false;
    if (avcodec_receive_frame(ctx_, frame_) < 0)
        return false;
    const bool clean = frame_->decode_error_flags == 0 && !(frame_->flags & AV_FRAME_FLAG_CORRUPT) &&
                       frame_->width == size.width() && frame_->height == size.height() &&
                       (frame_->format == AV_PIX_FMT_YUV420P || frame_->format == AV_PIX_FMT_YUVJ420P);
    // Low delay and no reordering: one access unit, one picture, nothing held back.
    const bool more = avcodec_receive_frame(ctx_, spare_) != AVERROR(EAGAIN);
    av_frame_unref(spare_);
    if (!clean || more) {
        av_frame_unref(frame_);
        return false;
    }
    needKey_ = false;
    haveFrame_ = true;
    return true;
}

QImage VideoDecoder::picture(QSize bound)
{
    if (!haveFrame_)
        return {};
    const QSize source(frame_->width, frame_->height);
    QSize target = bound.isEmpty() ? source : source.scaled(bound, Qt::KeepAspectRatio);
    if (target.width() > source.width() || target.isEmpty())
        target = source;
    sws_ = sws_getCachedContext(sws_, source.width(), source.height(), AVPixelFormat(frame_->format),
                                target.width(), target.height(), AV_PIX_FMT_RGB32, SWS_BILINEAR, nullptr,
                                nullptr, nullptr);
    if (!sws_)
        return {};
    // The scaler's vector code writes whole blocks, past the end of a row and
    // of the last one: aligned rows and a padded buffer of our own.
    const int stride = FFALIGN(target.width() * 4, 64);
    auto *bits = static_cast<uint8_t *>(av_malloc(size_t(stride) * size_t(target.height()) + 256));
    if (!bits)
        return {};
    QImage image(bits, target.width(), target.height(), stride, QImage::Format_RGB32, av_free, bits);
    uint8_t *dst[4] = {bits, nullptr, nullptr, nullptr};
    int dstStride[4] = {stride, 0, 0, 0};
    if (sws_scale(sws_, frame_->data, frame_->linesize, 0, source.height(), dst, dstStride) !=
        target.height())
        return {};
    return image;
}

} // namespace cc
