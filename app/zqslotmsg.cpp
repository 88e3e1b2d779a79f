#include "app/zqslotmsg.h"

#include <QJsonDocument>

#include <cstring>

bool ZQSlotMsg::setBuffer(const QByteArray &bytes)
{
    const int n = qMin(bytes.size(), bufferSize - 1);
    std::memset(buffer, 0, sizeof buffer);
    std::memcpy(buffer, bytes.constData(), static_cast<size_t>(n));
    return n == bytes.size();
}

QByteArray ZQSlotMsg::bufferBytes() const
{
    return QByteArray(buffer, static_cast<int>(strnlen(buffer, sizeof buffer)));
}

void ZQSlotMsg::setBinary(const QByteArray &bytes)
{
    // The QByteArray overload of fromLatin1 stops at the first zero byte; images contain many.
    text = QString::fromLatin1(bytes.constData(), bytes.size());
    length = bytes.size();
}

PhoneEvent::PhoneEvent(const ZQSlotMsg &msg) : QEvent(QEvent::Type(QEvent::User + msg.type)), m_msg(msg) {}

// Qt may delete an undelivered event on the receiver's thread.
PhoneEvent::~PhoneEvent()
{
    PELOMIR_TAKE_OVER(this);
}

QString jsonToText(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented));
}

QJsonObject textToJson(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}
