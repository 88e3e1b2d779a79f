// Over 600 lines on purpose: one test program per subsystem, and its cases share the servers and
// helpers set up here.
// The phone session layer against the real phone farm: the registry of ticked phones and its batch
// commands, screenshots and package lists on the bus, the preview queue's frames, and synchronised
// operation read back from the phones' screens.
#include "app/eventmanager.h"
#include "app/messages.h"
#include "app/threadpool.h"
#include "phone/macrofile.h"
#include "phone/queuepreview.h"
#include "phone/sdkmanager.h"
#include "phone/syncreplay.h"
#include "tests/phone/phonefarm.h"
#include "tests/support/busrecorder.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QHash>
#include <QImage>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <future>
#include <initializer_list>
#include <mutex>

namespace {

std::mutex logLock;
QStringList logLines;
QtMessageHandler testHandler = nullptr;

// Any thread: keeps every log line for the checks, and lets the test framework print the rest.
void captureLog(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    {
        std::lock_guard<std::mutex> locker(logLock);
        logLines << text;
    }
    if (type != QtDebugMsg && testHandler)
        testHandler(type, context, text);
}

bool logged(const QString &fragment, const QString &alsoContaining = QString())
{
    std::lock_guard<std::mutex> locker(logLock);
    for (const QString &line : qAsConst(logLines)) {
        if (line.contains(fragment) && line.contains(alsoContaining))
            return true;
    }
    return false;
}

// A bus whose dispatcher runs on the test's thread.
struct PumpedBus
{
    EventManager bus;
    QTimer pump;

