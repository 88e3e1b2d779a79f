#include "server/phonefarm/gateway.h"

#include "server/phonefarm/screen.h"
#include "server/phonefarm/video_encoder.h"
#include "wire/codes.h"

#include <QBuffer>
#include <QDateTime>
#include <QImageWriter>
#include <QNetworkAccessManager>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <sys/socket.h>

#include <functional>
#include <mutex>

namespace farm {

namespace {

constexpr int kMaxConnections = 1024;
constexpr qint64 kMaxWriteBacklog = 64 * 1024 * 1024;
// Two frames may be made at once, so a frame showing a fresh input need not
// wait for the encoding of the picture before it.
constexpr int kMaxEncoding = 2;
constexpr int kRefusedLingerMs = 1000; // how long a closing connection drains
constexpr int kStreamPollMs = 8;
constexpr int kStreamJpegQuality = 80;

} // namespace

QByteArray encodeImage(const QImage &image, const char *format, int quality)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    writer.setQuality(quality);
    if (!writer.write(image))
        return {};
    return bytes;
}

// One H.264 stream's encoder and the pictures waiting for it. Workers render
// side by side; each frame refers to the one before, so they are encoded one
// at a time in sequence order. Whoever finds the encoder free encodes every
// picture that is next in line, so no worker waits for another.
struct VideoStream
{
    struct Picture
    {
        QImage image;
        ccwire::Frame frame;
        qint64 timeMs = 0;
    };
    using Done = std::function<void(ccwire::Frame)>;

    VideoStream(int fps, int kbps) : wantKbps(kbps), encoder(fps, kbps) {}

    // Main thread; takes the mutex. The cap for the pictures encoded next.
    void setKbps(int kbps)
    {
        std::lock_guard<std::mutex> lock(mutex);
        wantKbps = kbps;
    }

    // Main thread; takes the mutex. The next picture encoded is a keyframe.
    void wantKeyframe()
    {
        std::lock_guard<std::mutex> lock(mutex);
        keyWanted = true;
    }

    // Worker thread; takes the mutex, never across an encode. Every seq from
    // 1 on is added exactly once (a failed render with a null image).
    void add(quint32 seq, Picture picture, const Done &done)
    {
        std::unique_lock<std::mutex> lock(mutex);
        waiting.emplace(seq, std::move(picture));
        if (encoding)
            return;
        encoding = true;
        while (!waiting.empty() && waiting.begin()->first == next) {
            Picture p = std::move(waiting.begin()->second);
            waiting.erase(waiting.begin());
            ++next;
            const bool key = keyWanted;
            keyWanted = false;
            const int kbps = wantKbps;
            lock.unlock();
            encoder.setMaxKbps(kbps);
            bool isKey = false;
            if (!p.image.isNull())
                p.frame.data = encoder.encode(p.image, p.timeMs, key, &isKey);
            p.frame.keyframe = isKey;
            done(std::move(p.frame));
            lock.lock();
        }
        encoding = false;
    }

    std::mutex mutex; // guards all but the encoder
    std::map<quint32, Picture> waiting;
    quint32 next = 1;
    bool encoding = false; // a worker owns the encoder
    bool keyWanted = false;
    int wantKbps;
    VideoEncoder encoder;
};

Gateway::Gateway(Farm *farm, QObject *parent)
    : QObject(parent), farm_(farm), pool_(qMax(2, QThread::idealThreadCount())),
      network_(new QNetworkAccessManager(this))
{
    network_->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    connect(&server_, &QTcpServer::newConnection, this, &Gateway::onNewConnection);
}

bool Gateway::listen(const QHostAddress &address, quint16 port)
{
    return server_.listen(address, port);
}

void Gateway::onNewConnection()
{
    while (QTcpSocket *socket = server_.nextPendingConnection()) {
        if (connections_ >= kMaxConnections) {
            qWarning("gateway: connection limit reached, refusing %s",
                     qPrintable(socket->peerAddress().toString()));
            socket->abort();
            socket->deleteLater();
            continue;
        }
        ++connections_;
        auto *connection = new Connection(this, socket);
        connect(connection, &QObject::destroyed, this, [this] { --connections_; });
    }
}

