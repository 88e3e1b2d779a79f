#include "app/eventmanager.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <thread>

EventManager::EventManager()
{
    m_subscriptions.reserve(8);
    qRegisterMetaType<ZQSlotMsg>("ZQSlotMsg");
}

void EventManager::subscribe(int type, QObject *receiver, const QString &name)
{
    std::lock_guard<std::mutex> locker(m_subscriptionLock);
    std::shared_ptr<ReceiverGuard> &guard = m_guards[receiver];
    if (!guard) {
        guard = std::make_shared<ReceiverGuard>();
        guard->receiver = receiver;
    }
    m_subscriptions[type].append(Subscription{name, guard});
}

void EventManager::unsubscribe(QObject *receiver)
{
    std::shared_ptr<ReceiverGuard> guard;
    {
        std::lock_guard<std::mutex> locker(m_subscriptionLock);
        guard = m_guards.take(receiver);
        if (!guard)
            return;
        for (auto it = m_subscriptions.begin(); it != m_subscriptions.end(); ++it) {
            it->erase(std::remove_if(it->begin(), it->end(),
                                     [&](const Subscription &s) { return s.guard == guard; }),
                      it->end());
        }
    }
    std::lock_guard<std::mutex> locker(guard->lock);
    guard->alive = false;
}

void EventManager::post(const ZQSlotMsg &message)
{
    std::lock_guard<std::mutex> locker(m_queueLock);
    m_pending.push_back(message);
}

void EventManager::run()
{
    while (!m_stop.load()) {
        dispatchPending();
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMilliseconds));
    }
}

void EventManager::stop()
{
    m_stop.store(true);
}

void EventManager::dispatchPending()
{
    std::vector<ZQSlotMsg> round;
    {
        std::lock_guard<std::mutex> locker(m_queueLock);
        round.swap(m_pending);
    }
    for (const ZQSlotMsg &message : round) {
        QList<Subscription> subscribers;
        {
            std::lock_guard<std::mutex> locker(m_subscriptionLock);
            subscribers = m_subscriptions.value(message.type);
        }
        for (const Subscription &subscription : subscribers) {
            if (!message.target.isEmpty() && message.target != subscription.name)
                continue;
            std::lock_guard<std::mutex> locker(subscription.guard->lock);
            if (subscription.guard->alive && subscription.guard->receiver)
                QCoreApplication::postEvent(subscription.guard->receiver, new PhoneEvent(message));
        }
    }
}
