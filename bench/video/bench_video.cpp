// The display stream's two codecs on the same pictures: the farm's scenes are
// rendered on a simulated 30 fps clock, and each changed picture is encoded as
// the JPEG stream and as the H.264 stream, decoded as the library does, and
// compared with its source. Prints per scene the render time, bitrate, mean
// SSIM, decode time and encode share of a core of each, H.264's ratio to JPEG,
// and the targets beside them; then what a still screen sends.
//   bench_video [FRAMES_PER_SCENE]
//   bench_video --stream [PAINTED_PER_SCENE]   (stream_ssim.cpp)

#include "bench/video/ssim.h"
#include "bench/video/stream_ssim.h"
#include "coreclient/core_client.h"
#include "coreclient/video_decoder.h"
#include "server/phonefarm/phone.h"
#include "server/phonefarm/screen.h"
#include "server/phonefarm/video_encoder.h"
#include "tests/support/xvfb.h"

#include <QApplication>
#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace {

constexpr int kFps = 30;
constexpr qint64 kIntervalMs = 1000 / kFps;

// Targets: bitrates in kbit/s.
constexpr double kFeedKbps = 2500, kFeedRatio = 0.35, kVideoKbps = 4000;
constexpr double kMinSsim = 0.95, kMaxDecodeMs = 3, kMaxEncodeCore = 0.35;

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double threadMs()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

struct Figures
{
    qint64 bytes = 0;
    std::vector<double> encodeMs, decodeMs;
    double ssimSum = 0;
    int frames = 0;
    int failed = 0;

    double kbps(double seconds) const { return bytes * 8 / 1000.0 / seconds; }
    double meanSsim() const { return frames ? ssimSum / frames : 0.0; }
    // Share of one core that encoding takes over the scene's run time.
    double encodeCore(double seconds) const
    {
        double total = 0;
        for (double ms : encodeMs)
            total += ms;
        return total / 1000 / seconds;
    }
};

struct Scene
{
    const char *name;
    const char *package;                             // opened at the start; none for the launcher
    std::function<void(farm::Phone &, qint64)> step; // before each frame
};

struct Result
{
    Figures jpeg, h264;
    std::vector<double> renderMs;
    int changed = 0;
    qint64 firstH264Bytes = 0; // the opening keyframe
    QSize size;
    // What the last picture costs once more, unchanged.
    int repeatJpegBytes = 0;
    int repeatH264Bytes = 0;
};

QByteArray jpegOf(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "jpeg");
    writer.setQuality(80);
    writer.write(image);
    return bytes;
}

Result run(const Scene &scene, int frames)
{
    farm::Phone phone(QStringLiteral("PMBENCHV01"));
    QByteArray out;
    if (scene.package)
        phone.shell(QByteArray("monkey -p ") + scene.package + " 1", 1000, &out);
    // Textures are made on first use; that one-off cost is not a frame's.
    {
        const farm::PhoneState state = phone.snapshot(1000);
        farm::renderScreen(state, 1000, state.screenSize());
    }
    farm::VideoEncoder encoder(kFps);
    cc::VideoDecoder decoder;
    Result r;
    quint64 lastKey = 0;
    QImage source;
    for (int i = 0; i < frames; ++i) {
        const qint64 now = 1000 + (i + 1) * kIntervalMs;
        if (scene.step)
            scene.step(phone, now);
        const quint64 key = phone.visualKey(now);
        if (i > 0 && key == lastKey)
            continue; // a still picture sends nothing, in either codec
        lastKey = key;
        ++r.changed;
        const farm::PhoneState state = phone.snapshot(now);
        double t = threadMs();
        source = farm::renderScreen(state, now, state.screenSize());
        r.renderMs.push_back(threadMs() - t);
        r.size = source.size();

        t = threadMs();
        QByteArray bytes = jpegOf(source);
        r.jpeg.encodeMs.push_back(threadMs() - t);
        r.jpeg.bytes += bytes.size();
        t = threadMs();
        QBuffer in(&bytes);
        QImageReader reader(&in, "jpeg");
        const QImage fromJpeg = reader.read();
        r.jpeg.decodeMs.push_back(threadMs() - t);
        r.jpeg.ssimSum += bench::ssim(source, fromJpeg);
        ++r.jpeg.frames;

        t = threadMs();
        bool keyframe = false;
        const QByteArray unit = encoder.encode(source, now, false, &keyframe);
        r.h264.encodeMs.push_back(threadMs() - t);
        r.h264.bytes += unit.size();
        if (i == 0)
            r.firstH264Bytes = unit.size();
        t = threadMs();
        const bool ok = decoder.decode(unit, keyframe, source.size());
        const QImage fromH264 = ok ? decoder.picture() : QImage();
        r.h264.decodeMs.push_back(threadMs() - t);
        r.h264.failed += ok ? 0 : 1;
        r.h264.ssimSum += bench::ssim(source, fromH264);
        ++r.h264.frames;
    }
    bool keyframe = false;
    r.repeatJpegBytes = jpegOf(source).size();
    r.repeatH264Bytes = encoder.encode(source, 1000 + (frames + 1) * kIntervalMs, false, &keyframe).size();
    return r;
}

