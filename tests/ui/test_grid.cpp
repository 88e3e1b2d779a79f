// Over 600 lines on purpose: widget tests spell out every click and answer, and one file per widget
// family keeps its cases beside the helpers they share.
// The preview grid and its tiles against a real provider linked to a real phone farm: layout, ticking
// and selection, clicks and menus, batch actions with their notices, painting, previews that follow
// the view, and the main window's wiring of the preview scheduler.
#include "api/userinfo.h"
#include "app/globals.h"
#include "app/messages.h"
#include "phone/queuepreview.h"
#include "phone/sdkmanager.h"
#include "tests/coreclient/request_helpers.h"
#include "tests/support/account.h"
#include "tests/support/busrecorder.h"
#include "tests/support/farmharness.h"
#include "tests/support/providerprocess.h"
#include "tests/support/xvfb.h"
#include "tests/ui/uitest.h"
#include "ui/mainwindow.h"
#include "ui/zqcontent.h"
#include "ui/zqdevice.h"
#include "ui/zqdevicelist.h"
#include "ui/zqdevicelistitem.h"

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <limits>
#include <memory>

namespace {

const QString password = "pelomir2026";

using testsupport::BusRecorder;
using testsupport::freshAccount;
using testsupport::logIn;
using testsupport::pump;
using testsupport::tick;
using testsupport::waitFor;

class PaintCounter : public QObject
{
public:
    int paints = 0;

protected:
    bool eventFilter(QObject *, QEvent *e) override
    {
        paints += e->type() == QEvent::Paint;
        return false;
    }
};

// A JPEG in two colours: left and right halves, or top and bottom when higher than wide.
QByteArray twoTone(QSize size, QColor first, QColor second)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(first);
    const bool portrait = size.height() > size.width();
    QPainter(&image).fillRect(portrait ? QRect(0, size.height() / 2, size.width(), size.height())
                                       : QRect(size.width() / 2, 0, size.width(), size.height()),
                              second);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG", 95);
    return bytes;
}

bool near(QColor a, QColor b, int tolerance = 40)
{
    return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance &&
           qAbs(a.blue() - b.blue()) <= tolerance;
}

// What a phone of the farm answers: a shell command's output or, with no command, a screencap.
QByteArray ask(const phoneRecord &phone, const char *command = nullptr)
{
    harness::Request request(phone.deviceUcId.toLatin1(), phone.deviceId.toLatin1());
    if (command)
        cc_core_send_adb_command_msg_tob(request.session(), command, &harness::Request::callback, 0);
    else
        cc_core_send_screencap_msg_tob(request.session(), &harness::Request::callback);
    request.wait();
    return request.result().data;
}

// The package in front and the text of its text field, from a view dump.
QPair<QString, QString> screen(const phoneRecord &phone)
{
    const QString dump = QString::fromUtf8(ask(phone, "uiautomator dump"));
    static const QRegularExpression front("<hierarchy[^>]*><node [^>]*package=\"([^\"]*)\"");
    static const QRegularExpression field(
        "class=\"android.widget.EditText\" package=\"[^\"]*\" text=\"([^\"]*)\"");
    return {front.match(dump).captured(1), field.match(dump).captured(1)};
}

template <class T> T *child(QWidget *parent, const char *name)
{
    return parent->findChild<T *>(QLatin1String(name));
}

// Right-clicks `tile`; its context menu.
QMenu *openMenu(ZqDeviceListItem *tile)
{
    QTest::mouseClick(tile, Qt::RightButton, {}, QPoint(20, 20));
    for (QMenu *menu : tile->findChildren<QMenu *>(QStringLiteral("tileMenu")))
        if (menu->isVisible())
            return menu;
    return nullptr;
}

QAction *entry(QMenu *menu, const QString &text)
{
    for (QAction *a : menu->actions())
        if (a->text() == text)
            return a;
    return nullptr;
}

QStringList texts(QMenu *menu)
{
    QStringList out;
    for (QAction *a : menu->actions())
        out.append(a->text());
    return out;
}

} // namespace

class TestGrid : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void layoutAndVisibility();
    void farTilesWaitUnbuilt();
    void burstOfTicksInSlices();
    void tickingAndSelection();
    void clicksAndMenu();
    void batchNoticesAndRestart();
    void homeAndClipboardReachThePhones();
    void painting();
    void livePreviewsInTheMainWindow();
    void gridScreenshot();
    void gridScreenshotChild();

