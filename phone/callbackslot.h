#pragma once

#include <mutex>

// Library callbacks carry no pointer back to whoever made the request. They reach the live owner
// through this slot, which the owner fills at construction and empties at destruction; a callback
// does its short work while holding the slot's lock, so one that arrives after its owner is gone
// finds nothing instead of freed memory. `Tag` keeps the slots of different owners apart.
template <class Tag, class T> class CallbackSlot
{
public:
    // Owner's thread. False when another owner holds the slot.
    static bool attach(T *owner)
    {
        std::lock_guard<std::mutex> locker(s_lock);
        if (s_owner)
            return false;
        s_owner = owner;
        return true;
    }
    // Owner's thread. Waits for a callback that is using the owner right now.
    static void detach(T *owner)
    {
        std::lock_guard<std::mutex> locker(s_lock);
        if (s_owner == owner)
            s_owner = nullptr;
    }
    // Library thread: runs f(owner) under the slot's lock; false when there is no owner.
    template <class F> static bool with(F &&f)
    {
        std::lock_guard<std::mutex> locker(s_lock);
        if (!s_owner)
            return false;
        f(*s_owner);
        return true;
    }

private:
    static inline std::mutex s_lock;
    static inline T *s_owner = nullptr;
};
