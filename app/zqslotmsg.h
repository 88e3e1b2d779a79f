#pragma once

#include <QByteArray>
#include <QEvent>
#include <QJsonObject>
#include <QMetaType>
#include <QString>

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

    const ZQSlotMsg &message() const { return m_msg; }

    static bool isBusEvent(const QEvent *event) { return event->type() > QEvent::User; }

private:
    ZQSlotMsg m_msg;
};

// JSON helpers shared by every poster and receiver.
QString jsonToText(const QJsonObject &object);
// Text that does not parse as a JSON object gives an empty object.
QJsonObject textToJson(const QString &text);