private:
    // Operable phones whose rental runs, in cloud phone id order, and one view-only phone.
    QList<phoneRecord> livePhones() const;
    phoneRecord restrictedPhone() const;
    std::unique_ptr<ZqDeviceList> grid(QList<phoneRecord> ticked, QSize size = QSize(700, 600));
    // A main window whose account calls go to the test's provider, logged in to `account`.
    std::unique_ptr<MainWindow> loggedInWindow(const QString &account, QSize size);
    int providerLog(const QString &part) const;

    QTemporaryDir m_dir;
    harness::Farm m_farm;
    std::unique_ptr<ProviderProcess> m_provider;
    QString m_url;
};

void TestGrid::initTestCase()
{
    QVERIFY(m_dir.isValid());
    // Short restarts, so that a restarting tile clears within a few polls.
    QVERIFY2(m_farm.start({"--restart-ms", "1500", "--reset-ms", "1500"}), "pelomir-phonefarm did not start");
    cc_core_set_gateway("127.0.0.1", m_farm.port);
    m_provider = std::make_unique<ProviderProcess>(
        m_dir.filePath("provider.db"), QStringList{"--dev", "--seed-phones", "24", "--farm",
                                                   QString("http://127.0.0.1:%1").arg(m_farm.adminPort)});
    QString error;
    QVERIFY2(m_provider->start(&error), qPrintable(error));
    m_url = m_provider->baseUrl();

    freshAccount(m_url);
    QVERIFY(logIn("13800000000", password, 24));
}

void TestGrid::cleanupTestCase()
{
    QVERIFY(waitFor([] { return g_threadPool.idleCount() == g_threadPool.workerCount(); }));
    m_provider->terminate();
    m_farm.stop();
}

QList<phoneRecord> TestGrid::livePhones() const
{
    return testsupport::livePhones(
        g_userInfo->ordinaryGroups() +
        QList<groupRecord>{g_userInfo->specialGroup(-1), g_userInfo->specialGroup(-2)});
}

phoneRecord TestGrid::restrictedPhone() const
{
    for (const phoneRecord &phone : g_userInfo->specialGroup(-1).phones)
        if (!g_userInfo->mayOperate(phone.cloudPhoneId))
            return phone;
    return phoneRecord();
}

std::unique_ptr<ZqDeviceList> TestGrid::grid(QList<phoneRecord> ticked, QSize size)
{
    auto grid = std::make_unique<ZqDeviceList>();
    // How many slices a burst takes depends on the machine's pace; one pump must see every tick
    // applied. burstOfTicksInSlices sets its own budget.
    grid->setSliceBudget(std::numeric_limits<int>::max());
    grid->resize(size);
    grid->show();
    if (!QTest::qWaitForWindowExposed(grid.get()))
        qFatal("grid not exposed");
    for (const phoneRecord &phone : ticked)
        tick(phone.cloudPhoneId);
    pump();
    return grid;
}

std::unique_ptr<MainWindow> TestGrid::loggedInWindow(const QString &account, QSize size)
{
    // Nothing on the pool may still use the account model that is replaced here.
    if (!waitFor([] { return g_threadPool.idleCount() == g_threadPool.workerCount(); }))
        return nullptr;
    auto window = std::make_unique<MainWindow>();
    g_config->apiBaseUrl = m_url;
    g_userInfoHolder = std::make_shared<userInfo>();
    g_userInfo = g_userInfoHolder.get();
    g_userInfo->setReloadPauseMs(0);
    window->move(0, 0);
    window->resize(size);
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get()))
        return nullptr;
    pump();
    child<QLineEdit>(window.get(), "edtAccount")->setText(account);
    child<QLineEdit>(window.get(), "edtPassword")->setText(password);
    QTest::mouseClick(child<QToolButton>(window.get(), "btnLogin"), Qt::LeftButton);
    if (!waitFor([] { return g_userInfo->phoneCount() == 24 && !g_userInfo->reloadBusy(); }))
        return nullptr;
    return window;
}

int TestGrid::providerLog(const QString &part) const
{
    return m_provider->logText().count(part);
}

