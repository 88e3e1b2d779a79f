// Draws the client's images into resources/image and resources/img. Run by hand after changing a
// drawing: pelomir-drawimages <resources directory>. The results are committed with the sources.
#include "resources/tools/drawimages.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cstdio>
#include <functional>

using namespace drawimages;

namespace {

using Drawing = std::function<void(QPainter &, qreal size)>;

QImage draw(int width, int height, const Drawing &drawing, qreal scale = 1.0)
{
    QImage image(width, height, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(scale, scale);
    drawing(p, qMin(width, height) / scale);
    return image;
}

bool save(const QImage &image, const QString &path, const char *format = "PNG")
{
    if (!image.save(path, format)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// Window-button glyphs on a 16-unit grid, white, for the title bar.
void minimiseGlyph(QPainter &p, qreal)
{
    p.setPen(QPen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(3.5, 8.5), QPointF(12.5, 8.5));
}

void maximiseGlyph(QPainter &p, qreal)
{
    p.setPen(QPen(Qt::white, 1.4));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(3.5, 3.5, 9, 9), 1.2, 1.2);
}

void restoreGlyph(QPainter &p, qreal)
{
    p.setPen(QPen(Qt::white, 1.3));
    p.setBrush(Qt::NoBrush);
    QPainterPath back;
    back.moveTo(5.5, 4.5);
    back.lineTo(5.5, 2.5);
    back.lineTo(13.5, 2.5);
    back.lineTo(13.5, 10.5);
    back.lineTo(11.5, 10.5);
    p.drawPath(back);
    p.drawRoundedRect(QRectF(2.5, 5.5, 8, 8), 1, 1);
}

void crossGlyph(QPainter &p, qreal, qreal width)
{
    p.setPen(QPen(Qt::white, width, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(4, 4), QPointF(12, 12));
    p.drawLine(QPointF(12, 4), QPointF(4, 12));
}

// The faint ring behind a title-bar button's glyph (28 x 28).
void buttonPlate(QPainter &p)
{
    p.setPen(QPen(QColor(255, 255, 255, 70), 1.2));
    p.setBrush(QColor(255, 255, 255, 28));
    p.drawEllipse(QRectF(1.5, 1.5, 25, 25));
}

void logo(QPainter &p, qreal)
{
    // A rounded phone over a cloud-like disc, on a 24-unit grid.
    QLinearGradient disc(0, 0, 24, 24);
    disc.setColorAt(0, QColor(255, 255, 255));
    disc.setColorAt(1, QColor(214, 246, 249));
    p.setPen(Qt::NoPen);
    p.setBrush(disc);
    p.drawEllipse(QRectF(0.5, 0.5, 23, 23));
    p.setBrush(accent);
    p.drawRoundedRect(QRectF(7.5, 4, 9, 16), 2, 2);
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(8.8, 6, 6.4, 10.6), 0.8, 0.8);
    p.setBrush(accent);
    p.drawEllipse(QRectF(11.2, 17.6, 1.6, 1.6));
    p.setBrush(highlight);
    p.drawEllipse(QRectF(14.5, 3, 5, 5));
}

void homeIcon(QPainter &p, qreal)
{
    p.setPen(QPen(Qt::white, 1.3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    QPainterPath roof;
    roof.moveTo(1.5, 7.5);
    roof.lineTo(7, 2);
    roof.lineTo(12.5, 7.5);
    p.drawPath(roof);
    p.drawRect(QRectF(3.5, 7, 7, 5.5));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(6.2, 9.2, 1.6, 3.3));
}

void downloadIcon(QPainter &p, qreal)
{
    p.setPen(QPen(Qt::white, 1.3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(QPointF(7, 1.5), QPointF(7, 9));
    p.drawLine(QPointF(4, 6.2), QPointF(7, 9.2));
    p.drawLine(QPointF(10, 6.2), QPointF(7, 9.2));
    p.drawLine(QPointF(2, 12.3), QPointF(12, 12.3));
}

void groupIcon(QPainter &p, qreal)
{
    // Two speech bubbles: the customer group.
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(0.8, 1.5, 8.5, 7));
    QPainterPath tail;
    tail.moveTo(2.5, 7.2);
    tail.lineTo(1.8, 10);
    tail.lineTo(5, 8);
    p.drawPath(tail);
    p.setBrush(highlight);
    p.drawEllipse(QRectF(5.2, 5.2, 8, 6.5));
    p.setBrush(accent);
    for (qreal x : {7.3, 9.2, 11.1})
        p.drawEllipse(QRectF(x - 0.6, 7.9, 1.2, 1.2));
}

void userIcon(QPainter &p, qreal)
{
    p.setPen(QPen(Qt::white, 1.4));
    p.setBrush(QColor(255, 255, 255, 60));
    p.drawEllipse(QRectF(1, 1, 22, 22));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(8.2, 5.2, 7.6, 7.6));
    QPainterPath body;
    body.moveTo(4.8, 19.5);
    body.cubicTo(5.8, 14.5, 18.2, 14.5, 19.2, 19.5);
    body.cubicTo(15.5, 22.8, 8.5, 22.8, 4.8, 19.5);
    p.drawPath(body);
}

// Field icons: 16 x 16 glyphs drawn 3 units in from the left of an 18-unit-wide image.
void phoneField(QPainter &p, qreal)
{
    p.translate(3, 0);
    p.setPen(QPen(grey, 1.3));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(3.5, 1.5, 8, 13), 1.6, 1.6);
    p.setPen(QPen(grey, 1.3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(6.5, 12.3), QPointF(8.5, 12.3));
}

void lockField(QPainter &p, qreal)
{
    p.translate(3, 0);
    p.setPen(QPen(grey, 1.3));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(4.5, 1.5, 7, 8), 0, 180 * 16);
    p.drawLine(QPointF(4.5, 5.5), QPointF(4.5, 7));
    p.drawLine(QPointF(11.5, 5.5), QPointF(11.5, 7));
    p.setBrush(grey);
    p.drawRoundedRect(QRectF(3, 7, 10, 7.5), 1.2, 1.2);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(7.1, 9.4, 1.8, 1.8));
}

void codeField(QPainter &p, qreal)
{
    // A shield with a tick: a one-time code.
    p.translate(3, 0);
    QPainterPath shield;
    shield.moveTo(8, 1.2);
    shield.lineTo(13.8, 3.4);
    shield.cubicTo(13.8, 9.5, 11.5, 12.8, 8, 14.8);
    shield.cubicTo(4.5, 12.8, 2.2, 9.5, 2.2, 3.4);
    shield.closeSubpath();
    p.setPen(QPen(grey, 1.3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(shield);
    p.drawLine(QPointF(5.4, 8), QPointF(7.4, 10));
    p.drawLine(QPointF(7.4, 10), QPointF(10.8, 6));
}

// Control-window glyphs: white strokes on a 20-unit grid.
QPen glyphPen(qreal width = 1.6)
{
    return QPen(Qt::white, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

void speaker(QPainter &p)
{
    QPainterPath body;
    body.moveTo(2.5, 7.5);
    body.lineTo(5.5, 7.5);
    body.lineTo(9.5, 3.5);
    body.lineTo(9.5, 16.5);
    body.lineTo(5.5, 12.5);
    body.lineTo(2.5, 12.5);
    body.closeSubpath();
    p.setPen(glyphPen(1.4));
    p.setBrush(Qt::white);
    p.drawPath(body);
}

void volumeGlyph(QPainter &p, bool up)
{
    speaker(p);
    p.setPen(glyphPen());
    p.drawLine(QPointF(12.5, 10), QPointF(18, 10));
    if (up)
        p.drawLine(QPointF(15.25, 7.25), QPointF(15.25, 12.75));
}

void circularArrow(QPainter &p)
{
    p.setPen(glyphPen());
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(3.5, 3.5, 13, 13), 100 * 16, 290 * 16);
    QPainterPath head;
    head.moveTo(9.2, 0.8);
    head.lineTo(12.4, 3.6);
    head.lineTo(9.0, 6.2);
    p.drawPath(head);
}

void restartGlyph(QPainter &p, qreal)
{
    circularArrow(p);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(8.6, 8.6, 2.8, 2.8));
}

void resetGlyph(QPainter &p, qreal)
{
    circularArrow(p);
    p.setPen(glyphPen(1.4));
    p.drawLine(QPointF(10, 6.8), QPointF(10, 10.8));
    p.drawPoint(QPointF(10, 13.2));
}

void uploadGlyph(QPainter &p, qreal)
{
    p.setPen(glyphPen());
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(10, 2.5), QPointF(10, 12.5));
    p.drawLine(QPointF(6, 6.5), QPointF(10, 2.5));
    p.drawLine(QPointF(14, 6.5), QPointF(10, 2.5));
    QPainterPath tray;
    tray.moveTo(3, 12);
    tray.lineTo(3, 17);
    tray.lineTo(17, 17);
    tray.lineTo(17, 12);
    p.drawPath(tray);
}

void renewalGlyph(QPainter &p, qreal)
{
    // A clock face: more time.
    p.setPen(glyphPen());
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(2.5, 2.5, 15, 15));
    p.drawLine(QPointF(10, 5.5), QPointF(10, 10));
    p.drawLine(QPointF(10, 10), QPointF(13.5, 12));
}

void exitGlyph(QPainter &p, qreal)
{
    p.setPen(glyphPen());
    p.setBrush(Qt::NoBrush);
    QPainterPath door;
    door.moveTo(9, 3);
    door.lineTo(3.5, 3);
    door.lineTo(3.5, 17);
    door.lineTo(9, 17);
    p.drawPath(door);
    p.drawLine(QPointF(8, 10), QPointF(17, 10));
    p.drawLine(QPointF(14, 7), QPointF(17, 10));
    p.drawLine(QPointF(14, 13), QPointF(17, 10));
}

void screenshotGlyph(QPainter &p, qreal)
{
    // The corners of a frame around a dot.
    p.setPen(glyphPen());
    p.setBrush(Qt::NoBrush);
    for (const QPointF &corner : {QPointF(3, 3), QPointF(17, 3), QPointF(17, 17), QPointF(3, 17)}) {
        const qreal dx = corner.x() < 10 ? 4 : -4;
        const qreal dy = corner.y() < 10 ? 4 : -4;
        p.drawLine(corner, corner + QPointF(dx, 0));
        p.drawLine(corner, corner + QPointF(0, dy));
    }
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(7, 7, 6, 6));
}

void recordGlyph(QPainter &p, qreal)
{
    // A ring around a red dot: the record button at rest.
    p.setPen(glyphPen());
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(3, 3, 14, 14));
    p.setPen(Qt::NoPen);
    p.setBrush(recording);
    p.drawEllipse(QRectF(6.5, 6.5, 7, 7));
}

