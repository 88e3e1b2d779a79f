#pragma once

// Phone access credentials issued by the provider:
//   ucv1.<expiryUnixSeconds>.<r>.<hex HMAC-SHA256(secret, "ucv1|" + deviceId + "|" + expiry + "|" + r)>
// r = 1 marks a view-only credential.

#include <QByteArray>

namespace farm {

struct Access
{
    int code = 0;          // 0 or CC_ERR_BAD_CREDENTIAL / CC_ERR_EXPIRED_CREDENTIAL / CC_ERR_UNKNOWN_PHONE
    bool viewOnly = false; // valid credential that only allows watching
};

// Device ids are short runs of letters and digits.
bool isValidDeviceId(const QByteArray &deviceId);

Access checkCredential(const QByteArray &secret, const QByteArray &credential, const QByteArray &deviceId,
                       qint64 nowSeconds);

// Lowercase hex HMAC-SHA256.
QByteArray hmacHex(const QByteArray &secret, const QByteArray &message);

// Compares without an early exit, so the time taken does not tell how many
// leading bytes matched.
bool constantTimeEquals(const QByteArray &a, const QByteArray &b);

} // namespace farm
