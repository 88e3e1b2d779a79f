#pragma once

// Layout and drawing of a phone's screen. Pure functions of a state copy, so
// any worker thread may render.

#include "server/phonefarm/phone.h"

#include <QFont>
#include <QImage>
#include <QPainter>
#include <QRectF>

namespace farm {

// What lies under a point of the screen (screen pixels of the current orientation).
Hit hitTest(const PhoneState &state, const QPointF &pos);

// Draws the screen into an image of outSize (scaled from the screen size).
QImage renderScreen(const PhoneState &state, qint64 nowMs, const QSize &outSize);

// Rectangles shared by drawing and hit testing.
QRectF iconRect(int index, int count); // icon square; count = apps installed
QRectF recentCardRect(int index);
QRectF statusBarRect(const QSize &screen);
QRectF navBarRect(const QSize &screen);
QRectF textFieldRect();
QRectF appBackRect(const QSize &screen);
QRectF appBarRect(const QSize &screen); // an app's title bar, under the status bar

// Shared with the scene files.
void drawAppBar(QPainter &p, const AppInfo &app, const PhoneState &s, const QSize &screen);
QFont uiFont(int pixels, bool bold = false);

} // namespace farm
