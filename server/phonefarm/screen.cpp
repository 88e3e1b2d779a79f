#include "server/phonefarm/screen.h"

#include "server/phonefarm/scenes.h"

#include <QDateTime>
#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>
#include <QtMath>

namespace farm {

namespace {

constexpr int kStatusBar = 48;
constexpr int kStatusBarLandscape = 40;
constexpr int kNavBar = 96;
constexpr int kNavBarLandscape = 72;
constexpr int kAppBar = 112;
constexpr int kLauncherTop = 200;
constexpr int kMaxRecentCards = 4;

int launcherColumns(int count)
{
    return count <= 20 ? 4 : count <= 30 ? 5 : 6;
}

QRectF launcherCell(int index, int count)
{
    const int cols = launcherColumns(count);
    const double cellW = double(kScreenWidth) / cols;
    const double cellH = cols == 4 ? 196 : cols == 5 ? 166 : 138;
    return QRectF((index % cols) * cellW, kLauncherTop + (index / cols) * cellH, cellW, cellH);
}

bool launcherCellVisible(int index, int count)
{
    return launcherCell(index, count).bottom() <= kScreenHeight - kNavBar;
}

QRectF appButtonRect()
{
    return QRectF(kScreenWidth / 2.0 - 150, 580, 300, 96);
}

QRectF clearTextRect()
{
    return QRectF(kScreenWidth - 40 - 200, 880, 200, 80);
}

QRectF clearAllRect()
{
    return QRectF(kScreenWidth / 2.0 - 130, 1080, 260, 80);
}

void drawIcon(QPainter &p, const QRectF &r, const AppInfo &app, bool pressed)
{
    QColor color = app.color;
    if (pressed)
        color = color.darker(135);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 60));
    p.drawRoundedRect(r.translated(0, 4), r.width() * 0.24, r.width() * 0.24);
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, color.lighter(120));
    g.setColorAt(1, color);
    p.setBrush(g);
    p.drawRoundedRect(r, r.width() * 0.24, r.width() * 0.24);
    p.setPen(Qt::white);
    p.setFont(uiFont(int(r.height() * 0.46), true));
    p.drawText(r, Qt::AlignCenter, app.label.left(1));
}

void drawShadowText(QPainter &p, const QRectF &r, int flags, const QString &text)
{
    p.setPen(QColor(0, 0, 0, 140));
    p.drawText(r.translated(1.5, 1.5), flags, text);
    p.setPen(Qt::white);
    p.drawText(r, flags, text);
}

