#include "platform/windowmessage.h"

#include "platform/tsan.h"

#include <QCoreApplication>

namespace platform {

WindowMessageEvent::WindowMessageEvent(int message, QByteArray buffer)
    : QEvent(eventType), m_message(message), m_buffer(std::move(buffer))
{
}

// Qt may delete an undelivered event on the receiver's thread.
WindowMessageEvent::~WindowMessageEvent()
{
    PELOMIR_TAKE_OVER(this);
}

WindowMessageEvent *WindowMessageEvent::from(QEvent *event)
{
    PELOMIR_TAKE_OVER(event);
    return event->type() == eventType ? static_cast<WindowMessageEvent *>(event) : nullptr;
}

void postWindowMessage(QObject *receiver, int message, QByteArray buffer)
{
    if (!receiver)
        return;
    auto *event = new WindowMessageEvent(message, std::move(buffer));
    PELOMIR_HAND_OVER(event);
    QCoreApplication::postEvent(receiver, event);
}

} // namespace platform
