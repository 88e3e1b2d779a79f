// Over 600 lines on purpose: one test program per subsystem, and its cases share the helpers set up
// here.
// Application core: data directory, configuration file, log handler, event bus, worker pool,
// window messages, and the start-up of the real executable.
#include "app/datadir.h"
#include "app/eventmanager.h"
#include "app/globals.h"
#include "app/logging.h"
#include "app/messages.h"
#include "app/payloads.h"
#include "app/theme.h"
#include "app/threadpool.h"
#include "app/zqconfig.h"
#include "platform/datadir.h"
#include "platform/windowmessage.h"
#include "tests/support/busrecorder.h"
#include "tests/support/serverprocess.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <atomic>
#include <chrono>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

namespace {

using testsupport::BusRecorder;

ZQSlotMsg message(int type, const QString &target = QString(), const QString &text = QString())
{
    ZQSlotMsg m;
    m.type = type;
    m.target = target;
    m.text = text;
    return m;
}

QByteArray aesKeyHex()
{
    return ZqConfig().aesKey.toLatin1().toHex();
}

// Runs openssl enc with the configuration key; returns its standard output.
QByteArray openssl(const QStringList &extra, const QByteArray &input)
{
    QProcess p;
    p.start(QStringLiteral("openssl"), QStringList{QStringLiteral("enc"), QStringLiteral("-aes-192-ecb"),
                                                   QStringLiteral("-K"), QString::fromLatin1(aesKeyHex())} +
                                           extra);
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(10000) || p.exitCode() != 0)
        return {};
    return p.readAllStandardOutput();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

} // namespace

class TestApp : public QObject
{
    Q_OBJECT

private slots:
    void dataDirectoryRules();
    void configFirstStartAndRoundTrip();
    void configInteroperatesWithOpenssl();
    void configRefusesMalformedFiles();
    void decryptSplitPieces();
    void hoursUntilRounding();
    void logHandlerWritesDebugOnlyWithCrlf();
    void logLinesStayWholeAndFollowTheFile();
    void busTargetsOrderAndDuplicates();
    void busNeverReachesDestroyedReceivers();
    void busUnsubscribesThousandsInAnyOrder();
    void catalogueHelpersPost();
    void payloadsReadWhatPostersWrite();
    void dialogAnswersReadWhatAskersWrite();
    void payloadReadersSurviveMalformedText();
    void slotMessageBufferIsBounded();
    void poolSizesAndShutdown();
    void windowMessageCrossesThreads();
    void styleSheetColours();
};

void TestApp::dataDirectoryRules()
{
    using platform::dataDirectoryFromTempPath;
    QCOMPARE(dataDirectoryFromTempPath(QStringLiteral("C:/Users/a/AppData/Local/Temp")),
             QStringLiteral("C:/Users/a/AppData/Local/pelomir"));
    QCOMPARE(dataDirectoryFromTempPath(QStringLiteral("D:/Temp/x/Temp/")),
             QStringLiteral("D:/pelomir/x/pelomir"));
    // Lower case is not replaced: the data directory is then the temp directory itself.
    QCOMPARE(dataDirectoryFromTempPath(QStringLiteral("/tmp/temp")), QStringLiteral("/tmp/temp"));

    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    QTemporaryDir root;
    qputenv("XDG_DATA_HOME", (root.path() + QStringLiteral("/fresh/share")).toUtf8());
    const QString dir = dataDirectory();
    QCOMPARE(dir, root.path() + QStringLiteral("/fresh/share/pelomir"));
    QVERIFY(QFileInfo(dir).isDir());
    const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                         QFile::ReadUser | QFile::WriteUser | QFile::ExeUser;
    QCOMPARE(QFileInfo(dir).permissions(), ownerOnly);
    // A directory left open to others (an older run, a hand-made one, a lax umask) is closed again,
    // and one the umask made too narrow for its owner is opened to exactly the owner.
    for (const QFile::Permissions before :
         {ownerOnly | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther |
              QFile::WriteOther,
          QFile::Permissions(QFile::ReadOwner | QFile::ExeOwner | QFile::ReadUser | QFile::ExeUser)}) {
        QVERIFY(QFile::setPermissions(dir, before));
        QCOMPARE(dataDirectory(), dir);
        QCOMPARE(QFileInfo(dir).permissions(), ownerOnly);
    }
    // A file where the directory should be is not a data directory.
    QVERIFY(QDir(dir).removeRecursively());
    writeFile(dir, "x");
    QVERIFY(!platform::createDataDirectory(dir));
    // A relative XDG_DATA_HOME is ignored, as the XDG rules require.
    qputenv("XDG_DATA_HOME", "relative/dir");
    QCOMPARE(platform::dataDirectoryPath(), QDir::homePath() + QStringLiteral("/.local/share/pelomir"));
    qputenv("XDG_DATA_HOME", saved);
}

