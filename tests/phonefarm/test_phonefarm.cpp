// Over 600 lines on purpose: one test program per subsystem, and its cases share the servers and
// helpers set up here.
// The phone farm: credentials, simulated phones, the admin API, and the link
// with pelomir-provider.

#include "coreclient/core_client.h"
#include "server/phonefarm/admin.h"
#include "server/phonefarm/bitrate_controller.h"
#include "server/phonefarm/catalog.h"
#include "server/phonefarm/credential.h"
#include "server/phonefarm/frame_pacer.h"
#include "server/phonefarm/phone.h"
#include "server/phonefarm/screen.h"
#include "server/phonefarm/worker_pool.h"
#include "tests/coreclient/request_helpers.h"
#include "tests/support/farmharness.h"
#include "wire/wire.h"

#include <openssl/evp.h>

#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <QtTest>

#include <deque>
#include <functional>

using farm::Phone;

namespace {

ccwire::Touch at(ccwire::TouchAction action, const QPointF &pos, const QSize &screen)
{
    ccwire::Touch t;
    t.action = action;
    t.x = quint16(pos.x() / (screen.width() - 1) * 65535);
    t.y = quint16(pos.y() / (screen.height() - 1) * 65535);
    return t;
}

void tap(Phone &phone, const QPointF &pos, qint64 now)
{
    const QSize screen = phone.snapshot(now).screenSize();
    phone.touch(at(ccwire::TouchAction::Down, pos, screen), now);
    phone.touch(at(ccwire::TouchAction::Up, pos, screen), now + 50);
}

void press(Phone &phone, int code)
{
    phone.key({code, 1}, 0);
    phone.key({code, 2}, 0);
}

// What the client does with "accessInfo"."ucid": AES-192-ECB, PKCS#7, Base64.
QByteArray decryptUcid(const QByteArray &base64)
{
    const QByteArray cipher = QByteArray::fromBase64(base64);
    QByteArray plain(cipher.size() + 32, '\0');
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    int n = 0, m = 0;
    const bool ok =
        EVP_DecryptInit_ex(ctx, EVP_aes_192_ecb(), nullptr,
                           reinterpret_cast<const unsigned char *>("Tq4Wm8XzR2nLp6VyK3sHd9Bc"),
                           nullptr) == 1 &&
        EVP_DecryptUpdate(ctx, reinterpret_cast<unsigned char *>(plain.data()), &n,
                          reinterpret_cast<const unsigned char *>(cipher.constData()), cipher.size()) == 1 &&
        EVP_DecryptFinal_ex(ctx, reinterpret_cast<unsigned char *>(plain.data()) + n, &m) == 1;
    EVP_CIPHER_CTX_free(ctx);
    return ok ? plain.left(n + m) : QByteArray();
}

} // namespace

class TestPhoneFarm : public QObject
{
    Q_OBJECT

private slots:
    void credentials_data()
    {
        QTest::addColumn<QByteArray>("credential");
        QTest::addColumn<QByteArray>("deviceId");
        QTest::addColumn<int>("code");
        QTest::addColumn<bool>("viewOnly");
        const QByteArray id = "PM0A1B2C3D";
        const qint64 now = 1'800'000'000;
        const QByteArray good = harness::credential(id, now + 60);
        QTest::newRow("valid") << good << id << 0 << false;
        QTest::newRow("view-only") << harness::credential(id, now + 60, true) << id << 0 << true;
        QTest::newRow("expires now") << harness::credential(id, now) << id << int(CC_ERR_EXPIRED_CREDENTIAL)
                                     << false;
        QTest::newRow("other phone") << good << QByteArray("PM0A1B2C3E") << int(CC_ERR_BAD_CREDENTIAL)
                                     << false;
        QByteArray widened = good;
        widened.replace(".0.", ".1.");
        QTest::newRow("view-only flag changed") << widened << id << int(CC_ERR_BAD_CREDENTIAL) << false;
        QByteArray later = good;
        later.replace(QByteArray::number(now + 60), QByteArray::number(now + 999999));
        QTest::newRow("expiry moved") << later << id << int(CC_ERR_BAD_CREDENTIAL) << false;
        QTest::newRow("upper-case hex")
            << good.left(good.lastIndexOf('.') + 1) + good.mid(good.lastIndexOf('.') + 1).toUpper() << id
            << int(CC_ERR_BAD_CREDENTIAL) << false;
        QTest::newRow("extra part") << good + ".x" << id << int(CC_ERR_BAD_CREDENTIAL) << false;
        QTest::newRow("empty") << QByteArray() << id << int(CC_ERR_BAD_CREDENTIAL) << false;
        QTest::newRow("bad id") << harness::credential("PM 1", now + 60) << QByteArray("PM 1")
                                << int(CC_ERR_UNKNOWN_PHONE) << false;
        const QByteArray second = harness::credential(id, now + 60, false, harness::kSecret, 2);
        QTest::newRow("generation 2") << second << id << 0 << false;
        QByteArray raised = second;
        raised.replace(".0.2.", ".0.3.");
        QTest::newRow("generation raised") << raised << id << int(CC_ERR_BAD_CREDENTIAL) << false;
        for (const char *g : {".0.0.", ".0.+2.", ".0.02.", ".0.x."}) {
            QByteArray odd = second;
            odd.replace(".0.2.", g);
            QTest::newRow(g) << odd << id << int(CC_ERR_BAD_CREDENTIAL) << false;
        }
        QTest::newRow("generation without its version")
            << QByteArray("ucv1" + second.mid(4)) << id << int(CC_ERR_BAD_CREDENTIAL) << false;
    }

