#pragma once

// What the image tool's sources share.

#include <QColor>
#include <QImage>

namespace drawimages {

inline const QColor accent(25, 194, 209);
inline const QColor deep(20, 92, 160);
inline const QColor grey(150, 158, 163);
// The yellow of highlights, as the title bar's buttons under the mouse.
inline const QColor highlight(255, 233, 132);
// The record button's red.
inline const QColor recording(235, 64, 52);

QImage previewPlaceholder();
QImage loginBackground();

} // namespace drawimages
