#include "api/userinfo.h"

#include "api/reloadgate.h"
#include "api/zqhttprequest.h"
#include "app/deployment.h"
#include "app/globals.h"
#include "app/messages.h"

#include <QDateTime>
#include <QDebug>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QSet>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <climits>
#include <cmath>
#include <deque>
#include <stdexcept>
#include <thread>

namespace {

const QString loginPasswordPath = QStringLiteral("/api/tamsu-phone-user/v1/login/phone");
const QString loginSmsPath = QStringLiteral("/api/tamsu-phone-user/v1/login/smsCaptcha");
const QString sendCodePath = QStringLiteral("/api/public/v1/verify-code/send");
const QString resetPasswordPath =
    QStringLiteral("/api/tamsu-phone-user/v1/password/resetPasswordByPhoneWithSmsCaptcha");
const QString groupListPath = QStringLiteral("/api/tamsu-cloud-phone/v1/phone/group-list");
const QString accessInfoPath =
    QStringLiteral("/api/tamsu-cloud-phone/v1/phone/get-access-info?cloudPhoneId=");
const QString groupSavePath = QStringLiteral("/api/tamsu-cloud-phone/v1/group/save");
const QString groupRemovePath = QStringLiteral("/api/tamsu-cloud-phone/v1/group/remove");
const QString groupRenamePath = QStringLiteral("/api/tamsu-cloud-phone/v1/group/rename");
const QString phoneMovePath = QStringLiteral("/api/tamsu-cloud-phone/v1/group/phone-move");
const QString batchMovePath = QStringLiteral("/api/tamsu-cloud-phone/v1/group/batch-phone-move");
const QString phoneNamePath = QStringLiteral("/api/tamsu-cloud-phone/v1/phone/update-phone-name");
const QString prefixRenamePath = QStringLiteral("/api/tamsu-cloud-phone/v1/phone/prefix-rename");
const QString restartPath = QStringLiteral("/api/tamsu-cloud-phone/v1/phone/restart");
const QString resetPath = QStringLiteral("/api/tamsu-cloud-phone/v1/phone/reset");
const QString generateOrderPath = QStringLiteral("/api/tamsu-cloud-phone/v1/order/generate-change-order");
const QString getOrderPath = QStringLiteral("/api/tamsu-cloud-phone/v1/order/get-change-order");
const QString runningStatusPath =
    QStringLiteral("/api/tamsu-cloud-phone/v1/phone/list-phones-running-status?cloudPhoneIds=");
const QString uploadInfoPath = QStringLiteral("/api/public/v1/storage/get-upload-info?userId=");

const QString groupNotFoundText = QStringLiteral("未找到分组！");

// Access checks of one reload run on at most this many pool workers, so that thousands of new phones
// never fill the pool's queue ahead of everybody else's work.
constexpr int maxAccessCheckers = 2;
// The phone library takes the credential in a 256-byte buffer with its terminating zero; a longer
// one would reach the gateway cut and be refused there.
constexpr int maxUcIdBytes = 255;

// Shown when a failed answer carries no text of its own (not JSON, or no "msg"), so the user never
// gets an empty dialog.
const QString unreadableAnswerText = QStringLiteral("服务器返回数据异常！");

bool succeeded(const QJsonObject &answer)
{
    const QJsonValue status = answer.value(QStringLiteral("status"));
    return status.isDouble() && status.toDouble() == 1.0;
}

int intOf(const QJsonObject &object, const char *key)
{
    return object.value(QLatin1String(key)).toInt();
}

// Inventory numbers: a JSON number or its decimal text. Fractions, values beyond 32 bits and anything
// else read as 0, never as a truncated or wrapped value.
int numberOf(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isDouble()) {
        const double d = value.toDouble();
        return d >= INT_MIN && d <= INT_MAX && d == std::floor(d) ? static_cast<int>(d) : 0;
    }
    if (value.isString()) {
        bool ok = false;
        const int n = value.toString().trimmed().toInt(&ok, 10);
        return ok ? n : 0;
    }
    return 0;
}

// Numbers kept as their decimal text ("phoneNo", "instanceId"), which may exceed 32 bits.
QString numberTextOf(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isString())
        return value.toString().trimmed();
    if (!value.isDouble())
        return QString();
    const double d = value.toDouble();
    if (d == std::floor(d) && std::fabs(d) < 9.0e18)
        return QString::number(static_cast<qint64>(d));
    return QString::number(d, 'g', 17);
}

