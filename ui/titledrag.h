#pragma once

#include <QEvent>
#include <QMouseEvent>
#include <QPoint>
#include <QWidget>

// Lets the user move a frameless window by dragging its title bar with the left button. Owned by the
// title bar. GUI thread only.
class TitleDrag : public QObject
{
public:
    TitleDrag(QWidget *window, QWidget *title) : QObject(title), m_window(window)
    {
        title->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::MouseMove &&
            event->type() != QEvent::MouseButtonRelease)
            return false;
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (event->type() == QEvent::MouseButtonPress) {
            m_dragging = mouse->button() == Qt::LeftButton;
            m_anchor = mouse->globalPos();
        } else if (event->type() == QEvent::MouseButtonRelease) {
            m_dragging = false;
        } else if (m_dragging && (mouse->buttons() & Qt::LeftButton)) {
            m_window->move(m_window->pos() + mouse->globalPos() - m_anchor);
            m_anchor = mouse->globalPos();
        }
        return false;
    }

private:
    QWidget *const m_window;
    QPoint m_anchor;
    bool m_dragging = false;
};
