// Over 600 lines on purpose: one test program per subsystem, and its cases share the servers and
// helpers set up here.
// core-client against a real phone farm on free ports.

#include "coreclient/core_client.h"
#include "tests/coreclient/request_helpers.h"
#include "tests/coreclient/surface.h"
#include "tests/support/farmharness.h"
#include "wire/wire.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QSet>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QWidget>
#include <QtEndian>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>

using harness::Request;
using harness::Result;
using harness::run;
using harness::Surface;
using harness::waitUntil;

namespace {

const QByteArray kPhone = "PMTEST0001";

QByteArray keyPayload(int code, int action)
{
    QByteArray p(8, '\0');
    qToLittleEndian<qint32>(code, p.data());
    p[4] = char(action);
    return p;
}

QByteArray touch(ccwire::TouchAction action, double fx, double fy)
{
    ccwire::Touch t;
    t.action = action;
    t.x = quint16(fx * 65535);
    t.y = quint16(fy * 65535);
    return ccwire::touchPayload(t);
}

// Centre of the first dump node whose attribute matches, in screen pixels.
QPoint nodeCentre(const QString &dump, const QString &attribute, const QString &value)
{
    const QRegularExpression re(
        QStringLiteral("<node [^>]*%1=\"%2\"[^>]*bounds=\"\\[(\\d+),(\\d+)\\]\\[(\\d+),(\\d+)\\]\"")
            .arg(attribute, QRegularExpression::escape(value)));
    const auto m = re.match(dump);
    if (!m.hasMatch())
        return {-1, -1};
    return {(m.captured(1).toInt() + m.captured(3).toInt()) / 2,
            (m.captured(2).toInt() + m.captured(4).toInt()) / 2};
}

// A display client of our own on a raw socket: frames in, acks and inputs out
// when the test chooses.
struct RawDisplay
{
    QTcpSocket socket;
    ccwire::FrameReader reader{ccwire::kMaxGatewayFrame};
    QList<ccwire::Frame> frames;
    QList<qint64> arrivedMs; // of each frame, on `clock`
    QElapsedTimer clock;

    bool open(quint16 port, const QByteArray &phone)
    {
        clock.start();
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(10000))
            return false;
        socket.write(ccwire::encode(
            ccwire::DisplayOpen{ccwire::kVersion, harness::credential(phone), phone, false, 30}));
        return true;
    }
    void send(const ccwire::Message &m)
    {
        socket.write(ccwire::encode(m));
        socket.flush();
    }
    // Reads what came within `ms`; false once the gateway closed or sent garbage.
    bool read(int ms)
    {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(ms))
            return socket.state() == QAbstractSocket::ConnectedState;
        reader.append(socket.readAll());
        ccwire::Message m;
        QString error;
        for (;;) {
            const auto result = reader.nextMessage(&m, &error);
            if (result == ccwire::FrameReader::Result::NeedMore)
                return true;
            if (result == ccwire::FrameReader::Result::Error)
                return false;
            if (auto *frame = std::get_if<ccwire::Frame>(&m)) {
                frames.append(*frame);
                arrivedMs.append(clock.elapsed());
            }
        }
    }
    // Reads until `count` frames have come in all, or `ms` have passed.
    bool waitFrames(int count, int ms)
    {
        QElapsedTimer waited;
        waited.start();
        while (frames.size() < count && waited.elapsed() < ms) {
            if (!read(50))
                return false;
        }
        return frames.size() >= count;
    }
};

// Serves files to the phones, as the object store would: a plain file, a simulated APK, a fake APK,
// a 404 and a redirect elsewhere. Addresses carry the file's SHA-256 as the phones require.
class FileServer
{
public:
    FileServer()
    {
        for (const auto &[path, content] : files) {
            const std::string body = content;
            server.Get(path, [body](const httplib::Request &, httplib::Response &res) {
                res.set_content(body, "application/octet-stream");
            });
        }
        server.Get("/redirect.txt", [](const httplib::Request &, httplib::Response &res) {
            res.set_redirect("http://127.0.0.2:1/notes.txt");
        });
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
    }
    ~FileServer()
    {
        server.stop();
        thread.join();
    }
    QByteArray base() const { return "http://127.0.0.1:" + QByteArray::number(port); }
    // The address with the digest of what is served there (of nothing for other paths).
    QByteArray url(const char *path) const
    {
        const auto it = files.find(path);
        const QByteArray content = it == files.end() ? QByteArray() : QByteArray(it->second);
        return base() + path +
               "#sha256=" + QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex();
    }

    const std::map<std::string, const char *> files = {
        {"/notes.txt", "hello phone"},
        {"/tally.apk", "PMAPK 1\npackage: org.example.tally\nlabel: 计数|器,2\nversion: 2.4\n\nbinary..."},
        {"/broken.apk", "PK\x03\x04 not ours"}};
    httplib::Server server;
    std::thread thread;
    int port = 0;
};

} // namespace

class TestCoreClient : public QObject
{
    Q_OBJECT

private:
    harness::Farm farm;
    std::unique_ptr<FileServer> files;

    Result shell(const QByteArray &phone, const QByteArray &command)
    {
        return run(harness::credential(phone), phone, [&](SdkSession *s, SdkCallback cb) {
            return cc_core_send_adb_command_msg_tob(s, command.constData(), cb, 0);
        });
    }
    QString dump(const QByteArray &phone) { return QString::fromUtf8(shell(phone, "uiautomator dump").data); }
    QByteArray packages(const QByteArray &phone)
    {
        return run(harness::credential(phone), phone,
                   [](SdkSession *s, SdkCallback cb) {
                       return cc_core_send_get_installed_package_msg_tob(s, cb);
                   })
            .data;
    }
    void pointGatewayAtFarm() { cc_core_set_gateway("127.0.0.1", farm.port); }
    // Established connections from this host to a local port. The kernel writes /proc/net/tcp a page
    // at a time, so while other processes open and close sockets one read can skip or repeat an
    // entry: distinct local ends, the larger count of two reads.
    static int gatewayConnections(quint16 port)
    {
        const QString remote = QStringLiteral("0100007F:%1").arg(port, 4, 16, QLatin1Char('0')).toUpper();
        const QRegularExpression re(QStringLiteral("^\\s*\\d+: ([0-9A-F]+:[0-9A-F]+) %1 01 ").arg(remote),
                                    QRegularExpression::MultilineOption);
        int most = 0;
        for (int attempt = 0; attempt < 2; ++attempt) {
            QFile tcp(QStringLiteral("/proc/self/net/tcp"));
            if (!tcp.open(QIODevice::ReadOnly))
                return -1;
            QSet<QString> local;
            for (auto it = re.globalMatch(QString::fromLatin1(tcp.readAll())); it.hasNext();)
                local.insert(it.next().captured(1));
            most = qMax(most, int(local.size()));
        }
        return most;
    }

private slots:
    void initTestCase()
    {
        // Restarts long enough that the request right after one still finds the phone restarting on
        // a loaded machine.
        files = std::make_unique<FileServer>();
        QVERIFY2(farm.start({QStringLiteral("--restart-ms"), QStringLiteral("3000"),
                             QStringLiteral("--reset-ms"), QStringLiteral("3000"), QStringLiteral("--store"),
                             QString::fromLatin1(files->base())}),
                 "pelomir-phonefarm did not start");
        QTemporaryDir logs;
        QCOMPARE(cc_core_init(QDir(logs.path()).filePath(QStringLiteral("log")).toLocal8Bit().constData()),
                 1);
        pointGatewayAtFarm();
    }

