#pragma once

#include "coreclient/core_client.h"

#include <QByteArray>
#include <QList>

#include <memory>

// One phone's keys, texts and function keys. The library carries one phone's requests out in call
// order, so each goes out at once; the answers are only logged.
class PhoneInput
{
public:
    // `deviceUcId` and `deviceId` must fit the library's limits (255 and 31 bytes).
    static std::shared_ptr<PhoneInput> create(const QByteArray &deviceUcId, const QByteArray &deviceId);

    PhoneInput(const PhoneInput &) = delete;
    PhoneInput &operator=(const PhoneInput &) = delete;

    // GUI thread.
    void sendKey(const QByteArray &payload);
    // The pieces of one text, in order.
    void sendText(const QList<QByteArray> &pieces);
    void sendFunctionKey(int code);

private:
    PhoneInput(const QByteArray &deviceUcId, const QByteArray &deviceId);

    char m_deviceUcId[256] = {};
    char m_deviceId[256] = {};
    SdkSession m_session;
};
