#pragma once

// Full-screen animated apps, drawn in layout units of `screen` (either orientation).

#include "server/phonefarm/phone.h"

#include <QPainter>

namespace farm {

void drawRacer(QPainter &p, const AppInfo &app, const PhoneState &s, const QSize &screen, qint64 nowMs);

} // namespace farm
