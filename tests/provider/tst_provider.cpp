// pelomir-provider over real HTTP: every endpoint's answers and failures, tokens, throttling,
// concurrency, restarts and kills, and the phone farm link.
// Long because it is the provider's one QtTest executable; each slot below is one group of cases.
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

namespace {

const QString kDemo = "13800000000";
const QString kDemoPassword = "pelomir2026";
const QByteArray kAesKey = "Tq4Wm8XzR2nLp6VyK3sHd9Bc";
const QString kUser = "/api/tamsu-phone-user/v1";
const QString kPhone = "/api/tamsu-cloud-phone/v1";

QByteArray aesDecrypt(const QByteArray &cipher)
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

QJsonArray groupsOf(const QJsonObject &answer)
{
    return answer["content"].toArray();
}

QJsonObject groupById(const QJsonArray &groups, int id)
{
    for (const auto &g : groups)
        if (g.toObject()["id"].toInt() == id)
            return g.toObject();
    return {};
}

QList<QJsonObject> allPhones(const QJsonArray &groups)
{
    QList<QJsonObject> phones;
    for (const auto &g : groups)
        for (const auto &p : g.toObject()["phoneList"].toArray())
            phones << p.toObject();
    return phones;
}

// Asks for an SMS code until one is sent, and then no more: each call is a request of its own,
// and the polling macros evaluate their expression once more after it first holds.
bool sendOnce(const ProviderProcess &server, const QString &phone, bool &sent)
{
    sent = sent || server.post("/api/public/v1/verify-code/send", {{"mobile", phone}})["status"].toInt() == 1;
    return sent;
}

// The list without the parts that change on every call (credentials carry the issue time).
QByteArray stableList(const QJsonObject &answer)
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

} // namespace

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

void TestProvider::initTestCase()
{
    QVERIFY(dir_.isValid());
    main_ = std::make_unique<ProviderProcess>(
        dir_.filePath("main.db"),
        QStringList{"--dev", "--restart-seconds", "0.3", "--reset-seconds", "0.3", "--login-max-failures",
                    "3", "--login-lockout", "1", "--login-address-failures", "1000", "--sms-per-address",
                    "1000"});
    QString error;
    QVERIFY2(main_->start(&error), qPrintable(error));
}

void TestProvider::cleanupTestCase()
{
    if (main_)
        QCOMPARE(main_->terminate(), 0);
}

QString TestProvider::demoToken()
{
    return main_->login(kDemo, kDemoPassword);
}

void TestProvider::commandLine()
{
    const QString bin = testsupport::binDir() + "/pelomir-provider";
    QProcess help;
    help.start(bin, {"--help"});
    QVERIFY(help.waitForFinished(10000));
    QCOMPARE(help.exitCode(), 0);
    const QString text = QString::fromUtf8(help.readAllStandardOutput());
    for (const char *option :
         {"--listen", "--db", "--dev", "--farm", "--farm-secret", "--seed-phones", "--token-ttl",
          "--fast-hash", "--store-bucket", "--update-url", "--update-force", "--sms-interval"})
        QVERIFY2(text.contains(option), option);
    // Defaults come from the values the server runs with.
    QVERIFY(text.contains("127.0.0.1:18080"));
    QVERIFY(text.contains("604800"));

    // An option right after one that needs a value is not taken as that value.
    QProcess swallowed;
    swallowed.start(bin,
                    {"--listen", "127.0.0.1:0", "--db", dir_.filePath("y.db"), "--farm-secret", "--dev"});
    QVERIFY(swallowed.waitForFinished(10000));
    QCOMPARE(swallowed.exitCode(), 2);
    QVERIFY(!QFile::exists(dir_.filePath("y.db")));
    QProcess badValue;
    badValue.start(bin, {"--db", dir_.filePath("z.db"), "--threads", "0"});
    QVERIFY(badValue.waitForFinished(10000));
    QCOMPARE(badValue.exitCode(), 2);
    QVERIFY(badValue.readAllStandardError().contains("--threads"));

    QProcess bad;
    bad.start(bin, {"--db", dir_.filePath("x.db"), "--no-such-option"});
    QVERIFY(bad.waitForFinished(10000));
    QCOMPARE(bad.exitCode(), 2);
    QVERIFY(bad.readAllStandardError().contains("--no-such-option"));

    QProcess noDb;
    noDb.start(bin, {"--listen", "127.0.0.1:0"});
    QVERIFY(noDb.waitForFinished(10000));
    QCOMPARE(noDb.exitCode(), 2);

    // A file that is not a sound database is refused, not overwritten.
    QFile junk(dir_.filePath("junk.db"));
    QVERIFY(junk.open(QIODevice::WriteOnly));
    const QByteArray garbage(8192, 'x');
    junk.write(garbage);
    junk.close();
    QProcess refused;
    refused.start(bin, {"--listen", "127.0.0.1:0", "--db", junk.fileName()});
    QVERIFY(refused.waitForFinished(10000));
    QCOMPARE(refused.exitCode(), 1);
    QVERIFY(refused.readAllStandardOutput().isEmpty());
    QVERIFY(refused.readAllStandardError().contains("cannot open the database"));
    QVERIFY(junk.open(QIODevice::ReadOnly));
    QCOMPARE(junk.readAll(), garbage);
}

void TestProvider::passwordLogin()
{
    const QJsonObject ok =
        main_->post(kUser + "/login/phone", {{"phone", kDemo}, {"password", kDemoPassword}});
    QCOMPARE(ok["http"].toInt(), 200);
    QCOMPARE(ok["status"].toInt(), 1);
    const QJsonObject content = ok["content"].toObject();
    const QJsonObject token = content["userToken"].toObject();
    QVERIFY(QRegularExpression("^[0-9a-f]{64}$").match(token["token"].toString()).hasMatch());
    QVERIFY(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$")
                .match(token["expiredTime"].toString())
                .hasMatch());
    QCOMPARE(token["expiresIn"].toInt(), 7 * 24 * 3600);
    QCOMPARE(token["platformId"].toInt(), 8);
    const QJsonObject detail = content["userDetail"].toObject();
    QCOMPARE(detail["phone"].toString(), kDemo);
    QVERIFY(detail["userId"].toInt() > 0);
    QCOMPARE(detail["userId"].toInt(), token["userId"].toInt());
    for (const char *key : {"availableness",
                            "avatar",
                            "birthday",
                            "createTime",
                            "createTimeStr",
                            "developerStatus",
                            "id",
                            "imei",
                            "nickname",
                            "passwordStatus",
                            "phoneStatus",
                            "platformId",
                            "qqStatus",
                            "realNameAuthentication",
                            "registerTime",
                            "registerTimeStr",
                            "sex",
                            "statisticsNo",
                            "username",
                            "usernameStatus",
                            "wechatStatus",
                            "weiboStatus"})
        QVERIFY2(detail.contains(key), key);
    // Each login opens its own session.
    QVERIFY(demoToken() != token["token"].toString());

    struct Case
    {
        QMap<QString, QString> params;
        int status;
        QString msg;
    };
    const QList<Case> failures = {
        {{{"password", "x"}}, 400, "手机号码不能为空"},
        {{{"phone", "12345"}, {"password", "x"}}, 400, "手机号码格式不正确"},
        {{{"phone", kDemo}}, 400, "密码不能为空"},
        {{{"phone", "13700000009"}, {"password", "whatever1"}}, 403, "手机号或密码错误"},
    };
    for (const auto &c : failures) {
        const QJsonObject a = main_->post(kUser + "/login/phone", c.params);
        QCOMPARE(a["http"].toInt(), 200);
        QCOMPARE(a["status"].toInt(), c.status);
        QCOMPARE(a["msg"].toString(), c.msg);
    }
    const QJsonObject wrong =
        main_->post(kUser + "/login/phone", {{"phone", kDemo}, {"password", "pelomir2025"}});
    QCOMPARE(wrong["status"].toInt(), 403);
    QCOMPARE(wrong["msg"].toString(), QString("手机号或密码错误"));
    // A success clears the count again: two more failures are still evaluated.
    QVERIFY(!demoToken().isEmpty());
    for (int i = 0; i < 2; ++i)
        QCOMPARE(main_->post(kUser + "/login/phone", {{"phone", kDemo}, {"password", "x"}})["status"].toInt(),
                 403);
    QVERIFY(!demoToken().isEmpty());
}

void TestProvider::groupListShape()
{
    const QJsonObject answer = main_->get(kPhone + "/phone/group-list", demoToken());
    QCOMPARE(answer["status"].toInt(), 1);
    const QJsonArray groups = groupsOf(answer);
    QSet<int> ids;
    for (const auto &g : groups)
        ids << g.toObject()["id"].toInt();
    QVERIFY(ids.contains(-1) && ids.contains(-2));
    QCOMPARE(ids.size(), 5);
    QCOMPARE(groupById(groups, -2)["phoneList"].toArray().size(), 2);
    QCOMPARE(groupById(groups, -1)["phoneList"].toArray().size(), 4);
    const auto phones = allPhones(groups);
    QCOMPARE(phones.size(), 24);

    const QStringList intFields = {
        "billingId",   "cloudPhoneId", "id",     "instanceId", "maintenanceStatus", "phoneImageId", "phoneNo",
        "phoneStatus", "source",       "status", "type"};
    const QStringList textFields = {"billingIcon", "endTime", "name", "remainTimeStr", "serverId"};
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QSet<int> cloudIds, recordIds;
    int restricted = 0, expired = 0;
    for (const auto &p : phones) {
        for (const auto &f : intFields)
            QVERIFY2(p[f].isDouble(), qPrintable(f));
        for (const auto &f : textFields)
            QVERIFY2(p[f].isString() && !p[f].toString().isEmpty(), qPrintable(f));
        QVERIFY(p["allowRenewal"].isBool());
        cloudIds << p["cloudPhoneId"].toInt();
        recordIds << p["id"].toInt();

        const QJsonObject access = p["accessInfo"].toObject();
        const QString deviceId = access["deviceId"].toString();
        QVERIFY(QRegularExpression("^[A-Za-z0-9]{1,31}$").match(deviceId).hasMatch());
        // The access field decrypts, as the client does it, to "credential#issueTime".
        const QByteArray plain = aesDecrypt(QByteArray::fromBase64(access["ucid"].toString().toLatin1()));
        const QList<QByteArray> pieces = plain.split('#');
        QCOMPARE(pieces.size(), 2);
        const qint64 issued = pieces[1].toLongLong();
        QVERIFY(qAbs(issued - now) < 60);
        const QList<QByteArray> cred = pieces[0].split('.');
        QCOMPARE(cred.size(), 5);
        QCOMPARE(cred[0], QByteArray("ucv2"));
        QCOMPARE(cred[3], QByteArray("1"));
        QVERIFY(pieces[0].size() < 256);
        QCOMPARE(cred, harness::credential(deviceId.toLatin1(), cred[1].toLongLong(), cred[2] == "1",
                                           harness::kSecret, 1)
                           .split('.'));

        const QJsonObject auth = access["authorition"].toObject();
        const bool inGranted = groupById(groups, -1)["phoneList"].toArray().contains(p);
        QCOMPARE(auth.isEmpty(), !inGranted);
        if (inGranted) {
            for (const char *k : {"authorizationBehavior", "authorizationInfoId", "authorizationPhoneStatus",
                                  "authorizationStrategy", "authorizationType"})
                QVERIFY2(auth[k].isDouble(), k);
            const bool viewOnly = auth["authorizationStrategy"].toInt() == 1;
            restricted += viewOnly;
            QCOMPARE(cred[2], QByteArray(viewOnly ? "1" : "0"));
        }
        const qint64 end =
            QDateTime::fromString(p["endTime"].toString(), "yyyy-MM-dd HH:mm:ss").toSecsSinceEpoch();
        if (end <= now) {
            ++expired;
            QCOMPARE(p["remainTimeStr"].toString(), QString("已到期"));
            // An expired rental's credential is already void.
            QVERIFY(cred[1].toLongLong() <= now);
        } else {
            QVERIFY(cred[1].toLongLong() > now + 23 * 3600);
        }
    }
    QCOMPARE(cloudIds.size(), 24);
    QCOMPARE(recordIds.size(), 24);
    QCOMPARE(restricted, 2);
    QCOMPARE(expired, 1);
}