void TestApp::configFirstStartAndRoundTrip()
{
    QTemporaryDir dir;
    ZqConfig first;
    first.filePath = dir.filePath(QStringLiteral("config"));
    QVERIFY(!first.hasConfigFile());
    QVERIFY(first.account.isEmpty() && first.password.isEmpty());
    QVERIFY(first.homeUrl.startsWith(QLatin1String("http")) && first.homeUrl.endsWith(QLatin1Char('/')));
    QCOMPARE(first.buyUrl, first.homeUrl);
    QVERIFY(first.registerUrl.endsWith(QLatin1String("/pc/user/register.html")));
    QVERIFY(first.androidApp.contains(QLatin1String("/business/apk/")));

    first.account = QStringLiteral("13800000000");
    // A password with braces and non-ASCII text must survive the round trip.
    first.password = QStringLiteral("p}a{ss 密码 \"q\"");
    first.buyUrl = QStringLiteral("http://buy.example/购买");
    QVERIFY(first.save());
    QCOMPARE(QFileInfo(first.filePath).permissions() &
                 ~(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser),
             QFile::Permissions());

    ZqConfig second;
    second.filePath = first.filePath;
    QVERIFY(second.hasConfigFile());
    QVERIFY(second.homeUrl.isEmpty()); // defaults apply only without a file
    second.load();
    QCOMPARE(second.account, first.account);
    QCOMPARE(second.password, first.password);
    QCOMPARE(second.buyUrl, first.buyUrl);
    QCOMPARE(second.homeUrl, first.homeUrl);
    QCOMPARE(second.registerUrl, first.registerUrl);
    QCOMPARE(second.androidApp, first.androidApp);
}

void TestApp::configInteroperatesWithOpenssl()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config"));

    // A file made by openssl from indented JSON without "homeUrl" loads; homeUrl stays empty.
    QJsonObject obj{{QStringLiteral("account"), QStringLiteral("13911112222")},
                    {QStringLiteral("password"), QStringLiteral("secret")},
                    {QStringLiteral("buyUrl"), QStringLiteral("http://b/")},
                    {QStringLiteral("extra"), 5},
                    {QStringLiteral("registerUrl"), 7}};
    const QByteArray cipher = openssl({}, QJsonDocument(obj).toJson(QJsonDocument::Indented));
    QVERIFY(!cipher.isEmpty());
    writeFile(path, cipher);
    ZqConfig loaded;
    loaded.filePath = path;
    QVERIFY(loaded.hasConfigFile());
    loaded.load();
    QCOMPARE(loaded.account, QStringLiteral("13911112222"));
    QCOMPARE(loaded.password, QStringLiteral("secret"));
    QCOMPARE(loaded.buyUrl, QStringLiteral("http://b/"));
    QVERIFY(loaded.homeUrl.isEmpty());
    QVERIFY(loaded.registerUrl.isEmpty()); // not a string: ignored

    // And what save() writes decrypts with the same openssl command.
    loaded.homeUrl = QStringLiteral("http://home/");
    QVERIFY(loaded.save());
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QJsonObject back = QJsonDocument::fromJson(openssl({QStringLiteral("-d")}, f.readAll())).object();
    QCOMPARE(back.size(), 6);
    QCOMPARE(back.value(QStringLiteral("homeUrl")).toString(), QStringLiteral("http://home/"));
    QCOMPARE(back.value(QStringLiteral("password")).toString(), QStringLiteral("secret"));
}

void TestApp::configRefusesMalformedFiles()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("config"));
    const QByteArray key = ZqConfig().aesKey.toLatin1();
    const QByteArray json = R"({"account": "x", "password": "y"})";
    const QByteArray good = ZqConfig::encrypt(key, json);

    auto rawBlocks = [&](QByteArray plain) {
        bool ok = false;
        QByteArray c = ZqConfig::encrypt(key, plain, &ok);
        return c.left(plain.size()); // plain is whole blocks: drop the added padding block
    };
    QByteArray padZero = json + QByteArray(16 - json.size() % 16, '\0');
    QByteArray pad17 = json + QByteArray(16 - json.size() % 16, char(17));
    QByteArray padMixed = json + QByteArray(16 - json.size() % 16, char(3));
    padMixed[padMixed.size() - 2] = 4;
    const QList<QByteArray> bad{good.left(good.size() - 1), // not whole blocks
                                rawBlocks(padZero),
                                rawBlocks(pad17),
                                rawBlocks(padMixed),
                                rawBlocks(QByteArray(16, char(16)) + QByteArray(15, 'a') + char(32)),
                                QByteArray("not encrypted at all, plain text!"),
                                QByteArray()};
    for (const QByteArray &content : bad) {
        writeFile(path, content);
        ZqConfig c;
        c.filePath = path;
        c.account = QStringLiteral("kept");
        QVERIFY(c.hasConfigFile());
        c.load();
        QCOMPARE(c.account, QStringLiteral("kept"));
        QVERIFY(c.password.isEmpty());
    }
    // Valid cipher but no JSON object inside changes nothing either.
    writeFile(path, ZqConfig::encrypt(key, "[1,2,3]"));
    ZqConfig c;
    c.filePath = path;
    c.load();
    QVERIFY(c.account.isEmpty());
    // A directory where the file should be is not a config file.
    ZqConfig d;
    d.filePath = dir.path();
    QVERIFY(!d.hasConfigFile());
}

void TestApp::decryptSplitPieces()
{
    ZqConfig c;
    const QByteArray key = c.aesKey.toLatin1();
    auto field = [&](const QByteArray &plain) {
        return QString::fromLatin1(ZqConfig::encrypt(key, plain).toBase64());
    };

    QCOMPARE(c.decryptSplit(field("ucv1.123.0.abcdef#1700000000")),
             (QList<QByteArray>{"ucv1.123.0.abcdef", "1700000000"}));
    QCOMPARE(c.decryptSplit(field("no-hash-here")), QList<QByteArray>{"no-hash-here"});
    // Sixteen bytes of text get a whole block of padding; it is removed exactly.
    QCOMPARE(c.decryptSplit(field("0123456789#abcde")), (QList<QByteArray>{"0123456789", "abcde"}));
    // The openssl command line makes the same field.
    QCOMPARE(c.decryptSplit(QString::fromLatin1(openssl({}, "cred#42").toBase64())),
             (QList<QByteArray>{"cred", "42"}));

    QVERIFY(c.decryptSplit(QStringLiteral("!!not base64!!")).isEmpty());
    QVERIFY(c.decryptSplit(QString()).isEmpty());
    QVERIFY(c.decryptSplit(QStringLiteral("QUJD")).isEmpty()); // 3 bytes: not a block
    bool ok = false;
    const QByteArray noPad = ZqConfig::encrypt(key, QByteArray(16, '\0'), &ok).left(16);
    QVERIFY(ok);
    QVERIFY(c.decryptSplit(QString::fromLatin1(noPad.toBase64())).isEmpty()); // padding byte 0
    ZqConfig wrongKey;
    wrongKey.aesKey = QStringLiteral("short");
    QVERIFY(wrongKey.decryptSplit(field("a#b")).isEmpty());
}

