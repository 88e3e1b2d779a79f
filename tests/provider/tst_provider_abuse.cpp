// Slow peers, login limits and bad input.
#include "tests/provider/tst_provider.h"

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