    void credentials()
    {
        QFETCH(QByteArray, credential);
        QFETCH(QByteArray, deviceId);
        QFETCH(int, code);
        QFETCH(bool, viewOnly);
        const farm::Access access =
            farm::checkCredential(harness::kSecret, credential, deviceId, 1'800'000'000);
        QCOMPARE(access.code, code);
        QCOMPARE(access.viewOnly, viewOnly);
    }

    // A retired generation no longer opens its phone, while a newer one does; a device retired whole
    // is refused whatever the generation, and leaves the farm.
    void retiredGenerations()
    {
        farm::Farm phones{farm::FarmOptions{}};
        const QByteArray id = "PMRETIRE01";
        const auto open = [&](qint64 generation) {
            bool viewOnly = false;
            int code = 0;
            qint64 seen = -1;
            phones.open(harness::credential(id, 0, false, harness::kSecret, generation), id, &viewOnly, &code,
                        &seen);
            return code == 0 ? seen : qint64(code);
        };
        QCOMPARE(open(0), qint64(0));
        QCOMPARE(open(1), qint64(1));
        phones.retire(id, 2);
        QCOMPARE(open(0), qint64(CC_ERR_EXPIRED_CREDENTIAL));
        QCOMPARE(open(1), qint64(CC_ERR_EXPIRED_CREDENTIAL));
        QCOMPARE(open(2), qint64(2));
        QVERIFY(phones.current(id, 2) && !phones.current(id, 1));
        // Retiring is never undone by an older generation.
        phones.retire(id, 1);
        QCOMPARE(open(1), qint64(CC_ERR_EXPIRED_CREDENTIAL));
        QCOMPARE(open(3), qint64(3));
        QCOMPARE(phones.phoneCount(), 1);
        phones.retire(id, farm::Farm::kRetireAll);
        QCOMPARE(phones.phoneCount(), 0);
        QCOMPARE(open(999), qint64(CC_ERR_EXPIRED_CREDENTIAL));
        QCOMPARE(phones.phoneCount(), 0);
        // Other phones are not affected.
        QCOMPARE(phones.current("PMRETIRE02", 0), true);
    }

    // A full farm makes room with the phone unused longest, never with one a connection holds; when
    // every phone is held a new one is refused until one is let go.
    void fullFarmEvictsIdlePhones()
    {
        farm::FarmOptions options;
        options.maxPhones = 3;
        farm::Farm phones(options);
        int code = 0;
        const auto open = [&](const QByteArray &id) {
            bool viewOnly = false;
            return phones.open(harness::credential(id), id, &viewOnly, &code);
        };
        QVERIFY(open("PMFULL0001") && open("PMFULL0002") && open("PMFULL0003"));
        QCOMPARE(phones.phoneCount(), 3);
        auto second = open("PMFULL0002");
        auto third = open("PMFULL0003");
        auto fourth = open("PMFULL0004");
        QVERIFY(fourth);
        QCOMPARE(phones.phoneCount(), 3);
        QCOMPARE(open("PMFULL0005"), std::shared_ptr<Phone>());
        QCOMPARE(code, int(CC_ERR_UNKNOWN_PHONE));
        third.reset();
        QVERIFY(open("PMFULL0005"));
        QCOMPARE(phones.phoneCount(), 3);
        QCOMPARE(open("PMFULL0002"), second);
        QCOMPARE(open("PMFULL0004"), fourth);
    }

    // One owner's pile of waiting renders delays another owner's by one job per turn, and the
    // renders of a closed connection are dropped unrun.
    void fairRenderQueue()
    {
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false;
        QByteArray ran;
        farm::WorkerPool pool(1);
        pool.submit([&] {
            std::unique_lock<std::mutex> lock(mutex);
            opened.wait(lock, [&] { return open; });
        });
        const auto live = std::make_shared<std::atomic<bool>>(true);
        const auto closed = std::make_shared<std::atomic<bool>>(true);
        const auto job = [&](char c) {
            return [&ran, &mutex, c] {
                std::lock_guard<std::mutex> lock(mutex);
                ran += c;
            };
        };
        for (int i = 0; i < 100; ++i)
            pool.submit("attacker", live, job('a'));
        for (int i = 0; i < 50; ++i)
            pool.submit("abandoned", closed, job('c'));
        pool.submit("victim", live, job('v'));
        *closed = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            open = true;
        }
        opened.notify_all();
        const auto taken = [&] {
            std::lock_guard<std::mutex> lock(mutex);
            return ran;
        };
        QTRY_COMPARE_WITH_TIMEOUT(taken().size(), 101, 30000);
        QCOMPARE(taken().indexOf('v'), 1);
        QCOMPARE(taken().count('c'), 0);
    }

    void adminSignature()
    {
        const QByteArray secret = "s3cret", time = "1800000000";
        const QByteArray auth = farm::hmacHex(secret, "GET /admin/status?ids=A,B " + time);
        QVERIFY(
            farm::adminSignatureValid(secret, "GET", "/admin/status?ids=A,B", time, auth, 1800000000 + 300));
        QVERIFY(
            !farm::adminSignatureValid(secret, "GET", "/admin/status?ids=A,B", time, auth, 1800000000 + 301));
        QVERIFY(!farm::adminSignatureValid(secret, "POST", "/admin/status?ids=A,B", time, auth, 1800000000));
        QVERIFY(!farm::adminSignatureValid(secret, "GET", "/admin/status?ids=A,C", time, auth, 1800000000));
        QVERIFY(!farm::adminSignatureValid(secret, "GET", "/admin/status?ids=A,B", "", auth, 1800000000));
        QVERIFY(!farm::adminSignatureValid(secret, "GET", "/admin/status?ids=A,B", time, "", 1800000000));
    }

    void apkFiles()
    {
        farm::AppInfo app;
        QString error;
        QVERIFY(farm::parseApk(
            "PMAPK 1\r\npackage: org.example.game\r\nlabel: 游戏\r\norientation: landscape\r\n\r\n"
            "\x00\x01 payload",
            &app, &error));
        QCOMPARE(app.package, QStringLiteral("org.example.game"));
        QCOMPARE(app.label, QStringLiteral("游戏"));
        QVERIFY(app.landscape);
        for (const QByteArray &bad :
             {QByteArray("PK\x03\x04"), QByteArray("PMAPK 1\npackage: nodots\n\n"),
              QByteArray("PMAPK 1\npackage: 1org.x\n\n"), QByteArray("PMAPK 1\nlabel: x\n\n"),
              "PMAPK 1\npackage: org." + QByteArray(130, 'a') + "\n\n",
              "PMAPK 1\npackage: org.a\nlabel: " + QByteArray(5000, 'b')}) {
            QVERIFY2(!farm::parseApk(bad, &app, &error), bad.left(40).constData());
            QVERIFY(!error.isEmpty());
        }
    }

