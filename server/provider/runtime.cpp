#include "server/provider/runtime.h"

#include "server/provider/crypto.h"
#include "server/provider/options.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <ctime>

namespace provider {

namespace {

constexpr int kNormal = 1;
constexpr int kRestarting = 3;
constexpr int kResetting = 4;
// Keeps status queries well below the farm's request-line limit.
constexpr size_t kIdsPerStatusCall = 400;
const char *const kFarmDown = "云手机服务暂不可用，请稍后再试";

} // namespace

PhoneRuntime::PhoneRuntime(const Options &options)
    : farmUrl_(options.farmUrl), secret_(options.farmSecret), restartMs_(options.restartMs),
      resetMs_(options.resetMs)
{
}

bool PhoneRuntime::restart(const std::vector<std::string> &deviceIds, std::string &error)
{
    if (usesFarm())
        return farmCommand(deviceIds, "restart", error);
    simulate(deviceIds, kRestarting, restartMs_);
    return true;
}

bool PhoneRuntime::reset(const std::vector<std::string> &deviceIds, std::string &error)
{
    if (usesFarm())
        return farmCommand(deviceIds, "reset", error);
    simulate(deviceIds, kResetting, resetMs_);
    return true;
}

void PhoneRuntime::simulate(const std::vector<std::string> &deviceIds, int status, int64_t ms)
{
    const auto until = Clock::now() + std::chrono::milliseconds(ms);
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    // Forget finished operations so the map stays as small as the set of busy phones.
    for (auto it = busy_.begin(); it != busy_.end();)
        it = it->second.until <= now ? busy_.erase(it) : std::next(it);
    for (const auto &id : deviceIds)
        busy_[id] = Busy{status, until};
}

bool PhoneRuntime::status(const std::vector<std::string> &deviceIds,
                          std::unordered_map<std::string, int> &out, std::string &error)
{
    if (!usesFarm()) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = Clock::now();
        for (const auto &id : deviceIds) {
            const auto it = busy_.find(id);
            out[id] = it != busy_.end() && it->second.until > now ? it->second.status : kNormal;
        }
        return true;
    }
    for (size_t start = 0; start < deviceIds.size(); start += kIdsPerStatusCall) {
        std::string ids;
        for (size_t i = start; i < deviceIds.size() && i < start + kIdsPerStatusCall; ++i) {
            if (!ids.empty())
                ids += ',';
            ids += deviceIds[i];
        }
        std::string body;
        if (!farmRequest("GET", "/admin/status?ids=" + ids, body, error))
            return false;
        const auto answer = nlohmann::json::parse(body, nullptr, false);
        if (!answer.is_object()) {
            error = kFarmDown;
            return false;
        }
        for (size_t i = start; i < deviceIds.size() && i < start + kIdsPerStatusCall; ++i) {
            const auto it = answer.find(deviceIds[i]);
            out[deviceIds[i]] = it != answer.end() && it->is_number_integer() ? it->get<int>() : kNormal;
        }
    }
    return true;
}

bool PhoneRuntime::retire(const std::vector<std::pair<std::string, int64_t>> &phones, std::string &error)
{
    if (!usesFarm())
        return true;
    for (const auto &[id, generation] : phones) {
        std::string body;
        const std::string path = "/admin/phones/" + id + "/retire" +
                                 (generation > 0 ? "?generation=" + std::to_string(generation) : "");
        if (!farmRequest("POST", path, body, error))
            return false;
    }
    return true;
}

bool PhoneRuntime::farmCommand(const std::vector<std::string> &deviceIds, const char *action,
                               std::string &error)
{
    for (const auto &id : deviceIds) {
        std::string body;
        if (!farmRequest("POST", "/admin/phones/" + id + "/" + action, body, error))
            return false;
        const auto answer = nlohmann::json::parse(body, nullptr, false);
        const auto ok = answer.is_object() ? answer.find("ok") : answer.end();
        if (ok == answer.end() || !ok->is_boolean() || !ok->get<bool>()) {
            error = kFarmDown;
            return false;
        }
    }
    return true;
}

bool PhoneRuntime::farmRequest(const std::string &method, const std::string &pathWithQuery, std::string &body,
                               std::string &error)
{
    httplib::Client client(farmUrl_);
    client.set_connection_timeout(2, 0);
    client.set_read_timeout(5, 0);
    client.set_write_timeout(5, 0);
    const std::string now = std::to_string(static_cast<long long>(std::time(nullptr)));
    const httplib::Headers headers = {
        {"X-Farm-Time", now},
        {"X-Farm-Auth", hmacSha256Hex(secret_, method + " " + pathWithQuery + " " + now)},
    };
    const auto res = method == "POST" ? client.Post(pathWithQuery.c_str(), headers, "", "application/json")
                                      : client.Get(pathWithQuery.c_str(), headers);
    if (!res || res->status != 200) {
        error = kFarmDown;
        return false;
    }
    body = res->body;
    return true;
}

} // namespace provider
