#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

class QTimer;
class ZqConfig;

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

// One phone of a group's "phoneList".
struct phoneRecord
{
    QString deviceId;                      // "accessInfo"."deviceId": the phone's id at the phone SDK
    QString deviceUcId;                    // first piece of the decrypted "accessInfo"."ucid"
    std::uint32_t deviceUcIdTimestamp = 0; // second piece, decimal; 0 when it does not parse
    bool allowRenewal = false;
    int authorizationBehavior = 0;
    int authorizationInfoId = 0;
    int authorizationPhoneStatus = 0;
    int authorizationStrategy = 0;
    int authorizationType = 0;
    int billingId = 0;
    QString billingIcon;
    int cloudPhoneId = 0; // the phone's key in every service call
    QString endTime;      // "yyyy-MM-dd HH:mm:ss"
    int id = 0;           // record id, used only to rename the phone
    QString instanceId;   // decimal text
    int maintenanceStatus = 0;
    QString name;
    int phoneImageId = 0;
    QString phoneNo; // decimal text
    int phoneStatus = 0;
    QString remainTimeStr;
    QString serverId;
    int source = 0;
    int status = 0;
    int type = 0;
    int groupId = 0;      // id of the group whose list holds the phone
    int accessState = -1; // -1 unknown, 1 accessible, 0 not accessible
};

// One entry of the group list; `phones` in service order.
struct groupRecord
{
    int id = 0;
    QString name;
    int order = 0;
    QList<phoneRecord> phones;
};

