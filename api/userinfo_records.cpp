#include "api/userinfo.h"
#include "api/userinfo_internal.h"
#include "app/zqslotmsg.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <climits>
#include <cmath>

namespace userinfoanswer {

const QString unreadableAnswerText = QStringLiteral("服务器返回数据异常！");

bool succeeded(const QJsonObject &answer)
{
    const QJsonValue status = answer.value(QStringLiteral("status"));
    return status.isDouble() && status.toDouble() == 1.0;
}

QString textOf(const QJsonObject &object, const char *key)
{
    return object.value(QLatin1String(key)).toString();
}

} // namespace userinfoanswer

using userinfoanswer::succeeded;
using userinfoanswer::textOf;

namespace {

// The phone library takes the credential in a 256-byte buffer with its terminating zero; a longer
// one would reach the gateway cut and be refused there.
constexpr int maxUcIdBytes = 255;

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
