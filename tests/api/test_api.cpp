// Service API: the HTTP layer against a raw local server, the account model against the real provider.
#include "api/userinfo.h"
#include "api/zqhttprequest.h"
#include "app/globals.h"
#include "tests/support/busrecorder.h"
#include "tests/support/providerprocess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString demoPhone = QStringLiteral("13800000000");
const QString demoPassword = QStringLiteral("pelomir2026");

// One request as the raw server saw it.
struct SeenRequest
{
    QByteArray method;
    QByteArray target;
    QMap<QByteArray, QByteArray> headers; // lower-case names
    QByteArray body;
};

// A minimal HTTP/1.1 server on 127.0.0.1:0 that records each request and answers with fixed bytes:
// then closes, or keeps the connection open (an empty answer never answers at all). Lives on the
// thread that creates it; a blocking request on that same thread keeps it served.
class RawServer : public QObject
{
public:
    explicit RawServer(const QByteArray &answer = QByteArray(), bool closeAfter = true)
        : m_answer(answer), m_closeAfter(closeAfter)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                ++connections;
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
            }
        });
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()); }

    int connections = 0;
    QList<SeenRequest> requests;

private:
    void read(QTcpSocket *socket)
    {
        QByteArray &buffer = m_buffers[socket];
        buffer += socket->readAll();
        const int headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        SeenRequest request;
        const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.target = first.value(1);
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines[i].indexOf(':');
            if (colon > 0)
                request.headers.insert(lines[i].left(colon).trimmed().toLower(),
                                       lines[i].mid(colon + 1).trimmed());
        }
        const int length = request.headers.value("content-length").toInt();
        if (buffer.size() < headEnd + 4 + length)
            return;
        request.body = buffer.mid(headEnd + 4, length);
        buffer.clear();
        requests.append(request);
        if (m_answer.isEmpty())
            return;
        socket->write(m_answer);
        if (m_closeAfter)
            socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QByteArray m_answer;
    bool m_closeAfter;
    QHash<QTcpSocket *, QByteArray> m_buffers;
};

QByteArray ok(const QByteArray &body)
{
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// A loopback port that nobody listens on.
quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

using testsupport::BusRecorder;

// Delivers what is queued on the bus and returns the dialog texts of the notices (Msg::showDialog)
// received since the last call.
QStringList takeNotices(BusRecorder &bus)
{
    QStringList texts;
    for (const ZQSlotMsg &m : bus.take()) {
        const QJsonObject dialog = textToJson(m.text);
        texts.append(dialog.value(QStringLiteral("type")).toInt() == 254
                         ? dialog.value(QStringLiteral("lbl_1_Text")).toString()
                         : QStringLiteral("<not a notice>"));
    }
    return texts;
}

// On the calling thread, against a server of its own that never answers.
QString silentRequest(bool post)
{
    RawServer silent;
    QElapsedTimer clock;
    clock.start();
    ZqHttpRequest request;
    const QString result =
        post ? request.httpPost(silent.url(), {{"a", "1"}}) : request.httpGet(silent.url());
    qInfo("%s gave up after %lld ms", post ? "POST" : "GET", clock.elapsed());
    return result;
}

QJsonObject parse(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

} // namespace

class TestApi : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void requestShape();
    void failureObjects_data();
    void failureObjects();
    void resetChecksSendNothing_data();
    void resetChecksSendNothing();
    void unusableAnswers_data();
    void unusableAnswers();
    void unreachableService();
    void passwordLogin();
    void smsLoginAndPasswordReset();
    void tokenReadDuringLogin();
    void requestsEndCleanlyAtShutdown();
    void timeouts();

private:
    // A fresh account model addressed at `baseUrl`.
    std::unique_ptr<userInfo> accountAt(const QString &baseUrl);
    QString smsCode(const QString &phone);
    QString providerMsg(const QString &path, const QMap<QString, QString> &params);

    QTemporaryDir m_dir;
    std::unique_ptr<ProviderProcess> m_provider;
    QString m_providerUrl;
    BusRecorder *m_notices = nullptr;
    // Requests to servers that never answer, started first so that their wait overlaps the other tests.
    std::future<QString> m_postTimeout;
    std::future<QString> m_getTimeout;
};

