#include "api/userinfo.h"
#include "api/userinfo_internal.h"
#include "api/zqhttprequest.h"
#include "app/globals.h"
#include "app/messages.h"

#include <QDateTime>
#include <QDebug>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QJsonValue>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

const QString groupListPath = QStringLiteral("/api/tamsu-cloud-phone/v1/phone/group-list");
const QString accessInfoPath =
    QStringLiteral("/api/tamsu-cloud-phone/v1/phone/get-access-info?cloudPhoneId=");

// Access checks of one reload run on at most this many pool workers, so that thousands of new phones
// never fill the pool's queue ahead of everybody else's work.
constexpr int maxAccessCheckers = 2;

} // namespace

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
