#pragma once

// Phone access credentials issued by the provider:
//   ucv2.<expiry>.<r>.<g>.<hex HMAC-SHA256(secret, "ucv2|" + deviceId + "|" + expiry + "|" + r + "|" + g)>
// with the expiry in Unix seconds, r = 1 for a view-only credential and g the phone's credential
// generation (1 or more), which the provider raises to void the credentials it issued before.
// The older ucv1.<expiry>.<r>.<hex> (HMAC of "ucv1|" + deviceId + "|" + expiry + "|" + r) is
// generation 0.

#include <QByteArray>

namespace farm {

struct Access
{
    int code = 0;          // 0 or CC_ERR_BAD_CREDENTIAL / CC_ERR_EXPIRED_CREDENTIAL / CC_ERR_UNKNOWN_PHONE
    bool viewOnly = false; // valid credential that only allows watching
    qint64 generation = 0;
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
