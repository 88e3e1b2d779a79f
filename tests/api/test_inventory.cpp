// Over 600 lines on purpose: one test program per subsystem, and its cases share the servers and
// helpers set up here.
// The phone inventory: reloads, queries and the group and phone calls against the real provider, and
// broken or hostile group lists from a scripted local server.
#include "api/reloadgate.h"
#include "api/userinfo.h"
#include "app/globals.h"
#include "tests/support/busrecorder.h"
#include "tests/support/credential.h"
#include "tests/support/providerprocess.h"
#include "transfer/billingdownload.h"

#include <QBuffer>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPixmap>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUrlQuery>

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

const QString demoPhone = QStringLiteral("13800000000");
const QString scalePhone = QStringLiteral("13900000000");
const QString password = QStringLiteral("pelomir2026");
// Generous: the checks run beside the other test programs and under the thread checker.
constexpr int waitMs = 20000;

// A local HTTP server whose answers the test sets per path (without the query). It records every
// request target and body; unknown paths get a 404.
class ScriptedServer : public QObject
{
public:
    ScriptedServer()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                socket->setParent(this);
                connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
            }
        });
        answer(QStringLiteral("/api/tamsu-phone-user/v1/login/phone"),
               R"({"status":1,"content":{"userToken":{"token":"T1"},"userDetail":{"userId":7}}})");
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()); }
    void answer(const QString &path, const QByteArray &body, int status = 200)
    {
        m_answers[path] = {status, body};
    }
    int count(const QString &path) const { return m_counts.value(path); }
    // Requests for `path` wait unanswered until release().
    void hold(const QString &path) { m_held = path; }
    void release()
    {
        m_held.clear();
        for (const auto &[socket, path] : qAsConst(m_waiting))
            reply(socket, path);
        m_waiting.clear();
    }

    QList<QPair<QString, QByteArray>> requests; // target and body

private:
    void read(QTcpSocket *socket)
    {
        QByteArray &buffer = m_buffers[socket];
        buffer += socket->readAll();
        const int headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        const QRegularExpressionMatch length =
            QRegularExpression(QStringLiteral("(?i)content-length: *(\\d+)")).match(buffer.left(headEnd));
        const int bodySize = length.hasMatch() ? length.captured(1).toInt() : 0;
        if (buffer.size() < headEnd + 4 + bodySize)
            return;
        const QString target = QString::fromLatin1(buffer.left(buffer.indexOf('\r')).split(' ').value(1));
        const QString path = target.section(QLatin1Char('?'), 0, 0);
        requests.append({target, buffer.mid(headEnd + 4, bodySize)});
        m_counts[path] += 1;
        buffer.clear();
        if (path == m_held)
            m_waiting.append({socket, path});
        else
            reply(socket, path);
    }
    void reply(QTcpSocket *socket, const QString &path)
    {
        const QPair<int, QByteArray> answer = m_answers.value(path, {404, QByteArray()});
        socket->write("HTTP/1.1 " + QByteArray::number(answer.first) +
                      " X\r\nContent-Length: " + QByteArray::number(answer.second.size()) +
                      "\r\nConnection: close\r\n\r\n" + answer.second);
        socket->disconnectFromHost();
    }

    QTcpServer m_server;
    QHash<QString, QPair<int, QByteArray>> m_answers;
    QHash<QString, int> m_counts;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QString m_held;
    QList<QPair<QTcpSocket *, QString>> m_waiting;
};

const QString groupList = QStringLiteral("/api/tamsu-cloud-phone/v1/phone/group-list");
const QString accessInfo = QStringLiteral("/api/tamsu-cloud-phone/v1/phone/get-access-info");

QString ucid(const QByteArray &plain)
{
    return QString::fromLatin1(ZqConfig::encrypt(g_config->aesKey.toUtf8(), plain).toBase64());
}

QJsonObject phone(int cloudPhoneId, const QString &name, int billingId = 0, const QString &icon = QString())
{
    return {{"cloudPhoneId", cloudPhoneId},
            {"name", name},
            {"id", cloudPhoneId + 1},
            {"billingId", billingId},
            {"billingIcon", icon},
            {"accessInfo",
             QJsonObject{{"deviceId", QStringLiteral("D%1").arg(cloudPhoneId)},
                         {"ucid", ucid("cred-" + QByteArray::number(cloudPhoneId) + "#1700000000")}}}};
}