void TestProvider::billingIcons()
{
    const auto phones = allPhones(groupsOf(main_->get(kPhone + "/phone/group-list", demoToken())));
    QMap<int, QString> icons;
    for (const auto &p : phones)
        icons[p["billingId"].toInt()] = p["billingIcon"].toString();
    QCOMPARE(icons.size(), 4);
    int missing = 0;
    for (const auto &address : icons) {
        QVERIFY(address.startsWith(main_->baseUrl() + "/"));
        const auto res = main_->client()->Get(address.mid(main_->baseUrl().size()).toUtf8().constData());
        QVERIFY(res);
        if (res->status == 404) {
            ++missing;
            continue;
        }
        QCOMPARE(res->status, 200);
        QCOMPARE(QString::fromStdString(res->get_header_value("Content-Type")), QString("image/png"));
        QVERIFY(res->body.rfind("\x89PNG\r\n\x1a\n", 0) == 0);
        // A decoder takes it whole: checksums and compressed data are sound.
        const QImage icon = QImage::fromData(QByteArray::fromStdString(res->body), "PNG");
        QCOMPARE(icon.size(), QSize(32, 32));
        QCOMPARE(qAlpha(icon.pixel(0, 0)), 0);
        QCOMPARE(qAlpha(icon.pixel(16, 8)), 255);
    }
    QCOMPARE(missing, 1);
}

void TestProvider::tokens()
{
    const QString list = kPhone + "/phone/group-list";
    QJsonObject a = main_->get(list);
    QCOMPARE(a["status"].toInt(), 401);
    QCOMPARE(a["msg"].toString(), QString("请先登录"));
    a = main_->get(list, "0123456789abcdef");
    QCOMPARE(a["status"].toInt(), 401);
    QCOMPARE(a["msg"].toString(), QString("登录状态无效，请重新登录"));
    // A "Bearer" scheme word is not part of the token.
    a = main_->get(list, "Bearer " + demoToken());
    QCOMPARE(a["status"].toInt(), 401);
    // Every authenticated call checks the token, not only the list.
    a = main_->post(kPhone + "/group/save", {{"name", "无令牌"}});
    QCOMPARE(a["status"].toInt(), 401);

    ProviderProcess shortLived(dir_.filePath("ttl.db"), {"--token-ttl", "1"});
    QString error;
    QVERIFY2(shortLived.start(&error), qPrintable(error));
    const QString token = shortLived.login(kDemo, kDemoPassword);
    QVERIFY(!token.isEmpty());
    QCOMPARE(
        shortLived.post(kUser + "/login/phone", {{"phone", kDemo}, {"password", kDemoPassword}})["content"]
            .toObject()["userToken"]
            .toObject()["expiresIn"]
            .toInt(),
        1);
    QTRY_COMPARE_WITH_TIMEOUT(shortLived.get(list, token)["msg"].toString(),
                              QString("登录已过期，请重新登录"), 10000);
    QCOMPARE(shortLived.get(list, token)["status"].toInt(), 401);
    QCOMPARE(shortLived.get(list, shortLived.login(kDemo, kDemoPassword))["status"].toInt(), 1);

    // Logins never logged out are bounded per account: past the bound the oldest token goes first.
    auto many = fresh("many-logins");
    QVERIFY(many);
    QStringList issued;
    for (int i = 0; i <= 50; ++i)
        issued.append(many->login(kDemo, kDemoPassword));
    QVERIFY(!issued.contains(QString()));
    QCOMPARE(many->get(list, issued.first())["status"].toInt(), 401);
    QCOMPARE(many->get(list, issued[1])["status"].toInt(), 1);
    QCOMPARE(many->get(list, issued.last())["status"].toInt(), 1);
    QCOMPARE(shortLived.terminate(), 0);
}

void TestProvider::smsCodes()
{
    const QString phone = "13600000001";
    const QString send = "/api/public/v1/verify-code/send";
    const QMap<QString, QString> sendParams = {
        {"mobile", phone}, {"identityType", "tamsu_cloud_phone"}, {"productCode", "tamsu_cloud_phone"}};
    QCOMPARE(main_->post(send, {{"mobile", ""}})["msg"].toString(), QString("手机号码不能为空"));
    QCOMPARE(main_->post(send, {{"mobile", "1380000000x"}})["msg"].toString(), QString("手机号码格式不正确"));
    QJsonObject a = main_->post(send, sendParams);
    QCOMPARE(a["status"].toInt(), 1);
    a = main_->post(send, sendParams);
    QCOMPARE(a["status"].toInt(), 429);
    QVERIFY(a["msg"].toString().startsWith("验证码发送过于频繁"));
    const QString code = main_->lastSmsCode(phone);
    QVERIFY(QRegularExpression("^\\d{6}$").match(code).hasMatch());
    // The code always goes to the log: there is no SMS gateway.
    QVERIFY(main_->logText().contains("SMS code " + code + " for " + phone));

    // Login with a code needs an account.
    a = main_->post(kUser + "/login/smsCaptcha", {{"phone", phone}, {"smsCaptcha", code}});
    QCOMPARE(a["msg"].toString(), QString("该手机号未注册"));

    // The demo account: wrong code, right code, then the used code again.
    QCOMPARE(main_->post(send, {{"mobile", kDemo}})["status"].toInt(), 1);
    const QString demoCode = main_->lastSmsCode(kDemo);
    const QString wrongCode = demoCode == "000000" ? "000001" : "000000";
    a = main_->post(kUser + "/login/smsCaptcha", {{"phone", kDemo}, {"smsCaptcha", wrongCode}});
    QCOMPARE(a["status"].toInt(), 403);
    QCOMPARE(a["msg"].toString(), QString("验证码错误"));
    QCOMPARE(main_->post(kUser + "/login/smsCaptcha", {{"phone", kDemo}})["msg"].toString(),
             QString("验证码不能为空"));
    a = main_->post(kUser + "/login/smsCaptcha", {{"phone", kDemo}, {"smsCaptcha", demoCode}});
    QCOMPARE(a["status"].toInt(), 1);
    QVERIFY(!a["content"].toObject()["userToken"].toObject()["token"].toString().isEmpty());
    a = main_->post(kUser + "/login/smsCaptcha", {{"phone", kDemo}, {"smsCaptcha", demoCode}});
    QCOMPARE(a["msg"].toString(), QString("请先获取验证码"));
    QCOMPARE(main_->get("/dev/sms?phone=13600000099")["status"].toInt(), 404);

    // A code is void after too many wrong entries, even the right one afterwards; and the
    // interval passes.
    ProviderProcess fast(dir_.filePath("sms.db"),
                         {"--dev", "--sms-interval", "0.5", "--sms-max-attempts", "2"});
    QString error;
    QVERIFY2(fast.start(&error), qPrintable(error));
    QCOMPARE(fast.post(send, {{"mobile", kDemo}})["status"].toInt(), 1);
    const QString fastCode = fast.lastSmsCode(kDemo);
    const QString bad = fastCode == "000000" ? "000001" : "000000";
    QCOMPARE(
        fast.post(kUser + "/login/smsCaptcha", {{"phone", kDemo}, {"smsCaptcha", bad}})["msg"].toString(),
        QString("验证码错误"));
    QCOMPARE(
        fast.post(kUser + "/login/smsCaptcha", {{"phone", kDemo}, {"smsCaptcha", bad}})["msg"].toString(),
        QString("验证码错误次数过多，请重新获取"));
    QCOMPARE(fast.post(kUser + "/login/smsCaptcha", {{"phone", kDemo}, {"smsCaptcha", fastCode}})["status"]
                 .toInt(),
             403);
    bool sent = false;
    QTRY_VERIFY_WITH_TIMEOUT(sendOnce(fast, kDemo, sent), 10000);
    QCOMPARE(fast.post(kUser + "/login/smsCaptcha",
                       {{"phone", kDemo}, {"smsCaptcha", fast.lastSmsCode(kDemo)}})["status"]
                 .toInt(),
             1);
    // A code that has run out is refused as such.
    ProviderProcess expiring(dir_.filePath("expiring.db"), {"--dev", "--sms-ttl", "0.2"});
    QVERIFY2(expiring.start(&error), qPrintable(error));
    QCOMPARE(expiring.post(send, {{"mobile", kDemo}})["status"].toInt(), 1);
    const QString oldCode = expiring.lastSmsCode(kDemo);
    QTRY_COMPARE_WITH_TIMEOUT(
        expiring.get("/dev/sms?phone=" + kDemo)["content"].toObject()["expiresIn"].toInt(-1), 0, 10000);
    const QJsonObject late =
        expiring.post(kUser + "/login/smsCaptcha", {{"phone", kDemo}, {"smsCaptcha", oldCode}});
    QCOMPARE(late["status"].toInt(), 410);
    QCOMPARE(late["msg"].toString(), QString("验证码已过期，请重新获取"));
    QCOMPARE(expiring.terminate(), 0);

    // Without --dev the codes cannot be read over HTTP.
    ProviderProcess prod(dir_.filePath("prod.db"));
    QVERIFY2(prod.start(&error), qPrintable(error));
    QCOMPARE(prod.get("/dev/sms?phone=" + kDemo)["http"].toInt(), 404);
    QCOMPARE(fast.terminate(), 0);
    QCOMPARE(prod.terminate(), 0);
}

std::unique_ptr<ProviderProcess> TestProvider::fresh(const QString &name, const QStringList &args)
{
    auto server = std::make_unique<ProviderProcess>(dir_.filePath(name + ".db"), args);
    QString error;
    if (!server->start(&error)) {
        qWarning("%s", qPrintable(error));
        return nullptr;
    }
    return server;
}