    void cleanupTestCase() { cc_core_uninit(); }

    // Tests that point the library at another gateway may stop early; the next one still starts on
    // the farm.
    void init() { pointGatewayAtFarm(); }

    void previewAndScreencap()
    {
        const QByteArray cred = harness::credential(kPhone);
        const QList<QPair<int, int>> sizes = {{CC_PREVIEW_LARGE, CC_PREVIEW_LARGE_WIDTH},
                                              {CC_PREVIEW_MEDIUM, CC_PREVIEW_MEDIUM_WIDTH},
                                              {CC_PREVIEW_SMALL, CC_PREVIEW_SMALL_WIDTH}};
        for (const auto &size : sizes) {
            const Result r = run(cred, kPhone, [&](SdkSession *s, SdkCallback cb) {
                return cc_core_send_preview_msg_tob(s, 25, size.first, cb);
            });
            QCOMPARE(r.calls, 1);
            QCOMPARE(r.code, 0);
            QVERIFY(!r.onCallerThread);
            QCOMPARE(r.deviceId, kPhone);
            const QImage jpeg = QImage::fromData(r.data, "JPEG");
            QCOMPARE(jpeg.size(), QSize(size.second, size.second * 16 / 9));
        }
        const Result png = run(cred, kPhone, [](SdkSession *s, SdkCallback cb) {
            return cc_core_send_screencap_msg_tob(s, cb);
        });
        QCOMPARE(png.code, 0);
        QVERIFY(png.data.startsWith("\x89PNG"));
        QCOMPARE(QImage::fromData(png.data, "PNG").size(), QSize(720, 1280));
    }

    // Chinese and emoji text, key editing and the navigation keys, checked
    // through the phone's view hierarchy.
    void textKeysAndNavigation()
    {
        const QByteArray phone = "PMTEXT0001", cred = harness::credential(phone);
        QCOMPARE(shell(phone, "monkey -p com.pmapps.notes -c android.intent.category.LAUNCHER 1").code, 0);
        const QByteArray text = QStringLiteral("云手机 你好，世界 😀 ok").toUtf8();
        Result r = run(cred, phone, [&](SdkSession *s, SdkCallback cb) {
            return cc_core_send_text_event_tob(s, text.constData(), text.size(), cb);
        });
        QCOMPARE(r.code, 0);
        QVERIFY2(dump(phone).contains(QStringLiteral("text=\"云手机 你好，世界 😀 ok\"")),
                 qPrintable(dump(phone)));

        // Three deletes remove "ok" and the space; the emoji's surrogate pair stays whole.
        for (int i = 0; i < 4; ++i) {
            for (int action : {1, 2}) {
                const QByteArray key = keyPayload(67, action);
                QCOMPARE(run(cred, phone,
                             [&](SdkSession *s, SdkCallback cb) {
                                 return cc_core_send_key_event_tob(s, key.constData(), 8, cb);
                             })
                             .code,
                         0);
            }
        }
        QVERIFY2(dump(phone).contains(QStringLiteral("text=\"云手机 你好，世界 \"")),
                 qPrintable(dump(phone)));

        const QByteArray invalid("\xe4\xbd", 2); // a cut-off UTF-8 sequence
        r = run(cred, phone, [&](SdkSession *s, SdkCallback cb) {
            return cc_core_send_text_event_tob(s, invalid.constData(), invalid.size(), cb);
        });
        QCOMPARE(r.code, int(CC_ERR_BAD_ARGUMENT));

        auto key = [&](int code) {
            return run(cred, phone,
                       [&](SdkSession *s, SdkCallback cb) {
                           return cc_core_send_function_key_tob(s, code, cb);
                       })
                .code;
        };
        QCOMPARE(key(CC_KEY_HOMEPAGE), 0);
        QVERIFY(dump(phone).contains(QStringLiteral("package=\"com.pmapps.launcher\"")));
        QCOMPARE(key(CC_KEY_APPSELECT), 0);
        QVERIFY(dump(phone).contains(QStringLiteral("content-desc=\"com.pmapps.notes\"")));
        QCOMPARE(key(CC_KEY_BACK), 0);
        QCOMPARE(key(CC_KEY_VOLUMEUP), 0);
        QCOMPARE(key(CC_KEY_VOLUMEDOWN), 0);
        QCOMPARE(key(116), int(CC_ERR_BAD_ARGUMENT));
        // A function key without a callback is still carried out.
        Request quiet(cred, phone);
        QCOMPARE(cc_core_send_function_key_tob(quiet.session(), CC_KEY_HOMEPAGE, nullptr), 0);
        QVERIFY(waitUntil([&] { return dump(phone).contains(QStringLiteral("com.pmapps.launcher")); }));
    }

    // A tap replayed from payloads opens the icon it lands on.
    void touchReplay()
    {
        const QByteArray phone = "PMTOUCH001", cred = harness::credential(phone);
        const QPoint icon =
            nodeCentre(dump(phone), QStringLiteral("content-desc"), QStringLiteral("com.pmapps.clock"));
        QVERIFY(icon.x() > 0);
        const double fx = icon.x() / 719.0, fy = icon.y() / 1279.0;
        const QByteArray down = touch(ccwire::TouchAction::Down, fx, fy),
                         move = touch(ccwire::TouchAction::Move, fx, fy),
                         up = touch(ccwire::TouchAction::Up, fx, fy);
        auto send = [&](const QByteArray &p, bool isMove) {
            return run(cred, phone,
                       [&](SdkSession *s, SdkCallback cb) {
                           return isMove ? cc_core_send_touch_move_msg_tob(s, p.constData(), p.size(), cb)
                                         : cc_core_send_touch_updown_msg_tob(s, p.constData(), p.size(), cb);
                       })
                .code;
        };
        QCOMPARE(send(down, false), 0);
        QCOMPARE(send(move, true), 0);
        QCOMPARE(send(up, false), 0);
        QVERIFY2(dump(phone).contains(QStringLiteral("package=\"com.pmapps.clock\"")),
                 qPrintable(dump(phone)));
        // A move sent as a press, or a short payload, is refused.
        QCOMPARE(send(move, false), int(CC_ERR_BAD_ARGUMENT));
        QCOMPARE(send(down.left(10), false), int(CC_ERR_BAD_ARGUMENT));
    }

