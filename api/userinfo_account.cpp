#include "api/userinfo.h"
#include "api/userinfo_internal.h"
#include "api/zqhttprequest.h"
#include "app/deployment.h"
#include "app/globals.h"
#include "app/messages.h"

#include <QDebug>
#include <QJsonObject>
#include <QTimer>

using userinfoanswer::succeeded;
using userinfoanswer::textOf;
using userinfoanswer::unreadableAnswerText;

namespace {

const QString loginPasswordPath = QStringLiteral("/api/tamsu-phone-user/v1/login/phone");
const QString loginSmsPath = QStringLiteral("/api/tamsu-phone-user/v1/login/smsCaptcha");
const QString sendCodePath = QStringLiteral("/api/public/v1/verify-code/send");
const QString resetPasswordPath =
    QStringLiteral("/api/tamsu-phone-user/v1/password/resetPasswordByPhoneWithSmsCaptcha");

} // namespace

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