void recordingGlyph(QPainter &p, qreal)
{
    // A red ring around a stop square, shown while recording.
    QPen ring = glyphPen();
    ring.setColor(recording);
    p.setPen(ring);
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(3, 3, 14, 14));
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(7, 7, 6, 6));
}

void missionGlyph(QPainter &p, qreal)
{
    p.setPen(glyphPen());
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(QRectF(4.5, 4.5, 11, 11), 1.5, 1.5);
}

void desktopGlyph(QPainter &p, qreal)
{
    p.setPen(glyphPen());
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(4, 4, 12, 12));
}

void returnGlyph(QPainter &p, qreal)
{
    QPainterPath back;
    back.moveTo(14.5, 4);
    back.lineTo(14.5, 16);
    back.lineTo(4.5, 10);
    back.closeSubpath();
    p.setPen(glyphPen());
    p.setBrush(Qt::NoBrush);
    p.drawPath(back);
}

// The tick inside a checked check box of the device tree (13 x 13, inside the 1-pixel border).
void tickGlyph(QPainter &p, qreal)
{
    p.setPen(QPen(Qt::white, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    QPainterPath tick;
    tick.moveTo(3, 6.8);
    tick.lineTo(5.6, 9.4);
    tick.lineTo(10.2, 4);
    p.drawPath(tick);
}

// The knob of the toolbar's sync switch: a white disc with a soft rim, 36 x 36 so that it fills the
// switch's height, the disc 28 across with 4 transparent units around it.
void switchKnob(QPainter &p, qreal)
{
    p.setPen(QPen(QColor(0, 0, 0, 30), 1.0));
    p.setBrush(Qt::white);
    p.drawEllipse(QRectF(4, 4, 28, 28));
}

// A shopping cart in the accent colour for the toolbar's buy button, on a 24-unit grid.
void cartGlyph(QPainter &p, qreal)
{
    p.setPen(QPen(accent, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    QPainterPath cart;
    cart.moveTo(2.5, 4);
    cart.lineTo(5.5, 4);
    cart.lineTo(8, 15.5);
    cart.lineTo(19, 15.5);
    cart.lineTo(21, 7.5);
    cart.lineTo(6.5, 7.5);
    p.drawPath(cart);
    p.setPen(Qt::NoPen);
    p.setBrush(accent);
    p.drawEllipse(QRectF(7.8, 17.8, 3.2, 3.2));
    p.drawEllipse(QRectF(16.2, 17.8, 3.2, 3.2));
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: pelomir-drawimages RESOURCES_DIR\n");
        return 2;
    }
    const QDir root(QString::fromLocal8Bit(argv[1]));
    root.mkpath(QStringLiteral("image"));
    root.mkpath(QStringLiteral("img"));
    auto image = [&](const char *name) {
        return root.filePath(QStringLiteral("image/") + QLatin1String(name));
    };
    auto icon = [&](const char *name) { return root.filePath(QStringLiteral("img/") + QLatin1String(name)); };

    bool ok = true;
    // Window-button icons at 32 x 32; the toolkit scales them to the button's icon size.
    ok &= save(draw(32, 32, minimiseGlyph, 2), icon("min.ico"), "ICO");
    ok &= save(draw(32, 32, maximiseGlyph, 2), icon("max.ico"), "ICO");
    ok &= save(draw(32, 32, restoreGlyph, 2), icon("restore.ico"), "ICO");
    ok &= save(draw(28, 28, [](QPainter &p, qreal) { buttonPlate(p); }), image("min.png"));
    ok &= save(draw(28, 28, [](QPainter &p, qreal) { buttonPlate(p); }), image("max.png"));
    ok &= save(draw(28, 28,
                    [](QPainter &p, qreal s) {
                        buttonPlate(p);
                        p.translate(6, 6);
                        crossGlyph(p, s, 1.6);
                    }),
               image("close.png"));
    ok &= save(draw(24, 24,
                    [](QPainter &p, qreal s) {
                        p.translate(4, 4);
                        crossGlyph(p, s, 1.8);
                    }),
               image("close_min.png"));
    ok &= save(draw(96, 96, logo, 4), image("logo.png"));
    ok &= save(draw(14, 14, homeIcon), image("home.png"));
    ok &= save(draw(14, 14, downloadIcon), image("download_app.png"));
    ok &= save(draw(14, 14, groupIcon), image("qq.png"));
    ok &= save(draw(48, 48, userIcon, 2), image("nologin.png"));
    ok &= save(draw(18, 16, phoneField), image("phone_login.png"));
    ok &= save(draw(18, 16, lockField), image("pass.png"));
    ok &= save(draw(18, 16, codeField), image("verification.png"));
    ok &= save(loginBackground(), image("login_bg.png"));
    ok &= save(previewPlaceholder(), image("back_preview.png"));
    // Control window: title-bar buttons at 24 x 24, tool and navigation glyphs at 40 x 40.
    ok &= save(draw(24, 24,
                    [](QPainter &p, qreal s) {
                        p.translate(4, 4);
                        minimiseGlyph(p, s);
                    }),
               image("min_min.png"));
    ok &= save(draw(24, 24,
                    [](QPainter &p, qreal s) {
                        p.translate(4, 4);
                        maximiseGlyph(p, s);
                    }),
               image("max_min.png"));
    ok &= save(draw(
                   40, 40, [](QPainter &p, qreal) { volumeGlyph(p, true); }, 2),
               image("voladd_dev.png"));
    ok &= save(draw(
                   40, 40, [](QPainter &p, qreal) { volumeGlyph(p, false); }, 2),
               image("volsub_dev.png"));
    ok &= save(draw(40, 40, resetGlyph, 2), image("reset_dev.png"));
    ok &= save(draw(40, 40, uploadGlyph, 2), image("upload_dev.png"));
    ok &= save(draw(40, 40, renewalGlyph, 2), image("renewal_dev.png"));
    ok &= save(draw(40, 40, restartGlyph, 2), image("restart_dev.png"));
    ok &= save(draw(40, 40, exitGlyph, 2), image("exit_dev.png"));
    ok &= save(draw(40, 40, screenshotGlyph, 2), image("screenshot.png"));
    ok &= save(draw(40, 40, recordGlyph, 2), image("record_dev.png"));
    ok &= save(draw(40, 40, recordingGlyph, 2), image("recording_dev.png"));
    ok &= save(draw(40, 40, missionGlyph, 2), image("mission_dev.png"));
    ok &= save(draw(40, 40, desktopGlyph, 2), image("desktop_dev.png"));
    ok &= save(draw(40, 40, returnGlyph, 2), image("return_dev.png"));
    ok &= save(draw(13, 13, tickGlyph), image("selected.png"));
    ok &= save(draw(36, 36, switchKnob), image("round.png"));
    ok &= save(draw(48, 48, cartGlyph, 2), image("buy.png"));
    return ok ? 0 : 1;
}
