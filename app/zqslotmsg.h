#pragma once

#include <QByteArray>
#include <QEvent>
#include <QJsonObject>
#include <QMetaType>
#include <QString>

#include "platform/tsan.h"

#include <cstdint>

// The record the event bus carries. Copied by value everywhere.
struct ZQSlotMsg
{
    static constexpr int bufferSize = 1024;

    int32_t type = 0;
    QString target;
    QString text;
    char buffer[bufferSize] = {};
    int32_t length = 0;

    // Stores `bytes` zero-terminated in `buffer`, cut to 1023 bytes. Returns false if it was cut.
    bool setBuffer(const QByteArray &bytes);
    // The zero-terminated contents of `buffer` (never reads past its end).
    QByteArray bufferBytes() const;

    // Binary payloads travel in `text`, one byte per character.
    void setBinary(const QByteArray &bytes);
    QByteArray binary() const { return text.toLatin1(); }
};

Q_DECLARE_METATYPE(ZQSlotMsg)

// A bus message delivered to a subscriber: event type 1000 + message type.
class PhoneEvent : public QEvent
{
public:
    explicit PhoneEvent(const ZQSlotMsg &msg);
    ~PhoneEvent() override;

    const ZQSlotMsg &message() const { return m_msg; }

    // Receiver's thread: true for bus messages (event type above 1000). Call before reading the
    // event; it also completes the cross-thread hand-over for the thread checker.
    static bool isBusEvent(const QEvent *event)
    {
        PELOMIR_TAKE_OVER(event);
        return event->type() > QEvent::User && event->type() < QEvent::User + 1000;
    }

private:
    ZQSlotMsg m_msg;
};

// JSON helpers shared by every poster and receiver.
QString jsonToText(const QJsonObject &object);
// Text that does not parse as a JSON object gives an empty object.
QJsonObject textToJson(const QString &text);
