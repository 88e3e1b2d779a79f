#pragma once

#include <mutex>

// Decides when the inventory is read: one read at a time, and a reload asked for while a read runs is
// never lost, the running read goes once more instead. Asking and finishing are each one step under
// one lock, so a request that comes exactly as a read finishes is seen by one side or the other.
// Any thread; takes only its own mutex. The mutex type is a parameter so that a test can run the
// other side at each point where the lock is let go.
template <class Mutex> class BasicReloadGate
{
public:
    // True: the caller starts a read now. False: a read runs and will go once more.
    bool request()
    {
        std::lock_guard<Mutex> locker(m_lock);
        if (m_running) {
            m_again = true;
            return false;
        }
        m_running = true;
        return true;
    }

    // The reader, after each read: true when it must read once more; otherwise the gate is open.
    bool finish()
    {
        std::lock_guard<Mutex> locker(m_lock);
        if (m_again) {
            m_again = false;
            return true;
        }
        m_running = false;
        return false;
    }

    // A read that was granted but cannot run (the pool is stopping, the model is gone).
    void abandon()
    {
        std::lock_guard<Mutex> locker(m_lock);
        m_running = false;
        m_again = false;
    }

    bool busy() const
    {
        std::lock_guard<Mutex> locker(m_lock);
        return m_running;
    }

private:
    mutable Mutex m_lock;
    bool m_running = false;
    bool m_again = false;
};

using ReloadGate = BasicReloadGate<std::mutex>;
