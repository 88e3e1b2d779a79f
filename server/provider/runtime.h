#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace provider {

struct Options;

// Running state of phones: 1 normal, 3 restarting, 4 resetting. With a phone farm address it asks
// the farm (and tells it to restart or reset); without one it simulates the same timings itself.
// All operations: any request thread. The simulation takes mutex_ briefly; farm calls hold no lock.
class PhoneRuntime
{
public:
    explicit PhoneRuntime(const Options &options);

    bool restart(const std::vector<std::string> &deviceIds, std::string &error);
    bool reset(const std::vector<std::string> &deviceIds, std::string &error);
    bool status(const std::vector<std::string> &deviceIds, std::unordered_map<std::string, int> &out,
                std::string &error);
    // Tells the farm to refuse each phone's credentials below its generation, or with generation 0
    // every credential of a device that is gone. Without a farm there is no one to tell.
    bool retire(const std::vector<std::pair<std::string, int64_t>> &phones, std::string &error);

    bool usesFarm() const { return !farmUrl_.empty(); }

private:
    using Clock = std::chrono::steady_clock;
    struct Busy
    {
        int status;
        Clock::time_point until;
    };

    bool farmCommand(const std::vector<std::string> &deviceIds, const char *action, std::string &error);
    bool farmRequest(const std::string &method, const std::string &pathWithQuery, std::string &body,
                     std::string &error);
    void simulate(const std::vector<std::string> &deviceIds, int status, int64_t ms);

    std::string farmUrl_;
    std::string secret_;
    int64_t restartMs_;
    int64_t resetMs_;
    std::mutex mutex_;
    std::unordered_map<std::string, Busy> busy_;
};

} // namespace provider
