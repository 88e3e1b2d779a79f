#include "server/phonefarm/scenes.h"

#include "server/phonefarm/screen.h"
#include "server/phonefarm/textures.h"

#include <QtMath>

#include <cmath>

namespace farm {

namespace {

double clampDouble(double v)
{
    return qBound(0.0, v, 1.0);
}

} // namespace

void drawRoundBack(QPainter &p, const PhoneState &s, const QSize &screen)
{
    const QRectF back = appBackRect(screen);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, s.pressed.kind == Hit::AppBack ? 160 : 100));
    p.drawEllipse(back);
    p.setPen(QPen(Qt::white, 5, Qt::SolidLine, Qt::RoundCap));
    const QPointF c = back.center();
    p.drawLine(QPointF(c.x() + 8, c.y() - 18), QPointF(c.x() - 10, c.y()));
    p.drawLine(QPointF(c.x() - 10, c.y()), QPointF(c.x() + 8, c.y() + 18));
}

void drawRacer(QPainter &p, const AppInfo &app, const PhoneState &s, const QSize &screen, qint64 nowMs)
{
    const double w = screen.width(), h = screen.height();
    const qint64 elapsed = qMax<qint64>(0, nowMs - s.appOpenedMs);
    QLinearGradient sky(0, 0, 0, h * 0.45);
    sky.setColorAt(0, QColor(40, 110, 200));
    sky.setColorAt(1, QColor(170, 210, 250));
    p.fillRect(QRectF(0, 0, w, h * 0.45), sky);
    p.fillRect(QRectF(0, h * 0.45, w, h * 0.55), QColor(70, 150, 70));
    const QPointF horizon(w / 2, h * 0.45);
    QPolygonF road;
    road << horizon + QPointF(-20, 0) << horizon + QPointF(20, 0) << QPointF(w * 0.85, h)
         << QPointF(w * 0.15, h);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(60, 60, 66));
    p.drawPolygon(road);
    // Stripes run toward the viewer: their depth cycles with time.
    p.setBrush(QColor(245, 245, 245));
    const double phase = (elapsed % 600) / 600.0;
    for (int i = 0; i < 8; ++i) {
        const double t0 = clampDouble((i + phase) / 8.0), t1 = clampDouble((i + phase + 0.4) / 8.0);
        const double y0 = horizon.y() + (h - horizon.y()) * t0 * t0,
                     y1 = horizon.y() + (h - horizon.y()) * t1 * t1;
        const double hw0 = 2 + 10 * t0 * t0, hw1 = 2 + 10 * t1 * t1;
        QPolygonF stripe;
        stripe << QPointF(w / 2 - hw0, y0) << QPointF(w / 2 + hw0, y0) << QPointF(w / 2 + hw1, y1)
               << QPointF(w / 2 - hw1, y1);
        p.drawPolygon(stripe);
    }
    const double carX = w / 2 + qSin(elapsed / 700.0) * w * 0.12;
    const QRectF car(carX - 90, h - 240, 180, 110);
    p.setBrush(QColor(0, 0, 0, 80));
    p.drawRoundedRect(car.translated(0, 14), 20, 20);
    p.setBrush(app.color);
    p.drawRoundedRect(car, 20, 20);
    p.setBrush(QColor(30, 30, 40));
    p.drawRoundedRect(QRectF(car.left() + 30, car.top() + 14, 120, 36), 8, 8);
    p.setPen(Qt::white);
    p.setFont(uiFont(34, true));
    p.drawText(QRectF(w - 360, 56, 330, 50), Qt::AlignRight | Qt::AlignVCenter,
               QStringLiteral("得分 %1").arg(elapsed / 100));
    drawRoundBack(p, s, screen);
}

namespace {

// Draws a repeating strip so that its left edge sits at -offset, in whole pixels of the device.
void drawStrip(QPainter &p, const QImage &strip, double offset, double y, double width)
{
    const double scale = p.transform().m11();
    const double start = -std::fmod(offset, double(strip.width()));
    for (double x = std::round(start * scale) / scale; x < width; x += strip.width())
        p.drawImage(QPointF(x, std::round(y * scale) / scale), strip);
}

} // namespace