void TestApp::hoursUntilRounding()
{
    const QDateTime now =
        QDateTime::fromString(QStringLiteral("2026-01-10 12:00:00"), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    QCOMPARE(ZqConfig::hoursBetween(QStringLiteral("2026-01-10 14:30:00"), now), 3);
    QCOMPARE(ZqConfig::hoursBetween(QStringLiteral("2026-01-10 09:30:00"), now), -3);
    QCOMPARE(ZqConfig::hoursBetween(QStringLiteral("2026-01-10 14:29:59"), now), 2);
    QCOMPARE(ZqConfig::hoursBetween(QStringLiteral("2026-01-13 12:00:00"), now), 72);
    QCOMPARE(ZqConfig::hoursBetween(QStringLiteral("2026-13-40 99:00:00"), now), 0);
    QCOMPARE(ZqConfig::hoursBetween(QString(), now), 0);
    QCOMPARE(ZqConfig::hoursUntil(QStringLiteral("garbage")), 0);
}

void TestApp::logHandlerWritesDebugOnlyWithCrlf()
{
    QFile::remove(logFilePath);
    QDir().mkpath(QFileInfo(logFilePath).absolutePath());
    QVERIFY(!installLogIfPresent(logFilePath));
    qDebug() << "not logged";
    QVERIFY(!QFileInfo::exists(logFilePath));

    writeFile(logFilePath, QByteArray());
    QVERIFY(installLogIfPresent(logFilePath));
    qDebug() << "hello" << 42;
    qWarning() << "a warning";
    qInfo() << "some info";
    std::thread([] { qDebug("from another thread"); }).join();
    qInstallMessageHandler(nullptr);
    qSetMessagePattern(QString());

    QFile f(logFilePath);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray content = f.readAll();
    const QList<QByteArray> lines = content.split('\n');
    QCOMPARE(lines.size(), 3); // two lines and the empty rest after the last LF
    QVERIFY(content.endsWith("\r\n"));
    const QRegularExpression form(
        QStringLiteral(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] \S+ \S+\.\S+ \[\d+\] (.*)\r$)"));
    QCOMPARE(form.match(QString::fromLocal8Bit(lines[0])).captured(1), QStringLiteral("hello 42"));
    QCOMPARE(form.match(QString::fromLocal8Bit(lines[1])).captured(1), QStringLiteral("from another thread"));
    QVERIFY(!content.contains("warning") && !content.contains("info"));
}

// Lines from several threads at once each arrive whole and in their own thread's order, and the log
// follows its name when the file is rotated or deleted while the program runs.
void TestApp::logLinesStayWholeAndFollowTheFile()
{
    const auto content = [](const QString &path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    writeFile(logFilePath, QByteArray());
    QVERIFY(installLogIfPresent(logFilePath));
    constexpr int writers = 6;
    constexpr int perWriter = 1500;
    std::vector<std::thread> threads;
    for (int t = 0; t < writers; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < perWriter; ++i)
                qDebug("w%d %d %s", t, i, QByteArray(i % 300, char('a' + t)).constData());
        });
    for (std::thread &t : threads)
        t.join();

    QList<QByteArray> lines = content(logFilePath).split('\n');
    QCOMPARE(lines.takeLast(), QByteArray());
    QCOMPARE(lines.size(), writers * perWriter);
    const QRegularExpression form(
        QStringLiteral(R"(^\[[^]]+\] \S+ \S+\.\S+ \[\d+\] w(\d) (\d+) ([a-z]*)\r$)"));
    std::vector<int> next(writers, 0);
    for (const QByteArray &line : qAsConst(lines)) {
        const QRegularExpressionMatch m = form.match(QString::fromLocal8Bit(line));
        QVERIFY2(m.hasMatch(), line.constData());
        const int t = m.captured(1).toInt();
        const int i = m.captured(2).toInt();
        QCOMPARE(i, next[t]++);
        QCOMPARE(m.captured(3).toLatin1(), QByteArray(i % 300, char('a' + t)));
    }
    QCOMPARE(next, std::vector<int>(writers, perWriter));

    // Rotated: the old file moves aside and an empty one takes its name.
    const QString rotated = logFilePath + QStringLiteral(".1");
    QFile::remove(rotated);
    QVERIFY(QFile::rename(logFilePath, rotated));
    writeFile(logFilePath, QByteArray());
    qDebug("after rotation");
    QVERIFY(content(logFilePath).endsWith("after rotation\r\n"));
    QCOMPARE(content(rotated).count('\n'), writers * perWriter);
    // Deleted: the next line creates it again.
    QVERIFY(QFile::remove(logFilePath));
    qDebug("after removal");
    QCOMPARE(content(logFilePath).count('\n'), 1);
    QVERIFY(content(logFilePath).endsWith("after removal\r\n"));
    qInstallMessageHandler(nullptr);
    qSetMessagePattern(QString());
    QFile::remove(rotated);
}

