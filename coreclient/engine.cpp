#include "coreclient/engine.h"

#include "coreclient/display_link.h"
#include "coreclient/log.h"
#include "wire/job_queue.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QSet>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <QtCore/private/qthread_p.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>

namespace cc {

namespace {

// Requests share a few connections; the gateway answers them out of order.
// One phone's requests always take the same connection, and the gateway
// carries out a connection's requests in arrival order, so they reach the
// phone in call order.
constexpr int kChannels = 2;
constexpr int kMaxPending = 4096;
constexpr int kTimeoutScanMs = 50;

qint64 nowMs()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

} // namespace

// The I/O thread's jobs and state; one context per start of the library.
class IoContext : public JobQueue
{
public:
    std::vector<RequestChannel *> channels;
    std::map<quint64, DisplayLink *> links;
    QTimer *timeoutTimer = nullptr;
};

// One multiplexed request connection. Lives on the I/O thread.
class RequestChannel : public QObject
{
public:
    RequestChannel(Engine *engine, QObject *parent) : QObject(parent), engine_(engine)
    {
        // Closing before the gateway's own idle limit means a request never
        // races with the gateway closing the connection under it.
        idle_ = new QTimer(this);
        idle_->setSingleShot(true);
        idle_->setInterval(ccwire::kRequestIdleCloseMs);
        connect(idle_, &QTimer::timeout, this, [this] {
            if (inflight_.isEmpty())
                drop(false);
            else
                idle_->start();
        });
    }

    void send(quint32 id, const QByteArray &frame)
    {
        inflight_.insert(id);
        outbox_.push_back({id, frame});
        if (!socket_)
            open();
        flush();
    }

    void forget(quint32 id)
    {
        inflight_.remove(id);
        auto same = [id](const Outgoing &o) { return o.id == id; };
        outbox_.erase(std::remove_if(outbox_.begin(), outbox_.end(), same), outbox_.end());
        written_.erase(std::remove_if(written_.begin(), written_.end(), same), written_.end());
    }

    // Fails everything in flight and drops the connection.
    void fail(int code)
    {
        drop(true);
        outbox_.clear();
        const QList<quint32> ids = inflight_.values();
        inflight_.clear();
        if (!ids.isEmpty())
            engine_->onChannelFailed(ids, code);
    }

private:
    struct Outgoing
    {
        quint32 id;
        QByteArray frame;
    };

    void open()
    {
        reader_ = ccwire::FrameReader(ccwire::kMaxGatewayFrame);
        established_ = false;
        answers_ = 0;
        firstRefused_ = false;
        socket_ = new QTcpSocket(this);
        connect(socket_, &QTcpSocket::connected, this, [this] {
            established_ = true;
            socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1); // requests are small; send at once
            flush();
        });
        connect(socket_, &QTcpSocket::readyRead, this, [this] { readFrames(); });
        connect(socket_, &QTcpSocket::disconnected, this, [this] { broken(); });
        connect(socket_, &QTcpSocket::errorOccurred, this, [this] { broken(); });
        socket_->connectToHost(engine_->gatewayHost(), engine_->gatewayPort());
    }

    void flush()
    {
        if (!socket_ || socket_->state() != QAbstractSocket::ConnectedState)
            return;
        for (Outgoing &next : outbox_) {
            socket_->write(next.frame);
            written_.push_back(std::move(next));
        }
        outbox_.clear();
        idle_->start();
    }

    // abort: a broken connection; otherwise an idle one, closed politely.
    void drop(bool abort)
    {
        idle_->stop();
        written_.clear();
        if (!socket_)
            return;
        socket_->disconnect(this);
        if (abort)
            socket_->abort();
        else
            socket_->disconnectFromHost();
        socket_->deleteLater();
        socket_ = nullptr;
    }

    void broken()
    {
        if (!established_) {
            log(QStringLiteral("gateway %1:%2 unreachable: %3")
                    .arg(engine_->gatewayHost())
                    .arg(engine_->gatewayPort())
                    .arg(socket_->errorString()));
            fail(CC_ERR_UNREACHABLE);
            return;
        }
        if (!firstRefused_) {
            fail(CC_ERR_CONNECTION_LOST);
            return;
        }
        // The gateway closes a connection whose first request it refused and
        // ignores what followed.
        sendAgain();
    }

