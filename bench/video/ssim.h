#pragma once

// Mean SSIM of two pictures' luma, the measure both of bench_video's modes print.

#include <QImage>

#include <vector>

namespace bench {

// Luma of an RGB32 picture, as a flat array.
inline std::vector<float> luma(const QImage &image)
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
inline double ssim(const QImage &a, const QImage &b)
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

} // namespace bench
