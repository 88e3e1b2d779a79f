#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <queue>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <vector>

// A fixed set of workers started at construction: 2 x processors + 1, at most 16.
class ThreadPool
{
public:
    static constexpr int maxWorkers = 16;

    explicit ThreadPool(int processors);
    ThreadPool();
    ~ThreadPool();

    ThreadPool(const ThreadPool &) = delete;
    ThreadPool &operator=(const ThreadPool &) = delete;

    static int workersFor(int processors);

    // Any thread. Queues the call; exceptions it throws land in the future. Throws
    // std::runtime_error("commit on ThreadPool is stopped.") once shutdown has begun.
    // Takes the queue mutex briefly.
    template <class F, class... Args>
    auto commit(F &&f, Args &&...args)
        -> std::future<std::invoke_result_t<std::decay_t<F>, std::decay_t<Args>...>>
    {
        using Result = std::invoke_result_t<std::decay_t<F>, std::decay_t<Args>...>;
        if (!m_run.load())
            throw std::runtime_error("commit on ThreadPool is stopped.");
        auto task = std::make_shared<std::packaged_task<Result()>>(
            std::bind(std::forward<F>(f), std::forward<Args>(args)...));
        std::future<Result> future = task->get_future();
        {
            std::lock_guard<std::mutex> locker(m_mutex);
            m_tasks.emplace([task] { (*task)(); });
        }
        m_wake.notify_one();
        return future;
    }

    int workerCount() const { return static_cast<int>(m_workers.size()); }
    int idleCount() const { return m_idle.load(); }

    // Clears the run flag, wakes and joins every worker. Called by the destructor; idempotent.
    // Tasks still queued afterwards are dropped (their futures report a broken promise).
    void shutdown();

private:
    void workerLoop();

    std::vector<std::thread> m_workers;
    std::queue<std::function<void()>> m_tasks;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::atomic<bool> m_run{true};
    std::atomic<int> m_idle{0};
};