QByteArray listOf(const QJsonArray &groups)
{
    return QJsonDocument(QJsonObject{{"status", 1}, {"content", groups}}).toJson(QJsonDocument::Compact);
}

QJsonObject group(int id, const QJsonArray &phones)
{
    return {{"id", id}, {"name", QStringLiteral("G%1").arg(id)}, {"order", id}, {"phoneList", phones}};
}

using testsupport::BusRecorder;

// Notices (Msg::showDialog), Msg::rebuildTree and Msg::inventoryReloaded received since the last
// call, in arrival order: "5:<text>", "30", "31".
QStringList takeSeen(BusRecorder &bus)
{
    QStringList seen;
    for (const ZQSlotMsg &m : bus.take())
        seen.append(m.type == 5 ? QStringLiteral("5:") + textToJson(m.text).value("lbl_1_Text").toString()
                                : QString::number(m.type));
    return seen;
}

// Collects until `count` inventory messages (Msg::rebuildTree or Msg::inventoryReloaded) arrived;
// returns everything collected.
QStringList waitInventory(BusRecorder &bus, int count)
{
    QStringList seen;
    const QRegularExpression inventory(QStringLiteral("^3[01]$"));
    const bool arrived = QTest::qWaitFor(
        [&] {
            seen += takeSeen(bus);
            return seen.filter(inventory).size() >= count;
        },
        waitMs);
    if (!arrived)
        qWarning("gave up waiting for %d inventory messages", count);
    return seen;
}

// Lets the other side of a gate in each time the gate lets go of its lock: a step split across two
// lockings then meets it between them every time, not only when two threads happen to.
struct SteppingMutex
{
    static inline int countdown = 0; // lockings left before `between` runs
    static inline std::function<void()> between;

    void lock() { inner.lock(); }
    void unlock()
    {
        inner.unlock();
        if (between && --countdown == 0)
            std::exchange(between, nullptr)();
    }

    std::mutex inner;
};

} // namespace

class TestInventory : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void demoAccountRead();
    void reloadAskedAsAReadEndsIsKept();
    void reloadGateStepsAreWhole();
    void restrictedPhones();
    void groupAndPhoneCalls();
    void preChecksSendNothing();
    void brokenListsKeepInventory_data();
    void brokenListsKeepInventory();
    void oddPhoneFields();
    void accessChecksOncePerNewPhone();
    void reloadsAskedWhileBusyRunOnce();
    void billingIcons();

private:
    std::unique_ptr<userInfo> loggedIn(const QString &baseUrl, const QString &account);

    QTemporaryDir m_dir;
    std::unique_ptr<ProviderProcess> m_provider;
    QString m_providerUrl;
    std::unique_ptr<BusRecorder> m_bus;
    std::unique_ptr<ScriptedServer> m_script;
};

void TestInventory::initTestCase()
{
    m_provider = std::make_unique<ProviderProcess>(
        m_dir.filePath(QStringLiteral("provider.db")),
        QStringList{"--dev", "--seed-phones", "50", "--restart-seconds", "1"});
    QString error;
    QVERIFY2(m_provider->start(&error), qPrintable(error));
    m_providerUrl = m_provider->baseUrl();
    if (!g_config) {
        g_configHolder = std::make_shared<ZqConfig>();
        g_config = g_configHolder.get();
    }
    g_billingDownload.setIconSize(QSize(16, 16));
    m_bus = std::make_unique<BusRecorder>(std::initializer_list<int>{5, 30, 31});
}

// Reads of accounts from earlier tests may still be on the pool; their messages must not count here.
void TestInventory::init()
{
    QTRY_COMPARE_WITH_TIMEOUT(g_threadPool.idleCount(), g_threadPool.workerCount(), 30000);
    takeSeen(*m_bus);
    m_script = std::make_unique<ScriptedServer>();
}

void TestInventory::cleanupTestCase()
{
    m_bus.reset();
    m_provider->terminate();
}

std::unique_ptr<userInfo> TestInventory::loggedIn(const QString &baseUrl, const QString &account)
{
    g_config->apiBaseUrl = baseUrl;
    auto info = std::make_unique<userInfo>();
    info->setReloadPauseMs(0);
    if (!info->login(account, password, false))
        return nullptr;
    return info;
}

