#include "coreclient/display_link.h"

#include "coreclient/core_client.h"
#include "coreclient/log.h"

#include <QTcpSocket>
#include <QTimer>

namespace cc {

namespace {

// Refusals that another attempt cannot cure.
bool isFinal(int code)
{
    return code == CC_ERR_BAD_CREDENTIAL || code == CC_ERR_EXPIRED_CREDENTIAL ||
           code == CC_ERR_UNKNOWN_PHONE || code == CC_ERR_BAD_ARGUMENT;
}

} // namespace

DisplayLink::DisplayLink(const QByteArray &deviceUcId, const QByteArray &deviceId, bool viewOnly,
                         FrameSink onFrame, StatusSink onStatus)
    : onFrame_(std::move(onFrame)), onStatus_(std::move(onStatus)), deviceUcId_(deviceUcId),
      deviceId_(deviceId), viewOnly_(viewOnly)
{
}

void DisplayLink::start(const QString &host, quint16 port)
{
    host_ = host;
    port_ = port;
    retry_ = new QTimer(this);
    retry_->setSingleShot(true);
    connect(retry_, &QTimer::timeout, this, &DisplayLink::connectNow);
    keepAlive_ = new QTimer(this);
    keepAlive_->setInterval(ccwire::kKeepAliveCheckMs);
    connect(keepAlive_, &QTimer::timeout, this, [this] {
        if (established_ && socket_->state() == QAbstractSocket::ConnectedState &&
            sinceWrite_.hasExpired(ccwire::kKeepAliveMs)) {
            socket_->write(ccwire::encode(ccwire::FrameAck{0}));
            sinceWrite_.start();
        }
    });
    keepAlive_->start();
    connectNow();
}

void DisplayLink::connectNow()
{
    if (socket_) {
        socket_->disconnect(this);
        socket_->abort();
        socket_->deleteLater();
    }
    reader_ = ccwire::FrameReader(ccwire::kMaxGatewayFrame);
    established_ = false;
    framesSeen_ = false;
    socket_ = new QTcpSocket(this);
    connect(socket_, &QTcpSocket::connected, this, &DisplayLink::onConnected);
    connect(socket_, &QTcpSocket::readyRead, this, &DisplayLink::onReadyRead);
    connect(socket_, &QTcpSocket::disconnected, this,
            [this] { onBroken(established_ ? CC_ERR_CONNECTION_LOST : CC_ERR_UNREACHABLE); });
    connect(socket_, &QTcpSocket::errorOccurred, this,
            [this] { onBroken(established_ ? CC_ERR_CONNECTION_LOST : CC_ERR_UNREACHABLE); });
    setStatus(kLinkConnecting);
    socket_->connectToHost(host_, port_);
}

void DisplayLink::onConnected()
{
    established_ = true;
    // Touches and acks are tiny; waiting to batch them would add the peer's
    // delayed-ack time to every input.
    socket_->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    ccwire::DisplayOpen open;
    open.version = version_;
    open.credential = deviceUcId_;
    open.deviceId = deviceId_;
    open.viewOnly = viewOnly_;
    open.maxFps = 60; // what a window can paint; the farm's own cap decides below it
    socket_->write(ccwire::encode(open));
    sinceWrite_.start();
}

void DisplayLink::onReadyRead()
{
    reader_.feed(
        socket_->readAll(), [this](ccwire::Message &message) { return onMessage(message); },
        [this](const QString &error) {
            log(QStringLiteral("display %1: bad frame from gateway: %2")
                    .arg(QLatin1String(deviceId_), error));
            onBroken(CC_ERR_PROTOCOL);
        });
}

bool DisplayLink::onMessage(const ccwire::Message &message)
{
    if (auto *status = std::get_if<ccwire::DisplayStatus>(&message)) {
        if (status->code == CC_ERR_PROTOCOL && version_ != ccwire::kVersionJpeg && !framesSeen_) {
            // A gateway from before H.264 refuses the version it does not know: ask again for JPEG.
            log(QStringLiteral("display %1: gateway knows only JPEG frames").arg(QLatin1String(deviceId_)));
            version_ = ccwire::kVersionJpeg;
            connectNow();
            return false;
        }
        if (status->code == 0)
            backoffMs_ = 0;
        setStatus(status->code);
        if (isFinal(status->code)) {
            finished_ = true;
            socket_->disconnect(this);
            socket_->abort();
            return false;
        }
    } else if (auto *frame = std::get_if<ccwire::Frame>(&message)) {
        if (frame->codec != ccwire::Codec::Jpeg && version_ == ccwire::kVersionJpeg) {
            log(QStringLiteral("display %1: video frame on a JPEG stream").arg(QLatin1String(deviceId_)));
            onBroken(CC_ERR_PROTOCOL);
            return false;
        }
        framesSeen_ = true;
        onFrame_(*frame);
    } else {
        log(QStringLiteral("display %1: unexpected message from gateway").arg(QLatin1String(deviceId_)));
        onBroken(CC_ERR_PROTOCOL);
        return false;
    }
    return true;
}

void DisplayLink::onBroken(int code)
{
    if (finished_ || retry_->isActive())
        return;
    socket_->disconnect(this);
    socket_->abort();
    setStatus(code);
    backoffMs_ = backoffMs_ == 0 ? ccwire::kReconnectFirstMs : qMin(backoffMs_ * 2, ccwire::kReconnectMaxMs);
    retry_->start(backoffMs_);
}

void DisplayLink::sendInput(ccwire::InputKind kind, const QByteArray &payload, quint32 seq)
{
    if (status_ != 0 || !socket_ || viewOnly_)
        return;
    ccwire::Input input;
    input.seq = seq;
    input.kind = kind;
    input.payload = payload;
    socket_->write(ccwire::encode(input));
    sinceWrite_.start();
}

void DisplayLink::ack(quint32 seq)
{
    if (socket_ && socket_->state() == QAbstractSocket::ConnectedState) {
        socket_->write(ccwire::encode(ccwire::FrameAck{seq}));
        sinceWrite_.start();
    }
}

void DisplayLink::requestKeyframe(quint32 lastGoodSeq)
{
    if (version_ != ccwire::kVersionJpeg && status_ == 0 && socket_ &&
        socket_->state() == QAbstractSocket::ConnectedState) {
        socket_->write(ccwire::encode(ccwire::KeyframeRequest{lastGoodSeq}));
        sinceWrite_.start();
    }
}

void DisplayLink::setStatus(int status)
{
    if (status == status_)
        return;
    status_ = status;
    onStatus_(status);
}

} // namespace cc