void TestApp::busTargetsOrderAndDuplicates()
{
    EventManager bus;
    BusRecorder all(bus), named(bus), other(bus);

    bus.post(message(40, QString(), QStringLiteral("early")));
    bus.dispatchPending(); // nobody subscribed yet: dropped
    bus.subscribe(40, &all);
    bus.subscribe(40, &named, QStringLiteral("PhoneA"));
    bus.subscribe(40, &named, QStringLiteral("PhoneA")); // same receiver twice: delivered twice
    bus.subscribe(41, &other);

    bus.post(message(40, QStringLiteral("PhoneA"), QStringLiteral("to A")));
    bus.post(message(40, QStringLiteral("phonea"), QStringLiteral("wrong case")));
    bus.post(message(40, QString(), QStringLiteral("broadcast")));
    bus.dispatchPending();
    QCoreApplication::sendPostedEvents();

    QCOMPARE(all.got.size(), 1);
    QCOMPARE(all.got[0].text, QStringLiteral("broadcast"));
    QCOMPARE(named.got.size(), 4);
    QCOMPARE(named.got[0].text, QStringLiteral("to A"));
    QCOMPARE(named.got[1].text, QStringLiteral("to A"));
    QCOMPARE(named.got[2].text, QStringLiteral("broadcast"));
    QVERIFY(other.got.isEmpty());

    // Order from several posting threads is kept per thread, also through the running loop.
    BusRecorder ordered(bus);
    bus.subscribe(42, &ordered);
    ThreadPool pool(1);
    pool.commit([&bus] { bus.run(); });
    std::vector<std::thread> posters;
    constexpr int perThread = 500;
    for (int t = 0; t < 3; ++t) {
        posters.emplace_back([&bus, t] {
            for (int i = 0; i < perThread; ++i) {
                ZQSlotMsg m = message(42);
                m.length = t * perThread + i;
                bus.post(m);
            }
        });
    }
    for (auto &p : posters)
        p.join();
    QTRY_COMPARE_WITH_TIMEOUT(ordered.got.size(), 3 * perThread, 10000);
    int last[3] = {-1, -1, -1};
    for (const ZQSlotMsg &m : ordered.got) {
        const int t = m.length / perThread;
        QVERIFY(m.length > last[t]);
        last[t] = m.length;
    }
    QCOMPARE(ordered.got.first().type, 42);
    bus.stop();
    pool.shutdown();

    // After unsubscribing, later rounds deliver nothing.
    bus.unsubscribe(&all);
    bus.post(message(40));
    bus.dispatchPending();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(all.got.size(), 1);
}

void TestApp::busNeverReachesDestroyedReceivers()
{
    // Receivers come and go on this thread while other threads post and the dispatcher runs;
    // an event posted to a freed receiver would crash or show up under the sanitizers.
    EventManager bus;
    ThreadPool pool(2);
    pool.commit([&bus] { bus.run(); });
    std::atomic<bool> posting{true};
    std::atomic<int> posted{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < 3; ++t) {
        posters.emplace_back([&] {
            while (posting.load()) {
                bus.post(message(50 + posted.fetch_add(1) % 3));
                std::this_thread::yield();
            }
        });
    }
    // A stand-in dispatcher round that runs back to back, to widen the race window.
    std::atomic<bool> spinning{true};
    std::thread spinner([&] {
        while (spinning.load())
            bus.dispatchPending();
    });

    std::mt19937 rng(7);
    int delivered = 0;
    QElapsedTimer timer;
    timer.start();
    std::vector<std::unique_ptr<BusRecorder>> live;
    while (timer.elapsed() < 1500) {
        auto r = std::make_unique<BusRecorder>(bus);
        for (int type = 50; type < 53; ++type)
            bus.subscribe(type, r.get(), (rng() & 1) ? QString() : QStringLiteral("x"));
        live.push_back(std::move(r));
        if (live.size() > 8) {
            const size_t victim = rng() % live.size();
            delivered += live[victim]->got.size();
            live.erase(live.begin() + static_cast<long>(victim));
        }
        QCoreApplication::processEvents();
    }
    posting = false;
    spinning = false;
    for (auto &p : posters)
        p.join();
    spinner.join();
    bus.stop();
    pool.shutdown();
    QCoreApplication::processEvents();
    for (auto &r : live)
        delivered += r->got.size();
    QVERIFY(posted.load() > 0);
    QVERIFY(delivered > 0);
}

// A page of thousands of tiles subscribes under their names and unsubscribes them in any order,
// between dispatch rounds: every receiver still subscribed gets each message once, the others none,
// and a receiver that subscribes again is a new subscriber.
void TestApp::busUnsubscribesThousandsInAnyOrder()
{
    EventManager bus;
    constexpr int count = 3000;
    std::vector<std::unique_ptr<BusRecorder>> tiles;
    for (int i = 0; i < count; ++i) {
        tiles.push_back(std::make_unique<BusRecorder>(bus));
        for (int type : {65, 66, 67, 31})
            bus.subscribe(type, tiles.back().get(), QString::number(i));
    }
    std::vector<int> order(count);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(11));
    const int kept = order.back();
    // The broadcasts each tile should see: those of the rounds before it unsubscribed.
    std::vector<int> expected(count, -1);
    int round = 0;
    for (int n = 0; n < count * 3 / 4; ++n) {
        const int victim = order[size_t(n)];
        bus.unsubscribe(tiles[size_t(victim)].get());
        expected[size_t(victim)] = round;
        if (n % 400 == 0) {
            // A broadcast, a message named for the tile just gone and one for a tile that stays.
            bus.post(message(31));
            bus.post(message(65, QString::number(victim)));
            bus.post(message(65, QString::number(kept)));
            bus.dispatchPending();
            QCoreApplication::sendPostedEvents();
            ++round;
        }
    }
    const int again = order.front();
    bus.subscribe(66, tiles[size_t(again)].get(), QStringLiteral("again"));
    bus.post(message(66, QStringLiteral("again")));
    bus.post(message(31));
    bus.dispatchPending();
    QCoreApplication::sendPostedEvents();
    ++round;

    for (int i = 0; i < count; ++i) {
        const BusRecorder &tile = *tiles[size_t(i)];
        const int broadcasts = expected[size_t(i)] < 0 ? round : expected[size_t(i)];
        QCOMPARE(tile.messages(31).size(), broadcasts);
        QCOMPARE(tile.messages(65).size(), i == kept ? round - 1 : 0);
        QCOMPARE(tile.messages(66).size(), i == again ? 1 : 0);
    }
}

