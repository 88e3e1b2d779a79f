// The H.264 display stream: codec negotiation with old and new peers, recovery
// from damaged or missing frames and reconnections, rotation, and flow control.
// Scripted streams come from a gateway of the test's own, encoded with the
// farm's encoder; the rest runs against a real farm.

#include "coreclient/core_client.h"
#include "server/phonefarm/video_encoder.h"
#include "tests/coreclient/request_helpers.h"
#include "tests/coreclient/surface.h"
#include "tests/support/farmharness.h"
#include "wire/wire.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QImageWriter>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QWidget>
#include <QtEndian>
#include <QtTest>

#include <functional>
#include <utility>

using harness::Surface;

namespace {

constexpr int kW = 360, kH = 640;

QImage solid(QColor colour, int w = kW, int h = kH)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

QByteArray jpeg(const QImage &image)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter(&buffer, "jpeg").write(image);
    return bytes;
}

bool near(QRgb a, QColor b)
{
    return qAbs(qRed(a) - b.red()) < 24 && qAbs(qGreen(a) - b.green()) < 24 && qAbs(qBlue(a) - b.blue()) < 24;
}

// A gateway of the test's own: it answers the display handshake as told and
// records what the client sends. Test thread.
class FakeGateway : public QObject
{
public:
    explicit FakeGateway(bool jpegOnly = false) : jpegOnly_(jpegOnly)
    {
        server_.listen(QHostAddress::LocalHost);
        connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *s = server_.nextPendingConnection()) {
                if (peer_)
                    peer_->abort();
                peer_ = s;
                reader_ = ccwire::FrameReader(ccwire::kMaxClientFrame);
                ++connections;
                connect(s, &QTcpSocket::readyRead, this, [this, s] { read(s); });
            }
        });
    }
    quint16 port() const { return server_.serverPort(); }

    void send(const ccwire::Message &m)
    {
        if (peer_)
            peer_->write(ccwire::encode(m));
    }
    void drop()
    {
        if (peer_)
            peer_->abort();
        peer_ = nullptr;
    }

    std::function<void(quint16 version)> onOpen;
    std::function<void(const ccwire::KeyframeRequest &)> onKeyRequest;
    std::function<void(quint32)> onAck;
    QList<quint16> opens;
    QList<quint32> acks;
    QList<quint32> keyRequests; // their last good seq
    int connections = 0;

private:
    void read(QTcpSocket *s)
    {
        if (s != peer_)
            return;
        reader_.append(s->readAll());
        ccwire::Message m;
        QString error;
        while (reader_.nextMessage(&m, &error) == ccwire::FrameReader::Result::Frame) {
            if (auto *open = std::get_if<ccwire::DisplayOpen>(&m)) {
                opens.append(open->version);
                // As a gateway from before H.264 did: any other version is refused.
                if (jpegOnly_ && open->version != ccwire::kVersionJpeg) {
                    send(ccwire::DisplayStatus{CC_ERR_PROTOCOL});
                    s->disconnectFromHost();
                    return;
                }
                send(ccwire::DisplayStatus{0});
                if (onOpen)
                    onOpen(open->version);
            } else if (auto *ack = std::get_if<ccwire::FrameAck>(&m)) {
                if (ack->seq == 0)
                    continue;
                acks.append(ack->seq);
                if (onAck)
                    onAck(ack->seq);
            } else if (auto *key = std::get_if<ccwire::KeyframeRequest>(&m)) {
                keyRequests.append(key->lastGoodSeq);
                if (onKeyRequest)
                    onKeyRequest(*key);
            }
            if (s != peer_)
                return;
        }
    }

    bool jpegOnly_;
    QTcpServer server_;
    QTcpSocket *peer_ = nullptr;
    ccwire::FrameReader reader_{ccwire::kMaxClientFrame};
};

ccwire::Frame videoFrame(quint32 seq, farm::VideoEncoder &encoder, QColor colour, bool key = false)
{
    ccwire::Frame f;
    f.seq = seq;
    f.width = kW;
    f.height = kH;
    f.codec = ccwire::Codec::H264;
    f.data = encoder.encode(solid(colour), seq * 33, key, &f.keyframe);
    return f;
}

