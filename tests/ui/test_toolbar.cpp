// The toolbar above the preview grid and the batch app dialog, against a real provider linked to a
// real phone farm: the toolbar's layout, its menus and switch, the requests it posts, the dialog's
// rows, batch app commands that reach the farm's phones, and recorded macros replayed from the
// batch menu's dialog.
#include "api/userinfo.h"
#include "app/datadir.h"
#include "app/globals.h"
#include "app/messages.h"
#include "phone/macrofile.h"
#include "phone/sdkmanager.h"
#include "tests/coreclient/request_helpers.h"
#include "tests/support/account.h"
#include "tests/support/busrecorder.h"
#include "tests/support/farmharness.h"
#include "tests/support/providerprocess.h"
#include "tests/ui/uitest.h"
#include "ui/appoperdlg.h"
#include "ui/macrodlg.h"
#include "ui/packagelist.h"
#include "ui/zqdevicelist.h"
#include "ui/zqdevicelistitem.h"
#include "ui/zqdevicemenu.h"
#include "ui/zqdevicerightpanel.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include <memory>

namespace {

using testsupport::BusRecorder;
using testsupport::freshAccount;
using testsupport::livePhones;
using testsupport::logIn;
using testsupport::pump;
using testsupport::tick;
using testsupport::waitFor;

template <class T> T *child(QWidget *parent, const char *name)
{
    return parent->findChild<T *>(QLatin1String(name));
}

QStringList texts(const QMenu *menu)
{
    QStringList out;
    for (const QAction *a : menu->actions())
        out.append(a->text());
    return out;
}

QAction *entry(const QMenu *menu, const QString &text)
{
    for (QAction *a : menu->actions())
        if (a->text() == text)
            return a;
    return nullptr;
}

// Opens `button`'s menu as a click would and closes it again; the menu stays for inspection.
QMenu *openAndClose(QToolButton *button)
{
    QMenu *menu = button->menu();
    menu->popup(button->mapToGlobal(QPoint(0, button->height())));
    menu->hide();
    return menu;
}

// A shell command's output on a farm phone.
QString shell(const phoneRecord &phone, const QByteArray &command)
{
    harness::Request request(phone.deviceUcId.toLatin1(), phone.deviceId.toLatin1());
    cc_core_send_adb_command_msg_tob(request.session(), command.constData(), &harness::Request::callback, 0);
    request.wait();
    return QString::fromUtf8(request.result().data);
}

QString foreground(const phoneRecord &phone)
{
    static const QRegularExpression front("<hierarchy[^>]*><node [^>]*package=\"([^\"]*)\"");
    return front.match(shell(phone, "uiautomator dump")).captured(1);
}

void key(const phoneRecord &phone, int code)
{
    harness::Request request(phone.deviceUcId.toLatin1(), phone.deviceId.toLatin1());
    cc_core_send_function_key_tob(request.session(), code, &harness::Request::callback);
    request.wait();
}

// The packages the phone lists as recent apps, that is, running; the phone goes back to its screen.
QStringList running(const phoneRecord &phone)
{
    key(phone, CC_KEY_APPSELECT);
    const QString dump = shell(phone, "uiautomator dump");
    key(phone, CC_KEY_BACK);
    static const QRegularExpression card(
        "package=\"com.pmapps.systemui\" text=\"[^\"]*\" content-desc=\"([^\"]+)\"");
    QStringList packages;
    for (auto it = card.globalMatch(dump); it.hasNext();)
        packages.append(it.next().captured(1));
    return packages;
}

} // namespace

class TestToolbar : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void layout();
    void menusAndTheirPosts();
    void switchAndConfirmations();
    void captionsFollowRenames();
    void dialogRowsAndTitles();
    void dialogWithoutPhones();
    void batchStopAndStartOnTheFarm();
    void macroDialogReplaysOnTickedPhones();

private:
    QTemporaryDir m_dir;
    harness::Farm m_farm;
    std::unique_ptr<ProviderProcess> m_provider;
};

