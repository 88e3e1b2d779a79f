#pragma once

// The apps that animate on their own: the racing game, the feed and the video.
// Each draws in layout units of `screen`, in either orientation, as a pure
// function of the state and the time, so the same moment draws the same picture.

#include "server/phonefarm/phone.h"

#include <QPainter>

namespace farm {

void drawRacer(QPainter &p, const AppInfo &app, const PhoneState &s, const QSize &screen, qint64 nowMs);
// A scrolling feed of posts with photos, as a user flicks through it.
void drawFeed(QPainter &p, const AppInfo &app, const PhoneState &s, const QSize &screen, qint64 nowMs);
// A full-screen video: a landscape passing by under changing light.
void drawVideo(QPainter &p, const PhoneState &s, const QSize &screen, qint64 nowMs);

// The video's landscape t seconds in, covering a box at the origin.
void drawLandscape(QPainter &p, double t, const QSizeF &box);

// Where the feed has scrolled to, in layout units, this long after it opened.
double feedScrollOffset(qint64 elapsedMs);

// The round back button of full-screen apps.
void drawRoundBack(QPainter &p, const PhoneState &s, const QSize &screen);

} // namespace farm