// Receivers tell a type-only message by its empty text (a dialog request must not be empty), and
// the dialog answers only with a "msgId" that the request carries.
void TestApp::catalogueHelpersPost()
{
    BusRecorder dialogs(g_eventManager), tile(g_eventManager);
    g_eventManager.subscribe(Msg::showDialog, &dialogs);
    g_eventManager.subscribe(Msg::inventoryReloaded, &tile, QStringLiteral("PhoneA"));

    post(Msg::inventoryReloaded);
    post(Msg::inventoryReloaded, {{QStringLiteral("n"), 1}}, QStringLiteral("PhoneB"));
    postText(Msg::inventoryReloaded, QStringLiteral("7"), QStringLiteral("PhoneA"));
    askDialog(Dialog::confirm, Msg::restartPhones, {{QStringLiteral("deviceId"), QStringLiteral("PhoneA")}});
    postNotice(QStringLiteral("密码重置成功！"));
    g_eventManager.dispatchPending();
    QCoreApplication::sendPostedEvents();

    QCOMPARE(tile.got.size(), 2);
    QVERIFY(tile.got[0].text.isEmpty());
    QCOMPARE(tile.got[1].text, QStringLiteral("7"));
    QCOMPARE(dialogs.got.size(), 2);
    const QJsonObject confirm = textToJson(dialogs.got[0].text);
    QCOMPARE(confirm.value(QStringLiteral("type")).toInt(), 255);
    QCOMPARE(confirm.value(QStringLiteral("msgId")).toInt(), 23);
    QCOMPARE(confirm.value(QStringLiteral("deviceId")).toString(), QStringLiteral("PhoneA"));
    const QJsonObject notice = textToJson(dialogs.got[1].text);
    QCOMPARE(notice, (QJsonObject{{QStringLiteral("type"), 254},
                                  {QStringLiteral("lbl_1_Text"), QStringLiteral("密码重置成功！")}}));
}

namespace {

// The text a receiver gets for `payload` posted as `type`, through the real bus.
QString delivered(int type, const QJsonObject &payload)
{
    g_eventManager.dispatchPending(); // nothing posted before belongs to this recorder
    BusRecorder recorder(g_eventManager, {type});
    post(type, payload);
    const QList<ZQSlotMsg> got = recorder.take();
    return got.size() == 1 ? got[0].text : QString();
}

// What the message dialog posts back when confirmed: the request with the user's input added.
QString answered(Dialog::Kind kind, int answerType, const QJsonObject &fields, const QString &key,
                 const QJsonValue &input)
{
    BusRecorder dialogs(g_eventManager, {Msg::showDialog});
    askDialog(kind, answerType, fields);
    const QList<ZQSlotMsg> got = dialogs.take();
    if (got.size() != 1)
        return QString();
    const payload::DialogRequest request = payload::DialogRequest::read(got[0].text);
    if (request.kind != kind || request.answerType != answerType)
        return QString();
    QJsonObject answer = request.fields;
    answer.insert(key, input);
    return delivered(answerType, answer);
}

} // namespace