void TestToolbar::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(m_farm.start(), "pelomir-phonefarm did not start");
    cc_core_set_gateway("127.0.0.1", m_farm.port);
    m_provider = std::make_unique<ProviderProcess>(
        m_dir.filePath("provider.db"), QStringList{"--dev", "--seed-phones", "24", "--farm",
                                                   QString("http://127.0.0.1:%1").arg(m_farm.adminPort)});
    QString error;
    QVERIFY2(m_provider->start(&error), qPrintable(error));
    const QString url = m_provider->baseUrl();

    // Nothing on the pool may still use an account model of an earlier test class.
    QVERIFY(waitFor([] { return g_threadPool.idleCount() == g_threadPool.workerCount(); }));
    freshAccount(url);
    QVERIFY(logIn("13800000000", "pelomir2026", 24));
}

void TestToolbar::cleanupTestCase()
{
    QVERIFY(waitFor([] { return g_threadPool.idleCount() == g_threadPool.workerCount(); }));
    m_provider->terminate();
    m_farm.stop();
}

void TestToolbar::layout()
{
    // The geometry alone, at the narrowest panel (window minimum 1280 less the tree's 400) and a wider
    // one: the buttons keep their places, the buy button and the plate follow the right edge.
    for (int width : {880, 1200}) {
        const ZqDeviceMenu::Geometry g = ZqDeviceMenu::geometryFor(width);
        const QList<QRect> buttons{g.sync, g.restart, g.reset, g.upload, g.plgl, g.displayMode};
        const QList<int> xs{26, 174, 284, 394, 504, 614};
        for (int i = 0; i < buttons.size(); ++i)
            QCOMPARE(buttons[i].topLeft(), QPoint(xs[i], 42));
        for (int i = 1; i < buttons.size(); ++i)
            QVERIFY2(buttons[i - 1].right() < buttons[i].left(), "buttons overlap");
        QCOMPARE(g.buy.y(), 44);
        QCOMPARE(g.buy.right(), width - 18 - 1);
        QVERIFY(g.displayMode.right() < g.buy.left());
        QCOMPARE(g.plate, QRect(10, 27, width - 20, 66));
        // Every button sits inside the plate.
        for (const QRect &r : buttons + QList<QRect>{g.buy})
            QVERIFY(g.plate.contains(r));
    }

    // The panel applies it: the toolbar 120 high on top, the grid from y = 121.
    ZqDeviceRightPanel panel;
    panel.resize(900, 640);
    panel.show();
    QCOMPARE(panel.toolbar()->geometry(), QRect(0, 0, 900, 120));
    QCOMPARE(panel.grid()->geometry(), QRect(0, 121, 900, 520));
    QCOMPARE(child<QToolButton>(panel.toolbar(), "btnBuy")->geometry(), ZqDeviceMenu::geometryFor(900).buy);
    QCOMPARE(child<QPushButton>(panel.toolbar(), "btnSyncOperation")->geometry().topLeft(), QPoint(26, 42));
}

