#pragma once

// The phone farm's side of the shared secret as tests see it: phone credentials and signed admin
// calls, made the way the provider makes them.

#include <QByteArray>
#include <QCryptographicHash>
#include <QDateTime>
#include <QMessageAuthenticationCode>

namespace harness {

inline const QByteArray kSecret = "pelomir-dev-farm-secret";

inline QByteArray hmacHex(const QByteArray &key, const QByteArray &message)
{
    return QMessageAuthenticationCode::hash(message, key, QCryptographicHash::Sha256).toHex();
}

// A credential for `deviceId`, valid for a day unless `expiry` (Unix seconds) says otherwise; of
// the given generation, or without one (the older form, generation 0) when it is 0.
inline QByteArray credential(const QByteArray &deviceId, qint64 expiry = 0, bool restricted = false,
                             const QByteArray &secret = kSecret, qint64 generation = 0)
{
    if (expiry == 0)
        expiry = QDateTime::currentSecsSinceEpoch() + 24 * 3600;
    const QByteArray e = QByteArray::number(expiry), r = restricted ? "1" : "0";
    if (generation == 0)
        return "ucv1." + e + "." + r + "." + hmacHex(secret, "ucv1|" + deviceId + "|" + e + "|" + r);
    const QByteArray g = QByteArray::number(generation);
    return "ucv2." + e + "." + r + "." + g + "." +
           hmacHex(secret, "ucv2|" + deviceId + "|" + e + "|" + r + "|" + g);
}

// The "X-Farm-Auth" value of an admin call made at `time` (Unix seconds).
inline QByteArray adminAuth(const QByteArray &method, const QByteArray &target, const QByteArray &time,
                            const QByteArray &secret = kSecret)
{
    return hmacHex(secret, method + ' ' + target + ' ' + time);
}

} // namespace harness