void TestGrid::layoutAndVisibility()
{
    const QList<phoneRecord> phones = livePhones().mid(0, 9);
    auto grid = this->grid(phones.mid(0, 4), QSize(620, 600)); // a scroll area 600 pixels wide
    QCOMPARE(grid->scrollArea()->width(), 600);
    QList<ZqDeviceListItem *> tiles = grid->tiles();
    QCOMPARE(tiles.size(), 4);
    for (int i = 0; i < 4; ++i)
        QCOMPARE(tiles[i]->geometry(), QRect(20 + 152 * i, 20, 120, 238));
    // A full last row leaves an empty row below it.
    QCOMPARE(grid->contentWidget()->minimumHeight(), 536);
    tick(phones[4].cloudPhoneId);
    pump();
    QCOMPARE(grid->tiles().value(4)->pos(), QPoint(20, 278));
    QCOMPARE(grid->contentWidget()->minimumHeight(), 536);
    for (const phoneRecord &phone : phones.mid(5))
        tick(phone.cloudPhoneId);
    pump();
    tiles = grid->tiles();
    QCOMPARE(tiles[8]->pos(), QPoint(20, 536));
    QCOMPARE(grid->contentWidget()->minimumHeight(), 794);

    // Two big tiles or five small ones to a row.
    post(52);
    pump();
    QCOMPARE(tiles[1]->geometry(), QRect(232, 20, 180, 344));
    QCOMPARE(tiles[2]->pos(), QPoint(20, 384));
    post(54);
    pump();
    QCOMPARE(tiles[4]->geometry(), QRect(508, 20, 90, 184));
    QCOMPARE(tiles[5]->pos(), QPoint(20, 224));
    post(53); // the preview size is process-wide: back to what the other tests expect
    pump();

    // Only tiles inside the viewport ask for previews; scrolling moves that band.
    grid->resize(620, 300); // viewport 290 high: the rows at 20 and 278 are in view, 536 is not
    pump();
    for (int i = 0; i < 9; ++i)
        QCOMPARE(tiles[i]->previewRequested(), i < 8);
    grid->scrollArea()->verticalScrollBar()->setValue(300);
    for (int i = 0; i < 9; ++i)
        QCOMPARE(tiles[i]->previewRequested(), i >= 4);
}

void TestGrid::farTilesWaitUnbuilt()
{
    QList<phoneRecord> phones = livePhones().mid(0, 16);
    const phoneRecord restricted = restrictedPhone();
    phones.append(restricted); // the 17th tile: row 5, far below the view
    // Viewport 290 high: tiles within one screen above or below it (rows 1 to 3, y < 580) are shown.
    auto grid = this->grid(phones, QSize(620, 300));
    const QList<ZqDeviceListItem *> tiles = grid->tiles();
    QCOMPARE(tiles.size(), 17);
    QCOMPARE(tiles[16]->pos(), QPoint(20, 1052));
    for (int i = 0; i < 17; ++i) {
        QCOMPARE(tiles[i]->isHidden(), i >= 12);
        QCOMPARE(tiles[i]->findChild<QCheckBox *>() != nullptr, i < 12);
        // Built or not, a tile is in the batch and registered as soon as it exists.
        QCOMPARE(tiles[i]->isSelected(), i < 16);
    }
    QVERIFY(waitFor([&] { return sdkManager.phone(phones[15].cloudPhoneId) != nullptr; }));
    QCOMPARE(grid->batchTargets(QString()).size(), 16);

    // Unticking a hidden tile and ticking it again leaves no gap and no stale tile.
    tick(phones[13].cloudPhoneId, false);
    tick(phones[13].cloudPhoneId);
    pump();
    QCOMPARE(grid->tiles().size(), 17);
    QCOMPARE(grid->tiles().last()->cloudPhoneId(), phones[13].cloudPhoneId);
    QCOMPARE(grid->tiles()[13]->pos(), QPoint(20 + 152, 794));

    // Scrolled to the bottom, the far tiles are built with the state they kept.
    grid->scrollArea()->verticalScrollBar()->setValue(grid->scrollArea()->verticalScrollBar()->maximum());
    pump();
    QVERIFY(!tiles[16]->isHidden());
    QVERIFY(!child<QCheckBox>(tiles[16], "chkSelect")->isChecked());
    QVERIFY(child<QCheckBox>(grid->tiles()[14], "chkSelect")->isChecked());
    QCOMPARE(child<QLabel>(tiles[16], "lblDeviceName")->text(), restricted.name);
    QVERIFY(tiles[16]->previewRequested() && !tiles[0]->previewRequested());
    QVERIFY(tiles[0]->isHidden());
}