void TestToolbar::menusAndTheirPosts()
{
    ZqDeviceMenu toolbar;
    toolbar.resize(900, 120);
    BusRecorder bus{52, 53, 54, 80, 90, 5, 122};
    auto *plgl = child<QToolButton>(&toolbar, "btnPlgl");
    auto *display = child<QToolButton>(&toolbar, "btnDisplayMode");
    for (QToolButton *button : {plgl, display}) {
        QCOMPARE(button->popupMode(), QToolButton::InstantPopup);
        QCOMPARE(button->menu()->objectName(), QString("ToolButton"));
        QCOMPARE(button->menu()->windowOpacity(), 0.8);
        QCOMPARE(button->menu()->minimumWidth(), button->width() + 38);
    }

    // Opened twice, the batch menu lists each group once, in the inventory's order.
    QStringList groupNames;
    QList<int> groupIds;
    for (const groupRecord &group : g_userInfo->ordinaryGroups()) {
        groupNames.append(group.name);
        groupIds.append(group.id);
    }
    QVERIFY(groupNames.size() >= 2);
    openAndClose(plgl);
    QMenu *menu = openAndClose(plgl);
    QCOMPARE(texts(menu),
             (QStringList{"批量启动", "批量停止", "批量卸载", "批量命名", "脚本回放", "批量分组"}));
    QMenu *groups = entry(menu, "批量分组")->menu();
    QCOMPARE(texts(groups), groupNames);

    // A group renamed at the service shows renamed the next time the menu opens.
    QVERIFY(g_userInfo->renameGroup(groupIds[0], "改名后的分组"));
    QVERIFY(waitFor([] { return !g_userInfo->reloadBusy(); }));
    QVERIFY(waitFor([&] { return g_userInfo->ordinaryGroups().value(0).name == "改名后的分组"; }));
    groups = entry(openAndClose(plgl), "批量分组")->menu();
    QCOMPARE(groups->actions().value(0)->text(), QString("改名后的分组"));
    QCOMPARE(groups->actions().size(), groupNames.size());
    QVERIFY(g_userInfo->renameGroup(groupIds[0], groupNames[0]));

    // A group entry moves the checked phones by group id; the app entries open the dialog by type.
    groups->actions().value(1)->trigger();
    for (const char *name : {"批量启动", "批量停止", "批量卸载"})
        entry(menu, name)->trigger();
    entry(menu, "批量命名")->trigger();
    entry(menu, "脚本回放")->trigger();
    pump();
    QCOMPARE(bus.payloads(122).size(), 1);
    QCOMPARE(bus.texts(80), QStringList{QString::number(groupIds[1])});
    QCOMPARE(bus.payloads(90), (QList<QJsonObject>{{{"type", 1}}, {{"type", 2}}, {{"type", 3}}}));
    QCOMPARE(
        bus.payloads(5),
        (QList<QJsonObject>{{{"type", 9}, {"msgId", 81}, {"lbl_1_Text", "请输入新命名(自动添加数字后缀)"}}}));

    // Each display mode posts its message, and the button takes the mode's name from the bus.
    QMenu *modes = openAndClose(display);
    QCOMPARE(texts(modes), (QStringList{"大视图", "中视图", "小视图"}));
    const QList<int> messages{52, 53, 54};
    for (int i : {0, 2, 1}) {
        modes->actions()[i]->trigger();
        pump();
        QCOMPARE(bus.payloads(messages[i]).size(), 1);
        QCOMPARE(display->text(), modes->actions()[i]->text());
    }
}

void TestToolbar::switchAndConfirmations()
{
    ZqDeviceMenu toolbar;
    toolbar.resize(900, 120);
    toolbar.show();
    QVERIFY(QTest::qWaitForWindowExposed(&toolbar));
    BusRecorder bus{27, 5};
    auto *sync = child<QPushButton>(&toolbar, "btnSyncOperation");
    QCOMPARE(sync->text(), QString("开启同步"));
    QTest::mouseClick(sync, Qt::LeftButton);
    QCOMPARE(sync->text(), QString("关闭同步"));
    QTest::mouseClick(sync, Qt::LeftButton);
    QCOMPARE(sync->text(), QString("开启同步"));
    QVERIFY(!sync->isChecked());
    QTest::mouseClick(child<QToolButton>(&toolbar, "btnRestart"), Qt::LeftButton);
    QTest::mouseClick(child<QToolButton>(&toolbar, "btnReset"), Qt::LeftButton);
    pump();
    // A JSON boolean, not a number or a text.
    QCOMPARE(bus.payloads(27), (QList<QJsonObject>{{{"SyncOperation", true}}, {{"SyncOperation", false}}}));
    QVERIFY(bus.payloads(27)[0].value("SyncOperation").isBool());
    QCOMPARE(
        bus.payloads(5),
        (QList<QJsonObject>{{{"type", 255}, {"msgId", 23}, {"lbl_1_Text", "确定要重启已选设备吗？"}},
                            {{"type", 255}, {"msgId", 24}, {"lbl_1_Text", "确定要将已选设备恢复出厂吗？"}}}));

    // The page buttons ask for their pages.
    qRegisterMetaType<ZqDeviceMenu::Page>();
    QSignalSpy pages(&toolbar, &ZqDeviceMenu::pageRequested);
    QTest::mouseClick(child<QToolButton>(&toolbar, "btnBuy"), Qt::LeftButton);
    QTest::mouseClick(child<QToolButton>(&toolbar, "btnUpload"), Qt::LeftButton);
    QCOMPARE(pages.size(), 2);
    QCOMPARE(pages[0][0].value<ZqDeviceMenu::Page>(), ZqDeviceMenu::BuyPage);
    QCOMPARE(pages[1][0].value<ZqDeviceMenu::Page>(), ZqDeviceMenu::UploadPage);
}

