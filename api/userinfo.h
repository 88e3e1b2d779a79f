#pragma once

#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QString>

#include <atomic>
#include <mutex>

class QTimer;

// The user's profile as the login answer gives it ("content"."userDetail").
struct userDetailRecord
{
    int availableness = 0;
    QString avatar;
    QString birthday;
    QString createTime;
    QString createTimeStr;
    int developerStatus = 0;
    int id = 0;
    QString imei;
    QString nickname;
    int passwordStatus = 0;
    QString phone;
    int phoneStatus = 0;
    int platformId = 0;
    int qqStatus = 0;
    int realNameAuthentication = 0;
    QString registerTime;
    QString registerTimeStr;
    int sex = 0;
    int statisticsNo = 0;
    int userId = 0;
    QString username;
    int usernameStatus = 0;
    int wechatStatus = 0;
    int weiboStatus = 0;
};

// The session token and its companions ("content"."userToken").
struct sessionRecord
{
    QString token;
    QString expiredTime;
    int expiresIn = 0;
    int platformId = 0;
    int userId = 0;
};

// The client's model of the provider account: login, session token, profile, SMS codes and password
// reset. The same object will also hold the phone inventory. Every service failure is reported to the
// user here, as one notice (bus message 5), so callers only react to success.
//
// The account calls run on the GUI thread and block in a local event loop (up to 15 s) while other
// GUI events go on. The session is read from pool threads (inventory requests carry the token), so it
// lives behind `m_sessionLock` and is handed out as copies.
class userInfo : public QObject
{
    Q_OBJECT

public:
    static constexpr int reloadIntervalMs = 180000;

    // GUI thread. Takes the API base URL from g_config (the deployment default without one), so the
    // configuration must be loaded first.
    explicit userInfo(QObject *parent = nullptr);
    ~userInfo() override;

    // GUI thread; blocks. Password login, or SMS-code login when `smsMode`. On success stores the
    // session and profile, marks the user logged in and starts an inventory reload. On failure the
    // session keeps its previous values; a service or network failure shows its "msg", an empty answer
    // shows nothing.
    bool login(const QString &account, const QString &secret, bool smsMode);
    // GUI thread; blocks. Asks the service to send an SMS code to `mobile`.
    bool sendVerifyCode(const QString &mobile);
    // GUI thread; blocks. Sets a new password with an SMS code. Empty fields are refused (with a notice)
    // before anything is sent.
    bool resetPassword(const QString &phone, const QString &smsCaptcha, const QString &password);

    // Any thread. True once a login has succeeded in this run; never cleared.
    bool isLoggedIn() const { return m_loggedIn.load(); }
    // Any thread. Copies taken under the session lock.
    userDetailRecord userDetail() const;
    sessionRecord session() const;
    QString token() const;

    // Any thread (fixed at construction). The provider's API base URL that every call is addressed to.
    QString apiBaseUrl() const { return m_apiBaseUrl; }

    // Any thread. Posts a plain message dialog {"type":254,"lbl_1_Text":text} as bus message 5.
    static void showError(const QString &text);

    // GUI thread. Starts an inventory re-read (after login and on every tick of the reload timer); for
    // now it only writes "getUserPhone" and the time to the debug log.
    void reload();

private:
    // GUI thread; blocks. Sends a token-less POST. True when the service answered with "status" 1;
    // `answer` and `text` then hold the answer. A failure is already reported, except an empty answer,
    // which is silent.
    bool postChecked(const QString &path, const QMap<QString, QString> &params, QJsonObject *answer,
                     QString *text);

    const QString m_apiBaseUrl;
    QTimer *m_reloadTimer = nullptr;

    std::atomic<bool> m_loggedIn{false};
    mutable std::mutex m_sessionLock;
    sessionRecord m_session;
    userDetailRecord m_userDetail;
};