void TestInventory::demoAccountRead()
{
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    const auto info = loggedIn(m_providerUrl, demoPhone);
    QVERIFY(info);
    QCOMPARE(waitInventory(*m_bus, 1), QStringList{"30"});

    QStringList names;
    for (const groupRecord &g : info->ordinaryGroups()) {
        names << g.name;
        QVERIFY(g.id > 0);
    }
    QCOMPARE(names, (QStringList{"默认分组", "游戏工作室", "测试机"}));
    const groupRecord granted = info->specialGroup(-1);
    const groupRecord ungrouped = info->specialGroup(-2);
    QCOMPARE(granted.phones.size(), 4);
    QCOMPARE(ungrouped.phones.size(), 2);
    QCOMPARE(info->phoneCount(), 24);

    QList<phoneRecord> all = granted.phones + ungrouped.phones;
    for (const groupRecord &g : info->ordinaryGroups())
        all += g.phones;
    int restricted = 0;
    for (const phoneRecord &p : all) {
        const int n = p.id;
        QCOMPARE(p.cloudPhoneId, 100000 + n);
        QCOMPARE(p.phoneNo, QString::number(80000000 + n));
        QCOMPARE(p.instanceId, QString::number(5000000 + n));
        QCOMPARE(p.phoneImageId, 10 + p.billingId);
        QVERIFY(p.billingId >= 1 && p.billingId <= 4 && p.billingIcon.startsWith("http"));
        QCOMPARE(p.serverId, QStringLiteral("srv-%1").arg(1 + n % 4));
        QVERIFY(QDateTime::fromString(p.endTime, "yyyy-MM-dd HH:mm:ss").isValid());
        QVERIFY(!p.remainTimeStr.isEmpty() && p.allowRenewal);
        QVERIFY(p.status == 1 || p.status == 2);
        QCOMPARE(p.source + p.type + p.phoneStatus, 3);
        // The credential is the one the phone gateway will check: signed for this deviceId.
        const QStringList parts = p.deviceUcId.split('.');
        QCOMPARE(parts.size(), 5);
        QCOMPARE(p.deviceUcId.toLatin1(), harness::credential(p.deviceId.toLatin1(), parts[1].toLongLong(),
                                                              parts[2] == QLatin1String("1"),
                                                              harness::kSecret, parts[3].toLongLong()));
        QVERIFY(p.deviceUcIdTimestamp >= before && p.deviceUcIdTimestamp <= before + 60);
        const bool readOnly = p.groupId == -1 && p.authorizationStrategy == 1;
        QCOMPARE(parts[2], readOnly ? QStringLiteral("1") : QStringLiteral("0"));
        QCOMPARE(info->mayOperate(p.cloudPhoneId), !readOnly);
        restricted += readOnly;
        QCOMPARE(info->ucIdOf(p.deviceId), p.deviceUcId);
        QCOMPARE(info->groupIdOfPhone(p.cloudPhoneId), p.groupId > 0 ? p.groupId : -1);
        phoneRecord found;
        QVERIFY(info->findPhoneByDeviceId(p.deviceId, found) && found.cloudPhoneId == p.cloudPhoneId);
        QVERIFY(!info->findPhoneByDeviceId(p.deviceId.toLower(), found));
    }
    QCOMPARE(restricted, 2);
    QVERIFY(granted.phones[0].authorizationInfoId > 0);

    // Access checks: the expired rental is refused, the rest allowed, and both survive a reload.
    const auto states = [&] {
        QString s;
        for (const phoneRecord &p : all) {
            phoneRecord now;
            info->findPhone(p.cloudPhoneId, now);
            s += QString::number(now.accessState + 1);
        }
        return s;
    };
    QTRY_VERIFY_WITH_TIMEOUT(!states().contains('0'), waitMs);
    const QString settled = states();
    QCOMPARE(settled.count('1'), 1);
    info->reload();
    QCOMPARE(waitInventory(*m_bus, 1), QStringList{"31"});
    QCOMPARE(states(), settled);
    QVERIFY(!info->isAccessible(100018));
    QVERIFY(info->isAccessible(100001));
    QVERIFY(!info->isAccessible(424242));
}