void TestToolbar::captionsFollowRenames()
{
    const QList<phoneRecord> phones = livePhones().mid(0, 2);
    ZqDeviceList grid;
    grid.resize(700, 500);
    grid.show(); // tiles build their captions once shown
    QVERIFY(QTest::qWaitForWindowExposed(&grid));
    for (const phoneRecord &phone : phones)
        tick(phone.cloudPhoneId);
    pump();
    QCOMPARE(grid.tiles().size(), 2);
    // Renamed in the tree: the caption changes at once, the other tile keeps its name.
    post(36, {{"phoneId", phones[1].cloudPhoneId}, {"name", "新名字"}});
    pump();
    QCOMPARE(child<QLabel>(grid.tile(phones[1].cloudPhoneId), "lblDeviceName")->text(), QString("新名字"));
    QCOMPARE(grid.tile(phones[1].cloudPhoneId)->phone().name, QString("新名字"));
    QCOMPARE(child<QLabel>(grid.tile(phones[0].cloudPhoneId), "lblDeviceName")->text(), phones[0].name);
    // A rename without a name, or of a phone without a tile, changes nothing.
    post(36, {{"phoneId", phones[0].cloudPhoneId}});
    post(36, {{"phoneId", 987654}, {"name", "x"}});
    pump();
    QCOMPARE(child<QLabel>(grid.tile(phones[0].cloudPhoneId), "lblDeviceName")->text(), phones[0].name);
    for (const phoneRecord &phone : phones)
        tick(phone.cloudPhoneId, false);
    pump();
}