    // Everything not answered goes again, in its order, on a new connection.
    void sendAgain()
    {
        std::deque<Outgoing> again(std::make_move_iterator(written_.begin()),
                                   std::make_move_iterator(written_.end()));
        again.insert(again.end(), std::make_move_iterator(outbox_.begin()),
                     std::make_move_iterator(outbox_.end()));
        drop(true);
        outbox_ = std::move(again);
        if (!outbox_.empty()) {
            open();
            flush();
        }
    }

    void readFrames()
    {
        reader_.feed(
            socket_->readAll(), [this](ccwire::Message &message) { return onMessage(message); },
            [this](const QString &error) { badFrame(error); });
    }

    // One message of the gateway; false ends this read.
    bool onMessage(const ccwire::Message &message)
    {
        const auto *response = std::get_if<ccwire::Response>(&message);
        if (!response) {
            badFrame(QString());
            return false;
        }
        if (response->id == ccwire::kIdleNoticeId) {
            // Our own idle close lost the race under load; the gateway
            // dropped what it had not answered.
            sendAgain();
            return false;
        }
        if (answers_++ == 0 && !written_.empty() && written_.front().id == response->id)
            firstRefused_ = response->code == CC_ERR_UNKNOWN_PHONE ||
                            response->code == CC_ERR_BAD_CREDENTIAL ||
                            response->code == CC_ERR_EXPIRED_CREDENTIAL;
        forgetWritten(response->id);
        inflight_.remove(response->id);
        engine_->onResponse(*response);
        return socket_ != nullptr;
    }

    void badFrame(const QString &error)
    {
        log(QStringLiteral("bad frame from gateway, closing: %1").arg(error));
        fail(CC_ERR_PROTOCOL);
    }

    void forgetWritten(quint32 id)
    {
        for (auto it = written_.begin(); it != written_.end(); ++it) {
            if (it->id == id) {
                written_.erase(it);
                return;
            }
        }
    }

    Engine *engine_;
    QTcpSocket *socket_ = nullptr;
    QTimer *idle_ = nullptr;
    ccwire::FrameReader reader_{ccwire::kMaxGatewayFrame};
    std::deque<Outgoing> outbox_;  // not yet written, in call order
    std::deque<Outgoing> written_; // written on this connection, not yet answered
    QSet<quint32> inflight_;
    bool established_ = false;
    int answers_ = 0;
    bool firstRefused_ = false;
};

Engine &Engine::instance()
{
    static Engine *engine = new Engine; // outlives every static destructor that might still call in
    return *engine;
}

void Engine::ensureStarted()
{
    std::lock_guard<std::mutex> lock(lifeMutex_);
    if (ioThread_)
        return;
    {
        std::lock_guard<std::mutex> plock(pendingMutex_);
        if (host_.isEmpty()) {
            host_ = QStringLiteral(CORE_CLIENT_GATEWAY_HOST);
            port_ = quint16(CORE_CLIENT_GATEWAY_PORT);
        }
    }
    delivery_.start();
    // Qt drops every event of a thread that needs the application object
    // when the host has none (a plain C program). The I/O thread's sockets,
    // timers and jobs need nothing from it, so it is one of Qt's daemon
    // threads, which run without.
    ioThread_ = new QDaemonThread;
    ioThread_->setObjectName(QStringLiteral("core-client io"));
    io_ = new IoContext;
    io_->moveToThread(ioThread_);
    ioThread_->start();
    IoContext *io = io_;
    io->post([this, io] {
        for (int i = 0; i < kChannels; ++i)
            io->channels.push_back(new RequestChannel(this, io));
        io->timeoutTimer = new QTimer(io);
        io->timeoutTimer->setInterval(kTimeoutScanMs);
        QObject::connect(io->timeoutTimer, &QTimer::timeout, io, [this, io] { scanTimeouts(*io); });
    });
}