    // Keys, texts and touches for two phones, sent without waiting for answers,
    // are carried out in call order on each phone.
    void perPhoneOrdering()
    {
        const QList<QByteArray> phones = {"PMORDER001", "PMORDER002"};
        QMap<QByteArray, QString> expected;
        for (const QByteArray &phone : phones) {
            QCOMPARE(shell(phone, "monkey -p com.pmapps.notes -c android.intent.category.LAUNCHER 1").code,
                     0);
            expected[phone] = QString();
        }
        // A drag that leaves its start activates nothing, whatever the screen shows.
        const QByteArray down = touch(ccwire::TouchAction::Down, 0.5, 0.6),
                         move = touch(ccwire::TouchAction::Move, 0.95, 0.3),
                         up = touch(ccwire::TouchAction::Up, 0.95, 0.3);
        const QByteArray del = keyPayload(67, 1), delUp = keyPayload(67, 2);
        std::vector<std::unique_ptr<Request>> requests;
        auto next = [&](const QByteArray &phone) {
            requests.push_back(std::make_unique<Request>(harness::credential(phone), phone));
            return requests.back()->session();
        };
        for (int i = 0; i < 400; ++i) {
            for (const QByteArray &phone : phones) {
                QString &text = expected[phone];
                if (i % 9 == 4 && !text.isEmpty()) {
                    QCOMPARE(cc_core_send_key_event_tob(next(phone), del.constData(), 8, &Request::callback),
                             0);
                    QCOMPARE(
                        cc_core_send_key_event_tob(next(phone), delUp.constData(), 8, &Request::callback), 0);
                    text.chop(1);
                } else if (i % 13 == 6) {
                    QCOMPARE(cc_core_send_touch_updown_msg_tob(next(phone), down.constData(), down.size(),
                                                               &Request::callback),
                             0);
                    QCOMPARE(cc_core_send_touch_move_msg_tob(next(phone), move.constData(), move.size(),
                                                             &Request::callback),
                             0);
                    QCOMPARE(cc_core_send_touch_updown_msg_tob(next(phone), up.constData(), up.size(),
                                                               &Request::callback),
                             0);
                } else {
                    const QByteArray c(1, char('a' + (i * 7 + phone.back()) % 26));
                    QCOMPARE(cc_core_send_text_event_tob(next(phone), c.constData(), 1, &Request::callback),
                             0);
                    text += QLatin1String(c);
                }
            }
        }
        for (auto &r : requests) {
            QVERIFY(r->wait(60000));
            QCOMPARE(r->result().calls, 1);
            QCOMPARE(r->result().code, 0);
        }
        for (const QByteArray &phone : phones) {
            const QString screen = dump(phone);
            QVERIFY2(screen.contains(QStringLiteral("text=\"%1\"").arg(expected[phone])),
                     qPrintable(expected[phone] + QLatin1Char('\n') + screen));
        }
    }

    void shellCommandsAndPackages()
    {
        const QByteArray phone = "PMSHELL001";
        const QByteArray list = packages(phone);
        for (const QByteArray &entry : list.split(','))
            QCOMPARE(entry.count('|'), 2);
        QVERIFY(list.contains("|com.pmapps.browser|" + QStringLiteral("浏览器").toUtf8()));

        QCOMPARE(shell(phone, "monkey -p com.pmapps.browser -c android.intent.category.LAUNCHER 1").code, 0);
        QVERIFY(dump(phone).contains(QStringLiteral("package=\"com.pmapps.browser\"")));
        QCOMPARE(shell(phone, "am force-stop com.pmapps.browser").code, 0);
        QVERIFY(dump(phone).contains(QStringLiteral("com.pmapps.launcher")));
        QCOMPARE(shell(phone, "pm uninstall --user 0 com.pmapps.browser").data, QByteArray("Success\n"));
        QVERIFY(!packages(phone).contains("com.pmapps.browser"));
        QVERIFY(!dump(phone).contains(QStringLiteral("com.pmapps.browser")));

        Result r = shell(phone, "pm uninstall --user 0 com.pmapps.browser");
        QCOMPARE(r.code, int(CC_ERR_COMMAND_FAILED));
        QVERIFY(r.data.startsWith("Failure"));
        r = shell(phone, "monkey -p com.pmapps.browser 1");
        QCOMPARE(r.code, int(CC_ERR_COMMAND_FAILED));
        QVERIFY(r.data.contains("No activities found"));
        QCOMPARE(shell(phone, "ime set com.android.adbkeyboard/.AdbIME").code, 0);
        r = shell(phone, "reboot now");
        QCOMPARE(r.code, int(CC_ERR_COMMAND_FAILED));
        QCOMPARE(r.data, QByteArray("/system/bin/sh: reboot: inaccessible or not found\n"));
        QCOMPARE(shell(phone, "   ").code, int(CC_ERR_BAD_ARGUMENT));
        QCOMPARE(shell(phone, QByteArray(1024, 'x')).code, int(CC_ERR_BAD_ARGUMENT));
    }

    void transferAndInstall()
    {
        const QByteArray phone = "PMFILE0001", cred = harness::credential(phone);
        auto transfer = [&](int install, const QByteArray &url) {
            return run(cred, phone, [&](SdkSession *s, SdkCallback cb) {
                return cc_core_send_transfer_file_msg_tob(s, install, url.constData(), cb);
            });
        };
        Result r = transfer(0, files->url("/notes.txt"));
        QCOMPARE(r.code, 0);
        QCOMPARE(r.data, QByteArray("notes.txt"));

        r = transfer(1, files->url("/tally.apk"));
        QCOMPARE(r.code, 0);
        QCOMPARE(r.data, QByteArray("tally.apk|org.example.tally"));
        // The separators of the package list cannot come in through a label.
        QVERIFY(packages(phone).endsWith(",2.4|org.example.tally|" + QStringLiteral("计数 器 2").toUtf8()));
        QVERIFY(dump(phone).contains(QStringLiteral("content-desc=\"org.example.tally\"")));
        QCOMPARE(shell(phone, "monkey -p org.example.tally 1").code, 0);

        r = transfer(1, files->url("/broken.apk"));
        QCOMPARE(r.code, int(CC_ERR_INSTALL_FAILED));
        QVERIFY(r.data.startsWith("INSTALL_FAILED_INVALID_APK"));
        QCOMPARE(transfer(1, files->url("/notes.txt")).code, int(CC_ERR_INSTALL_FAILED));
        r = transfer(0, files->url("/missing.bin"));
        QCOMPARE(r.code, int(CC_ERR_TRANSFER_FAILED));
        QCOMPARE(r.data, QByteArray("download failed: HTTP 404"));
        QCOMPARE(transfer(0, "ftp://127.0.0.1/x").code, int(CC_ERR_BAD_ARGUMENT));
        QCOMPARE(transfer(2, files->url("/notes.txt")).code, int(CC_ERR_BAD_ARGUMENT));

        // Bytes other than the sender's are refused, and so is an address without their digest.
        const QByteArray notes = files->url("/notes.txt");
        r = transfer(0, notes.left(notes.indexOf('#')) + "#sha256=" + QByteArray(64, '0'));
        QCOMPARE(r.code, int(CC_ERR_TRANSFER_FAILED));
        QVERIFY(r.data.contains("sha256 differs"));
        QCOMPARE(transfer(0, notes.left(notes.indexOf('#'))).code, int(CC_ERR_BAD_ARGUMENT));
        QCOMPARE(transfer(0, notes.left(notes.indexOf('#')) + "#md5=abc").code, int(CC_ERR_BAD_ARGUMENT));
        // Only the store's address is fetched: not another port or host of the farm's network, not
        // the store's host under another scheme, and no redirect away from it.
        httplib::Server elsewhere;
        std::atomic<int> hits{0};
        elsewhere.Get(".*", [&hits](const httplib::Request &, httplib::Response &res) {
            ++hits;
            res.set_content("hello phone", "text/plain");
        });
        const int elsewherePort = elsewhere.bind_to_any_port("127.0.0.1");
        std::thread serving([&] { elsewhere.listen_after_bind(); });
        const QByteArray digest = notes.mid(notes.indexOf('#'));
        for (const QByteArray &url :
             {"http://127.0.0.1:" + QByteArray::number(elsewherePort) + "/notes.txt" + digest,
              "http://localhost:" + QByteArray::number(files->port) + "/notes.txt" + digest,
              "https://127.0.0.1:" + QByteArray::number(files->port) + "/notes.txt" + digest}) {
            r = transfer(0, url);
            QCOMPARE(r.code, int(CC_ERR_BAD_ARGUMENT));
            QVERIFY2(r.data.startsWith("refused"), r.data.constData());
        }
        elsewhere.stop();
        serving.join();
        QCOMPARE(hits.load(), 0);
        r = transfer(0, files->url("/redirect.txt"));
        QCOMPARE(r.code, int(CC_ERR_TRANSFER_FAILED));
        QVERIFY2(r.data.contains("302"), r.data.constData());
    }