void TestApp::payloadsReadWhatPostersWrite()
{
    const QString name = QStringLiteral("云手机 \"一号\"\n");
    const payload::OpenPhone phone = payload::OpenPhone::read(
        delivered(Msg::openPhone,
                  payload::OpenPhone{QStringLiteral("PM01"), name, QStringLiteral("uc/+="),
                                     QStringLiteral("9000000001"), 2147483647, Q_UINT64_C(1767225600123)}
                      .json()));
    QCOMPARE(phone.deviceId, QStringLiteral("PM01"));
    QCOMPARE(phone.deviceName, name);
    QCOMPARE(phone.deviceUcId, QStringLiteral("uc/+="));
    QCOMPARE(phone.deviceNo, QStringLiteral("9000000001"));
    QCOMPARE(phone.cloudPhoneId, 2147483647);
    QCOMPARE(phone.deviceUcIdTimestamp, Q_UINT64_C(1767225600123));

    for (const bool checked : {true, false}) {
        const payload::CheckChange change = payload::CheckChange::read(
            delivered(Msg::phoneChecked, payload::CheckChange{-7, checked}.json()));
        QCOMPARE(change.cloudPhoneId, -7);
        QCOMPARE(change.checked, std::optional<bool>(checked));
        QCOMPARE(
            payload::SyncSwitch::read(delivered(Msg::syncOperation, payload::SyncSwitch{checked}.json())).on,
            checked);
    }

    const payload::UploadRequest upload = payload::UploadRequest::read(delivered(
        Msg::uploadFiles,
        payload::UploadRequest{QString(), {QStringLiteral("/tmp/a b.apk"), QStringLiteral("/数据/c")}, true}
            .json()));
    QVERIFY(upload.deviceId.isEmpty());
    QVERIFY(upload.hasFiles);
    QCOMPARE(upload.files, (QStringList{QStringLiteral("/tmp/a b.apk"), QStringLiteral("/数据/c")}));
    QVERIFY(!payload::UploadRequest::read(
                 delivered(Msg::uploadFiles, payload::UploadRequest{"PM2", {}, false}.json()))
                 .hasFiles);

    QCOMPARE(payload::DeviceRef::read(delivered(Msg::homeKey, payload::DeviceRef{"PM3"}.json())).deviceId,
             QStringLiteral("PM3"));
    const payload::TileStatus status =
        payload::TileStatus::read(delivered(Msg::tileStatusChanged, payload::TileStatus{"PM4", 3}.json()));
    QCOMPARE(status.deviceId, QStringLiteral("PM4"));
    QCOMPARE(status.status, 3);
    const payload::Rotation rotation =
        payload::Rotation::read(delivered(Msg::phoneRotated, payload::Rotation{"PM5", 270}.json()));
    QCOMPARE(rotation.deviceId, QStringLiteral("PM5"));
    QCOMPARE(rotation.rotation, std::optional<int>(270));
    const payload::PhoneName renamed = payload::PhoneName::read(
        delivered(Msg::phoneRenamed, payload::PhoneName{41, QStringLiteral("")}.json()));
    QCOMPARE(renamed.cloudPhoneId, 41);
    QCOMPARE(renamed.name, std::optional<QString>(QString()));
    QCOMPARE(
        payload::AppDialogRequest::read(delivered(Msg::openAppDialog, payload::AppDialogRequest{3}.json()))
            .operation,
        3);

    const payload::UploadProgress ended =
        payload::UploadProgress::read(delivered(Msg::uploadEnded, payload::UploadProgress::ended(9, true)));
    QCOMPARE(ended.uploadId, 9);
    QVERIFY(ended.stored);
    QCOMPARE(payload::UploadProgress::read(
                 delivered(Msg::uploadHandedOver, payload::UploadProgress::handedOver(9, 2)))
                 .failed,
             2);
    const payload::UploadProgress result = payload::UploadProgress::read(delivered(
        Msg::transferResult, payload::UploadProgress::result(9, "PM6", -1001, QStringLiteral("磁盘已满"))));
    QCOMPARE(result.uploadId, 9);
    QCOMPARE(result.deviceId, QStringLiteral("PM6"));
    QCOMPARE(result.code, -1001);
    QCOMPARE(result.detail, QStringLiteral("磁盘已满"));

    // The extra keys of a phone's last report sit beside the fields and never replace them.
    const QString progressText = delivered(
        Msg::macroProgress, payload::MacroProgress{12, "PM7", name, 4, 30, 60, "running"}.json(
                                {{QStringLiteral("driftP95Ms"), 8}, {QStringLiteral("index"), 99}}));
    const payload::MacroProgress progress = payload::MacroProgress::read(progressText);
    QCOMPARE(progress.cloudPhoneId, 12);
    QCOMPARE(progress.deviceId, QStringLiteral("PM7"));
    QCOMPARE(progress.name, name);
    QCOMPARE(progress.index, 4);
    QCOMPARE(progress.sent, 30);
    QCOMPARE(progress.total, 60);
    QCOMPARE(progress.state, QStringLiteral("running"));
    QCOMPARE(textToJson(progressText).value(QStringLiteral("driftP95Ms")).toInt(), 8);
    const payload::MacroFinished finished = payload::MacroFinished::read(
        delivered(Msg::macroFinished, payload::MacroFinished{true, "无法读取"}.json()));
    QVERIFY(finished.stopped);
    QCOMPARE(finished.error, QStringLiteral("无法读取"));
    QVERIFY(!textToJson(jsonToText(payload::MacroFinished{false, QString()}.json())).contains("error"));
}

void TestApp::dialogAnswersReadWhatAskersWrite()
{
    const payload::PhoneName phone = payload::PhoneName::readAnswer(
        answered(Dialog::renamePhone, Msg::renamePhone,
                 {{QStringLiteral("lbl_1_Text"), QStringLiteral("旧名")}, {QStringLiteral("cloudId"), 77}},
                 QStringLiteral("name"), QStringLiteral("新名")));
    QCOMPARE(phone.cloudPhoneId, 77);
    QCOMPARE(phone.name, std::optional<QString>(QStringLiteral("新名")));

    const payload::GroupAnswer group = payload::GroupAnswer::read(
        answered(Dialog::renameGroup, Msg::renameGroup, {{QStringLiteral("orderId"), 5}},
                 QStringLiteral("name"), QStringLiteral("组")));
    QCOMPARE(group.groupId, 5);
    QCOMPARE(group.name, QStringLiteral("组"));
    QCOMPARE(payload::CountAnswer::read(
                 answered(Dialog::countInput, Msg::checkFirstN, {}, QStringLiteral("count"), 179))
                 .count,
             179);
    QCOMPARE(payload::PrefixAnswer::read(
                 answered(Dialog::prefixInput, Msg::renameByPrefix, {}, QStringLiteral("prefix"), QString()))
                 .prefix,
             std::optional<QString>(QString()));
    const payload::ClipboardAnswer clip = payload::ClipboardAnswer::read(answered(
        Dialog::clipboardInput, Msg::clipboardText, {{QStringLiteral("deviceId"), QStringLiteral("PM8")}},
        QStringLiteral("txtClip"), QStringLiteral("a\u0000b")));
    QCOMPARE(clip.deviceId, QStringLiteral("PM8"));
    QCOMPARE(clip.text, QStringLiteral("a\u0000b"));
    // The toolbar's restart names no phone: the answer stands for the ticked ones.
    QVERIFY(
        payload::DeviceRef::read(answered(Dialog::confirm, Msg::restartPhones, {}, QStringLiteral("x"), 1))
            .deviceId.isEmpty());
}