void Engine::shutdown()
{
    QThread *thread;
    IoContext *io;
    {
        std::lock_guard<std::mutex> lock(lifeMutex_);
        if (!ioThread_ || stopping_)
            return;
        if (delivery_.onDeliveryThread() || QThread::currentThread() == ioThread_) {
            log(QStringLiteral("cc_core_uninit from a library thread ignored"));
            return;
        }
        thread = ioThread_;
        io = io_;
        io_ = nullptr; // from here on new requests fail with CC_ERR_SHUTDOWN
        stopping_ = true;
    }
    std::unordered_map<quint32, Pending> left;
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        left.swap(pending_);
    }
    // The connections are torn down on their own thread. Their failures
    // report nothing: the pending map is already empty. The context itself
    // goes with the thread's last deferred deletes.
    io->post([io] {
        for (auto &entry : io->links)
            delete entry.second;
        io->links.clear();
        for (RequestChannel *channel : io->channels)
            channel->fail(CC_ERR_SHUTDOWN);
        io->channels.clear();
        io->deleteLater();
        QThread::currentThread()->quit();
    });
    thread->wait();
    delete thread;
    for (auto &entry : left) {
        if (entry.second.callback)
            delivery_.push({entry.second.callback, entry.second.session, CC_ERR_SHUTDOWN, {}});
    }
    delivery_.stop();
    std::lock_guard<std::mutex> lock(lifeMutex_);
    ioThread_ = nullptr;
    stopping_ = false;
}

void Engine::setGateway(const QString &host, quint16 port)
{
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        host_ = host;
        port_ = port;
    }
    std::lock_guard<std::mutex> lock(lifeMutex_);
    if (io_)
        io_->post([this, io = io_] { resetChannels(*io); });
}

void Engine::setTimeouts(int requestMs, int transferMs)
{
    std::lock_guard<std::mutex> lock(pendingMutex_);
    if (requestMs > 0)
        requestTimeoutMs_ = requestMs;
    if (transferMs > 0)
        transferTimeoutMs_ = transferMs;
}

QString Engine::gatewayHost() const
{
    std::lock_guard<std::mutex> lock(pendingMutex_);
    return host_;
}

quint16 Engine::gatewayPort() const
{
    std::lock_guard<std::mutex> lock(pendingMutex_);
    return port_;
}

void Engine::refuse(const SdkSession *session, int code, SdkCallback cb)
{
    if (!cb)
        return;
    ensureStarted();
    SessionCopy copy;
    if (session) {
        // Hand back whatever fits, so the callback can still tell who it was.
        copy.extra = session->extra;
        if (session->deviceUcId)
            copy.deviceUcId =
                QByteArray(session->deviceUcId, int(strnlen(session->deviceUcId, ccwire::kMaxCredential)));
        if (session->deviceId)
            copy.deviceId =
                QByteArray(session->deviceId, int(strnlen(session->deviceId, ccwire::kMaxDeviceId)));
    }
    delivery_.push({cb, copy, code, {}});
}

int Engine::submit(const SdkSession *session, ccwire::Op op, const QByteArray &payload, SdkCallback cb)
{
    SessionCopy copy;
    if (!copySession(session, &copy)) {
        refuse(session, CC_ERR_BAD_ARGUMENT, cb);
        return CC_ERR_BAD_ARGUMENT;
    }
    ensureStarted();
    ccwire::Request request;
    request.op = op;
    request.credential = copy.deviceUcId;
    request.deviceId = copy.deviceId;
    request.payload = payload;
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        if (pending_.size() >= size_t(kMaxPending)) {
            request.id = 0;
        } else {
            while (request.id == 0 || pending_.count(request.id))
                request.id = nextId_++;
            const int timeout = op == ccwire::Op::Transfer ? transferTimeoutMs_ : requestTimeoutMs_;
            pending_[request.id] = Pending{cb, copy, nowMs() + timeout};
        }
    }
    if (request.id == 0) {
        refuse(session, CC_ERR_BUSY, cb);
        return CC_ERR_BUSY;
    }
    const QByteArray frame = ccwire::encode(request);
    const quint32 id = request.id;
    const int channel = int(qHash(copy.deviceId) % kChannels);
    // Posting under the life-cycle mutex keeps the jobs of one caller thread in call order.
    std::lock_guard<std::mutex> lock(lifeMutex_);
    if (!io_) {
        // uninit raced with this call; its sweep has already run.
        complete(id, CC_ERR_SHUTDOWN, {});
        return 0;
    }
    io_->post([this, io = io_, id, channel, frame] { sendOnChannel(*io, id, channel, frame); });
    return 0;
}