// Reloads swap the lists in whole: a reader on this thread never sees a restricted phone operable,
// a credential missing, or the groups half filled. The provider's refusals reach the user as its own
// text; the list calls fail quietly.
void TestInventory::restrictedPhones()
{
    const auto info = loggedIn(m_providerUrl, demoPhone);
    QVERIFY(info);
    waitInventory(*m_bus, 1);
    const phoneRecord locked = info->specialGroup(-1).phones.first();
    QVERIFY(!info->mayOperate(locked.cloudPhoneId));
    int seen = 0;
    QElapsedTimer clock;
    clock.start();
    while (seen < 6) {
        QVERIFY(clock.elapsed() < 30000);
        info->reload();
        for (int i = 0; i < 200; ++i) {
            QVERIFY(!info->mayOperate(locked.cloudPhoneId));
            QVERIFY(!info->ucIdOf(locked.deviceId).isEmpty());
            QCOMPARE(info->groupIdOfPhone(100001), info->ordinaryGroups().value(0).id);
        }
        seen += takeSeen(*m_bus).size();
    }
    QTRY_VERIFY_WITH_TIMEOUT(!info->reloadBusy(), waitMs);
    takeSeen(*m_bus);

    QVERIFY(!info->restartPhones(QString::number(locked.cloudPhoneId), "3"));
    QVERIFY(!info->renamePhone(locked.cloudPhoneId, "x"));
    QVERIFY(!info->generateChangeOrder("1", "bitcoin", 100001));
    QVERIFY(!info->removeGroup(99999));
    const QStringList shown = takeSeen(*m_bus);
    QCOMPARE(shown.size(), 4);
    QVERIFY(shown[0].endsWith(QString::number(locked.cloudPhoneId)));
    QCOMPARE(shown.mid(1), (QStringList{"5:授权设备不能修改名称", "5:不支持的支付方式", "5:分组不存在"}));
    QVERIFY(info->runningStatus("1,x", "3").isEmpty());
    QVERIFY(takeSeen(*m_bus).isEmpty());
}

void TestInventory::groupAndPhoneCalls()
{
    const auto info = loggedIn(m_providerUrl, scalePhone);
    QVERIFY(info);
    waitInventory(*m_bus, 1);
    const auto groupNamed = [&](const QString &name) {
        for (const groupRecord &g : info->ordinaryGroups()) {
            if (g.name == name)
                return g;
        }
        return groupRecord();
    };
    const QList<phoneRecord> phones = info->ordinaryGroups().first().phones;
    QCOMPARE(phones.size(), 50);

    QVERIFY(info->createGroup("新分组"));
    QCOMPARE(waitInventory(*m_bus, 1), QStringList{"31"});
    const int id = groupNamed("新分组").id;
    QVERIFY(id > 0);
    QVERIFY(!info->createGroup("新分组"));
    QCOMPARE(takeSeen(*m_bus), QStringList{"5:分组名称已存在"});

    QVERIFY(info->renameGroup(id, "改名分组"));
    waitInventory(*m_bus, 1);
    QCOMPARE(groupNamed("改名分组").id, id);

    QVERIFY(info->movePhone(id, phones[0].cloudPhoneId));
    waitInventory(*m_bus, 1);
    QVERIFY(info->movePhones({phones[1].cloudPhoneId, phones[2].cloudPhoneId}, id));
    waitInventory(*m_bus, 1);
    QCOMPARE(groupNamed("改名分组").phones.size(), 3);
    QCOMPARE(info->groupIdOfPhone(phones[2].cloudPhoneId), id);

    QVERIFY(info->renamePhone(phones[0].cloudPhoneId, "我的手机"));
    waitInventory(*m_bus, 1);
    phoneRecord renamed;
    QVERIFY(info->findPhone(phones[0].cloudPhoneId, renamed) && renamed.name == "我的手机");
    QVERIFY(!info->renamePhone(phones[0].cloudPhoneId, QString(40, 'x')));
    QCOMPARE(takeSeen(*m_bus).size(), 1);

    QVERIFY(info->prefixRename(userInfo::joinIds({phones[3].cloudPhoneId, phones[4].cloudPhoneId}), "批"));
    QVERIFY(info->restartPhones(QString::number(phones[5].cloudPhoneId), "3"));
    const QJsonArray running = info->runningStatus(QString::number(phones[5].cloudPhoneId), "3");
    QCOMPARE(running.size(), 1);
    QCOMPARE(running[0]["id"].toInt(), phones[5].cloudPhoneId);
    QVERIFY(info->resetPhones(QString::number(phones[6].cloudPhoneId), "3"));
    const QString plan = QString::number(phones[7].billingId);
    QVERIFY(info->generateChangeOrder(plan, "wechat", phones[7].cloudPhoneId));
    QVERIFY(info->getChangeOrder(plan, "wechat", phones[7].cloudPhoneId));
    const QJsonObject upload = info->uploadInfo();
    for (const char *key : {"accessKeyId", "accessKeySecret", "bucket", "fileUploadPath", "securityToken"})
        QVERIFY2(upload.value(key).isString(), key);

    QVERIFY(info->removeGroup(id));
    waitInventory(*m_bus, 1);
    QVERIFY(groupNamed("改名分组").phones.isEmpty());
    QCOMPARE(info->specialGroup(-2).phones.size(), 3);
    info->reload();
    waitInventory(*m_bus, 1);
    phoneRecord prefixed;
    QVERIFY(info->findPhone(phones[3].cloudPhoneId, prefixed) && prefixed.name.startsWith("批"));
    QVERIFY(takeSeen(*m_bus).isEmpty());
}