// Text fields; a number given instead reads as its decimal text.
QString stringOf(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isDouble() ? numberTextOf(object, key) : value.toString();
}

bool flagOf(const QJsonObject &object, const char *key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isDouble() ? value.toDouble() != 0.0 : value.toBool();
}

// The timestamp piece of a ucid: plain decimal digits within 32 bits, else 0.
std::uint32_t timestampOf(const QByteArray &text)
{
    if (text.isEmpty() || text.size() > 10)
        return 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return 0;
    }
    const qulonglong value = text.toULongLong();
    return value <= 0xffffffffULL ? static_cast<std::uint32_t>(value) : 0;
}

QString textOf(const QJsonObject &object, const char *key)
{
    return object.value(QLatin1String(key)).toString();
}

userDetailRecord readUserDetail(const QJsonObject &o)
{
    userDetailRecord d;
    d.availableness = intOf(o, "availableness");
    d.avatar = textOf(o, "avatar");
    d.birthday = textOf(o, "birthday");
    d.createTime = textOf(o, "createTime");
    d.createTimeStr = textOf(o, "createTimeStr");
    d.developerStatus = intOf(o, "developerStatus");
    d.id = intOf(o, "id");
    d.imei = textOf(o, "imei");
    d.nickname = textOf(o, "nickname");
    d.passwordStatus = intOf(o, "passwordStatus");
    d.phone = textOf(o, "phone");
    d.phoneStatus = intOf(o, "phoneStatus");
    d.platformId = intOf(o, "platformId");
    d.qqStatus = intOf(o, "qqStatus");
    d.realNameAuthentication = intOf(o, "realNameAuthentication");
    d.registerTime = textOf(o, "registerTime");
    d.registerTimeStr = textOf(o, "registerTimeStr");
    d.sex = intOf(o, "sex");
    d.statisticsNo = intOf(o, "statisticsNo");
    d.userId = intOf(o, "userId");
    d.username = textOf(o, "username");
    d.usernameStatus = intOf(o, "usernameStatus");
    d.wechatStatus = intOf(o, "wechatStatus");
    d.weiboStatus = intOf(o, "weiboStatus");
    return d;
}

sessionRecord readSession(const QJsonObject &o)
{
    sessionRecord s;
    s.expiredTime = textOf(o, "expiredTime");
    s.expiresIn = intOf(o, "expiresIn");
    s.platformId = intOf(o, "platformId");
    s.token = textOf(o, "token");
    s.userId = intOf(o, "userId");
    return s;
}

// One entry of a "phoneList". False (nothing to list) for an entry that is not an object or has no
// usable cloudPhoneId: every service call and the phone map are keyed by it, so such phones would
// collide with each other.
bool readPhone(const QJsonObject &o, int groupId, const ZqConfig &cipher, phoneRecord *out)
{
    phoneRecord p;
    p.cloudPhoneId = numberOf(o, "cloudPhoneId");
    p.name = stringOf(o, "name");
    if (p.cloudPhoneId <= 0) {
        qDebug() << "phone without cloudPhoneId," << p.name;
        return false;
    }
    const QJsonObject access = o.value(QStringLiteral("accessInfo")).toObject();
    p.deviceId = stringOf(access, "deviceId");
    const QList<QByteArray> pieces = cipher.decryptSplit(access.value(QStringLiteral("ucid")).toString());
    if (pieces.size() == 2 && !pieces[0].isEmpty() && pieces[0].size() <= maxUcIdBytes) {
        p.deviceUcId = QString::fromUtf8(pieces[0]);
        p.deviceUcIdTimestamp = timestampOf(pieces[1]);
    } else {
        qDebug() << "phone ucid error," << p.name;
    }
    const QJsonObject grant = access.value(QStringLiteral("authorition")).toObject();
    if (!grant.isEmpty()) {
        p.authorizationBehavior = numberOf(grant, "authorizationBehavior");
        p.authorizationInfoId = numberOf(grant, "authorizationInfoId");
        p.authorizationPhoneStatus = numberOf(grant, "authorizationPhoneStatus");
        p.authorizationStrategy = numberOf(grant, "authorizationStrategy");
        p.authorizationType = numberOf(grant, "authorizationType");
    }
    p.allowRenewal = flagOf(o, "allowRenewal");
    p.billingId = numberOf(o, "billingId");
    p.billingIcon = stringOf(o, "billingIcon");
    p.endTime = stringOf(o, "endTime");
    p.id = numberOf(o, "id");
    p.instanceId = numberTextOf(o, "instanceId");
    p.maintenanceStatus = numberOf(o, "maintenanceStatus");
    p.phoneImageId = numberOf(o, "phoneImageId");
    p.phoneNo = numberTextOf(o, "phoneNo");
    p.phoneStatus = numberOf(o, "phoneStatus");
    p.remainTimeStr = stringOf(o, "remainTimeStr");
    p.serverId = stringOf(o, "serverId");
    p.source = numberOf(o, "source");
    p.status = numberOf(o, "status");
    p.type = numberOf(o, "type");
    p.groupId = groupId;
    p.accessState = -1;
    *out = p;
    return true;
}

