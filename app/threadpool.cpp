#include "app/threadpool.h"

#include "platform/processors.h"

ThreadPool::ThreadPool() : ThreadPool(platform::logicalProcessorCount()) {}

ThreadPool::ThreadPool(int processors)
{
    const int count = workersFor(processors);
    m_workers.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        m_workers.emplace_back(&ThreadPool::workerLoop, this);
        ++m_idle;
    }
}

ThreadPool::~ThreadPool()
{
    shutdown();
}

int ThreadPool::workersFor(int processors)
{
    const int wanted = 2 * (processors < 1 ? 1 : processors) + 1;
    return wanted < maxWorkers ? wanted : maxWorkers;
}

void ThreadPool::shutdown()
{
    m_run.store(false);
    {
        // Taking the mutex orders the flag with a worker that is about to wait.
        std::lock_guard<std::mutex> locker(m_mutex);
    }
    m_wake.notify_all();
    for (std::thread &worker : m_workers) {
        if (worker.joinable())
            worker.join();
    }
    std::queue<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> locker(m_mutex);
        dropped.swap(m_tasks);
    }
}

void ThreadPool::workerLoop()
{
    while (m_run.load()) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> locker(m_mutex);
            m_wake.wait(locker, [this] { return !m_run.load() || !m_tasks.empty(); });
            if (m_tasks.empty())
                return;
            task = std::move(m_tasks.front());
            m_tasks.pop();
        }
        --m_idle;
        task();
        ++m_idle;
    }
}