void drawLandscape(QPainter &p, double t, const QSizeF &box)
{
    // Made for 1280x720; any other box is covered, centred.
    constexpr double kW = 1280, kH = 720;
    const double k = qMax(box.width() / kW, box.height() / kH);
    p.save();
    p.setClipRect(QRectF(QPointF(0, 0), box), Qt::IntersectClip);
    p.translate((box.width() - kW * k) / 2, (box.height() - kH * k) / 2);
    p.scale(k, k);
    // Shrunk pictures are filtered, as a real video's would be.
    p.setRenderHint(QPainter::SmoothPixmapTransform, p.transform().m11() < 1);
    // Light goes from midday to dusk and back every 24 s.
    const double day = 0.5 + 0.5 * std::cos(2 * M_PI * t / 24);
    const auto blend = [day](QColor dusk, QColor noon) {
        return QColor(int(dusk.red() + (noon.red() - dusk.red()) * day),
                      int(dusk.green() + (noon.green() - dusk.green()) * day),
                      int(dusk.blue() + (noon.blue() - dusk.blue()) * day));
    };
    QLinearGradient sky(0, 0, 0, kH * 0.6);
    sky.setColorAt(0, blend(QColor(40, 36, 96), QColor(46, 110, 200)));
    sky.setColorAt(1, blend(QColor(250, 150, 90), QColor(196, 222, 250)));
    p.fillRect(QRectF(0, 0, kW, kH), sky);
    const QPointF sun(kW * 0.72 - 8 * t, 110 + (1 - day) * 250);
    QRadialGradient glow(sun, 220);
    glow.setColorAt(0, QColor(255, 250, 225, 255));
    glow.setColorAt(0.12, QColor(255, 240, 200, 230));
    glow.setColorAt(1, QColor(255, 220, 160, 0));
    p.fillRect(QRectF(sun.x() - 220, sun.y() - 220, 440, 440), glow);
    // The camera travels sideways and sways a little; nearer layers move faster.
    const double travel = 140 * t;
    const double sway = 6 * std::sin(2 * M_PI * t / 2.3);
    drawStrip(p, landscapeLayer(Layer::Clouds), travel * 0.1 + 40 * t * 0.1, 10, kW);
    drawStrip(p, landscapeLayer(Layer::Mountains), travel * 0.3, 190 + sway * 0.3, kW);
    drawStrip(p, landscapeLayer(Layer::Hills), travel, 330 + sway, kW);
    drawStrip(p, landscapeLayer(Layer::Ground), travel * 3, kH - 230 + sway * 2, kW);
    // A cloud's shadow drifts over the land; dusk tints everything.
    const double shadowX = std::fmod(90 * t, kW + 1200) - 600;
    QLinearGradient shadow(shadowX - 300, 0, shadowX + 300, 0);
    shadow.setColorAt(0, QColor(0, 0, 20, 0));
    shadow.setColorAt(0.5, QColor(0, 0, 20, 80));
    shadow.setColorAt(1, QColor(0, 0, 20, 0));
    p.fillRect(QRectF(shadowX - 300, kH * 0.45, 600, kH * 0.55), shadow);
    p.fillRect(QRectF(0, 0, kW, kH), QColor(255, 120, 40, int(70 * (1 - day))));
    p.restore();
}

void drawVideo(QPainter &p, const PhoneState &s, const QSize &screen, qint64 nowMs)
{
    const double t = qMax<qint64>(0, nowMs - s.appOpenedMs) / 1000.0;
    const double w = screen.width(), h = screen.height();
    drawLandscape(p, t, screen);
    // The player's progress bar.
    const QRectF track(40, h - 150, w - 80, 6);
    const double shown = std::fmod(t, 600) / 600;
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 90));
    p.drawRoundedRect(track, 3, 3);
    p.setBrush(QColor(255, 60, 60));
    p.drawRoundedRect(QRectF(track.left(), track.top(), track.width() * shown, track.height()), 3, 3);
    p.drawEllipse(QPointF(track.left() + track.width() * shown, track.center().y()), 12, 12);
    p.setPen(Qt::white);
    p.setFont(uiFont(26));
    const int secs = int(std::fmod(t, 600));
    p.drawText(QRectF(track.left(), track.top() - 48, 400, 40), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("%1:%2 / 10:00")
                   .arg(secs / 60, 2, 10, QLatin1Char('0'))
                   .arg(secs % 60, 2, 10, QLatin1Char('0')));
    drawRoundBack(p, s, screen);
}

} // namespace farm
