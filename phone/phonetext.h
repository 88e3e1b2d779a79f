#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>

// Texts handed to the phone library travel in fixed zero-filled buffers. A text that does not fit,
// or that Latin-1 cannot carry exactly, is refused rather than cut: a cut or altered id would name
// a different phone.
namespace phonetext {

// Longest deviceId of a library session (32-byte buffer) and longest text of a 256-byte buffer.
constexpr int sessionDeviceIdLimit = 31;
constexpr int longTextLimit = 255;

// Any thread. The Latin-1 bytes of `text` when it is not empty, has at most `maxBytes` of them, no
// NUL and only Latin-1 characters. Otherwise logs a line naming `what` and returns false.
bool toFixed(const QString &text, int maxBytes, const char *what, QByteArray *out);

// Zero-fills `buffer`, then copies in `bytes` (which the caller has checked to fit with its NUL).
void fill(char *buffer, size_t size, const QByteArray &bytes);

} // namespace phonetext