void TestApi::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_postTimeout = g_threadPool.commit(silentRequest, true);
    m_getTimeout = g_threadPool.commit(silentRequest, false);

    m_provider = std::make_unique<ProviderProcess>(
        m_dir.filePath(QStringLiteral("provider.db")),
        QStringList{"--dev", "--sms-interval", "0", "--login-max-failures", "1000"});
    QString error;
    QVERIFY2(m_provider->start(&error), qPrintable(error));
    m_providerUrl = m_provider->baseUrl();

    g_configHolder = std::make_shared<ZqConfig>();
    g_config = g_configHolder.get();
    m_notices = new BusRecorder{5};
}

void TestApi::cleanupTestCase()
{
    delete m_notices;
    m_provider->terminate();
}

std::unique_ptr<userInfo> TestApi::accountAt(const QString &baseUrl)
{
    g_config->apiBaseUrl = baseUrl;
    return std::make_unique<userInfo>();
}

QString TestApi::smsCode(const QString &phone)
{
    const QJsonObject answer =
        parse(ZqHttpRequest().httpGet(m_providerUrl + QStringLiteral("/dev/sms?phone=") + phone));
    return answer.value(QStringLiteral("content")).toObject().value(QStringLiteral("code")).toString();
}

QString TestApi::providerMsg(const QString &path, const QMap<QString, QString> &params)
{
    return parse(ZqHttpRequest().httpPost(m_providerUrl + path, params))
        .value(QStringLiteral("msg"))
        .toString();
}

// What goes on the wire: form body with the common items, headers, the GET address untouched.
void TestApi::requestShape()
{
    RawServer server(ok(R"({"status":1,"msg":"好"})"));
    ZqHttpRequest request;

    QCOMPARE(request.httpPost(server.url() + QStringLiteral("/p"), {{"name", "a"}}),
             QStringLiteral(R"({"status":1,"msg":"好"})"));
    QCOMPARE(server.requests.size(), 1);
    SeenRequest seen = server.requests.last();
    QCOMPARE(seen.method, QByteArray("POST"));
    QCOMPARE(seen.target, QByteArray("/p"));
    QCOMPARE(seen.body, QByteArray("name=a&platformId=8&productId=40&statisticsNo=3148&terminal=web"));
    QCOMPARE(seen.headers.value("content-type"), QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(seen.headers.value("content-length").toInt(), seen.body.size());
    QVERIFY(!seen.headers.contains("authorization"));

    // Reserved characters and non-ASCII text are escaped, so a standard form decoder gets them back.
    const QString tricky = QStringLiteral("a+b &c=d%2B中");
    request.httpPost(server.url() + QStringLiteral("/p"), {{"k+", tricky}}, QStringLiteral("tok 9"));
    seen = server.requests.last();
    QVERIFY(seen.body.startsWith("k%2B=a%2Bb%20%26c%3Dd%252B%E4%B8%AD&platformId=8"));
    QCOMPARE(seen.headers.value("authorization"), QByteArray("tok 9"));

    const QString address =
        server.url() + QStringLiteral("/g/h?x=%2B1&y=a%20b") + ZqHttpRequest::commonQuery();
    request.httpGet(address, QStringLiteral("t0k"));
    seen = server.requests.last();
    QCOMPARE(seen.method, QByteArray("GET"));
    QCOMPARE(seen.target,
             QByteArray("/g/h?x=%2B1&y=a%20b&platformId=8&productId=40&statisticsNo=3148&terminal=web"));
    QCOMPARE(seen.headers.value("authorization"), QByteArray("t0k"));
    QCOMPARE(seen.headers.value("content-type"), QByteArray("application/x-www-form-urlencoded"));
    QVERIFY(seen.body.isEmpty());

    request.httpGet(server.url() + QStringLiteral("/g"));
    QVERIFY(!server.requests.last().headers.contains("authorization"));
}

void TestApi::failureObjects_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("closeAfter");
    QTest::addColumn<QString>("postResult");
    QTest::addColumn<QString>("getResult");

    QTest::newRow("500") << QByteArray("HTTP/1.1 500 Internal Server Error\r\nContent-Length: 2\r\n\r\n{}")
                         << true << QStringLiteral(R"({"msg":"网络错误码: 500","status":-5})")
                         << QStringLiteral(R"({"msg":"网络错误码：500","status":-2})");
    QTest::newRow("404 with a JSON body")
        << QByteArray("HTTP/1.1 404 Not Found\r\nContent-Length: 12\r\n\r\n{\"status\":1}") << true
        << QStringLiteral(R"({"msg":"网络错误码: 404","status":-5})")
        << QStringLiteral(R"({"msg":"网络错误码：404","status":-2})");
    QTest::newRow("200 cut short") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\n{\"status\"")
                                   << true << QStringLiteral(R"({"msg":"11 网络错误！","status":-21})")
                                   << QStringLiteral(R"({"msg":"网络错误！","status":-2})");
    // Claims a gigabyte and then stalls: refused at once instead of buffering or waiting out the limit.
    QTest::newRow("oversized") << QByteArray(
                                      "HTTP/1.1 200 OK\r\nContent-Length: 1000000000\r\n\r\n{\"status\":1")
                               << false << QStringLiteral(R"({"msg":"11 网络错误！","status":-21})")
                               << QStringLiteral(R"({"msg":"网络错误！","status":-2})");
    QTest::newRow("200 empty") << ok(QByteArray()) << true << QString() << QString();
    QTest::newRow("text ends at a zero byte") << ok(QByteArray("{\"a\":1}\0tail", 12)) << true
                                              << QStringLiteral(R"({"a":1})") << QStringLiteral(R"({"a":1})");
    QTest::newRow("refused connection")
        << QByteArray() << true << QStringLiteral(R"({"msg":"网络错误码: 0","status":-5})")
        << QStringLiteral(R"({"msg":"网络错误码：0","status":-2})");
}