    // Text editing keeps surrogate pairs whole and follows the cursor.
    void textField()
    {
        Phone phone("PMEDIT0001");
        QByteArray out;
        QCOMPARE(phone.shell("monkey -p com.pmapps.notes 1", 0, &out), 0);
        QCOMPARE(phone.text(QStringLiteral("a😀b").toUtf8(), 0), 0);
        press(phone, 21); // left: before "b"
        press(phone, 67); // delete the emoji, both halves
        QCOMPARE(phone.snapshot(0).text, QStringLiteral("ab"));
        press(phone, 19); // to the start
        QCOMPARE(phone.text("x", 0), 0);
        press(phone, 112); // forward delete "a"
        QCOMPARE(phone.snapshot(0).text, QStringLiteral("xb"));
        press(phone, 20);
        press(phone, 66);
        QCOMPARE(phone.snapshot(0).text, QStringLiteral("xb\n"));
        QCOMPARE(phone.text(QByteArray(farm::kMaxTextChars, 'z'), 0), int(CC_ERR_BAD_ARGUMENT));
        QCOMPARE(phone.snapshot(0).text, QStringLiteral("xb\n"));
        // Text with no field in front is dropped, not kept for later.
        press(phone, 3);
        QCOMPARE(phone.text("lost", 0), 0);
        QCOMPARE(phone.snapshot(0).text, QStringLiteral("xb\n"));
    }

    // Taps on icons, the navigation bar and recents; a drag is not a tap.
    void touchesAndNavigation()
    {
        Phone phone("PMNAV00001");
        const farm::PhoneState start = phone.snapshot(0);
        const QPointF clock = farm::iconRect(2, start.apps.size()).center();
        QCOMPARE(start.apps[2].package, QStringLiteral("com.pmapps.clock"));

        const QSize screen = start.screenSize();
        phone.touch(at(ccwire::TouchAction::Down, clock, screen), 0);
        phone.touch(at(ccwire::TouchAction::Move, clock + QPointF(0, 200), screen), 20);
        phone.touch(at(ccwire::TouchAction::Up, clock + QPointF(0, 200), screen), 40);
        QCOMPARE(phone.snapshot(50).view, farm::View::Launcher);

        tap(phone, clock, 100);
        QCOMPARE(phone.snapshot(200).foreground, QStringLiteral("com.pmapps.clock"));
        const QRectF nav = farm::navBarRect(screen);
        tap(phone, QPointF(nav.width() * 5 / 6, nav.center().y()), 300); // recents
        QCOMPARE(phone.snapshot(400).view, farm::View::Recents);
        tap(phone, QPointF(nav.width() / 6, nav.center().y()), 500); // back returns to the app
        QCOMPARE(phone.snapshot(600).view, farm::View::App);

        // The landscape app turns the screen; home turns it back.
        QByteArray out;
        QCOMPARE(phone.shell("monkey -p com.pmapps.racer 1", 700, &out), 0);
        QCOMPARE(phone.snapshot(800).rotation(), 1);
        QCOMPARE(phone.snapshot(800).screenSize(), QSize(1280, 720));
        QCOMPARE(phone.functionKey(CC_KEY_HOMEPAGE, 900), 0);
        QCOMPARE(phone.snapshot(1000).rotation(), 0);
        QCOMPARE(phone.snapshot(1000).recents,
                 QStringList({QStringLiteral("com.pmapps.racer"), QStringLiteral("com.pmapps.clock")}));
    }

    // A touch shows on screen, and its mark fades away afterwards.
    void touchFeedbackVisible()
    {
        Phone phone("PMRIPPLE01");
        const QPointF empty(360, 1000);
        const QImage before = farm::renderScreen(phone.snapshot(0), 0, QSize(720, 1280));
        const quint64 key = phone.visualKey(0);
        phone.touch(at(ccwire::TouchAction::Down, empty, QSize(720, 1280)), 10);
        QVERIFY(phone.visualKey(20) != key);
        const QImage held = farm::renderScreen(phone.snapshot(20), 20, QSize(720, 1280));
        QVERIFY(before.pixel(360, 1000) != held.pixel(360, 1000));
        phone.touch(at(ccwire::TouchAction::Up, empty, QSize(720, 1280)), 30);
        const QImage after = farm::renderScreen(phone.snapshot(1000), 1000, QSize(720, 1280));
        QCOMPARE(after.pixel(360, 1000), before.pixel(360, 1000));
    }

    // Flow control of a display stream on a clock of our own: the window
    // holds when acks stop, grows with the round trip up to its cap and
    // shrinks back on a fast link.
    void frameWindow()
    {
        using farm::FramePacer;
        using Input = FramePacer::Input;
        FramePacer pacer(33);
        quint32 seq = 0;
        auto send = [&](qint64 t) {
            pacer.made(t);
            pacer.sent(++seq, t);
        };
        QCOMPARE(pacer.wait(0, Input::None), 0);
        send(0);
        QCOMPARE(pacer.wait(33, Input::None), 0);
        send(33);
        QCOMPARE(pacer.wait(5000, Input::Discrete), -1); // a client that stops reading stops the stream

        pacer.acked(1, 99); // a 99 ms round trip: three intervals in flight, and one more
        QCOMPARE(pacer.window(), 4);
        QCOMPARE(pacer.wait(100, Input::None), 0);
        for (qint64 t = 100; pacer.wait(t, Input::None) == 0; t += 33)
            send(t);
        QCOMPARE(pacer.unacked(), 4);

        for (quint32 a = 2; a <= seq; ++a) // acks two seconds late
            pacer.acked(a, 2000 + a);
        for (int i = 0; i < 40; ++i) {
            const qint64 t = 3000 + i * 40;
            send(t);
            pacer.acked(seq, t + 2000);
        }
        QCOMPARE(pacer.window(), FramePacer::kMaxWindow);
        for (int i = 0; i < 40; ++i) { // then a loopback link
            const qint64 t = 10000 + i * 40;
            send(t);
            pacer.acked(seq, t + 1);
        }
        QCOMPARE(pacer.window(), FramePacer::kMinWindow);
        // Acks of frames never sent, or twice, leave nothing owed below zero.
        pacer.acked(seq, 20000);
        pacer.acked(seq + 5, 20000);
        QCOMPARE(pacer.unacked(), 0);

        // A frame whose encoding failed is never acked: it must leave the window, or failed
        // encodes fill it and the stream stops for good.
        FramePacer failing(33);
        for (int i = 0; i < 4 * FramePacer::kMaxWindow; ++i) {
            QCOMPARE(failing.wait(i * 33, Input::None), 0);
            failing.made(i * 33);
            failing.dropped();
        }
        QCOMPARE(failing.unacked(), 0);
        failing.made(2000);
        failing.sent(1, 2000);
        failing.made(2033);
        QCOMPARE(failing.wait(2066, Input::None), -1); // one sent, one being encoded: the window is full
        failing.dropped();
        QCOMPARE(failing.wait(2066, Input::None), 0);

        // A frame counts against the window from when it is made: 30 ms of encoding and a 40 ms
        // round trip need four frames in flight at 33 ms, not three, or the rate drops.
        FramePacer slowMaking(33);
        slowMaking.made(0);
        slowMaking.sent(1, 30, 1000);
        int bytes = 0;
        QCOMPARE(slowMaking.acked(1, 70, &bytes), 40);
        QCOMPARE(bytes, 1000);
        QCOMPARE(slowMaking.window(), 4);
    }