void TestToolbar::dialogRowsAndTitles()
{
    QPointer<AppOperDlg> dialog = new AppOperDlg;
    const struct
    {
        QJsonObject request;
        QString title, ok;
        bool prompt;
    } types[] = {{{{"type", 2}}, "批量停止", "停止", false},
                 {{{"type", 3}}, "批量卸载", "卸载", false},
                 {{{"type", 1}}, "批量启动", "启动", true}};
    for (const auto &t : types) {
        dialog->setOperationType(t.request);
        QCOMPARE(child<QLabel>(dialog, "lblTitle")->text(), t.title);
        QCOMPARE(child<QPushButton>(dialog, "btnOK")->text(), t.ok);
        QCOMPARE(child<QLabel>(dialog, "lblPrompt")->isVisibleTo(dialog), t.prompt);
    }
    dialog->setOperationType({});
    QCOMPARE(dialog->operationType(), 0);
    dialog->show();

    // Two rows from two entries; an entry of two fields makes none; empty fields do not count.
    postText(91, "x|com.pmapps.notes|便签,a|com.bad,,y||com.pmapps.clock|时钟");
    pump();
    QCOMPARE(dialog->appItems().size(), 2);
    QCOMPARE(dialog->appItems()[0]->packageName(), QString("com.pmapps.notes"));
    QCOMPARE(child<QCheckBox>(dialog->appItems()[0], "cbAppName")->text(), QString("便签"));
    QCOMPARE(child<QLabel>(dialog->appItems()[1], "lblPkgName")->text(), QString("com.pmapps.clock"));
    // A second list appends below the first.
    postText(91, "z|com.pmapps.browser|浏览器");
    pump();
    QCOMPARE(dialog->appItems().size(), 3);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(dialog->appItems()[i]->geometry(), QRect(0, 4 + 35 * i, 624, 34));
    QCOMPARE(child<QWidget>(dialog, "scrollAreaWidgetContents")->minimumHeight(), 4 + 35 * 3 + 35);

    // One list is cut at the dialog's limit, and rows stop there however the lists come.
    QString list;
    for (int i = 0; i <= maxPackages; ++i)
        list += QStringLiteral("p|com.pm.app%1|应用%1,").arg(i);
    QCOMPARE(parsePackageList(list).size(), maxPackages);
    postText(91, list);
    pump();
    QCOMPARE(dialog->appItems().size(), maxPackages);
    QCOMPARE(dialog->appItems().last()->packageName(), QStringLiteral("com.pm.app%1").arg(maxPackages - 4));

    // Dragged by the title band, and only there.
    const QPoint start = dialog->pos();
    QWidget *title = child<QWidget>(dialog, "wTitle");
    QTest::mousePress(title, Qt::LeftButton, {}, QPoint(300, 20));
    QMouseEvent move(QEvent::MouseMove, QPoint(340, 50), title->mapToGlobal(QPoint(340, 50)), Qt::NoButton,
                     Qt::LeftButton, {});
    QApplication::sendEvent(title, &move);
    QTest::mouseRelease(title, Qt::LeftButton, {}, QPoint(340, 50));
    QCOMPARE(dialog->pos(), start + QPoint(40, 30));
    QTest::mousePress(dialog, Qt::LeftButton, {}, QPoint(300, 200));
    QMouseEvent below(QEvent::MouseMove, QPoint(340, 240), dialog->mapToGlobal(QPoint(340, 240)),
                      Qt::NoButton, Qt::LeftButton, {});
    QApplication::sendEvent(dialog, &below);
    QCOMPARE(dialog->pos(), start + QPoint(40, 30));

    // Cancel closes and deletes it; a later list reaches nothing.
    QTest::mouseClick(child<QPushButton>(dialog, "btnCancel"), Qt::LeftButton);
    QTRY_VERIFY(dialog.isNull());
    postText(91, "z|com.pmapps.notes|便签");
    pump();
}

void TestToolbar::dialogWithoutPhones()
{
    // Earlier test classes may have left any phone of the account registered.
    for (const groupRecord &group :
         g_userInfo->ordinaryGroups() +
             QList<groupRecord>{g_userInfo->specialGroup(-1), g_userInfo->specialGroup(-2)})
        for (const phoneRecord &phone : group.phones)
            sdkManager.erasePhone(phone.cloudPhoneId);
    QVERIFY(waitFor([] { return sdkManager.phoneCount() == 0; }));
    BusRecorder bus{5, 91};
    QPointer<AppOperDlg> dialog = new AppOperDlg;
    dialog->setOperationType({{"type", 1}});
    QCOMPARE(dialog->exec(), int(QDialog::Rejected));
    QTRY_VERIFY(dialog.isNull());
    pump();
    QCOMPARE(bus.payloads(5), (QList<QJsonObject>{{{"type", 254}, {"lbl_1_Text", "至少选择一台云手机"}}}));
    QVERIFY(bus.payloads(91).isEmpty());
}