void TestApp::payloadReadersSurviveMalformedText()
{
    // Nothing that is no JSON object gives anything but defaults; a nesting far deeper than any
    // parser allows must not exhaust the stack.
    const QStringList broken{QString(),
                             QStringLiteral("not json"),
                             QStringLiteral("{\"cloudId\": 5, \"isChecked\": true"),
                             QStringLiteral("[{\"cloudId\": 5, \"isChecked\": true}]"),
                             QStringLiteral("null"),
                             QString::fromLatin1("\x89PNG\0\0\xff{", 8),
                             QString(100000, QLatin1Char('[')) + QString(100000, QLatin1Char(']'))};
    for (const QString &text : broken) {
        QVERIFY(!payload::CheckChange::read(text).checked);
        const payload::OpenPhone phone = payload::OpenPhone::read(text);
        QVERIFY(phone.deviceId.isEmpty());
        QCOMPARE(phone.cloudPhoneId, 0);
        QCOMPARE(payload::DialogRequest::read(text).kind, 0);
        QVERIFY(payload::DialogRequest::read(text).fields.isEmpty());
        QVERIFY(!payload::UploadRequest::read(text).hasFiles);
        QVERIFY(!payload::PrefixAnswer::read(text).prefix);
        QVERIFY(!payload::Rotation::read(text).rotation);
        QCOMPARE(payload::UploadProgress::read(text).uploadId, 0);
        QVERIFY(!payload::SyncSwitch::read(text).on);
    }

    // Wrong types read as the defaults; whole numbers may come as decimal text.
    auto read = [](const QJsonObject &object) { return payload::CheckChange::read(jsonToText(object)); };
    QVERIFY(!read({{"cloudId", 5}}).checked);
    QVERIFY(!read({{"cloudId", 5}, {"isChecked", 1}}).checked);
    QVERIFY(!read({{"cloudId", "five"}, {"isChecked", true}}).checked);
    QVERIFY(!read({{"cloudId", 5.5}, {"isChecked", true}}).checked);
    QVERIFY(!read({{"cloudId", 3e9}, {"isChecked", true}}).checked);
    QVERIFY(!read({{"cloudId", QJsonObject{{"id", 5}}}, {"isChecked", false}}).checked);
    QCOMPARE(read({{"cloudId", " 42 "}, {"isChecked", false}}).cloudPhoneId, 42);
    QCOMPARE(read({{"cloudId", -2147483647 - 1}, {"isChecked", false}}).cloudPhoneId, -2147483647 - 1);

    const payload::OpenPhone phone = payload::OpenPhone::read(jsonToText(
        {{"deviceId", 123}, {"deviceName", true}, {"cloudPhoneId", "12x"}, {"deviceUcIdTimestamp", -5}}));
    QCOMPARE(phone.deviceId, QStringLiteral("123")); // a number names a device too
    QVERIFY(phone.deviceName.isEmpty());
    QCOMPARE(phone.cloudPhoneId, 0);
    QCOMPARE(phone.deviceUcIdTimestamp, quint64(0));
    QCOMPARE(payload::OpenPhone::read(jsonToText({{"deviceUcIdTimestamp", "x1"}})).deviceUcIdTimestamp,
             quint64(0));
    QCOMPARE(
        payload::OpenPhone::read(jsonToText({{"deviceUcIdTimestamp", 1767225600123.0}})).deviceUcIdTimestamp,
        Q_UINT64_C(1767225600123));

    const payload::UploadRequest upload = payload::UploadRequest::read(
        jsonToText({{"deviceId", QJsonArray{"PM1"}}, {"files", QJsonArray{7, "/a"}}}));
    QVERIFY(upload.deviceId.isEmpty());
    QCOMPARE(upload.files, (QStringList{QString(), QStringLiteral("/a")}));
    QVERIFY(!payload::UploadRequest::read(jsonToText({{"files", "/a"}})).hasFiles);

    QVERIFY(!payload::PrefixAnswer::read(jsonToText({{"prefix", 3}})).prefix);
    QVERIFY(!payload::PhoneName::read(jsonToText({{"phoneId", 1}, {"name", QJsonValue::Null}})).name);
    QVERIFY(!payload::Rotation::read(jsonToText({{"rotation", "sideways"}})).rotation);
    QVERIFY(!payload::SyncSwitch::read(jsonToText({{"SyncOperation", "true"}})).on);
    QVERIFY(!payload::MacroFinished::read(jsonToText({{"stopped", 1}})).stopped);
    QCOMPARE(payload::DialogRequest::read(jsonToText({{"type", "254"}, {"lbl_1_Text", 5}})).kind, 254);
    QVERIFY(payload::DialogRequest::read(jsonToText({{"type", 254}, {"lbl_1_Text", 5}})).label.isEmpty());

    QCOMPARE(payload::readGroupId(QStringLiteral(" 17\n")), std::optional<int>(17));
    for (const char *bad : {"", "abc", "7.5", "99999999999", "0x10"})
        QVERIFY2(!payload::readGroupId(QString::fromLatin1(bad)), bad);

    // Large fields arrive whole; the receivers check their own limits.
    const QString huge(4 << 20, QChar(0x4e00));
    QCOMPARE(payload::ClipboardAnswer::read(jsonToText({{"txtClip", huge}})).text.size(), huge.size());
}

