#include "ui/hittest.h"

#include <algorithm>

std::optional<int> nonClientHitTest(QPoint pos, QSize size, int border, bool loggedIn, bool inTitleDragArea)
{
    const int x = pos.x();
    const int y = pos.y();
    const int w = size.width();
    const int h = size.height();
    const int b = border;

    if (b < x && x < w - b && b < y && y < h - b && !inTitleDragArea)
        return std::nullopt;

    int result = hit::Caption;
    if (loggedIn) {
        const bool left = 0 < x && x < b;
        const bool right = w - b < x && x < w;
        const bool top = 0 < y && y < b;
        const bool bottom = h - b < y && y < h;
        if (left)
            result = hit::Left;
        if (right)
            result = hit::Right;
        if (top)
            result = hit::Top;
        if (bottom)
            result = hit::Bottom;
        if (left && top)
            result = hit::TopLeft;
        if (right && top)
            result = hit::TopRight;
        if (left && bottom)
            result = hit::BottomLeft;
        if (right && bottom)
            result = hit::BottomRight;
    }
    if (inTitleDragArea)
        result = hit::Caption;
    return result;
}

QRect draggedGeometry(const QRect &start, int code, QPoint delta, QSize minimum)
{
    if (code == hit::Caption)
        return start.translated(delta);
    const bool left = code == hit::Left || code == hit::TopLeft || code == hit::BottomLeft;
    const bool right = code == hit::Right || code == hit::TopRight || code == hit::BottomRight;
    const bool top = code == hit::Top || code == hit::TopLeft || code == hit::TopRight;
    const bool bottom = code == hit::Bottom || code == hit::BottomLeft || code == hit::BottomRight;
    QRect g = start;
    if (left)
        g.setLeft(std::min(start.left() + delta.x(), start.right() + 1 - minimum.width()));
    if (right)
        g.setRight(std::max(start.right() + delta.x(), start.left() + minimum.width() - 1));
    if (top)
        g.setTop(std::min(start.top() + delta.y(), start.bottom() + 1 - minimum.height()));
    if (bottom)
        g.setBottom(std::max(start.bottom() + delta.y(), start.top() + minimum.height() - 1));
    return g;
}
