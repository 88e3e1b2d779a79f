#include "coreclient/delivery.h"

#include "wire/wire.h"

#include <cstring>

namespace cc {

bool copySession(const SdkSession *session, SessionCopy *out)
{
    if (!session || !session->deviceUcId || !session->deviceId)
        return false;
    const size_t ucLen = strnlen(session->deviceUcId, ccwire::kMaxCredential + 1);
    const size_t idLen = strnlen(session->deviceId, ccwire::kMaxDeviceId + 1);
    if (ucLen == 0 || ucLen > size_t(ccwire::kMaxCredential) || idLen == 0 ||
        idLen > size_t(ccwire::kMaxDeviceId))
        return false;
    out->deviceUcId = QByteArray(session->deviceUcId, int(ucLen));
    out->deviceId = QByteArray(session->deviceId, int(idLen));
    out->extra = session->extra;
    return true;
}

void Delivery::start()
{
    closed_ = false;
    thread_ = std::thread([this] { run(); });
    threadId_ = thread_.get_id();
}

void Delivery::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void Delivery::push(Item item)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!closed_) {
            queue_.push_back(std::move(item));
            wake_.notify_one();
            return;
        }
    }
    // Only a request racing with cc_core_uninit gets here: the delivery thread
    // has gone, and the callback must still run once and not on the caller.
    std::thread([item = std::move(item)]() mutable { invoke(item); }).detach();
}

void Delivery::invoke(Item &item)
{
    SdkSession session{item.session.deviceUcId.constData(), item.session.deviceId.constData(),
                       item.session.extra};
    item.callback(&session, 0, item.code, item.data.isEmpty() ? nullptr : item.data.constData(),
                  item.data.size());
}

// Delivery thread: no lock is held while a callback runs.
void Delivery::run()
{
    for (;;) {
        Item item;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return closed_ || !queue_.empty(); });
            if (queue_.empty())
                return;
            item = std::move(queue_.front());
            queue_.pop_front();
        }
        invoke(item);
    }
}

} // namespace cc
