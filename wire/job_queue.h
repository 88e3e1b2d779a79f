#pragma once

// Runs jobs on the thread its object lives on. Any thread posts under the
// queue mutex, so each job's hand-over is visible to the thread checker
// (Qt's own event queue locks are not); one posted event wakes the thread
// for however many jobs are waiting.

#include <QCoreApplication>
#include <QEvent>
#include <QObject>

#include <deque>
#include <functional>
#include <mutex>

namespace cc {

class JobQueue : public QObject
{
public:
    // Any thread; takes the queue mutex. The wake-up event is made under it
    // too, so its hand-over is seen as well.
    void post(std::function<void()> job)
    {
        QEvent *wake = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (jobs_.empty())
                wake = new QEvent(QEvent::User);
            jobs_.push_back(std::move(job));
        }
        if (wake)
            QCoreApplication::postEvent(this, wake);
    }

protected:
    // The object's thread; runs the jobs without the lock. The event's type
    // is read under the lock that covered its making.
    bool event(QEvent *e) override
    {
        bool ours;
        std::deque<std::function<void()>> jobs;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ours = e->type() == QEvent::User;
            if (ours)
                jobs.swap(jobs_);
        }
        if (!ours)
            return QObject::event(e);
        for (auto &job : jobs)
            job();
        return true;
    }

private:
    std::mutex mutex_;
    std::deque<std::function<void()>> jobs_;
};

} // namespace cc