void TestApi::failureObjects()
{
    QFETCH(QByteArray, answer);
    QFETCH(bool, closeAfter);
    QFETCH(QString, postResult);
    QFETCH(QString, getResult);

    RawServer server(answer, closeAfter);
    const QString base =
        answer.isEmpty() ? QStringLiteral("http://127.0.0.1:%1").arg(closedPort()) : server.url();
    ZqHttpRequest request;
    QCOMPARE(request.httpPost(base + QStringLiteral("/p"), {{"a", "1"}}, QStringLiteral("t")), postResult);
    QCOMPARE(request.httpGet(base + QStringLiteral("/g?a=1"), QStringLiteral("t")), getResult);
}

void TestApi::resetChecksSendNothing_data()
{
    QTest::addColumn<QString>("phone");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("shown");
    QTest::newRow("all empty") << QString() << QString() << QString() << QStringLiteral("手机号码不能为空!");
    QTest::newRow("no phone") << QString() << QStringLiteral("123456") << QStringLiteral("pw123456")
                              << QStringLiteral("手机号码不能为空!");
    QTest::newRow("no code") << demoPhone << QString() << QString() << QStringLiteral("验证码不能为空!");
    QTest::newRow("no password") << demoPhone << QStringLiteral("123456") << QString()
                                 << QStringLiteral("密码不能为空!");
}

void TestApi::resetChecksSendNothing()
{
    QFETCH(QString, phone);
    QFETCH(QString, code);
    QFETCH(QString, password);
    QFETCH(QString, shown);

    RawServer server(ok(R"({"status":1})"));
    const auto account = accountAt(server.url());
    QVERIFY(!account->resetPassword(phone, code, password));
    QCOMPARE(takeNotices(*m_notices), QStringList{shown});
    QCOMPARE(server.connections, 0);
}

// Answers that are not a usable success: no dialog without text, and never a session without a token.
void TestApi::unusableAnswers_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("shown");
    const QStringList unreadable{QStringLiteral("服务器返回数据异常！")};
    QTest::newRow("empty body") << QByteArray() << QStringList();
    QTest::newRow("not JSON") << QByteArray("<html>gateway</html>") << unreadable;
    QTest::newRow("status as text") << QByteArray(R"({"status":"1","msg":"稍后再试"})")
                                    << QStringList{QStringLiteral("稍后再试")};
    QTest::newRow("failure without msg") << QByteArray(R"({"status":0})") << unreadable;
    QTest::newRow("success without token")
        << QByteArray(R"({"status":1,"content":{"userDetail":{"phone":"13800000000"}}})") << unreadable;
    QTest::newRow("token with a line break")
        << QByteArray(R"({"status":1,"content":{"userToken":{"token":"ab\r\nX-Evil: 1"}}})") << unreadable;
}

void TestApi::unusableAnswers()
{
    QFETCH(QByteArray, body);
    QFETCH(QStringList, shown);

    RawServer server(ok(body));
    const auto account = accountAt(server.url());
    QVERIFY(!account->login(demoPhone, demoPassword, false));
    QCOMPARE(takeNotices(*m_notices), shown);
    QVERIFY(!account->isLoggedIn());
    QVERIFY(account->token().isEmpty());
    QVERIFY(account->userDetail().phone.isEmpty());
}