void TestProvider::passwordResetAndRegistration()
{
    auto s = fresh("reset", {"--dev", "--sms-interval", "0.2"});
    QVERIFY(s);
    const QString send = "/api/public/v1/verify-code/send";
    const QString phone = "13600000002";
    // A space and a plus sign, sent raw the way the client's form text carries them.
    const QString token = s->registerUser(phone, "first pass+1");
    QVERIFY(!token.isEmpty());
    QVERIFY(s->login(phone, "first pass 1").isEmpty());
    const QJsonArray groups = groupsOf(s->get(kPhone + "/phone/group-list", token));
    QCOMPARE(groups.size(), 3);
    QCOMPARE(allPhones(groups).size(), 0);

    bool sent = false;
    QTRY_VERIFY_WITH_TIMEOUT(sendOnce(*s, phone, sent), 10000);
    QJsonObject a =
        s->post(kUser + "/register",
                {{"phone", phone}, {"smsCaptcha", s->lastSmsCode(phone)}, {"password", "another1"}});
    QCOMPARE(a["status"].toInt(), 409);
    QCOMPARE(a["msg"].toString(), QString("该手机号已注册"));
    QCOMPARE(s->post(kUser + "/register",
                     {{"phone", "13600000004"}, {"smsCaptcha", "1"}, {"password", "abc"}})["msg"]
                 .toString(),
             QString("密码长度须为6到32个字符"));

    const QString reset = kUser + "/password/resetPasswordByPhoneWithSmsCaptcha";
    struct Case
    {
        QMap<QString, QString> params;
        QString msg;
    };
    const QList<Case> failures = {
        {{{"smsCaptcha", "1"}, {"password", "abcdef1"}}, "手机号码不能为空"},
        {{{"phone", phone}, {"password", "abcdef1"}}, "验证码不能为空"},
        {{{"phone", phone}, {"smsCaptcha", "123456"}}, "密码不能为空"},
        {{{"phone", phone}, {"smsCaptcha", "123456"}, {"password", "abc"}}, "密码长度须为6到32个字符"},
        {{{"phone", phone}, {"smsCaptcha", "123456"}, {"password", QString(33, 'x')}},
         "密码长度须为6到32个字符"},
        // Whether a number has an account shows only to whoever has its code.
        {{{"phone", "13700000008"}, {"smsCaptcha", "123456"}, {"password", "abcdef1"}}, "请先获取验证码"},
    };
    for (const auto &c : failures)
        QCOMPARE(s->post(reset, c.params)["msg"].toString(), c.msg);

    // The registration above spent the code it was given.
    sent = false;
    QTRY_VERIFY_WITH_TIMEOUT(sendOnce(*s, phone, sent), 10000);
    const QString code = s->lastSmsCode(phone);
    const QString wrong = code == "000000" ? "000001" : "000000";
    QCOMPARE(s->post(reset, {{"phone", phone}, {"smsCaptcha", wrong}, {"password", "new-secret"}})["msg"]
                 .toString(),
             QString("验证码错误"));
    a = s->post(reset, {{"phone", phone}, {"smsCaptcha", code}, {"password", "new-secret"}});
    QCOMPARE(a["status"].toInt(), 1);
    QCOMPARE(a["msg"].toString(), QString("密码重置成功"));
    // Sessions opened with the old password end with it.
    QCOMPARE(s->get(kPhone + "/phone/group-list", token)["status"].toInt(), 401);
    QCOMPARE(
        s->post(kUser + "/login/phone", {{"phone", phone}, {"password", "first pass+1"}})["status"].toInt(),
        403);
    QVERIFY(!s->login(phone, "new-secret").isEmpty());
    QCOMPARE(s->terminate(), 0);
}

void TestProvider::groupsAndNames()
{
    auto s = fresh("groups");
    QVERIFY(s);
    const QString token = s->login(kDemo, kDemoPassword);
    const auto list = [&] { return groupsOf(s->get(kPhone + "/phone/group-list", token)); };
    const auto post = [&](const QString &path, const QMap<QString, QString> &params) {
        return s->post(kPhone + path, params, token);
    };

    QJsonObject a = post("/group/save", {{"name", "新分组"}});
    QCOMPARE(a["status"].toInt(), 1);
    const int newGroup = a["content"].toObject()["id"].toInt();
    QVERIFY(newGroup > 0);
    QCOMPARE(post("/group/save", {{"name", "新分组"}})["msg"].toString(), QString("分组名称已存在"));
    QCOMPARE(post("/group/save", {{"name", "   "}})["msg"].toString(), QString("分组名称不能为空"));
    QCOMPARE(post("/group/save", {})["msg"].toString(), QString("分组名称不能为空"));
    QCOMPARE(post("/group/save", {{"name", QString(21, QChar(0x7EC4))}})["msg"].toString(),
             QString("分组名称不能超过20个字符"));
    QCOMPARE(post("/group/save", {{"name", "a\tb"}})["msg"].toString(), QString("分组名称包含无效字符"));
    // Characters that form text treats specially come back exactly.
    const QString odd = "A&B=C+D %E #1?";
    a = post("/group/save", {{"name", odd}});
    QCOMPARE(a["status"].toInt(), 1);
    QCOMPARE(groupById(list(), a["content"].toObject()["id"].toInt())["name"].toString(), odd);

    QCOMPARE(post("/group/rename", {{"id", "0"}, {"name", "x"}})["msg"].toString(),
             QString("该分组不能重命名"));
    QCOMPARE(post("/group/rename", {{"id", "-1"}, {"name", "x"}})["msg"].toString(),
             QString("该分组不能重命名"));
    QCOMPARE(post("/group/rename", {{"id", "999999"}, {"name", "x"}})["msg"].toString(),
             QString("分组不存在"));
    QCOMPARE(post("/group/rename", {{"id", QString::number(newGroup)}, {"name", odd}})["status"].toInt(),
             409);
    QCOMPARE(post("/group/rename", {{"id", QString::number(newGroup)}, {"name", "改名后"}})["status"].toInt(),
             1);
    QCOMPARE(groupById(list(), newGroup)["name"].toString(), QString("改名后"));

    QJsonArray groups = list();
    QList<QJsonObject> ordinary;
    for (const auto &g : groups)
        if (g.toObject()["id"].toInt() > 0 && !g.toObject()["phoneList"].toArray().isEmpty())
            ordinary << g.toObject();
    QVERIFY(ordinary.size() >= 2);
    const QJsonArray firstPhones = ordinary[0]["phoneList"].toArray();
    const QString moved = QString::number(firstPhones[0].toObject()["cloudPhoneId"].toInt());
    const QString granted =
        QString::number(groupById(groups, -1)["phoneList"].toArray()[0].toObject()["cloudPhoneId"].toInt());
    const QString target = QString::number(newGroup);

    QCOMPARE(post("/group/phone-move", {{"id", target}, {"cloudPhoneId", moved}})["status"].toInt(), 1);
    QCOMPARE(groupById(list(), newGroup)["phoneList"].toArray().size(), 1);
    QCOMPARE(post("/group/phone-move", {{"id", "-1"}, {"cloudPhoneId", moved}})["msg"].toString(),
             QString("分组不存在"));
    QCOMPARE(post("/group/phone-move", {{"id", target}, {"cloudPhoneId", granted}})["msg"].toString(),
             "授权设备不能移动分组：" + granted);
    QCOMPARE(post("/group/phone-move", {{"id", target}, {"cloudPhoneId", "999999"}})["msg"].toString(),
             QString("云手机不存在：999999"));

    QStringList second;
    for (const auto &p : ordinary[1]["phoneList"].toArray())
        second << QString::number(p.toObject()["cloudPhoneId"].toInt());
    // A list with one phone that may not move moves none of them.
    a = post("/group/batch-phone-move",
             {{"id", target}, {"cloudPhoneIds", second.join(',') + "," + granted}});
    QCOMPARE(a["status"].toInt(), 403);
    QCOMPARE(groupById(list(), newGroup)["phoneList"].toArray().size(), 1);
    for (const QString &bad :
         {QString(), QString("1,,2"), QString("1,2,"), QString("a,b"), QString(" 1"), QString("-5")})
        QCOMPARE(post("/group/batch-phone-move", {{"id", target}, {"cloudPhoneIds", bad}})["status"].toInt(),
                 400);
    QCOMPARE(post("/group/batch-phone-move", {{"id", target}, {"cloudPhoneIds", second.join(',')}})["status"]
                 .toInt(),
             1);
    QCOMPARE(groupById(list(), newGroup)["phoneList"].toArray().size(), 1 + second.size());
    QVERIFY(groupById(list(), ordinary[1]["id"].toInt())["phoneList"].toArray().isEmpty());

    QCOMPARE(post("/group/remove", {{"id", "0"}})["msg"].toString(), QString("该分组不能删除"));
    QCOMPARE(post("/group/remove", {{"id", "-2"}})["msg"].toString(), QString("该分组不能删除"));
    QCOMPARE(post("/group/remove", {{"id", "999999"}})["msg"].toString(), QString("分组不存在"));
    const int ungroupedBefore = groupById(list(), -2)["phoneList"].toArray().size();
    QCOMPARE(post("/group/remove", {{"id", target}})["status"].toInt(), 1);
    groups = list();
    QVERIFY(groupById(groups, newGroup).isEmpty());
    // The group's phones stay in the account, ungrouped.
    QCOMPARE(groupById(groups, -2)["phoneList"].toArray().size(), ungroupedBefore + 1 + second.size());
    QCOMPARE(allPhones(groups).size(), 24);

    // Renaming a phone goes by its record id, not its cloud phone id.
    const QJsonObject phone = groupById(groups, -2)["phoneList"].toArray()[0].toObject();
    const QString recordId = QString::number(phone["id"].toInt());
    QCOMPARE(post("/phone/update-phone-name", {{"id", recordId}, {"name", "我的手机"}})["status"].toInt(), 1);
    bool renamed = false;
    for (const auto &p : allPhones(list()))
        renamed = renamed || (p["id"].toInt() == phone["id"].toInt() && p["name"].toString() == "我的手机");
    QVERIFY(renamed);
    const QString grantedRecord =
        QString::number(groupById(groups, -1)["phoneList"].toArray()[0].toObject()["id"].toInt());
    QCOMPARE(post("/phone/update-phone-name", {{"id", grantedRecord}, {"name", "x"}})["msg"].toString(),
             QString("授权设备不能修改名称"));
    QCOMPARE(post("/phone/update-phone-name", {{"id", "999999"}, {"name", "x"}})["msg"].toString(),
             QString("云手机不存在"));
    QCOMPARE(
        post("/phone/update-phone-name", {{"id", recordId}, {"name", QString(33, 'n')}})["status"].toInt(),
        400);

    // Prefix renaming numbers the phones in list order, with suffixes of one width.
    QStringList ids;
    for (const auto &p : allPhones(groups))
        if (p["accessInfo"].toObject()["authorition"].toObject().isEmpty() && ids.size() < 12)
            ids << QString::number(p["cloudPhoneId"].toInt());
    a = post("/phone/prefix-rename", {{"cloudPhoneIds", ids.join(',')}, {"prefix", "店铺"}});
    QCOMPARE(a["status"].toInt(), 1);
    const QJsonArray names = a["content"].toArray();
    QCOMPARE(names.size(), 12);
    QCOMPARE(names[0].toObject()["name"].toString(), QString("店铺01"));
    QCOMPARE(names[11].toObject()["name"].toString(), QString("店铺12"));
    QCOMPARE(QString::number(names[11].toObject()["cloudPhoneId"].toInt()), ids[11]);
    QMap<int, QString> current;
    for (const auto &p : allPhones(list()))
        current[p["cloudPhoneId"].toInt()] = p["name"].toString();
    QCOMPARE(current[ids[4].toInt()], QString("店铺05"));
    a = post("/phone/prefix-rename", {{"cloudPhoneIds", ids.mid(0, 3).join(',')}, {"prefix", "A"}});
    QCOMPARE(a["content"].toArray()[2].toObject()["name"].toString(), QString("A3"));
    QCOMPARE(post("/phone/prefix-rename", {{"cloudPhoneIds", ids[0]}, {"prefix", ""}})["msg"].toString(),
             QString("前缀不能为空"));
    QCOMPARE(
        post("/phone/prefix-rename", {{"cloudPhoneIds", ids[0] + "," + granted}, {"prefix", "B"}})["status"]
            .toInt(),
        403);
    QCOMPARE(s->terminate(), 0);
}