void drawStatusBar(QPainter &p, const PhoneState &s, const QSize &screen, bool dark)
{
    const QRectF bar = statusBarRect(screen);
    p.fillRect(bar, dark ? QColor(0, 0, 0, 90) : QColor(0, 0, 0, 40));
    p.setPen(Qt::white);
    p.setFont(uiFont(int(bar.height() * 0.55), true));
    p.drawText(bar.adjusted(24, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft,
               QTime::currentTime().toString(QStringLiteral("HH:mm")));
    double x = bar.right() - 24;
    // Battery.
    const double h = bar.height() * 0.42;
    const QRectF battery(x - h * 2, bar.center().y() - h / 2, h * 2, h);
    p.setPen(QPen(Qt::white, 2));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(battery, 3, 3);
    p.fillRect(battery.adjusted(3, 3, -3 - battery.width() * 0.2, -3), Qt::white);
    x = battery.left() - 16;
    // Signal bars.
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    for (int i = 0; i < 4; ++i) {
        const double bh = h * (0.4 + 0.2 * i);
        p.drawRect(QRectF(x - 24 + i * 6, bar.center().y() + h / 2 - bh, 4, bh));
    }
    x -= 40;
    // Wi-Fi: three arcs.
    p.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    for (int i = 1; i <= 3; ++i) {
        const double rad = i * h / 3.0;
        p.drawArc(QRectF(x - 12 - rad, bar.center().y() + h / 2 - rad, rad * 2, rad * 2), 45 * 16, 90 * 16);
    }
    x -= 44;
    p.setFont(uiFont(int(bar.height() * 0.45)));
    if (s.adbIme) {
        p.setPen(Qt::white);
        p.drawText(QRectF(x - 40, bar.top(), 40, bar.height()), Qt::AlignCenter, QStringLiteral("⌨"));
        x -= 44;
    }
    if (!s.remoteUser.isEmpty()) {
        p.setPen(QColor(0x80, 0xff, 0xa0));
        p.drawText(QRectF(x - 40, bar.top(), 40, bar.height()), Qt::AlignCenter, QStringLiteral("⇄"));
    }
}

void drawNavBar(QPainter &p, const PhoneState &s, const QSize &screen)
{
    const QRectF bar = navBarRect(screen);
    p.fillRect(bar, QColor(12, 12, 12));
    const double third = bar.width() / 3;
    const double size = bar.height() * 0.34;
    p.setRenderHint(QPainter::Antialiasing);
    for (int i = 0; i < 3; ++i) {
        const QPointF c(bar.left() + third * (i + 0.5), bar.center().y());
        const Hit::Kind kind = i == 0 ? Hit::NavBack : i == 1 ? Hit::NavHome : Hit::NavRecents;
        if (s.pressed.kind == kind) {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(255, 255, 255, 50));
            p.drawEllipse(c, size * 1.5, size * 1.5);
        }
        p.setPen(QPen(QColor(230, 230, 230), 4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        if (i == 0) {
            QPolygonF tri;
            tri << QPointF(c.x() - size * 0.6, c.y()) << QPointF(c.x() + size * 0.5, c.y() - size * 0.6)
                << QPointF(c.x() + size * 0.5, c.y() + size * 0.6);
            p.drawPolygon(tri);
        } else if (i == 1) {
            p.drawEllipse(c, size * 0.6, size * 0.6);
        } else {
            p.drawRoundedRect(QRectF(c.x() - size * 0.55, c.y() - size * 0.55, size * 1.1, size * 1.1), 4, 4);
        }
    }
}

void drawLauncher(QPainter &p, const PhoneState &s)
{
    // Search bar, for looks only.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 200));
    p.drawRoundedRect(QRectF(40, 84, kScreenWidth - 80, 72), 36, 36);
    p.setPen(QColor(90, 90, 90));
    p.setFont(uiFont(28));
    p.drawText(QRectF(80, 84, 400, 72), Qt::AlignVCenter | Qt::AlignLeft, QStringLiteral("搜索"));
    const int count = s.apps.size();
    p.setFont(uiFont(count <= 20 ? 24 : 20));
    for (int i = 0; i < count && launcherCellVisible(i, count); ++i) {
        const QRectF icon = iconRect(i, count);
        drawIcon(p, icon, s.apps[i], s.pressed.kind == Hit::Icon && s.pressed.index == i);
        const QRectF cell = launcherCell(i, count);
        p.setFont(uiFont(count <= 20 ? 24 : 20));
        const QRectF label(cell.left() + 4, icon.bottom() + 6, cell.width() - 8, 40);
        drawShadowText(p, label, Qt::AlignHCenter | Qt::AlignTop,
                       p.fontMetrics().elidedText(s.apps[i].label, Qt::ElideRight, int(label.width())));
    }
}

void drawButton(QPainter &p, const QRectF &r, const QColor &color, const QString &text, bool pressed)
{
    p.setPen(Qt::NoPen);
    p.setBrush(pressed ? color.darker(130) : color);
    p.drawRoundedRect(r, r.height() / 2, r.height() / 2);
    p.setPen(Qt::white);
    p.setFont(uiFont(30, true));
    p.drawText(r, Qt::AlignCenter, text);
}

void drawGenericApp(QPainter &p, const AppInfo &app, const PhoneState &s)
{
    p.fillRect(QRectF(0, kStatusBar + kAppBar, kScreenWidth, kScreenHeight), QColor(246, 246, 246));
    drawIcon(p, QRectF(kScreenWidth / 2.0 - 80, 210, 160, 160), app, false);
    p.setPen(QColor(30, 30, 30));
    p.setFont(uiFont(40, true));
    p.drawText(QRectF(0, 390, kScreenWidth, 60), Qt::AlignCenter, app.label);
    p.setPen(QColor(110, 110, 110));
    p.setFont(uiFont(24));
    p.drawText(QRectF(0, 450, kScreenWidth, 40), Qt::AlignCenter,
               QStringLiteral("%1  ·  版本 %2").arg(app.package, app.version));
    drawButton(p, appButtonRect(), app.color, QStringLiteral("点一下"), s.pressed.kind == Hit::AppButton);
    p.setPen(QColor(60, 60, 60));
    p.setFont(uiFont(28));
    p.drawText(QRectF(0, 700, kScreenWidth, 50), Qt::AlignCenter,
               QStringLiteral("已点击 %1 次").arg(s.taps.value(app.package)));
    p.setFont(uiFont(28));
    for (int i = 0; i < 3; ++i) {
        const QRectF row(40, 800 + i * 100, kScreenWidth - 80, 84);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawRoundedRect(row, 16, 16);
        p.setBrush(app.color.lighter(150));
        p.drawEllipse(QPointF(row.left() + 48, row.center().y()), 22, 22);
        p.setPen(QColor(50, 50, 50));
        p.drawText(row.adjusted(96, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft,
                   QStringLiteral("%1 项目 %2").arg(app.label).arg(i + 1));
    }
}

void drawNotesApp(QPainter &p, const AppInfo &app, const PhoneState &s, qint64 nowMs)
{
    p.fillRect(QRectF(0, kStatusBar + kAppBar, kScreenWidth, kScreenHeight), QColor(255, 253, 240));
    const QRectF field = textFieldRect();
    p.setPen(QPen(app.color, 3));
    p.setBrush(Qt::white);
    p.drawRoundedRect(field, 12, 12);
    const QRectF inner = field.adjusted(20, 16, -20, -16);
    const QFont font = uiFont(32);
    if (s.text.isEmpty()) {
        p.setPen(QColor(170, 170, 170));
        p.setFont(font);
        p.drawText(inner, Qt::AlignLeft | Qt::AlignTop, QStringLiteral("输入内容…"));
    }
    QTextLayout layout(s.text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    layout.setTextOption(option);
    layout.setCacheEnabled(true);
    layout.beginLayout();
    double y = 0;
    for (;;) {
        QTextLine line = layout.createLine();
        if (!line.isValid())
            break;
        line.setLineWidth(inner.width());
        line.setPosition(QPointF(0, y));
        y += line.height();
    }
    layout.endLayout();
    // Keep the cursor's line in view: scroll up once the text overflows.
    const QTextLine cursorLine = layout.lineForTextPosition(qBound(0, s.cursor, s.text.size()));
    double scroll = 0;
    if (cursorLine.isValid() && cursorLine.y() + cursorLine.height() > inner.height())
        scroll = cursorLine.y() + cursorLine.height() - inner.height();
    p.save();
    p.setClipRect(inner);
    p.setPen(QColor(20, 20, 20));
    layout.draw(&p, inner.topLeft() - QPointF(0, scroll));
    if ((nowMs / 500) % 2 == 0) {
        p.setPen(app.color.darker(120));
        layout.drawCursor(&p, inner.topLeft() - QPointF(0, scroll), s.cursor, 3);
    }
    p.restore();
    p.setPen(QColor(120, 120, 120));
    p.setFont(uiFont(26));
    p.drawText(QRectF(48, 880, 400, 80), Qt::AlignVCenter | Qt::AlignLeft,
               QStringLiteral("共 %1 字").arg(s.text.toUcs4().size()));
    drawButton(p, clearTextRect(), app.color, QStringLiteral("清空"), s.pressed.kind == Hit::ClearText);
}

void drawClockApp(QPainter &p, const AppInfo &app, const PhoneState &s, qint64 nowMs)
{
    p.fillRect(QRectF(0, kStatusBar + kAppBar, kScreenWidth, kScreenHeight), QColor(18, 20, 38));
    const qint64 elapsed = qMax<qint64>(0, nowMs - s.appOpenedMs);
    const QPointF c(kScreenWidth / 2.0, 560);
    const double r = 230;
    p.setPen(QPen(app.color.lighter(140), 6));
    p.setBrush(QColor(30, 34, 64));
    p.drawEllipse(c, r, r);
    p.setPen(QPen(QColor(200, 200, 230), 4));
    for (int i = 0; i < 60; i += 5) {
        const double a = i * M_PI / 30;
        p.drawLine(c + QPointF(qSin(a), -qCos(a)) * (r - 30), c + QPointF(qSin(a), -qCos(a)) * (r - 10));
    }
    const double seconds = (elapsed % 60000) / 1000.0;
    const double a = seconds * M_PI / 30;
    p.setPen(QPen(QColor(255, 90, 90), 5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(c, c + QPointF(qSin(a), -qCos(a)) * (r - 40));
    p.setBrush(QColor(255, 90, 90));
    p.drawEllipse(c, 10, 10);
    p.setPen(Qt::white);
    p.setFont(uiFont(72, true));
    p.drawText(QRectF(0, 830, kScreenWidth, 110), Qt::AlignCenter,
               QStringLiteral("%1:%2.%3")
                   .arg(elapsed / 60000, 2, 10, QLatin1Char('0'))
                   .arg((elapsed / 1000) % 60, 2, 10, QLatin1Char('0'))
                   .arg((elapsed / 10) % 100, 2, 10, QLatin1Char('0')));
    p.setFont(uiFont(28));
    p.setPen(QColor(170, 170, 200));
    p.drawText(QRectF(0, 950, kScreenWidth, 50), Qt::AlignCenter, QStringLiteral("秒表"));
}

void drawSettingsApp(QPainter &p, const PhoneState &s)
{
    p.fillRect(QRectF(0, kStatusBar + kAppBar, kScreenWidth, kScreenHeight), QColor(240, 242, 245));
    const QList<QPair<QString, QString>> rows = {
        {QStringLiteral("设备编号"), s.deviceId},
        {QStringLiteral("系统版本"), QStringLiteral("Android 12（云手机）")},
        {QStringLiteral("屏幕"), QStringLiteral("%1 × %2").arg(s.panel.width()).arg(s.panel.height())},
        {QStringLiteral("输入法"), s.adbIme ? QStringLiteral("ADB Keyboard") : QStringLiteral("默认键盘")},
        {QStringLiteral("音量"), QStringLiteral("%1 / 15").arg(s.volume)},
        {QStringLiteral("已安装应用"), QStringLiteral("%1 个").arg(s.apps.size())},
        {QStringLiteral("下载"), QStringLiteral("%1 个文件").arg(s.downloads.size())},
        {QStringLiteral("远程控制"), s.remoteUser.isEmpty() ? QStringLiteral("未登录") : s.remoteUser},
    };
    for (int i = 0; i < rows.size(); ++i) {
        const QRectF row(0, 190 + i * 104, kScreenWidth, 100);
        p.fillRect(row, Qt::white);
        p.setPen(QColor(40, 40, 40));
        p.setFont(uiFont(30));
        p.drawText(row.adjusted(40, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft, rows[i].first);
        p.setPen(QColor(120, 120, 120));
        p.setFont(uiFont(26));
        p.drawText(row.adjusted(0, 0, -40, 0), Qt::AlignVCenter | Qt::AlignRight, rows[i].second);
    }
}

void drawRecents(QPainter &p, const PhoneState &s)
{
    p.fillRect(QRectF(0, 0, kScreenWidth, kScreenHeight), QColor(38, 40, 44));
    p.setPen(Qt::white);
    p.setFont(uiFont(34, true));
    p.drawText(QRectF(0, 70, kScreenWidth, 60), Qt::AlignCenter, QStringLiteral("最近任务"));
    if (s.recents.isEmpty()) {
        p.setPen(QColor(170, 170, 170));
        p.setFont(uiFont(30));
        p.drawText(QRectF(0, 500, kScreenWidth, 80), Qt::AlignCenter, QStringLiteral("没有最近的任务"));
        return;
    }
    for (int i = 0; i < s.recents.size() && i < kMaxRecentCards; ++i) {
        const AppInfo *app = s.app(s.recents[i]);
        const QRectF card = recentCardRect(i);
        const bool pressed = s.pressed.kind == Hit::RecentCard && s.pressed.index == i;
        p.setPen(Qt::NoPen);
        p.setBrush(pressed ? QColor(220, 220, 220) : Qt::white);
        p.drawRoundedRect(card, 20, 20);
        const QColor color = app ? app->color : QColor(Qt::gray);
        QPainterPath header;
        header.addRoundedRect(QRectF(card.left(), card.top(), card.width(), 60), 20, 20);
        p.fillPath(header, color);
        p.setPen(Qt::white);
        p.setFont(uiFont(28, true));
        p.drawText(QRectF(card.left() + 24, card.top(), card.width() - 48, 60),
                   Qt::AlignVCenter | Qt::AlignLeft, app ? app->label : s.recents[i]);
        p.setPen(QColor(120, 120, 120));
        p.setFont(uiFont(22));
        p.drawText(card.adjusted(24, 70, -24, -10), Qt::AlignLeft | Qt::AlignTop, s.recents[i]);
    }
    drawButton(p, clearAllRect(), QColor(90, 94, 100), QStringLiteral("全部清除"),
               s.pressed.kind == Hit::ClearAll);
}

void drawVolume(QPainter &p, const PhoneState &s, const QSize &screen)
{
    const QRectF panel(screen.width() - 110, screen.height() * 0.25, 70, 360);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(30, 30, 30, 210));
    p.drawRoundedRect(panel, 35, 35);
    const QRectF track = panel.adjusted(28, 40, -28, -40);
    p.setBrush(QColor(110, 110, 110));
    p.drawRoundedRect(track, 7, 7);
    const double level = s.volume / 15.0;
    p.setBrush(QColor(120, 200, 255));
    p.drawRoundedRect(
        QRectF(track.left(), track.bottom() - track.height() * level, track.width(), track.height() * level),
        7, 7);
}

void drawRipples(QPainter &p, const PhoneState &s, qint64 nowMs)
{
    p.setPen(Qt::NoPen);
    for (const Ripple &r : s.ripples) {
        if (r.endMs == 0) {
            p.setBrush(QColor(255, 255, 255, 110));
            p.drawEllipse(r.pos, 44, 44);
            p.setBrush(QColor(40, 40, 40, 90));
            p.drawEllipse(r.pos, 12, 12);
            continue;
        }
        const double t = (nowMs - r.endMs) / double(kRippleFadeMs);
        if (t < 0 || t > 1)
            continue;
        p.setBrush(QColor(255, 255, 255, int(110 * (1 - t))));
        p.drawEllipse(r.pos, 44 + 50 * t, 44 + 50 * t);
    }
}

} // namespace

QFont uiFont(int pixels, bool bold)
{
    QFont font(QStringLiteral("Noto Sans CJK SC"));
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

QRectF appBackRect(const QSize &screen)
{
    if (screen.width() > screen.height())
        return QRectF(24, kStatusBarLandscape + 20, 88, 88);
    return QRectF(0, kStatusBar, kAppBar, kAppBar);
}

QRectF appBarRect(const QSize &screen)
{
    return QRectF(0, statusBarRect(screen).bottom(), screen.width(), kAppBar);
}

void drawAppBar(QPainter &p, const AppInfo &app, const PhoneState &s, const QSize &screen)
{
    const QRectF bar = appBarRect(screen);
    p.fillRect(QRectF(0, 0, screen.width(), bar.bottom()), app.color);
    const QRectF back = appBackRect(screen);
    if (s.pressed.kind == Hit::AppBack) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 255, 255, 60));
        p.drawEllipse(back.center(), 40, 40);
    }
    p.setPen(QPen(Qt::white, 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    const QPointF c = back.center();
    p.drawLine(QPointF(c.x() + 10, c.y() - 20), QPointF(c.x() - 10, c.y()));
    p.drawLine(QPointF(c.x() - 10, c.y()), QPointF(c.x() + 10, c.y() + 20));
    p.setPen(Qt::white);
    p.setFont(uiFont(36, true));
    p.drawText(bar.adjusted(kAppBar, 0, -24, 0), Qt::AlignVCenter | Qt::AlignLeft, app.label);
}

QRectF statusBarRect(const QSize &screen)
{
    return QRectF(0, 0, screen.width(), screen.width() > screen.height() ? kStatusBarLandscape : kStatusBar);
}

QRectF navBarRect(const QSize &screen)
{
    const int h = screen.width() > screen.height() ? kNavBarLandscape : kNavBar;
    return QRectF(0, screen.height() - h, screen.width(), h);
}

QRectF textFieldRect()
{
    return QRectF(40, 200, kScreenWidth - 80, 650);
}

QRectF iconRect(int index, int count)
{
    const QRectF cell = launcherCell(index, count);
    const double size = cell.width() * 0.62;
    return QRectF(cell.center().x() - size / 2, cell.top() + 8, size, size);
}

QRectF recentCardRect(int index)
{
    return QRectF(80, 170 + index * 220, kScreenWidth - 160, 196);
}

Hit hitTest(const PhoneState &s, const QPointF &pos)
{
    const QSize screen = s.layoutSize();
    if (statusBarRect(screen).contains(pos))
        return {};
    const QRectF nav = navBarRect(screen);
    if (nav.contains(pos)) {
        const int third = qBound(0, int((pos.x() - nav.left()) / (nav.width() / 3)), 2);
        return {third == 0 ? Hit::NavBack : third == 1 ? Hit::NavHome : Hit::NavRecents, 0};
    }
    switch (s.view) {
    case View::Launcher:
        for (int i = 0; i < s.apps.size() && launcherCellVisible(i, s.apps.size()); ++i) {
            if (launcherCell(i, s.apps.size()).contains(pos))
                return {Hit::Icon, i};
        }
        return {};
    case View::Recents:
        for (int i = 0; i < s.recents.size() && i < kMaxRecentCards; ++i) {
            if (recentCardRect(i).contains(pos))
                return {Hit::RecentCard, i};
        }
        if (!s.recents.isEmpty() && clearAllRect().contains(pos))
            return {Hit::ClearAll, 0};
        return {};
    case View::App: {
        if (appBackRect(screen).contains(pos))
            return {Hit::AppBack, 0};
        const AppInfo *app = s.app(s.foreground);
        if (app && app->kind == AppKind::Generic && appButtonRect().contains(pos))
            return {Hit::AppButton, 0};
        if (app && app->kind == AppKind::Notes && clearTextRect().contains(pos))
            return {Hit::ClearText, 0};
        return {};
    }
    }
    return {};
}

QImage renderScreen(const PhoneState &s, qint64 nowMs, const QSize &outSize)
{
    const QSize screen = s.layoutSize();
    QImage image(outSize, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.scale(double(outSize.width()) / screen.width(), double(outSize.height()) / screen.height());

    const AppInfo *app = s.view == View::App ? s.app(s.foreground) : nullptr;
    if (s.view == View::Recents) {
        drawRecents(p, s);
    } else if (app) {
        switch (app->kind) {
        case AppKind::Racer:
            drawRacer(p, *app, s, screen, nowMs);
            break;
        case AppKind::Feed:
            drawFeed(p, *app, s, screen, nowMs);
            break;
        case AppKind::Video:
            drawVideo(p, s, screen, nowMs);
            break;
        case AppKind::Notes:
            drawAppBar(p, *app, s, screen);
            drawNotesApp(p, *app, s, nowMs);
            break;
        case AppKind::Clock:
            drawAppBar(p, *app, s, screen);
            drawClockApp(p, *app, s, nowMs);
            break;
        case AppKind::Settings:
            drawAppBar(p, *app, s, screen);
            drawSettingsApp(p, s);
            break;
        case AppKind::Generic:
            drawAppBar(p, *app, s, screen);
            drawGenericApp(p, *app, s);
            break;
        }
    } else {
        QLinearGradient g(0, 0, screen.width(), screen.height());
        g.setColorAt(0, s.wallpaper.lighter(125));
        g.setColorAt(1, s.wallpaper.darker(160));
        p.fillRect(QRectF(QPointF(0, 0), QSizeF(screen)), g);
        drawLauncher(p, s);
    }
    drawStatusBar(p, s, screen, !app);
    drawNavBar(p, s, screen);
    if (nowMs < s.volumeUntilMs)
        drawVolume(p, s, screen);
    drawRipples(p, s, nowMs);
    return image;
}

} // namespace farm
