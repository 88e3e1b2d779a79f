#include "server/phonefarm/credential.h"

#include "wire/codes.h"
#include "wire/wire.h"

#include <QList>
#include <QMessageAuthenticationCode>

namespace farm {

bool isValidDeviceId(const QByteArray &deviceId)
{
    if (deviceId.isEmpty() || deviceId.size() > ccwire::kMaxDeviceId)
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
    const bool v2 = parts.size() == 5 && parts[0] == "ucv2";
    if (!v2 && !(parts.size() == 4 && parts[0] == "ucv1")) {
        access.code = CC_ERR_BAD_CREDENTIAL;
        return access;
    }
    bool expiryOk = false, generationOk = !v2;
    const qint64 expiry = parts[1].toLongLong(&expiryOk);
    const qint64 generation = v2 ? parts[3].toLongLong(&generationOk) : 0;
    const QByteArray &mac = parts.last();
    if (!expiryOk || parts[1].startsWith('+') || (parts[2] != "0" && parts[2] != "1") || !generationOk ||
        (v2 && (generation < 1 || parts[3].startsWith('+') || parts[3].startsWith('0'))) ||
        mac.size() != 64) {
        access.code = CC_ERR_BAD_CREDENTIAL;
        return access;
    }
    QByteArray message = parts[0] + '|' + deviceId + '|' + parts[1] + '|' + parts[2];
    if (v2)
        message += '|' + parts[3];
    if (!constantTimeEquals(hmacHex(secret, message), mac)) {
        access.code = CC_ERR_BAD_CREDENTIAL;
        return access;
    }
    if (expiry <= nowSeconds) {
        access.code = CC_ERR_EXPIRED_CREDENTIAL;
        return access;
    }
    access.viewOnly = parts[2] == "1";
    access.generation = generation;
    return access;
}

} // namespace farm
