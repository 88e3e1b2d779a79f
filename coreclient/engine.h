#pragma once

// The library's transport: requests multiplexed over a small pool of gateway
// connections, display links for connected windows, and the thread that
// delivers callbacks. No widget code lives here.

#include "coreclient/core_client.h"
#include "coreclient/delivery.h"
#include "wire/wire.h"

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>

class QThread;

namespace cc {

class DisplayLink;
class IoContext;
class RequestChannel;

class Engine
{
public:
    static Engine &instance();

    // Starts the I/O and delivery threads if they are not running. Any thread;
    // takes the life-cycle mutex.
    void ensureStarted();
    // Fails pending requests with CC_ERR_SHUTDOWN, closes every connection and
    // joins the threads. Caller: not the I/O or delivery thread.
    void shutdown();

    // Any thread; take the pending mutex, then (not nested) the life-cycle mutex.
    void setGateway(const QString &host, quint16 port);
    void setTimeouts(int requestMs, int transferMs);

    // Queues a request; the callback runs exactly once with its outcome.
    // Any thread, callbacks included; takes the pending mutex, then (not
    // nested) the life-cycle mutex to post the frame to the I/O thread.
    int submit(const SdkSession *session, ccwire::Op op, const QByteArray &payload, SdkCallback cb);
    // Reports a refusal through the callback without contacting the gateway.
    // Any thread; takes the delivery queue's mutex.
    void refuse(const SdkSession *session, int code, SdkCallback cb);

    // Display links: created on the caller's thread, then owned by the I/O
    // thread and addressed by id, so a stale id is harmless. openDisplay
    // returns 0 and leaves the link alone while cc_core_uninit runs. Any
    // thread (the GUI thread in practice); each takes the life-cycle mutex to
    // post its job.
    quint64 openDisplay(DisplayLink *link);
    void closeDisplay(quint64 id);
    void sendDisplayInput(quint64 id, ccwire::InputKind kind, const QByteArray &payload, quint32 seq);
    void ackDisplayFrame(quint64 id, quint32 seq);
    void requestKeyframe(quint64 id, quint32 lastGoodSeq);

    // Any thread; take the pending mutex.
    QString gatewayHost() const;
    quint16 gatewayPort() const;

    // I/O thread: called by the request channels.
    void onResponse(const ccwire::Response &response);
    void onChannelFailed(const QList<quint32> &ids, int code);

private:
    struct Pending
    {
        SdkCallback callback = nullptr;
        SessionCopy session;
        qint64 deadline = 0;
    };

    Engine() = default;
    void complete(quint32 id, int code, const QByteArray &data);
    void sendOnChannel(IoContext &io, quint32 id, int channel, const QByteArray &frame);
    void scanTimeouts(IoContext &io);
    void resetChannels(IoContext &io);
    // Runs job on the I/O thread with the link of that id, if it is still open.
    // Any thread; takes the life-cycle mutex to post it.
    void postToLink(quint64 id, std::function<void(DisplayLink &)> job);

    std::mutex lifeMutex_; // guards ioThread_, io_ and stopping_
    QThread *ioThread_ = nullptr;
    bool stopping_ = false;
    IoContext *io_ = nullptr; // lives on the I/O thread; runs every job posted to it
    Delivery delivery_;

    mutable std::mutex pendingMutex_; // guards pending_, nextId_, gateway and timeouts
    std::unordered_map<quint32, Pending> pending_;
    quint32 nextId_ = 1;
    QString host_;
    quint16 port_ = 0;
    int requestTimeoutMs_ = CC_REQUEST_TIMEOUT_MS;
    int transferTimeoutMs_ = CC_TRANSFER_TIMEOUT_MS;
};

} // namespace cc
