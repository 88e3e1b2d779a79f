#include "app/zqconfig.h"

#include "app/datadir.h"
#include "app/deployment.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <openssl/evp.h>

#include <cmath>
#include <memory>

namespace {

constexpr int blockSize = 16;
constexpr int keySize = 24;

// One pass of AES-192-ECB without padding over whole blocks.
QByteArray aesEcb(const QByteArray &key, const QByteArray &in, bool encrypting, bool *ok)
{
    *ok = false;
    if (key.size() != keySize || in.size() % blockSize != 0)
        return {};
    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        EVP_CIPHER_CTX_free);
    if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_aes_192_ecb(), nullptr,
                                  reinterpret_cast<const unsigned char *>(key.constData()), nullptr,
                                  encrypting ? 1 : 0) != 1)
        return {};
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    QByteArray out(in.size() + blockSize, Qt::Uninitialized);
    int written = 0;
    int tail = 0;
    auto *dst = reinterpret_cast<unsigned char *>(out.data());
    if (EVP_CipherUpdate(ctx.get(), dst, &written, reinterpret_cast<const unsigned char *>(in.constData()),
                         in.size()) != 1 ||
        EVP_CipherFinal_ex(ctx.get(), dst + written, &tail) != 1)
        return {};
    out.resize(written + tail);
    *ok = true;
    return out;
}

} // namespace

ZqConfig::ZqConfig()
    : apiBaseUrl(QString::fromLatin1(deployment::apiBaseUrl)),
      webUrl(QString::fromLatin1(deployment::webUrl)),
      objstoreEndpoint(QString::fromLatin1(deployment::objstoreEndpoint)),
      objstoreSignature(QString::fromLatin1(deployment::objstoreSignature)),
      objstoreRegion(QString::fromLatin1(deployment::objstoreRegion)),
      filePath(dataDirectory() + QStringLiteral("/config"))
{
}

bool ZqConfig::hasConfigFile()
{
    const QFileInfo info(filePath);
    if (info.exists() && info.isFile())
        return true;
    const QString web = QString::fromLatin1(deployment::webUrl);
    buyUrl = web + QStringLiteral("/");
    homeUrl = web + QStringLiteral("/");
    registerUrl = web + QStringLiteral("/pc/user/register.html");
    androidApp = web + QStringLiteral("/business/apk/pelomir-android-signed.apk");
    return false;
}

void ZqConfig::load()
{
    QFile file(filePath);
    QByteArray cipher;
    if (file.open(QIODevice::ReadOnly))
        cipher = file.readAll();
    bool ok = false;
    const QByteArray plain = decrypt(aesKey.toUtf8(), cipher, &ok);
    if (!ok)
        return;
    // The whole document is parsed: a value may itself contain "}".
    const int nul = plain.indexOf('\0');
    const QJsonDocument doc = QJsonDocument::fromJson(nul < 0 ? plain : plain.left(nul));
    if (!doc.isObject())
        return;
    const QJsonObject obj = doc.object();
    QString *const fields[] = {&account, &password, &buyUrl, &homeUrl, &androidApp, &registerUrl};
    const char *const keys[] = {"account", "password", "buyUrl", "homeUrl", "androidApp", "registerUrl"};
    for (int i = 0; i < 6; ++i) {
        const QJsonValue value = obj.value(QLatin1String(keys[i]));
        if (value.isString())
            *fields[i] = value.toString();
    }
}

bool ZqConfig::save() const
{
    QJsonObject obj;
    obj.insert(QStringLiteral("account"), account);
    obj.insert(QStringLiteral("androidApp"), androidApp);
    obj.insert(QStringLiteral("buyUrl"), buyUrl);
    obj.insert(QStringLiteral("homeUrl"), homeUrl);
    obj.insert(QStringLiteral("password"), password);
    obj.insert(QStringLiteral("registerUrl"), registerUrl);
    bool ok = false;
    const QByteArray cipher =
        encrypt(aesKey.toUtf8(), QJsonDocument(obj).toJson(QJsonDocument::Indented), &ok);
    if (!ok)
        return false;
    // Written beside the old file and renamed over it, so a crash never leaves half a config.
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    if (file.write(cipher) != cipher.size())
        return false;
    return file.commit();
}

QList<QByteArray> ZqConfig::decryptSplit(const QString &text) const
{
    const auto decoded =
        QByteArray::fromBase64Encoding(text.toUtf8(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return {};
    bool ok = false;
    const QByteArray plain = decrypt(aesKey.toUtf8(), *decoded, &ok);
    if (!ok)
        return {};
    return plain.split('#');
}

int ZqConfig::hoursUntil(const QString &text)
{
    return hoursBetween(text, QDateTime::currentDateTime());
}

int ZqConfig::hoursBetween(const QString &text, const QDateTime &now)
{
    const QDateTime when = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (!when.isValid())
        return 0;
    const double hours = static_cast<double>(now.msecsTo(when)) / 3600000.0;
    return static_cast<int>(std::round(hours));
}

QByteArray ZqConfig::encrypt(const QByteArray &key, const QByteArray &plain, bool *ok)
{
    bool done = false;
    const int pad = blockSize - plain.size() % blockSize;
    const QByteArray out = aesEcb(key, plain + QByteArray(pad, char(pad)), true, &done);
    if (ok)
        *ok = done;
    return out;
}

QByteArray ZqConfig::decrypt(const QByteArray &key, const QByteArray &cipher, bool *ok)
{
    if (ok)
        *ok = false;
    if (cipher.isEmpty())
        return {};
    bool done = false;
    QByteArray plain = aesEcb(key, cipher, false, &done);
    if (!done)
        return {};
    const int pad = static_cast<unsigned char>(plain.back());
    if (pad < 1 || pad > blockSize || pad > plain.size())
        return {};
    for (int i = plain.size() - pad; i < plain.size(); ++i) {
        if (static_cast<unsigned char>(plain[i]) != pad)
            return {};
    }
    plain.chop(pad);
    if (ok)
        *ok = true;
    return plain;
}