void TestApi::unreachableService()
{
    const auto account = accountAt(QStringLiteral("http://127.0.0.1:%1").arg(closedPort()));
    QVERIFY(!account->login(demoPhone, demoPassword, false));
    QCOMPARE(takeNotices(*m_notices), QStringList{QStringLiteral("网络错误码: 0")});
    QVERIFY(!account->sendVerifyCode(demoPhone));
    QCOMPARE(takeNotices(*m_notices), QStringList{QStringLiteral("网络错误码: 0")});
    QVERIFY(!account->isLoggedIn());
}

void TestApi::passwordLogin()
{
    const auto account = accountAt(m_providerUrl);
    // The dialog shows the provider's own text (this answer has no attempt counter in it).
    const QString noCode = QStringLiteral("13700000000");
    const QString noCodeMsg = providerMsg(QStringLiteral("/api/tamsu-phone-user/v1/login/smsCaptcha"),
                                          {{"phone", noCode}, {"smsCaptcha", "123456"}});
    QVERIFY(!noCodeMsg.isEmpty());
    QVERIFY(!account->login(noCode, QStringLiteral("123456"), true));
    QCOMPARE(takeNotices(*m_notices), QStringList{noCodeMsg});

    QVERIFY(!account->login(demoPhone, QStringLiteral("wrong-pass"), false));
    QStringList shown = takeNotices(*m_notices);
    QCOMPARE(shown.size(), 1);
    QVERIFY(!shown.first().isEmpty());
    QVERIFY(!account->isLoggedIn());
    QVERIFY(account->token().isEmpty());

    QVERIFY(account->login(demoPhone, demoPassword, false));
    QVERIFY(takeNotices(*m_notices).isEmpty());
    QVERIFY(account->isLoggedIn());
    const sessionRecord first = account->session();
    QVERIFY(!first.token.isEmpty());
    QVERIFY(first.expiresIn > 0);
    const userDetailRecord detail = account->userDetail();
    QCOMPARE(detail.phone, demoPhone);
    QVERIFY(detail.userId > 0);
    QCOMPARE(detail.userId, first.userId);

    // The token works: the provider accepts it on an authenticated call.
    const QJsonObject groups = parse(ZqHttpRequest().httpGet(
        m_providerUrl + QStringLiteral("/api/tamsu-cloud-phone/v1/phone/group-list"), account->token()));
    QCOMPARE(groups.value(QStringLiteral("status")).toInt(), 1);

    // A failed login later leaves the session alone.
    QVERIFY(!account->login(demoPhone, QStringLiteral("wrong-pass"), false));
    QCOMPARE(takeNotices(*m_notices).size(), 1);
    QVERIFY(account->isLoggedIn());
    QCOMPARE(account->token(), first.token);
}

void TestApi::smsLoginAndPasswordReset()
{
    const auto account = accountAt(m_providerUrl);
    QVERIFY(account->sendVerifyCode(demoPhone));
    QVERIFY(takeNotices(*m_notices).isEmpty());
    const QString code = smsCode(demoPhone);
    QVERIFY(!code.isEmpty());

    QVERIFY(!account->login(demoPhone, code + QStringLiteral("9"), true));
    QCOMPARE(takeNotices(*m_notices).size(), 1);
    QVERIFY(account->login(demoPhone, code, true));
    QVERIFY(account->isLoggedIn());
    QCOMPARE(account->userDetail().phone, demoPhone);

    // A password must arrive exactly as typed, whatever characters it holds.
    const QStringList passwords{QStringLiteral("a+b c&d=e"), QStringLiteral("密码%2B+x"), demoPassword};
    QString previous = demoPassword;
    for (const QString &password : passwords) {
        QVERIFY(account->sendVerifyCode(demoPhone));
        QVERIFY(account->resetPassword(demoPhone, smsCode(demoPhone), password));
        QVERIFY(takeNotices(*m_notices).isEmpty());
        QVERIFY2(account->login(demoPhone, password, false), qPrintable(password));
        if (previous != password) {
            QVERIFY(!account->login(demoPhone, previous, false));
            QCOMPARE(takeNotices(*m_notices).size(), 1);
        }
        previous = password;
    }

    QVERIFY(!account->resetPassword(demoPhone, QStringLiteral("000000"), QStringLiteral("another1")));
    QCOMPARE(takeNotices(*m_notices).size(), 1);
}

