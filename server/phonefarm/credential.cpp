#include "server/phonefarm/credential.h"

#include "coreclient/core_client.h"

#include <QList>
#include <QMessageAuthenticationCode>

namespace farm {

bool isValidDeviceId(const QByteArray &deviceId)
{
    if (deviceId.isEmpty() || deviceId.size() > 31)
        return false;
    for (char c : deviceId) {
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

QByteArray hmacHex(const QByteArray &secret, const QByteArray &message)
{
    return QMessageAuthenticationCode::hash(message, secret, QCryptographicHash::Sha256).toHex();
}

bool constantTimeEquals(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (int i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

Access checkCredential(const QByteArray &secret, const QByteArray &credential, const QByteArray &deviceId,
                       qint64 nowSeconds)
{
    Access access;
    if (!isValidDeviceId(deviceId)) {
        access.code = CC_ERR_UNKNOWN_PHONE;
        return access;
    }
    const QList<QByteArray> parts = credential.split('.');
    bool expiryOk = false;
    const qint64 expiry = parts.size() == 4 ? parts[1].toLongLong(&expiryOk) : 0;
    if (parts.size() != 4 || parts[0] != "ucv1" || !expiryOk || parts[1].startsWith('+') ||
        (parts[2] != "0" && parts[2] != "1") || parts[3].size() != 64) {
        access.code = CC_ERR_BAD_CREDENTIAL;
        return access;
    }
    const QByteArray expected = hmacHex(secret, "ucv1|" + deviceId + "|" + parts[1] + "|" + parts[2]);
    if (!constantTimeEquals(expected, parts[3])) {
        access.code = CC_ERR_BAD_CREDENTIAL;
        return access;
    }
    if (expiry <= nowSeconds) {
        access.code = CC_ERR_EXPIRED_CREDENTIAL;
        return access;
    }
    access.viewOnly = parts[2] == "1";
    return access;
}

} // namespace farm
