#include "api/userinfo.h"

#include "api/zqhttprequest.h"
#include "app/deployment.h"
#include "app/globals.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonObject>
#include <QJsonValue>
#include <QTimer>

namespace {

const QString loginPasswordPath = QStringLiteral("/api/tamsu-phone-user/v1/login/phone");
const QString loginSmsPath = QStringLiteral("/api/tamsu-phone-user/v1/login/smsCaptcha");
const QString sendCodePath = QStringLiteral("/api/public/v1/verify-code/send");
const QString resetPasswordPath =
    QStringLiteral("/api/tamsu-phone-user/v1/password/resetPasswordByPhoneWithSmsCaptcha");

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

userInfo::userInfo(QObject *parent)
    : QObject(parent),
      m_apiBaseUrl(g_config ? g_config->apiBaseUrl : QString::fromLatin1(deployment::apiBaseUrl))
{
    m_reloadTimer = new QTimer(this);
    m_reloadTimer->setInterval(reloadIntervalMs);
    connect(m_reloadTimer, &QTimer::timeout, this, &userInfo::reload);
    m_reloadTimer->start();
}

userInfo::~userInfo() = default;

bool userInfo::postChecked(const QString &path, const QMap<QString, QString> &params, QJsonObject *answer,
                           QString *text)
{
    ZqHttpRequest request;
    *text = request.httpPost(m_apiBaseUrl + path, params);
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

    const QJsonObject content = answer.value(QStringLiteral("content")).toObject();
    const sessionRecord session = readSession(content.value(QStringLiteral("userToken")).toObject());
    // A success without a usable token would leave a session that every later call fails with.
    if (!usableToken(session.token)) {
        showError(unreadableAnswerText);
        return false;
    }
    qDebug().noquote() << "login:" << text;
    const userDetailRecord detail = readUserDetail(content.value(QStringLiteral("userDetail")).toObject());
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

void userInfo::showError(const QString &text)
{
    const QJsonObject dialog{{QStringLiteral("type"), 254}, {QStringLiteral("lbl_1_Text"), text}};
    ZQSlotMsg message;
    message.type = 5;
    message.text = jsonToText(dialog);
    g_eventManager.post(message);
}

void userInfo::reload()
{
    // The inventory read itself comes with the inventory model; until then a reload is only logged.
    qDebug() << "getUserPhone" << QDateTime::currentMSecsSinceEpoch();
}
