// The phone session layer against the real phone farm: the registry of ticked phones and its batch
// commands, screenshots and package lists on the bus, and the preview queue's frames.
#include "app/eventmanager.h"
#include "app/threadpool.h"
#include "phone/queuepreview.h"
#include "phone/sdkmanager.h"
#include "tests/phone/phonefarm.h"

#include <QBuffer>
#include <QImage>
#include <QTest>
#include <QTimer>

#include <cstring>
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

// Records the bus messages of some types.
class Probe : public QObject
{
public:
    Probe(EventManager &bus, std::initializer_list<int> types) : m_bus(bus)
    {
        for (int type : types)
            bus.subscribe(type, this);
    }
    ~Probe() override { m_bus.unsubscribe(this); }

    QList<ZQSlotMsg> received(int type) const
    {
        QList<ZQSlotMsg> list;
        for (const ZQSlotMsg &message : m_received) {
            if (message.type == type)
                list << message;
        }
        return list;
    }
    int count(int type) const { return received(type).size(); }

protected:
    bool event(QEvent *event) override
    {
        if (!PhoneEvent::isBusEvent(event))
            return QObject::event(event);
        m_received << static_cast<PhoneEvent *>(event)->message();
        return true;
    }

private:
    EventManager &m_bus;
    QList<ZQSlotMsg> m_received;
};

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

} // namespace

class TestPhone : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void registryFollowsTicks();
    void batchCommandsReachRegisteredPhonesOnly();
    void screenshotsOutliveTheCallersBuffers();
    void framesCoalescePerPhone();
    void previewsFollowVisibilityAndSize();

private:
    PhoneFarm m_farm;
};

void TestPhone::initTestCase()
{
    testHandler = qInstallMessageHandler(captureLog);
    QString error;
    QVERIFY2(m_farm.start(&error), qPrintable(error));
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
    Probe probe(bus.bus, {91});
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

    // The package list travels as message 91, its UTF-8 labels intact.
    QVERIFY(manager.requestInstalledPackages());
    QTRY_COMPARE_WITH_TIMEOUT(probe.count(91), 1, 15000);
    const ZQSlotMsg list = probe.received(91).first();
    QVERIFY(list.bufferBytes() == ids[0] || list.bufferBytes() == ids[1]);
    QVERIFY2(list.text.contains(QStringLiteral("|com.pmapps.settings|设置")), qPrintable(list.text));
    QVERIFY(!list.text.contains(QStringLiteral("com.pmapps.clock")));

    manager.operApp(SdkManager::AppStop, QStringLiteral("com.pmapps.notes"));
    for (int i = 0; i < 2; ++i)
        QTRY_COMPARE_WITH_TIMEOUT(foregroundPackage(ids[i], credentials[i]),
                                  QStringLiteral("com.pmapps.launcher"), 15000);
}

void TestPhone::screenshotsOutliveTheCallersBuffers()
{
    ThreadPool pool(2);
    PumpedBus bus;
    SdkManager manager(pool, bus.bus);
    Probe probe(bus.bus, {92});

    char credential[256] = {};
    char deviceId[32] = {};
    qstrcpy(credential, PhoneFarm::credential("PMSHOT1").constData());
    qstrcpy(deviceId, "PMSHOT1");
    manager.requestScreencap(SdkSession{credential, deviceId, nullptr});
    // The control window may reuse its buffers at once.
    std::memset(credential, 'x', 255);
    qstrcpy(deviceId, "PMOTHER");
    QTRY_COMPARE_WITH_TIMEOUT(probe.count(92), 1, 15000);
    const ZQSlotMsg shot = probe.received(92).first();
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
    QCOMPARE(probe.count(92), 1);
}

void TestPhone::framesCoalescePerPhone()
{
    ThreadPool pool(2);
    EventManager bus; // dispatched by hand below
    QueuePreview queue(pool, bus);
    Probe probe(bus, {56});
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
    QCOMPARE(probe.count(56), 1);
    QVERIFY(isBlue(queue.previewImage(QStringLiteral("PMFRAME1"))));
    QVERIFY(queue.previewImage(QStringLiteral("PMSTRANGER")).isNull());

    // Once a decoder took the frame, the next one is announced again. One that does not decode
    // leaves the last good image.
    QueuePreview::onPreviewResult(&session, 0, 0, "not a jpeg", 10);
    bus.dispatchPending();
    QTRY_VERIFY(logged(QStringLiteral("preview frame does not decode"), QStringLiteral("PMFRAME1")));
    QCOMPARE(probe.count(56), 2);
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
    Probe probe(bus.bus, {55});
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
    QVERIFY(probe.count(55) >= 1); // repaint ticks run beside the sweeps

    queue.stopScheduler();
    QTRY_COMPARE(pool.idleCount(), pool.workerCount());
}

QTEST_MAIN(TestPhone)
#include "test_phone.moc"