// A login ticks every phone at once: the grid takes the burst in slices, one change per turn here,
// moves no tile until the burst is done, and ends with the geometry of ticks handled one by one.
void TestGrid::burstOfTicksInSlices()
{
    const QList<phoneRecord> phones = livePhones();
    QVERIFY(phones.size() >= 10);
    QList<QRect> oneByOne;
    int contentHeight = 0;
    {
        auto single = grid({}, QSize(620, 600));
        for (const phoneRecord &phone : phones) {
            tick(phone.cloudPhoneId);
            pump();
        }
        for (ZqDeviceListItem *tile : single->tiles())
            oneByOne.append(tile->geometry());
        contentHeight = single->contentWidget()->minimumHeight();
    }

    BusRecorder notices{5};
    auto burst = grid({}, QSize(620, 600));
    burst->setSliceBudget(0);
    for (const phoneRecord &phone : phones)
        tick(phone.cloudPhoneId);
    // Unticked and ticked again within the burst: the phone's tile goes to the end.
    tick(phones[1].cloudPhoneId, false);
    tick(phones[1].cloudPhoneId);
    g_eventManager.dispatchPending();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(burst->pendingChecks(), phones.size() + 2);
    QVERIFY(burst->tiles().isEmpty() && burst->layoutPending());
    for (int turn = 1; turn <= 3; ++turn) {
        QCoreApplication::sendPostedEvents();
        QCOMPARE(burst->tiles().size(), turn);
        QCOMPARE(burst->tiles().last()->pos(), QPoint(0, 0));
    }

    // A batch action waits for no turn: it sees every phone ticked before it.
    post(22, {{"deviceId", phones[1].deviceId}});
    g_eventManager.dispatchPending();
    QCoreApplication::sendPostedEvents();
    QCOMPARE(burst->pendingChecks(), 0);
    QVERIFY(!burst->layoutPending());
    pump();
    QVERIFY(notices.notices().isEmpty());

    const QList<ZqDeviceListItem *> tiles = burst->tiles();
    QCOMPARE(tiles.size(), phones.size());
    QCOMPARE(tiles.last()->cloudPhoneId(), phones[1].cloudPhoneId);
    QCOMPARE(tiles[1]->cloudPhoneId(), phones[2].cloudPhoneId);
    for (int i = 0; i < tiles.size(); ++i)
        QCOMPARE(tiles[i]->geometry(), oneByOne[i]);
    QCOMPARE(burst->contentWidget()->minimumHeight(), contentHeight);
}

void TestGrid::tickingAndSelection()
{
    const phoneRecord a = livePhones()[0];
    const phoneRecord restricted = restrictedPhone();
    sdkManager.erasePhone(a.cloudPhoneId);
    BusRecorder bus{62};
    // A second tick of a phone makes no second tile; incomplete or unknown ticks make none.
    auto grid = this->grid({a, a});
    post(63, {{"cloudId", restricted.cloudPhoneId}});
    post(63, {{"cloudId", 987654}, {"isChecked", true}});
    pump();
    QCOMPARE(grid->tiles().size(), 1);
    ZqDeviceListItem *tile = grid->tile(a.cloudPhoneId);
    QVERIFY(tile->isSelected());
    QVERIFY(waitFor([&] { return sdkManager.phone(a.cloudPhoneId) != nullptr; }));

    // The tile's own box takes the phone out of the batch, the bottom strip puts it back.
    QTest::mouseClick(child<QCheckBox>(tile, "chkSelect"), Qt::LeftButton);
    QVERIFY(waitFor([&] { return sdkManager.phone(a.cloudPhoneId) == nullptr; }));
    QTest::mouseClick(tile, Qt::LeftButton, {}, QPoint(60, tile->height() - 30));
    QVERIFY(tile->isSelected());
    QVERIFY(waitFor([&] { return sdkManager.phone(a.cloudPhoneId) != nullptr; }));
    QCOMPARE(bus.payloads(62), (QList<QJsonObject>{{{"deviceId", a.deviceId}, {"isChecked", true}},
                                                   {{"deviceId", a.deviceId}, {"isChecked", false}},
                                                   {{"deviceId", a.deviceId}, {"isChecked", true}}}));

    // A view-only phone gets a tile that can never be checked into a batch.
    tick(restricted.cloudPhoneId);
    pump();
    ZqDeviceListItem *viewOnly = grid->tile(restricted.cloudPhoneId);
    QTest::mouseClick(child<QCheckBox>(viewOnly, "chkSelect"), Qt::LeftButton);
    QTest::mouseClick(viewOnly, Qt::LeftButton, {}, QPoint(60, viewOnly->height() - 10));
    pump();
    QVERIFY(!viewOnly->isSelected());
    QCOMPARE(bus.payloads(62).size(), 3);

    // Unticked in the tree, the phone loses its tile and its registration.
    tick(a.cloudPhoneId, false);
    pump();
    QCOMPARE(grid->tiles(), QList<ZqDeviceListItem *>{viewOnly});
    QVERIFY(waitFor([&] { return sdkManager.phone(a.cloudPhoneId) == nullptr; }));
}

