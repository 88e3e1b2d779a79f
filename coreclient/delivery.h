#pragma once

// The thread that runs the library's callbacks, and the checked copies of the
// caller's session strings they are handed.

#include "coreclient/core_client.h"

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace cc {

// Strings of an SdkSession checked and copied at call time, so the caller's
// buffers may go away before the answer comes.
struct SessionCopy
{
    QByteArray deviceUcId;
    QByteArray deviceId;
    void *extra = nullptr;
};

// Checks the lengths of an SdkSession's strings and copies them.
bool copySession(const SdkSession *session, SessionCopy *out);

// Runs callbacks one after another on its own thread.
class Delivery
{
public:
    struct Item
    {
        SdkCallback callback = nullptr;
        SessionCopy session;
        int code = 0;
        QByteArray data;
    };

    // Caller: Engine::ensureStarted under the life-cycle mutex.
    void start();
    // Runs what is queued, then joins. Caller: any thread but the delivery thread.
    void stop();
    // Any thread; takes the queue mutex, never while a callback runs.
    void push(Item item);
    bool onDeliveryThread() const { return std::this_thread::get_id() == threadId_; }

private:
    void run();
    static void invoke(Item &item);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Item> queue_;
    bool closed_ = false;
    std::thread thread_;
    std::thread::id threadId_;
};

} // namespace cc
