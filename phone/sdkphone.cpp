#include "phone/sdkphone.h"

#include "phone/phonetext.h"

#include <QtDebug>

SDKPhone::SDKPhone(int cloudPhoneId, const QByteArray &deviceId, const QByteArray &deviceUcId,
                   const QString &name)
    : m_identity{m_deviceUcId, m_deviceId, nullptr}, m_cloudPhoneId(cloudPhoneId), m_name(name)
{
    phonetext::fill(m_deviceUcId, sizeof m_deviceUcId, deviceUcId);
    phonetext::fill(m_deviceId, sizeof m_deviceId, deviceId);
}

// Whichever thread drops the last reference, usually a pool worker. Never waits: a replay thread
// keeps the phone alive by its own reference.
SDKPhone::~SDKPhone()
{
    qDebug() << "start deconstuct SDKPhone" << m_deviceId;
    qDebug() << "      deconstuct SDKPhone ok";
}
