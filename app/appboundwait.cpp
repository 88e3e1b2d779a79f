#include "app/appboundwait.h"

#include <QCoreApplication>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

namespace {

struct Waiters
{
    std::mutex lock;
    std::condition_variable left;
    std::multiset<QThread *> threads;
    QCoreApplication *hookedApp = nullptr;
    bool closing = false;
};

// How long the application's destructor waits for woken threads to clean up; a thread that is not
// back by then (stopped in a debugger, starved) only costs what it leaks.
constexpr auto cleanupWait = std::chrono::seconds(10);

// Never destroyed: a pool thread may still leave its wait while static objects are torn down after
// exit() (the pool is joined after everything built before it).
Waiters &waiters()
{
    static Waiters *const instance = new Waiters;
    return *instance;
}

// Main thread, from the application's destructor while it still exists. Takes the waiters' lock and,
// under it, each waiting thread's own lock (inside QThread::exit, which never blocks): a thread stays
// registered, and so alive, until it has taken the waiters' lock itself. QThread::exit also marks the
// thread so that a loop that has not started yet returns at once. Then waits, without the lock, until
// every woken thread has torn its wait down.
void endWaits()
{
    Waiters &w = waiters();
    std::unique_lock<std::mutex> locker(w.lock);
    w.closing = true;
    for (QThread *thread : w.threads)
        thread->exit(1);
    w.left.wait_for(locker, cleanupWait, [&w] { return w.threads.empty(); });
}

} // namespace

AppBoundWait::AppBoundWait()
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return;
    Waiters &w = waiters();
    bool hook = false;
    {
        std::lock_guard<std::mutex> locker(w.lock);
        if (app != w.hookedApp) {
            w.hookedApp = app;
            w.closing = false;
            hook = true;
        }
        if (!w.closing) {
            m_thread = QThread::currentThread();
            w.threads.insert(m_thread);
        }
    }
    if (hook)
        qAddPostRoutine(endWaits);
}

// The application still exists here (its destructor waits for registered threads), so what the wait
// left for deferred deletion on this thread is deleted now: a pool thread may never run an event loop
// again.
AppBoundWait::~AppBoundWait()
{
    if (!m_thread)
        return;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    Waiters &w = waiters();
    std::lock_guard<std::mutex> locker(w.lock);
    w.threads.erase(w.threads.find(m_thread));
    if (w.threads.empty())
        w.left.notify_all();
}

bool AppBoundWait::ending() const
{
    if (!m_thread)
        return true;
    Waiters &w = waiters();
    std::lock_guard<std::mutex> locker(w.lock);
    return w.closing;
}