void TestGrid::clicksAndMenu()
{
    const phoneRecord a = livePhones()[2], b = livePhones()[3];
    BusRecorder bus{5, 20, 22};
    auto grid = this->grid({a, b});
    ZqDeviceListItem *tile = grid->tile(a.cloudPhoneId);

    // A click above the bottom 42 pixels opens the phone; one inside them does not.
    QTest::mouseClick(tile, Qt::LeftButton, {}, QPoint(60, tile->height() - 43));
    QTest::mouseClick(tile, Qt::LeftButton, {}, QPoint(60, tile->height() - 42));
    // The tree's "open" reaches the one tile it names.
    post(93, {}, b.deviceId);
    pump();
    QCOMPARE(bus.payloads(20).size(), 2);
    QCOMPARE(bus.payloads(20)[0],
             (QJsonObject{{"deviceId", a.deviceId},
                          {"deviceName", a.name},
                          {"deviceUcId", a.deviceUcId},
                          {"deviceUcIdTimestamp", QString::number(a.deviceUcIdTimestamp)},
                          {"deviceNo", a.phoneNo},
                          {"cloudPhoneId", QString::number(a.cloudPhoneId)}}));
    QCOMPARE(bus.payloads(20)[1].value("deviceId").toString(), b.deviceId);
    QVERIFY(!tile->isSelected());

    // The menu's move submenu leaves out the phone's own group; its entries ask or post for this phone.
    QMenu *menu = openMenu(tile);
    QCOMPARE(texts(menu), (QStringList{"打开设备", "更换设备", "重启手机", "恢复出厂", "返回桌面",
                                       "同步剪贴板", "移动到.."}));
    QStringList others;
    for (const groupRecord &group : g_userInfo->ordinaryGroups())
        if (group.id != g_userInfo->groupIdOfPhone(a.cloudPhoneId))
            others.append(group.name);
    QCOMPARE(texts(entry(menu, "移动到..")->menu()), others);
    entry(menu, "重启手机")->trigger();
    menu->close();
    menu = openMenu(tile);
    entry(menu, "返回桌面")->trigger();
    menu->close();
    pump();
    QCOMPARE(bus.payloads(5), (QList<QJsonObject>{{{"type", 255},
                                                   {"msgId", 23},
                                                   {"deviceId", a.deviceId},
                                                   {"lbl_1_Text", "确定要重启该设备吗？"}}}));
    QCOMPARE(bus.payloads(22), (QList<QJsonObject>{{{"deviceId", a.deviceId}}}));

    // A renamed phone shows its new name after the inventory's Msg::inventoryReloaded.
    QVERIFY(g_userInfo->renamePhone(b.cloudPhoneId, "改名后"));
    auto *name = child<QLabel>(grid->tile(b.cloudPhoneId), "lblDeviceName");
    QVERIFY(waitFor([&] { return name->text() == "改名后"; }));
}

