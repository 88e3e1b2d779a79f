#pragma once

// A fixed set of worker threads for rendering and encoding. Jobs are handed
// over under a std::mutex, so the thread checker sees the hand-over.

#include <condition_variable>
#include <deque>
#include <functional>
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

    // Any thread; takes the queue mutex.
    void submit(std::function<void()> job);

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

} // namespace farm
