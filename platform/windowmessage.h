#pragma once

#include <QByteArray>
#include <QEvent>

class QObject;

namespace platform {

// The window message that carries a text, UTF-8 in a zero-filled buffer of textBufferSize bytes: tips
// to the main window and replies to the upload page.
constexpr int textMessage = 1024 + 103;
constexpr int textBufferSize = 1024;

// Our counterpart of a native window message posted with a heap buffer: a Qt event queued to
// one object and handled on that object's thread.
class WindowMessageEvent : public QEvent
{
public:
    static constexpr QEvent::Type eventType = QEvent::Type(2127);

    WindowMessageEvent(int message, QByteArray buffer);
    ~WindowMessageEvent() override;

    // Receiver's thread: the event as a window message, or null for any other event.
    static WindowMessageEvent *from(QEvent *event);

    int message() const { return m_message; }
    const QByteArray &buffer() const { return m_buffer; }

private:
    int m_message;
    QByteArray m_buffer;
};

// Any thread. Queues `message` with `buffer` to `receiver`; the buffer's ownership passes with
// the event (Qt deletes the event after delivery, or when the receiver is destroyed first).
// The caller must guarantee that `receiver` is alive during the call.
void postWindowMessage(QObject *receiver, int message, QByteArray buffer);

} // namespace platform