void TestGrid::batchNoticesAndRestart()
{
    const QList<phoneRecord> phones = livePhones().mid(4, 3);
    BusRecorder bus{5};
    auto grid = this->grid(phones);
    const QList<ZqDeviceListItem *> tiles = grid->tiles();
    for (ZqDeviceListItem *tile : tiles)
        QTest::mouseClick(child<QCheckBox>(tile, "chkSelect"), Qt::LeftButton);
    auto status = [&](int i) {
        QLabel *label = child<QLabel>(tiles[i], "lblStatus");
        return label->isVisible() ? label->text() : QString();
    };

    // Nothing checked, an unknown phone, an empty text: each says so and sends nothing.
    post(23);
    post(24);
    post(22, {{"deviceId", ""}});
    post(23, {{"deviceId", "PMNOSUCH"}});
    post(26, {{"txtClip", ""}});
    pump();
    QCOMPARE(bus.notices(), (QStringList{"没有选择设备", "没有勾选设备", "没有选择设备", "没有选择设备",
                                         "找不到对应设备", "要同步的剪贴板文字为空，请重新输入"}));

    // A phone named by its menu is restarted alone, whatever else is checked; its tile shows the
    // restart, without previews, until the running status is back to normal.
    QTest::mouseClick(child<QCheckBox>(tiles[1], "chkSelect"), Qt::LeftButton);
    QTest::mouseClick(child<QCheckBox>(tiles[2], "chkSelect"), Qt::LeftButton);
    post(23, {{"deviceId", phones[0].deviceId}});
    QVERIFY(waitFor([&] { return status(0) == "重启中"; }));
    QVERIFY(!tiles[0]->previewRequested());
    QCOMPARE(status(1) + status(2), QString());
    QCOMPARE(providerLog("restart of"), 1);
    QCOMPARE(providerLog("restart of 1 phone(s)"), 1);
    QVERIFY(waitFor([&] { return status(0).isEmpty(); }, 20000));
    QVERIFY(tiles[0]->previewRequested());

    // The toolbar's reset acts on the checked tiles.
    post(24);
    QVERIFY(waitFor([&] { return status(1) == "重置中" && status(2) == "重置中"; }));
    QCOMPARE(providerLog("reset of 2 phone(s)"), 1);
    QVERIFY(waitFor([&] { return status(1).isEmpty() && status(2).isEmpty(); }, 20000));
    QCOMPARE(bus.notices().size(), 6);
}

void TestGrid::homeAndClipboardReachThePhones()
{
    const QList<phoneRecord> phones = livePhones().mid(7, 3); // two checked, the third not
    BusRecorder bus{5};
    auto grid = this->grid(phones);
    QTest::mouseClick(child<QCheckBox>(grid->tiles()[2], "chkSelect"), Qt::LeftButton);
    for (const phoneRecord &phone : phones) {
        ask(phone, "monkey -p com.pmapps.notes -c android.intent.category.LAUNCHER 1");
        QVERIFY(waitFor([&] { return screen(phone).first == "com.pmapps.notes"; }));
    }
    const QByteArray before = ask(phones[0]);

    // 1023 bytes of UTF-8 fill the library's buffer exactly; three more are refused, not cut.
    const QString fits(341, QChar(0x7B80));
    post(26, {{"txtClip", fits + "简"}});
    post(26, {{"txtClip", fits}});
    pump();
    QCOMPARE(bus.notices(), QStringList{"要同步的剪贴板文字超过1023字节，请缩短后重新输入"});
    for (const phoneRecord &phone : phones.mid(0, 2))
        QVERIFY(waitFor([&] { return screen(phone).second == fits; }));
    QVERIFY(ask(phones[0]) != before);

    post(22);
    for (const phoneRecord &phone : phones.mid(0, 2))
        QVERIFY(waitFor([&] { return screen(phone).first == "com.pmapps.launcher"; }));
    QCOMPARE(screen(phones[2]), qMakePair(QString("com.pmapps.notes"), QString()));
}