void TestProvider::restartResetAndRunningStatus()
{
    auto s = fresh("running", {"--restart-seconds", "1.5", "--reset-seconds", "1.5"});
    QVERIFY(s);
    const QString token = s->login(kDemo, kDemoPassword);
    const QJsonArray groups = groupsOf(s->get(kPhone + "/phone/group-list", token));
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QString own1, own2, expired, viewOnly, fullGrant;
    for (const auto &p : allPhones(groups)) {
        const QString id = QString::number(p["cloudPhoneId"].toInt());
        const int strategy =
            p["accessInfo"].toObject()["authorition"].toObject()["authorizationStrategy"].toInt();
        const bool over =
            QDateTime::fromString(p["endTime"].toString(), "yyyy-MM-dd HH:mm:ss").toSecsSinceEpoch() <= now;
        if (strategy == 1)
            viewOnly = id;
        else if (strategy == 2)
            fullGrant = id;
        else if (over)
            expired = id;
        else if (own1.isEmpty())
            own1 = id;
        else if (own2.isEmpty())
            own2 = id;
    }
    QVERIFY(!own2.isEmpty() && !expired.isEmpty() && !viewOnly.isEmpty() && !fullGrant.isEmpty());

    const auto status = [&](const QString &ids) {
        return s->get(kPhone + "/phone/list-phones-running-status?cloudPhoneIds=" + ids + "&type=3", token);
    };
    const auto statusOf = [&](const QString &id) {
        return status(id)["content"].toArray()[0].toObject()["runningStatus"].toInt();
    };
    QJsonObject a = status(own1 + "," + own2 + ",999999");
    QCOMPARE(a["status"].toInt(), 1);
    const QJsonArray states = a["content"].toArray();
    QCOMPARE(states.size(), 2);
    QCOMPARE(states[0].toObject()["id"].toInt(), own1.toInt());
    QCOMPARE(states[0].toObject()["runningStatus"].toInt(), 1);
    QCOMPARE(status("")["content"].toArray().size(), 0);
    QCOMPARE(status("1,x")["status"].toInt(), 400);

    const auto restart = [&](const QString &ids, const QString &path = "/phone/restart") {
        return s->post(kPhone + path, {{"cloudPhoneIds", ids}, {"type", "3"}}, token);
    };
    a = restart(own1);
    QCOMPARE(a["status"].toInt(), 1);
    QCOMPARE(statusOf(own1), 3);
    QCOMPARE(restart(own2, "/phone/reset")["status"].toInt(), 1);
    QCOMPARE(statusOf(own2), 4);
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(own1), 1, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(statusOf(own2), 1, 10000);

    QCOMPARE(restart(fullGrant)["status"].toInt(), 1);
    QCOMPARE(restart(viewOnly)["msg"].toString(), "只读授权的云手机不能重启：" + viewOnly);
    QCOMPARE(restart(viewOnly, "/phone/reset")["msg"].toString(), "只读授权的云手机不能重置：" + viewOnly);
    QCOMPARE(restart(expired)["msg"].toString(), "云手机已到期：" + expired);
    QCOMPARE(restart("999999")["msg"].toString(), QString("云手机不存在：999999"));
    QCOMPARE(restart("")["msg"].toString(), QString("请选择云手机"));
    QCOMPARE(s->post(kPhone + "/phone/restart", {{"cloudPhoneIds", own1}}, token)["msg"].toString(),
             QString("缺少参数：类型"));
    QCOMPARE(
        s->post(kPhone + "/phone/restart", {{"cloudPhoneIds", own1}, {"type", "x"}}, token)["msg"].toString(),
        QString("类型格式不正确"));
    // A refused list restarts none of its phones.
    QCOMPARE(restart(own1 + "," + viewOnly)["status"].toInt(), 403);
    QCOMPARE(statusOf(own1), 1);
    QCOMPARE(s->terminate(), 0);
}

void TestProvider::accessCheckAndChangeOrders()
{
    auto s = fresh("orders", {"--dev"});
    QVERIFY(s);
    const QString token = s->login(kDemo, kDemoPassword);
    const QJsonArray groups = groupsOf(s->get(kPhone + "/phone/group-list", token));
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    QJsonObject own, expired, viewOnly;
    for (const auto &p : allPhones(groups)) {
        const bool over =
            QDateTime::fromString(p["endTime"].toString(), "yyyy-MM-dd HH:mm:ss").toSecsSinceEpoch() <= now;
        const int strategy =
            p["accessInfo"].toObject()["authorition"].toObject()["authorizationStrategy"].toInt();
        if (over)
            expired = p;
        else if (strategy == 1)
            viewOnly = p;
        else if (strategy == 0 && own.isEmpty())
            own = p;
    }
    const auto access = [&](const QString &id, const QString &t) {
        return s->get(kPhone + "/phone/get-access-info?cloudPhoneId=" + id, t);
    };
    const QString ownId = QString::number(own["cloudPhoneId"].toInt());
    QJsonObject a = access(ownId, token);
    QCOMPARE(a["status"].toInt(), 1);
    QCOMPARE(a["content"].toObject()["deviceId"].toString(),
             own["accessInfo"].toObject()["deviceId"].toString());
    QCOMPARE(
        aesDecrypt(QByteArray::fromBase64(a["content"].toObject()["ucid"].toString().toLatin1())).count('#'),
        1);
    a = access(QString::number(viewOnly["cloudPhoneId"].toInt()), token);
    QCOMPARE(a["status"].toInt(), 1);
    QCOMPARE(a["content"].toObject()["authorition"].toObject()["authorizationStrategy"].toInt(), 1);
    a = access(QString::number(expired["cloudPhoneId"].toInt()), token);
    QCOMPARE(a["status"].toInt(), 410);
    QCOMPARE(a["msg"].toString(), QString("云手机已到期"));
    QCOMPARE(access("999999", token)["msg"].toString(), QString("云手机不存在"));
    QCOMPARE(access("abc", token)["msg"].toString(), QString("云手机ID格式不正确"));
    QCOMPARE(s->get(kPhone + "/phone/get-access-info", token)["msg"].toString(),
             QString("缺少参数：云手机ID"));
    // Another account sees nothing of the demo account's phones.
    const QString stranger = s->registerUser("13600000005", "stranger-1");
    QVERIFY(!stranger.isEmpty());
    QCOMPARE(access(ownId, stranger)["status"].toInt(), 404);
    QCOMPARE(s->post(kPhone + "/phone/restart", {{"cloudPhoneIds", ownId}, {"type", "3"}}, stranger)["status"]
                 .toInt(),
             404);
    QCOMPARE(
        s->post(
             kPhone + "/group/remove",
             {{"id", QString::number(
                         groupsOf(s->get(kPhone + "/phone/group-list", token))[0].toObject()["id"].toInt())}},
             stranger)["msg"]
            .toString(),
        QString("分组不存在"));

    const QString billing = QString::number(own["billingId"].toInt());
    const auto order = [&](const QString &kind, const QString &bill, const QString &channel,
                           const QString &id) {
        return s->post(kPhone + "/order/" + kind + "-change-order",
                       {{"billingId", bill}, {"payChannel", channel}, {"cloudPhoneId", id}}, token);
    };
    QCOMPARE(order("get", billing, "wechat", ownId)["msg"].toString(), QString("未找到更换订单"));
    QCOMPARE(order("generate", "99", "wechat", ownId)["msg"].toString(), QString("套餐与云手机不符"));
    QCOMPARE(order("generate", billing, "giftcard", ownId)["msg"].toString(), QString("不支持的支付方式"));
    QCOMPARE(order("generate", billing, "wechat", QString::number(viewOnly["cloudPhoneId"].toInt()))["status"]
                 .toInt(),
             403);
    a = order("generate", billing, "wechat", ownId);
    QCOMPARE(a["status"].toInt(), 1);
    const QString orderNo = a["content"].toObject()["orderNo"].toString();
    QVERIFY(orderNo.startsWith("CO"));
    QCOMPARE(a["content"].toObject()["state"].toInt(), 0);
    a = order("get", billing, "wechat", ownId);
    QCOMPARE(a["status"].toInt(), 1);
    QCOMPARE(a["content"].toObject()["orderNo"].toString(), orderNo);
    QCOMPARE(a["content"].toObject()["state"].toInt(), 1);
    const QString newDevice = a["content"].toObject()["deviceId"].toString();
    QVERIFY(!newDevice.isEmpty());
    QVERIFY(newDevice != own["accessInfo"].toObject()["deviceId"].toString());
    // Fetching it again does not exchange the phone a second time.
    QCOMPARE(order("get", billing, "wechat", ownId)["content"].toObject()["deviceId"].toString(), newDevice);
    QString listed;
    for (const auto &p : allPhones(groupsOf(s->get(kPhone + "/phone/group-list", token))))
        if (p["cloudPhoneId"].toInt() == own["cloudPhoneId"].toInt())
            listed = p["accessInfo"].toObject()["deviceId"].toString();
    QCOMPARE(listed, newDevice);
    QCOMPARE(s->terminate(), 0);
}

void TestProvider::uploadInfoAndUpdateCheck()
{
    const QJsonObject login =
        main_->post(kUser + "/login/phone", {{"phone", kDemo}, {"password", kDemoPassword}});
    const QString token = login["content"].toObject()["userToken"].toObject()["token"].toString();
    const QString userId =
        QString::number(login["content"].toObject()["userDetail"].toObject()["userId"].toInt());
    const QString common = "&platformId=8&productId=40&statisticsNo=3148&terminal=web";
    const QString path = "/api/public/v1/storage/get-upload-info?userId=";
    QJsonObject a = main_->get(path + userId + common, token);
    QCOMPARE(a["status"].toInt(), 1);
    const QJsonObject info = a["content"].toObject();
    for (const char *key : {"accessKeyId", "accessKeySecret", "bucket", "fileUploadPath", "securityToken"})
        QVERIFY2(info[key].isString() && !info[key].toString().isEmpty(), key);
    QCOMPARE(info["fileUploadPath"].toString(), "upload/" + userId);
    // Each call mints a grant of its own that lasts an hour, not a key shared by every account.
    const qint64 expiry = qint64(info["expiration"].toDouble());
    QVERIFY(expiry > QDateTime::currentSecsSinceEpoch() + 3500 &&
            expiry <= QDateTime::currentSecsSinceEpoch() + 3600);
    const QJsonObject again = main_->get(path + userId + common, token)["content"].toObject();
    for (const char *key : {"accessKeyId", "accessKeySecret", "securityToken"})
        QVERIFY2(again[key].toString() != info[key].toString(), key);
    QCOMPARE(main_->get(path + "1" + userId + common, token)["status"].toInt(), 403);
    QCOMPARE(main_->get(path + userId + common)["status"].toInt(), 401);
    QCOMPARE(main_->get("/api/public/v1/storage/get-upload-info?" + common.mid(1), token)["status"].toInt(),
             400);

    const QString check = kPhone + "/package/check-for-updates?packageName=";
    a = main_->get(check + "com.pc.zaqtor&versionNo=110" + common);
    QCOMPARE(a["status"].toInt(), 1);
    QVERIFY(a["content"].isObject() && a["content"].toObject().isEmpty());
    QCOMPARE(main_->get(check + "com.other&versionNo=110" + common)["status"].toInt(), 404);
    QCOMPARE(main_->get(check + "com.pc.zaqtor" + common)["msg"].toString(), QString("缺少参数：版本号"));

    auto s = fresh("update", {"--update-version-code", "120", "--update-version-name", "1.2.0",
                              "--update-url", "http://127.0.0.1/pelomir-1.2.0.exe", "--update-force"});
    QVERIFY(s);
    a = s->get(check + "com.pc.zaqtor&versionNo=110" + common);
    QCOMPARE(a["status"].toInt(), 1);
    QCOMPARE(a["content"].toObject()["forceUpdateState"].toInt(), 1);
    QCOMPARE(a["content"].toObject()["downloadUrl"].toString(),
             QString("http://127.0.0.1/pelomir-1.2.0.exe"));
    QVERIFY(s->get(check + "com.pc.zaqtor&versionNo=120" + common)["content"].toObject().isEmpty());
    QCOMPARE(s->terminate(), 0);
}

