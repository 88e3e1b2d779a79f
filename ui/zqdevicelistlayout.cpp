#include "ui/zqdevicelist.h"

#include "ui/zqdevicelistitem.h"

#include <QCoreApplication>
#include <QDebug>
#include <QLabel>
#include <QScrollArea>

QSize ZqDeviceList::tileSize(int displayMode)
{
    switch (displayMode) {
    case BigView:
        return QSize(180, 344);
    case SmallView:
        return QSize(90, 184);
    default:
        return QSize(120, 238);
    }
}

QList<ZqDeviceListItem *> ZqDeviceList::tiles() const
{
    return QList<ZqDeviceListItem *>(m_order.begin(), m_order.end());
}

void ZqDeviceList::layoutTiles()
{
    m_layoutPending = false;
    const QSize size = tileSize(m_displayMode);
    const int w = size.width();
    const int h = size.height();
    const int available = m_scrArea->width();
    int x = margin;
    int y = margin;
    for (ZqDeviceListItem *tile : qAsConst(m_order)) {
        tile->setGeometry(x, y, w, h);
        if (available < x + 2 * w + columnGap) {
            y += h + margin;
            x = margin;
        } else {
            x += w + columnGap;
        }
    }
    m_content->setMinimumHeight(y + h + margin);
    updateVisibility();
    logFirstTiles();
}

void ZqDeviceList::logFirstTiles() const
{
    // Where a user would click: scripts and support find the first tiles from this, not from a
    // fixed point that moves whenever the page's layout changes.
    QString places;
    for (int i = 0; i < qMin(10, m_order.size()); ++i) {
        const QPoint centre = m_order.at(i)->mapToGlobal(m_order.at(i)->rect().center());
        places += QStringLiteral(" (%1, %2)").arg(centre.x()).arg(centre.y());
    }
    qDebug().noquote() << QStringLiteral("tile grid: %1 tiles, centres").arg(m_order.size()) + places;
}

void ZqDeviceList::scheduleLayout()
{
    if (m_layoutPending)
        return;
    m_layoutPending = true;
    QCoreApplication::postEvent(this, new QEvent(QEvent::LayoutRequest));
}

void ZqDeviceList::updateVisibility()
{
    const int viewportHeight = m_scrArea->viewport()->height();
    const int offset = m_content->y();
    // Tiles within a screen above or below the view are shown so that scrolling finds them ready;
    // the others stay hidden, which keeps their moves cheap and leaves their contents unbuilt.
    const int bandTop = -offset - viewportHeight;
    const int bandBottom = -offset + 2 * viewportHeight;
    for (ZqDeviceListItem *tile : qAsConst(m_order)) {
        const bool inBand = tile->y() + tile->height() > bandTop && tile->y() < bandBottom;
        if (inBand == tile->isHidden())
            tile->setVisible(inBand);
    }
    updatePreviews();
}

void ZqDeviceList::updatePreviews()
{
    const int viewportHeight = m_scrArea->viewport()->height();
    const int offset = m_content->y();
    for (ZqDeviceListItem *tile : qAsConst(m_order))
        tile->updatePreviewVisibility(viewportHeight, offset);
}

bool ZqDeviceList::eventFilter(QObject *watched, QEvent *event)
{
    // Showing or hiding tiles waits for a resize or a scroll step: not in the middle of a paint.
    if (watched == m_scrArea || watched == m_scrArea->viewport()) {
        if (event->type() == QEvent::Resize)
            updateVisibility();
        else if (event->type() == QEvent::Paint)
            updatePreviews();
    }
    return QWidget::eventFilter(watched, event);
}

void ZqDeviceList::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_scrArea->setGeometry(10, 0, width() - 20, height() - 10);
    m_label->setGeometry(m_scrArea->geometry());
    layoutTiles();
}
