#pragma once

class QThread;

// Registers the calling thread for the length of one blocking wait in a private event loop (a network
// request on a worker thread). Once the application object is gone no event reaches such a loop any
// more, so the wait would never end and the pool could never be joined; and network objects left for
// deferred deletion on a worker thread would never be deleted. The application's destructor therefore
// first ends every registered wait, then waits (bounded) until each such thread has torn its objects
// down, while events can still be delivered.
//
// Declare it first in the function that waits, so that it is destroyed after everything the wait
// created. Any thread; takes a process-wide lock briefly on construction and destruction.
class AppBoundWait
{
public:
    AppBoundWait();
    ~AppBoundWait();
    AppBoundWait(const AppBoundWait &) = delete;
    AppBoundWait &operator=(const AppBoundWait &) = delete;

    // False without an application, or once it is going away: the caller must not wait then, and
    // fails as if the peer were unreachable.
    bool active() const { return m_thread != nullptr; }
    // True once the application has begun to go away: further waits would end at once, so work that
    // would start one (a retry) should stop. Takes the process-wide lock briefly.
    bool ending() const;

private:
    QThread *m_thread = nullptr;
};
