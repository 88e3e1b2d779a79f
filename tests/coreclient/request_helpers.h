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

class Request
{
public:
    Request(const QByteArray &deviceUcId, const QByteArray &deviceId)
        : ucid_(deviceUcId), id_(deviceId), session_{ucid_.constData(), id_.constData(), this},
          caller_(std::this_thread::get_id())
    {
    }
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;

    SdkSession *session() { return &session_; }

    static void callback(SdkSession *session, int, int code, const void *data, int length)
    {
        auto *self = static_cast<Request *>(session->extra);
        std::lock_guard<std::mutex> lock(self->mutex_);
        ++self->result_.calls;
        self->result_.code = code;
        self->result_.data = data ? QByteArray(static_cast<const char *>(data), length) : QByteArray();
        self->result_.deviceId = session->deviceId;
        self->result_.onCallerThread = std::this_thread::get_id() == self->caller_;
    }

    Result result()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return result_;
    }

    bool wait(int timeoutMs = 20000)
    {
        return waitUntil([this] { return result().calls > 0; }, timeoutMs);
    }

private:
    QByteArray ucid_, id_;
    SdkSession session_;
    std::thread::id caller_;
    std::mutex mutex_;
    Result result_;
};

// Sends one request and waits for its callback.
inline Result run(const QByteArray &deviceUcId, const QByteArray &deviceId,
                  const std::function<int(SdkSession *, SdkCallback)> &send, int timeoutMs = 20000)
{
    auto *request = new Request(deviceUcId, deviceId);
    send(request->session(), &Request::callback);
    const bool done = request->wait(timeoutMs);
    const Result result = request->result();
    if (done)
        delete request; // else leaked on purpose: a late callback still has somewhere to write
    return result;
}

} // namespace harness