    // The bitrate controller on a simulated clock: a steady link keeps the
    // ceiling; a queue between the thresholds changes nothing; a growing
    // queue lowers the bitrate to its floor, then the frame rate; a short
    // queue brings the frame rate back first, then the bitrate, to the ceiling.
    void bitrateFollowsLink()
    {
        using farm::BitrateController;
        BitrateController rate(2500, 30);
        qint64 now = 0;
        // One ack per frame interval with the given delay, of a frame as large as the bitrate allows.
        auto run = [&](qint64 ms, const std::function<qint64(qint64)> &delay) {
            for (const qint64 end = now + ms; now < end; now += 33)
                rate.onAck(delay(now), rate.kbps() * 33 / 8, now);
        };
        run(5000, [](qint64) { return 40; }); // a 40 ms link, nothing queued
        QCOMPARE(rate.kbps(), 2500);
        QCOMPARE(rate.fps(), 30);

        // A queue that appears and then stays between the thresholds: at most
        // one step for its appearance, then hold.
        run(1000, [](qint64) { return 40 + 50; });
        const int heldKbps = rate.kbps();
        QVERIFY(heldKbps >= 2500 * 4 / 5);
        run(5000, [](qint64) { return 40 + 50; });
        QCOMPARE(rate.kbps(), heldKbps);
        QCOMPARE(rate.fps(), 30);

        // A link slower than the stream: each frame waits a little longer
        // than the one before. The bitrate falls first, to its floor, then the frame rate.
        const qint64 from = now;
        int lastKbps = rate.kbps();
        run(2000, [from](qint64 t) { return 90 + (t - from) / 10; });
        QVERIFY(rate.kbps() < lastKbps);
        QCOMPARE(rate.fps(), 30);
        run(20000, [from](qint64 t) { return 90 + (t - from) / 10; });
        QCOMPARE(rate.kbps(), BitrateController::kMinKbps);
        QCOMPARE(rate.fps(), BitrateController::kMinFps);

        // Room again: the frame rate comes back before the bitrate moves.
        lastKbps = rate.kbps();
        while (rate.fps() < 30 && now < 1000000) {
            run(33, [](qint64) { return 40; });
            QCOMPARE(rate.kbps(), lastKbps);
        }
        QCOMPARE(rate.fps(), 30);
        run(60000, [](qint64) { return 40; });
        QCOMPARE(rate.kbps(), 2500);

        // Jitter below the low threshold is no reason to back off.
        run(10000, [](qint64 t) { return 40 + (t / 33) % 3 * 8; });
        QCOMPARE(rate.kbps(), 2500);
        QCOMPARE(rate.fps(), 30);
        // A loaded machine: acks late by up to 50 ms at random, and every 3 s a stall of 300 ms,
        // while the picture is calm. Lowering the bitrate costs it nothing, but the frame rate
        // must stay: a stream far below its cap is not what fills the queue.
        quint32 noise = 1;
        for (const qint64 end = now + 60000; now < end; now += 33) {
            noise = noise * 1103515245u + 12345u;
            const qint64 stall = now % 3000 < 300 ? 300 - now % 3000 : 0;
            rate.onAck(40 + (noise >> 16) % 51 + stall, 200, now);
        }
        QCOMPARE(rate.fps(), 30);
        run(60000, [](qint64) { return 40; }); // a busy picture takes the bitrate back up
        QCOMPARE(rate.kbps(), 2500);
        // Negative delays (a clock step) are ignored.
        rate.onAck(-5, 1000, now);
        QCOMPARE(rate.kbps(), 2500);
    }