    PumpedBus()
    {
        QObject::connect(&pump, &QTimer::timeout, [this] { bus.dispatchPending(); });
        pump.start(10);
    }
};

using testsupport::BusRecorder;

// Registry jobs run in order, so once a marker phone has come and gone every earlier job has run.
bool settle(SdkManager &manager)
{
    static int marker = 1000000;
    ++marker;
    manager.addPhone(marker, QStringLiteral("PMMARKER"), QStringLiteral("ucv1.marker"), QString());
    if (!QTest::qWaitFor([&] { return manager.phone(marker) != nullptr; }, 10000))
        return false;
    manager.erasePhone(marker);
    return QTest::qWaitFor([&] { return manager.phone(marker) == nullptr; }, 10000);
}

QByteArray jpegOf(QColor colour)
{
    QImage image(64, 64, QImage::Format_RGB32);
    image.fill(colour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG");
    return bytes;
}

bool isBlue(const QImage &image)
{
    const QRgb centre = image.pixel(image.width() / 2, image.height() / 2);
    return qBlue(centre) > 200 && qRed(centre) < 60 && qGreen(centre) < 60;
}

// The text of the notes app's field as the phone shows it, from a view dump; a null text when the
// notes app is not in front.
QString notesText(const QByteArray &deviceId, const QByteArray &credential)
{
    const LibraryAnswer dump = runShell(deviceId, credential, "uiautomator dump");
    static const QRegularExpression field(
        QStringLiteral("class=\"android.widget.EditText\" package=\"com.pmapps.notes\" text=\"([^\"]*)\""));
    const QRegularExpressionMatch match = field.match(QString::fromUtf8(dump.data));
    if (!match.hasMatch())
        return QString();
    QString text = match.captured(1);
    text.replace(QStringLiteral("&lt;"), QStringLiteral("<"))
        .replace(QStringLiteral("&gt;"), QStringLiteral(">"))
        .replace(QStringLiteral("&quot;"), QStringLiteral("\""))
        .replace(QStringLiteral("&#39;"), QStringLiteral("'"))
        .replace(QStringLiteral("&amp;"), QStringLiteral("&"));
    return text.isNull() ? QStringLiteral("") : text;
}

// Waits for every replay thread to end. A long replay on a loaded machine may
// take minutes; only a phone whose text stops growing for 30 s counts as hung.
bool replaysEnd(const QByteArray &deviceId, const QByteArray &credential)
{
    QElapsedTimer still, sinceLook;
    still.start();
    int seen = -1;
    return QTest::qWaitFor(
               [&] {
                   if (SdkManager::liveReplayThreads() == 0 || still.elapsed() > 30000)
                       return true;
                   if (sinceLook.isValid() && sinceLook.elapsed() < 1000)
                       return false;
                   sinceLook.start();
                   const int now = notesText(deviceId, credential).size();
                   if (now != seen) {
                       seen = now;
                       still.restart();
                   }
                   return false;
               },
               24 * 3600 * 1000) &&
           SdkManager::liveReplayThreads() == 0;
}

// Launcher icons by package, as "x1,y1,x2,y2" bounds from a view dump.
QHash<QString, QString> iconBounds(const QByteArray &deviceId, const QByteArray &credential)
{
    const LibraryAnswer dump = runShell(deviceId, credential, "uiautomator dump");
    static const QRegularExpression icon(
        QStringLiteral("package=\"com.pmapps.launcher\" text=\"[^\"]*\" content-desc=\"([^\"]+)\" "
                       "bounds=\"\\[(\\d+),(\\d+)\\]\\[(\\d+),(\\d+)\\]\""));
    QHash<QString, QString> icons;
    auto matches = icon.globalMatch(QString::fromUtf8(dump.data));
    while (matches.hasNext()) {
        const QRegularExpressionMatch m = matches.next();
        icons.insert(m.captured(1),
                     QStringList{m.captured(2), m.captured(3), m.captured(4), m.captured(5)}.join(','));
    }
    return icons;
}

SyncEvent syncEvent(int type, int code, const QByteArray &data)
{
    SyncEvent event;
    event.type = type;
    event.code = code;
    event.length = data.size();
    std::memcpy(event.data, data.constData(), size_t(data.size()));
    return event;
}

SyncEvent textEvent(const QByteArray &utf8)
{
    return syncEvent(SyncText, 0, utf8);
}

// A touch as the library reports it: version 1, action (0 press, 1 release, 2 move), pointer 0,
// position scaled to 0..65535 across a 720 x 1280 screen, milliseconds into the gesture.
QByteArray touchPayload(int action, QPoint screen, quint32 ms)
{
    QByteArray payload(12, '\0');
    payload[0] = 1;
    payload[1] = char(action);
    qToLittleEndian<quint16>(quint16(screen.x() * 65535 / 720), payload.data() + 4);
    qToLittleEndian<quint16>(quint16(screen.y() * 65535 / 1280), payload.data() + 6);
    qToLittleEndian<quint32>(ms, payload.data() + 8);
    return payload;
}

QByteArray keyPayload(int androidCode)
{
    QByteArray payload(8, '\0');
    qToLittleEndian<qint32>(androidCode, payload.data());
    payload[4] = 1; // press
    return payload;
}

// The pool's workers, held busy until `release` is set, so that nothing queued runs before.
std::vector<std::future<void>> holdWorkers(ThreadPool &pool, std::shared_future<void> release)
{
    std::vector<std::future<void>> held;
    for (int i = 0; i < pool.workerCount(); ++i)
        held.push_back(pool.commit([release] { release.wait(); }));
    return held;
}

int processThreads()
{
    return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

struct FarmPhone
{
    int cloudPhoneId;
    QByteArray id;
    QByteArray credential;
};

FarmPhone farmPhone(int cloudPhoneId, const QByteArray &id)
{
    return {cloudPhoneId, id, PhoneFarm::credential(id)};
}

void tick(SdkManager &manager, const FarmPhone &phone)
{
    manager.addPhone(phone.cloudPhoneId, QString::fromLatin1(phone.id), QString::fromLatin1(phone.credential),
                     QString::fromLatin1(phone.id).toLower());
}

// The keyboard the phone types with, as its settings name it.
QByteArray inputMethod(const FarmPhone &phone)
{
    return runShell(phone.id, PhoneFarm::credential(phone.id), "settings get secure default_input_method")
        .data.trimmed();
}

macro::Step step(qint64 offsetMs, const SyncEvent &event)
{
    return {offsetMs, event};
}

// Every replay's last progress message per phone, by device id.
QHash<QString, QJsonObject> finalProgress(const BusRecorder &probe)
{
    QHash<QString, QJsonObject> last;
    for (const QJsonObject &progress : probe.payloads(Msg::macroProgress))
        last.insert(progress.value(QStringLiteral("deviceId")).toString(), progress);
    return last;
}

bool openNotes(const FarmPhone &phone)
{
    return runShell(phone.id, phone.credential, "am start -n com.pmapps.notes/.MainActivity").code >= 0 &&
           notesText(phone.id, phone.credential) == QLatin1String("");
}

} // namespace

class TestPhone : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void registryFollowsTicks();
    void batchCommandsReachRegisteredPhonesOnly();
    void packageRequestSeesPhonesJustTicked();
    void screenshotsOutliveTheCallersBuffers();
    void framesCoalescePerPhone();
    void previewsFollowVisibilityAndSize();
    void typingReachesEveryTargetOnceInOrder();
    void tapOnTheMasterOpensTheAppOnTargets();
    void badInputNeverHangsOrLeaksThreads();
    void macroFileRoundTripAndDamage();
    void macroReplaysOnEveryTickedPhoneInTurn();
    void macroReplayEndsOnlyThePhoneThatLeft();

private:
    QTemporaryDir m_logDir;
    PhoneFarm m_farm;
};

void TestPhone::initTestCase()
{
    testHandler = qInstallMessageHandler(captureLog);
    QString error;
    QVERIFY2(m_farm.start(&error, {QStringLiteral("--restart-ms"), QStringLiteral("1500")},
                          m_logDir.filePath(QStringLiteral("farm.log"))),
             qPrintable(error));
}

void TestPhone::cleanupTestCase()
{
    cc_core_uninit();
    qInstallMessageHandler(testHandler);
}

void TestPhone::registryFollowsTicks()
{
    ThreadPool pool(4);
    EventManager bus;
    SdkManager manager(pool, bus);
    manager.setOperatePolicy([](int cloudPhoneId) { return cloudPhoneId != 3; });
    const QString credential = QStringLiteral("ucv1.0.0.ab");

    manager.addPhone(1, QStringLiteral("PMA1"), credential, QStringLiteral("一号"));
    manager.addPhone(1, QStringLiteral("PMA1"), credential, QStringLiteral("一号"));
    manager.addPhone(2, QString(255, QLatin1Char('y')), credential, QStringLiteral("longest id that fits"));
    manager.addPhone(3, QStringLiteral("PMA3"), credential, QStringLiteral("restricted"));
    // Texts the buffers cannot hold exactly are refused, never cut into another phone's id.
    manager.addPhone(4, QString(256, QLatin1Char('x')), credential, QString());
    manager.addPhone(5, QStringLiteral("PMA5"), QString(256, QLatin1Char('c')), QString());
    manager.addPhone(6, QStringLiteral("设备六"), credential, QString());
    manager.addPhone(7, QStringLiteral("PMA7"), QString(), QString());
    QVERIFY(settle(manager));
    QCOMPARE(manager.phoneCount(), 2);

    const std::shared_ptr<SDKPhone> first = manager.phone(1);
    QCOMPARE(first->state.load(), int32_t(PhoneRegistered));
    QCOMPARE(manager.phone(2)->deviceId().size(), 255);

    // Ticked again: still the same phone.
    manager.addPhone(1, QStringLiteral("PMA1"), credential, QStringLiteral("一号"));
    QVERIFY(settle(manager));
    QCOMPARE(manager.phone(1), first);

    // Unticking a sync target ends its replay: back to state 1 with nothing left to replay, and the
    // registry lets go without waiting for it.
    first->state = PhoneSyncTarget;
    {
        std::lock_guard<std::mutex> locker(first->eventMutex);
        first->pendingEvents.resize(3);
    }
    manager.erasePhone(1);
    QVERIFY(settle(manager));
    QVERIFY(!manager.phone(1));
    QCOMPARE(first->state.load(), int32_t(PhoneRegistered));
    {
        std::lock_guard<std::mutex> locker(first->eventMutex);
        QVERIFY(first->pendingEvents.empty());
    }

    // Ticked again after that: a fresh phone.
    manager.addPhone(1, QStringLiteral("PMA1"), credential, QStringLiteral("一号"));
    QVERIFY(settle(manager));
    QVERIFY(manager.phone(1) && manager.phone(1) != first);

    // Quick ticking and unticking ends as the last click says, whichever workers run the jobs.
    for (int id = 100; id < 400; ++id) {
        manager.addPhone(id, QStringLiteral("PMQUICK"), credential, QString());
        manager.erasePhone(id);
    }
    QVERIFY(settle(manager));
    QCOMPARE(manager.phoneCount(), 2);
    for (int id = 100; id < 400; ++id) {
        manager.erasePhone(id);
        manager.addPhone(id, QStringLiteral("PMQUICK"), credential, QString());
    }
    QVERIFY(settle(manager));
    QCOMPARE(manager.phoneCount(), 302);
    for (int id = 100; id < 400; ++id)
        manager.erasePhone(id);

    // Nothing ticked: no package list is asked for.
    manager.erasePhone(1);
    manager.erasePhone(2);
    QVERIFY(settle(manager));
    QVERIFY(!manager.requestInstalledPackages());
}

void TestPhone::batchCommandsReachRegisteredPhonesOnly()
{
    ThreadPool pool(3);
    PumpedBus bus;
    SdkManager manager(pool, bus.bus);
    BusRecorder probe(bus.bus, {91});
    const QByteArray ids[] = {"PMBATCH1", "PMBATCH2", "PMBATCH3"};
    QByteArray credentials[3];
    for (int i = 0; i < 3; ++i)
        credentials[i] = PhoneFarm::credential(ids[i]);
    // The third phone is restricted in the inventory: it must never receive a command.
    manager.setOperatePolicy([](int cloudPhoneId) { return cloudPhoneId != 3; });
    for (int i = 0; i < 3; ++i)
        manager.addPhone(i + 1, QString::fromLatin1(ids[i]), QString::fromLatin1(credentials[i]),
                         QStringLiteral("phone %1").arg(i + 1));

    manager.operApp(SdkManager::AppStart, QStringLiteral("com.pmapps.notes"));
    for (int i = 0; i < 2; ++i)
        QTRY_COMPARE_WITH_TIMEOUT(foregroundPackage(ids[i], credentials[i]),
                                  QStringLiteral("com.pmapps.notes"), 15000);
    QCOMPARE(foregroundPackage(ids[2], credentials[2]), QStringLiteral("com.pmapps.launcher"));

    // A "package" that smuggles in a second shell command is refused; an unknown code sends nothing.
    manager.operApp(SdkManager::AppUninstall,
                    QStringLiteral("com.pmapps.clock; pm uninstall com.pmapps.browser"));
    manager.operApp(4, QStringLiteral("com.pmapps.browser"));
    manager.operApp(SdkManager::AppUninstall, QStringLiteral("com.pmapps.clock"));
    for (int i = 0; i < 2; ++i)
        QTRY_VERIFY_WITH_TIMEOUT(
            !installedPackages(ids[i], credentials[i]).data.contains("|com.pmapps.clock|"), 15000);
    for (int i = 0; i < 2; ++i)
        QVERIFY(installedPackages(ids[i], credentials[i]).data.contains("|com.pmapps.browser|"));
    QVERIFY(installedPackages(ids[2], credentials[2]).data.contains("|com.pmapps.clock|"));
    QVERIFY(logged(QStringLiteral("operApp refused")));

    // The package list travels as Msg::installedPackages, its UTF-8 labels intact.
    QVERIFY(manager.requestInstalledPackages());
    QTRY_COMPARE_WITH_TIMEOUT(probe.messages(91).size(), 1, 15000);
    const ZQSlotMsg list = probe.messages(91).first();
    QVERIFY(list.bufferBytes() == ids[0] || list.bufferBytes() == ids[1]);
    QVERIFY2(list.text.contains(QStringLiteral("|com.pmapps.settings|设置")), qPrintable(list.text));
    QVERIFY(!list.text.contains(QStringLiteral("com.pmapps.clock")));

    manager.operApp(SdkManager::AppStop, QStringLiteral("com.pmapps.notes"));
    for (int i = 0; i < 2; ++i)
        QTRY_COMPARE_WITH_TIMEOUT(foregroundPackage(ids[i], credentials[i]),
                                  QStringLiteral("com.pmapps.launcher"), 15000);

    // What the library's buffers cannot carry is refused before anything is queued; a text ends at
    // its first zero byte.
    const QString id = QString::fromLatin1(ids[0]), credential = QString::fromLatin1(credentials[0]);
    QVERIFY(!manager.sendHomeKey(QString(32, QLatin1Char('x')), credential));
    QVERIFY(!manager.sendClipboardText(id, credential, QByteArray(SdkManager::clipboardTextLimit + 1, 'a')));
    QVERIFY(!manager.sendClipboardText(id, credential, QByteArray("\0abc", 4)));
    QVERIFY(manager.sendClipboardText(id, credential, QByteArray(SdkManager::clipboardTextLimit, 'a')));
}

void TestPhone::packageRequestSeesPhonesJustTicked()
{
    // Every worker held busy: the registrations below stay queued while the list is asked for, as
    // they do on a loaded pool when the user opens the dialog right after ticking.
    ThreadPool pool(1);
    PumpedBus bus;
    SdkManager manager(pool, bus.bus);
    BusRecorder probe(bus.bus, {91});
    std::promise<void> release;
    const std::shared_future<void> gate = release.get_future().share();
    for (int i = 0; i < pool.workerCount(); ++i)
        pool.commit([gate] { gate.wait(); });
    const QByteArray id = "PMTICKED1";
    manager.addPhone(1, QString::fromLatin1(id), QString::fromLatin1(PhoneFarm::credential(id)), QString());
    QVERIFY(manager.requestInstalledPackages());
    // Unticked again before anything ran: nothing is left to ask.
    manager.addPhone(2, QStringLiteral("PMTICKED2"), QStringLiteral("ucv1.0.0.ab"), QString());
    manager.erasePhone(2);
    manager.erasePhone(1);
    QVERIFY(!manager.requestInstalledPackages());
    QCOMPARE(manager.phoneCount(), 0);
    release.set_value();
    QTRY_COMPARE_WITH_TIMEOUT(probe.messages(91).size(), 1, 15000);
    QCOMPARE(probe.messages(91).first().bufferBytes(), id);
    QVERIFY(settle(manager));
    QCOMPARE(manager.phoneCount(), 0);
}

void TestPhone::screenshotsOutliveTheCallersBuffers()
{
    ThreadPool pool(2);
    PumpedBus bus;
    SdkManager manager(pool, bus.bus);
    BusRecorder probe(bus.bus, {92});

    char credential[256] = {};
    char deviceId[32] = {};
    qstrcpy(credential, PhoneFarm::credential("PMSHOT1").constData());
    qstrcpy(deviceId, "PMSHOT1");
    manager.requestScreencap(SdkSession{credential, deviceId, nullptr});
    // The control window may reuse its buffers at once.
    std::memset(credential, 'x', 255);
    qstrcpy(deviceId, "PMOTHER");
    QTRY_COMPARE_WITH_TIMEOUT(probe.messages(92).size(), 1, 15000);
    const ZQSlotMsg shot = probe.messages(92).first();
    QCOMPARE(shot.bufferBytes(), QByteArray("PMSHOT1"));
    const QImage png = QImage::fromData(shot.binary(), "PNG");
    QCOMPARE(png.size(), QSize(720, 1280));

    // A credential the farm refuses is logged with the phone's id, and nothing is posted.
    qstrcpy(credential, PhoneFarm::credential("PMSHOT2", false, "PMSHOT1").constData());
    qstrcpy(deviceId, "PMSHOT2");
    manager.requestScreencap(SdkSession{credential, deviceId, nullptr});
    QTRY_VERIFY_WITH_TIMEOUT(
        logged(QStringLiteral("cc_core_send_screencap_msg_tob error"), QStringLiteral("PMSHOT2")), 15000);
    // An id with no end inside its 32-byte buffer is refused before anything reads past it.
    char unterminated[32];
    std::memset(unterminated, 'a', sizeof unterminated);
    manager.requestScreencap(SdkSession{credential, unterminated, nullptr});
    QVERIFY(logged(QStringLiteral("requestScreencap refused")));
    QCOMPARE(probe.messages(92).size(), 1);
}

void TestPhone::framesCoalescePerPhone()
{
    ThreadPool pool(2);
    EventManager bus; // dispatched by hand below
    QueuePreview queue(pool, bus);
    BusRecorder probe(bus, {56});
    queue.addPreview(QStringLiteral("PMFRAME1"), QStringLiteral("ucv1.frame"));
    SdkSession session{"ucv1.frame", "PMFRAME1", nullptr};
    SdkSession stranger{"ucv1.frame", "PMSTRANGER", nullptr};

    // Three frames before the bus delivers anything: one message waits, and the newest frame wins.
    for (QColor colour : {QColor(Qt::red), QColor(Qt::green), QColor(Qt::blue)}) {
        const QByteArray jpeg = jpegOf(colour);
        QueuePreview::onPreviewResult(&session, 0, 0, jpeg.constData(), jpeg.size());
    }
    // Failed and empty answers post nothing; nor does a frame of a phone that has no entry.
    const QByteArray red = jpegOf(Qt::red);
    QueuePreview::onPreviewResult(&session, 0, CC_ERR_TIMEOUT, nullptr, 0);
    QueuePreview::onPreviewResult(&session, 0, 0, red.constData(), 0);
    QueuePreview::onPreviewResult(&stranger, 0, 0, red.constData(), red.size());
    QVERIFY(logged(QStringLiteral("请求预览失败"), QStringLiteral("PMFRAME1")));
    bus.dispatchPending();
    QTRY_VERIFY(!queue.previewImage(QStringLiteral("PMFRAME1")).isNull());
    QCOMPARE(probe.messages(56).size(), 1);
    QVERIFY(isBlue(queue.previewImage(QStringLiteral("PMFRAME1"))));
    QVERIFY(queue.previewImage(QStringLiteral("PMSTRANGER")).isNull());

    // Once a decoder took the frame, the next one is announced again. One that does not decode
    // leaves the last good image.
    QueuePreview::onPreviewResult(&session, 0, 0, "not a jpeg", 10);
    bus.dispatchPending();
    QTRY_VERIFY(logged(QStringLiteral("preview frame does not decode"), QStringLiteral("PMFRAME1")));
    QCOMPARE(probe.messages(56).size(), 2);
    QVERIFY(isBlue(queue.previewImage(QStringLiteral("PMFRAME1"))));

    // Texts over the request's buffers are refused rather than cut.
    queue.addPreview(QString(32, QLatin1Char('i')), QStringLiteral("ucv1.frame"));
    QVERIFY(logged(QStringLiteral("deviceId is too long")));
}

void TestPhone::previewsFollowVisibilityAndSize()
{
    ThreadPool pool(3);
    PumpedBus bus;
    QueuePreview queue(pool, bus.bus);
    BusRecorder probe(bus.bus, {55});
    const QString a = QStringLiteral("PMVIEWA"), b = QStringLiteral("PMVIEWB");
    const QString hidden = QStringLiteral("PMVIEWC"), refused = QStringLiteral("PMVIEWD");
    const QByteArray credentialA = PhoneFarm::credential("PMVIEWA");
    queue.addPreview(a, QString::fromLatin1(credentialA));
    queue.addPreview(b, QString::fromLatin1(PhoneFarm::credential("PMVIEWB")));
    queue.addPreview(hidden, QString::fromLatin1(PhoneFarm::credential("PMVIEWC")));
    queue.removePreview(hidden); // scrolled out before the first sweep
    queue.addPreview(refused, QString::fromLatin1(PhoneFarm::credential("PMVIEWD", false, "PMVIEWA")));

    // A second login message must not start a second loop: one worker stays busy, not two.
    pool.commit([&queue] { queue.runScheduler(); });
    pool.commit([&queue] { queue.runScheduler(); });
    QTRY_VERIFY(logged(QStringLiteral("preview scheduler already running")));
    QTRY_COMPARE(pool.idleCount(), pool.workerCount() - 1);

    QTRY_VERIFY_WITH_TIMEOUT(!queue.previewImage(a).isNull() && !queue.previewImage(b).isNull(), 15000);
    QCOMPARE(queue.previewImage(a).width(), int(CC_PREVIEW_MEDIUM_WIDTH));
    QTRY_VERIFY_WITH_TIMEOUT(logged(QStringLiteral("请求预览失败"), refused), 15000);
    QVERIFY(queue.previewImage(refused).isNull());

    // Scrolled out: the tile keeps its last frame and is not asked again, though its screen changes.
    const QImage lastOfA = queue.previewImage(a);
    queue.removePreview(a);
    QCOMPARE(runShell("PMVIEWA", credentialA, "monkey -p com.pmapps.notes 1").code, 0);
    // The small view, chosen before the next sweep, sets the size of that sweep's frames.
    ZQSlotMsg small;
    small.type = 54;
    bus.bus.post(small);
    QTRY_COMPARE_WITH_TIMEOUT(queue.previewImage(b).width(), int(CC_PREVIEW_SMALL_WIDTH), 15000);
    QCOMPARE(queue.previewLevel(), int(CC_PREVIEW_SMALL));
    QCOMPARE(queue.previewImage(a), lastOfA);
    QVERIFY(queue.previewImage(hidden).isNull());

    // Back in view: refreshed from the next sweep on.
    queue.addPreview(a, QString::fromLatin1(credentialA));
    QTRY_COMPARE_WITH_TIMEOUT(queue.previewImage(a).width(), int(CC_PREVIEW_SMALL_WIDTH), 15000);
    QVERIFY(queue.previewImage(a) != lastOfA);
    QVERIFY(probe.messages(55).size() >= 1); // repaint ticks run beside the sweeps

    queue.stopScheduler();
    QTRY_COMPARE(pool.idleCount(), pool.workerCount());
}

void TestPhone::typingReachesEveryTargetOnceInOrder()
{
    ThreadPool pool(1);
    EventManager bus;
    SdkManager manager(pool, bus);
    const FarmPhone master = farmPhone(1, "PMSYNCM");
    const FarmPhone targets[] = {farmPhone(2, "PMSYNCA"), farmPhone(3, "PMSYNCB")};
    // Signed for another phone: its login fails, and so does every event it is sent.
    const FarmPhone refused{4, "PMSYNCX", PhoneFarm::credential("PMSYNCX", false, "PMSYNCA")};
    for (const FarmPhone &phone : {master, targets[0], targets[1], refused})
        tick(manager, phone);
    for (const FarmPhone &phone : {master, targets[0], targets[1]})
        QVERIFY(openNotes(phone));
    QVERIFY(settle(manager));
    const QByteArray stockKeyboard = "com.pmapps.keyboard/.StockIME";
    for (const FarmPhone &phone : {master, targets[0], targets[1], refused})
        QCOMPARE(inputMethod(phone), stockKeyboard);

    // Nothing is recorded before synchronised operation starts.
    QVERIFY(!manager.recordSyncEvent(textEvent("before ")));

    // Input recorded while the start task still waits for a worker is delivered all the same.
    std::promise<void> release;
    std::vector<std::future<void>> held = holdWorkers(pool, release.get_future().share());
    manager.startSync(master.cloudPhoneId);
    manager.startSync(targets[0].cloudPhoneId); // a master exists: ignored
    QCOMPARE(manager.syncMaster(), master.cloudPhoneId);
    QString expected;
    for (int i = 0; i < 40; ++i) {
        const QByteArray piece = QByteArray::number(i) + (i % 7 ? " " : "句 ");
        QVERIFY(manager.recordSyncEvent(textEvent(piece)));
        expected += QString::fromUtf8(piece);
    }
    release.set_value();
    for (const FarmPhone &phone : targets)
        QTRY_COMPARE_WITH_TIMEOUT(notesText(phone.id, phone.credential), expected, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(syncreplay::loginState(refused.id).value_or(-2), 1, 20000);
    QCOMPARE(syncreplay::loginState(targets[0].id).value_or(-2), 0);
    // A target that logged in types with the keyboard that accepts text events; the master and a
    // target whose login failed keep theirs.
    for (const FarmPhone &phone : targets)
        QCOMPARE(inputMethod(phone), QByteArray("com.android.adbkeyboard/.AdbIME"));
    QCOMPARE(inputMethod(master), stockKeyboard);
    QCOMPARE(inputMethod(refused), stockKeyboard);

    // Keys travel between texts in order: DEL takes the "x" back. Input recorded just before the
    // stop is still delivered; what follows the stop is not recorded.
    QVERIFY(manager.recordSyncEvent(textEvent("x")));
    QVERIFY(manager.recordSyncEvent(syncEvent(SyncKey, 67, keyPayload(67))));
    QVERIFY(manager.recordSyncEvent(textEvent("end")));
    manager.stopSync();
    QCOMPARE(manager.syncMaster(), 0);
    QVERIFY(!manager.recordSyncEvent(textEvent("after")));
    expected += QStringLiteral("end");
    for (const FarmPhone &phone : targets)
        QTRY_COMPARE_WITH_TIMEOUT(notesText(phone.id, phone.credential), expected, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(SdkManager::liveReplayThreads(), 0, 20000);
    QCOMPARE(notesText(master.id, master.credential), QStringLiteral(""));
    // The refused phone was sent every event all the same, each failure logged.
    QVERIFY(logged(QStringLiteral(" sync clipboard error, deviceId:"), QString::fromLatin1(refused.id)));
    QVERIFY(logged(QStringLiteral(" signalKey, deviceId:"), QString::fromLatin1(refused.id)));
    QVERIFY(logged(QStringLiteral("登录成功,开始同步:"), QString::fromLatin1(targets[1].id)));
    QCOMPARE(manager.phone(targets[0].cloudPhoneId)->state.load(), int32_t(PhoneRegistered));

    // A session stopped before its start task ran: the stop comes right behind the start, before
    // the distributor, and what was recorded still reaches every target.
    {
        std::promise<void> stopFirst;
        held = holdWorkers(pool, stopFirst.get_future().share());
        manager.startSync(master.cloudPhoneId);
        QVERIFY(manager.recordSyncEvent(textEvent("~")));
        manager.stopSync();
        stopFirst.set_value();
    }
    expected += QStringLiteral("~");
    for (const FarmPhone &phone : targets)
        QTRY_COMPARE_WITH_TIMEOUT(notesText(phone.id, phone.credential), expected, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(SdkManager::liveReplayThreads(), 0, 20000);

    // A second session mirrors again, and the targets are typed into once more.
    manager.startSync(targets[1].cloudPhoneId);
    QVERIFY(manager.recordSyncEvent(textEvent("!")));
    QTRY_COMPARE_WITH_TIMEOUT(notesText(targets[0].id, targets[0].credential), expected + "!", 20000);
    QTRY_COMPARE_WITH_TIMEOUT(notesText(master.id, master.credential), QStringLiteral("!"), 20000);
    manager.stopSync();
    QTRY_COMPARE_WITH_TIMEOUT(SdkManager::liveReplayThreads(), 0, 20000);
    QCOMPARE(notesText(targets[1].id, targets[1].credential), expected);
}

void TestPhone::tapOnTheMasterOpensTheAppOnTargets()
{
    ThreadPool pool(1);
    EventManager bus;
    SdkManager manager(pool, bus);
    const FarmPhone master = farmPhone(11, "PMTAPM");
    const FarmPhone targets[] = {farmPhone(12, "PMTAPA"), farmPhone(13, "PMTAPB")};
    for (const FarmPhone &phone : {master, targets[0], targets[1]})
        tick(manager, phone);
    QVERIFY(settle(manager));

    // An app whose icon sits at the same place on all three launchers.
    const QHash<QString, QString> masterIcons = iconBounds(master.id, master.credential);
    QString package;
    for (const QString &candidate :
         {QStringLiteral("com.pmapps.settings"), QStringLiteral("com.pmapps.clock")}) {
        bool same = masterIcons.contains(candidate);
        for (const FarmPhone &phone : targets)
            same = same &&
                   iconBounds(phone.id, phone.credential).value(candidate) == masterIcons.value(candidate);
        if (same) {
            package = candidate;
            break;
        }
    }
    QVERIFY2(!package.isEmpty(), "no icon shared by the three launchers");
    const QStringList corners = masterIcons.value(package).split(',');
    const QPoint centre((corners[0].toInt() + corners[2].toInt()) / 2,
                        (corners[1].toInt() + corners[3].toInt()) / 2);

    manager.startSync(master.cloudPhoneId);
    QVERIFY(manager.recordSyncEvent(syncEvent(SyncTouchUpDown, 0, touchPayload(0, centre, 0))));
    QVERIFY(manager.recordSyncEvent(syncEvent(SyncTouchMove, 0, touchPayload(2, centre, 30))));
    QVERIFY(manager.recordSyncEvent(syncEvent(SyncTouchUpDown, 0, touchPayload(1, centre, 60))));
    for (const FarmPhone &phone : targets)
        QTRY_COMPARE_WITH_TIMEOUT(foregroundPackage(phone.id, phone.credential), package, 20000);
    QCOMPARE(foregroundPackage(master.id, master.credential), QStringLiteral("com.pmapps.launcher"));

    // The home button brings the targets back to the launcher.
    QVERIFY(manager.recordSyncEvent(syncEvent(SyncFunctionKey, CC_KEY_HOMEPAGE, QByteArray())));
    for (const FarmPhone &phone : targets)
        QTRY_COMPARE_WITH_TIMEOUT(foregroundPackage(phone.id, phone.credential),
                                  QStringLiteral("com.pmapps.launcher"), 20000);
    manager.stopSync();
    QTRY_COMPARE_WITH_TIMEOUT(SdkManager::liveReplayThreads(), 0, 20000);
}

void TestPhone::badInputNeverHangsOrLeaksThreads()
{
    // The library's own threads are running before the count is taken.
    QVERIFY(runShell("PMBURSTM", PhoneFarm::credential("PMBURSTM"), "ime list").code >= 0);
    const int threadsBefore = processThreads();
    {
        ThreadPool pool(1);
        EventManager bus;
        SdkManager manager(pool, bus);
        const FarmPhone master = farmPhone(21, "PMBURSTM");
        const FarmPhone kept = farmPhone(22, "PMBURSTA");
        const FarmPhone unticked = farmPhone(23, "PMBURSTB");
        for (const FarmPhone &phone : {master, kept, unticked}) {
            tick(manager, phone);
            QVERIFY(openNotes(phone));
        }
        QVERIFY(settle(manager));

        manager.startSync(master.cloudPhoneId);
        QTRY_COMPARE_WITH_TIMEOUT(SdkManager::liveReplayThreads(), 2, 20000);
        // A payload longer than an event holds is refused; the longest one is kept whole.
        SyncEvent tooLong = textEvent("y");
        tooLong.length = SyncEvent::payloadLimit + 1;
        QVERIFY(!manager.recordSyncEvent(tooLong));
        const QByteArray longest(SyncEvent::payloadLimit, 'L');
        QVERIFY(manager.recordSyncEvent(textEvent(longest)));
        for (int i = 0; i < 10000; ++i)
            QVERIFY(manager.recordSyncEvent(textEvent(QByteArray(1, char('a' + i % 26)))));
        // The master's window closes in the middle of the burst, and a target is unticked while it
        // replays: neither waits for the other.
        manager.stopSync();
        QTRY_VERIFY_WITH_TIMEOUT(notesText(unticked.id, unticked.credential).size() > 0, 20000);
        manager.erasePhone(unticked.cloudPhoneId);
        QVERIFY(settle(manager));
        QVERIFY(replaysEnd(kept.id, kept.credential));

        const QString text = notesText(kept.id, kept.credential);
        QCOMPARE(text.size(), longest.size() + 10000);
        QVERIFY(text.startsWith(QString::fromLatin1(longest)));
        for (int i = 0; i < 10000; ++i)
            QCOMPARE(text.at(longest.size() + i), QLatin1Char(char('a' + i % 26)));
        QVERIFY(notesText(unticked.id, unticked.credential).size() <= text.size());
    }
    // Every replay thread and pool worker is gone.
    QTRY_VERIFY_WITH_TIMEOUT(processThreads() <= threadsBefore, 10000);
}

void TestPhone::macroFileRoundTripAndDamage()
{
    QTemporaryDir data;
    macro::Recording recording;
    // A name longer than the limit is cut at a character boundary.
    recording.name = QString(60, QChar(0x811A)) + QStringLiteral("本");
    recording.createdMs = 1700000000123;
    recording.rotation = 1;
    const QByteArray longestText(CC_MAX_TEXT_BYTES, 'T');
    const QByteArray longestTouch(CC_MAX_TOUCH_BYTES, '\x7f');
    recording.steps = {step(0, syncEvent(SyncTouchUpDown, 0, touchPayload(0, QPoint(100, 200), 0))),
                       step(16, syncEvent(SyncTouchMove, 0, touchPayload(2, QPoint(101, 201), 16))),
                       step(40, syncEvent(SyncTouchUpDown, 0, longestTouch)),
                       step(40, textEvent("文字 text")),
                       step(900, syncEvent(SyncKey, 67, keyPayload(67))),
                       step(1200, syncEvent(SyncFunctionKey, CC_KEY_VOLUMEUP, QByteArray())),
                       step(70000, textEvent(longestText))};
    QString error;
    const QString path = macro::save(data.path(), recording, &error);
    QVERIFY2(!path.isEmpty(), qPrintable(error));
    QVERIFY(path.startsWith(data.path() + QStringLiteral("/macros/")));
    QCOMPARE(QDir(data.path() + QStringLiteral("/macros")).entryList(QDir::Files).size(), 1);

    macro::Recording loaded;
    QVERIFY2(macro::load(path, &loaded, &error), qPrintable(error));
    QCOMPARE(loaded.name.toUtf8().size(), 126); // 42 whole characters of 3 bytes
    QVERIFY(recording.name.startsWith(loaded.name));
    QCOMPARE(loaded.createdMs, recording.createdMs);
    QCOMPARE(loaded.rotation, 1);
    QCOMPARE(loaded.lengthMs(), 70000);
    QCOMPARE(loaded.steps.size(), recording.steps.size());
    for (size_t i = 0; i < loaded.steps.size(); ++i) {
        const macro::Step &a = recording.steps[i];
        const macro::Step &b = loaded.steps[i];
        QCOMPARE(b.offsetMs, a.offsetMs);
        QCOMPARE(b.event.type, a.event.type);
        QCOMPARE(b.event.code, a.event.code);
        QCOMPARE(QByteArray(b.event.data, b.event.length), QByteArray(a.event.data, a.event.length));
    }
    const std::vector<macro::Entry> entries = macro::list(data.path());
    QCOMPARE(int(entries.size()), 1);
    QCOMPARE(entries[0].events, 7);
    QCOMPARE(entries[0].lengthMs, 70000);
    QVERIFY(entries[0].error.isEmpty());

    // Any byte changed, or the file cut anywhere, and the file is refused.
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    file.close();
    for (int i = 0; i < bytes.size(); ++i) {
        QByteArray changed = bytes;
        changed[i] = char(changed[i] ^ 0x41);
        QVERIFY2(!macro::decode(changed, &loaded, &error), qPrintable(QString::number(i)));
        QVERIFY(!error.isEmpty());
    }
    for (int size = 0; size < bytes.size(); ++size)
        QVERIFY2(!macro::decode(bytes.left(size), &loaded, &error), qPrintable(QString::number(size)));
    QVERIFY(!macro::decode(bytes + '\0', &loaded, &error));
    // Nothing of a refused file reaches the caller.
    QCOMPARE(loaded.steps.size(), recording.steps.size());

    // Each refusal says why.
    QVERIFY(!macro::decode("PK\x03\x04 a zip file", &loaded, &error));
    QCOMPARE(error, QStringLiteral("不是脚本文件"));
    QByteArray future = bytes;
    future[8] = char(macro::formatVersion + 1);
    QVERIFY(!macro::decode(future, &loaded, &error));
    QVERIFY2(error.contains(QStringLiteral("版本 2")), qPrintable(error));
    QVERIFY(!macro::decode(bytes.left(bytes.size() - 1), &loaded, &error));
    QCOMPARE(error, QStringLiteral("脚本文件已损坏或不完整"));

    // A correctly summed file with an event over its limit: one byte over each limit is refused.
    const auto refusedWith = [&](const SyncEvent &event) {
        macro::Recording bad;
        bad.steps = {step(0, event)};
        QString why;
        return macro::decode(macro::encode(bad), &loaded, &why) ? QString() : why;
    };
    QVERIFY(refusedWith(syncEvent(SyncTouchMove, 0, QByteArray(CC_MAX_TOUCH_BYTES + 1, 'x')))
                .contains(QStringLiteral("超过上限 64 字节")));
    SyncEvent overText = textEvent("x");
    overText.length = SyncEvent::payloadLimit + 1;
    QVERIFY(refusedWith(overText).contains(QStringLiteral("超过上限 4096 字节")));
    QVERIFY(refusedWith(syncEvent(SyncKey, 67, QByteArray(9, 'k'))).contains(QStringLiteral("上限 8")));
    QVERIFY(refusedWith(syncEvent(SyncFunctionKey, 116, QByteArray())).contains(QStringLiteral("116")));
    QVERIFY(refusedWith(syncEvent(5, 0, QByteArray("?"))).contains(QStringLiteral("类型 5")));
    QVERIFY(refusedWith(textEvent(QByteArray())).contains(QStringLiteral("为空")));
    // Events out of time order are refused; events at the same time (40 ms above) are not.
    macro::Recording backwards;
    backwards.steps = {step(100, textEvent("a")), step(99, textEvent("b"))};
    QVERIFY(!macro::decode(macro::encode(backwards), &loaded, &error));
    QCOMPARE(error, QStringLiteral("脚本文件已损坏或不完整"));
    // A count beyond what the file holds is refused before anything is allocated for it.
    macro::Recording empty;
    QByteArray huge = macro::encode(empty);
    huge.chop(32);
    qToLittleEndian<quint32>(quint32(macro::eventLimit + 1), huge.data() + huge.size() - 4);
    huge += QCryptographicHash::hash(huge, QCryptographicHash::Sha256);
    QVERIFY(!macro::decode(huge, &loaded, &error));
    QVERIFY2(error.contains(QStringLiteral("事件数")), qPrintable(error));

    // A damaged file is listed with its reason; a recorder keeps only what a replay can send.
    QVERIFY(QFile::copy(path, data.path() + QStringLiteral("/macros/copy.pmacro")));
    QFile damaged(data.path() + QStringLiteral("/macros/copy.pmacro"));
    QVERIFY(damaged.open(QIODevice::ReadWrite));
    QVERIFY(damaged.resize(bytes.size() / 2));
    damaged.close();
    const std::vector<macro::Entry> both = macro::list(data.path());
    QCOMPARE(int(both.size()), 2);
    QCOMPARE(
        int(std::count_if(both.begin(), both.end(), [](const macro::Entry &e) { return e.error.isEmpty(); })),
        1);
    macro::Recorder recorder(QStringLiteral("r"), 0);
    QVERIFY(recorder.add(textEvent("ok")));
    QVERIFY(!recorder.add(syncEvent(SyncFunctionKey, 1, QByteArray())));
    QVERIFY(!recorder.add(overText));
    QCOMPARE(recorder.size(), 1);

    // A recorder keeps events up to the file's limit and not one more, and a full recording saved
    // loads again.
    macro::Recorder full(QStringLiteral("full"), 0);
    const SyncEvent letter = textEvent("a");
    int kept = 0;
    while (kept < macro::eventLimit && full.add(letter))
        ++kept;
    QCOMPARE(kept, macro::eventLimit);
    QVERIFY(!full.add(letter));
    QCOMPARE(full.size(), macro::eventLimit);
    const QString fullPath = macro::save(data.path(), full.take(), &error);
    QVERIFY2(!fullPath.isEmpty(), qPrintable(error));
    macro::Recording reloaded;
    QVERIFY2(macro::load(fullPath, &reloaded, &error), qPrintable(error));
    QCOMPARE(int(reloaded.steps.size()), macro::eventLimit);
}

void TestPhone::macroReplaysOnEveryTickedPhoneInTurn()
{
    ThreadPool pool(1);
    PumpedBus bus;
    BusRecorder probe(bus.bus, {Msg::macroProgress, Msg::macroFinished});
    SdkManager manager(pool, bus.bus);
    const FarmPhone recorded = farmPhone(30, "PMMACM");
    const FarmPhone targets[] = {farmPhone(31, "PMMACA"), farmPhone(32, "PMMACB"), farmPhone(33, "PMMACC")};

    // The notes icon sits at the same place on every launcher.
    const QString notesIcon =
        iconBounds(recorded.id, recorded.credential).value(QStringLiteral("com.pmapps.notes"));
    QVERIFY(!notesIcon.isEmpty());
    for (const FarmPhone &phone : targets)
        QCOMPARE(iconBounds(phone.id, phone.credential).value(QStringLiteral("com.pmapps.notes")), notesIcon);
    const QStringList corners = notesIcon.split(',');
    const QPoint centre((corners[0].toInt() + corners[2].toInt()) / 2,
                        (corners[1].toInt() + corners[3].toInt()) / 2);

    // What the window keeps: a tap on the icon, then typed text and a correction.
    macro::Recording recording;
    recording.name = QStringLiteral("打开便签");
    recording.steps = {step(0, syncEvent(SyncTouchUpDown, 0, touchPayload(0, centre, 0))),
                       step(40, syncEvent(SyncTouchMove, 0, touchPayload(2, centre, 40))),
                       step(80, syncEvent(SyncTouchUpDown, 0, touchPayload(1, centre, 80))),
                       step(600, textEvent("宏 replay")),
                       step(650, textEvent("x")),
                       step(700, syncEvent(SyncKey, 67, keyPayload(67))),
                       step(750, textEvent(" ok"))};
    QTemporaryDir data;
    QString error;
    const QString path = macro::save(data.path(), recording, &error);
    QVERIFY2(!path.isEmpty(), qPrintable(error));

    // Played on the phone it was recorded on first, read back from that phone's screen.
    tick(manager, recorded);
    QVERIFY(manager.startMacro(path, {}));
    QTRY_COMPARE_WITH_TIMEOUT(probe.messages(Msg::macroFinished).size(), 1, 20000);
    QCOMPARE(foregroundPackage(recorded.id, recorded.credential), QStringLiteral("com.pmapps.notes"));
    const QString typed = notesText(recorded.id, recorded.credential);
    QCOMPARE(typed, QStringLiteral("宏 replay ok"));
    manager.erasePhone(recorded.cloudPhoneId);

    // Then on three others, each starting at least 500 ms after the one before.
    for (const FarmPhone &phone : targets)
        tick(manager, phone);
    QVERIFY(settle(manager));
    probe.take();
    const qint64 begun = QDateTime::currentMSecsSinceEpoch();
    macroreplay::Options staggered;
    staggered.staggerMs = 500;
    QVERIFY(manager.startMacro(path, staggered));
    QVERIFY(!manager.startMacro(path, staggered)); // one replay at a time
    QTRY_COMPARE_WITH_TIMEOUT(probe.messages(Msg::macroFinished).size(), 1, 30000);
    QVERIFY(!manager.macroRunning());
    QCOMPARE(probe.payloads(Msg::macroFinished).first().value(QStringLiteral("stopped")).toBool(), false);
    const QHash<QString, QJsonObject> last = finalProgress(probe);
    for (const FarmPhone &phone : targets) {
        const QJsonObject progress = last.value(QString::fromLatin1(phone.id));
        QCOMPARE(progress.value(QStringLiteral("state")).toString(), QStringLiteral("done"));
        QCOMPARE(progress.value(QStringLiteral("sent")).toInt(), 7);
        QCOMPARE(foregroundPackage(phone.id, phone.credential), QStringLiteral("com.pmapps.notes"));
        QCOMPARE(notesText(phone.id, phone.credential), typed);
    }
    // Sent with the calls of synchronised operation, which log in first.
    QVERIFY(logged(QStringLiteral("登录成功,开始同步:"), QString::fromLatin1(targets[2].id)));

    // The farm's log: the three logins in tick order, each at least the stagger after the last.
    QFile log(m_logDir.filePath(QStringLiteral("farm.log")));
    QVERIFY(log.open(QIODevice::ReadOnly));
    static const QRegularExpression line(QStringLiteral("^login (PMMAC[ABC]) by \\S+ at (\\d+) ms$"),
                                         QRegularExpression::MultilineOption);
    QStringList order;
    QList<qint64> times;
    for (auto m = line.globalMatch(QString::fromUtf8(log.readAll())); m.hasNext();) {
        const QRegularExpressionMatch match = m.next();
        if (match.captured(2).toLongLong() < begun)
            continue;
        order << match.captured(1);
        times << match.captured(2).toLongLong();
    }
    QCOMPARE(order, (QStringList{"PMMACA", "PMMACB", "PMMACC"}));
    for (int i = 1; i < times.size(); ++i)
        QVERIFY2(times[i] - times[i - 1] >= 500, qPrintable(QString::number(times[i] - times[i - 1])));
}

void TestPhone::macroReplayEndsOnlyThePhoneThatLeft()
{
    ThreadPool pool(1);
    PumpedBus bus;
    BusRecorder probe(bus.bus, {Msg::macroProgress, Msg::macroFinished, Msg::showDialog});
    SdkManager manager(pool, bus.bus);
    const FarmPhone kept[] = {farmPhone(41, "PMMACK"), farmPhone(42, "PMMACL")};
    const FarmPhone unticked = farmPhone(43, "PMMACU");
    const FarmPhone restarted = farmPhone(44, "PMMACR");
    for (const FarmPhone &phone : {kept[0], kept[1], unticked, restarted}) {
        tick(manager, phone);
        QVERIFY(openNotes(phone));
    }
    QVERIFY(settle(manager));

    // Each option is taken at its limits and refused a step past them.
    using Options = macroreplay::Options;
    const auto valid = [](double speed, int repeat, int staggerMs) {
        Options options;
        options.speed = speed;
        options.repeat = repeat;
        options.staggerMs = staggerMs;
        return options.valid();
    };
    QVERIFY(valid(Options::minSpeed, 1, 0));
    QVERIFY(valid(Options::maxSpeed, Options::maxRepeat, Options::maxStaggerMs));
    QVERIFY(!valid(Options::minSpeed * 0.99, 1, 0));
    QVERIFY(!valid(Options::maxSpeed * 1.01, 1, 0));
    QVERIFY(!valid(1, 0, 0));
    QVERIFY(!valid(1, Options::maxRepeat + 1, 0));
    QVERIFY(!valid(1, 1, -1));
    QVERIFY(!valid(1, 1, Options::maxStaggerMs + 1));

    // Options out of range and files that cannot be replayed start nothing.
    macroreplay::Options tooFast;
    tooFast.speed = macroreplay::Options::maxSpeed * 2;
    macro::Recording letters;
    for (int i = 0; i < 120; ++i)
        letters.steps.push_back(step(i * 50, textEvent(QByteArray(1, char('a' + i % 26)))));
    const auto shared = std::make_shared<const macro::Recording>(letters);
    QVERIFY(!manager.startMacro(shared, tooFast));
    QTemporaryDir data;
    QString error;
    const QString path = macro::save(data.path(), letters, &error);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.seek(file.size() / 2));
    QVERIFY(file.putChar('!'));
    file.close();
    QVERIFY(manager.startMacro(path, {}));
    QTRY_COMPARE_WITH_TIMEOUT(probe.messages(Msg::macroFinished).size(), 1, 20000);
    QCOMPARE(probe.payloads(Msg::macroFinished).first().value(QStringLiteral("error")).toString(),
             QStringLiteral("脚本文件已损坏或不完整"));
    QCOMPARE(probe.notices(), QStringList{QStringLiteral("脚本文件已损坏或不完整")});
    QVERIFY(probe.messages(Msg::macroProgress).isEmpty());
    probe.take();

    // Six seconds of typing at x1. One phone is unticked and one restarted while it runs.
    QVERIFY(manager.startMacro(shared, {}));
    QTRY_VERIFY_WITH_TIMEOUT(notesText(unticked.id, unticked.credential).size() >= 3, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(notesText(restarted.id, restarted.credential).size() >= 3, 20000);
    manager.erasePhone(unticked.cloudPhoneId);
    QCOMPARE(m_farm.admin("POST", "/admin/phones/" + restarted.id + "/restart"), 200);
    QTRY_COMPARE_WITH_TIMEOUT(probe.messages(Msg::macroFinished).size(), 1, 30000);
    QHash<QString, QJsonObject> last = finalProgress(probe);
    QCOMPARE(last.value(QString::fromLatin1(unticked.id)).value(QStringLiteral("state")).toString(),
             QStringLiteral("unticked"));
    QCOMPARE(last.value(QString::fromLatin1(restarted.id)).value(QStringLiteral("state")).toString(),
             QStringLiteral("restarted"));
    QString expected;
    for (int i = 0; i < 120; ++i)
        expected += QChar('a' + i % 26);
    for (const FarmPhone &phone : kept) {
        QCOMPARE(last.value(QString::fromLatin1(phone.id)).value(QStringLiteral("state")).toString(),
                 QStringLiteral("done"));
        QCOMPARE(notesText(phone.id, phone.credential), expected);
    }
    // The unticked phone holds exactly what its replay sent before it noticed, and that is not all.
    const int untickedSent =
        last.value(QString::fromLatin1(unticked.id)).value(QStringLiteral("sent")).toInt();
    QVERIFY2(untickedSent < expected.size(), qPrintable(QString::number(untickedSent)));
    QCOMPARE(notesText(unticked.id, unticked.credential).size(), untickedSent);

    // Stop ends every replay at once, mid-way; what was sent before it arrives whole.
    probe.take();
    QVERIFY(manager.startMacro(shared, {}));
    QTRY_VERIFY_WITH_TIMEOUT(notesText(kept[1].id, kept[1].credential).size() >= expected.size() + 3, 20000);
    manager.stopMacro();
    QTRY_COMPARE_WITH_TIMEOUT(probe.messages(Msg::macroFinished).size(), 1, 20000);
    QVERIFY(probe.payloads(Msg::macroFinished).first().value(QStringLiteral("stopped")).toBool());
    last = finalProgress(probe);
    for (const FarmPhone &phone : kept) {
        const QJsonObject progress = last.value(QString::fromLatin1(phone.id));
        QCOMPARE(progress.value(QStringLiteral("state")).toString(), QStringLiteral("stopped"));
        QVERIFY(progress.value(QStringLiteral("sent")).toInt() < 120);
        QCOMPARE(notesText(phone.id, phone.credential).size(),
                 expected.size() + progress.value(QStringLiteral("sent")).toInt());
    }
    QVERIFY(!manager.macroRunning());
}

QTEST_MAIN(TestPhone)
#include "test_phone.moc"