ccwire::Frame jpegFrame(quint32 seq, QColor colour)
{
    ccwire::Frame f;
    f.seq = seq;
    f.width = kW;
    f.height = kH;
    f.data = jpeg(solid(colour));
    return f;
}

QList<quint32> seqs(const QSignalSpy &spy)
{
    QList<quint32> out;
    for (const auto &args : spy)
        out.append(args.at(0).toUInt());
    return out;
}

// A raw display client: frames in, acks out only when the test says.
struct RawDisplay
{
    QTcpSocket socket;
    ccwire::FrameReader reader{ccwire::kMaxGatewayFrame};
    QList<ccwire::Frame> frames;
    QList<ccwire::DisplayStatus> statuses;

    bool open(quint16 port, const QByteArray &phone, quint16 version)
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(10000))
            return false;
        send(ccwire::DisplayOpen{version, harness::credential(phone), phone, false, 30});
        return true;
    }
    void send(const ccwire::Message &m)
    {
        socket.write(ccwire::encode(m));
        socket.flush();
    }
    // Reads for up to `ms` until `count` frames came; false once the gateway closed.
    bool waitFrames(int count, int ms)
    {
        QElapsedTimer waited;
        waited.start();
        while (frames.size() < count && waited.elapsed() < ms) {
            if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(50)) {
                if (socket.state() != QAbstractSocket::ConnectedState)
                    return false;
                continue;
            }
            reader.append(socket.readAll());
            ccwire::Message m;
            QString error;
            while (reader.nextMessage(&m, &error) == ccwire::FrameReader::Result::Frame) {
                if (auto *f = std::get_if<ccwire::Frame>(&m))
                    frames.append(*f);
                else if (auto *st = std::get_if<ccwire::DisplayStatus>(&m))
                    statuses.append(*st);
            }
        }
        return frames.size() >= count;
    }
};

} // namespace

class TestCoreClientVideo : public QObject
{
    Q_OBJECT

    harness::Farm farm;

    int shell(const QByteArray &phone, const QByteArray &command)
    {
        return harness::run(harness::credential(phone), phone,
                            [&](SdkSession *s, SdkCallback cb) {
                                return cc_core_send_adb_command_msg_tob(s, command.constData(), cb, 0);
                            })
            .code;
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(farm.start(), "pelomir-phonefarm did not start");
        QTemporaryDir logs;
        cc_core_init(QDir(logs.path()).filePath(QStringLiteral("log")).toLocal8Bit().constData());
    }
    void cleanupTestCase() { cc_core_uninit(); }
    void init() { cc_core_set_gateway("127.0.0.1", farm.port); }

    // A client that knows only JPEG gets JPEG from the farm and may not ask
    // for keyframes; a new client gets H.264 unless the farm is told JPEG.
    void farmNegotiatesCodec()
    {
        const QByteArray phone = "PMNEGO0001";
        QCOMPARE(shell(phone, "monkey -p com.pmapps.racer 1"), 0);
        RawDisplay old;
        QVERIFY(old.open(farm.port, phone, ccwire::kVersionJpeg));
        QVERIFY(old.waitFrames(2, 30000));
        for (const auto &f : old.frames) {
            QCOMPARE(int(f.codec), int(ccwire::Codec::Jpeg));
            QVERIFY(f.data.startsWith("\xff\xd8"));
        }
        old.send(ccwire::KeyframeRequest{1});
        QTRY_COMPARE_WITH_TIMEOUT(old.socket.state(), QAbstractSocket::UnconnectedState, 20000);

        RawDisplay fresh;
        QVERIFY(fresh.open(farm.port, phone, ccwire::kVersion));
        QVERIFY(fresh.waitFrames(1, 30000));
        QCOMPARE(int(fresh.frames[0].codec), int(ccwire::Codec::H264));
        QVERIFY(fresh.frames[0].keyframe);

        // A version the farm does not know is refused with the protocol code, so its client can fall back.
        RawDisplay future;
        QVERIFY(future.open(farm.port, phone, ccwire::kVersion + 1));
        QVERIFY(!future.waitFrames(1, 20000));
        QCOMPARE(future.statuses.size(), 1);
        QCOMPARE(future.statuses[0].code, int(CC_ERR_PROTOCOL));

        harness::Farm jpegFarm;
        QVERIFY(jpegFarm.start({QStringLiteral("--display-codec"), QStringLiteral("jpeg")}));
        RawDisplay told;
        QVERIFY(told.open(jpegFarm.port, phone, ccwire::kVersion));
        QVERIFY(told.waitFrames(1, 30000));
        QCOMPARE(int(told.frames[0].codec), int(ccwire::Codec::Jpeg));
    }

