// Logins, tokens, SMS codes, password reset and registration.
#include "tests/provider/tst_provider.h"

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