Connection::Connection(Gateway *gateway, QTcpSocket *socket)
    : QObject(gateway), gateway_(gateway), socket_(socket)
{
    socket_->setParent(this);
    socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(socket_, &QTcpSocket::readyRead, this, &Connection::onReadyRead);
    connect(socket_, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    connect(socket_, &QTcpSocket::errorOccurred, this, &QObject::deleteLater);
    // A silent peer only holds one of the limited connections. A request
    // connection waiting for answers being prepared is not silent.
    const int idleMs = gateway_->farm()->options().idleMs;
    idle_ = new QTimer(this);
    idle_->setSingleShot(true);
    idle_->setInterval(idleMs);
    connect(idle_, &QTimer::timeout, this, [this, idleMs] {
        if (!draining_.isEmpty())
            kill(draining_);
        else if (busy_ > 0)
            idle_->start();
        else if (mode_ == Mode::Requests)
            closeIdle();
        else
            kill(QStringLiteral("silent for %1 ms").arg(idleMs));
    });
    idle_->start();
}

Connection::~Connection()
{
    *live_ = false;
}

void Connection::kill(const QString &reason)
{
    qWarning("gateway: closing connection from %s:%u: %s", qPrintable(socket_->peerAddress().toString()),
             socket_->peerPort(), qPrintable(reason));
    socket_->disconnect(this);
    socket_->abort();
    deleteLater();
}

// A peer whose first request is refused gets that answer and the end of the
// stream at once.
void Connection::closeRefused()
{
    drainThenClose(QStringLiteral("credential refused"));
}

// A request sent while the idle limit runs out would otherwise be lost
// unanswered. The notice tells the peer that nothing after the last answer
// was carried out, so it can send that again on a new connection.
void Connection::closeIdle()
{
    write(ccwire::Response{ccwire::kIdleNoticeId, CC_ERR_TIMEOUT, QByteArray()});
    drainThenClose(QStringLiteral("silent for %1 ms").arg(gateway_->farm()->options().idleMs));
}

// Ends our side of the stream. What the peer sent after is read and dropped
// rather than left unread, which would reset the connection and could lose
// the last answer.
void Connection::drainThenClose(const QString &reason)
{
    draining_ = reason;
    reader_ = ccwire::FrameReader(ccwire::kMaxClientFrame);
    socket_->flush();
    if (socket_->bytesToWrite() > 0 || ::shutdown(int(socket_->socketDescriptor()), SHUT_WR) != 0) {
        kill(reason);
        return;
    }
    idle_->start(qMin(gateway_->farm()->options().idleMs, kRefusedLingerMs));
}

void Connection::write(const ccwire::Message &message)
{
    if (socket_->state() != QAbstractSocket::ConnectedState)
        return;
    if (socket_->bytesToWrite() > kMaxWriteBacklog) {
        kill(QStringLiteral("peer does not read its answers"));
        return;
    }
    socket_->write(ccwire::encode(message));
}

void Connection::reply(quint32 id, int code, const QByteArray &data)
{
    write(ccwire::Response{id, code, data});
}

void Connection::onReadyRead()
{
    if (!draining_.isEmpty()) {
        socket_->readAll();
        return;
    }
    // Until its first frame is whole, trickled bytes do not keep a connection open.
    if (mode_ != Mode::Unknown)
        idle_->start();
    reader_.feed(
        socket_->readAll(),
        [this](ccwire::Message &message) {
            if (auto *request = std::get_if<ccwire::Request>(&message)) {
                if (mode_ == Mode::Display) {
                    kill(QStringLiteral("request on a display connection"));
                    return false;
                }
                const bool first = mode_ == Mode::Unknown;
                mode_ = Mode::Requests;
                idle_->start();
                if (!handleRequest(*request) && first) {
                    closeRefused();
                    return false;
                }
            } else if (auto *open = std::get_if<ccwire::DisplayOpen>(&message)) {
                if (mode_ != Mode::Unknown) {
                    kill(QStringLiteral("display open on a used connection"));
                    return false;
                }
                mode_ = Mode::Display;
                idle_->start();
                handleDisplayOpen(*open);
            } else if (auto *input = std::get_if<ccwire::Input>(&message)) {
                if (mode_ != Mode::Display) {
                    kill(QStringLiteral("input outside a display connection"));
                    return false;
                }
                handleInput(*input);
            } else if (auto *ack = std::get_if<ccwire::FrameAck>(&message)) {
                if (mode_ != Mode::Display) {
                    kill(QStringLiteral("frame ack outside a display connection"));
                    return false;
                }
                handleAck(*ack);
            } else if (std::holds_alternative<ccwire::KeyframeRequest>(message)) {
                if (mode_ != Mode::Display || version_ < ccwire::kVersion) {
                    kill(QStringLiteral("keyframe request outside a version %1 display")
                             .arg(ccwire::kVersion));
                    return false;
                }
                handleKeyframeRequest();
            } else {
                kill(QStringLiteral("gateway message sent by a client"));
                return false;
            }
            return socket_->state() == QAbstractSocket::ConnectedState;
        },
        [this](const QString &error) { kill(QStringLiteral("malformed frame: %1").arg(error)); });
}

void Connection::handleDisplayOpen(const ccwire::DisplayOpen &open)
{
    if (open.version != ccwire::kVersionJpeg && open.version != ccwire::kVersion) {
        sendStatus(CC_ERR_PROTOCOL);
        socket_->disconnectFromHost();
        return;
    }
    version_ = open.version;
    int code = 0;
    deviceId_ = open.deviceId;
    phone_ = gateway_->farm()->open(open.credential, open.deviceId, &viewOnly_, &code, &generation_);
    if (!phone_) {
        sendStatus(code);
        socket_->disconnectFromHost();
        return;
    }
    viewOnly_ = viewOnly_ || open.viewOnly;
    if (KeptFrames *kept = gateway_->farm()->keptFrames())
        keep_ = {kept, deviceId_, kept->open(deviceId_)};
    const int fps = qBound(1, qMin(int(open.maxFps), gateway_->farm()->options().maxFps), 60);
    pacer_ = FramePacer(1000.0 / fps);
    // A version 1 client knows only JPEG.
    if (version_ >= ccwire::kVersion && gateway_->farm()->options().h264) {
        video_ = std::make_shared<VideoStream>(fps, gateway_->farm()->options().videoKbps);
        rate_.emplace(gateway_->farm()->options().videoKbps, fps);
    }
    tick_ = new QTimer(this);
    tick_->setInterval(kStreamPollMs);
    connect(tick_, &QTimer::timeout, this, &Connection::streamTick);
    tick_->start();
    due_ = new QTimer(this);
    due_->setSingleShot(true);
    due_->setTimerType(Qt::PreciseTimer);
    connect(due_, &QTimer::timeout, this, &Connection::streamTick);
    streamTick();
}

bool Connection::stillAllowed()
{
    if (gateway_->farm()->current(deviceId_, generation_))
        return true;
    sendStatus(CC_ERR_EXPIRED_CREDENTIAL);
    phone_.reset();
    drainThenClose(QStringLiteral("credential voided"));
    return false;
}

void Connection::sendStatus(int code)
{
    lastStatus_ = code;
    write(ccwire::DisplayStatus{code});
}

void Connection::handleInput(const ccwire::Input &input)
{
    if (!phone_ || !stillAllowed())
        return;
    if (viewOnly_) {
        if (ignoredInputs_++ == 0)
            qWarning("gateway: input on a view-only display of %s ignored", deviceId_.constData());
        return;
    }
    ccwire::Touch touch;
    const bool move = input.kind == ccwire::InputKind::TouchMove;
    if (!ccwire::parseTouchPayload(input.payload, &touch) ||
        (touch.action == ccwire::TouchAction::Move) != move) {
        kill(QStringLiteral("malformed touch"));
        return;
    }
    const qint64 now = monotonicMs();
    if (phone_->status(now) != 1)
        return;
    phone_->touch(touch, now);
    inputSeq_ = input.seq;
    using Input = FramePacer::Input;
    unshown_ = move && unshown_ != Input::Discrete ? Input::Move : Input::Discrete;
    streamTick();
}

void Connection::handleAck(const ccwire::FrameAck &ack)
{
    if (ack.seq == 0 || ack.seq > frameSeq_)
        return;
    const qint64 now = monotonicMs();
    int bytes = 0;
    const qint64 delay = pacer_.acked(ack.seq, now, &bytes);
    if (rate_ && delay >= 0) {
        // The link's queue decides the stream's bitrate and frame rate.
        const int fps = rate_->fps();
        rate_->onAck(delay, bytes, now);
        video_->setKbps(rate_->kbps());
        if (rate_->fps() != fps)
            pacer_.setInterval(1000.0 / rate_->fps());
    }
    streamTick();
}

// Main thread: the client lost its place in the stream; it acknowledges
// what it could not decode, so the window stays open for the keyframe.
void Connection::handleKeyframeRequest()
{
    if (!video_)
        return;
    video_->wantKeyframe();
    force_ = true;
    streamTick();
}

// Main thread: makes a frame when the picture changed and the pacer lets it
// go; an input makes one at once rather than at the next poll.
void Connection::streamTick()
{
    if (!phone_ || encoding_ >= kMaxEncoding || !stillAllowed())
        return;
    const qint64 now = monotonicMs();
    if (phone_->status(now) != 1) {
        if (lastStatus_ != CC_ERR_REBOOTING)
            sendStatus(CC_ERR_REBOOTING);
        return;
    }
    if (lastStatus_ != 0) {
        sendStatus(0);
        force_ = true;
        if (video_)
            video_->wantKeyframe();
    }
    const qint64 wait = pacer_.wait(now, unshown_);
    if (wait < 0)
        return; // the window is full; the next ack calls again
    const quint64 key = phone_->visualKey(now);
    if (!force_ && key == lastKey_)
        return;
    if (wait > 0) {
        if (!due_->isActive())
            due_->start(int(wait));
        return;
    }
    due_->stop();
    force_ = false;
    lastKey_ = key;
    pacer_.made(now, unshown_);
    unshown_ = FramePacer::Input::None;
    ++encoding_;
    PhoneState state = phone_->snapshot(now);
    const quint32 seq = ++frameSeq_;
    const quint32 inputAck = inputSeq_;
    QPointer<Connection> self(this);
    const KeepSlot keep = keep_;
    gateway_->pool()->submit(
        [gateway = gateway_, self, video = video_, state = std::move(state), now, seq, inputAck, keep] {
            const QSize screen = state.screenSize();
            ccwire::Frame frame;
            frame.seq = seq;
            frame.inputAck = inputAck;
            frame.width = quint16(screen.width());
            frame.height = quint16(screen.height());
            frame.rotation = quint8(state.rotation());
            frame.renderedAtUs = quint64(QDateTime::currentMSecsSinceEpoch()) * 1000;
            auto done = [gateway, self](ccwire::Frame made) {
                gateway->mainQueue()->post([self, made = std::move(made)]() mutable {
                    if (self)
                        self->frameDone(std::move(made));
                });
            };
            const QImage picture = renderScreen(state, now, screen);
            keep(seq, picture);
            if (video) {
                frame.codec = ccwire::Codec::H264;
                video->add(seq, {picture, std::move(frame), now}, done);
                return;
            }
            frame.data = encodeImage(picture, "jpeg", kStreamJpegQuality);
            done(std::move(frame));
        });
}

// Main thread: frames go out in the order they were made, whichever encoding
// finished first.
void Connection::frameDone(ccwire::Frame frame)
{
    --encoding_;
    done_.emplace(frame.seq, std::move(frame));
    while (!done_.empty() && done_.begin()->first == nextWrite_) {
        const ccwire::Frame &next = done_.begin()->second;
        if (next.data.isEmpty()) {
            // Never made: the encoder starts its next frame afresh, and that
            // one goes even if the picture stays still.
            pacer_.dropped();
            force_ = true;
        } else {
            write(next);
            pacer_.sent(next.seq, monotonicMs(), next.data.size());
        }
        done_.erase(done_.begin());
        ++nextWrite_;
    }
    if (socket_->state() == QAbstractSocket::ConnectedState)
        streamTick();
}

} // namespace farm