// The token goes out verbatim as a header value: control characters (a line break above all) would
// corrupt or split the request.
bool usableToken(const QString &token)
{
    if (token.isEmpty())
        return false;
    for (const QChar c : token) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return false;
    }
    return true;
}

} // namespace

// Everything the pool tasks touch. They hold it by shared pointer, never the userInfo itself.
struct userInfo::Inventory : std::enable_shared_from_this<userInfo::Inventory>
{
    Inventory(const QString &baseUrl, const ZqConfig &config) : apiBaseUrl(baseUrl), cipher(config) {}

    // Pool thread: reads the group list, pauses, and reads again while reloads were asked for meanwhile.
    void read();
    // Pool thread. One read; false when the service gave no usable list (the inventory stays as it
    // was). Takes the group lock, then the phone lock (never both at once), each only to swap prepared
    // data in.
    bool readOnce(const QString &token);
    // Pool thread. Queues one access check for each id not queued yet and starts checkers as needed.
    // Takes the check lock.
    void queueAccessChecks(const QList<int> &ids);
    // Pool thread: works through the queued access checks. Takes the check lock and the phone lock,
    // never during the request.
    void runAccessChecks();
    // Pool thread (a checker). Takes the phone lock before and after the request, not during it.
    void checkAccess(int cloudPhoneId, const QString &token);

    const QString apiBaseUrl;
    const ZqConfig cipher; // only its key is used, for decryptSplit

    std::atomic<bool> closed{false}; // the userInfo is gone: no further reads or checks
    ReloadGate gate;                 // open again only after a read and its pause
    std::atomic<int> pauseMs{1000};

    mutable std::mutex groupLock; // guards the three group lists and the timings
    QList<groupRecord> ordinary;
    groupRecord specialGranted; // id -1
    groupRecord specialOther;   // id -2
    reloadTimings timings;

    mutable std::mutex phoneLock; // guards phoneMap
    QHash<int, phoneRecord> phoneMap;

    std::mutex checkLock; // guards the four below
    std::deque<int> pendingChecks;
    QSet<int> queuedChecks; // pending or being checked
    QString token;          // the session token of the latest reload request
    int checkers = 0;
};

void userInfo::Inventory::read()
{
    do {
        if (closed.load()) {
            gate.abandon();
            return;
        }
        QString currentToken;
        {
            std::lock_guard<std::mutex> locker(checkLock);
            currentToken = token;
        }
        if (readOnce(currentToken))
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs.load()));
    } while (gate.finish());
}

bool userInfo::parseGroupList(const QString &text, const ZqConfig &cipher, QList<groupRecord> *groups)
{
    const QJsonObject answer = textToJson(text);
    if (!succeeded(answer))
        return false;
    // Anything but a list here is a broken answer, not an account without phones.
    const QJsonValue content = answer.value(QStringLiteral("content"));
    if (!content.isArray()) {
        qDebug() << "group-list without a content array";
        return false;
    }
    const QJsonArray list = content.toArray();
    qDebug().noquote() << "content\n--------------------------------\n"
                       << QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact)) << "\n\n\n\n";
    groups->clear();
    for (const QJsonValue &groupValue : list) {
        if (!groupValue.isObject())
            continue;
        const QJsonObject groupObject = groupValue.toObject();
        groupRecord group;
        group.id = numberOf(groupObject, "id");
        group.name = stringOf(groupObject, "name");
        group.order = numberOf(groupObject, "order");
        const QJsonArray phones = groupObject.value(QStringLiteral("phoneList")).toArray();
        group.phones.reserve(phones.size());
        for (const QJsonValue &phoneValue : phones) {
            phoneRecord phone;
            if (readPhone(phoneValue.toObject(), group.id, cipher, &phone))
                group.phones.append(phone);
        }
        groups->append(group);
    }
    return true;
}