void TestProvider::webPages()
{
    const auto client = main_->client();
    for (const char *path : {"/", "/pc/user/register.html", "/pc-vue/", "/style.css"}) {
        const auto res = client->Get(path);
        QVERIFY2(res && res->status == 200, path);
    }
    const auto home = client->Get("/");
    QVERIFY(QString::fromStdString(home->get_header_value("Content-Type")).startsWith("text/html"));
    QVERIFY(
        QString::fromStdString(client->Get("/pc/user/register.html")->body).contains(kUser + "/register"));
    const auto outside = client->Get("/../CMakeLists.txt");
    QVERIFY(outside && outside->status != 200);
}

// The purchase and upload pages' calls: the token on every call, plans and phones of the caller
// only, simulated payment with its limits, renewals that move the expiry, and the catalogue.
void TestProvider::pageApi()
{
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const QString nowhere = QString("http://127.0.0.1:%1").arg(closed.serverPort());
    closed.close();
    auto s = fresh("pages", {"--dev", "--fast-hash", "--store-url", nowhere});
    QVERIFY(s);
    const QString api = "/api/pc-web/v1";
    const QString token = s->login(kDemo, kDemoPassword);
    QVERIFY(!token.isEmpty());
    const QString other = s->registerUser("13700000042", "other-pass-1");
    QVERIFY(!other.isEmpty());

    // No token or a made-up one: the login notice and nothing else, on every call.
    for (const QString &bad : {QString(), QString("f00d")}) {
        for (const char *path : {"/plans", "/phones", "/catalogue"}) {
            const QJsonObject answer = s->get(api + QLatin1String(path), bad);
            QCOMPARE(answer["status"].toInt(), 401);
            QVERIFY(answer["content"].isNull());
        }
        QCOMPARE(s->post(api + "/buy",
                         {{"billingId", "1"}, {"count", "1"}, {"months", "1"}, {"payChannel", "wechat"}},
                         bad)["status"]
                     .toInt(),
                 401);
    }

    const QJsonArray plans = s->get(api + "/plans", token)["content"].toArray();
    QCOMPARE(plans.size(), 4);
    for (const auto &plan : plans) {
        QVERIFY(plan.toObject()["monthPrice"].toInt() > 0);
        QVERIFY(plan.toObject()["icon"].toString().startsWith(s->baseUrl() + "/billing-icons/"));
    }

    const auto phonesOf = [&](const QString &t) { return s->get(api + "/phones", t)["content"].toArray(); };
    const QJsonArray mine = phonesOf(token);
    QCOMPARE(mine.size(), 20 + 4); // own phones and those shared with the account
    int owned = 0, viewOnly = 0;
    for (const auto &p : mine) {
        owned += p.toObject()["owned"].toBool();
        viewOnly += !p.toObject()["owned"].toBool() && !p.toObject()["canUpload"].toBool();
        QCOMPARE(p.toObject()["renewable"].toBool(), p.toObject()["owned"].toBool());
    }
    QCOMPARE(owned, 20);
    QVERIFY(viewOnly > 0);
    QCOMPARE(phonesOf(other).size(), 0);

    // Buying: both sides of every limit, then one phone that the client's group list shows.
    int keys = 0;
    const auto freshKey = [&] { return QString("test-order-key-%1").arg(++keys, 4, 10, QChar('0')); };
    const auto buy = [&](const QString &count, const QString &months, const QString &plan = "2",
                         const QString &channel = "wechat", const QString &t = QString(),
                         const QString &key = QString()) {
        return s->post(api + "/buy",
                       {{"billingId", plan},
                        {"count", count},
                        {"months", months},
                        {"payChannel", channel},
                        {"orderKey", key.isEmpty() ? freshKey() : key}},
                       t.isEmpty() ? token : t);
    };
    QCOMPARE(buy("0", "1")["status"].toInt(), 400);
    QCOMPARE(buy("11", "1")["status"].toInt(), 400);
    QCOMPARE(buy("1", "0")["status"].toInt(), 400);
    QCOMPARE(buy("1", "13")["status"].toInt(), 400);
    QCOMPARE(buy("1", "1", "99")["status"].toInt(), 404);
    QCOMPARE(buy("1", "1", "2", "cash")["status"].toInt(), 400);
    QCOMPARE(buy("x", "1")["status"].toInt(), 400);
    QCOMPARE(phonesOf(token).size(), 24);
    const QJsonObject bought = buy("1", "12");
    QCOMPARE(bought["status"].toInt(), 1);
    QCOMPARE(bought["content"].toObject()["amount"].toInt(), 6900 * 12);
    const QJsonArray newPhones = bought["content"].toObject()["phones"].toArray();
    QCOMPARE(newPhones.size(), 1);
    const QString newId = newPhones[0].toObject()["deviceId"].toString();
    bool listed = false;
    for (const QJsonObject &p : allPhones(groupsOf(s->get(kPhone + "/phone/group-list", token))))
        listed |= p["accessInfo"].toObject()["deviceId"].toString() == newId;
    QVERIFY(listed);
    QCOMPARE(phonesOf(token).size(), 25);
    QCOMPARE(buy("10", "1", "1", "wechat", other)["content"].toObject()["phones"].toArray().size(), 10);
    QCOMPARE(phonesOf(other).size(), 10);
    QCOMPARE(phonesOf(token).size(), 25);

    // Renewing moves the expiry by whole months; an expired rental starts again from now.
    const auto renew = [&](qint64 id, const QString &months, const QString &t,
                           const QString &key = QString()) {
        return s->post(api + "/renew",
                       {{"cloudPhoneId", QString::number(id)},
                        {"months", months},
                        {"payChannel", "wechat"},
                        {"orderKey", key.isEmpty() ? freshKey() : key}},
                       t);
    };
    QJsonObject first, expired, shared;
    for (const auto &p : phonesOf(token)) {
        const QJsonObject o = p.toObject();
        if (first.isEmpty() && o["renewable"].toBool() && !o["expired"].toBool())
            first = o;
        if (expired.isEmpty() && o["expired"].toBool() && o["owned"].toBool())
            expired = o;
        if (shared.isEmpty() && !o["owned"].toBool())
            shared = o;
    }
    QVERIFY(!first.isEmpty() && !expired.isEmpty() && !shared.isEmpty());
    const qint64 month = 30 * 24 * 3600;
    QJsonObject renewed = renew(first["cloudPhoneId"].toVariant().toLongLong(), "2", token);
    QCOMPARE(renewed["status"].toInt(), 1);
    QCOMPARE(renewed["content"].toObject()["endTime"].toVariant().toLongLong(),
             first["endTime"].toVariant().toLongLong() + 2 * month);
    renewed = renew(expired["cloudPhoneId"].toVariant().toLongLong(), "1", token);
    QCOMPARE(renewed["status"].toInt(), 1);
    QVERIFY(renewed["content"].toObject()["endTime"].toVariant().toLongLong() >=
            QDateTime::currentSecsSinceEpoch() + month - 5);
    QCOMPARE(renew(first["cloudPhoneId"].toVariant().toLongLong(), "0", token)["status"].toInt(), 400);
    QCOMPARE(renew(first["cloudPhoneId"].toVariant().toLongLong(), "13", token)["status"].toInt(), 400);
    // Someone else's phone, shared or not, is not the caller's to renew.
    QCOMPARE(renew(shared["cloudPhoneId"].toVariant().toLongLong(), "1", token)["status"].toInt(), 404);
    QCOMPARE(renew(first["cloudPhoneId"].toVariant().toLongLong(), "1", other)["status"].toInt(), 404);

    // An order is paid once per key: the same request again answers as the first time and buys
    // nothing more; the same key for another request is refused; an order needs a key.
    const QJsonObject once = buy("2", "1", "1", "wechat", other, "double-click-key-0001");
    QCOMPARE(once["status"].toInt(), 1);
    for (int i = 0; i < 4; ++i)
        QCOMPARE(buy("2", "1", "1", "wechat", other, "double-click-key-0001"), once);
    QCOMPARE(phonesOf(other).size(), 12);
    QCOMPARE(buy("3", "1", "1", "wechat", other, "double-click-key-0001")["status"].toInt(), 409);
    // Keys are the caller's own: another account's same key is another order.
    QCOMPARE(buy("1", "1", "1", "wechat", token, "double-click-key-0001")["status"].toInt(), 1);
    for (const QString &key : {QString("short"), QString(65, 'k'), QString("bad key with spaces!")})
        QCOMPARE(buy("1", "1", "1", "wechat", other, key)["msg"].toString(), QString("订单标识无效"));
    QCOMPARE(s->post(api + "/buy",
                     {{"billingId", "1"}, {"count", "1"}, {"months", "1"}, {"payChannel", "wechat"}},
                     other)["msg"]
                 .toString(),
             QString("缺少订单标识"));
    QCOMPARE(phonesOf(other).size(), 12);
    const qint64 mine0 =
        once["content"].toObject()["phones"].toArray()[0].toObject()["cloudPhoneId"].toVariant().toLongLong();
    const QJsonObject renewedOnce = renew(mine0, "1", other, "renew-click-key-0001");
    QCOMPARE(renewedOnce["status"].toInt(), 1);
    for (int i = 0; i < 4; ++i)
        QCOMPARE(renew(mine0, "1", other, "renew-click-key-0001"), renewedOnce);
    QCOMPARE(renewedOnce["content"].toObject()["endTime"].toVariant().toLongLong(),
             once["content"].toObject()["endTime"].toVariant().toLongLong() + month);

    // A phone is paid at most 36 months ahead: up to it renewals go through, past it they do not.
    for (int i = 0; i < 2; ++i)
        QCOMPARE(renew(mine0, "12", other)["status"].toInt(), 1);
    QCOMPARE(renew(mine0, "8", other)["status"].toInt(), 1); // 2 + 24 + 8 = 34 months
    QCOMPARE(renew(mine0, "3", other)["msg"].toString(), QString("续费后剩余时长不能超过36个月"));
    QCOMPARE(renew(mine0, "1", other)["status"].toInt(), 1);

    // Orders are stored: after a restart the same key still answers with the first order.
    QCOMPARE(s->terminate(), 0);
    QVERIFY(s->start());
    QCOMPARE(buy("2", "1", "1", "wechat", other, "double-click-key-0001"), once);
    QCOMPARE(phonesOf(other).size(), 12);

    // The catalogue needs the object store; without one it says so instead of listing dead links.
    const QJsonObject catalogue = s->get(api + "/catalogue", token);
    QCOMPARE(catalogue["status"].toInt(), 503);
    QVERIFY(catalogue["content"].isNull());

    // Outside development mode nothing is paid for.
    auto live = fresh("pages-live", {"--fast-hash"});
    QVERIFY(live);
    const QString liveToken = live->login(kDemo, kDemoPassword);
    QCOMPARE(live->post(api + "/buy",
                        {{"billingId", "1"}, {"count", "1"}, {"months", "1"}, {"payChannel", "wechat"}},
                        liveToken)["status"]
                 .toInt(),
             503);
    QCOMPARE(live->get(api + "/phones", liveToken)["content"].toArray().size(), 24);
}

