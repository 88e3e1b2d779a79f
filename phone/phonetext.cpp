#include "phone/phonetext.h"

#include <QtDebug>

#include <cstring>

namespace phonetext {

bool toFixed(const QString &text, int maxBytes, const char *what, QByteArray *out)
{
    const QByteArray bytes = text.toLatin1();
    const char *fault = nullptr;
    if (bytes.isEmpty())
        fault = "is empty";
    else if (bytes.size() > maxBytes)
        fault = "is too long";
    else if (QString::fromLatin1(bytes) != text)
        fault = "is not Latin-1";
    else if (bytes.contains('\0'))
        fault = "contains NUL";
    if (fault) {
        qDebug() << what << fault << ", refused:" << text.left(64) << "bytes" << bytes.size() << "limit"
                 << maxBytes;
        return false;
    }
    *out = bytes;
    return true;
}

void fill(char *buffer, size_t size, const QByteArray &bytes)
{
    std::memset(buffer, 0, size);
    std::memcpy(buffer, bytes.constData(), qMin(size - 1, static_cast<size_t>(bytes.size())));
}

} // namespace phonetext