bool userInfo::parseLogin(const QJsonObject &answer, sessionRecord *session, userDetailRecord *detail)
{
    const QJsonObject content = answer.value(QStringLiteral("content")).toObject();
    *session = readSession(content.value(QStringLiteral("userToken")).toObject());
    // A success without a usable token would leave a session that every later call fails with.
    if (!usableToken(session->token))
        return false;
    *detail = readUserDetail(content.value(QStringLiteral("userDetail")).toObject());
    return true;
}

bool userInfo::Inventory::readOnce(const QString &token)
{
    QElapsedTimer clock;
    clock.start();
    reloadTimings spent;
    const QString text = ZqHttpRequest().httpGet(apiBaseUrl + groupListPath, token);
    if (text.isEmpty())
        return false;
    QList<groupRecord> listed;
    if (!parseGroupList(text, cipher, &listed))
        return false;
    spent.requestMs = clock.restart();
    // Of two groups -1 (or -2) the later one is kept, and the phone map holds exactly the phones of the
    // kept groups (a later listing of the same phone wins).
    int grantedAt = -1;
    int otherAt = -1;
    for (int i = 0; i < listed.size(); ++i) {
        for (const phoneRecord &phone : qAsConst(listed[i].phones))
            requestBillingIcon(phone.billingId, phone.deviceId, phone.billingIcon);
        if (listed[i].id == -1)
            grantedAt = i;
        else if (listed[i].id == -2)
            otherAt = i;
    }
    QList<groupRecord> newOrdinary;
    groupRecord newGranted;
    groupRecord newOther;
    QHash<int, phoneRecord> newMap;
    for (int i = 0; i < listed.size(); ++i) {
        const groupRecord &group = listed[i];
        if ((group.id == -1 && i != grantedAt) || (group.id == -2 && i != otherAt))
            continue;
        for (const phoneRecord &phone : group.phones)
            newMap.insert(phone.cloudPhoneId, phone);
        if (group.id == -1)
            newGranted = group;
        else if (group.id == -2)
            newOther = group;
        else
            newOrdinary.append(group);
    }
    spent.parseMs = clock.restart();
    spent.phones = newMap.size();

    // Swapped in whole, so readers see the old inventory or the new one, never an empty or partial one.
    {
        std::lock_guard<std::mutex> locker(groupLock);
        ordinary.swap(newOrdinary);
        std::swap(specialGranted, newGranted);
        std::swap(specialOther, newOther);
    }
    bool hadPhones = false;
    QList<int> unknown;
    {
        std::lock_guard<std::mutex> locker(phoneLock);
        hadPhones = !phoneMap.isEmpty();
        for (auto it = newMap.begin(); it != newMap.end(); ++it) {
            const auto old = phoneMap.constFind(it.key());
            if (old != phoneMap.constEnd())
                it->accessState = old->accessState;
            if (it->accessState == -1)
                unknown.append(it.key());
        }
        phoneMap.swap(newMap);
    }
    queueAccessChecks(unknown);
    spent.mergeMs = clock.elapsed();
    {
        std::lock_guard<std::mutex> locker(groupLock);
        timings = spent;
    }

    post(hadPhones ? Msg::inventoryReloaded : Msg::rebuildTree);
    return true;
}

void userInfo::Inventory::queueAccessChecks(const QList<int> &ids)
{
    int start = 0;
    {
        std::lock_guard<std::mutex> locker(checkLock);
        for (const int id : ids) {
            if (queuedChecks.contains(id))
                continue;
            queuedChecks.insert(id);
            pendingChecks.push_back(id);
        }
        while (checkers < maxAccessCheckers && static_cast<size_t>(checkers) < pendingChecks.size()) {
            ++checkers;
            ++start;
        }
    }
    const std::shared_ptr<Inventory> self = shared_from_this();
    for (int i = 0; i < start; ++i) {
        try {
            g_threadPool.commit([self] { self->runAccessChecks(); });
        } catch (const std::runtime_error &) {
            // Shutting down: nobody will look at the answers.
            std::lock_guard<std::mutex> locker(checkLock);
            --checkers;
        }
    }
}