// What the scene misses of its targets, or "met".
std::string verdict(const Scene &scene, const Result &r, double seconds)
{
    std::string missed;
    const auto miss = [&missed](const char *what) {
        missed += missed.empty() ? what : std::string(", ") + what;
    };
    const double kbps = r.h264.kbps(seconds);
    const double ratio = r.jpeg.bytes ? double(r.h264.bytes) / r.jpeg.bytes : 0;
    if (std::string(scene.name) == "feed" && (kbps > kFeedKbps || ratio > kFeedRatio))
        miss("bitrate");
    if (std::string(scene.name) == "video" && kbps > kVideoKbps)
        miss("bitrate");
    if (r.h264.meanSsim() < kMinSsim || r.h264.failed)
        miss("SSIM");
    if (median(r.h264.decodeMs) > kMaxDecodeMs)
        miss("decode");
    if (r.h264.encodeCore(seconds) > kMaxEncodeCore)
        miss("encode");
    return missed.empty() ? "met" : "MISSED " + missed;
}

} // namespace

int main(int argc, char *argv[])
{
    testsupport::preferOffscreen();
    QApplication app(argc, argv);
    if (argc > 1 && QByteArray(argv[1]) == "--stream") {
        const int code = bench::streamSsim(argc > 2 ? qMax(2, atoi(argv[2])) : 60);
        cc_core_uninit();
        return code;
    }
    const int frames = argc > 1 ? qMax(2, atoi(argv[1])) : 150;
    const double seconds = double(frames) / kFps;
    const std::vector<Scene> scenes = {
        {"launcher", nullptr,
         // A tap every half second leaves a fading mark.
         [](farm::Phone &p, qint64 now) {
             if (now % 500 < kIntervalMs) {
                 ccwire::Touch t;
                 t.x = quint16((now / 500 % 5) * 12000 + 5000);
                 t.y = 50000;
                 t.action = ccwire::TouchAction::Down;
                 p.touch(t, now);
                 t.action = ccwire::TouchAction::Up;
                 p.touch(t, now + 1);
             }
         }},
        {"clock", "com.pmapps.clock", nullptr},
        {"typing", "com.pmapps.notes",
         [](farm::Phone &p, qint64 now) {
             if (now % 100 < kIntervalMs)
                 p.text("typing 输入 ", now);
         }},
        {"racer", "com.pmapps.racer", nullptr},
        {"feed", "com.pmapps.feed", nullptr},
        {"video", "com.pmapps.video", nullptr},
    };
    std::printf(
        "bench_video: %d frames a scene at %d fps (%.1f s), 720x1280 phone; JPEG q80 against H.264 capped at "
        "%d kbit/s\n",
        frames, kFps, seconds, farm::VideoEncoder::kDefaultKbps);
    std::printf("targets: feed <= %.0f kbit/s and <= %.2fx JPEG; video <= %.0f kbit/s; SSIM >= %.2f; decode "
                "<= %.0f ms "
                "median; encode <= %.0f %% of a core\n\n",
                kFeedKbps, kFeedRatio, kVideoKbps, kMinSsim, kMaxDecodeMs, kMaxEncodeCore * 100);
    std::printf("%-8s %9s %11s | %-20s | %-13s | %-11s | %-12s | %s\n", "", "", "render ms", "bitrate kbit/s",
                "mean SSIM", "decode ms", "encode % core", "targets");
    std::printf("%-8s %9s %11s | %6s %6s %6s | %6s %6s | %5s %5s | %5s %5s  |\n", "scene", "size",
                "median max", "JPEG", "H.264", "ratio", "H.264", "JPEG", "H.264", "JPEG", "H.264", "JPEG");
    for (const Scene &scene : scenes) {
        const Result r = run(scene, frames);
        std::printf(
            "%-8s %4dx%-4d %5.2f %5.2f | %6.0f %6.0f %6.3f | %6.4f %6.4f | %5.2f %5.2f | %5.1f %5.1f  | %s\n",
            scene.name, r.size.width(), r.size.height(), median(r.renderMs),
            r.renderMs.empty() ? 0.0 : *std::max_element(r.renderMs.begin(), r.renderMs.end()),
            r.jpeg.kbps(seconds), r.h264.kbps(seconds),
            r.jpeg.bytes ? double(r.h264.bytes) / r.jpeg.bytes : 0.0, r.h264.meanSsim(), r.jpeg.meanSsim(),
            median(r.h264.decodeMs), median(r.jpeg.decodeMs), r.h264.encodeCore(seconds) * 100,
            r.jpeg.encodeCore(seconds) * 100, verdict(scene, r, seconds).c_str());
    }
    const Result still = run({"still", nullptr, nullptr}, frames);
    std::printf("\nrender: thread CPU per frame, against %.1f ms a frame at %d fps\n", 1000.0 / kFps, kFps);
    std::printf(
        "still screen (launcher, no input): after the opening keyframe (%lld bytes), %d of %d ticks sent a "
        "frame: %lld bytes, %.1f kbit/s\n  (an unchanged picture sent anyway would cost H.264 %d bytes, JPEG "
        "%d "
        "bytes)\n",
        still.firstH264Bytes, still.changed - 1, frames - 1, still.h264.bytes - still.firstH264Bytes,
        (still.h264.bytes - still.firstH264Bytes) * 8 / 1000.0 / seconds, still.repeatH264Bytes,
        still.repeatJpegBytes);
    return 0;
}
