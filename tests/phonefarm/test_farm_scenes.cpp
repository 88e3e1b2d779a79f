// The farm's content apps made to measure the display stream on: the feed and
// the video open like any app, draw at every screen size and orientation, keep
// changing, and draw the same picture for the same moment. And the test mode
// that hands out the pictures a display was made from.

#include "coreclient/core_client.h"
#include "server/phonefarm/frame_pacer.h"
#include "server/phonefarm/kept_frames.h"
#include "server/phonefarm/phone.h"
#include "server/phonefarm/scenes.h"
#include "server/phonefarm/screen.h"
#include "tests/coreclient/request_helpers.h"
#include "tests/support/farmharness.h"
#include "wire/wire.h"

#include <QImage>
#include <QTcpSocket>
#include <QtTest>

#include <cstring>

using farm::Phone;

namespace {

const QString kFeed = QStringLiteral("com.pmapps.feed");
const QString kVideo = QStringLiteral("com.pmapps.video");

void open(Phone &phone, const QString &package, qint64 now)
{
    QByteArray out;
    QCOMPARE(phone.shell("monkey -p " + package.toUtf8() + " 1", now, &out), 0);
}

// A tap at a point in layout units of the screen as it is now.
void tap(Phone &phone, const QPointF &pos, qint64 now)
{
    const QSize layout = phone.snapshot(now).layoutSize();
    ccwire::Touch t;
    t.x = quint16(pos.x() / (layout.width() - 1) * 65535);
    t.y = quint16(pos.y() / (layout.height() - 1) * 65535);
    phone.touch(t, now);
    t.action = ccwire::TouchAction::Up;
    phone.touch(t, now + 50);
}

QImage render(Phone &phone, qint64 now)
{
    const farm::PhoneState s = phone.snapshot(now);
    return farm::renderScreen(s, now, s.screenSize());
}

// The picture without its status bar, whose clock follows the wall clock.
QImage belowStatusBar(const QImage &image, const farm::PhoneState &s)
{
    const int top = qCeil(farm::statusBarRect(s.layoutSize()).height() * s.scale());
    return image.copy(0, top, image.width(), image.height() - top);
}

// Share of pixels that differ between two pictures of one size.
double changedShare(const QImage &a, const QImage &b)
{
    qint64 changed = 0;
    for (int y = 0; y < a.height(); ++y) {
        const QRgb *la = reinterpret_cast<const QRgb *>(a.constScanLine(y));
        const QRgb *lb = reinterpret_cast<const QRgb *>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x)
            changed += la[x] != lb[x];
    }
    return double(changed) / (qint64(a.width()) * a.height());
}

// Share of 16x16 blocks that are not flat: photos and text, not filled shapes.
double texturedShare(const QImage &image)
{
    int blocks = 0, busy = 0;
    for (int by = 0; by + 16 <= image.height(); by += 16) {
        for (int bx = 0; bx + 16 <= image.width(); bx += 16) {
            double sum = 0, squares = 0;
            for (int y = by; y < by + 16; ++y) {
                const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
                for (int x = bx; x < bx + 16; ++x) {
                    sum += qGray(line[x]);
                    squares += qGray(line[x]) * qGray(line[x]);
                }
            }
            ++blocks;
            busy += squares / 256 - (sum / 256) * (sum / 256) > 16;
        }
    }
    return double(busy) / blocks;
}