    // The controller and the pacer against a simulated bottleneck, as the
    // gateway drives them: frames as large as the bitrate allows at 30 fps
    // (or the picture needs) cross a link of a given speed and 50 ms round
    // trip. The queue must stay short once the controller has found the link,
    // the link must stay used, and the bitrate must come back when the link
    // speeds up, but not while the picture is too calm to need it.
    void bitrateOnBottleneck()
    {
        using farm::BitrateController;
        using farm::FramePacer;
        BitrateController rate(2500, 30);
        FramePacer pacer(33);
        struct Ack
        {
            qint64 at;
            quint32 seq;
        };
        std::deque<Ack> acks;
        double linkFree = 0;
        qint64 now = 0;
        quint32 seq = 0;
        // Runs `ms`; the longest queue a frame met after `settleMs`, and the link's use then.
        auto run = [&](qint64 ms, int linkKbps, int neededKbps, qint64 settleMs, double *used = nullptr) {
            double worst = 0, busy = 0;
            for (const qint64 end = now + ms; now < end; ++now) {
                while (!acks.empty() && acks.front().at <= now) {
                    int bytes = 0;
                    const qint64 delay = pacer.acked(acks.front().seq, now, &bytes);
                    acks.pop_front();
                    const int fps = rate.fps();
                    rate.onAck(delay, bytes, now);
                    if (rate.fps() != fps)
                        pacer.setInterval(1000.0 / rate.fps());
                }
                if (pacer.wait(now, FramePacer::Input::None) != 0)
                    continue;
                // The encoder budgets each frame as one interval of its configured rate.
                const int bytes = qMin(rate.kbps(), neededKbps) * 1000 / 30 / 8;
                pacer.made(now);
                pacer.sent(++seq, now, bytes);
                const double queue = qMax(0.0, linkFree - now);
                if (now >= end - ms + settleMs) {
                    worst = qMax(worst, queue);
                    busy += bytes * 8.0 / linkKbps;
                }
                linkFree = qMax(linkFree, double(now)) + bytes * 8.0 / linkKbps;
                acks.push_back({qint64(linkFree) + 50, seq});
            }
            if (used)
                *used = busy / double(ms - settleMs);
            return worst;
        };
        double used = 0;
        // A busy picture on a link slower than the ceiling.
        QVERIFY(run(3000, 1500, 4000, 0) > 100); // the start overshoots...
        double worst = run(20000, 1500, 4000, 0, &used);
        QVERIFY2(worst < 100, qPrintable(QString::number(worst))); // ...but is soon under control
        QVERIFY2(used > 0.6, qPrintable(QString::number(used)));
        QCOMPARE(rate.fps(), 30);

        // The link drops below the bitrate's floor while the picture stays busy.
        worst = run(40000, 200, 4000, 5000, &used);
        QVERIFY2(worst < 100, qPrintable(QString::number(worst)));
        QVERIFY2(used > 0.5, qPrintable(QString::number(used)));
        QCOMPARE(rate.kbps(), BitrateController::kMinKbps);
        QVERIFY(rate.fps() < 30);

        // A fast link again: a calm picture proves nothing, so the bitrate
        // stays; a busy one takes it back up to the ceiling.
        run(20000, 6000, 200, 0);
        QCOMPARE(rate.fps(), 30);
        const int calm = rate.kbps();
        QVERIFY2(calm < 600, qPrintable(QString::number(calm)));
        worst = run(30000, 6000, 4000, 0);
        QCOMPARE(rate.kbps(), 2500);
        QVERIFY2(worst < 100, qPrintable(QString::number(worst)));
    }

    // Pacing: a frame showing a press or release goes at once, each of them;
    // one showing only moves goes early at most once per interval, so moves
    // without end keep the rate; a steady animation polled every 8 ms keeps
    // its cadence, at 30 fps and at 60.
    void framePacing()
    {
        using Input = farm::FramePacer::Input;
        // Acked at once, so only pacing holds frames back.
        auto frame = [](farm::FramePacer &p, quint32 seq, qint64 t, Input input = Input::None) {
            p.made(t, input);
            p.sent(seq, t);
            p.acked(seq, t);
        };
        farm::FramePacer pacer(33);
        frame(pacer, 1, 1000);
        QCOMPARE(pacer.wait(1010, Input::None), 23);
        QCOMPARE(pacer.wait(1010, Input::Move), 0);
        frame(pacer, 2, 1010, Input::Move);
        QCOMPARE(pacer.wait(1020, Input::Move), 46); // the early frame took the next turn
        frame(pacer, 3, 1066, Input::Move);
        QCOMPARE(pacer.wait(1070, Input::Move), 0);

        // A tap during an animation: the press's frame goes early, and so does the release's
        // right behind it; the animation's next frame then waits a whole interval.
        farm::FramePacer tap(33);
        frame(tap, 1, 1000);
        frame(tap, 2, 1033);
        QCOMPARE(tap.wait(1040, Input::Discrete), 0);
        frame(tap, 3, 1040, Input::Discrete);
        QCOMPARE(tap.wait(1041, Input::Discrete), 0);
        frame(tap, 4, 1041, Input::Discrete);
        QCOMPARE(tap.wait(1042, Input::None), 32);
        QCOMPARE(tap.wait(1074, Input::None), 0);
        // ...but never past the window: on a slow link acks still bound what is in flight.
        tap.made(1080);
        tap.sent(5, 1080);
        tap.made(1113);
        tap.sent(6, 1113);
        QCOMPARE(tap.wait(1114, Input::Discrete), -1);
        tap.acked(5, 1120);
        QCOMPARE(tap.wait(1120, Input::Discrete), 0);

        auto count = [&frame](double intervalMs, Input input, int pollMs) {
            farm::FramePacer p(intervalMs);
            quint32 frames = 0;
            for (qint64 t = 0; t < 990; t += pollMs) {
                if (p.wait(t, input) == 0)
                    frame(p, ++frames, t, input);
            }
            return int(frames);
        };
        const int moves = count(33, Input::Move, 1);
        QVERIFY2(moves >= 30 && moves <= 31, qPrintable(QString::number(moves)));
        QCOMPARE(count(33, Input::None, 8), 30);
        QCOMPARE(count(1000.0 / 60, Input::None, 8), 60); // 60, not the 62 of whole 16 ms
        const int moves60 = count(1000.0 / 60, Input::Move, 1);
        QVERIFY2(moves60 >= 59 && moves60 <= 61, qPrintable(QString::number(moves60)));
    }

    void restartAndReset()
    {
        Phone phone("PMBOOT0002");
        QByteArray out;
        QCOMPARE(phone.shell("pm uninstall --user 0 com.pmapps.notes", 0, &out), 0);
        QCOMPARE(phone.shell("monkey -p com.pmapps.clock 1", 0, &out), 0);
        phone.install({QStringLiteral("org.example.a"), QStringLiteral("A"), QStringLiteral("1"), Qt::red,
                       farm::AppKind::Generic, false});
        phone.restart(1000, 500);
        QCOMPARE(phone.status(1000), 3);
        QCOMPARE(phone.status(1500), 1);
        QCOMPARE(phone.snapshot(1500).view, farm::View::Launcher);
        QVERIFY(phone.packageList().contains("org.example.a"));
        QVERIFY(!phone.packageList().contains("com.pmapps.notes"));

        phone.reset(2000, 800);
        phone.restart(2100, 100); // a restart during a reset does not end it early
        QCOMPARE(phone.status(2300), 4);
        QCOMPARE(phone.status(2800), 1);
        QVERIFY(!phone.packageList().contains("org.example.a"));
        QVERIFY(phone.packageList().contains("com.pmapps.notes"));
    }

