#include "oper/phoneinput.h"

#include "phone/phonetext.h"

#include <QDebug>

namespace {

QByteArray deviceIdOf(const SdkSession *session)
{
    return session && session->deviceId ? QByteArray(session->deviceId) : QByteArray();
}

// Library thread, as are the two below.
void onKey(SdkSession *session, int, int code, const void *, int)
{
    qDebug() << " signalKey, deviceId:" << deviceIdOf(session) << ", code:" << code;
}

void onText(SdkSession *session, int, int code, const void *, int)
{
    if (code < 0)
        qDebug() << " sync clipboard error, deviceId:" << deviceIdOf(session) << ", code:" << code;
}

template <int Key> void onFunctionKey(SdkSession *session, int, int code, const void *, int)
{
    if (code >= 0)
        return;
    const char *what = Key == CC_KEY_BACK        ? " AFK_KEY_BACK error, deviceId:"
                       : Key == CC_KEY_HOMEPAGE  ? " AFK_KEY_HOMEPAGE error, deviceId:"
                       : Key == CC_KEY_APPSELECT ? " AFK_KEY_APPSELECT error, deviceId:"
                                                 : " function key error, deviceId:";
    qDebug() << what << deviceIdOf(session) << ", code:" << code;
}

} // namespace

std::shared_ptr<PhoneInput> PhoneInput::create(const QByteArray &deviceUcId, const QByteArray &deviceId)
{
    return std::shared_ptr<PhoneInput>(new PhoneInput(deviceUcId, deviceId));
}

PhoneInput::PhoneInput(const QByteArray &deviceUcId, const QByteArray &deviceId)
    : m_session{m_deviceUcId, m_deviceId, nullptr}
{
    phonetext::fill(m_deviceUcId, sizeof m_deviceUcId, deviceUcId);
    phonetext::fill(m_deviceId, sizeof m_deviceId, deviceId);
}

void PhoneInput::sendKey(const QByteArray &payload)
{
    cc_core_send_key_event_tob(&m_session, payload.constData(), payload.size(), &onKey);
}

void PhoneInput::sendText(const QList<QByteArray> &pieces)
{
    for (const QByteArray &piece : pieces)
        cc_core_send_text_event_tob(&m_session, piece.constData(), piece.size(), &onText);
}

void PhoneInput::sendFunctionKey(int code)
{
    switch (code) {
    case CC_KEY_BACK:
        cc_core_send_function_key_tob(&m_session, code, &onFunctionKey<CC_KEY_BACK>);
        break;
    case CC_KEY_HOMEPAGE:
        cc_core_send_function_key_tob(&m_session, code, &onFunctionKey<CC_KEY_HOMEPAGE>);
        break;
    case CC_KEY_APPSELECT:
        cc_core_send_function_key_tob(&m_session, code, &onFunctionKey<CC_KEY_APPSELECT>);
        break;
    default:
        cc_core_send_function_key_tob(&m_session, code, &onFunctionKey<0>);
        break;
    }
}