    void userLogin()
    {
        const QByteArray phone = "PMLOGIN001";
        const Result r = run(harness::credential(phone), phone, [](SdkSession *s, SdkCallback cb) {
            return cc_core_send_user_login_data_tob(s, cb);
        });
        QCOMPARE(r.code, 0);
        const QJsonObject answer = QJsonDocument::fromJson(r.data).object();
        QCOMPARE(answer.value(QStringLiteral("deviceId")).toString(), QString::fromLatin1(phone));
        QVERIFY(answer.value(QStringLiteral("loggedIn")).toBool());

        // A callback may send the next request itself, as the login of a
        // mirrored phone does with the keyboard switch.
        static std::atomic<int> chained{1};
        chained = 1;
        Request login(harness::credential(phone), phone);
        cc_core_send_user_login_data_tob(
            login.session(), [](SdkSession *s, int, int code, const void *, int) {
                const int sent = cc_core_send_adb_command_msg_tob(
                    s, "ime set com.android.adbkeyboard/.AdbIME",
                    [](SdkSession *, int, int code, const void *, int) { chained = code; }, 0);
                if (code < 0 || sent < 0)
                    chained = -100;
            });
        QVERIFY(waitUntil([] { return chained != 1; }));
        QCOMPARE(int(chained), 0);
    }

    void refusals_data()
    {
        QTest::addColumn<QByteArray>("credential");
        QTest::addColumn<QByteArray>("deviceId");
        QTest::addColumn<int>("code");
        const QByteArray good = harness::credential(kPhone);
        QByteArray tampered = good;
        tampered[tampered.size() - 1] = tampered.endsWith('0') ? '1' : '0';
        QTest::newRow("tampered") << tampered << kPhone << int(CC_ERR_BAD_CREDENTIAL);
        QTest::newRow("other phone's")
            << harness::credential("PMOTHER001") << kPhone << int(CC_ERR_BAD_CREDENTIAL);
        QTest::newRow("wrong secret")
            << harness::credential(kPhone, 0, false, "guess") << kPhone << int(CC_ERR_BAD_CREDENTIAL);
        QTest::newRow("garbage") << QByteArray("hello") << kPhone << int(CC_ERR_BAD_CREDENTIAL);
        QTest::newRow("expired") << harness::credential(kPhone, QDateTime::currentSecsSinceEpoch() - 1)
                                 << kPhone << int(CC_ERR_EXPIRED_CREDENTIAL);
        QTest::newRow("unknown phone")
            << harness::credential("PM-bad/id") << QByteArray("PM-bad/id") << int(CC_ERR_UNKNOWN_PHONE);
        QTest::newRow("id too long") << good << QByteArray(32, 'A') << int(CC_ERR_BAD_ARGUMENT);
        QTest::newRow("credential too long") << QByteArray(256, 'u') << kPhone << int(CC_ERR_BAD_ARGUMENT);
        QTest::newRow("empty id") << good << QByteArray() << int(CC_ERR_BAD_ARGUMENT);
    }

    void refusals()
    {
        QFETCH(QByteArray, credential);
        QFETCH(QByteArray, deviceId);
        QFETCH(int, code);
        const Result r = run(credential, deviceId, [](SdkSession *s, SdkCallback cb) {
            return cc_core_send_screencap_msg_tob(s, cb);
        });
        QCOMPARE(r.calls, 1);
        QCOMPARE(r.code, code);
        QVERIFY(!r.onCallerThread);
    }

    void badArguments()
    {
        const QByteArray cred = harness::credential(kPhone);
        QList<std::function<int(SdkSession *, SdkCallback)>> calls = {
            [](SdkSession *s, SdkCallback cb) { return cc_core_send_preview_msg_tob(s, 25, 14, cb); },
            [](SdkSession *s, SdkCallback cb) { return cc_core_send_preview_msg_tob(s, 0, 17, cb); },
            [](SdkSession *s, SdkCallback cb) { return cc_core_send_key_event_tob(s, "1234567", 7, cb); },
            [](SdkSession *s, SdkCallback cb) {
                static const QByteArray big(CC_MAX_TEXT_BYTES + 1, 'a');
                return cc_core_send_text_event_tob(s, big.constData(), big.size(), cb);
            },
            [](SdkSession *s, SdkCallback cb) { return cc_core_send_text_event_tob(s, nullptr, 5, cb); },
            [](SdkSession *s, SdkCallback cb) { return cc_core_send_touch_move_msg_tob(s, "x", -1, cb); },
            [](SdkSession *s, SdkCallback cb) { return cc_core_send_adb_command_msg_tob(s, nullptr, cb, 0); },
        };
        for (const auto &call : calls) {
            const Result r = run(cred, kPhone, call);
            QCOMPARE(r.calls, 1);
            QCOMPARE(r.code, int(CC_ERR_BAD_ARGUMENT));
            QVERIFY(!r.onCallerThread);
        }
        // A missing session is refused through the callback as well.
        static std::atomic<int> calls2{0};
        calls2 = 0;
        QCOMPARE(cc_core_send_screencap_msg_tob(nullptr,
                                                [](SdkSession *, int, int code, const void *, int) {
                                                    if (code == CC_ERR_BAD_ARGUMENT)
                                                        ++calls2;
                                                }),
                 int(CC_ERR_BAD_ARGUMENT));
        QVERIFY(waitUntil([] { return calls2 == 1; }));
    }

    void viewOnly()
    {
        const QByteArray phone = "PMVIEW0001", cred = harness::credential(phone, 0, true);
        QCOMPARE(run(cred, phone,
                     [](SdkSession *s, SdkCallback cb) { return cc_core_send_screencap_msg_tob(s, cb); })
                     .code,
                 0);
        QCOMPARE(
            run(cred, phone,
                [](SdkSession *s, SdkCallback cb) { return cc_core_send_preview_msg_tob(s, 25, 13, cb); })
                .code,
            0);
        QCOMPARE(run(cred, phone,
                     [](SdkSession *s, SdkCallback cb) {
                         return cc_core_send_get_installed_package_msg_tob(s, cb);
                     })
                     .code,
                 0);
        const QByteArray key = keyPayload(66, 1), tap = touch(ccwire::TouchAction::Down, 0.5, 0.5);
        QList<std::function<int(SdkSession *, SdkCallback)>> refused = {
            [&](SdkSession *s, SdkCallback cb) { return cc_core_send_text_event_tob(s, "hi", 2, cb); },
            [&](SdkSession *s, SdkCallback cb) {
                return cc_core_send_key_event_tob(s, key.constData(), 8, cb);
            },
            [&](SdkSession *s, SdkCallback cb) {
                return cc_core_send_function_key_tob(s, CC_KEY_HOMEPAGE, cb);
            },
            [&](SdkSession *s, SdkCallback cb) {
                return cc_core_send_touch_updown_msg_tob(s, tap.constData(), tap.size(), cb);
            },
            [&](SdkSession *s, SdkCallback cb) {
                return cc_core_send_adb_command_msg_tob(s, "pm uninstall --user 0 com.pmapps.notes", cb, 0);
            },
            [&](SdkSession *s, SdkCallback cb) {
                return cc_core_send_transfer_file_msg_tob(s, 0, files->url("/notes.txt").constData(), cb);
            },
            [&](SdkSession *s, SdkCallback cb) { return cc_core_send_user_login_data_tob(s, cb); },
        };
        for (const auto &call : refused)
            QCOMPARE(run(cred, phone, call).code, int(CC_ERR_VIEW_ONLY));
        QVERIFY(packages(phone).contains("com.pmapps.notes"));
    }