    // The library against a gateway from before H.264: refused once, it asks
    // again for JPEG and paints it.
    void libraryFallsBackToJpeg()
    {
        FakeGateway old(true);
        old.onOpen = [&old](quint16) { old.send(jpegFrame(1, Qt::red)); };
        cc_core_set_gateway("127.0.0.1", old.port());
        Surface surface;
        QWidget *child = surface.connectPhone("PMOLDGW001");
        QVERIFY(child);
        QSignalSpy painted(child, SIGNAL(framePainted(quint32, quint32, qint64)));
        QVERIFY(painted.wait(30000));
        QCOMPARE(old.opens, (QList<quint16>{ccwire::kVersion, ccwire::kVersionJpeg}));
        QCOMPARE(old.connections, 2);
        QVERIFY(near(surface.centre(), Qt::red));
        QTRY_COMPARE(old.acks, QList<quint32>{1});
        // A video frame on the JPEG stream is a broken gateway: the link drops it and reconnects.
        QSignalSpy status(child, SIGNAL(statusChanged(int)));
        farm::VideoEncoder encoder(30);
        old.send(videoFrame(2, encoder, Qt::green, true));
        QVERIFY(status.wait(20000));
        QCOMPARE(status.first().at(0).toInt(), int(CC_ERR_PROTOCOL));
        QTRY_COMPARE_WITH_TIMEOUT(old.connections, 3, 20000);
        QCOMPARE(old.opens.last(), ccwire::kVersionJpeg);
        QCOMPARE(seqs(painted), QList<quint32>{1});
        cc_core_close_phone(surface.winId());
    }

    // A damaged frame and a missing one: neither they nor the frames that
    // refer to them are painted; the library asks for a keyframe each time,
    // acknowledges everything, and paints again from the keyframe.
    void damagedAndMissingFrames()
    {
        FakeGateway gw;
        farm::VideoEncoder encoder(30);
        gw.onOpen = [&](quint16 version) {
            QCOMPARE(version, ccwire::kVersion);
            gw.send(videoFrame(1, encoder, Qt::red, true));
            gw.send(videoFrame(2, encoder, Qt::red));
            ccwire::Frame damaged = videoFrame(3, encoder, Qt::green);
            damaged.data.truncate(damaged.data.size() / 2);
            gw.send(damaged);
            gw.send(videoFrame(4, encoder, Qt::green)); // refers to the damaged one
        };
        // Each answered once: a request repeated while its answer is on the way changes nothing.
        bool answered2 = false, answered5 = false;
        gw.onKeyRequest = [&](const ccwire::KeyframeRequest &request) {
            if (request.lastGoodSeq == 2 && !std::exchange(answered2, true)) {
                gw.send(videoFrame(5, encoder, Qt::blue, true));
                videoFrame(6, encoder, Qt::white); // made, never sent
                gw.send(videoFrame(7, encoder, Qt::yellow));
            } else if (request.lastGoodSeq == 5 && !std::exchange(answered5, true)) {
                gw.send(videoFrame(8, encoder, Qt::yellow, true));
            }
        };
        cc_core_set_gateway("127.0.0.1", gw.port());
        Surface surface;
        QWidget *child = surface.connectPhone("PMDAMAGE01");
        QVERIFY(child);
        QSignalSpy painted(child, SIGNAL(framePainted(quint32, quint32, qint64)));
        QTRY_VERIFY_WITH_TIMEOUT(seqs(painted).contains(8), 30000);
        QVERIFY(gw.keyRequests.contains(2) && gw.keyRequests.contains(5));
        for (quint32 lastGood : gw.keyRequests)
            QVERIFY(lastGood == 2 || lastGood == 5);
        for (quint32 seq : seqs(painted))
            QVERIFY2(seq == 1 || seq == 2 || seq == 5 || seq == 8, qPrintable(QString::number(seq)));
        QVERIFY(near(surface.centre(), Qt::yellow));
        QTRY_COMPARE(gw.acks.size(), 7);
        for (quint32 seq : {1, 2, 3, 4, 5, 7, 8})
            QVERIFY(gw.acks.contains(seq));
        cc_core_close_phone(surface.winId());
    }

