// The display stream's two codecs on the same pictures: the farm's scenes are
// rendered on a simulated 30 fps clock, and each changed picture is encoded as
// the JPEG stream and as the H.264 stream, decoded as the library does, and
// compared with its source. Prints bitrate, mean SSIM and encode and decode
// times of each, and H.264's ratios to JPEG.
//   bench_video [FRAMES_PER_SCENE]

#include "coreclient/video_decoder.h"
#include "server/phonefarm/phone.h"
#include "server/phonefarm/screen.h"
#include "server/phonefarm/video_encoder.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImageReader>
#include <QImageWriter>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

namespace {

constexpr int kFps = 30;
constexpr qint64 kIntervalMs = 1000 / kFps;

// Luma of an RGB32 picture, as a flat array.
std::vector<float> luma(const QImage &image)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    std::vector<float> y(size_t(rgb.width()) * size_t(rgb.height()));
    for (int row = 0; row < rgb.height(); ++row) {
        const QRgb *line = reinterpret_cast<const QRgb *>(rgb.constScanLine(row));
        for (int x = 0; x < rgb.width(); ++x)
            y[size_t(row) * size_t(rgb.width()) + size_t(x)] =
                0.299f * qRed(line[x]) + 0.587f * qGreen(line[x]) + 0.114f * qBlue(line[x]);
    }
    return y;
}

