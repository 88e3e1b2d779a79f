#include "resources/tools/drawimages.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <tuple>

namespace {

void phoneSilhouette(QPainter &p, const QRectF &r, qreal angle, int alpha)
{
    p.save();
    p.translate(r.center());
    p.rotate(angle);
    const QRectF body(-r.width() / 2, -r.height() / 2, r.width(), r.height());
    p.setPen(QPen(QColor(255, 255, 255, alpha + 40), 3));
    p.setBrush(QColor(255, 255, 255, alpha));
    p.drawRoundedRect(body, r.width() * 0.14, r.width() * 0.14);
    const QRectF screen =
        body.adjusted(r.width() * 0.07, r.height() * 0.08, -r.width() * 0.07, -r.height() * 0.1);
    QLinearGradient glow(screen.topLeft(), screen.bottomRight());
    glow.setColorAt(0, QColor(255, 255, 255, alpha + 50));
    glow.setColorAt(1, QColor(120, 230, 240, alpha + 20));
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawRoundedRect(screen, 6, 6);
    // A few app tiles on the screen.
    p.setBrush(QColor(255, 255, 255, alpha + 80));
    const qreal tile = screen.width() / 5;
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            p.drawRoundedRect(QRectF(screen.left() + tile * (0.5 + col * 1.5),
                                     screen.top() + tile * (0.7 + row * 1.5), tile, tile),
                              tile * 0.25, tile * 0.25);
    p.restore();
}

} // namespace

namespace drawimages {

// The preview tile's picture until its phone's first frame arrives: a dark screen with a phone outline
// and three waiting dots. Scaled to every tile size, so it keeps to simple shapes.
QImage previewPlaceholder()
{
    const qreal w = 180;
    const qreal h = 322;
    QImage image(int(w), int(h), QImage::Format_ARGB32_Premultiplied);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient back(0, 0, 0, h);
    back.setColorAt(0, QColor(58, 66, 72));
    back.setColorAt(1, QColor(30, 35, 40));
    p.fillRect(QRectF(0, 0, w, h), back);
    const QRectF phone(w / 2 - 22, h / 2 - 48, 44, 80);
    p.setPen(QPen(QColor(255, 255, 255, 150), 2.5));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(phone, 7, 7);
    p.drawLine(QPointF(w / 2 - 7, phone.top() + 7), QPointF(w / 2 + 7, phone.top() + 7));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 150));
    p.drawEllipse(QPointF(w / 2, phone.bottom() - 8), 3, 3);
    for (int i = 0; i < 3; ++i) {
        QColor dot = accent;
        dot.setAlpha(110 + 60 * i);
        p.setBrush(dot);
        p.drawEllipse(QPointF(w / 2 - 14 + 14 * i, phone.bottom() + 26), 3.5, 3.5);
    }
    return image;
}

QImage loginBackground()
{
    const int w = 1280;
    const int h = 760;
    QImage image(w, h, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    QLinearGradient sky(0, 0, w, h);
    sky.setColorAt(0, QColor(31, 206, 219));
    sky.setColorAt(0.55, QColor(24, 150, 196));
    sky.setColorAt(1, deep);
    p.fillRect(image.rect(), sky);

    // Soft light discs, the "cloud".
    for (const auto &disc :
         {std::make_tuple(QPointF(250, 180), 320.0, 60), std::make_tuple(QPointF(640, 620), 420.0, 40),
          std::make_tuple(QPointF(1100, 120), 260.0, 35)}) {
        QRadialGradient light(std::get<0>(disc), std::get<1>(disc));
        light.setColorAt(0, QColor(255, 255, 255, std::get<2>(disc)));
        light.setColorAt(1, QColor(255, 255, 255, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(light);
        p.drawEllipse(std::get<0>(disc), std::get<1>(disc), std::get<1>(disc));
    }

    // Gentle waves along the bottom.
    for (int i = 0; i < 3; ++i) {
        QPainterPath wave;
        const qreal base = 600 + i * 45;
        wave.moveTo(0, base);
        wave.cubicTo(w * 0.3, base - 70 + i * 15, w * 0.6, base + 60, w, base - 30);
        wave.lineTo(w, h);
        wave.lineTo(0, h);
        wave.closeSubpath();
        p.setBrush(QColor(255, 255, 255, 18 + i * 8));
        p.drawPath(wave);
    }

    phoneSilhouette(p, QRectF(465, 230, 170, 330), -8, 40);
    phoneSilhouette(p, QRectF(590, 200, 190, 370), 0, 55);
    phoneSilhouette(p, QRectF(730, 245, 160, 310), 9, 35);

    p.setPen(Qt::white);
    QFont title(QStringLiteral("Noto Sans CJK SC"));
    title.setPixelSize(46);
    title.setWeight(QFont::Bold);
    p.setFont(title);
    p.drawText(QPointF(90, 250), QStringLiteral("Pelomir云手机"));
    QFont line(QStringLiteral("Noto Sans CJK SC"));
    line.setPixelSize(22);
    p.setFont(line);
    p.setPen(QColor(255, 255, 255, 220));
    p.drawText(QPointF(92, 300), QStringLiteral("云端手机 · 随时随地 · 批量管理"));
    p.setPen(QPen(highlight, 4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(94, 326), QPointF(170, 326));
    return image;
}

} // namespace drawimages