void TestInventory::preChecksSendNothing()
{
    m_script->answer(groupList, listOf({group(5, {phone(1, "a")})}));
    m_script->answer("/api/tamsu-cloud-phone/v1/group/batch-phone-move", "");
    m_script->answer("/api/tamsu-cloud-phone/v1/group/save", R"({"status":0})");
    const auto info = loggedIn(m_script->url(), demoPhone);
    QVERIFY(info);
    waitInventory(*m_bus, 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_script->count(accessInfo), 1, waitMs);
    const int sent = m_script->requests.size();

    QVERIFY(!info->removeGroup(0));
    QVERIFY(!info->removeGroup(-2));
    QVERIFY(!info->renameGroup(-1, "x"));
    QVERIFY(!info->renameGroup(6, "x"));
    QVERIFY(!info->movePhone(-2, 1));
    QVERIFY(!info->movePhones({1}, 6));
    QVERIFY(!info->renamePhone(2, "x"));
    QCOMPARE(takeSeen(*m_bus), (QStringList{"5:该分组不能删除!", "5:该分组不能删除!", "5:该分组不能重命名!",
                                            "5:未找到分组！", "5:未找到分组！", "5:未找到分组！"}));
    QCOMPARE(m_script->requests.size(), sent);

    // An empty answer is silent, a failure without text still says something; the ids go as "5,7,9".
    QVERIFY(!info->movePhones({5, 7, 9}, 5));
    QVERIFY(!info->createGroup("g"));
    QCOMPARE(takeSeen(*m_bus), QStringList{"5:服务器返回数据异常！"});
    const QUrlQuery body(QString::fromUtf8(m_script->requests[sent].second));
    QCOMPARE(body.queryItemValue("cloudPhoneIds", QUrl::FullyDecoded), QStringLiteral("5,7,9"));
    QCOMPARE(body.queryItemValue("id"), QStringLiteral("5"));
}

void TestInventory::brokenListsKeepInventory_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("httpStatus");
    QTest::newRow("failure status") << QByteArray(R"({"status":401,"msg":"登录已过期"})") << 200;
    QTest::newRow("status as text") << QByteArray(R"({"status":"1","content":[]})") << 200;
    QTest::newRow("content an object") << QByteArray(R"({"status":1,"content":{"id":-1}})") << 200;
    QTest::newRow("no content") << QByteArray(R"({"status":1})") << 200;
    QTest::newRow("not JSON") << QByteArray("<html>") << 200;
    QTest::newRow("empty") << QByteArray() << 200;
    QTest::newRow("server error") << QByteArray(R"({"status":1,"content":[]})") << 500;
}

