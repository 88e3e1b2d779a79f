#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Fixed settings and the few values that survive a restart, kept in the encrypted file
// dataDirectory() + "/config". GUI thread only, except decryptSplit and the cipher helpers.
class ZqConfig
{
public:
    ZqConfig();

    QString account;
    QString password;
    QString buyUrl;
    QString homeUrl;
    QString registerUrl;
    QString androidApp;
    QString apiBaseUrl;
    // The provider's web front end that the purchase and upload pages come from. Deployment value,
    // not persisted.
    QString webUrl;
    // The object store that uploads go to and phones fetch from, how its requests are signed ("v2"
    // or "v4") and the region v4 signatures name. Deployment values, not persisted.
    QString objstoreEndpoint;
    QString objstoreSignature;
    QString objstoreRegion;
    QString aesKey = QStringLiteral("Tq4Wm8XzR2nLp6VyK3sHd9Bc");
    QString version = QStringLiteral("1.1.0");
    int versionCode = 110;

    // Path of the configuration file; tests point it elsewhere.
    QString filePath;

    // True if the file exists and is a regular file; when false, applies the address defaults.
    bool hasConfigFile();
    // Replaces the fields the file names. An unreadable or undecryptable file changes nothing.
    void load();
    // Writes the six persisted fields (owner-only file, replaced atomically). Returns success.
    bool save() const;

    // Any thread. Decrypts one Base64 inventory field and splits it at '#'. Input that is not valid
    // Base64 or does not decrypt with valid padding gives an empty list.
    QList<QByteArray> decryptSplit(const QString &text) const;

    // Hours from now until the local time `text` ("yyyy-MM-dd HH:mm:ss"), rounded half away from
    // zero; 0 when the text does not parse.
    static int hoursUntil(const QString &text);
    static int hoursBetween(const QString &text, const class QDateTime &now);

    // AES-192-ECB with PKCS#7 padding. Both return an empty array (and `ok` false) on a key that is
    // not 24 bytes, a length that is not a whole number of blocks, or bad padding.
    static QByteArray encrypt(const QByteArray &key, const QByteArray &plain, bool *ok = nullptr);
    static QByteArray decrypt(const QByteArray &key, const QByteArray &cipher, bool *ok = nullptr);
};
