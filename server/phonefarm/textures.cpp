#include "server/phonefarm/textures.h"

#include <QPainter>
#include <QRadialGradient>
#include <QtMath>

#include <array>
#include <cmath>

namespace farm {

namespace {

quint32 hash(int x, int y, quint32 seed)
{
    quint32 h = quint32(x) * 0x8da6b343u ^ quint32(y) * 0xd8163841u ^ seed * 0xcb1ab31fu;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return h;
}

float lattice(int x, int y, quint32 seed)
{
    return float(hash(x, y, seed) & 0xffffff) / float(0x1000000);
}

float smooth(float t)
{
    return t * t * (3 - 2 * t);
}

// Value noise in [0, 1) on a lattice of `cell` pixels, repeating every
// `period` pixels sideways (0: never).
float valueNoise(float x, float y, float cell, int period, quint32 seed)
{
    const float fx = x / cell, fy = y / cell;
    const int ix = int(std::floor(fx)), iy = int(std::floor(fy));
    const float tx = smooth(fx - ix), ty = smooth(fy - iy);
    const int cells = period > 0 ? qMax(1, int(period / cell)) : 0;
    const auto wrap = [cells](int i) { return cells ? ((i % cells) + cells) % cells : i; };
    const int x0 = wrap(ix), x1 = wrap(ix + 1);
    const float a = lattice(x0, iy, seed), b = lattice(x1, iy, seed);
    const float c = lattice(x0, iy + 1, seed), d = lattice(x1, iy + 1, seed);
    return (a + (b - a) * tx) * (1 - ty) + (c + (d - c) * tx) * ty;
}

// Fractal noise in about [0, 1): octaves halving in size and weight, as in
// natural pictures.
float fbm(float x, float y, float cell, int octaves, int period, quint32 seed)
{
    float sum = 0, weight = 0.5f, total = 0;
    for (int o = 0; o < octaves && cell >= 1; ++o) {
        sum += weight * valueNoise(x, y, cell, period, seed + quint32(o) * 101);
        total += weight;
        weight *= 0.5f;
        cell *= 0.5f;
    }
    return sum / total;
}

QRgb mix(QRgb a, QRgb b, float t)
{
    t = qBound(0.0f, t, 1.0f);
    return qRgb(int(qRed(a) + (qRed(b) - qRed(a)) * t), int(qGreen(a) + (qGreen(b) - qGreen(a)) * t),
                int(qBlue(a) + (qBlue(b) - qBlue(a)) * t));
}

QRgb shade(QRgb c, float f)
{
    return qRgb(qBound(0, int(qRed(c) * f), 255), qBound(0, int(qGreen(c) * f), 255),
                qBound(0, int(qBlue(c) * f), 255));
}

struct Palette
{
    QRgb skyTop, skyLow, land, landDark;
};

// Mountains over a lake: a jagged ridge, a reflection with ripples.
QImage lakePhoto(quint32 seed, const Palette &pal)
{
    QImage img(kPhotoWidth, kPhotoHeight, QImage::Format_RGB32);
    const int water = kPhotoHeight * 62 / 100;
    std::array<float, kPhotoWidth> ridges;
    for (int x = 0; x < kPhotoWidth; ++x)
        ridges[size_t(x)] = water - 40 - 160 * fbm(float(x), 0, 256, 6, 0, seed);
    for (int y = 0; y < kPhotoHeight; ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(img.scanLine(y));
        for (int x = 0; x < kPhotoWidth; ++x) {
            const float ridge = ridges[size_t(x)];
            const int my = y < water ? y : 2 * water - y; // mirrored above the water line
            QRgb c;
            if (my < ridge) {
                const float cloud = fbm(float(x), float(my) * 2.5f, 128, 4, 0, seed + 7);
                c = mix(mix(pal.skyTop, pal.skyLow, float(my) / water), 0xfff4f0ea, (cloud - 0.45f) * 2.5f);
            } else {
                const float n = fbm(float(x), float(my), 64, 5, 0, seed + 3);
                c = shade(mix(pal.land, pal.landDark, (my - ridge) / 120.0f), 0.7f + 0.6f * n);
            }
            if (y >= water) {
                const float ripple = fbm(float(x) * 0.2f, float(y) * 3, 16, 3, 0, seed + 11);
                c = shade(mix(c, 0xff20406a, 0.35f), 0.8f + 0.3f * ripple);
            }
            line[x] = c;
        }
    }
    return img;
}

// Towers against a dusk sky, with lit windows: hard edges and fine detail.
QImage cityPhoto(quint32 seed, const Palette &pal)
{
    QImage img(kPhotoWidth, kPhotoHeight, QImage::Format_RGB32);
    for (int y = 0; y < kPhotoHeight; ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(img.scanLine(y));
        for (int x = 0; x < kPhotoWidth; ++x) {
            const float haze = fbm(float(x), float(y) * 3, 160, 4, 0, seed);
            line[x] = shade(mix(pal.skyTop, pal.skyLow, float(y) / kPhotoHeight), 0.85f + 0.3f * haze);
        }
    }
    QPainter p(&img);
    p.setPen(Qt::NoPen);
    int x = -20;
    for (int i = 0; x < kPhotoWidth; ++i) {
        const int w = 50 + int(hash(i, 0, seed) % 90), h = 120 + int(hash(i, 1, seed) % 300);
        const QRect tower(x, kPhotoHeight - h, w, h);
        const float tone = 0.5f + 0.4f * lattice(i, 2, seed);
        p.fillRect(tower, QColor(shade(pal.landDark, tone)));
        for (int wy = tower.top() + 10; wy < kPhotoHeight - 8; wy += 14) {
            for (int wx = tower.left() + 6; wx < tower.right() - 8; wx += 12) {
                if (hash(wx, wy, seed) % 3 == 0)
                    p.fillRect(QRect(wx, wy, 6, 8), QColor(255, 214 + int(hash(wy, wx, seed) % 40), 140));
            }
        }
        x += w + int(hash(i, 3, seed) % 20) - 10;
    }
    return img;
}

// A close-up: a round subject in front of blurred lights.
QImage closeUpPhoto(quint32 seed, const Palette &pal)
{
    QImage img(kPhotoWidth, kPhotoHeight, QImage::Format_RGB32);
    for (int y = 0; y < kPhotoHeight; ++y) {
        QRgb *line = reinterpret_cast<QRgb *>(img.scanLine(y));
        for (int x = 0; x < kPhotoWidth; ++x)
            line[x] = mix(pal.skyLow, pal.landDark, fbm(float(x), float(y), 200, 3, 0, seed) * 1.4f - 0.2f);
    }
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 24; ++i) {
        const QPointF c(hash(i, 0, seed) % kPhotoWidth, hash(i, 1, seed) % kPhotoHeight);
        const double r = 12 + hash(i, 2, seed) % 40;
        QRadialGradient g(c, r);
        g.setColorAt(0, QColor(255, 240, 200, 120));
        g.setColorAt(0.8, QColor(255, 220, 170, 90));
        g.setColorAt(1, QColor(255, 220, 170, 0));
        p.setBrush(g);
        p.drawEllipse(c, r, r);
    }
    const QPointF centre(kPhotoWidth * (0.35 + 0.3 * lattice(1, 1, seed)), kPhotoHeight * 0.55);
    const double r = kPhotoHeight * 0.32;
    p.setBrush(QColor(0, 0, 0, 70));
    p.drawEllipse(centre + QPointF(18, r * 0.9), r * 1.1, r * 0.25);
    QRadialGradient body(centre - QPointF(r * 0.35, r * 0.4), r * 1.5);
    body.setColorAt(0, QColor(pal.land).lighter(160));
    body.setColorAt(0.5, QColor(pal.land));
    body.setColorAt(1, QColor(pal.landDark).darker(150));
    p.setBrush(body);
    p.drawEllipse(centre, r, r);
    p.setBrush(QColor(255, 255, 255, 150));
    p.drawEllipse(centre - QPointF(r * 0.4, r * 0.45), r * 0.12, r * 0.08);
    return img;
}

QImage makePhoto(int index)
{
    static const std::array<Palette, kPhotoCount> palettes = {{
        {0xff3a6fb0, 0xffb8d4ee, 0xff55706a, 0xff1e2e2a},
        {0xff2b2150, 0xfff08a5d, 0xff5a4a70, 0xff1a1626},
        {0xff30343a, 0xff7a5a40, 0xffd2452c, 0xff3a1a10},
        {0xff8aa8c8, 0xffe8e0d0, 0xff7a6a4a, 0xff2e2a20},
        {0xff0e1a3a, 0xff4a5aa0, 0xff3a3a60, 0xff101020},
        {0xff203028, 0xff6a8a5a, 0xfff0b030, 0xff504010},
    }};
    const quint32 seed = 1000 + quint32(index) * 7919;
    switch (index % 3) {
    case 0:
        return lakePhoto(seed, palettes[size_t(index)]);
    case 1:
        return cityPhoto(seed, palettes[size_t(index)]);
    default:
        return closeUpPhoto(seed, palettes[size_t(index)]);
    }
}

struct LayerStyle
{
    int height;
    float ridgeTop, ridgeRange, ridgeCell;
    QRgb light, dark;
    float detailCell;
    float grain; // height of the fine texture's cells against their width: < 1 for upright blades
    float grainContrast;
    quint32 seed;
};

QImage makeLayer(Layer layer)
{
    if (layer == Layer::Clouds) {
        QImage img(kLayerWidth, 320, QImage::Format_ARGB32_Premultiplied);
        for (int y = 0; y < img.height(); ++y) {
            QRgb *line = reinterpret_cast<QRgb *>(img.scanLine(y));
            const float fade = 1 - float(y) / img.height();
            for (int x = 0; x < kLayerWidth; ++x) {
                const float n = fbm(float(x), float(y) * 2, 256, 6, kLayerWidth, 77);
                const int a = int(255 * qBound(0.0f, (n - 0.48f) * 3.5f, 1.0f) * fade);
                const int v = 200 + int(55 * n);
                line[x] = qPremultiply(qRgba(v, v, qMin(255, v + 8), a));
            }
        }
        return img;
    }
    static const LayerStyle styles[] = {
        {360, 40, 220, 512, 0xff8a9ab8, 0xff4a5a7a, 64, 0.5f, 0.25f, 31}, // mountains: strata
        {420, 70, 150, 256, 0xff5a8a4a, 0xff22401e, 24, 1.0f, 0.6f, 53},  // hills: woods
        {260, 20, 70, 128, 0xff5a7a2a, 0xff1a2410, 8, 0.3f, 0.8f, 97},    // ground: grass
    };
    const LayerStyle &st = styles[int(layer) - 1];
    QImage img(kLayerWidth, st.height, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    for (int x = 0; x < kLayerWidth; ++x) {
        const float high = fbm(float(x), 0, st.ridgeCell, 7, kLayerWidth, st.seed);
        const float ridge = st.ridgeTop + st.ridgeRange * high;
        // Snow lies thicker on the higher peaks.
        const float snow = layer == Layer::Mountains ? qMax(0.0f, 0.55f - high) * 160 : 0;
        for (int y = qMax(0, int(ridge)); y < st.height; ++y) {
            const float depth = (y - ridge) / (st.height - ridge);
            const float n = fbm(float(x), float(y), st.detailCell, 4, kLayerWidth, st.seed + 5);
            const float fine = fbm(float(x), float(y) * st.grain, 4, 2, kLayerWidth, st.seed + 9);
            QRgb c = shade(mix(st.light, st.dark, depth * 0.8f + (n - 0.5f)),
                           0.75f + 0.5f * (n - 0.5f) + st.grainContrast * (fine - 0.5f) + 0.25f);
            if (y < ridge + snow * n)
                c = mix(c, 0xffeef2f8, 0.85f);
            const float edge = qBound(0.0f, y + 1 - ridge, 1.0f); // a soft first row
            reinterpret_cast<QRgb *>(img.scanLine(y))[x] =
                qPremultiply(qRgba(qRed(c), qGreen(c), qBlue(c), int(255 * edge)));
        }
    }
    return img;
}

// Every texture at once: the feed plays clips of the landscape, so a scene
// that needs one soon needs the others, and later frames never wait.
struct Textures
{
    std::array<QImage, kPhotoCount> photos;
    std::array<QImage, 4> layers;
};

const Textures &textures()
{
    static const Textures all = [] {
        Textures t;
        for (int i = 0; i < kPhotoCount; ++i)
            t.photos[size_t(i)] = makePhoto(i);
        for (const Layer layer : {Layer::Clouds, Layer::Mountains, Layer::Hills, Layer::Ground})
            t.layers[size_t(layer)] = makeLayer(layer);
        return t;
    }();
    return all;
}

} // namespace

QImage photo(int index)
{
    return textures().photos[size_t(qBound(0, index, kPhotoCount - 1))];
}

QImage landscapeLayer(Layer layer)
{
    return textures().layers[size_t(layer)];
}

} // namespace farm
