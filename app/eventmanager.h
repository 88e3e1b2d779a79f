#pragma once

#include "app/zqslotmsg.h"

#include <QObject>

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

// The process-wide event bus: any thread posts, a polling dispatcher on a pool thread hands each
// message to its subscribers as a PhoneEvent posted to them.
class EventManager : public QObject
{
    Q_OBJECT

public:
    static constexpr int pollMilliseconds = 50;

    EventManager();

    // Receiver's thread. Takes the subscription lock.
    void subscribe(int type, QObject *receiver, const QString &name = QString());
    // Receiver's thread (its destructor). Takes the subscription lock, then each of the receiver's
    // guards in turn; when it returns, no event of this bus will be posted to the receiver again.
    void unsubscribe(QObject *receiver);
    // Any thread. Takes the queue lock only.
    void post(const ZQSlotMsg &message);
    // A pool thread, for the life of the process: the dispatcher loop.
    void run();
    // Any thread. The loop ends at its next check.
    void stop();

    // One dispatcher round without the sleep; the loop's body, also used by tests.
    void dispatchPending();

private:
    // Shared by every subscription of one receiver. The dispatcher posts to the receiver only while
    // holding `lock` and seeing `alive`; unsubscribe clears `alive` under the same lock, so an event
    // is never posted to a receiver once its destructor has unsubscribed it. postEvent runs no user
    // code and never waits on the receiver's thread, so the lock is held only for an instant.
    struct ReceiverGuard
    {
        std::mutex lock;
        QObject *receiver = nullptr;
        bool alive = true;
        // Guarded by the subscription lock: the types subscribed to, one entry per subscription,
        // and whether the receiver has unsubscribed.
        std::vector<int> types;
        bool subscribed = true;
    };
    struct Subscription
    {
        QString name;
        std::shared_ptr<ReceiverGuard> guard;
    };

    // Standard containers, not Qt's: copies handed to the dispatcher must not share data with the
    // table that the GUI thread goes on changing.
    std::mutex m_subscriptionLock;
    std::unordered_map<int, std::vector<Subscription>> m_subscriptions;
    std::unordered_map<QObject *, std::shared_ptr<ReceiverGuard>> m_guards;
    // Per type, the subscriptions of receivers that have unsubscribed. Thousands of tiles unsubscribe
    // together, so a list is swept only once half of it is stale, not on every unsubscribe; until
    // then the dispatcher skips the stale ones by their guard.
    std::unordered_map<int, size_t> m_stale;

    std::mutex m_queueLock;
    std::vector<ZQSlotMsg> m_pending;

    std::atomic<bool> m_stop{false};
};