void userInfo::Inventory::runAccessChecks()
{
    int done = 0;
    bool haveDone = false;
    for (;;) {
        int id = 0;
        QString currentToken;
        {
            std::lock_guard<std::mutex> locker(checkLock);
            if (haveDone)
                queuedChecks.remove(done);
            if (closed.load()) {
                pendingChecks.clear();
                queuedChecks.clear();
            }
            if (pendingChecks.empty()) {
                --checkers;
                return;
            }
            id = pendingChecks.front();
            pendingChecks.pop_front();
            currentToken = token;
        }
        checkAccess(id, currentToken);
        done = id;
        haveDone = true;
    }
}

void userInfo::Inventory::checkAccess(int cloudPhoneId, const QString &token)
{
    {
        std::lock_guard<std::mutex> locker(phoneLock);
        if (!phoneMap.contains(cloudPhoneId))
            return;
    }
    const QString text =
        ZqHttpRequest().httpGet(apiBaseUrl + accessInfoPath + QString::number(cloudPhoneId), token);
    if (text.isEmpty())
        return;
    // Only the service's own answer decides. A local failure (the request layer's negative statuses)
    // or an unreadable answer says nothing about the phone: it stays unknown, and so usable, and is
    // checked again on the next reload.
    const QJsonValue status = textToJson(text).value(QStringLiteral("status"));
    if (!status.isDouble() || status.toDouble() < 0)
        return;
    const int state = status.toDouble() == 1.0 ? 1 : 0;
    std::lock_guard<std::mutex> locker(phoneLock);
    const auto it = phoneMap.find(cloudPhoneId);
    if (it != phoneMap.end())
        it->accessState = state;
}

userInfo::userInfo(QObject *parent)
    : QObject(parent),
      m_apiBaseUrl(g_config ? g_config->apiBaseUrl : QString::fromLatin1(deployment::apiBaseUrl)),
      m_inventory(std::make_shared<Inventory>(m_apiBaseUrl, g_config ? *g_config : ZqConfig()))
{
    m_reloadTimer = new QTimer(this);
    m_reloadTimer->setInterval(reloadIntervalMs);
    connect(m_reloadTimer, &QTimer::timeout, this, &userInfo::reload);
    m_reloadTimer->start();
}

userInfo::~userInfo()
{
    m_inventory->closed.store(true);
}

bool userInfo::postChecked(const QString &path, const QMap<QString, QString> &params, QJsonObject *answer,
                           QString *text, bool withToken)
{
    ZqHttpRequest request;
    *text = request.httpPost(m_apiBaseUrl + path, params, withToken ? token() : QString());
    if (text->isEmpty())
        return false;
    *answer = textToJson(*text);
    if (!succeeded(*answer)) {
        const QString msg = textOf(*answer, "msg");
        showError(msg.isEmpty() ? unreadableAnswerText : msg);
        return false;
    }
    return true;
}

bool userInfo::login(const QString &account, const QString &secret, bool smsMode)
{
    QMap<QString, QString> params;
    params.insert(QStringLiteral("phone"), account);
    params.insert(smsMode ? QStringLiteral("smsCaptcha") : QStringLiteral("password"), secret);
    QJsonObject answer;
    QString text;
    if (!postChecked(smsMode ? loginSmsPath : loginPasswordPath, params, &answer, &text))
        return false;

    sessionRecord session;
    userDetailRecord detail;
    if (!parseLogin(answer, &session, &detail)) {
        showError(unreadableAnswerText);
        return false;
    }
    qDebug().noquote() << "login:" << text;
    {
        std::lock_guard<std::mutex> locker(m_sessionLock);
        m_session = session;
        m_userDetail = detail;
    }
    m_loggedIn.store(true);
    reload();
    return true;
}

bool userInfo::sendVerifyCode(const QString &mobile)
{
    QMap<QString, QString> params;
    params.insert(QStringLiteral("mobile"), mobile);
    params.insert(QStringLiteral("identityType"), QStringLiteral("tamsu_cloud_phone"));
    params.insert(QStringLiteral("productCode"), QStringLiteral("tamsu_cloud_phone"));
    QJsonObject answer;
    QString text;
    return postChecked(sendCodePath, params, &answer, &text);
}