// Pool threads read the session while logins replace it. Each reader uses one accessor only, so
// that one accessor's lock cannot hide another's missing lock from the thread checker.
void TestApi::tokenReadDuringLogin()
{
    const auto account = accountAt(m_providerUrl);
    std::atomic<bool> stop{false};
    const auto reader = [&](auto read) {
        return g_threadPool.commit([&stop, read] {
            QStringList seen;
            while (!stop.load()) {
                const QString token = read();
                if (!token.isEmpty() && (seen.isEmpty() || seen.last() != token))
                    seen.append(token);
                std::this_thread::yield();
            }
            return seen;
        });
    };
    std::vector<std::future<QStringList>> readers;
    readers.push_back(reader([&] { return account->token(); }));
    readers.push_back(reader([&] {
        const sessionRecord session = account->session();
        return session.userId == account->userDetail().userId || session.userId == 0
                   ? session.token
                   : QStringLiteral("<torn session>");
    }));
    QStringList issued;
    for (int i = 0; i < 4; ++i) {
        QVERIFY(account->login(demoPhone, demoPassword, false));
        issued.append(account->token());
    }
    stop.store(true);
    for (auto &r : readers) {
        for (const QString &token : r.get())
            QVERIFY2(issued.contains(token), qPrintable(token));
    }
}

void TestApi::timeouts()
{
    const auto ready = [](const std::future<QString> &f) {
        return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    };
    QTRY_VERIFY_WITH_TIMEOUT(ready(m_postTimeout) && ready(m_getTimeout), 40000);
    const QString expected = QStringLiteral(R"({"msg":"连接超时！","status":-1})");
    QCOMPARE(m_postTimeout.get(), expected);
    QCOMPARE(m_getTimeout.get(), expected);
}

// A request on a pool thread while the application object is destroyed: it must end, so that the
// pool can be joined and the process exits. The server is a plain socket that stays open until the
// request has ended, so only the application's destructor can end it. Prints the request's result,
// and then how many milliseconds it took from the application's destruction until the request ended.
int shutdownChild(int argc, char *argv[])
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        ::listen(listener, 1) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return 2;
    std::future<QString> pending;
    QElapsedTimer ending;
    int peer = -1;
    {
        QCoreApplication app(argc, argv);
        const QString url = QStringLiteral("http://127.0.0.1:%1/hang").arg(ntohs(address.sin_port));
        pending = g_threadPool.commit([url] { return ZqHttpRequest().httpGet(url); });
        pollfd waiting{listener, POLLIN, 0};
        if (::poll(&waiting, 1, 10000) != 1 || (peer = ::accept(listener, nullptr, nullptr)) < 0)
            return 3;
        waiting = {peer, POLLIN, 0};
        if (::poll(&waiting, 1, 10000) != 1)
            return 4;
        ending.start();
    }
    const QString result = pending.get();
    std::printf("%s\n%lld\n", result.toUtf8().constData(), ending.elapsed());
    ::close(peer);
    ::close(listener);
    return 0;
}

// Runs this program again in one of its child modes; returns what the child printed. Sanitizer options
// pass through, so under the leak checker anything a request leaves behind fails the child.
QString runChild(const char *mode)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PELOMIR_API_CHILD"), QLatin1String(mode));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    if (!child.waitForFinished(60000) || child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        return QStringLiteral("child failed with %1").arg(child.exitCode());
    return QString::fromUtf8(child.readAllStandardOutput()).trimmed();
}

void TestApi::requestsEndCleanlyAtShutdown()
{
    // The application's destructor wakes the waiting request at once; it gives a thread that is not
    // back 10 s, so an end in more than half of that means the wait was never woken.
    const QStringList request = runChild("request").split('\n');
    QCOMPARE(request.size(), 2);
    QCOMPARE(request[0], QStringLiteral(R"({"msg":"网络错误码：0","status":-2})"));
    QVERIFY2(request[1].toLongLong() < 5000, qPrintable(request[1]));
    // Two checkers run at a time, and both were held when the application went.
    QCOMPARE(runChild("access-checks"), QStringLiteral("2"));
}

int runInventoryTests(int argc, char *argv[]);
int accessCheckShutdownChild(int argc, char *argv[]);

int main(int argc, char *argv[])
{
    const QByteArray child = qgetenv("PELOMIR_API_CHILD");
    if (child == "request")
        return shutdownChild(argc, argv);
    if (child == "access-checks")
        return accessCheckShutdownChild(argc, argv);
    // The inventory tests compare billing icons, which are pixmaps.
    QGuiApplication app(argc, argv);
    TestApi test;
    const int account = QTest::qExec(&test, argc, argv);
    return account | runInventoryTests(argc, argv);
}

#include "test_api.moc"
