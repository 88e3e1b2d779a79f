#include "app/eventmanager.h"

#include "platform/tsan.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <thread>

EventManager::EventManager()
{
    m_subscriptions.rehash(8);
    m_subscriptions.max_load_factor(1.0f);
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
    m_subscriptions[type].push_back(Subscription{name, guard});
    guard->types.push_back(type);
}

void EventManager::unsubscribe(QObject *receiver)
{
    std::shared_ptr<ReceiverGuard> guard;
    {
        std::lock_guard<std::mutex> locker(m_subscriptionLock);
        const auto found = m_guards.find(receiver);
        if (found == m_guards.end())
            return;
        guard = std::move(found->second);
        m_guards.erase(found);
        guard->subscribed = false;
        for (int type : guard->types) {
            std::vector<Subscription> &list = m_subscriptions[type];
            size_t &stale = m_stale[type];
            if (++stale * 2 < list.size())
                continue;
            list.erase(std::remove_if(list.begin(), list.end(),
                                      [](const Subscription &s) { return !s.guard->subscribed; }),
                       list.end());
            stale = 0;
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
        std::vector<Subscription> subscribers;
        {
            std::lock_guard<std::mutex> locker(m_subscriptionLock);
            const auto found = m_subscriptions.find(message.type);
            if (found != m_subscriptions.end())
                subscribers = found->second;
        }
        for (const Subscription &subscription : subscribers) {
            if (!message.target.isEmpty() && message.target != subscription.name)
                continue;
            std::lock_guard<std::mutex> locker(subscription.guard->lock);
            if (subscription.guard->alive && subscription.guard->receiver) {
                auto *event = new PhoneEvent(message);
                PELOMIR_HAND_OVER(event);
                QCoreApplication::postEvent(subscription.guard->receiver, event);
            }
        }
    }
}