bool userInfo::resetPassword(const QString &phone, const QString &smsCaptcha, const QString &password)
{
    if (phone.isEmpty()) {
        showError(QStringLiteral("手机号码不能为空!"));
        return false;
    }
    if (smsCaptcha.isEmpty()) {
        showError(QStringLiteral("验证码不能为空!"));
        return false;
    }
    if (password.isEmpty()) {
        showError(QStringLiteral("密码不能为空!"));
        return false;
    }
    QMap<QString, QString> params;
    params.insert(QStringLiteral("phone"), phone);
    params.insert(QStringLiteral("password"), password);
    params.insert(QStringLiteral("smsCaptcha"), smsCaptcha);
    QJsonObject answer;
    QString text;
    return postChecked(resetPasswordPath, params, &answer, &text);
}

userDetailRecord userInfo::userDetail() const
{
    std::lock_guard<std::mutex> locker(m_sessionLock);
    return m_userDetail;
}

sessionRecord userInfo::session() const
{
    std::lock_guard<std::mutex> locker(m_sessionLock);
    return m_session;
}

QString userInfo::token() const
{
    std::lock_guard<std::mutex> locker(m_sessionLock);
    return m_session.token;
}

namespace {

// A function-local static: the program's root installs the hook while the process-wide objects are
// built, in an order this file does not control.
struct BillingIconHook
{
    std::mutex lock;
    userInfo::BillingIconRequest request;
};

BillingIconHook &billingIconHook()
{
    static BillingIconHook hook;
    return hook;
}

} // namespace

void userInfo::setBillingIconRequest(BillingIconRequest request)
{
    BillingIconHook &hook = billingIconHook();
    std::lock_guard<std::mutex> locker(hook.lock);
    hook.request = std::move(request);
}

void userInfo::requestBillingIcon(int billingId, const QString &deviceId, const QString &address)
{
    BillingIconRequest request;
    {
        BillingIconHook &hook = billingIconHook();
        std::lock_guard<std::mutex> locker(hook.lock);
        request = hook.request;
    }
    if (request)
        request(billingId, deviceId, address);
}

void userInfo::showError(const QString &text)
{
    postNotice(text);
}

void userInfo::reload()
{
    const QString current = token();
    // Before login the periodic timer has nothing to read: the list needs a session.
    if (current.isEmpty())
        return;
    {
        std::lock_guard<std::mutex> locker(m_inventory->checkLock);
        m_inventory->token = current;
    }
    if (!m_inventory->gate.request())
        return;
    qDebug() << "getUserPhone" << QDateTime::currentMSecsSinceEpoch();
    const std::shared_ptr<Inventory> inventory = m_inventory;
    try {
        g_threadPool.commit([inventory] { inventory->read(); });
    } catch (const std::runtime_error &) {
        // The pool is shutting down with the program.
        inventory->gate.abandon();
    }
}

bool userInfo::reloadBusy() const
{
    return m_inventory->gate.busy();
}

void userInfo::setReloadPauseMs(int ms)
{
    m_inventory->pauseMs.store(ms);
}

userInfo::reloadTimings userInfo::lastReloadTimings() const
{
    std::lock_guard<std::mutex> locker(m_inventory->groupLock);
    return m_inventory->timings;
}

QList<groupRecord> userInfo::ordinaryGroups() const
{
    std::lock_guard<std::mutex> locker(m_inventory->groupLock);
    return m_inventory->ordinary;
}

groupRecord userInfo::specialGroup(int id) const
{
    std::lock_guard<std::mutex> locker(m_inventory->groupLock);
    if (id == -1)
        return m_inventory->specialGranted;
    if (id == -2)
        return m_inventory->specialOther;
    return groupRecord();
}

bool userInfo::findPhone(int cloudPhoneId, phoneRecord &out) const
{
    std::lock_guard<std::mutex> locker(m_inventory->phoneLock);
    const auto it = m_inventory->phoneMap.constFind(cloudPhoneId);
    if (it == m_inventory->phoneMap.constEnd())
        return false;
    out = *it;
    return true;
}

bool userInfo::findPhoneByDeviceId(const QString &deviceId, phoneRecord &out) const
{
    std::lock_guard<std::mutex> locker(m_inventory->phoneLock);
    for (const phoneRecord &phone : qAsConst(m_inventory->phoneMap)) {
        if (phone.deviceId == deviceId) {
            out = phone;
            return true;
        }
    }
    return false;
}