    // Restart and reset through the admin API: requests meanwhile get the
    // rebooting code; reset brings uninstalled factory apps back.
    void restartAndReset()
    {
        const QByteArray phone = "PMBOOT0001";
        QCOMPARE(shell(phone, "pm uninstall --user 0 com.pmapps.notes").code, 0);
        QCOMPARE(farm.admin("POST", "/admin/phones/" + phone + "/restart"), 200);
        QCOMPARE(shell(phone, "pm list packages").code, int(CC_ERR_REBOOTING));
        QVERIFY(waitUntil([&] { return shell(phone, "pm list packages").code == 0; }, 60000));
        QVERIFY(!packages(phone).contains("com.pmapps.notes"));

        QCOMPARE(farm.admin("POST", "/admin/phones/" + phone + "/reset"), 200);
        QCOMPARE(packages(phone), QByteArray());
        QVERIFY(waitUntil([&] { return packages(phone).contains("com.pmapps.notes"); }, 60000));
    }

    void timeout()
    {
        QTcpServer silent; // accepts and never answers
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        cc_core_set_gateway("127.0.0.1", silent.serverPort());
        cc_core_set_timeouts(300, 300);
        const Result r = run(harness::credential(kPhone), kPhone, [](SdkSession *s, SdkCallback cb) {
            return cc_core_send_screencap_msg_tob(s, cb);
        });
        cc_core_set_timeouts(CC_REQUEST_TIMEOUT_MS, CC_TRANSFER_TIMEOUT_MS);
        pointGatewayAtFarm();
        QCOMPARE(r.calls, 1);
        QCOMPARE(r.code, int(CC_ERR_TIMEOUT));
    }

