// Concurrent writers, restarts and kills, and the phone farm link.
#include "tests/provider/tst_provider.h"

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
