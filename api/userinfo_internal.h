#pragma once

// What the userInfo implementation files share; not part of the API.

#include "api/reloadgate.h"
#include "api/userinfo.h"
#include "app/zqconfig.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>

namespace userinfoanswer {

// Shown when a failed answer carries no text of its own (not JSON, or no "msg"), so the user never
// gets an empty dialog.
extern const QString unreadableAnswerText;

bool succeeded(const QJsonObject &answer);
QString textOf(const QJsonObject &object, const char *key);

} // namespace userinfoanswer

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
