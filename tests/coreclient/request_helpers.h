#pragma once

// Drives core-client requests from tests: one object per request holds the
// session buffers and records what its callback saw.

#include "coreclient/core_client.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace harness {

// Bounded poll that keeps the event loop running.
inline bool waitUntil(const std::function<bool()> &done, int timeoutMs = 20000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
    return true;
}

struct Result
{
    int calls = 0;
    int code = 1;
    QByteArray data;
    QByteArray deviceId; // as the callback's session named it
    bool onCallerThread = false;
};

// What a callback writes to lives apart from the Request: a test that stops
// early (a failed check) must not leave a late callback writing into freed
// memory.
class Request
{
public:
    Request(const QByteArray &deviceUcId, const QByteArray &deviceId)
        : ucid_(deviceUcId), id_(deviceId),
          state_(new State), session_{ucid_.constData(), id_.constData(), state_}
    {
        state_->caller = std::this_thread::get_id();
    }
    ~Request()
    {
        if (result().calls > 0) {
            delete state_;
            return;
        }
        // Not answered yet (a check failed early, or the test sent it without
        // our callback): the state stays reachable for a callback to come.
        static std::mutex mutex;
        static auto *abandoned = new std::vector<State *>;
        std::lock_guard<std::mutex> lock(mutex);
        abandoned->push_back(state_);
    }
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;

    SdkSession *session() { return &session_; }

    static void callback(SdkSession *session, int, int code, const void *data, int length)
    {
        auto *state = static_cast<State *>(session->extra);
        std::lock_guard<std::mutex> lock(state->mutex);
        ++state->result.calls;
        state->result.code = code;
        state->result.data = data ? QByteArray(static_cast<const char *>(data), length) : QByteArray();
        state->result.deviceId = session->deviceId;
        state->result.onCallerThread = std::this_thread::get_id() == state->caller;
    }

    Result result()
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->result;
    }

    bool wait(int timeoutMs = 20000)
    {
        return waitUntil([this] { return result().calls > 0; }, timeoutMs);
    }

private:
    struct State
    {
        std::thread::id caller;
        std::mutex mutex;
        Result result;
    };

    QByteArray ucid_, id_;
    State *state_;
    SdkSession session_;
};

// Sends one request and waits for its callback.
inline Result run(const QByteArray &deviceUcId, const QByteArray &deviceId,
                  const std::function<int(SdkSession *, SdkCallback)> &send, int timeoutMs = 20000)
{
    Request request(deviceUcId, deviceId);
    send(request.session(), &Request::callback);
    request.wait(timeoutMs);
    return request.result();
}

} // namespace harness