void TestApp::slotMessageBufferIsBounded()
{
    ZQSlotMsg m;
    QVERIFY(m.setBuffer("PM0001"));
    QCOMPARE(m.bufferBytes(), QByteArray("PM0001"));
    QVERIFY(!m.setBuffer(QByteArray(5000, 'x')));
    QCOMPARE(m.bufferBytes().size(), ZQSlotMsg::bufferSize - 1);
    QVERIFY(m.setBuffer("short"));
    QCOMPARE(m.bufferBytes(), QByteArray("short")); // no tail of the longer value remains

    const QByteArray binary("\x00\xff\x10jpeg", 7);
    m.setBinary(binary);
    QCOMPARE(m.length, 7);
    QCOMPARE(m.binary(), binary);

    PhoneEvent e(message(31));
    QCOMPARE(int(e.type()), 1031);
    QCOMPARE(textToJson(QStringLiteral("not json")), QJsonObject());
    QCOMPARE(textToJson(jsonToText({{QStringLiteral("deviceId"), QStringLiteral("PM1")}}))
                 .value(QStringLiteral("deviceId"))
                 .toString(),
             QStringLiteral("PM1"));
}

void TestApp::poolSizesAndShutdown()
{
    QCOMPARE(ThreadPool::workersFor(1), 3);
    QCOMPARE(ThreadPool::workersFor(4), 9);
    QCOMPARE(ThreadPool::workersFor(8), 16);
    QCOMPARE(ThreadPool::workersFor(32), 16);
    QCOMPARE(ThreadPool::workersFor(0), 3);

    ThreadPool pool(1);
    QCOMPARE(pool.workerCount(), 3);
    QCOMPARE(pool.commit([](int a, int b) { return a + b; }, 2, 3).get(), 5);
    auto failing = pool.commit([]() -> int { throw std::logic_error("task failed"); });
    QVERIFY_EXCEPTION_THROWN(failing.get(), std::logic_error);
    QTRY_COMPARE(pool.idleCount(), 3); // the worker survived the exception

    // Occupy every worker, queue more, then shut down: running tasks finish, the queue is dropped.
    std::atomic<bool> release{false};
    std::atomic<int> started{0};
    std::vector<std::future<void>> running;
    for (int i = 0; i < 3; ++i) {
        running.push_back(pool.commit([&] {
            ++started;
            while (!release.load())
                std::this_thread::yield();
        }));
    }
    QTRY_COMPARE(started.load(), 3);
    std::vector<std::future<int>> queued;
    for (int i = 0; i < 10; ++i)
        queued.push_back(pool.commit([i] { return i; }));
    std::thread stopper([&] { pool.shutdown(); });
    QTRY_VERIFY([&] {
        try {
            pool.commit([] {});
            return false;
        } catch (const std::runtime_error &e) {
            return QString::fromLatin1(e.what()) == QLatin1String("commit on ThreadPool is stopped.");
        }
    }());
    release = true;
    stopper.join();
    for (auto &f : running)
        f.get();
    int finished = 0, dropped = 0;
    for (auto &f : queued) {
        try {
            f.get();
            ++finished;
        } catch (const std::future_error &e) {
            QCOMPARE(e.code(), std::make_error_code(std::future_errc::broken_promise));
            ++dropped;
        }
    }
    QCOMPARE(finished + dropped, 10);
    QVERIFY(finished <= 3); // each waking worker runs at most one more task
}

void TestApp::windowMessageCrossesThreads()
{
    class Window : public QObject
    {
    public:
        QList<QPair<int, QByteArray>> got;
        Qt::HANDLE thread = nullptr;

    protected:
        bool event(QEvent *e) override
        {
            auto *w = platform::WindowMessageEvent::from(e);
            if (!w)
                return QObject::event(e);
            got.append({w->message(), w->buffer()});
            thread = QThread::currentThreadId();
            return true;
        }
    } window;
    std::thread([&] { platform::postWindowMessage(&window, 1127, QByteArray("tip text")); }).join();
    platform::postWindowMessage(nullptr, 1127, QByteArray("ignored"));
    QTRY_COMPARE(window.got.size(), 1);
    QCOMPARE(window.got[0].first, 1127);
    QCOMPARE(window.got[0].second, QByteArray("tip text"));
    QCOMPARE(window.thread, QThread::currentThreadId());
}

void TestApp::styleSheetColours()
{
    // Longer names that start with a shorter one, at the very end, and next to other characters.
    QCOMPARE(theme::styled(QStringLiteral("a { color: @accent; background: @accentHover }")),
             QStringLiteral("a { color: #19C2D1; background: #44CDD9 }"));
    QCOMPARE(theme::styled(QStringLiteral("b{border:1px solid @line")),
             QStringLiteral("b{border:1px solid #D9D9D9"));
    QCOMPARE(theme::styled(QStringLiteral("@shadow@mark")), QStringLiteral("#32000000#18C2D0"));
    QCOMPARE(theme::styled(QStringLiteral("font: bold 12px \"@font\";")),
             QStringLiteral("font: bold 12px \"Microsoft YaHei\";"));
    // Names it does not know, a lone @ and text without any stay as they are.
    QCOMPARE(theme::styled(QStringLiteral("@accents @ x@ @@accent")),
             QStringLiteral("@accents @ x@ @#19C2D1"));
    QCOMPARE(theme::styled(QStringLiteral("QLabel { color: red; }")),
             QStringLiteral("QLabel { color: red; }"));
    QCOMPARE(theme::styled(QString()), QString());
}

QTEST_MAIN(TestApp)
#include "test_app.moc"