int userInfo::groupIdOfPhone(int cloudPhoneId) const
{
    std::lock_guard<std::mutex> locker(m_inventory->groupLock);
    for (const groupRecord &group : qAsConst(m_inventory->ordinary)) {
        for (const phoneRecord &phone : group.phones) {
            if (phone.cloudPhoneId == cloudPhoneId)
                return group.id;
        }
    }
    return -1;
}

QString userInfo::ucIdOf(const QString &deviceId) const
{
    std::lock_guard<std::mutex> locker(m_inventory->groupLock);
    const auto find = [&deviceId](const groupRecord &group, QString *found) {
        for (const phoneRecord &phone : group.phones) {
            if (phone.deviceId == deviceId) {
                *found = phone.deviceUcId;
                return true;
            }
        }
        return false;
    };
    QString found;
    for (const groupRecord &group : qAsConst(m_inventory->ordinary)) {
        if (find(group, &found))
            return found;
    }
    // The ungrouped phones (-2) are the account's own as much as the grouped ones.
    if (find(m_inventory->specialGranted, &found) || find(m_inventory->specialOther, &found))
        return found;
    return QString();
}

bool userInfo::mayOperate(int cloudPhoneId) const
{
    std::lock_guard<std::mutex> locker(m_inventory->groupLock);
    for (const phoneRecord &phone : m_inventory->specialGranted.phones) {
        if (phone.cloudPhoneId == cloudPhoneId && phone.authorizationStrategy == 1)
            return false;
    }
    return true;
}

bool userInfo::isAccessible(int cloudPhoneId) const
{
    std::lock_guard<std::mutex> locker(m_inventory->phoneLock);
    const auto it = m_inventory->phoneMap.constFind(cloudPhoneId);
    return it != m_inventory->phoneMap.constEnd() && it->accessState != 0;
}

int userInfo::phoneCount() const
{
    std::lock_guard<std::mutex> locker(m_inventory->phoneLock);
    return m_inventory->phoneMap.size();
}

QString userInfo::joinIds(const QList<int> &cloudPhoneIds)
{
    QStringList parts;
    parts.reserve(cloudPhoneIds.size());
    for (const int id : cloudPhoneIds)
        parts.append(QString::number(id));
    return parts.join(QLatin1Char(','));
}

bool userInfo::postWithToken(const QString &path, const QMap<QString, QString> &params)
{
    QJsonObject answer;
    QString text;
    return postChecked(path, params, &answer, &text, true);
}

QJsonValue userInfo::getContent(const QString &pathAndQuery) const
{
    const QJsonObject answer = textToJson(ZqHttpRequest().httpGet(m_apiBaseUrl + pathAndQuery, token()));
    return succeeded(answer) ? answer.value(QStringLiteral("content")) : QJsonValue();
}

bool userInfo::createGroup(const QString &name)
{
    if (!postWithToken(groupSavePath, {{QStringLiteral("name"), name}}))
        return false;
    reload();
    return true;
}

bool userInfo::removeGroup(int groupId)
{
    if (groupId <= 0) {
        showError(QStringLiteral("该分组不能删除!"));
        return false;
    }
    if (!postWithToken(groupRemovePath, {{QStringLiteral("id"), QString::number(groupId)}}))
        return false;
    reload();
    return true;
}

bool userInfo::renameGroup(int groupId, const QString &name)
{
    if (groupId <= 0) {
        showError(QStringLiteral("该分组不能重命名!"));
        return false;
    }
    if (!hasOrdinaryGroup(groupId)) {
        showError(groupNotFoundText);
        return false;
    }
    if (!postWithToken(groupRenamePath,
                       {{QStringLiteral("id"), QString::number(groupId)}, {QStringLiteral("name"), name}}))
        return false;
    reload();
    return true;
}

bool userInfo::movePhone(int groupId, int cloudPhoneId)
{
    if (!hasOrdinaryGroup(groupId)) {
        showError(groupNotFoundText);
        return false;
    }
    if (!postWithToken(phoneMovePath, {{QStringLiteral("id"), QString::number(groupId)},
                                       {QStringLiteral("cloudPhoneId"), QString::number(cloudPhoneId)}}))
        return false;
    reload();
    return true;
}

