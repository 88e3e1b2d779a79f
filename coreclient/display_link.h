#pragma once

// One connected window's display stream: its own gateway connection, which
// receives frames and carries the window's touches. Reconnects with back-off
// when the gateway goes away; gives up on a refused credential.

#include "wire/wire.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <functional>

class QTcpSocket;
class QTimer;

namespace cc {

// Status values besides 0 (streaming) and the negative CC_ERR_* codes.
constexpr int kLinkConnecting = 1;

class DisplayLink : public QObject
{
public:
    // Both sinks are called on the I/O thread; they hand frames and status
    // changes on to whoever shows them.
    using FrameSink = std::function<void(const ccwire::Frame &)>;
    using StatusSink = std::function<void(int)>;

    DisplayLink(const QByteArray &deviceUcId, const QByteArray &deviceId, bool viewOnly, FrameSink onFrame,
                StatusSink onStatus);

    // I/O thread only, from here on.
    void start(const QString &host, quint16 port);
    void sendInput(ccwire::InputKind kind, const QByteArray &payload, quint32 seq);
    void ack(quint32 seq);
    // The H.264 decoder lost its place; lastGoodSeq is the last frame it decoded.
    void requestKeyframe(quint32 lastGoodSeq);

private:
    void connectNow();
    void onConnected();
    void onReadyRead();
    // One message of the gateway; false ends this read.
    bool onMessage(const ccwire::Message &message);
    void onBroken(int code);
    void setStatus(int status);

    FrameSink onFrame_;
    StatusSink onStatus_;
    QByteArray deviceUcId_;
    QByteArray deviceId_;
    bool viewOnly_;
    QString host_;
    quint16 port_ = 0;
    QTcpSocket *socket_ = nullptr;
    QTimer *retry_ = nullptr;
    QTimer *keepAlive_ = nullptr;
    QElapsedTimer sinceWrite_; // started at the last write on the current connection
    ccwire::FrameReader reader_{ccwire::kMaxGatewayFrame};
    int backoffMs_ = 0;
    quint16 version_ = ccwire::kVersion; // lowered for good once a gateway refuses it
    bool framesSeen_ = false;            // on the current connection
    int status_ = kLinkConnecting;
    bool established_ = false; // TCP connected on the current attempt
    bool finished_ = false;    // refused for good; no more attempts
};

} // namespace cc