    void adminApi()
    {
        harness::Farm running;
        // Long enough that the status read right after the restart still sees it on a loaded machine.
        QVERIFY(running.start({QStringLiteral("--restart-ms"), QStringLiteral("3000")}));
        QJsonObject answer;
        QCOMPARE(running.admin("POST", "/admin/phones/PMADMIN001/restart", &answer), 200);
        QCOMPARE(answer, QJsonObject({{QStringLiteral("ok"), true}}));
        QCOMPARE(running.admin("GET", "/admin/status?ids=PMADMIN001,PMNEVER001,bad-id", &answer), 200);
        QCOMPARE(answer.value(QStringLiteral("PMADMIN001")).toInt(), 3);
        QCOMPARE(answer.value(QStringLiteral("PMNEVER001")).toInt(), 1);
        QVERIFY(!answer.contains(QStringLiteral("bad-id")));
        QTRY_VERIFY_WITH_TIMEOUT((running.admin("GET", "/admin/status?ids=PMADMIN001", &answer),
                                  answer.value(QStringLiteral("PMADMIN001")).toInt() == 1),
                                 60000);
        QCOMPARE(running.admin("POST", "/admin/phones/PMADMIN001/reset"), 200);
        QCOMPARE(running.admin("GET", "/admin/status?ids=PMADMIN001", &answer), 200);
        QCOMPARE(answer.value(QStringLiteral("PMADMIN001")).toInt(), 4);

        QCOMPARE(running.admin("POST", "/admin/phones/PMADMIN001/retire?generation=2", &answer), 200);
        QCOMPARE(answer, QJsonObject({{QStringLiteral("ok"), true}}));
        QCOMPARE(running.admin("POST", "/admin/phones/PMADMIN001/retire"), 200);
        for (const char *bad : {"0", "-1", "x", "+2"})
            QCOMPARE(running.admin("POST", QByteArray("/admin/phones/PMADMIN001/retire?generation=") + bad),
                     400);
        QCOMPARE(running.admin("POST", "/admin/phones/PMADMIN001/retire", nullptr, "wrong secret"), 401);
        QCOMPARE(running.admin("POST", "/admin/phones/PMADMIN001/restart", nullptr, "wrong secret"), 401);
        QCOMPARE(running.admin("POST", "/admin/phones/PMADMIN001/restart", nullptr, harness::kSecret, -400),
                 401);
        QCOMPARE(running.admin("POST", "/admin/phones/PM-1/restart"), 404);
        httplib::Client bare("127.0.0.1", running.adminPort);
        const auto res = bare.Post("/admin/phones/PMADMIN001/restart", "", "application/json");
        QVERIFY(res);
        QCOMPARE(res->status, 401);
    }

    // Phones of three sizes: a touch at one share of the screen lands on the same icon of each,
    // and screenshots, previews and view dumps come in each phone's own pixels.
    void screenSizes()
    {
        QCOMPARE(farm::mixedScreenSize(QStringLiteral("PMSIZE0")), QSize(720, 1280));
        QCOMPARE(farm::mixedScreenSize(QStringLiteral("PMSIZE1")), QSize(540, 960));
        QCOMPARE(farm::mixedScreenSize(QStringLiteral("PMSIZE2")), QSize(1080, 1920));
        QCOMPARE(farm::mixedScreenSize(QStringLiteral("PMSIZEA")), QSize(1080, 1920)); // 'A' is 65

        harness::Farm phones;
        QVERIFY(phones.start({QStringLiteral("--mixed-screens")}));
        cc_core_set_gateway("127.0.0.1", phones.port);
        // The clock's icon, third on every launcher, as a share of the upright screen.
        const QRectF clock = farm::iconRect(2, 5);
        const QPointF share(clock.center().x() / (farm::kScreenWidth - 1),
                            clock.center().y() / (farm::kScreenHeight - 1));
        for (const QByteArray &id : {QByteArray("PMSIZE0"), QByteArray("PMSIZE1"), QByteArray("PMSIZE2")}) {
            const QSize size = farm::mixedScreenSize(QString::fromLatin1(id));
            const double scale = size.width() / 720.0;
            const QByteArray cred = harness::credential(id);
            auto shell = [&](const char *command) {
                return harness::run(cred, id, [command](SdkSession *s, SdkCallback cb) {
                    return cc_core_send_adb_command_msg_tob(s, command, cb, 0);
                });
            };
            QCOMPARE(shell("wm size").data,
                     QStringLiteral("Physical size: %1x%2\n").arg(size.width()).arg(size.height()).toUtf8());
            const auto shot = harness::run(cred, id, [](SdkSession *s, SdkCallback cb) {
                return cc_core_send_screencap_msg_tob(s, cb);
            });
            QCOMPARE(QImage::fromData(shot.data, "PNG").size(), size);
            const auto preview = harness::run(cred, id, [](SdkSession *s, SdkCallback cb) {
                return cc_core_send_preview_msg_tob(s, 60, 25, cb);
            });
            QCOMPARE(QImage::fromData(preview.data, "JPEG").size(), QSize(360, 640));

            // The dump places the icon where a tap in the phone's own pixels finds it.
            const QString dump = QString::fromUtf8(shell("uiautomator dump").data);
            const auto m =
                QRegularExpression(QStringLiteral("content-desc=\"com.pmapps.clock\" "
                                                  "bounds=\"\\[(\\d+),(\\d+)\\]\\[(\\d+),(\\d+)\\]\""))
                    .match(dump);
            QVERIFY2(m.hasMatch(), qPrintable(dump));
            QVERIFY(qAbs(m.captured(1).toInt() - clock.left() * scale) <= 1);
            QVERIFY(qAbs(m.captured(4).toInt() - clock.bottom() * scale) <= 1);
            QVERIFY(dump.contains(
                QStringLiteral("bounds=\"[0,0][%1,%2]\"").arg(size.width()).arg(size.height())));

            for (const auto action : {ccwire::TouchAction::Down, ccwire::TouchAction::Up}) {
                ccwire::Touch touch;
                touch.action = action;
                touch.x = quint16(share.x() * 65535);
                touch.y = quint16(share.y() * 65535);
                const QByteArray payload = ccwire::touchPayload(touch);
                QCOMPARE(harness::run(cred, id,
                                      [&payload](SdkSession *s, SdkCallback cb) {
                                          return cc_core_send_touch_updown_msg_tob(s, payload.constData(),
                                                                                   payload.size(), cb);
                                      })
                             .code,
                         0);
            }
            QVERIFY(shell("uiautomator dump")
                        .data.contains("<node class=\"android.widget.FrameLayout\" "
                                       "package=\"com.pmapps.clock\""));
        }
        phones.stop();
    }