// Once read, the inventory outlives any broken list after it; no message claims new data.
void TestInventory::brokenListsKeepInventory()
{
    QFETCH(QByteArray, answer);
    QFETCH(int, httpStatus);
    m_script->answer(groupList, listOf({group(-1, {phone(1, "a")}), group(3, {phone(2, "b")})}));
    const auto info = loggedIn(m_script->url(), demoPhone);
    QVERIFY(info);
    waitInventory(*m_bus, 1);
    m_script->answer(groupList, answer, httpStatus);
    info->reload();
    QTRY_COMPARE_WITH_TIMEOUT(m_script->count(groupList), 2, waitMs);
    QTRY_VERIFY_WITH_TIMEOUT(!info->reloadBusy(), waitMs);
    QVERIFY(takeSeen(*m_bus).isEmpty());
    QCOMPARE(info->phoneCount(), 2);
    QCOMPARE(info->ordinaryGroups().size(), 1);
    QCOMPARE(info->specialGroup(-1).phones.size(), 1);
    QCOMPARE(info->ucIdOf("D1"), QStringLiteral("cred-1"));
}

void TestInventory::oddPhoneFields()
{
    QJsonObject asText = phone(10, "as text");
    asText["cloudPhoneId"] = "10";
    asText["billingId"] = " 12 ";
    asText["phoneNo"] = 13800000000.0;
    asText["instanceId"] = "00042";
    asText["status"] = 1.5;
    asText["type"] = 1e12;
    asText["allowRenewal"] = 1;
    QJsonObject noAccess = phone(11, "no access");
    noAccess.remove("accessInfo");
    QJsonObject badUcid = phone(12, "bad ucid");
    badUcid["accessInfo"] = QJsonObject{{"deviceId", "D12"}, {"ucid", "not base64!"}};
    QJsonObject threePieces = phone(13, "three");
    threePieces["accessInfo"] = QJsonObject{{"deviceId", "D13"}, {"ucid", ucid("a#1#2")}};
    QJsonObject bigStamp = phone(14, "big stamp");
    bigStamp["accessInfo"] = QJsonObject{{"deviceId", "D14"},
                                         {"ucid", ucid("c14#4294967296")},
                                         {"authorition", QJsonObject{{"authorizationStrategy", 1}}}};
    QJsonObject longUcid = phone(15, "long");
    longUcid["accessInfo"] = QJsonObject{{"deviceId", "D15"}, {"ucid", ucid(QByteArray(300, 'u') + "#1")}};
    QJsonObject noId = phone(0, "no id");
    noId.remove("cloudPhoneId");
    const QJsonArray groups{"junk", group(4, {asText, noAccess, badUcid, noId, 7, threePieces}),
                            group(-1, {phone(20, "first -1")}), group(-1, {bigStamp, longUcid})};
    m_script->answer(groupList, listOf(groups));
    const auto info = loggedIn(m_script->url(), demoPhone);
    QVERIFY(info);
    waitInventory(*m_bus, 1);

    QCOMPARE(info->phoneCount(), 6);
    QCOMPARE(info->ordinaryGroups().size(), 1);
    phoneRecord p;
    QVERIFY(info->findPhone(10, p));
    QCOMPARE(p.billingId, 12);
    QCOMPARE(p.phoneNo, QStringLiteral("13800000000"));
    QCOMPARE(p.instanceId, QStringLiteral("00042"));
    QCOMPARE(p.status + p.type, 0);
    QVERIFY(p.allowRenewal);
    QCOMPARE(p.deviceUcId, QStringLiteral("cred-10"));
    QCOMPARE(p.deviceUcIdTimestamp, 1700000000u);
    for (const int id : {11, 12, 13, 15}) {
        QVERIFY(info->findPhone(id, p));
        QVERIFY(p.deviceUcId.isEmpty() && p.deviceUcIdTimestamp == 0);
    }
    // The later of two -1 groups wins; a timestamp beyond 32 bits reads as 0.
    QVERIFY(!info->findPhone(20, p));
    QVERIFY(info->findPhone(14, p));
    QCOMPARE(p.deviceUcId, QStringLiteral("c14"));
    QCOMPARE(p.deviceUcIdTimestamp, 0u);
    QVERIFY(!info->mayOperate(14));
    QCOMPARE(info->groupIdOfPhone(14), -1);
}

