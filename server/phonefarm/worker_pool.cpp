#include "server/phonefarm/worker_pool.h"

namespace farm {

WorkerPool::WorkerPool(int threads)
{
    for (int i = 0; i < threads; ++i)
        threads_.emplace_back([this] { run(); });
}

WorkerPool::~WorkerPool()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread &t : threads_)
        t.join();
}

void WorkerPool::submit(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

void WorkerPool::submit(const QByteArray &owner, std::shared_ptr<const std::atomic<bool>> live,
                        std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::deque<Owned> &queue = owned_[owner];
        if (queue.empty())
            turns_.push_back(owner);
        queue.push_back(Owned{std::move(live), std::move(job)});
    }
    wake_.notify_one();
}

// Worker thread: no lock is held while a job runs.
void WorkerPool::run()
{
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || pending(); });
            if (!pending())
                return;
            if (!jobs_.empty()) {
                job = std::move(jobs_.front());
                jobs_.pop_front();
            } else {
                const QByteArray owner = turns_.front();
                turns_.pop_front();
                auto queue = owned_.find(owner);
                Owned next = std::move(queue->second.front());
                queue->second.pop_front();
                if (queue->second.empty())
                    owned_.erase(queue);
                else
                    turns_.push_back(owner);
                if (next.live && !next.live->load())
                    continue;
                job = std::move(next.job);
            }
        }
        job();
    }
}

} // namespace farm