    // A display stream ends once its credential's generation is retired; one of the newer
    // generation opens and streams.
    void displayOfRetiredGeneration()
    {
        harness::Farm running;
        QVERIFY(running.start());
        const QByteArray id = "PMSTREAM01";
        const auto open = [&](QTcpSocket &socket, qint64 generation) {
            socket.connectToHost(QHostAddress::LocalHost, running.port);
            ccwire::DisplayOpen display;
            display.credential = harness::credential(id, 0, false, harness::kSecret, generation);
            display.deviceId = id;
            return socket.waitForConnected(5000) && socket.write(ccwire::encode(display)) > 0;
        };
        // Reads until a frame or a status `code` arrives; false when the stream ends first.
        const auto await = [](QTcpSocket &socket, ccwire::FrameReader &reader, bool frame, int code) {
            for (;;) {
                ccwire::Message m;
                QString error;
                const auto r = reader.nextMessage(&m, &error);
                if (r == ccwire::FrameReader::Result::Error)
                    return false;
                if (r == ccwire::FrameReader::Result::Frame) {
                    if (frame && std::holds_alternative<ccwire::Frame>(m))
                        return true;
                    const auto *status = std::get_if<ccwire::DisplayStatus>(&m);
                    if (!frame && status && status->code == code)
                        return true;
                    continue;
                }
                if (!socket.waitForReadyRead(10000))
                    return false;
                reader.append(socket.readAll());
            }
        };
        QTcpSocket first;
        ccwire::FrameReader firstReader(ccwire::kMaxGatewayFrame);
        QVERIFY(open(first, 1));
        QVERIFY(await(first, firstReader, true, 0));
        QCOMPARE(running.admin("POST", "/admin/phones/PMSTREAM01/retire?generation=2"), 200);
        QVERIFY(await(first, firstReader, false, CC_ERR_EXPIRED_CREDENTIAL));
        QTRY_COMPARE_WITH_TIMEOUT(first.state(), QAbstractSocket::UnconnectedState, 30000);
        QTcpSocket second;
        ccwire::FrameReader secondReader(ccwire::kMaxGatewayFrame);
        QVERIFY(open(second, 2));
        QVERIFY(await(second, secondReader, true, 0));
    }

