#include "server/provider/throttle.h"

namespace provider {

namespace {

// Failures older than this no longer count towards a lock.
constexpr auto kWindow = std::chrono::minutes(15);
// Bounds the memory a flood of different numbers can take.
constexpr size_t kPruneAbove = 10000;

} // namespace

int LoginThrottle::lockedSeconds(const std::string &phone)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = entries_.find(phone);
    const auto now = Clock::now();
    if (it == entries_.end() || it->second.lockedUntil <= now)
        return 0;
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(it->second.lockedUntil - now).count();
    return static_cast<int>((ms + 999) / 1000);
}

int LoginThrottle::failure(const std::string &phone)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    if (entries_.size() > kPruneAbove)
        prune(now);
    Entry &e = entries_[phone];
    if (e.failures == 0 || now - e.first > kWindow) {
        e.failures = 0;
        e.first = now;
    }
    if (++e.failures >= maxFailures_) {
        e.failures = 0;
        e.lockedUntil = now + std::chrono::milliseconds(lockoutMs_);
        return 0;
    }
    return maxFailures_ - e.failures;
}

void LoginThrottle::success(const std::string &phone)
{
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.erase(phone);
}

void LoginThrottle::prune(Clock::time_point now)
{
    for (auto it = entries_.begin(); it != entries_.end();) {
        const bool stale = it->second.lockedUntil <= now && now - it->second.first > kWindow;
        it = stale ? entries_.erase(it) : std::next(it);
    }
    // Still flooded: keep only the locks, which matter most.
    if (entries_.size() > 10 * kPruneAbove) {
        for (auto it = entries_.begin(); it != entries_.end();)
            it = it->second.lockedUntil <= now ? entries_.erase(it) : std::next(it);
    }
}

} // namespace provider
