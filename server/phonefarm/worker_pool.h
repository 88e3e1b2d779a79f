#pragma once

// A fixed set of worker threads for rendering and encoding. Jobs are handed
// over under a std::mutex, so the thread checker sees the hand-over.

#include <QByteArray>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace farm {

class WorkerPool
{
public:
    explicit WorkerPool(int threads);
    // Runs the jobs still queued, then joins. Main thread.
    ~WorkerPool();

    // Any thread; takes the queue mutex. Runs before every job submitted with an owner.
    void submit(std::function<void()> job);
    // Any thread; takes the queue mutex. One queue for all owners (the credentials that asked),
    // taken in turns: an owner with thousands of jobs waiting delays another owner's job by at most
    // one of its own per turn. A job whose `live` flag is false by its turn (its connection has
    // closed) is dropped unrun.
    void submit(const QByteArray &owner, std::shared_ptr<const std::atomic<bool>> live,
                std::function<void()> job);

private:
    struct Owned
    {
        std::shared_ptr<const std::atomic<bool>> live;
        std::function<void()> job;
    };

    void run();
    // Holding mutex_: whether there is anything to take.
    bool pending() const { return !jobs_.empty() || !turns_.empty(); }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    std::map<QByteArray, std::deque<Owned>> owned_;
    std::deque<QByteArray> turns_; // owners with jobs, the next one first
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

} // namespace farm