    void unreachable()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const quint16 port = closed.serverPort();
        closed.close();
        cc_core_set_gateway("127.0.0.1", port);
        const Result r = run(harness::credential(kPhone), kPhone, [](SdkSession *s, SdkCallback cb) {
            return cc_core_send_screencap_msg_tob(s, cb);
        });
        pointGatewayAtFarm();
        QCOMPARE(r.code, int(CC_ERR_UNREACHABLE));
    }

    // A farm killed while phones are downloading: each waiting callback runs
    // once with the lost-connection code, and the next request finds no gateway.
    void gatewayDiesMidRequest()
    {
        QTcpServer stall; // a store that never answers keeps the downloads open
        QVERIFY(stall.listen(QHostAddress::LocalHost));
        const QByteArray store = "http://127.0.0.1:" + QByteArray::number(stall.serverPort());
        harness::Farm doomed;
        QVERIFY(doomed.start({QStringLiteral("--store"), QString::fromLatin1(store)}));
        const QByteArray url = store + "/big.apk#sha256=" + QByteArray(64, '0');
        cc_core_set_gateway("127.0.0.1", doomed.port);
        std::vector<std::unique_ptr<Request>> requests;
        for (int i = 0; i < 6; ++i) {
            const QByteArray phone = "PMDIE" + QByteArray::number(i);
            requests.push_back(std::make_unique<Request>(harness::credential(phone), phone));
            cc_core_send_transfer_file_msg_tob(requests.back()->session(), 1, url.constData(),
                                               &Request::callback);
        }
        QVERIFY(waitUntil([&] { return stall.hasPendingConnections(); }));
        doomed.process.kill();
        QVERIFY(doomed.process.waitForFinished(30000));
        // On a busy machine another program could start listening on the freed port; a bound socket
        // that never listens keeps it refusing connections.
        const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(holder >= 0);
        const auto release = qScopeGuard([holder] { ::close(holder); });
        const int reuse = 1;
        ::setsockopt(holder, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(doomed.port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QVERIFY2(::bind(holder, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0,
                 "the dead gateway's port was taken at once");
        for (auto &r : requests) {
            QVERIFY(r->wait());
            QCOMPARE(r->result().code, int(CC_ERR_CONNECTION_LOST));
        }
        const Result after = run(harness::credential(kPhone), kPhone, [](SdkSession *s, SdkCallback cb) {
            return cc_core_send_screencap_msg_tob(s, cb);
        });
        QCOMPARE(after.code, int(CC_ERR_UNREACHABLE));
        pointGatewayAtFarm();
        // Callbacks are delivered in order: a marker request seen after them
        // proves no second call of the earlier ones is still queued.
        QCOMPARE(shell(kPhone, "pm list packages").code, 0);
        for (auto &r : requests)
            QCOMPARE(r->result().calls, 1);
    }

    // Farm side: bad frames close that connection only.
    void malformedFramesToFarm()
    {
        const QList<QByteArray> bad = {
            QByteArray::fromHex("ffffff7f01"),                // length far over the cap
            QByteArray::fromHex("0000000000"),                // zero length
            QByteArray::fromHex("0100000099"),                // unknown type
            QByteArray::fromHex("0700000001010000000cff"),    // credential length beyond the frame
            ccwire::encode(ccwire::Response{1, 0, "answer"}), // a gateway message from a client
            ccwire::encode(ccwire::Input{1, ccwire::InputKind::TouchUpDown, "x"}), // input without a display
        };
        for (const QByteArray &frame : bad) {
            QTcpSocket raw;
            raw.connectToHost(QHostAddress::LocalHost, farm.port);
            QVERIFY(raw.waitForConnected(5000));
            raw.write(frame);
            QVERIFY2(raw.state() == QAbstractSocket::UnconnectedState || raw.waitForDisconnected(5000),
                     frame.toHex().constData());
        }
        QCOMPARE(shell(kPhone, "pm list packages").code, 0);
    }

    // Gateway side: silent connections are closed, whatever their first
    // frame was, and one whose first credential is refused ends at once with
    // only that answer.
    void gatewayClosesSilentAndRefusedPeers()
    {
        harness::Farm quick;
        QVERIFY(quick.start({QStringLiteral("--idle-ms"), QStringLiteral("300")}));
        auto request = [](quint32 id, const QByteArray &phone, const QByteArray &cred) {
            ccwire::Request r;
            r.id = id;
            r.op = ccwire::Op::Shell;
            r.credential = cred;
            r.deviceId = phone;
            r.payload = "pm list packages";
            return ccwire::encode(r);
        };
        // Answers until the gateway closes, `want` have come, or time runs out.
        auto collect = [](QTcpSocket &raw, int want = 100) {
            ccwire::FrameReader reader(ccwire::kMaxGatewayFrame);
            QList<ccwire::Response> out;
            QElapsedTimer clock;
            clock.start();
            while (out.size() < want && clock.elapsed() < 10000) {
                if (raw.bytesAvailable() == 0 && !raw.waitForReadyRead(100) &&
                    raw.state() != QAbstractSocket::ConnectedState)
                    break;
                reader.append(raw.readAll());
                ccwire::Message m;
                QString error;
                while (reader.nextMessage(&m, &error) == ccwire::FrameReader::Result::Frame)
                    out.append(std::get<ccwire::Response>(m));
            }
            return out;
        };
        auto connectTo = [](QTcpSocket &raw, quint16 port) {
            raw.connectToHost(QHostAddress::LocalHost, port);
            return raw.waitForConnected(5000);
        };
        const QByteArray good = request(7, kPhone, harness::credential(kPhone));
        // A first frame trickled a byte at a time, each well within the limit, is cut off all the same.
        {
            QTcpSocket raw;
            QVERIFY(connectTo(raw, quick.port));
            int sent = 0;
            while (sent < good.size() && raw.state() == QAbstractSocket::ConnectedState) {
                raw.write(good.mid(sent++, 1));
                raw.waitForDisconnected(100);
            }
            QCOMPARE(raw.state(), QAbstractSocket::UnconnectedState);
            QVERIFY(sent < good.size());
        }
        {
            QTcpSocket raw;
            QVERIFY(connectTo(raw, quick.port));
            QCOMPARE(collect(raw).size(), 0);
            QCOMPARE(raw.state(), QAbstractSocket::UnconnectedState);
        }
        // An idle request connection ends with a notice after the last answer,
        // and a request that meets the notice is neither carried out nor answered.
        {
            QTcpSocket raw;
            QVERIFY(connectTo(raw, quick.port));
            raw.write(good);
            const QList<ccwire::Response> got = collect(raw, 2);
            QCOMPARE(got.size(), 2);
            QCOMPARE(got[0].id, 7u);
            QCOMPARE(got[1].id, ccwire::kIdleNoticeId);
            QCOMPARE(got[1].code, int(CC_ERR_TIMEOUT));
            raw.write(request(9, kPhone, harness::credential(kPhone)));
            QCOMPARE(collect(raw).size(), 0);
            QCOMPARE(raw.state(), QAbstractSocket::UnconnectedState);
        }

        // On the farm with the default limit of 10 s, so the end comes from the refusal.
        const QByteArray refused = request(8, kPhone, harness::credential(kPhone, 0, false, "wrong secret"));
        QTcpSocket raw;
        QVERIFY(connectTo(raw, farm.port));
        raw.write(refused + good);
        const QList<ccwire::Response> got = collect(raw);
        QCOMPARE(raw.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(got.size(), 1);
        QCOMPARE(got[0].id, 8u);
        QCOMPARE(got[0].code, int(CC_ERR_BAD_CREDENTIAL));
        // A connection whose first request was accepted keeps going after a refusal.
        QTcpSocket used;
        QVERIFY(connectTo(used, farm.port));
        used.write(good + refused + good);
        QCOMPARE(collect(used, 3).size(), 3);
        QCOMPARE(used.state(), QAbstractSocket::ConnectedState);
    }

    // Library side: requests after the gateway closed an idle connection, and
    // those queued behind a refused first request, still go through in order.
    void libraryOutlivesGatewayCloses()
    {
        harness::Farm quick;
        QVERIFY(quick.start({QStringLiteral("--idle-ms"), QStringLiteral("300")}));
        cc_core_set_gateway("127.0.0.1", quick.port);
        const QByteArray phone = "PMIDLE0001", cred = harness::credential(phone);
        QCOMPARE(shell(phone, "monkey -p com.pmapps.notes -c android.intent.category.LAUNCHER 1").code, 0);
        // The gateway closes the idle connection; then it carries more.
        QVERIFY(waitUntil([&] { return gatewayConnections(quick.port) == 0; }));
        Request wrong(harness::credential(phone, 0, false, "wrong secret"), phone);
        QCOMPARE(cc_core_send_text_event_tob(wrong.session(), "x", 1, &Request::callback), 0);
        std::vector<std::unique_ptr<Request>> typed;
        for (const char *piece : {"a", "b", "c", "d"}) {
            typed.push_back(std::make_unique<Request>(cred, phone));
            QCOMPARE(cc_core_send_text_event_tob(typed.back()->session(), piece, 1, &Request::callback), 0);
        }
        QVERIFY(wrong.wait());
        QCOMPARE(wrong.result().code, int(CC_ERR_BAD_CREDENTIAL));
        for (auto &r : typed) {
            QVERIFY(r->wait());
            QCOMPARE(r->result().calls, 1);
            QCOMPARE(r->result().code, 0);
        }
        QVERIFY2(dump(phone).contains(QStringLiteral("text=\"abcd\"")), qPrintable(dump(phone)));
        pointGatewayAtFarm();
    }

    // Library side: a request that crosses the gateway's idle notice (our own
    // idle close came too late, as under load) goes again on a new connection,
    // ahead of what was queued behind it, and is answered once.
    void requestCrossingIdleNoticeGoesAgain()
    {
        QTcpServer gateway;
        QVERIFY(gateway.listen(QHostAddress::LocalHost));
        QList<QList<quint32>> seen; // request ids per connection
        connect(&gateway, &QTcpServer::newConnection, &gateway, [&] {
            QTcpSocket *s = gateway.nextPendingConnection();
            const int index = seen.size();
            seen.append(QList<quint32>());
            auto reader = std::make_shared<ccwire::FrameReader>(ccwire::kMaxClientFrame);
            connect(s, &QTcpSocket::readyRead, s, [&, s, index, reader] {
                reader->append(s->readAll());
                ccwire::Message m;
                QString error;
                while (reader->nextMessage(&m, &error) == ccwire::FrameReader::Result::Frame) {
                    const quint32 id = std::get<ccwire::Request>(m).id;
                    seen[index].append(id);
                    if (index == 0 && seen[index].size() > 1) {
                        // The first connection idles out as the second request arrives.
                        s->write(ccwire::encode(ccwire::Response{ccwire::kIdleNoticeId, CC_ERR_TIMEOUT, {}}));
                        s->disconnectFromHost();
                        return;
                    }
                    s->write(ccwire::encode(ccwire::Response{id, 0, {}}));
                }
            });
        });
        cc_core_set_gateway("127.0.0.1", gateway.serverPort());
        const QByteArray cred = harness::credential(kPhone);
        Request first(cred, kPhone);
        QCOMPARE(cc_core_send_text_event_tob(first.session(), "a", 1, &Request::callback), 0);
        QVERIFY(first.wait());
        QCOMPARE(first.result().code, 0);
        Request crossing(cred, kPhone), behind(cred, kPhone);
        QCOMPARE(cc_core_send_text_event_tob(crossing.session(), "b", 1, &Request::callback), 0);
        QCOMPARE(cc_core_send_text_event_tob(behind.session(), "c", 1, &Request::callback), 0);
        QVERIFY(crossing.wait());
        QVERIFY(behind.wait());
        pointGatewayAtFarm();
        QCOMPARE(crossing.result().calls, 1);
        QCOMPARE(crossing.result().code, 0);
        QCOMPARE(behind.result().calls, 1);
        QCOMPARE(behind.result().code, 0);
        QCOMPARE(seen.size(), 2);
        QCOMPARE(seen[1].size(), 2);
        QCOMPARE(seen[1][0], seen[0][1]);
        QVERIFY(seen[1][0] != seen[0][0]);
    }

    // Library side: a gateway that answers garbage fails the request with
    // the protocol code; later requests work again.
    void malformedFramesFromGateway()
    {
        QTcpServer liar;
        QVERIFY(liar.listen(QHostAddress::LocalHost));
        connect(&liar, &QTcpServer::newConnection, &liar, [&liar] {
            QTcpSocket *s = liar.nextPendingConnection();
            connect(s, &QTcpSocket::readyRead, s, [s] {
                s->readAll();
                s->write(QByteArray::fromHex("03000000817777")); // a response cut short inside its frame
            });
        });
        cc_core_set_gateway("127.0.0.1", liar.serverPort());
        const Result r = run(harness::credential(kPhone), kPhone, [](SdkSession *s, SdkCallback cb) {
            return cc_core_send_screencap_msg_tob(s, cb);
        });
        pointGatewayAtFarm();
        QCOMPARE(r.calls, 1);
        QCOMPARE(r.code, int(CC_ERR_PROTOCOL));
        QCOMPARE(shell(kPhone, "pm list packages").code, 0);
    }

    // Both parsers survive random and mutated frames: they either decode a
    // message that encodes back to the same bytes or reject it.
    void randomFramesToParsers()
    {
        auto *rng = QRandomGenerator::global();
        const QList<ccwire::Message> samples = {
            ccwire::Request{7, ccwire::Op::Text, harness::credential(kPhone), kPhone, "text"},
            ccwire::DisplayOpen{1, "cred", kPhone, true, 30},
            ccwire::Input{3, ccwire::InputKind::TouchMove, touch(ccwire::TouchAction::Move, 0.2, 0.3)},
            ccwire::FrameAck{9},
            ccwire::Response{7, -3, "data"},
            ccwire::DisplayStatus{-7},
            ccwire::Frame{1, 2, 720, 1280, 0, 123, "jpeg"},
            ccwire::KeyframeRequest{5},
            ccwire::Frame{2, 3, 1280, 720, 1, 456, "h264", ccwire::Codec::H264, true},
        };
        int decoded = 0;
        for (int i = 0; i < 20000; ++i) {
            QByteArray frame = ccwire::encode(samples[i % samples.size()]);
            if (i % 3 == 0) {
                frame.resize(rng->bounded(1, 64));
                for (char &c : frame)
                    c = char(rng->bounded(256));
            } else {
                for (int flips = rng->bounded(1, 4); flips > 0; --flips)
                    frame[rng->bounded(frame.size())] = char(rng->bounded(256));
                if (rng->bounded(4) == 0)
                    frame.truncate(rng->bounded(frame.size()));
            }
            for (quint32 cap : {ccwire::kMaxClientFrame, ccwire::kMaxGatewayFrame}) {
                ccwire::FrameReader reader(cap);
                reader.append(frame);
                QByteArray body;
                QString error;
                if (reader.next(&body, &error) != ccwire::FrameReader::Result::Frame)
                    continue;
                ccwire::Message message;
                if (ccwire::decode(body, &message, &error)) {
                    ++decoded;
                    QCOMPARE(ccwire::encode(message).mid(4), body);
                } else {
                    QVERIFY(!error.isEmpty());
                }
            }
        }
        QVERIFY(decoded > 0);

        // The same kind of bytes at the live farm, interleaved with real requests.
        for (int i = 0; i < 200; ++i) {
            QByteArray frame = ccwire::encode(samples[i % 4]);
            frame[4 + rng->bounded(frame.size() - 4)] = char(rng->bounded(256));
            QTcpSocket raw;
            raw.connectToHost(QHostAddress::LocalHost, farm.port);
            QVERIFY(raw.waitForConnected(5000));
            raw.write(frame);
            raw.waitForBytesWritten(1000);
        }
        QCOMPARE(shell(kPhone, "pm list packages").code, 0);
    }

    // 200 phones previewed at once share the library's few connections.
    void previewSweep()
    {
        // This checks that every preview comes and how few connections carry
        // them, not how fast: a loaded machine may need more than the usual time-out.
        constexpr int kSweepTimeoutMs = 600000;
        cc_core_set_timeouts(kSweepTimeoutMs, 0);
        const auto restore = qScopeGuard([] { cc_core_set_timeouts(CC_REQUEST_TIMEOUT_MS, 0); });
        std::vector<std::unique_ptr<Request>> requests;
        for (int i = 0; i < 200; ++i) {
            const QByteArray phone = "PMSWEEP" + QByteArray::number(i);
            requests.push_back(std::make_unique<Request>(harness::credential(phone), phone));
            QCOMPARE(cc_core_send_preview_msg_tob(requests.back()->session(), 25, CC_PREVIEW_SMALL,
                                                  &Request::callback),
                     0);
        }
        for (auto &r : requests) {
            QVERIFY(r->wait(kSweepTimeoutMs + 10000));
            const Result result = r->result();
            QCOMPARE(result.code, 0);
            QCOMPARE(result.calls, 1);
            QVERIFY(result.data.startsWith("\xff\xd8"));
        }
        const int open = gatewayConnections(farm.port);
        QVERIFY2(open <= 4, qPrintable(QStringLiteral("%1 connections to the gateway").arg(open)));
    }

    // A C program with no Qt application object gets every callback once.
    void plainCHost()
    {
        const QByteArray phone = "PMCHOST001";
        QProcess host;
        host.setProcessChannelMode(QProcess::MergedChannels);
        host.start(harness::binDir() + QStringLiteral("/cc_c_host"),
                   {QStringLiteral("127.0.0.1"), QString::number(farm.port),
                    QString::fromLatin1(harness::credential(phone)), QString::fromLatin1(phone),
                    QString::fromLatin1(harness::credential(phone, 0, false, "wrong secret"))});
        QVERIFY(host.waitForFinished(120000));
        const QByteArray output = host.readAll();
        QVERIFY2(!output.contains("QEventLoop"), output.constData());
        QVERIFY2(host.exitStatus() == QProcess::NormalExit && host.exitCode() == 0, output.constData());
    }

    // A window on a still screen draws no frames and so sends no acks; its
    // keep-alives hold the connection past the gateway's idle limit.
    void stillWindowOutlivesIdleLimit()
    {
        harness::Farm quick;
        QVERIFY(quick.start({QStringLiteral("--idle-ms"), QStringLiteral("7000")}));
        cc_core_set_gateway("127.0.0.1", quick.port);
        Surface surface;
        QWidget *child = surface.connectPhone("PMSTILL001");
        QVERIFY(child);
        QSignalSpy painted(child, SIGNAL(framePainted(quint32, quint32, qint64)));
        QVERIFY(painted.wait(60000));
        // Watched for longer than the limit: a connection the gateway closed would show as lost.
        QSignalSpy status(child, SIGNAL(statusChanged(int)));
        QVERIFY2(!status.wait(10000),
                 qPrintable(QStringLiteral("status changed to %1")
                                .arg(status.isEmpty() ? 0 : status.first().at(0).toInt())));
        cc_core_close_phone(surface.winId());
        pointGatewayAtFarm();
    }

    // The render child in a surface: frames arrive, clicks become touches with
    // notifications, rotation is reported, close removes the child.
    void connectedWindow()
    {
        const QByteArray phone = "PMWIN00001";
        Surface surface;
        QWidget *child = surface.connectPhone(phone);
        QVERIFY(child);
        QCOMPARE(child->geometry(), surface.rect());
        QCOMPARE(child->focusPolicy(), Qt::NoFocus);
        QSignalSpy painted(child, SIGNAL(framePainted(quint32, quint32, qint64)));
        QVERIFY(painted.wait(60000));
        QTRY_COMPARE(surface.count(103), 1);
        QTRY_COMPARE(surface.count(3), 1);

        const QPoint icon =
            nodeCentre(dump(phone), QStringLiteral("content-desc"), QStringLiteral("com.pmapps.notes"));
        QTest::mouseClick(child, Qt::LeftButton, {}, icon / 2);
        QTRY_COMPARE(surface.count(104), 2);
        QTRY_VERIFY(dump(phone).contains(QStringLiteral("package=\"com.pmapps.notes\"")));
        // The notified payloads replay on another phone.
        const QByteArray other = "PMWIN00002";
        for (const auto &note : surface.notes) {
            if (note.first != 104)
                continue;
            QCOMPARE(run(harness::credential(other), other,
                         [&](SdkSession *s, SdkCallback cb) {
                             return cc_core_send_touch_updown_msg_tob(s, note.second.constData(),
                                                                      note.second.size(), cb);
                         })
                         .code,
                     0);
        }
        QVERIFY(dump(other).contains(QStringLiteral("package=\"com.pmapps.notes\"")));

        QTest::mousePress(child, Qt::LeftButton, {}, QPoint(100, 400));
        // QTest::mouseMove does not reach widgets on every platform; send the event itself.
        QMouseEvent move(QEvent::MouseMove, QPointF(150, 420), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(child, &move);
        QTest::mouseRelease(child, Qt::LeftButton, {}, QPoint(150, 420));
        QTRY_VERIFY(surface.count(105) >= 1);

        QCOMPARE(shell(phone, "monkey -p com.pmapps.racer 1").code, 0);
        QTRY_COMPARE(surface.notes.last().first, 3);
        QCOMPARE(qFromLittleEndian<qint32>(surface.notes.last().second.constData()), 1);

        // A restart pauses the stream; it resumes on the launcher, turned back upright.
        QSignalSpy status(child, SIGNAL(statusChanged(int)));
        QCOMPARE(farm.admin("POST", "/admin/phones/" + phone + "/restart"), 200);
        QTRY_VERIFY(!status.isEmpty() && status.first().at(0).toInt() == CC_ERR_REBOOTING);
        QTRY_VERIFY_WITH_TIMEOUT(status.last().at(0).toInt() == 0, 10000);
        QTRY_VERIFY(surface.notes.last().first == 3 &&
                    qFromLittleEndian<qint32>(surface.notes.last().second.constData()) == 0);

        cc_core_close_phone(surface.winId());
        QVERIFY(!surface.findChild<QWidget *>(QStringLiteral("ccRenderView")));
    }

    // Display flow control against the farm: a client that stops acking gets
    // no more than the first window, inputs included, and one ack lets the
    // frame showing the input go. Acks held back as a long round trip would
    // widen the window, within its cap.
    void displayFlowControl()
    {
        const QByteArray phone = "PMFLOW0001";
        QCOMPARE(shell(phone, "monkey -p com.pmapps.racer 1").code, 0); // redraws continuously
        RawDisplay d;
        QVERIFY(d.open(farm.port, phone));
        QVERIFY(d.waitFrames(2, 30000));
        d.send(ccwire::Input{1, ccwire::InputKind::TouchUpDown, touch(ccwire::TouchAction::Down, 0.5, 0.5)});
        QVERIFY(!d.waitFrames(3, 1000));
        QCOMPARE(d.frames.size(), 2);
        d.send(ccwire::FrameAck{d.frames[0].seq});
        QVERIFY(d.waitFrames(3, 30000));
        QCOMPARE(d.frames[2].inputAck, 1u);

        // Each frame acked 300 ms after it came, nine frame intervals.
        constexpr qint64 kHeldMs = 300;
        int acked = 1, most = 0;
        QElapsedTimer clock;
        clock.start();
        while (most < 3 && clock.elapsed() < 30000) {
            QVERIFY(d.read(10));
            while (acked < d.frames.size() && d.clock.elapsed() >= d.arrivedMs[acked] + kHeldMs)
                d.send(ccwire::FrameAck{d.frames[acked++].seq});
            most = qMax(most, int(d.frames.size()) - acked);
        }
        QVERIFY2(most >= 3, qPrintable(QString::number(most)));
        // Stopping the acks again stops the stream within the window's cap.
        d.waitFrames(acked + 9, 1500);
        QVERIFY2(d.frames.size() - acked <= 8, qPrintable(QString::number(d.frames.size() - acked)));
    }

    // A GUI thread that stalls while frames arrive paints the newest once it
    // is back, and the stream goes on: the frames it skipped are acknowledged
    // unseen.
    void windowCatchesUpAfterStalls()
    {
        const QByteArray phone = "PMSTALL001";
        QCOMPARE(shell(phone, "monkey -p com.pmapps.racer 1").code, 0);
        Surface surface;
        QWidget *child = surface.connectPhone(phone);
        QVERIFY(child);
        QSignalSpy painted(child, SIGNAL(framePainted(quint32, quint32, qint64)));
        for (int stall = 0; stall < 3; ++stall) {
            QVERIFY(painted.wait(30000));
            const quint32 last = painted.last().at(0).toUInt();
            QThread::msleep(1000); // frames pile up meanwhile
            painted.clear();
            QVERIFY(painted.wait(30000));
            QVERIFY(painted.first().at(0).toUInt() >= last + 2);
        }
        QTRY_VERIFY_WITH_TIMEOUT(painted.size() >= 10, 30000);
        cc_core_close_phone(surface.winId());
    }

    // Restricted windows watch only; a destroyed surface needs no close.
    void viewOnlyWindow()
    {
        const QByteArray phone = "PMWIN00003";
        auto surface = std::make_unique<Surface>();
        surface->resize(360, 640);
        surface->show();
        const QByteArray cred = harness::credential(phone);
        QCOMPARE(cc_core_connect_phone_tob(cred.constData(), phone.constData(), surface->winId(), 1, 0, 0, 1,
                                           0, 0, 0),
                 0);
        auto *child = surface->findChild<QWidget *>(QStringLiteral("ccRenderView"));
        QSignalSpy painted(child, SIGNAL(framePainted(quint32, quint32, qint64)));
        QVERIFY(painted.wait(60000));
        const QPoint icon =
            nodeCentre(dump(phone), QStringLiteral("content-desc"), QStringLiteral("com.pmapps.notes"));
        QTest::mouseClick(child, Qt::LeftButton, {}, icon / 2);
        QCOMPARE(shell(phone, "pm list packages").code, 0);
        QVERIFY(dump(phone).contains(QStringLiteral("com.pmapps.launcher")));
        QCOMPARE(surface->count(104), 0);
        surface.reset();
        QCOMPARE(shell(phone, "pm list packages").code, 0);
        QCOMPARE(cc_core_connect_phone_tob(cred.constData(), phone.constData(), 12345, 1, 0, 0, 0, 0, 0, 0),
                 int(CC_ERR_BAD_ARGUMENT));
    }

    // uninit fails what is still waiting before it returns; the library
    // starts again on the next request.
    void uninitAndRestart()
    {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        cc_core_set_gateway("127.0.0.1", silent.serverPort());
        Request waiting(harness::credential(kPhone), kPhone);
        cc_core_send_screencap_msg_tob(waiting.session(), &Request::callback);
        QVERIFY(waitUntil([&] { return silent.hasPendingConnections(); }));
        cc_core_uninit();
        QCOMPARE(waiting.result().calls, 1);
        QCOMPARE(waiting.result().code, int(CC_ERR_SHUTDOWN));
        pointGatewayAtFarm();
        QCOMPARE(shell(kPhone, "pm list packages").code, 0);
    }
};

QTEST_MAIN(TestCoreClient)
#include "test_coreclient.moc"