// The client's model of the provider account: login, session token, profile, SMS codes and password
// reset, and the phone inventory with the calls that change it. Every service failure is reported to the
// user here, as one notice (Msg::showDialog), so callers only react to success.
//
// The account calls run on the GUI thread and block in a local event loop (up to 15 s) while other
// GUI events go on. The session is read from pool threads (inventory requests carry the token), so it
// lives behind `m_sessionLock` and is handed out as copies. The inventory is read and access-checked
// on pool threads into a shared object that outlives this one while such tasks run; its group lists
// and its phone map have a lock each, never held together nor across a request.
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

    // Any thread. Posts a plain message dialog {"type":254,"lbl_1_Text":text} as Msg::showDialog.
    static void showError(const QString &text);

    // Asks for a billing plan's icon (reload thread, once per phone read); the program's root installs
    // it. Without one, icons are not fetched.
    using BillingIconRequest =
        std::function<void(int billingId, const QString &deviceId, const QString &address)>;
    // Any thread; takes the hook's lock.
    static void setBillingIconRequest(BillingIconRequest request);

    // Any thread. Starts an inventory re-read on the worker pool and returns. While a read runs (and for
    // the pause after it) no second one starts; the running one reads once more after its pause instead,
    // so a change made meanwhile still shows. Posts Msg::rebuildTree (the account had no phones before) or
    // Msg::inventoryReloaded once the new inventory is in place. A failed read keeps the previous inventory.
    void reload();
    // Any thread. True from the start of a read until the pause after it has passed.
    bool reloadBusy() const;
    // Any thread. The pause after each read (default 1000 ms); tests shorten it.
    void setReloadPauseMs(int ms);

    // What the last successful read cost, in milliseconds.
    struct reloadTimings
    {
        qint64 requestMs = 0; // the group-list request and its JSON parse
        qint64 parseMs = 0;   // records, ucid decryption and billing icon requests
        qint64 mergeMs = 0;   // swapping the lists in and merging the access states
        int phones = 0;
    };
    // Any thread.
    reloadTimings lastReloadTimings() const;

    // Inventory queries: any thread, copies taken under the inventory locks, no service call.
    // Groups other than the two special ones (-1, -2), in service order.
    QList<groupRecord> ordinaryGroups() const;
    // The special group -1 or -2 (an empty record, id 0, when the service listed none).
    groupRecord specialGroup(int id) const;
    bool findPhone(int cloudPhoneId, phoneRecord &out) const;
    // `deviceId` compared case-sensitively.
    bool findPhoneByDeviceId(const QString &deviceId, phoneRecord &out) const;
    // The ordinary group holding the phone, or -1.
    int groupIdOfPhone(int cloudPhoneId) const;
    // The phone's access credential, from the ordinary groups, then the special groups -1 and -2;
    // empty if unknown.
    QString ucIdOf(const QString &deviceId) const;
    // False exactly when special group -1 holds the phone with authorizationStrategy 1.
    bool mayOperate(int cloudPhoneId) const;
    // True when the phone is known and its access state is not 0 (unknown counts as accessible).
    bool isAccessible(int cloudPhoneId) const;
    // Every phone of every group, keyed by cloudPhoneId.
    int phoneCount() const;

    // Service calls: GUI thread or a pool task; each blocks for up to 15 s. A failure answer is shown
    // (Msg::showDialog) with its "msg", an empty answer is silent; the pre-check texts are shown likewise.
    // The group and phone-name changes reload the inventory on success.
    bool createGroup(const QString &name);
    bool removeGroup(int groupId);
    bool renameGroup(int groupId, const QString &name);
    bool movePhone(int groupId, int cloudPhoneId);
    bool movePhones(const QList<int> &cloudPhoneIds, int groupId);
    bool renamePhone(int cloudPhoneId, const QString &name);
    // `cloudPhoneIds`: decimal ids joined by "," (see joinIds).
    bool prefixRename(const QString &cloudPhoneIds, const QString &prefix);
    bool restartPhones(const QString &cloudPhoneIds, const QString &type);
    bool resetPhones(const QString &cloudPhoneIds, const QString &type);
    bool generateChangeOrder(const QString &billingId, const QString &payChannel, int cloudPhoneId);
    bool getChangeOrder(const QString &billingId, const QString &payChannel, int cloudPhoneId);
    // Any thread. Queues a device exchange of one phone on the pool: a change order and its
    // confirmation, both paid through "wechat"; the user is told the outcome and a success reloads
    // the inventory. The task holds `self`.
    static void exchangePhone(const std::shared_ptr<userInfo> &self, int billingId, int cloudPhoneId);
    // The "content" array; empty on any failure, nothing shown.
    QJsonArray runningStatus(const QString &cloudPhoneIds, const QString &type);
    // The upload credentials ("accessKeyId", "accessKeySecret", "bucket", "fileUploadPath",
    // "securityToken"); empty on any failure, nothing shown.
    QJsonObject uploadInfo();

    // "5,7,9" for {5, 7, 9}: the form every id-list parameter takes.
    static QString joinIds(const QList<int> &cloudPhoneIds);

    // Any thread. The groups of a group-list answer in answer order, each with the phones it lists;
    // false for an answer that failed or has no "content" array.
    static bool parseGroupList(const QString &text, const ZqConfig &cipher, QList<groupRecord> *groups);
    // Any thread. The session and user of a login answer's "content"; false without a usable token.
    static bool parseLogin(const QJsonObject &answer, sessionRecord *session, userDetailRecord *detail);

private:
    // Reload thread; takes the hook's lock, and none while the hook runs.
    static void requestBillingIcon(int billingId, const QString &deviceId, const QString &address);
    // Calling thread; blocks. Sends a POST, with the session token when `withToken`. True when the
    // service answered with "status" 1; `answer` and `text` then hold the answer. A failure is already
    // reported, except an empty answer, which is silent.
    bool postChecked(const QString &path, const QMap<QString, QString> &params, QJsonObject *answer,
                     QString *text, bool withToken = false);
    // Calling thread; blocks. postChecked with the token, for calls that only need success or failure.
    bool postWithToken(const QString &path, const QMap<QString, QString> &params);
    // Calling thread; blocks. GET with the token; the answer's "content" when "status" is 1, else
    // nothing (and nothing shown).
    QJsonValue getContent(const QString &pathAndQuery) const;
    // Any thread. Takes the group lock.
    bool hasOrdinaryGroup(int groupId) const;

    // The inventory and its locks; shared with the pool tasks, so a reload still running when this
    // object goes away writes into memory that is still alive.
    struct Inventory;

    const QString m_apiBaseUrl;
    QTimer *m_reloadTimer = nullptr;
    const std::shared_ptr<Inventory> m_inventory;

    std::atomic<bool> m_loggedIn{false};
    mutable std::mutex m_sessionLock;
    sessionRecord m_session;
    userDetailRecord m_userDetail;
};
