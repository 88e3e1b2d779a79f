#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

#include <optional>

// Non-client areas of the frameless main window, numbered as the native hit-test codes.
namespace hit {
enum Code
{
    Caption = 2,
    Left = 10,
    Right = 11,
    Top = 12,
    TopLeft = 13,
    TopRight = 14,
    Bottom = 15,
    BottomLeft = 16,
    BottomRight = 17
};
} // namespace hit

// What the cursor at `pos` (window coordinates) is over, in a window of `size` with a resize border
// `border` pixels wide. Empty: the client area, which gets the default handling. The border resizes
// only while logged in; before that it drags like the title. The title's drag area always drags.
std::optional<int> nonClientHitTest(QPoint pos, QSize size, int border, bool loggedIn, bool inTitleDragArea);

// The window geometry after the area `code` has been dragged by `delta` from `start`: the caption moves
// the window; a border or corner moves its edges, never below `minimum`, the opposite edges staying put.
QRect draggedGeometry(const QRect &start, int code, QPoint delta, QSize minimum);
