#pragma once

// pelomir-provider over real HTTP: every endpoint's answers and failures, tokens, throttling,
// concurrency, restarts and kills, and the phone farm link. One executable; its slots live in
// tst_provider_<group>.cpp by concern, and these helpers serve them all.
#include "tests/support/credential.h"
#include "tests/support/providerprocess.h"

#include <QDateTime>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <openssl/evp.h>

#include <atomic>
#include <map>
#include <mutex>
#include <thread>

const QString kDemo = "13800000000";
const QString kDemoPassword = "pelomir2026";
const QByteArray kAesKey = "Tq4Wm8XzR2nLp6VyK3sHd9Bc";
const QString kUser = "/api/tamsu-phone-user/v1";
const QString kPhone = "/api/tamsu-cloud-phone/v1";

inline QByteArray aesDecrypt(const QByteArray &cipher)
{
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    QByteArray out(cipher.size() + 16, '\0');
    int n1 = 0, n2 = 0;
    const bool ok =
        EVP_DecryptInit_ex(ctx, EVP_aes_192_ecb(), nullptr,
                           reinterpret_cast<const unsigned char *>(kAesKey.data()), nullptr) == 1 &&
        EVP_DecryptUpdate(ctx, reinterpret_cast<unsigned char *>(out.data()), &n1,
                          reinterpret_cast<const unsigned char *>(cipher.data()), cipher.size()) == 1 &&
        EVP_DecryptFinal_ex(ctx, reinterpret_cast<unsigned char *>(out.data()) + n1, &n2) == 1;
    EVP_CIPHER_CTX_free(ctx);
    return ok ? out.left(n1 + n2) : QByteArray();
}

inline QJsonArray groupsOf(const QJsonObject &answer)
{
    return answer["content"].toArray();
}

inline QJsonObject groupById(const QJsonArray &groups, int id)
{
    for (const auto &g : groups)
        if (g.toObject()["id"].toInt() == id)
            return g.toObject();
    return {};
}

inline QList<QJsonObject> allPhones(const QJsonArray &groups)
{
    QList<QJsonObject> phones;
    for (const auto &g : groups)
        for (const auto &p : g.toObject()["phoneList"].toArray())
            phones << p.toObject();
    return phones;
}

// Asks for an SMS code until one is sent, and then no more: each call is a request of its own,
// and the polling macros evaluate their expression once more after it first holds.
inline bool sendOnce(const ProviderProcess &server, const QString &phone, bool &sent)
{
    sent = sent || server.post("/api/public/v1/verify-code/send", {{"mobile", phone}})["status"].toInt() == 1;
    return sent;
}

// The list without the parts that change on every call (credentials carry the issue time).
inline QByteArray stableList(const QJsonObject &answer)
{
    QJsonArray groups = groupsOf(answer);
    for (int i = 0; i < groups.size(); ++i) {
        QJsonObject g = groups[i].toObject();
        QJsonArray phones = g["phoneList"].toArray();
        for (int j = 0; j < phones.size(); ++j) {
            QJsonObject p = phones[j].toObject();
            QJsonObject access = p["accessInfo"].toObject();
            access.remove("ucid");
            p["accessInfo"] = access;
            p.remove("remainTimeStr");
            phones[j] = p;
        }
        g["phoneList"] = phones;
        groups[i] = g;
    }
    return QJsonDocument(groups).toJson(QJsonDocument::Compact);
}

class TestProvider : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void commandLine();
    void passwordLogin();
    void groupListShape();
    void billingIcons();
    void tokens();
    void smsCodes();
    void passwordResetAndRegistration();
    void throttling();
    void groupsAndNames();
    void restartResetAndRunningStatus();
    void accessCheckAndChangeOrders();
    void uploadInfoAndUpdateCheck();
    void webPages();
    void pageApi();
    void badInput();
    void slowPeers();
    void concurrentWriters();
    void restartKeepsDataAndKillLosesNothing();
    void phoneFarmLink();

private:
    QString demoToken();
    std::unique_ptr<ProviderProcess> fresh(const QString &name, const QStringList &args = {});

    QTemporaryDir dir_;
    std::unique_ptr<ProviderProcess> main_;
};
