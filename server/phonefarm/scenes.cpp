#include "server/phonefarm/scenes.h"

#include "server/phonefarm/screen.h"

#include <QtMath>

namespace farm {

namespace {

double clampDouble(double v)
{
    return qBound(0.0, v, 1.0);
}

} // namespace

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
    const QRectF back = appBackRect(screen);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, s.pressed.kind == Hit::AppBack ? 160 : 100));
    p.drawEllipse(back);
    p.setPen(QPen(Qt::white, 5, Qt::SolidLine, Qt::RoundCap));
    const QPointF c = back.center();
    p.drawLine(QPointF(c.x() + 8, c.y() - 18), QPointF(c.x() - 10, c.y()));
    p.drawLine(QPointF(c.x() - 10, c.y()), QPointF(c.x() + 8, c.y() + 18));
}

} // namespace farm