// Peers that hold connections open without finishing their requests.
namespace {

// A connection from `source` (an address of 127/8) to the server at `port`.
std::unique_ptr<QTcpSocket> connectFrom(const char *source, int port)
{
    auto socket = std::make_unique<QTcpSocket>();
    if (!socket->bind(QHostAddress(source)))
        return nullptr;
    socket->connectToHost(QHostAddress::LocalHost, quint16(port));
    return socket->waitForConnected(5000) ? std::move(socket) : nullptr;
}

// Everything the server sends until it has sent `answers` whole answers (each with a
// Content-Length) or closes; 1xx answers do not count.
QByteArray readAnswers(QTcpSocket &socket, int answers = 1)
{
    QByteArray in;
    int seen = 0;
    int from = 0;
    while (seen < answers) {
        const int end = in.indexOf("\r\n\r\n", from);
        if (end >= 0) {
            const QByteArray head = in.mid(from, end - from);
            const QRegularExpressionMatch length =
                QRegularExpression("Content-Length: (\\d+)", QRegularExpression::CaseInsensitiveOption)
                    .match(QString::fromLatin1(head));
            const int total = end + 4 + (length.hasMatch() ? length.captured(1).toInt() : 0);
            if (in.size() >= total) {
                seen += !head.startsWith("HTTP/1.1 1");
                from = total;
                continue;
            }
        }
        if (socket.state() != QAbstractSocket::ConnectedState || !socket.waitForReadyRead(10000))
            break;
        in += socket.readAll();
    }
    return in;
}

const QByteArray kTrickleHead =
    "POST /api/tamsu-phone-user/v1/login/phone HTTP/1.1\r\nHost: 127.0.0.1\r\n"
    "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 1000\r\n\r\np";

} // namespace

