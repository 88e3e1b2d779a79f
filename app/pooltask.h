#pragma once

#include "app/globals.h"

#include <QDebug>

#include <stdexcept>
#include <utility>

// Any thread. Queues `task` on g_threadPool without waiting for it; false (logged as `what` not
// started) once the pool is shutting down. The task may run after its caller is gone, so it holds
// shared ownership of everything it uses, or the pool is drained before that goes.
template <class F> bool onPool(const char *what, F &&task)
{
    try {
        g_threadPool.commit(std::forward<F>(task));
        return true;
    } catch (const std::runtime_error &e) {
        qDebug() << what << "not started:" << e.what();
        return false;
    }
}