void TestToolbar::batchStopAndStartOnTheFarm()
{
    const QList<phoneRecord> phones = livePhones().mid(0, 3);
    const QList<phoneRecord> ticked = phones.mid(0, 2);
    const phoneRecord &unticked = phones[2];
    for (const phoneRecord &phone : phones) {
        shell(phone, "monkey -p com.pmapps.notes -c android.intent.category.LAUNCHER 1");
        shell(phone, "monkey -p com.pmapps.clock -c android.intent.category.LAUNCHER 1");
        QCOMPARE(foreground(phone), QString("com.pmapps.clock"));
        QCOMPARE(running(phone), (QStringList{"com.pmapps.clock", "com.pmapps.notes"}));
    }
    // Ticked a moment ago, registered by a queued job: the dialog must still find the phones.
    BusRecorder bus{5};
    for (const phoneRecord &phone : ticked)
        sdkManager.addPhone(phone.cloudPhoneId, phone.deviceId, phone.deviceUcId, phone.name);
    // Runs a dialog of `type` as the main window does, checks the apps of `packages` once the list is
    // in, and confirms.
    auto run = [&](int type, const QStringList &packages) {
        QPointer<AppOperDlg> dialog = new AppOperDlg;
        dialog->setOperationType({{"type", type}});
        QTimer::singleShot(0, dialog, [&] {
            QVERIFY(waitFor([&] { return dialog->appItems().size() > 2; }));
            for (AppItem *item : dialog->appItems())
                item->setChecked(packages.contains(item->packageName()));
            QTest::mouseClick(child<QPushButton>(dialog, "btnOK"), Qt::LeftButton);
        });
        dialog->exec();
        QTRY_VERIFY(dialog.isNull());
    };

    // Stop with the notes checked: the notes end on the ticked phones, the clock in front does not.
    run(2, {"com.pmapps.notes"});
    QVERIFY(bus.payloads(5).isEmpty());
    for (const phoneRecord &phone : ticked)
        QVERIFY(waitFor([&] { return running(phone) == QStringList{"com.pmapps.clock"}; }));
    for (const phoneRecord &phone : ticked)
        QCOMPARE(foreground(phone), QString("com.pmapps.clock"));
    QCOMPARE(running(unticked), (QStringList{"com.pmapps.clock", "com.pmapps.notes"}));

    // Start puts the app in front on the ticked phones only.
    run(1, {"com.pmapps.settings"});
    for (const phoneRecord &phone : ticked)
        QVERIFY(waitFor([&] { return foreground(phone) == "com.pmapps.settings"; }));
    QCOMPARE(foreground(unticked), QString("com.pmapps.clock"));

    for (const phoneRecord &phone : ticked)
        sdkManager.erasePhone(phone.cloudPhoneId);
}

