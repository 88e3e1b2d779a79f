#include "oper/phonegeometry.h"

#include <QtGlobal>

namespace phonegeom {

namespace {

int widthFor(int height, bool portrait)
{
    const float display = float(height - frameHeight);
    return int(portrait ? display * aspect : display / aspect) + frameWidth;
}

int heightFor(int width, bool portrait)
{
    const float display = float(width - frameWidth);
    return int(portrait ? display / aspect : display * aspect) + frameHeight;
}

} // namespace

int resizeEdge(QPoint pos, QSize size)
{
    if (!QRect(QPoint(0, 0), size).contains(pos))
        return NoEdge;
    const bool left = pos.x() < border;
    const bool right = pos.x() >= size.width() - border;
    const bool top = pos.y() < border;
    const bool bottom = pos.y() >= size.height() - border;
    if (top && left)
        return TopLeft;
    if (top && right)
        return TopRight;
    if (bottom && right)
        return BottomRight;
    if (bottom && left)
        return BottomLeft;
    if (top)
        return Top;
    if (bottom)
        return Bottom;
    if (right)
        return Right;
    if (left && (pos.y() < titleHeight || pos.y() >= size.height() - bottomHeight))
        return Left;
    return NoEdge;
}

QRect draggedGeometry(const QRect &start, int edge, QPoint delta)
{
    // Smallest side either orientation allows; the release snaps to the real minimum.
    const int floor = portraitMinimum.width();
    int left = start.left();
    int top = start.top();
    int right = start.left() + start.width();
    int bottom = start.top() + start.height();
    const bool movesLeft = edge == TopLeft || edge == BottomLeft || edge == Left;
    const bool movesRight = edge == TopRight || edge == Right || edge == BottomRight;
    const bool movesTop = edge == TopLeft || edge == Top || edge == TopRight;
    const bool movesBottom = edge == BottomRight || edge == Bottom || edge == BottomLeft;
    if (movesLeft)
        left = qMin(left + delta.x(), right - floor);
    if (movesRight)
        right = qMax(right + delta.x(), left + floor);
    if (movesTop)
        top = qMin(top + delta.y(), bottom - floor);
    if (movesBottom)
        bottom = qMax(bottom + delta.y(), top + floor);
    return QRect(left, top, right - left, bottom - top);
}

QSize fitToAspect(QSize proposed, int edge, bool portrait, QSize available)
{
    int width = proposed.width();
    int height = proposed.height();
    switch (edge) {
    case Top:
    case Bottom:
        width = widthFor(height, portrait);
        break;
    case NoEdge:
        // The largest window of the aspect inside the proposed one.
        if (widthFor(height, portrait) <= width)
            width = widthFor(height, portrait);
        else
            height = heightFor(width, portrait);
        break;
    default:
        height = heightFor(width, portrait);
        break;
    }
    const QSize minimum = portrait ? portraitMinimum : landscapeMinimum;
    if (height < minimum.height() || width < minimum.width()) {
        width = minimum.width();
        height = minimum.height();
    }
    // The frame stays part of the window when it is cut down to the screen.
    if (height > available.height()) {
        height = available.height();
        width = widthFor(height, portrait);
    }
    if (width > available.width()) {
        width = available.width();
        height = heightFor(width, portrait);
    }
    return QSize(width, height);
}

bool sameOrientation(int a, int b)
{
    return (a % 2 != 0) == (b % 2 != 0);
}

QSize rotatedSize(QSize window, QSize available, bool *fitted)
{
    const QSize display = window - QSize(frameWidth, frameHeight);
    QSize turned = display.transposed();
    *fitted = false;
    if (display.height() > display.width())
        return turned + QSize(frameWidth, frameHeight);
    if (turned.height() + frameHeight > available.height()) {
        *fitted = true;
        return QSize(widthFor(available.height(), true), available.height());
    }
    return turned + QSize(frameWidth, frameHeight);
}

} // namespace phonegeom