// Mean SSIM of the luma over 8x8 windows.
double ssim(const QImage &a, const QImage &b)
{
    if (a.size() != b.size())
        return 0;
    const std::vector<float> ya = luma(a), yb = luma(b);
    const int w = a.width(), h = a.height();
    constexpr double c1 = 6.5025, c2 = 58.5225; // (0.01*255)^2, (0.03*255)^2
    double sum = 0;
    int windows = 0;
    for (int by = 0; by + 8 <= h; by += 8) {
        for (int bx = 0; bx + 8 <= w; bx += 8) {
            double ma = 0, mb = 0, va = 0, vb = 0, cov = 0;
            for (int y = by; y < by + 8; ++y) {
                for (int x = bx; x < bx + 8; ++x) {
                    ma += ya[size_t(y) * size_t(w) + size_t(x)];
                    mb += yb[size_t(y) * size_t(w) + size_t(x)];
                }
            }
            ma /= 64;
            mb /= 64;
            for (int y = by; y < by + 8; ++y) {
                for (int x = bx; x < bx + 8; ++x) {
                    const double da = ya[size_t(y) * size_t(w) + size_t(x)] - ma;
                    const double db = yb[size_t(y) * size_t(w) + size_t(x)] - mb;
                    va += da * da;
                    vb += db * db;
                    cov += da * db;
                }
            }
            va /= 63;
            vb /= 63;
            cov /= 63;
            sum += ((2 * ma * mb + c1) * (2 * cov + c2)) / ((ma * ma + mb * mb + c1) * (va + vb + c2));
            ++windows;
        }
    }
    return windows ? sum / windows : 0;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Figures
{
    qint64 bytes = 0;
    std::vector<double> encodeMs, decodeMs;
    double ssimSum = 0;
    int frames = 0;
    int failed = 0;
};

double threadMs()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

struct Scene
{
    const char *name;
    std::function<void(farm::Phone &, qint64)> start; // at time 0
    std::function<void(farm::Phone &, qint64)> step;  // before each frame
};

void run(const Scene &scene, int frames)
{
    farm::Phone phone(QStringLiteral("PMBENCHV01"));
    scene.start(phone, 1000);
    farm::VideoEncoder encoder(kFps);
    cc::VideoDecoder decoder;
    Figures jpeg, h264;
    quint64 lastKey = 0;
    int sent = 0;
    for (int i = 0; i < frames; ++i) {
        const qint64 now = 1000 + (i + 1) * kIntervalMs;
        scene.step(phone, now);
        const quint64 key = phone.visualKey(now);
        if (i > 0 && key == lastKey)
            continue; // a still picture sends nothing, in either codec
        lastKey = key;
        ++sent;
        const farm::PhoneState state = phone.snapshot(now);
        const QImage source = farm::renderScreen(state, now, state.screenSize());

        double t = threadMs();
        QByteArray bytes;
        {
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            QImageWriter writer(&buffer, "jpeg");
            writer.setQuality(80);
            writer.write(source);
        }
        jpeg.encodeMs.push_back(threadMs() - t);
        jpeg.bytes += bytes.size();
        t = threadMs();
        QBuffer in(&bytes);
        QImageReader reader(&in, "jpeg");
        const QImage fromJpeg = reader.read();
        jpeg.decodeMs.push_back(threadMs() - t);
        jpeg.ssimSum += ssim(source, fromJpeg);
        ++jpeg.frames;

        t = threadMs();
        bool keyframe = false;
        const QByteArray unit = encoder.encode(source, now, false, &keyframe);
        h264.encodeMs.push_back(threadMs() - t);
        h264.bytes += unit.size();
        t = threadMs();
        const bool ok = decoder.decode(unit, keyframe, source.size());
        const QImage fromH264 = ok ? decoder.picture() : QImage();
        h264.decodeMs.push_back(threadMs() - t);
        h264.failed += ok ? 0 : 1;
        h264.ssimSum += ssim(source, fromH264);
        ++h264.frames;
    }
    const double seconds = double(frames) / kFps;
    const auto kbps = [seconds](const Figures &f) { return f.bytes * 8 / 1000.0 / seconds; };
    const auto meanSsim = [](const Figures &f) { return f.frames ? f.ssimSum / f.frames : 0.0; };
    std::printf("%-9s %4d of %d frames changed\n", scene.name, sent, frames);
    std::printf("  JPEG q80  %8.0f kbit/s  SSIM %.4f  encode %6.2f ms  decode %6.2f ms\n", kbps(jpeg),
                meanSsim(jpeg), median(jpeg.encodeMs), median(jpeg.decodeMs));
    std::printf("  H.264     %8.0f kbit/s  SSIM %.4f  encode %6.2f ms  decode %6.2f ms  (%d not decoded)\n",
                kbps(h264), meanSsim(h264), median(h264.encodeMs), median(h264.decodeMs), h264.failed);
    std::printf(
        "  H.264/JPEG: bitrate %.3fx, encode %.2fx, decode %.2fx; encoding one stream at %d fps takes "
        "%.0f %% of a core\n",
        jpeg.bytes ? double(h264.bytes) / jpeg.bytes : 0.0,
        median(jpeg.encodeMs) > 0 ? median(h264.encodeMs) / median(jpeg.encodeMs) : 0.0,
        median(jpeg.decodeMs) > 0 ? median(h264.decodeMs) / median(jpeg.decodeMs) : 0.0, kFps,
        median(h264.encodeMs) * kFps / 10.0);
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int frames = argc > 1 ? qMax(2, atoi(argv[1])) : 150;
    QByteArray out;
    const auto noop = [](farm::Phone &, qint64) {};
    const std::vector<Scene> scenes = {
        {"launcher", noop,
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
        {"clock", [&out](farm::Phone &p, qint64 now) { p.shell("monkey -p com.pmapps.clock 1", now, &out); },
         noop},
        {"typing", [&out](farm::Phone &p, qint64 now) { p.shell("monkey -p com.pmapps.notes 1", now, &out); },
         [](farm::Phone &p, qint64 now) {
             if (now % 100 < kIntervalMs)
                 p.text("typing 输入 ", now);
         }},
        {"racer", [&out](farm::Phone &p, qint64 now) { p.shell("monkey -p com.pmapps.racer 1", now, &out); },
         noop},
    };
    std::printf(
        "bench_video: %d frames per scene at %d fps (%.1f s), JPEG quality 80 against H.264 capped at "
        "%d kbit/s\n",
        frames, kFps, double(frames) / kFps, farm::VideoEncoder::kDefaultKbps);
    for (const Scene &scene : scenes)
        run(scene, frames);
    return 0;
}
