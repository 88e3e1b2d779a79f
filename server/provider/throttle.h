#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

namespace provider {

// Counts failed logins per mobile number and locks a number for a while after too many.
// Any request thread; every call takes mutex_ briefly.
class LoginThrottle
{
public:
    LoginThrottle(int maxFailures, int64_t lockoutMs) : maxFailures_(maxFailures), lockoutMs_(lockoutMs) {}

    // Seconds (rounded up) the number stays locked, or 0.
    int lockedSeconds(const std::string &phone);
    // Records a failure; returns the attempts left before the lock, 0 when it has just locked.
    int failure(const std::string &phone);
    void success(const std::string &phone);

private:
    using Clock = std::chrono::steady_clock;
    struct Entry
    {
        int failures = 0;
        Clock::time_point first;
        Clock::time_point lockedUntil;
    };
    void prune(Clock::time_point now);

    const int maxFailures_;
    const int64_t lockoutMs_;
    std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;
};

} // namespace provider
