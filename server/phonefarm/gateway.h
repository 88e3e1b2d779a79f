#pragma once

// The phone gateway: accepts core-client connections, checks credentials and
// answers requests; display connections get a stream of H.264 or JPEG
// frames. Sockets and phone input run on the main thread; rendering and
// encoding run on a worker pool.

#include "server/phonefarm/bitrate_controller.h"
#include "server/phonefarm/farm.h"
#include "server/phonefarm/frame_pacer.h"
#include "server/phonefarm/kept_frames.h"
#include "server/phonefarm/worker_pool.h"
#include "wire/job_queue.h"
#include "wire/wire.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTcpServer>

#include <atomic>
#include <map>
#include <memory>
#include <optional>

class QImage;
class QNetworkAccessManager;
class QTcpSocket;
class QTimer;

namespace farm {

class Gateway;
struct VideoStream;

// A picture as JPEG or PNG at that quality (-1: the format's default); empty
// when encoding fails. Any thread.
QByteArray encodeImage(const QImage &image, const char *format, int quality);

class Connection : public QObject
{
    Q_OBJECT
public:
    Connection(Gateway *gateway, QTcpSocket *socket);
    ~Connection() override;

    // Main thread. Writes one answer if the connection is still open.
    void reply(quint32 id, int code, const QByteArray &data);

private:
    enum class Mode
    {
        Unknown,
        Requests,
        Display
    };

    void onReadyRead();
    void kill(const QString &reason);
    void closeRefused();
    void closeIdle();
    void drainThenClose(const QString &reason);
    // Returns false when the credential was refused (the answer is sent).
    bool handleRequest(const ccwire::Request &request);
    void carryOut(const ccwire::Request &request, const std::shared_ptr<Phone> &phone, bool viewOnly);
    void handleDisplayOpen(const ccwire::DisplayOpen &open);
    void handleInput(const ccwire::Input &input);
    void handleAck(const ccwire::FrameAck &ack);
    void handleKeyframeRequest();
    void startTransfer(quint32 id, const std::shared_ptr<Phone> &phone, const QByteArray &payload);
    void renderAsync(quint32 id, const std::shared_ptr<Phone> &phone, ccwire::Op op,
                     const QByteArray &payload, const QByteArray &owner);
    void streamTick();
    void frameDone(ccwire::Frame frame);
    void sendStatus(int code);
    // Display mode: false, with the connection ending, once the provider has voided its credential.
    bool stillAllowed();
    void write(const ccwire::Message &message);

    Gateway *gateway_;
    QTcpSocket *socket_;
    // False once the connection is gone: its renders still waiting are dropped.
    std::shared_ptr<std::atomic<bool>> live_ = std::make_shared<std::atomic<bool>>(true);
    ccwire::FrameReader reader_{ccwire::kMaxClientFrame};
    Mode mode_ = Mode::Unknown;
    int busy_ = 0; // answers being prepared off the main thread
    QTimer *idle_ = nullptr;
    QString draining_; // why the connection ends; reads are dropped until the peer closes

    // Display mode.
    QByteArray deviceId_;
    std::shared_ptr<Phone> phone_;
    bool viewOnly_ = false;
    qint64 generation_ = 0;
    quint16 version_ = 0;
    KeepSlot keep_;                         // test mode
    std::shared_ptr<VideoStream> video_;    // set when the stream is H.264
    std::optional<BitrateController> rate_; // with video_
    FramePacer pacer_;
    int encoding_ = 0;                      // frames being made on the pool
    std::map<quint32, ccwire::Frame> done_; // made out of order, waiting for earlier ones
    quint32 nextWrite_ = 1;
    bool force_ = true;
    int lastStatus_ = 1;
    quint64 lastKey_ = 0;
    quint32 frameSeq_ = 0;
    quint32 inputSeq_ = 0;
    FramePacer::Input unshown_ = FramePacer::Input::None; // inputs since the last frame was made
    int ignoredInputs_ = 0;
    QTimer *tick_ = nullptr;
    QTimer *due_ = nullptr; // fires when pacing lets a waiting frame go
};

class Gateway : public QObject
{
    Q_OBJECT
public:
    Gateway(Farm *farm, QObject *parent = nullptr);

    bool listen(const QHostAddress &address, quint16 port);
    quint16 port() const { return server_.serverPort(); }
    QString errorString() const { return server_.errorString(); }

    Farm *farm() const { return farm_; }
    WorkerPool *pool() { return &pool_; }
    // Jobs that workers hand back to the main thread.
    cc::JobQueue *mainQueue() { return &main_; }
    QNetworkAccessManager *network() const { return network_; }

private:
    void onNewConnection();

    Farm *farm_;
    QTcpServer server_;
    cc::JobQueue main_; // outlives the pool, whose last jobs may still post here
    WorkerPool pool_;
    QNetworkAccessManager *network_;
    int connections_ = 0;
};

} // namespace farm