void TestInventory::accessChecksOncePerNewPhone()
{
    m_script->answer(groupList, listOf({group(1, {phone(1, "a"), phone(2, "b")})}));
    m_script->answer(accessInfo, R"({"status":410,"msg":"云手机已到期"})");
    const auto info = loggedIn(m_script->url(), demoPhone);
    QVERIFY(info);
    waitInventory(*m_bus, 1);
    QTRY_COMPARE_WITH_TIMEOUT(m_script->count(accessInfo), 2, waitMs);
    QTRY_VERIFY_WITH_TIMEOUT(!info->isAccessible(1) && !info->isAccessible(2), waitMs);

    // Phone 3 is new: one check, and while its answer fails locally the phone stays usable.
    m_script->answer(groupList, listOf({group(1, {phone(1, "a"), phone(2, "b"), phone(3, "c")})}));
    m_script->answer(accessInfo, "", 503);
    info->reload();
    QCOMPARE(waitInventory(*m_bus, 1), QStringList{"31"});
    QTRY_COMPARE_WITH_TIMEOUT(m_script->count(accessInfo), 3, waitMs);
    QTRY_VERIFY_WITH_TIMEOUT(!info->reloadBusy(), waitMs);
    QVERIFY(!info->isAccessible(1) && !info->isAccessible(2) && info->isAccessible(3));

    m_script->answer(accessInfo, R"({"status":1})");
    info->reload();
    waitInventory(*m_bus, 1);
    phoneRecord third;
    QTRY_VERIFY_WITH_TIMEOUT(info->findPhone(3, third) && third.accessState == 1, waitMs);
    QCOMPARE(m_script->count(accessInfo), 4);
    QVERIFY(m_script->requests.last().first.endsWith("cloudPhoneId=3"));
    QVERIFY(!info->isAccessible(1));
}

// A reload asked for during a read is neither lost nor repeated: the read goes exactly once more.
void TestInventory::reloadsAskedWhileBusyRunOnce()
{
    m_script->answer(groupList, listOf({}));
    m_script->hold(groupList);
    const auto info = loggedIn(m_script->url(), demoPhone);
    QVERIFY(info);
    QTRY_COMPARE_WITH_TIMEOUT(m_script->count(groupList), 1, waitMs);
    QVERIFY(info->reloadBusy());
    for (int i = 0; i < 3; ++i)
        info->reload();
    m_script->release();
    // An account without phones announces itself as new data every time.
    QCOMPARE(waitInventory(*m_bus, 2), (QStringList{"30", "30"}));
    QTRY_VERIFY_WITH_TIMEOUT(!info->reloadBusy(), waitMs);
    QCOMPARE(m_script->count(groupList), 2);
}

// Fifty phones on two plans cost two downloads, however often they are listed; the provider's plan
// whose icon is missing shows the built-in one.
void TestInventory::billingIcons()
{
    QByteArray png;
    QBuffer buffer(&png);
    QImage red(8, 8, QImage::Format_RGB32);
    red.fill(Qt::red);
    red.save(&buffer, "PNG");
    m_script->answer("/icon/a.png", png);
    m_script->answer("/icon/b.png", png);
    QJsonArray phones;
    for (int i = 1; i <= 50; ++i)
        phones.append(phone(i, "p", 900 + i % 2, m_script->url() + (i % 2 ? "/icon/a.png" : "/icon/b.png")));
    m_script->answer(groupList, listOf({group(1, phones)}));
    const int started = g_billingDownload.downloadsStarted();
    const auto info = loggedIn(m_script->url(), demoPhone);
    QVERIFY(info);
    waitInventory(*m_bus, 1);
    info->reload();
    waitInventory(*m_bus, 1);
    QTRY_VERIFY_WITH_TIMEOUT(g_billingDownload.hasIcon(900) && g_billingDownload.hasIcon(901), waitMs);
    QCOMPARE(g_billingDownload.downloadsStarted() - started, 2);
    QCOMPARE(m_script->count("/icon/a.png") + m_script->count("/icon/b.png"), 2);
    QCOMPARE(g_billingDownload.billingIconFor("D7").toImage().pixel(8, 8), QColor(Qt::red).rgb());

    const auto demo = loggedIn(m_providerUrl, demoPhone);
    QVERIFY(demo);
    waitInventory(*m_bus, 1);
    phoneRecord trial;
    QVERIFY(demo->findPhone(100012, trial));
    QCOMPARE(trial.billingId, 4);
    QTRY_VERIFY_WITH_TIMEOUT(g_billingDownload.hasIcon(4), waitMs);
    const QImage builtin = QImage(BillingDownload::builtinIcon)
                               .scaled(16, 16, Qt::IgnoreAspectRatio, Qt::FastTransformation)
                               .convertToFormat(QImage::Format_ARGB32);
    QVERIFY(!builtin.isNull());
    QCOMPARE(
        g_billingDownload.billingIconFor(trial.deviceId).toImage().convertToFormat(QImage::Format_ARGB32),
        builtin);
}