bool userInfo::movePhones(const QList<int> &cloudPhoneIds, int groupId)
{
    if (!hasOrdinaryGroup(groupId)) {
        showError(groupNotFoundText);
        return false;
    }
    if (!postWithToken(batchMovePath, {{QStringLiteral("id"), QString::number(groupId)},
                                       {QStringLiteral("cloudPhoneIds"), joinIds(cloudPhoneIds)}}))
        return false;
    reload();
    return true;
}

bool userInfo::renamePhone(int cloudPhoneId, const QString &name)
{
    phoneRecord phone;
    if (!findPhone(cloudPhoneId, phone))
        return false;
    if (!postWithToken(phoneNamePath,
                       {{QStringLiteral("id"), QString::number(phone.id)}, {QStringLiteral("name"), name}}))
        return false;
    reload();
    return true;
}

bool userInfo::prefixRename(const QString &cloudPhoneIds, const QString &prefix)
{
    return postWithToken(prefixRenamePath, {{QStringLiteral("cloudPhoneIds"), cloudPhoneIds},
                                            {QStringLiteral("prefix"), prefix}});
}

bool userInfo::restartPhones(const QString &cloudPhoneIds, const QString &type)
{
    return postWithToken(restartPath,
                         {{QStringLiteral("cloudPhoneIds"), cloudPhoneIds}, {QStringLiteral("type"), type}});
}

bool userInfo::resetPhones(const QString &cloudPhoneIds, const QString &type)
{
    return postWithToken(resetPath,
                         {{QStringLiteral("cloudPhoneIds"), cloudPhoneIds}, {QStringLiteral("type"), type}});
}

bool userInfo::generateChangeOrder(const QString &billingId, const QString &payChannel, int cloudPhoneId)
{
    QJsonObject answer;
    QString text;
    const bool done = postChecked(generateOrderPath,
                                  {{QStringLiteral("billingId"), billingId},
                                   {QStringLiteral("payChannel"), payChannel},
                                   {QStringLiteral("cloudPhoneId"), QString::number(cloudPhoneId)}},
                                  &answer, &text, true);
    qDebug().noquote() << "userInfo::generateChangeOrder" << text;
    return done;
}

bool userInfo::getChangeOrder(const QString &billingId, const QString &payChannel, int cloudPhoneId)
{
    return postWithToken(getOrderPath, {{QStringLiteral("billingId"), billingId},
                                        {QStringLiteral("payChannel"), payChannel},
                                        {QStringLiteral("cloudPhoneId"), QString::number(cloudPhoneId)}});
}

void userInfo::exchangePhone(const std::shared_ptr<userInfo> &self, int billingId, int cloudPhoneId)
{
    const QString billing = QString::number(billingId);
    try {
        // Pool worker: blocks on the two service calls; takes no lock of its own.
        g_threadPool.commit([self, billing, cloudPhoneId] {
            const QString channel = QStringLiteral("wechat");
            const bool exchanged = self->generateChangeOrder(billing, channel, cloudPhoneId) &&
                                   self->getChangeOrder(billing, channel, cloudPhoneId);
            showError(exchanged ? QStringLiteral("设备更换成功") : QStringLiteral("设备更换失败"));
            if (exchanged)
                self->reload();
        });
    } catch (const std::runtime_error &) {
        // The pool is shutting down with the program.
    }
}

QJsonArray userInfo::runningStatus(const QString &cloudPhoneIds, const QString &type)
{
    // The lists are the callers' text: escaped so that nothing in them can add or end a query item.
    return getContent(runningStatusPath + QString::fromLatin1(QUrl::toPercentEncoding(cloudPhoneIds, ",")) +
                      QStringLiteral("&type=") + QString::fromLatin1(QUrl::toPercentEncoding(type)))
        .toArray();
}

QJsonObject userInfo::uploadInfo()
{
    return getContent(uploadInfoPath + QString::number(userDetail().userId) +
                      QStringLiteral("&platformId=8&productId=40&statisticsNo=3148&terminal=web"))
        .toObject();
}

bool userInfo::hasOrdinaryGroup(int groupId) const
{
    std::lock_guard<std::mutex> locker(m_inventory->groupLock);
    for (const groupRecord &group : qAsConst(m_inventory->ordinary)) {
        if (group.id == groupId)
            return true;
    }
    return false;
}