void TestProvider::slowPeers()
{
    // Trickling connections from three addresses, each address at its limit of requests served at
    // once, together more than the server has workers: none of them may hold a worker.
    auto s = fresh("slow", {"--threads", "4", "--client-connections", "2", "--head-deadline", "60",
                            "--request-deadline", "120"});
    QVERIFY(s);
    std::vector<std::unique_ptr<QTcpSocket>> tricklers;
    for (int i = 0; i < 24; ++i) {
        auto t = connectFrom(i % 3 == 0 ? "127.0.0.2" : i % 3 == 1 ? "127.0.0.3" : "127.0.0.4", s->port());
        QVERIFY(t);
        t->write(kTrickleHead);
        QVERIFY(t->waitForBytesWritten(5000));
        tricklers.push_back(std::move(t));
    }
    QTimer drip;
    connect(&drip, &QTimer::timeout, this, [&] {
        for (auto &t : tricklers)
            t->write("p");
    });
    drip.start(100);
    auto newcomer = connectFrom("127.0.0.5", s->port());
    QVERIFY(newcomer);
    newcomer->write("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
    QVERIFY(readAnswers(*newcomer).startsWith("HTTP/1.1 200"));
    // The trickling address is not shut out either.
    auto same = connectFrom("127.0.0.2", s->port());
    QVERIFY(same);
    same->write("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
    QVERIFY(readAnswers(*same).startsWith("HTTP/1.1 200"));
    drip.stop();
    tricklers.clear();

    // Impossible lengths are answered at once, and the connection closed.
    const QList<QPair<QByteArray, QByteArray>> refusals = {
        {"Content-Length: 9223372036854775808\r\n", "HTTP/1.1 413"},
        {"Content-Length: 99999999999999999999999999\r\n", "HTTP/1.1 413"},
        {"Content-Length: -1\r\n", "HTTP/1.1 400"},
        {"Content-Length: 1x\r\n", "HTTP/1.1 400"},
        {"Content-Length: 3\r\nContent-Length: 4\r\n", "HTTP/1.1 400"},
        {"Transfer-Encoding: chunked\r\nContent-Length: 3\r\n", "HTTP/1.1 400"},
        {"Transfer-Encoding: gzip\r\n", "HTTP/1.1 501"},
    };
    for (const auto &r : refusals) {
        auto c = connectFrom("127.0.0.6", s->port());
        QVERIFY(c);
        c->write("POST /api/tamsu-phone-user/v1/login/phone HTTP/1.1\r\nHost: x\r\n" + r.first + "\r\n");
        const QByteArray answer = readAnswers(*c);
        QVERIFY2(answer.startsWith(r.second), answer.constData());
        QVERIFY(answer.contains("\"status\":"));
        QTRY_COMPARE_WITH_TIMEOUT(c->state(), QAbstractSocket::UnconnectedState, 10000);
    }

    // What is refused above has its allowed forms: a chunked body, a body announced with "Expect",
    // and two requests in one write.
    const QByteArray login = "phone=13800000000&password=pelomir2026";
    {
        auto c = connectFrom("127.0.0.6", s->port());
        QVERIFY(c);
        c->write("POST /api/tamsu-phone-user/v1/login/phone HTTP/1.1\r\nHost: x\r\n"
                 "Content-Type: application/x-www-form-urlencoded\r\nTransfer-Encoding: chunked\r\n\r\n" +
                 QByteArray::number(10, 16) + ";ext=1\r\n" + login.left(10) + "\r\n" +
                 QByteArray::number(login.size() - 10, 16) + "\r\n" + login.mid(10) + "\r\n0\r\n\r\n");
        QVERIFY(readAnswers(*c).contains("\"token\""));
    }
    {
        auto c = connectFrom("127.0.0.6", s->port());
        QVERIFY(c);
        c->write("POST /api/tamsu-phone-user/v1/login/phone HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\n"
                 "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                 QByteArray::number(login.size()) + "\r\n\r\n");
        QVERIFY(c->waitForReadyRead(10000));
        QVERIFY(c->readAll().startsWith("HTTP/1.1 100 Continue"));
        c->write(login);
        QVERIFY(readAnswers(*c).contains("\"token\""));
    }
    {
        auto c = connectFrom("127.0.0.6", s->port());
        QVERIFY(c);
        c->write("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\nGET /nothing HTTP/1.1\r\nHost: x\r\n\r\n");
        const QByteArray both = readAnswers(*c, 2);
        QVERIFY(both.startsWith("HTTP/1.1 200"));
        QVERIFY(both.contains("HTTP/1.1 404"));
    }
    QCOMPARE(s->terminate(), 0);

    // The cap on reading connections, on both sides of it: below it every trickler stays; at it
    // the newcomer from another address closes the oldest of the busiest address.
    for (const int trickling : {7, 8}) {
        auto capped = fresh(QString("cap%1").arg(trickling), {"--max-reading", "8", "--head-deadline", "60"});
        QVERIFY(capped);
        std::vector<std::unique_ptr<QTcpSocket>> held;
        for (int i = 0; i < trickling; ++i) {
            auto t = connectFrom("127.0.0.2", capped->port());
            QVERIFY(t);
            t->write("GET /healthz HTTP/1.1\r\nHost: x\r\n");
            QVERIFY(t->waitForBytesWritten(5000));
            held.push_back(std::move(t));
        }
        auto newcomer = connectFrom("127.0.0.3", capped->port());
        QVERIFY(newcomer);
        newcomer->write("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
        QVERIFY(readAnswers(*newcomer).startsWith("HTTP/1.1 200"));
        for (size_t i = 0; i < held.size(); ++i) {
            held[i]->write("\r\n");
            const QByteArray answer = readAnswers(*held[i]);
            QVERIFY2(answer.startsWith("HTTP/1.1 200") == (trickling < 8 || i > 0),
                     qPrintable(QString::number(i)));
        }
        QCOMPARE(capped->terminate(), 0);
    }

    // A request that is still trickling when its deadline passes is cut off.
    auto strict = fresh("deadline", {"--request-deadline", "1"});
    QVERIFY(strict);
    QTcpSocket slow;
    slow.connectToHost(QHostAddress::LocalHost, quint16(strict->port()));
    QVERIFY(slow.waitForConnected(5000));
    slow.write(kTrickleHead);
    QTimer trickle;
    connect(&trickle, &QTimer::timeout, &slow, [&] { slow.write("p"); });
    trickle.start(200);
    QTRY_COMPARE_WITH_TIMEOUT(slow.state(), QAbstractSocket::UnconnectedState, 15000);
    QCOMPARE(strict->get("/healthz")["http"].toInt(), 200);
}

namespace {

// A form POST as the client sends it, from `source`; the answer's envelope, empty when none came.
QJsonObject postFrom(const char *source, int port, const QString &path, const QMap<QString, QString> &params)
{
    const auto socket = connectFrom(source, port);
    if (!socket)
        return {};
    const QByteArray body = ProviderProcess::clientBody(params);
    socket->write(
        "POST " + path.toUtf8() +
        " HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
        QByteArray::number(body.size()) + "\r\n\r\n" + body);
    const QByteArray answer = readAnswers(*socket);
    return QJsonDocument::fromJson(answer.mid(answer.indexOf("\r\n\r\n") + 4)).object();
}

} // namespace

void TestProvider::throttling()
{
    // A locked pair gets in again once its lock is over.
    const QString phone = "13600000010";
    const QString login = kUser + "/login/phone";
    QVERIFY(!main_->registerUser(phone, "right-password").isEmpty());
    for (int i = 0; i < 3; ++i)
        QCOMPARE(main_->post(login, {{"phone", phone}, {"password", "wrong"}})["status"].toInt(), 403);
    QJsonObject a = main_->post(login, {{"phone", phone}, {"password", "right-password"}});
    QCOMPARE(a["status"].toInt(), 429);
    QVERIFY(a["msg"].toString().startsWith("登录失败次数过多，请"));
    QCOMPARE(main_->post(kUser + "/login/smsCaptcha", {{"phone", phone}, {"smsCaptcha", "123456"}})["status"]
                 .toInt(),
             429);
    // Whole lock cycles without a success: once a lock is over a guess is evaluated again, and within
    // the same window the next failure locks once more; no lock outlasts its time.
    const auto guess = [&] {
        return main_->post(login, {{"phone", phone}, {"password", "wrong"}})["status"].toInt();
    };
    for (int round = 0; round < 2; ++round) {
        int status = 0;
        QVERIFY(QTest::qWaitFor([&] { return (status = guess()) != 429; }, 10000));
        QCOMPARE(status, 403);
        QCOMPARE(guess(), 429);
    }
    QTRY_VERIFY_WITH_TIMEOUT(!main_->login(phone, "right-password").isEmpty(), 10000);

    const QStringList args = {"--dev", "--sms-interval",           "0",  "--login-max-failures",
                              "3",     "--login-address-failures", "6",  "--login-number-alarm",
                              "1000",  "--login-lockout",          "60", "--sms-per-address",
                              "3"};
    auto s = fresh("limits", args);
    QVERIFY(s);
    const QString victim = "13600000011";
    QVERIFY(!s->registerUser(victim, "victim-secret").isEmpty());
    const auto attempt = [&](const char *source, const QString &number, const QString &password) {
        return postFrom(source, s->port(), login, {{"phone", number}, {"password", password}});
    };

    // No account and a wrong password answer alike.
    const QJsonObject unknown = attempt("127.0.0.2", "13700000011", "guess-1");
    const QJsonObject wrong = attempt("127.0.0.2", victim, "guess-1");
    QCOMPARE(unknown["status"].toInt(), 403);
    QCOMPARE(unknown, wrong);

    // One address on one number: its third failure is still evaluated, then it waits; the owner
    // gets in from another address, and the address may still log in to another account.
    QCOMPARE(attempt("127.0.0.2", victim, "guess-2")["status"].toInt(), 403);
    QCOMPARE(attempt("127.0.0.2", victim, "guess-3")["status"].toInt(), 403);
    QCOMPARE(attempt("127.0.0.2", victim, "victim-secret")["status"].toInt(), 429);
    QCOMPARE(attempt("127.0.0.3", victim, "victim-secret")["status"].toInt(), 1);
    QCOMPARE(attempt("127.0.0.2", kDemo, kDemoPassword)["status"].toInt(), 1);

    // One address over many numbers: the sixth failure is evaluated, then the address waits for
    // every number, and no other address does.
    for (int i = 0; i < 6; ++i)
        QCOMPARE(attempt("127.0.0.4", QString("1370000010%1").arg(i), "guess")["status"].toInt(), 403);
    QCOMPARE(attempt("127.0.0.4", kDemo, kDemoPassword)["status"].toInt(), 429);
    QCOMPARE(attempt("127.0.0.5", kDemo, kDemoPassword)["status"].toInt(), 1);

    // Simultaneous guesses: the check and the count are one step, so exactly the limit is evaluated.
    {
        std::vector<std::unique_ptr<QTcpSocket>> sockets;
        const QByteArray body =
            ProviderProcess::clientBody({{"phone", "13700000200"}, {"password", "guess"}});
        const QByteArray request =
            "POST " + login.toUtf8() +
            " HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded\r\n"
            "Content-Length: " +
            QByteArray::number(body.size()) + "\r\n\r\n" + body;
        for (int i = 0; i < 20; ++i) {
            sockets.push_back(connectFrom("127.0.0.6", s->port()));
            QVERIFY(sockets.back());
        }
        for (auto &socket : sockets)
            socket->write(request);
        int evaluated = 0, refused = 0;
        for (auto &socket : sockets) {
            const QByteArray answer = readAnswers(*socket);
            const int status = QJsonDocument::fromJson(answer.mid(answer.indexOf("\r\n\r\n") + 4))
                                   .object()["status"]
                                   .toInt();
            evaluated += status == 403;
            refused += status == 429;
        }
        QCOMPARE(evaluated, 3);
        QCOMPARE(refused, 17);
    }

    // SMS codes per address: the third is sent, the fourth waits; another address is not affected.
    const QString send = "/api/public/v1/verify-code/send";
    for (int i = 0; i < 3; ++i)
        QCOMPARE(
            postFrom("127.0.0.7", s->port(), send, {{"mobile", QString("1370000030%1").arg(i)}})["status"]
                .toInt(),
            1);
    a = postFrom("127.0.0.7", s->port(), send, {{"mobile", "13700000309"}});
    QCOMPARE(a["status"].toInt(), 429);
    QVERIFY(a["msg"].toString().startsWith("验证码发送过于频繁"));
    QCOMPARE(postFrom("127.0.0.8", s->port(), send, {{"mobile", "13700000309"}})["status"].toInt(), 1);

    // Every limit outlives a restart.
    QCOMPARE(s->terminate(), 0);
    s = fresh("limits", args);
    QVERIFY(s);
    QCOMPARE(attempt("127.0.0.2", victim, "victim-secret")["status"].toInt(), 429);
    QCOMPARE(attempt("127.0.0.4", kDemo, kDemoPassword)["status"].toInt(), 429);
    QCOMPARE(postFrom("127.0.0.7", s->port(), send, {{"mobile", "13700000309"}})["status"].toInt(), 429);
    QCOMPARE(attempt("127.0.0.3", victim, "victim-secret")["status"].toInt(), 1);
    QCOMPARE(s->terminate(), 0);
}

void TestProvider::badInput()
{
    auto s = fresh("bad");
    QVERIFY(s);
    const QString token = s->login(kDemo, kDemoPassword);
    const std::string auth = token.toStdString();
    const QByteArray before = stableList(s->get(kPhone + "/phone/group-list", token));
    const auto client = s->client();
    const httplib::Headers headers = {{"Authorization", auth}};
    const std::string save = (kPhone + "/group/save").toStdString();
    const auto rawPost = [&](const std::string &path, const std::string &body,
                             const char *type = "application/x-www-form-urlencoded") {
        return ProviderProcess::parse(client->Post(path.c_str(), headers, body, type));
    };

    QJsonObject a = s->get("/api/nope");
    QCOMPARE(a["http"].toInt(), 404);
    QCOMPARE(a["status"].toInt(), 404);
    QCOMPARE(s->get("/api/%FF%FE")["http"].toInt(), 404);
    const auto wrongMethod = client->Get((kUser + "/login/phone").toUtf8().constData());
    QCOMPARE(wrongMethod->status, 405);
    QCOMPARE(QString::fromStdString(wrongMethod->get_header_value("Allow")), QString("POST"));
    QCOMPARE(rawPost((kPhone + "/phone/group-list").toStdString(), "")["http"].toInt(), 405);
    QCOMPARE(client->Put(save.c_str(), headers, "name=x", "application/x-www-form-urlencoded")->status, 405);
    QCOMPARE(client->Delete("/nothing/here")->status, 404);

    QCOMPARE(rawPost(save, "name=" + std::string(100 * 1024, 'a'))["http"].toInt(), 413);
    // Bodies above the form parser's usual 8 KiB are fine below the limit.
    a = rawPost(save, "name=" + std::string(20 * 1024, 'a'));
    QCOMPARE(a["http"].toInt(), 200);
    QCOMPARE(a["msg"].toString(), QString("分组名称不能超过20个字符"));
    QCOMPARE(rawPost(save, "{\"name\":\"x\"}", "application/json")["http"].toInt(), 415);
    // A multipart body is refused as well, and the server goes on answering.
    const httplib::MultipartFormDataItems parts = {{"name", "x", "", ""}};
    const auto multipart = client->Post(save.c_str(), headers, parts);
    QVERIFY(multipart);
    QCOMPARE(multipart->status, 415);
    QCOMPARE(s->get("/healthz")["http"].toInt(), 200);

    const QList<QPair<std::string, QString>> bodies = {
        {"name=\xff\xfe", "参数包含无效字符"},     {"name=%FF%FE", "参数包含无效字符"},
        {"name=%ED%A0%80", "参数包含无效字符"},    {"name=%C0%AF", "参数包含无效字符"},
        {"name=a%00b", "参数包含无效字符"},        {"name=%zz", "参数格式错误：转义字符无效"},
        {"name=%4", "参数格式错误：转义字符无效"}, {"name=a&name=b", "参数重复：name"},
        {"=x", "参数格式错误：缺少参数名"},
    };
    for (const auto &b : bodies) {
        a = rawPost(save, b.first);
        QCOMPARE(a["status"].toInt(), 400);
        QCOMPARE(a["msg"].toString(), b.second);
    }
    QCOMPARE(s->get(kPhone + "/phone/get-access-info?cloudPhoneId=%FF", token)["msg"].toString(),
             QString("参数包含无效字符"));
    for (const char *id : {"abc", "1.5", "99999999999999999999", "0x10", "", "+1"})
        QCOMPARE(s->post(kPhone + "/group/remove", {{"id", id}}, token)["status"].toInt(), 400);
    QCOMPARE(s->post(kUser + "/login/phone", {{"phone", "' OR '1'='1"}, {"password", "' OR '1'='1"}})["msg"]
                 .toString(),
             QString("手机号码格式不正确"));
    QCOMPARE(
        s->post(kUser + "/login/phone", {{"phone", kDemo}, {"password", "' OR '1'='1"}})["status"].toInt(),
        403);

    // A broken request line and an oversized header are refused; the server stays up.
    {
        QTcpSocket socket;
        socket.connectToHost("127.0.0.1", static_cast<quint16>(s->port()));
        QVERIFY(socket.waitForConnected(5000));
        socket.write("GARBAGE\r\n\r\n");
        QVERIFY(socket.waitForReadyRead(5000));
        QVERIFY(socket.readAll().startsWith("HTTP/1.1 400"));
    }
    const httplib::Headers huge = {{"X-Big", std::string(64 * 1024, 'h')}};
    const auto res = client->Get("/healthz", huge);
    QVERIFY(!res || res->status >= 400);

    QCOMPARE(stableList(s->get(kPhone + "/phone/group-list", token)), before);

    // SQL text is data like any other.
    const QString sql = "a');DROP TABLE x;--";
    a = s->post(kPhone + "/group/save", {{"name", sql}}, token);
    QCOMPARE(a["status"].toInt(), 1);
    QCOMPARE(groupById(groupsOf(s->get(kPhone + "/phone/group-list", token)),
                       a["content"].toObject()["id"].toInt())["name"]
                 .toString(),
             sql);
    QCOMPARE(s->terminate(), 0);
}

void TestProvider::concurrentWriters()
{
    auto s = fresh("concurrent");
    QVERIFY(s);
    const std::string token = s->login(kDemo, kDemoPassword).toStdString();
    const std::string save = (kPhone + "/group/save").toStdString();
    const httplib::Headers headers = {{"Authorization", token}};
    const int threads = 8, perThread = 25;
    std::atomic<int> created{0}, failed{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            const auto client = s->client();
            for (int i = 0; i < perThread; ++i) {
                const QByteArray body =
                    ProviderProcess::clientBody({{"name", QString("并发%1-%2").arg(t).arg(i)}});
                const auto a =
                    ProviderProcess::parse(client->Post(save.c_str(), headers, body.constData(), body.size(),
                                                        "application/x-www-form-urlencoded"));
                (a["status"].toInt() == 1 ? created : failed)++;
            }
        });
    }
    for (auto &w : workers)
        w.join();
    QCOMPARE(failed.load(), 0);
    QCOMPARE(created.load(), threads * perThread);
    QCOMPARE(groupsOf(s->get(kPhone + "/phone/group-list", QString::fromStdString(token))).size(),
             5 + threads * perThread);

    // Racing for one name: exactly one wins.
    std::atomic<int> won{0}, refused{0};
    workers.clear();
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            const QByteArray body = ProviderProcess::clientBody({{"name", "同名"}});
            const auto a = ProviderProcess::parse(s->client()->Post(
                save.c_str(), headers, body.constData(), body.size(), "application/x-www-form-urlencoded"));
            (a["status"].toInt() == 1 ? won : a["status"].toInt() == 409 ? refused : failed)++;
        });
    }
    for (auto &w : workers)
        w.join();
    QCOMPARE(won.load(), 1);
    QCOMPARE(refused.load(), threads - 1);

    // Moves racing with reads: every list shows the moving phone exactly once.
    const QJsonArray groups = groupsOf(s->get(kPhone + "/phone/group-list", QString::fromStdString(token)));
    const int phoneId = allPhones(groups)[0]["cloudPhoneId"].toInt();
    QStringList targets;
    for (const auto &g : groups)
        if (g.toObject()["id"].toInt() > 0 && targets.size() < 4)
            targets << QString::number(g.toObject()["id"].toInt());
    std::atomic<bool> moving{true};
    std::atomic<int> badLists{0}, lists{0};
    std::thread mover([&] {
        const auto client = s->client();
        for (int i = 0; i < 60; ++i) {
            const QByteArray body = ProviderProcess::clientBody(
                {{"id", targets[i % targets.size()]}, {"cloudPhoneId", QString::number(phoneId)}});
            client->Post((kPhone + "/group/phone-move").toUtf8().constData(), headers, body.constData(),
                         body.size(), "application/x-www-form-urlencoded");
        }
        moving = false;
    });
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r) {
        readers.emplace_back([&] {
            const auto client = s->client();
            while (moving) {
                const auto a = ProviderProcess::parse(
                    client->Get((kPhone + "/phone/group-list").toUtf8().constData(), headers));
                int seen = 0;
                for (const auto &p : allPhones(groupsOf(a)))
                    seen += p["cloudPhoneId"].toInt() == phoneId;
                (seen == 1 ? lists : badLists)++;
            }
        });
    }
    mover.join();
    for (auto &r : readers)
        r.join();
    QCOMPARE(badLists.load(), 0);
    QVERIFY(lists.load() > 0);
    QCOMPARE(s->terminate(), 0);
}