// Access checks in flight and held by the server while the application goes away, as when the user
// quits right after logging in: every check must end, and nothing of its requests may be left behind
// (the parent runs this under the leak checker). Prints how many checks the server was holding.
int accessCheckShutdownChild(int argc, char *argv[])
{
    int held = 0;
    {
        QCoreApplication app(argc, argv);
        g_configHolder = std::make_shared<ZqConfig>();
        g_config = g_configHolder.get();
        ScriptedServer script;
        QJsonArray phones;
        for (int i = 1; i <= 6; ++i)
            phones.append(phone(i, "p"));
        script.answer(groupList, listOf({group(1, phones)}));
        script.hold(accessInfo);
        g_config->apiBaseUrl = script.url();
        auto info = std::make_unique<userInfo>();
        info->setReloadPauseMs(0);
        if (!info->login(demoPhone, password, false))
            return 2;
        if (!QTest::qWaitFor([&] { return script.count(accessInfo) >= 2; }, waitMs))
            return 3;
        held = script.count(accessInfo);
        info.reset();
    }
    std::printf("%d\n", held);
    return 0;
}

// Rounds in which a reload is asked for on another thread exactly as the running read finishes: in
// every round some read must start after the request (the running one once more, or a new one).
void TestInventory::reloadAskedAsAReadEndsIsKept()
{
    constexpr int rounds = 20000;
    std::vector<ReloadGate> gates(rounds);
    std::atomic<int> round{0}, answered{0}, asked{0}, covered{0};
    auto readAll = [&](ReloadGate &gate) {
        do
            covered.store(asked.load());
        while (gate.finish());
    };
    std::thread requester([&] {
        for (int r = 1; r <= rounds; ++r) {
            while (round.load() < r)
                std::this_thread::yield();
            asked.store(r);
            if (gates[r - 1].request())
                readAll(gates[r - 1]);
            answered.store(r);
        }
    });
    int lost = 0;
    bool idle = true;
    for (int r = 1; r <= rounds; ++r) {
        ReloadGate &gate = gates[r - 1];
        gate.request();
        covered.store(r - 1);
        round.store(r);
        readAll(gate);
        while (answered.load() < r)
            std::this_thread::yield();
        if (covered.load() != r)
            ++lost;
        idle = idle && !gate.busy();
    }
    requester.join();
    QCOMPARE(lost, 0);
    QVERIFY(idle);
}

// The same race with the interleaving forced: the other side runs after the first, second and third
// time a gate step lets go of its lock. Exactly one read must follow, never none and never two.
void TestInventory::reloadGateStepsAreWhole()
{
    using Gate = BasicReloadGate<SteppingMutex>;
    const auto stepWith = [](int at, const std::function<bool()> &step, const std::function<bool()> &other,
                             bool *otherResult) {
        SteppingMutex::countdown = at;
        SteppingMutex::between = [&] { *otherResult = other(); };
        const bool result = step();
        if (SteppingMutex::between) { // the step took fewer lockings: the other side comes after it
            SteppingMutex::between = nullptr;
            *otherResult = other();
        }
        return result;
    };
    for (int at = 1; at <= 3; ++at) {
        // A reload asked for as the running read finishes.
        Gate finishing;
        QVERIFY(finishing.request());
        bool startsNew = false;
        const bool readsAgain = stepWith(
            at, [&] { return finishing.finish(); }, [&] { return finishing.request(); }, &startsNew);
        QVERIFY2(readsAgain != startsNew, qPrintable(QStringLiteral("finish, at %1").arg(at)));
        QVERIFY(finishing.busy());

        // A read that finishes while a reload is being asked for.
        Gate asking;
        QVERIFY(asking.request());
        bool again = false;
        const bool granted = stepWith(
            at, [&] { return asking.request(); }, [&] { return asking.finish(); }, &again);
        QVERIFY2(granted != again, qPrintable(QStringLiteral("request, at %1").arg(at)));
        QVERIFY(asking.busy());
    }
}

int runInventoryTests(int argc, char *argv[])
{
    TestInventory test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_inventory.moc"
