// The encrypted configuration file and the encrypted inventory fields: any
// bytes on disk or in an answer. An odd first byte encrypts the rest first,
// so that the mutations also reach the JSON behind the cipher.

#include "app/zqconfig.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    if (size == 0)
        return 0;
    ZqConfig config;
    const QByteArray key = config.aesKey.toUtf8();
    const QByteArray body(reinterpret_cast<const char *>(data) + 1, int(size - 1));
    const QByteArray stored = data[0] & 1 ? ZqConfig::encrypt(key, body) : body;

    config.filePath = dir.filePath(QStringLiteral("config"));
    QFile file(config.filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    file.write(stored);
    file.close();
    config.load();

    config.decryptSplit(QString::fromLatin1(stored.toBase64()));
    config.decryptSplit(QString::fromLatin1(body));
    ZqConfig::hoursUntil(QString::fromUtf8(body));
    return 0;
}
