#include "server/phonefarm/video_encoder.h"

extern "C" {
#include <libswscale/swscale.h>
}
#include <x264.h>

#include <cstring>

namespace farm {

namespace {

// A keyframe at least this often even when nobody asks, so a client that
// missed a request's answer still recovers.
constexpr int kKeyframeIntervalS = 10;

void applyRate(x264_param_t *p, int fps, int maxKbps)
{
    // Quality-driven with a cap: a calm screen costs little, a busy one at
    // most the cap. A quarter second of buffer: no frame, a keyframe neither,
    // queues on a link of the cap's speed for longer than that.
    p->rc.i_rc_method = X264_RC_CRF;
    p->rc.f_rf_constant = 23;
    p->rc.i_vbv_max_bitrate = maxKbps;
    p->rc.i_vbv_buffer_size = qMax(1, maxKbps / 4);
    p->i_keyint_max = fps * kKeyframeIntervalS;
}

} // namespace

VideoEncoder::VideoEncoder(int fps, int maxKbps) : fps_(qBound(1, fps, 120)), maxKbps_(maxKbps) {}

VideoEncoder::~VideoEncoder()
{
    close();
}

void VideoEncoder::close()
{
    if (x264_)
        x264_encoder_close(x264_);
    x264_ = nullptr;
    sws_freeContext(sws_);
    sws_ = nullptr;
    width_ = height_ = 0;
}

bool VideoEncoder::open(int width, int height)
{
    close();
    x264_param_t p;
    if (x264_param_default_preset(&p, "veryfast", "zerolatency") < 0)
        return false;
    p.i_width = width;
    p.i_height = height;
    p.i_csp = X264_CSP_I420;
    // The farm's workers already run one stream each; x264's own threads
    // would only add delay and compete with them.
    p.i_threads = 1;
    p.b_sliced_threads = 0;
    // Nothing held back: no B-frames, no lookahead.
    p.i_bframe = 0;
    p.i_sync_lookahead = 0;
    p.rc.i_lookahead = 0;
    p.rc.b_mb_tree = 0;
    p.i_fps_num = uint32_t(fps_);
    p.i_fps_den = 1;
    // Rate control as if every interval had a frame: frames come only when
    // the picture changes, so a calm screen stays under the cap. (Variable
    // frame-rate input would hold every picture back by one.)
    p.b_vfr_input = 0;
    p.i_timebase_num = 1;
    p.i_timebase_den = 1000;
    p.b_repeat_headers = 1; // every keyframe carries its parameter sets
    p.b_annexb = 1;
    p.i_log_level = X264_LOG_ERROR;
    applyRate(&p, fps_, maxKbps_);
    if (x264_param_apply_profile(&p, "high") < 0)
        return false;
    x264_ = x264_encoder_open(&p);
    if (!x264_)
        return false;
    width_ = width;
    height_ = height;
    reconfigure_ = false;
    return true;
}

void VideoEncoder::setMaxKbps(int kbps)
{
    if (kbps == maxKbps_)
        return;
    maxKbps_ = kbps;
    reconfigure_ = true;
}

QByteArray VideoEncoder::encode(const QImage &picture, qint64 timeMs, bool forceKeyframe, bool *keyframe)
{
    *keyframe = false;
    const QImage rgb = picture.format() == QImage::Format_RGB32 || picture.format() == QImage::Format_ARGB32
                           ? picture
                           : picture.convertToFormat(QImage::Format_RGB32);
    const int w = rgb.width(), h = rgb.height();
    if (w <= 0 || h <= 0 || w % 2 || h % 2) {
        forceNext_ = true;
        return {};
    }
    if ((w != width_ || h != height_) && !open(w, h)) {
        close();
        forceNext_ = true;
        return {};
    }
    if (reconfigure_) {
        x264_param_t p;
        x264_encoder_parameters(x264_, &p);
        applyRate(&p, fps_, maxKbps_);
        x264_encoder_reconfig(x264_, &p);
        reconfigure_ = false;
    }
    sws_ = sws_getCachedContext(sws_, w, h, AV_PIX_FMT_RGB32, w, h, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr,
                                nullptr, nullptr);
    x264_picture_t in, out;
    if (!sws_ || x264_picture_alloc(&in, X264_CSP_I420, w, h) < 0) {
        forceNext_ = true;
        return {};
    }
    const uint8_t *src[4] = {rgb.constBits(), nullptr, nullptr, nullptr};
    const int srcStride[4] = {int(rgb.bytesPerLine()), 0, 0, 0};
    sws_scale(sws_, src, srcStride, 0, h, in.img.plane, in.img.i_stride);
    // Timestamps must rise strictly.
    lastPts_ = qMax(timeMs, lastPts_ + 1);
    in.i_pts = lastPts_;
    in.i_type = forceKeyframe || forceNext_ ? X264_TYPE_IDR : X264_TYPE_AUTO;
    x264_nal_t *nals = nullptr;
    int count = 0;
    const int bytes = x264_encoder_encode(x264_, &nals, &count, &in, &out);
    x264_picture_clean(&in);
    if (bytes <= 0 || count <= 0) {
        // Nothing out for a picture in means the stream lost a frame the
        // client would need; start afresh.
        close();
        forceNext_ = true;
        return {};
    }
    forceNext_ = false;
    *keyframe = out.b_keyframe != 0;
    // The payloads of one encode call lie back to back.
    return QByteArray(reinterpret_cast<const char *>(nals[0].p_payload), bytes);
}

} // namespace farm