    // Bytes that are no H.264 at all, even marked as a keyframe, are refused
    // and asked again for; a frame the wire codec refuses drops the connection.
    void malformedCodecData()
    {
        FakeGateway gw;
        farm::VideoEncoder encoder(30);
        int keyRequests = 0;
        gw.onOpen = [&](quint16) {
            auto *rng = QRandomGenerator::global();
            for (quint32 seq = 1; seq <= 20; ++seq) {
                ccwire::Frame f;
                f.seq = seq;
                f.width = kW;
                f.height = kH;
                f.codec = ccwire::Codec::H264;
                f.keyframe = seq % 2;
                f.data.resize(int(rng->bounded(1, 4000)));
                for (char &c : f.data)
                    c = char(rng->bounded(256));
                if (seq % 5 == 0)
                    f.data.prepend(QByteArray::fromHex("0000000167"),
                                   5); // a parameter set's start, then noise
                gw.send(f);
            }
        };
        gw.onKeyRequest = [&](const ccwire::KeyframeRequest &) {
            if (++keyRequests == 2)
                gw.send(videoFrame(21, encoder, Qt::blue, true));
        };
        cc_core_set_gateway("127.0.0.1", gw.port());
        Surface surface;
        QWidget *child = surface.connectPhone("PMGARBLE01");
        QVERIFY(child);
        QSignalSpy painted(child, SIGNAL(framePainted(quint32, quint32, qint64)));
        QVERIFY(painted.wait(30000));
        QCOMPARE(seqs(painted), QList<quint32>{21});
        QVERIFY(near(surface.centre(), Qt::blue));
        QTRY_COMPARE(gw.acks.size(), 21);
        // A picture whose size does not match its frame is refused too.
        ccwire::Frame wrongSize = videoFrame(22, encoder, Qt::red, true);
        wrongSize.width = kW / 2;
        gw.send(wrongSize);
        QTRY_COMPARE(gw.acks.size(), 22);
        QCOMPARE(painted.size(), 1);

        // Odd sides are not a 4:2:0 picture: the link drops the connection and comes back.
        QSignalSpy status(child, SIGNAL(statusChanged(int)));
        ccwire::Frame odd = videoFrame(23, encoder, Qt::red, true);
        odd.width = kW - 1;
        gw.onOpen = [&](quint16) { gw.send(videoFrame(1, encoder, Qt::green, true)); };
        const int before = gw.connections;
        gw.send(odd);
        QVERIFY(status.wait(20000));
        QCOMPARE(status.first().at(0).toInt(), int(CC_ERR_PROTOCOL));
        QTRY_VERIFY_WITH_TIMEOUT(gw.connections > before, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(near(surface.centre(), Qt::green), 20000);
        cc_core_close_phone(surface.winId());
    }

    // After a reconnection the decoder starts afresh: a first frame that is
    // not a keyframe is not painted, and a keyframe is asked for.
    void reconnectStartsFromKeyframe()
    {
        FakeGateway gw;
        farm::VideoEncoder encoder(30);
        gw.onOpen = [&](quint16) {
            if (gw.connections == 1) {
                gw.send(videoFrame(1, encoder, Qt::red, true));
                gw.send(videoFrame(2, encoder, Qt::red));
            } else {
                // Carries on the old connection's stream, as a confused gateway might.
                gw.send(videoFrame(1, encoder, Qt::green));
            }
        };
        bool answered = false;
        gw.onKeyRequest = [&](const ccwire::KeyframeRequest &request) {
            if (request.lastGoodSeq == 0 && !std::exchange(answered, true))
                gw.send(videoFrame(5, encoder, Qt::blue, true));
        };
        cc_core_set_gateway("127.0.0.1", gw.port());
        Surface surface;
        QWidget *child = surface.connectPhone("PMRECON001");
        QVERIFY(child);
        QSignalSpy painted(child, SIGNAL(framePainted(quint32, quint32, qint64)));
        QTRY_VERIFY_WITH_TIMEOUT(seqs(painted).contains(2), 30000);
        QVERIFY(near(surface.centre(), Qt::red));
        painted.clear();
        QSignalSpy status(child, SIGNAL(statusChanged(int)));
        gw.drop();
        QVERIFY(status.wait(20000));
        QTRY_VERIFY_WITH_TIMEOUT(!painted.isEmpty(), 30000);
        QCOMPARE(gw.connections, 2);
        QCOMPARE(gw.keyRequests.value(0, 99), 0u);
        QCOMPARE(seqs(painted), QList<quint32>{5});
        QVERIFY(near(surface.centre(), Qt::blue));
        cc_core_close_phone(surface.winId());
    }

    // A real farm turns its phone mid-stream: the stream restarts at the new
    // size with a keyframe and the window goes on painting, turned.
    void rotationMidStream()
    {
        const QByteArray phone = "PMROTATE01";
        Surface surface;
        QWidget *child = surface.connectPhone(phone);
        QVERIFY(child);
        QSignalSpy painted(child, SIGNAL(framePainted(quint32, quint32, qint64)));
        QVERIFY(painted.wait(60000));
        QCOMPARE(shell(phone, "monkey -p com.pmapps.racer 1"), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!surface.notes.isEmpty() && surface.notes.last().first == 3 &&
                                     qFromLittleEndian<qint32>(surface.notes.last().second.constData()) == 1,
                                 30000);
        painted.clear();
        QTRY_VERIFY_WITH_TIMEOUT(painted.size() >= 5, 30000);
        // The landscape picture fills the window's width, with black above and below.
        const auto rowDrawn = [child](int y) {
            const QImage shown = child->grab().toImage();
            for (int x = 0; x < shown.width(); ++x) {
                if (shown.pixel(x, y) != qRgb(0, 0, 0))
                    return true;
            }
            return false;
        };
        QVERIFY(!rowDrawn(kH / 6));
        QVERIFY(rowDrawn(kH / 2));
        QCOMPARE(shell(phone, "am force-stop com.pmapps.racer"), 0);
        QTRY_VERIFY_WITH_TIMEOUT(qFromLittleEndian<qint32>(surface.notes.last().second.constData()) == 0 &&
                                     surface.notes.last().first == 3,
                                 30000);
        QTRY_VERIFY(rowDrawn(kH / 6));
        cc_core_close_phone(surface.winId());
    }

    // A raw peer that never acknowledges gets no more than the window of H.264 frames.
    void unackedStreamStops()
    {
        const QByteArray phone = "PMNOACK001";
        QCOMPARE(shell(phone, "monkey -p com.pmapps.racer 1"), 0);
        RawDisplay d;
        QVERIFY(d.open(farm.port, phone, ccwire::kVersion));
        QVERIFY(d.waitFrames(2, 30000));
        QVERIFY(!d.waitFrames(3, 1500));
        QCOMPARE(d.frames.size(), 2);
        QCOMPARE(int(d.frames[0].codec), int(ccwire::Codec::H264));
        QVERIFY(d.frames[0].keyframe);
        // A keyframe request alone does not open the window; an ack does, and the next frame is a keyframe.
        d.send(ccwire::KeyframeRequest{1});
        QVERIFY(!d.waitFrames(3, 1000));
        d.send(ccwire::FrameAck{1});
        QVERIFY(d.waitFrames(3, 30000));
        QVERIFY(d.frames[2].keyframe);
        QCOMPARE(d.frames[2].seq, 3u);
    }
};

QTEST_MAIN(TestCoreClientVideo)
#include "test_coreclient_video.moc"