// Mean difference of grey levels once both pictures are shrunk to one small size.
double coarseDifference(const QImage &a, const QImage &b)
{
    const QSize small(a.width() > a.height() ? QSize(160, 90) : QSize(90, 160));
    const QImage sa = a.scaled(small, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const QImage sb = b.scaled(small, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    double sum = 0;
    for (int y = 0; y < small.height(); ++y) {
        for (int x = 0; x < small.width(); ++x)
            sum += qAbs(qGray(sa.pixel(x, y)) - qGray(sb.pixel(x, y)));
    }
    return sum / (small.width() * small.height());
}

QImage solid(QRgb colour)
{
    QImage image(4, 4, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

} // namespace

class TestFarmScenes : public QObject
{
    Q_OBJECT

private slots:
    // Every phone has both apps; they open by package and by their icon, the
    // video turns the screen, and back leaves both.
    void appsOpenLikeOthers()
    {
        for (const QString &id : {QStringLiteral("PMSCENE01"), QStringLiteral("PMSCENE02")}) {
            Phone phone(id);
            QVERIFY(phone.packageList().contains(kFeed.toUtf8()));
            QVERIFY(phone.packageList().contains(kVideo.toUtf8()));
            const farm::PhoneState start = phone.snapshot(0);
            qint64 now = 100;
            for (const QString &package : {kFeed, kVideo}) {
                int index = 0;
                while (start.apps[index].package != package)
                    ++index;
                tap(phone, farm::iconRect(index, start.apps.size()).center(), now);
                const farm::PhoneState opened = phone.snapshot(now + 100);
                QCOMPARE(opened.view, farm::View::App);
                QCOMPARE(opened.foreground, package);
                QCOMPARE(opened.rotation(), package == kVideo ? 1 : 0);
                // The back button sits where hit testing finds it, in either orientation.
                tap(phone, farm::appBackRect(opened.layoutSize()).center(), now + 200);
                QCOMPARE(phone.snapshot(now + 300).view, farm::View::Launcher);
                open(phone, package, now + 400);
                QCOMPARE(phone.snapshot(now + 500).foreground, package);
                QCOMPARE(phone.functionKey(CC_KEY_HOMEPAGE, now + 600), 0);
                now += 1000;
            }
        }
    }

    // Both apps fill every screen size in both orientations with detailed
    // content, laid out alike at every size.
    void rendersAtEverySize_data()
    {
        QTest::addColumn<QString>("package");
        QTest::addColumn<bool>("turned"); // drawn in the other orientation than its own
        for (const QString &package : {kFeed, kVideo}) {
            for (const bool turned : {false, true})
                QTest::addRow("%s%s", qPrintable(package.section('.', -1)), turned ? " turned" : "")
                    << package << turned;
        }
    }
    void rendersAtEverySize()
    {
        QFETCH(QString, package);
        QFETCH(bool, turned);
        Phone racer(QStringLiteral("PMSCENE01"));
        open(racer, QStringLiteral("com.pmapps.racer"), 0);
        QVERIFY(texturedShare(render(racer, 4000)) < 0.2);
        QImage reference;
        for (const QSize &panel : {QSize(720, 1280), QSize(540, 960), QSize(1080, 1920)}) {
            Phone phone(QStringLiteral("PMSCENE01"), panel);
            open(phone, package, 0);
            farm::PhoneState s = phone.snapshot(4000);
            for (farm::AppInfo &app : s.apps) {
                if (app.package == package && turned)
                    app.landscape = !app.landscape;
            }
            const QSize expected = (package == kVideo) != turned ? panel.transposed() : panel;
            QCOMPARE(s.screenSize(), expected);
            const QImage image = farm::renderScreen(s, 4000, s.screenSize());
            QCOMPARE(image.size(), expected);
            // Photo-like, unlike the flat shapes of the other apps. A turned feed keeps its
            // column phone-wide, in the middle.
            const int column = package == kFeed && turned ? image.width() * 720 / 1280 : image.width();
            const QImage content = image.copy((image.width() - column) / 2, 0, column, image.height());
            QVERIFY2(texturedShare(content) > 0.2, qPrintable(QString::number(texturedShare(content))));
            if (reference.isNull())
                reference = image;
            else
                QVERIFY2(coarseDifference(reference, image) < 6,
                         qPrintable(QString::number(coarseDifference(reference, image))));
        }
    }

    // The feed scrolls in whole pixels at a flicking user's pace, on and on.
    void feedScrolls()
    {
        double previous = 0;
        for (qint64 ms = 33; ms <= 60000; ms += 33) {
            const double offset = farm::feedScrollOffset(ms);
            QVERIFY(offset > previous);
            previous = offset;
        }
        const double pace = (farm::feedScrollOffset(60000) - farm::feedScrollOffset(30000)) / 30;
        QVERIFY2(pace > 300 && pace < 1500, qPrintable(QString::number(pace)));

        Phone phone(QStringLiteral("PMSCENE01"));
        open(phone, kFeed, 1000);
        QVERIFY(phone.visualKey(3000) != phone.visualKey(3033));
        for (const qint64 at : {qint64(2500), qint64(3500), qint64(61000)}) {
            const QImage before = render(phone, at), after = render(phone, at + 33);
            const int dy = int(std::round(farm::feedScrollOffset(at + 33 - 1000)) -
                               std::round(farm::feedScrollOffset(at - 1000)));
            QVERIFY(dy > 0);
            // The list moved up by dy: most rows are the rows dy below them before (a playing
            // clip's are not), few are as they were.
            const auto rowsAlike = [&](int shift) {
                int alike = 0;
                for (int y = 200; y < 1100; ++y)
                    alike += std::memcmp(after.constScanLine(y), before.constScanLine(y + shift),
                                         size_t(after.bytesPerLine())) == 0;
                return alike / 900.0;
            };
            QVERIFY2(rowsAlike(dy) > 0.5,
                     qPrintable(QStringLiteral("%1 at %2 ms").arg(rowsAlike(dy)).arg(at)));
            QVERIFY2(rowsAlike(0) < 0.2, qPrintable(QStringLiteral("%1 at %2 ms").arg(rowsAlike(0)).arg(at)));
            QVERIFY(before != after);
        }
    }

    // Every frame of the video differs from the one before over most of the screen.
    void videoMovesEveryFrame()
    {
        Phone phone(QStringLiteral("PMSCENE01"));
        open(phone, kVideo, 1000);
        QImage previous = render(phone, 1000);
        for (int i = 1; i <= 60; ++i) {
            const qint64 now = 1000 + i * 33;
            QVERIFY(phone.visualKey(now) != phone.visualKey(now - 33));
            const QImage frame = render(phone, now);
            QVERIFY2(changedShare(previous, frame) > 0.4,
                     qPrintable(QStringLiteral("frame %1: %2").arg(i).arg(changedShare(previous, frame))));
            previous = frame;
        }
    }

    // The same moment after opening draws the same picture, on another phone
    // or after opening the app again.
    void deterministicForAGivenTime()
    {
        for (const QString &package : {kFeed, kVideo}) {
            Phone a(QStringLiteral("PMSCENE01")), b(QStringLiteral("PMSCENE02"));
            open(a, package, 1000);
            open(b, package, 50000);
            const farm::PhoneState s = a.snapshot(8000);
            const QImage first = belowStatusBar(render(a, 8000), s);
            QCOMPARE(belowStatusBar(render(b, 57000), s), first);
            QByteArray out;
            QCOMPARE(a.shell("am force-stop " + package.toUtf8(), 9000, &out), 0);
            open(a, package, 20000);
            QCOMPARE(belowStatusBar(render(a, 27000), s), first);
            QVERIFY(belowStatusBar(render(a, 27033), s) != first);
        }
    }

    // Pictures are kept per display up to the bound, the oldest going first;
    // a newer display of the phone starts afresh; the byte bound spans all displays.
    void keptFramesBounds()
    {
        farm::KeptFrames kept(3);
        const quint64 token = kept.open("PMA");
        for (quint32 seq = 1; seq <= 3; ++seq)
            kept.add("PMA", token, seq, solid(seq));
        QCOMPARE(kept.find("PMA", 1).pixel(0, 0), solid(1).pixel(0, 0));
        kept.add("PMA", token, 4, solid(4));
        QVERIFY(kept.find("PMA", 1).isNull());
        QCOMPARE(kept.find("PMA", 2).pixel(0, 0), solid(2).pixel(0, 0));
        QCOMPARE(kept.find("PMA", 4).pixel(0, 0), solid(4).pixel(0, 0));
        QVERIFY(kept.find("PMA", 5).isNull());
        QVERIFY(kept.find("PMB", 2).isNull());

        const quint64 newer = kept.open("PMA");
        QVERIFY(kept.find("PMA", 4).isNull());
        kept.add("PMA", token, 1, solid(9)); // the old display's late picture
        QVERIFY(kept.find("PMA", 1).isNull());
        kept.add("PMA", newer, 1, solid(1));
        QVERIFY(!kept.find("PMA", 1).isNull());

        const qint64 size = solid(0).sizeInBytes();
        farm::KeptFrames small(10, 3 * size);
        const quint64 a = small.open("PMA"), b = small.open("PMB");
        small.add("PMA", a, 1, solid(1));
        small.add("PMB", b, 1, solid(2));
        small.add("PMA", a, 2, solid(3));
        QVERIFY(!small.find("PMA", 1).isNull()); // exactly at the bound
        small.add("PMB", b, 2, solid(4));
        QVERIFY(small.find("PMA", 1).isNull());
        QVERIFY(!small.find("PMB", 1).isNull());
        QVERIFY(!small.find("PMB", 2).isNull());
    }

    // A running farm in test mode hands out, by sequence number, the picture a
    // streamed frame was made from; only to signed calls, and only while kept.
    void keptFramesServed()
    {
        constexpr int kKeep = farm::FramePacer::kMaxWindow + 2;
        harness::Farm running;
        QVERIFY(running.start({QStringLiteral("--keep-source-frames"), QString::number(kKeep),
                               QStringLiteral("--display-codec"), QStringLiteral("jpeg")}));
        cc_core_set_gateway("127.0.0.1", running.port);
        const QByteArray id = "PMKEPT01";
        const QByteArray cred = harness::credential(id);
        QCOMPARE(harness::run(cred, id,
                              [](SdkSession *s, SdkCallback cb) {
                                  return cc_core_send_adb_command_msg_tob(s, "monkey -p com.pmapps.feed 1",
                                                                          cb, 0);
                              })
                     .code,
                 0);
        QByteArray body;
        QCOMPARE(running.adminRaw("GET", "/admin/phones/" + id + "/frames/1", &body), 404); // no display yet

        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, running.port);
        QVERIFY(socket.waitForConnected(5000));
        ccwire::DisplayOpen open;
        open.credential = cred;
        open.deviceId = id;
        socket.write(ccwire::encode(open));
        ccwire::FrameReader reader(ccwire::kMaxGatewayFrame);
        QList<ccwire::Frame> frames;
        while (frames.size() < kKeep + 5) {
            ccwire::Message m;
            QString error;
            const auto r = reader.nextMessage(&m, &error);
            QVERIFY(r != ccwire::FrameReader::Result::Error);
            if (r == ccwire::FrameReader::Result::Frame) {
                if (const auto *frame = std::get_if<ccwire::Frame>(&m)) {
                    frames.append(*frame);
                    if (frames.size() <
                        kKeep + 5) // the last stays unacknowledged: the stream stops soon after
                        socket.write(ccwire::encode(ccwire::FrameAck{frame->seq}));
                }
                continue;
            }
            QVERIFY(socket.waitForReadyRead(10000));
            reader.append(socket.readAll());
        }
        const ccwire::Frame &last = frames.last();
        const QByteArray target = "/admin/phones/" + id + "/frames/" + QByteArray::number(last.seq);
        QCOMPARE(running.adminRaw("GET", target, &body), 200);
        const QImage source = QImage::fromData(body, "PNG").convertToFormat(QImage::Format_RGB32);
        const QImage sent = QImage::fromData(last.data, "JPEG").convertToFormat(QImage::Format_RGB32);
        QCOMPARE(source.size(), QSize(720, 1280));
        QCOMPARE(sent.size(), source.size());
        // The source of this very frame: close to what was sent, unlike the frame before it.
        const QImage before = QImage::fromData(frames[frames.size() - 2].data, "JPEG");
        QVERIFY(coarseDifference(source, sent) < coarseDifference(source, before));
        QVERIFY2(coarseDifference(source, sent) < 2,
                 qPrintable(QString::number(coarseDifference(source, sent))));

        QCOMPARE(running.adminRaw(
                     "GET", "/admin/phones/" + id + "/frames/" + QByteArray::number(frames[0].seq), &body),
                 404); // more than kKeep pictures came after it
        QCOMPARE(running.adminRaw("GET", "/admin/phones/" + id + "/frames/4000000000", &body), 404);
        QCOMPARE(running.adminRaw("GET", "/admin/phones/PMOTHER1/frames/1", &body), 404);
        QCOMPARE(running.adminRaw("GET", target, &body, "wrong-secret"), 401);
        QVERIFY(!body.startsWith("\x89PNG"));
        running.stop();

        // Off by default.
        harness::Farm plain;
        QVERIFY(plain.start());
        QCOMPARE(plain.adminRaw("GET", target, &body), 404);
    }
};

// Run by test_phonefarm's main.
int runFarmScenesTests(int argc, char *argv[])
{
    TestFarmScenes test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_farm_scenes.moc"
