// The group list, icons, groups and names, restart and reset, access and device exchange.
#include "tests/provider/tst_provider.h"

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