// I/O thread.
void Engine::sendOnChannel(IoContext &io, quint32 id, int channel, const QByteArray &frame)
{
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        if (!pending_.count(id))
            return; // timed out before it left
    }
    io.channels[size_t(channel)]->send(id, frame);
    if (!io.timeoutTimer->isActive())
        io.timeoutTimer->start();
}

// Whoever takes the entry out of the map delivers its callback, which is what
// makes every callback run exactly once. Any thread; takes the pending mutex.
void Engine::complete(quint32 id, int code, const QByteArray &data)
{
    Pending entry;
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        auto it = pending_.find(id);
        if (it == pending_.end())
            return;
        entry = std::move(it->second);
        pending_.erase(it);
    }
    if (entry.callback)
        delivery_.push({entry.callback, std::move(entry.session), code, data});
}

void Engine::onResponse(const ccwire::Response &response)
{
    // Success codes carry data; failures only carry the phone's text for the
    // codes that document it.
    complete(response.id, response.code, response.data);
}

void Engine::onChannelFailed(const QList<quint32> &ids, int code)
{
    for (quint32 id : ids)
        complete(id, code, {});
}

// I/O thread.
void Engine::scanTimeouts(IoContext &io)
{
    const qint64 now = nowMs();
    std::vector<quint32> expired;
    bool empty;
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        for (const auto &entry : pending_) {
            if (entry.second.deadline <= now)
                expired.push_back(entry.first);
        }
        empty = pending_.size() == expired.size();
    }
    for (quint32 id : expired) {
        for (RequestChannel *channel : io.channels)
            channel->forget(id);
        complete(id, CC_ERR_TIMEOUT, {});
    }
    if (empty)
        io.timeoutTimer->stop();
}

// I/O thread: the gateway address changed, so the open connections are stale.
void Engine::resetChannels(IoContext &io)
{
    for (RequestChannel *channel : io.channels)
        channel->fail(CC_ERR_CONNECTION_LOST);
}

quint64 Engine::openDisplay(DisplayLink *link)
{
    static std::atomic<quint64> nextId{1};
    const quint64 id = nextId++;
    ensureStarted();
    const QString host = gatewayHost();
    const quint16 port = gatewayPort();
    std::lock_guard<std::mutex> lock(lifeMutex_);
    if (!io_)
        return 0; // cc_core_uninit is running; the link stays idle
    link->moveToThread(ioThread_);
    io_->post([io = io_, id, link, host, port] {
        io->links[id] = link;
        link->start(host, port);
    });
    return id;
}

void Engine::closeDisplay(quint64 id)
{
    std::lock_guard<std::mutex> lock(lifeMutex_);
    if (!io_)
        return;
    io_->post([io = io_, id] {
        auto it = io->links.find(id);
        if (it == io->links.end())
            return;
        delete it->second;
        io->links.erase(it);
    });
}

void Engine::sendDisplayInput(quint64 id, ccwire::InputKind kind, const QByteArray &payload, quint32 seq)
{
    postToLink(id, [kind, payload, seq](DisplayLink &link) { link.sendInput(kind, payload, seq); });
}

void Engine::ackDisplayFrame(quint64 id, quint32 seq)
{
    postToLink(id, [seq](DisplayLink &link) { link.ack(seq); });
}

void Engine::requestKeyframe(quint64 id, quint32 lastGoodSeq)
{
    postToLink(id, [lastGoodSeq](DisplayLink &link) { link.requestKeyframe(lastGoodSeq); });
}

void Engine::postToLink(quint64 id, std::function<void(DisplayLink &)> job)
{
    std::lock_guard<std::mutex> lock(lifeMutex_);
    if (!io_)
        return;
    io_->post([io = io_, id, job = std::move(job)] {
        auto it = io->links.find(id);
        if (it != io->links.end())
            job(*it->second);
    });
}

} // namespace cc