void TestToolbar::macroDialogReplaysOnTickedPhones()
{
    const QList<phoneRecord> phones = livePhones().mid(3, 2);
    QCOMPARE(phones.size(), 2);
    for (const phoneRecord &phone : phones) {
        shell(phone, "monkey -p com.pmapps.notes -c android.intent.category.LAUNCHER 1");
        QCOMPARE(foreground(phone), QString("com.pmapps.notes"));
    }
    const QString folder = dataDirectory() + "/macros";
    QDir(folder).removeRecursively();
    const auto textStep = [](qint64 offset, const QByteArray &text) {
        macro::Step step{offset, {}};
        step.event.type = SyncText;
        step.event.length = text.size();
        memcpy(step.event.data, text.constData(), size_t(text.size()));
        return step;
    };
    macro::Recording shortOne;
    shortOne.name = "短脚本";
    shortOne.createdMs = QDateTime::currentMSecsSinceEpoch();
    shortOne.steps = {textStep(0, "ab"), textStep(300, "c")};
    macro::Recording longOne = shortOne;
    longOne.name = "长脚本";
    longOne.createdMs -= 60000;
    longOne.steps.clear();
    for (int i = 0; i < 200; ++i)
        longOne.steps.push_back(textStep(i * 100, "z"));
    QString error;
    const QString shortPath = macro::save(dataDirectory(), shortOne, &error);
    QVERIFY(!macro::save(dataDirectory(), longOne, &error).isEmpty());
    QFile::copy(shortPath, folder + "/damaged.pmacro");
    QFile damaged(folder + "/damaged.pmacro");
    QVERIFY(damaged.open(QIODevice::ReadWrite) && damaged.resize(20));
    damaged.close();

    BusRecorder bus{5};
    QPointer<MacroDlg> dialog = new MacroDlg;
    dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(dialog));
    QTableWidget *recordings = dialog->recordings();
    QCOMPARE(recordings->rowCount(), 3);
    QCOMPARE(recordings->item(0, 0)->text(), QString("短脚本"));
    QCOMPARE(recordings->item(0, 1)->text(), QString("0:00.3"));
    QCOMPARE(recordings->item(0, 2)->text(), QString("2"));
    QCOMPARE(recordings->item(0, 4)->text(), QString("竖屏"));
    QCOMPARE(recordings->item(1, 0)->text(), QString("长脚本"));
    QVERIFY(recordings->item(2, 0)->text().endsWith("（无法回放）"));
    auto *start = child<QPushButton>(dialog, "btnStart");
    auto *stop = child<QPushButton>(dialog, "btnStop");
    QVERIFY(start->isEnabled() && !stop->isEnabled());

    // A damaged file says why and starts nothing.
    recordings->selectRow(2);
    QTest::mouseClick(start, Qt::LeftButton);
    pump();
    QCOMPARE(bus.payloads(5),
             (QList<QJsonObject>{{{"type", 254}, {"lbl_1_Text", "脚本文件已损坏或不完整"}}}));
    QVERIFY(!sdkManager.macroRunning());

    // Twice on the ticked phones, each phone's bar full at the end.
    for (const phoneRecord &phone : phones)
        sdkManager.addPhone(phone.cloudPhoneId, phone.deviceId, phone.deviceUcId, phone.name);
    recordings->selectRow(0);
    child<QSpinBox>(dialog, "spbRepeat")->setValue(2);
    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(!start->isEnabled() && stop->isEnabled());
    auto *status = child<QLabel>(dialog, "lblStatus");
    QVERIFY(waitFor([&] { return status->text() == "回放完成"; }));
    QTableWidget *progress = dialog->progress();
    QCOMPARE(progress->rowCount(), 2);
    for (int row = 0; row < 2; ++row) {
        auto *bar = static_cast<QProgressBar *>(progress->cellWidget(row, 1));
        QCOMPARE(bar->maximum(), 4);
        QCOMPARE(bar->value(), 4);
        QCOMPARE(progress->item(row, 2)->text(), QString("完成"));
    }
    for (const phoneRecord &phone : phones)
        QVERIFY(waitFor([&] { return shell(phone, "uiautomator dump").contains("text=\"abcabc\""); }));

    // Stop ends both replays mid-way; closing the dialog stops a running replay too.
    recordings->selectRow(1);
    child<QSpinBox>(dialog, "spbRepeat")->setValue(1);
    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(waitFor([&] { return progress->rowCount() == 2 && progress->item(1, 2)->text() == "回放中"; }));
    QTest::mouseClick(stop, Qt::LeftButton);
    QVERIFY(waitFor([&] { return status->text() == "回放已停止"; }));
    for (int row = 0; row < 2; ++row) {
        QCOMPARE(progress->item(row, 2)->text(), QString("已停止"));
        QVERIFY(static_cast<QProgressBar *>(progress->cellWidget(row, 1))->value() < 200);
    }
    BusRecorder finished{Msg::macroFinished};
    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(waitFor([] { return sdkManager.macroRunning(); }));
    dialog->close();
    QTRY_VERIFY(dialog.isNull());
    QVERIFY(waitFor([&] { return finished.payloads(Msg::macroFinished).size() == 1; }));
    QCOMPARE(finished.payloads(Msg::macroFinished).first()["stopped"].toBool(), true);
    QVERIFY(!sdkManager.macroRunning());
    for (const phoneRecord &phone : phones)
        sdkManager.erasePhone(phone.cloudPhoneId);
}

PELOMIR_UI_TEST(TestToolbar, 2)
#include "test_toolbar.moc"