void TestProvider::restartKeepsDataAndKillLosesNothing()
{
    const QString db = dir_.filePath("durable.db");
    {
        ProviderProcess s(db, {"--dev"});
        QString error;
        QVERIFY2(s.start(&error), qPrintable(error));
        const QString token = s.login(kDemo, kDemoPassword);
        QCOMPARE(s.post(kPhone + "/group/save", {{"name", "保留的分组"}}, token)["status"].toInt(), 1);
        QVERIFY(!s.registerUser("13600000006", "kept-password").isEmpty());
        QCOMPARE(s.terminate(), 0);
        QVERIFY(s.logText().contains("stopped"));
    }
    ProviderProcess again(db);
    QString error;
    QVERIFY2(again.start(&error), qPrintable(error));
    const QString token = again.login(kDemo, kDemoPassword);
    QJsonArray groups = groupsOf(again.get(kPhone + "/phone/group-list", token));
    bool kept = false;
    for (const auto &g : groups)
        kept = kept || g.toObject()["name"].toString() == "保留的分组";
    QVERIFY(kept);
    // Not seeded twice.
    QCOMPARE(allPhones(groups).size(), 24);
    QVERIFY(!again.login("13600000006", "kept-password").isEmpty());

    // Killed while several writers are busy: every acknowledged write survives, and the file is sound.
    std::atomic<bool> run{true};
    std::atomic<int> acked{0}, attempted{0};
    std::vector<std::thread> writers;
    const std::string auth = token.toStdString();
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&, t] {
            const auto client = again.client();
            const httplib::Headers headers = {{"Authorization", auth}};
            for (int i = 0; run && i < 200; ++i) {
                const QByteArray body =
                    ProviderProcess::clientBody({{"name", QString("K%1-%2").arg(t).arg(i)}});
                attempted++;
                const auto a = ProviderProcess::parse(
                    client->Post((kPhone + "/group/save").toUtf8().constData(), headers, body.constData(),
                                 body.size(), "application/x-www-form-urlencoded"));
                if (a["status"].toInt() == 1)
                    acked++;
                else
                    break;
            }
        });
    }
    QTRY_VERIFY_WITH_TIMEOUT(acked.load() >= 40, 20000);
    again.kill();
    run = false;
    for (auto &w : writers)
        w.join();

    ProviderProcess third(db);
    QVERIFY2(third.start(&error), qPrintable(error));
    groups = groupsOf(third.get(kPhone + "/phone/group-list", third.login(kDemo, kDemoPassword)));
    int written = 0;
    for (const auto &g : groups)
        written += g.toObject()["name"].toString().startsWith("K");
    QVERIFY2(written >= acked.load() && written <= attempted.load(),
             qPrintable(QString("acked %1, attempted %2, stored %3")
                            .arg(acked.load())
                            .arg(attempted.load())
                            .arg(written)));
    QCOMPARE(third.terminate(), 0);
}

namespace {

// Stand-in for the phone farm's admin API that checks each request's signature.
class FarmStub
{
public:
    explicit FarmStub(std::string secret) : secret_(std::move(secret))
    {
        server_.Post(R"(/admin/phones/([A-Za-z0-9]+)/(restart|reset|retire))",
                     [this](const httplib::Request &req, httplib::Response &res) {
                         if (!verify(req, res))
                             return;
                         std::lock_guard<std::mutex> lock(mutex_);
                         if (req.matches[2] != "retire")
                             state_[req.matches[1]] = req.matches[2] == "restart" ? 3 : 4;
                         std::string call = req.matches[2].str() + " " + req.matches[1].str();
                         if (req.has_param("generation"))
                             call += " " + req.get_param_value("generation");
                         calls_ << QString::fromStdString(call);
                         res.set_content("{\"ok\":true}", "application/json");
                     });
        server_.Get("/admin/status", [this](const httplib::Request &req, httplib::Response &res) {
            if (!verify(req, res))
                return;
            std::lock_guard<std::mutex> lock(mutex_);
            QJsonObject out;
            for (const auto &id : QString::fromStdString(req.get_param_value("ids")).split(','))
                out[id] = state_.count(id.toStdString()) ? state_[id.toStdString()] : 1;
            res.set_content(QJsonDocument(out).toJson().toStdString(), "application/json");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~FarmStub() { stop(); }
    void stop()
    {
        server_.stop();
        if (thread_.joinable())
            thread_.join();
    }
    int port() const { return port_; }
    QStringList calls()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    int badSignatures() const { return bad_; }

private:
    bool verify(const httplib::Request &req, httplib::Response &res)
    {
        const std::string time = req.get_header_value("X-Farm-Time");
        const QByteArray expected =
            harness::adminAuth(QByteArray::fromStdString(req.method), QByteArray::fromStdString(req.target),
                               QByteArray::fromStdString(time), QByteArray::fromStdString(secret_));
        const bool fresh =
            qAbs(QDateTime::currentSecsSinceEpoch() - QByteArray::fromStdString(time).toLongLong()) <= 300;
        if (!fresh || expected != QByteArray::fromStdString(req.get_header_value("X-Farm-Auth"))) {
            ++bad_;
            res.status = 401;
            return false;
        }
        return true;
    }

    std::string secret_;
    httplib::Server server_;
    std::thread thread_;
    int port_ = -1;
    std::atomic<int> bad_{0};
    std::mutex mutex_;
    std::map<std::string, int> state_;
    QStringList calls_;
};

} // namespace

void TestProvider::phoneFarmLink()
{
    FarmStub farm("test-secret");
    QVERIFY(farm.port() > 0);
    auto s =
        fresh("farm", {"--dev", "--farm", QString("http://127.0.0.1:%1").arg(farm.port()), "--farm-secret",
                       "test-secret", "--exchanges-per-hour", "2", "--sms-interval", "0"});
    QVERIFY(s);
    QString token = s->login(kDemo, kDemoPassword);
    const QJsonObject phone = allPhones(groupsOf(s->get(kPhone + "/phone/group-list", token)))[0];
    const QString id = QString::number(phone["cloudPhoneId"].toInt());
    const QString deviceId = phone["accessInfo"].toObject()["deviceId"].toString();
    // Credentials are signed with the farm's secret.
    const QList<QByteArray> cred =
        aesDecrypt(QByteArray::fromBase64(phone["accessInfo"].toObject()["ucid"].toString().toLatin1()))
            .split('#')[0]
            .split('.');
    QCOMPARE(cred.size(), 5);
    QCOMPARE(cred, harness::credential(deviceId.toLatin1(), cred[1].toLongLong(), cred[2] == "1",
                                       "test-secret", cred[3].toLongLong())
                       .split('.'));

    const auto status = [&] {
        return s->get(kPhone + "/phone/list-phones-running-status?cloudPhoneIds=" + id + "&type=3", token);
    };
    QCOMPARE(status()["content"].toArray()[0].toObject()["runningStatus"].toInt(), 1);
    QCOMPARE(
        s->post(kPhone + "/phone/reset", {{"cloudPhoneIds", id}, {"type", "3"}}, token)["status"].toInt(), 1);
    QCOMPARE(farm.calls(), QStringList{"reset " + deviceId});
    QCOMPARE(status()["content"].toArray()[0].toObject()["runningStatus"].toInt(), 4);
    QCOMPARE(farm.badSignatures(), 0);

    // A password reset gives every phone the account reaches, shared ones too, a new credential
    // generation, and tells the farm to refuse the older ones.
    const auto generations = [&] {
        QMap<QString, QByteArray> out;
        for (const QJsonObject &p : allPhones(groupsOf(s->get(kPhone + "/phone/group-list", token)))) {
            const QByteArray plain =
                aesDecrypt(QByteArray::fromBase64(p["accessInfo"].toObject()["ucid"].toString().toLatin1()));
            out[p["accessInfo"].toObject()["deviceId"].toString()] = plain.split('#')[0].split('.').value(3);
        }
        return out;
    };
    const QMap<QString, QByteArray> before = generations();
    QCOMPARE(before.size(), 24);
    QCOMPARE(QSet<QByteArray>(before.begin(), before.end()), QSet<QByteArray>{"1"});
    QVERIFY(s->post("/api/public/v1/verify-code/send", {{"mobile", kDemo}})["status"].toInt() == 1);
    QCOMPARE(s->post(kUser + "/password/resetPasswordByPhoneWithSmsCaptcha",
                     {{"phone", kDemo},
                      {"smsCaptcha", s->lastSmsCode(kDemo)},
                      {"password", "fresh-secret"}})["status"]
                 .toInt(),
             1);
    token = s->login(kDemo, "fresh-secret");
    const QMap<QString, QByteArray> after = generations();
    QCOMPARE(QSet<QByteArray>(after.begin(), after.end()), QSet<QByteArray>{"2"});
    QStringList retired;
    for (const QString &device : before.keys())
        retired << "retire " + device + " 2";
    QStringList calls = farm.calls().mid(1);
    calls.sort();
    QCOMPARE(calls, retired);

    // An exchanged device is retired whole; exchanges are limited per account and hour, on both
    // sides of the limit.
    // The first group's phones are the account's own, none expired.
    QList<QJsonObject> owned;
    for (const auto &p :
         groupsOf(s->get(kPhone + "/phone/group-list", token))[0].toObject()["phoneList"].toArray())
        if (owned.size() < 3)
            owned << p.toObject();
    QCOMPARE(owned.size(), 3);
    for (int i = 0; i < 3; ++i) {
        const QMap<QString, QString> order = {
            {"billingId", QString::number(owned[i]["billingId"].toInt())},
            {"payChannel", "wechat"},
            {"cloudPhoneId", QString::number(owned[i]["cloudPhoneId"].toInt())}};
        QCOMPARE(s->post(kPhone + "/order/generate-change-order", order, token)["status"].toInt(), 1);
        const QJsonObject done = s->post(kPhone + "/order/get-change-order", order, token);
        const QString old = owned[i]["accessInfo"].toObject()["deviceId"].toString();
        if (i < 2) {
            QCOMPARE(done["status"].toInt(), 1);
            QCOMPARE(farm.calls().last(), "retire " + old);
        } else {
            QCOMPARE(done["status"].toInt(), 429);
            QVERIFY(!farm.calls().contains("retire " + old));
        }
    }

    farm.stop();
    QJsonObject a = s->post(kPhone + "/phone/restart", {{"cloudPhoneIds", id}, {"type", "3"}}, token);
    QCOMPARE(a["status"].toInt(), 503);
    QCOMPARE(a["msg"].toString(), QString("云手机服务暂不可用，请稍后再试"));
    QCOMPARE(status()["status"].toInt(), 503);
    QCOMPARE(s->terminate(), 0);
}

QTEST_GUILESS_MAIN(TestProvider)
#include "tst_provider.moc"
