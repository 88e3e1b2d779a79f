// Upload information, the update check and the web pages with their API.
#include "tests/provider/tst_provider.h"

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