void TestGrid::painting()
{
    const QList<phoneRecord> phones = livePhones().mid(10, 2);
    BusRecorder frames{56};
    post(52);
    auto grid = this->grid(phones);
    const QList<ZqDeviceListItem *> tiles = grid->tiles();
    const int x = tiles[0]->width() / 2, bottom = tiles[0]->height() - ZqDeviceListItem::captionHeight - 20;

    // Without a frame the placeholder fills the preview area.
    const QImage placeholder(":/image/image/back_preview.png");
    QVERIFY(near(tiles[0]->grab().toImage().pixelColor(x, 5), placeholder.pixelColor(90, 2), 12));

    // A frame of length 0 is only logged; a landscape frame is turned upright, a portrait one is not.
    auto deliver = [](const phoneRecord &phone, const QByteArray &bytes) {
        const QByteArray id = phone.deviceId.toLatin1(), credential = phone.deviceUcId.toLatin1();
        SdkSession session{credential.constData(), id.constData(), nullptr};
        QueuePreview::onPreviewResult(&session, 0, 0, bytes.constData(), bytes.size());
    };
    deliver(phones[0], QByteArray());
    pump();
    QVERIFY(frames.got.isEmpty());
    deliver(phones[0], twoTone(QSize(320, 180), Qt::red, Qt::blue));
    deliver(phones[1], twoTone(QSize(180, 320), Qt::green, Qt::blue));
    QVERIFY(waitFor([&] { return frames.payloads(56).size() == 2; }));
    QVERIFY(waitFor([&] { return near(tiles[0]->grab().toImage().pixelColor(x, 20), Qt::red); }));
    QVERIFY(near(tiles[0]->grab().toImage().pixelColor(x, bottom), Qt::blue));
    QVERIFY(waitFor([&] { return near(tiles[1]->grab().toImage().pixelColor(x, 20), Qt::green); }));
    QVERIFY(near(tiles[1]->grab().toImage().pixelColor(x, bottom), Qt::blue));
    post(53);
    pump();
}