    // The whole chain: provider credentials open farm phones through
    // core-client, and the provider's restart and running status are the farm's.
    void providerLink()
    {
        const QString provider = harness::binDir() + QStringLiteral("/pelomir-provider");
        if (!QFileInfo(provider).isExecutable())
            QSKIP("pelomir-provider is not built");
        harness::Farm phones;
        QVERIFY(phones.start({QStringLiteral("--restart-ms"), QStringLiteral("1500")}));
        QTemporaryDir dir;
        testsupport::ServerProcess server(testsupport::ServerKind::provider(),
                                          {QStringLiteral("--db"), dir.filePath(QStringLiteral("p.db")),
                                           QStringLiteral("--fast-hash"), QStringLiteral("--dev"),
                                           QStringLiteral("--farm"),
                                           QStringLiteral("http://127.0.0.1:%1").arg(phones.adminPort)});
        QVERIFY(server.start());
        httplib::Client api("127.0.0.1", server.port());
        api.set_read_timeout(15, 0);
        auto call = [&api](const char *method, const QString &path, const QUrlQuery &form,
                           const QByteArray &token) {
            httplib::Headers headers;
            if (!token.isEmpty())
                headers.emplace("Authorization", token.toStdString());
            const QByteArray body = form.toString(QUrl::FullyEncoded).toUtf8();
            const auto res = QByteArray(method) == "POST"
                                 ? api.Post(path.toStdString(), headers, body.toStdString(),
                                            "application/x-www-form-urlencoded")
                                 : api.Get(path.toStdString(), headers);
            return res ? QJsonDocument::fromJson(QByteArray::fromStdString(res->body)).object()
                       : QJsonObject();
        };
        const QString user = QStringLiteral("/api/tamsu-phone-user/v1"),
                      phone = QStringLiteral("/api/tamsu-cloud-phone/v1");
        // The demo account's session token, or empty when the password is refused.
        const auto login = [&call, &user](const QString &password) {
            return call("POST", user + QStringLiteral("/login/phone"),
                        QUrlQuery({{QStringLiteral("phone"), QStringLiteral("13800000000")},
                                   {QStringLiteral("password"), password}}),
                        {})
                .value(QStringLiteral("content"))
                .toObject()
                .value(QStringLiteral("userToken"))
                .toObject()
                .value(QStringLiteral("token"))
                .toString()
                .toUtf8();
        };
        const QByteArray token = login(QStringLiteral("pelomir2026"));
        QVERIFY(!token.isEmpty());
        const QJsonArray groups = call("GET", phone + QStringLiteral("/phone/group-list"), {}, token)
                                      .value(QStringLiteral("content"))
                                      .toArray();
        QByteArray deviceId, ucid, viewId, viewUcid;
        int cloudId = 0, viewCloudId = 0;
        for (const auto &g : groups) {
            for (const auto &p : g.toObject().value(QStringLiteral("phoneList")).toArray()) {
                const QJsonObject access = p.toObject().value(QStringLiteral("accessInfo")).toObject();
                const QByteArray plain =
                    decryptUcid(access.value(QStringLiteral("ucid")).toString().toLatin1());
                const QByteArray cred = plain.left(plain.indexOf('#'));
                // Phones take the farm's three screen sizes in turn of their record ids.
                static const QSize turns[] = {{720, 1280}, {540, 960}, {1080, 1920}};
                QCOMPARE(farm::mixedScreenSize(access.value(QStringLiteral("deviceId")).toString()),
                         turns[(p.toObject().value(QStringLiteral("cloudPhoneId")).toInt() - 100000) % 3]);
                if (cred.split('.').value(2) == "1" && viewId.isEmpty()) {
                    viewId = access.value(QStringLiteral("deviceId")).toString().toLatin1();
                    viewUcid = cred;
                    viewCloudId = p.toObject().value(QStringLiteral("cloudPhoneId")).toInt();
                } else if (cred.split('.').value(2) == "0" && deviceId.isEmpty() &&
                           cred.split('.').value(1).toLongLong() > QDateTime::currentSecsSinceEpoch()) {
                    deviceId = access.value(QStringLiteral("deviceId")).toString().toLatin1();
                    ucid = cred;
                    cloudId = p.toObject().value(QStringLiteral("cloudPhoneId")).toInt();
                }
            }
        }
        QVERIFY(!deviceId.isEmpty() && !viewId.isEmpty());

        cc_core_set_gateway("127.0.0.1", phones.port);
        auto shell = [](const QByteArray &cred, const QByteArray &id, const char *command) {
            return harness::run(cred, id, [command](SdkSession *s, SdkCallback cb) {
                return cc_core_send_adb_command_msg_tob(s, command, cb, 0);
            });
        };
        QCOMPARE(shell(ucid, deviceId, "monkey -p com.pmapps.notes 1").code, 0);
        QCOMPARE(shell(viewUcid, viewId, "monkey -p com.pmapps.notes 1").code, int(CC_ERR_VIEW_ONLY));

        auto statusList = [&](const QString &ids) {
            return call("GET",
                        phone + QStringLiteral("/phone/list-phones-running-status?cloudPhoneIds=%1&type=3")
                                    .arg(ids),
                        {}, token)
                .value(QStringLiteral("content"))
                .toArray();
        };
        auto status = [&] {
            const QJsonArray content = statusList(QString::number(cloudId));
            return content.isEmpty() ? 0
                                     : content[0].toObject().value(QStringLiteral("runningStatus")).toInt();
        };
        // Several phones in one status call reach the farm as one signed id list.
        QCOMPARE(statusList(QStringLiteral("%1,%2").arg(cloudId).arg(viewCloudId)).size(), 2);
        QCOMPARE(status(), 1);
        const QJsonObject restarted =
            call("POST", phone + QStringLiteral("/phone/restart"),
                 QUrlQuery({{QStringLiteral("cloudPhoneIds"), QString::number(cloudId)},
                            {QStringLiteral("type"), QStringLiteral("3")}}),
                 token);
        QCOMPARE(restarted.value(QStringLiteral("status")).toInt(), 1);
        QCOMPARE(status(), 3);
        QCOMPARE(shell(ucid, deviceId, "pm list packages").code, int(CC_ERR_REBOOTING));
        QTRY_COMPARE_WITH_TIMEOUT(status(), 1, 10000);
        QCOMPARE(shell(ucid, deviceId, "pm list packages").code, 0);

        // A password reset voids the credentials taken before it, for Shell and Transfer alike; the
        // new ones work.
        call("POST", QStringLiteral("/api/public/v1/verify-code/send"),
             QUrlQuery({{QStringLiteral("mobile"), QStringLiteral("13800000000")}}), {});
        const QString code = call("GET", QStringLiteral("/dev/sms?phone=13800000000"), {}, {})
                                 .value(QStringLiteral("content"))
                                 .toObject()
                                 .value(QStringLiteral("code"))
                                 .toString();
        QCOMPARE(call("POST", user + QStringLiteral("/password/resetPasswordByPhoneWithSmsCaptcha"),
                      QUrlQuery({{QStringLiteral("phone"), QStringLiteral("13800000000")},
                                 {QStringLiteral("smsCaptcha"), code},
                                 {QStringLiteral("password"), QStringLiteral("fresh-secret")}}),
                      {})
                     .value(QStringLiteral("status"))
                     .toInt(),
                 1);
        QCOMPARE(shell(ucid, deviceId, "pm list packages").code, int(CC_ERR_EXPIRED_CREDENTIAL));
        const auto transfer = harness::run(ucid, deviceId, [](SdkSession *s, SdkCallback cb) {
            return cc_core_send_transfer_file_msg_tob(s, 1, "http://127.0.0.1:1/x.apk", cb);
        });
        QCOMPARE(transfer.code, int(CC_ERR_EXPIRED_CREDENTIAL));
        const QByteArray fresh = login(QStringLiteral("fresh-secret"));
        QByteArray renewed;
        for (const auto &g : call("GET", phone + QStringLiteral("/phone/group-list"), {}, fresh)
                                 .value(QStringLiteral("content"))
                                 .toArray())
            for (const auto &p : g.toObject().value(QStringLiteral("phoneList")).toArray()) {
                const QJsonObject access = p.toObject().value(QStringLiteral("accessInfo")).toObject();
                if (access.value(QStringLiteral("deviceId")).toString().toLatin1() == deviceId) {
                    const QByteArray plain =
                        decryptUcid(access.value(QStringLiteral("ucid")).toString().toLatin1());
                    renewed = plain.left(plain.indexOf('#'));
                }
            }
        QCOMPARE(renewed.split('.').value(3), QByteArray("2"));
        QCOMPARE(shell(renewed, deviceId, "pm list packages").code, 0);
        cc_core_uninit();
        QCOMPARE(server.terminate(), 0);
    }
};

int runFarmScenesTests(int argc, char *argv[]); // test_farm_scenes.cpp

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv); // the phones draw text
    TestPhoneFarm test;
    const int failed = QTest::qExec(&test, argc, argv);
    return failed + runFarmScenesTests(argc, argv);
}

#include "test_phonefarm.moc"
