#include "platform/windowmessage.h"

#include <QCoreApplication>

namespace platform {

WindowMessageEvent::WindowMessageEvent(int message, QByteArray buffer)
    : QEvent(eventType), m_message(message), m_buffer(std::move(buffer))
{
}

void postWindowMessage(QObject *receiver, int message, QByteArray buffer)
{
    if (!receiver)
        return;
    QCoreApplication::postEvent(receiver, new WindowMessageEvent(message, std::move(buffer)));
}

} // namespace platform