void TestGrid::livePreviewsInTheMainWindow()
{
    auto window = loggedInWindow("13800000000", QSize(1280, 800));
    QVERIFY(window);
    ZqDeviceList *grid = child<ZqContent>(window.get(), "ZqContent")->devicePage()->previewGrid();
    QVERIFY(grid->isVisible());
    // The phones ticked in the tree fill the grid.
    const QList<phoneRecord> phones = livePhones();
    for (const phoneRecord &phone : phones)
        tick(phone.cloudPhoneId);
    QVERIFY(waitFor([&] { return grid->tiles().size() >= phones.size(); }));

    // Restricted phones are never registered: the main window's policy is the inventory's.
    const phoneRecord sentinel = phones.last(), restricted = restrictedPhone();
    QTest::mouseClick(child<QCheckBox>(grid->tile(sentinel.cloudPhoneId), "chkSelect"), Qt::LeftButton);
    QVERIFY(waitFor([&] { return !sdkManager.phone(sentinel.cloudPhoneId); }));
    sdkManager.addPhone(restricted.cloudPhoneId, restricted.deviceId, restricted.deviceUcId, restricted.name);
    sdkManager.addPhone(sentinel.cloudPhoneId, sentinel.deviceId, sentinel.deviceUcId, sentinel.name);
    QVERIFY(waitFor([&] { return sdkManager.phone(sentinel.cloudPhoneId) != nullptr; }));
    QVERIFY(!sdkManager.phone(restricted.cloudPhoneId));

    // Tiles in view get live thumbnails and paint them on the scheduler's repaint; the others get none.
    QList<ZqDeviceListItem *> live, inView;
    QHash<ZqDeviceListItem *, qint64> outOfView;
    auto image = [](ZqDeviceListItem *tile) { return g_queuePreview.previewImage(tile->deviceId()); };
    for (ZqDeviceListItem *tile : grid->tiles()) {
        if (std::none_of(phones.begin(), phones.end(),
                         [&](auto &p) { return p.cloudPhoneId == tile->cloudPhoneId(); }))
            continue;
        live.append(tile);
        if (tile->previewRequested())
            inView.append(tile);
        else
            outOfView.insert(tile, image(tile).cacheKey());
    }
    QVERIFY(!outOfView.isEmpty());
    const int medium = CC_PREVIEW_MEDIUM_WIDTH, small = CC_PREVIEW_SMALL_WIDTH;
    QVERIFY(waitFor(
        [&] {
            return std::all_of(inView.begin(), inView.end(),
                               [&](auto t) { return image(t).width() == medium; });
        },
        20000));
    for (auto it = outOfView.cbegin(); it != outOfView.cend(); ++it)
        QCOMPARE(image(it.key()).cacheKey(), it.value());
    ZqDeviceListItem *first = live.first(), *last = live.last();
    PaintCounter paints;
    first->installEventFilter(&paints);
    QVERIFY(waitFor([&] { return paints.paints > 0; }, 10000));
    const QImage scaled =
        image(first).scaled(first->width(), first->height() - ZqDeviceListItem::captionHeight,
                            Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    QVERIFY(near(first->grab().toImage().pixelColor(60, 120), scaled.pixelColor(60, 120), 24));
    QVERIFY(
        waitFor([&] { return !child<QLabel>(first, "lblBillIcon")->pixmap(Qt::ReturnByValue).isNull(); }));

    // Scrolled out, a tile keeps its last frame and gets no new one; scrolled in, a tile gets frames.
    QScrollBar *bar = grid->scrollArea()->verticalScrollBar();
    bar->setValue(bar->maximum());
    QVERIFY(!first->previewRequested() && last->previewRequested());
    QVERIFY(waitFor([&] { return image(last).width() == medium; }, 20000));
    // Any frame of `first` asked for before the scroll has arrived by now.
    const qint64 kept = image(first).cacheKey(), lastKey = image(last).cacheKey();
    QVERIFY(waitFor([&] { return image(last).cacheKey() != lastKey; }, 20000));
    QCOMPARE(image(first).cacheKey(), kept);

    // The small view asks for small frames from the next sweep on, wherever the view is scrolled to.
    post(54);
    pump();
    QCOMPARE(first->size(), QSize(90, 184));
    for (ZqDeviceListItem *tile : {first, last}) {
        bar->setValue(tile == first ? 0 : bar->maximum());
        QVERIFY(waitFor([&] { return tile->previewRequested(); }));
        QVERIFY(waitFor([&] { return image(tile).width() == small; }, 20000));
    }

    post(53);
    pump();

    // Closing the main window stops the scheduler: its worker is free again.
    window.reset();
    QVERIFY(waitFor([] { return g_threadPool.idleCount() == g_threadPool.workerCount(); }));
}

void TestGrid::gridScreenshot()
{
    const QString artifacts = qEnvironmentVariable("PELOMIR_ARTIFACT_DIR");
    if (artifacts.isEmpty() || QStandardPaths::findExecutable("xvfb-run").isEmpty())
        QSKIP("needs xvfb-run and an artifact folder");
    QVERIFY(QDir().mkpath(artifacts));
    const QString shot = QDir(artifacts).filePath("grid_24_tiles.png");
    QFile::remove(shot);
    // This program again on a virtual X display, running only the child half.
    QProcess run;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert("PELOMIR_GRID_SHOT", shot);
    run.setProcessEnvironment(env);
    run.setProcessChannelMode(QProcess::MergedChannels);
    run.start("xvfb-run", testsupport::xvfbRunArguments("1920x1080x24")
                              << QCoreApplication::applicationFilePath() << "gridScreenshotChild");
    QVERIFY(run.waitForFinished(120000));
    QVERIFY2(run.exitCode() == 0, run.readAll().constData());
    QCOMPARE(QImage(shot).size(), QSize(1920, 1080));
}

void TestGrid::gridScreenshotChild()
{
    const QString out = qEnvironmentVariable("PELOMIR_GRID_SHOT");
    if (out.isEmpty())
        QSKIP("the child half of gridScreenshot");
    // The scale account's 24 phones, all live, ticked in the tree and all in view.
    auto window = loggedInWindow("13900000000", QSize(1920, 1080));
    QVERIFY(window);
    for (const phoneRecord &phone : livePhones())
        tick(phone.cloudPhoneId);
    ZqDeviceList *grid = child<ZqContent>(window.get(), "ZqContent")->devicePage()->previewGrid();
    QVERIFY(waitFor(
        [&] {
            const QList<ZqDeviceListItem *> tiles = grid->tiles();
            return tiles.size() == 24 && std::all_of(tiles.begin(), tiles.end(), [](ZqDeviceListItem *t) {
                       return t->previewRequested() && !g_queuePreview.previewImage(t->deviceId()).isNull();
                   });
        },
        30000));
    // One repaint of the scheduler after the last frame, then the picture.
    PaintCounter paints;
    grid->tiles().last()->installEventFilter(&paints);
    QVERIFY(waitFor([&] { return paints.paints > 0; }, 10000));
    QVERIFY(QGuiApplication::primaryScreen()->grabWindow(0).save(out));
}

PELOMIR_UI_TEST(TestGrid, 0)
#include "test_grid.moc"
