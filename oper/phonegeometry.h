#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

// Geometry of the phone control window: the phone's display, 9:16 when upright, framed by a title bar
// above, a bar of navigation buttons below and a column of buttons on the right. Pure functions, any
// thread.
namespace phonegeom {

constexpr int border = 5; // live resize border
constexpr int titleHeight = 32;
constexpr int bottomHeight = 48;
constexpr int rightWidth = 28;
// The window is the display plus this frame.
constexpr int frameWidth = rightWidth;
constexpr int frameHeight = titleHeight + bottomHeight;
// Display width over height while the phone is upright. Single precision, as the window has always
// computed its sizes; results are truncated.
constexpr float aspect = 0.5625f;

constexpr QSize initialSize(388, 720);
constexpr QSize portraitMinimum(194, 375);
constexpr QSize landscapeMinimum(375, 194);

// Where a press or move at `pos` (window coordinates) resizes the window.
enum Edge
{
    NoEdge = 0,
    TopLeft = 1,
    Top = 2,
    TopRight = 3,
    Right = 4,
    BottomRight = 5,
    Bottom = 6,
    BottomLeft = 7,
    Left = 8
};

// The edge under `pos` in a window of `size`. The left band counts only beside the title and button
// bars: the display takes the mouse for the phone.
int resizeEdge(QPoint pos, QSize size);

// The window while `edge` is dragged by `delta` from `start`: that edge follows the cursor, the
// opposite edges stay, and the window never gets smaller than either orientation's minimum allows.
QRect draggedGeometry(const QRect &start, int edge, QPoint delta);

// The size that keeps the display at the phone's aspect after `proposed` was reached by dragging
// `edge`; NoEdge fits the largest such window into `proposed` (screen fitting). `portrait`: the
// display is taller than wide. The result is at least the orientation's minimum and no larger than
// `available`.
QSize fitToAspect(QSize proposed, int edge, bool portrait, QSize available);

// True when rotations `a` and `b` keep the screen the same way up (both even or both odd).
bool sameOrientation(int a, int b);

// The window size after the phone turned the other way: the display's sides swap. A portrait window
// that would be taller than `available` is fitted to its height instead; `*fitted` tells which.
QSize rotatedSize(QSize window, QSize available, bool *fitted);

} // namespace phonegeom
