// Over 600 lines on purpose: widget tests spell out every click and answer, and one file per widget
// family keeps its cases beside the helpers they share.
// Dialogs, tips, the main window with its title bar and content frame and the login form, driven
// through their widgets against a real provider.
#include "tests/ui/test_ui.h"

#include "api/userinfo.h"
#include "api/zqhttprequest.h"
#include "app/datadir.h"
#include "app/globals.h"
#include "tests/support/account.h"
#include "tests/support/busrecorder.h"
#include "tests/support/providerprocess.h"
#include "tests/support/xvfb.h"
#include "tests/ui/uitest.h"
#include "ui/hittest.h"
#include "ui/mainwindow.h"
#include "ui/mainwindowhandle.h"
#include "ui/zqcontent.h"
#include "ui/zqdevice.h"
#include "ui/zqdialogform.h"
#include "ui/zqlogin.h"
#include "ui/zqtips.h"
#include "ui/zqtitle.h"

#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QValidator>
#include <QWindow>

#include <memory>
#include <thread>

namespace {

using testsupport::BusRecorder;
using testsupport::pump;

using uitest::child;
using uitest::demoPassword;
using uitest::demoPhone;
using uitest::parse;
using uitest::typeText;

QList<ZqDialogForm *> visibleDialogs()
{
    QList<ZqDialogForm *> out;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *d = qobject_cast<ZqDialogForm *>(w); d && d->isVisible())
            out.append(d);
    return out;
}

ZqTips *visibleTip()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *tip = qobject_cast<ZqTips *>(w); tip && tip->isVisible())
            return tip;
    return nullptr;
}

} // namespace

QString TestUi::startProvider(const QStringList &extra, QString *dbPath)
{
    const QString db = m_dir.filePath(QStringLiteral("provider%1.db").arg(m_providers.size() + 1));
    if (dbPath)
        *dbPath = db;
    m_providers.push_back(std::make_unique<ProviderProcess>(
        db, QStringList{"--dev", "--sms-interval", "0", "--login-max-failures", "1000"} + extra));
    return m_providers.back()->start() ? m_providers.back()->baseUrl() : QString();
}

QString TestUi::smsCode(const QString &phone)
{
    const QJsonObject answer =
        parse(ZqHttpRequest().httpGet(m_providerUrl + QStringLiteral("/dev/sms?phone=") + phone));
    return answer.value(QStringLiteral("content")).toObject().value(QStringLiteral("code")).toString();
}

void TestUi::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_providerUrl = startProvider({});
    QVERIFY2(!m_providerUrl.isEmpty(), "pelomir-provider did not start");
    // Nothing leaves the test for the desktop: opened addresses are only recorded.
    for (const char *scheme : {"http", "https", "file"})
        QDesktopServices::setUrlHandler(QLatin1String(scheme), this, "openUrl");
    QDir(dataDirectory() + QStringLiteral("/screenshot")).removeRecursively();
    clearStoredAccount();
}

void TestUi::cleanupTestCase()
{
    for (const auto &p : m_providers)
        p->terminate();
}

void TestUi::clearStoredAccount()
{
    QFile::remove(dataDirectory() + QStringLiteral("/config"));
}

std::unique_ptr<MainWindow> TestUi::openWindow()
{
    auto window = std::make_unique<MainWindow>();
    // Before the title bar's update check and any account call.
    g_config->apiBaseUrl = m_providerUrl;
    g_userInfoHolder = std::make_shared<userInfo>();
    g_userInfo = g_userInfoHolder.get();
    window->show();
    if (!QTest::qWaitForWindowExposed(window.get()))
        qFatal("main window not exposed");
    pump(1);
    return window;
}

void TestUi::dialogProtocol_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QStringList>("shown");
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("resultKey");
    QTest::addColumn<QJsonValue>("resultValue");

    const QStringList message{QStringLiteral("lbl_1"), QStringLiteral("btnConfirm")};
    const QStringList nameInput{QStringLiteral("lbl_1"), QStringLiteral("edtLine"),
                                QStringLiteral("btnConfirm")};
    const QStringList question{QStringLiteral("lbl_1"), QStringLiteral("btnCancel"),
                               QStringLiteral("btnConfirm")};
    auto request = [](const QJsonObject &o) { return jsonToText(o); };

    QTest::newRow("2 clipboard text")
        << request({{"type", 2}, {"msgId", 23}, {"deviceId", "PM01"}}) << "同步剪贴板" << QSize(350, 280)
        << QStringList{"edtText", "btnConfirm"} << "第一段\n第二段"
        << "txtClip" << QJsonValue("第一段第二段");
    QTest::newRow("3 rename keeps the old name")
        << request({{"type", 3}, {"msgId", 33}, {"lbl_1_Text", "旧名字"}}) << "提示" << QSize(350, 232)
        << nameInput << QString() << "name" << QJsonValue("旧名字");
    QTest::newRow("5 name") << request({{"type", 5}, {"msgId", 35}, {"lbl_1_Text", "分组名称"}}) << "提示"
                            << QSize(350, 232) << nameInput << "分组A"
                            << "name" << QJsonValue("分组A");
    QTest::newRow("7 question") << request(
                                       {{"type", 7}, {"msgId", 81}, {"lbl_1_Text", "确定?"}, {"cloudId", 12}})
                                << "提示" << QSize(350, 185) << question << QString() << QString()
                                << QJsonValue();
    QTest::newRow("255 question with device")
        << request({{"type", 255}, {"msgId", 24}, {"lbl_1_Text", "重启?"}, {"deviceId", "PM02"}}) << "提示"
        << QSize(350, 185) << question << QString() << QString() << QJsonValue();
    QTest::newRow("9 prefix") << request({{"type", 9}, {"msgId", 81}, {"lbl_1_Text", "前缀"}}) << "批量命名"
                              << QSize(350, 232) << nameInput << "云机"
                              << "prefix" << QJsonValue("云机");
    QTest::newRow("10 count") << request({{"type", 10}, {"msgId", 37}}) << "多选" << QSize(350, 160)
                              << QStringList{"edtLine", "btnCancel", "btnConfirm"} << "42"
                              << "count" << QJsonValue(42);
    QTest::newRow("10 empty count") << request({{"type", 10}, {"msgId", 37}}) << "多选" << QSize(350, 160)
                                    << QStringList{"edtLine", "btnCancel", "btnConfirm"} << QString()
                                    << "count" << QJsonValue(0);
    QTest::newRow("12 optional update")
        << request({{"type", 12}, {"msgId", 40}, {"lbl_1_Text", "新版本"}}) << "提示" << QSize(350, 185)
        << message << QString() << QString() << QJsonValue();
    QTest::newRow("254 notice without msgId")
        << request({{"type", 254}, {"lbl_1_Text", "通知"}}) << "提示" << QSize(350, 185) << message
        << QString() << QString() << QJsonValue();
    QTest::newRow("253 start failure")
        << request({{"type", 253}, {"lbl_1_Text", "系统初始化失败"}}) << "初始化失败" << QSize(350, 185)
        << message << QString() << QString() << QJsonValue();
    QTest::newRow("unknown type") << request({{"type", 77}, {"msgId", 41}}) << "错误" << QSize(350, 185)
                                  << QStringList{"lbl_1"} << QString() << QString() << QJsonValue();
    QTest::newRow("not JSON") << "{\"type\": 5,"
                              << "错误" << QSize(350, 185) << QStringList{"lbl_1"} << QString() << QString()
                              << QJsonValue();
}

void TestUi::dialogProtocol()
{
    QFETCH(QString, request);
    QFETCH(QString, title);
    QFETCH(QSize, size);
    QFETCH(QStringList, shown);
    QFETCH(QString, input);
    QFETCH(QString, resultKey);
    QFETCH(QJsonValue, resultValue);

    const QJsonObject requestObject = parse(request);
    const int msgId = requestObject.value(QStringLiteral("msgId")).toInt();
    BusRecorder results{1, 23, 24, 33, 35, 37, 40, 41, 81};

    ZqDialogForm dialog;
    for (const char *answer : {"btnClose", "btnCancel", "btnConfirm"}) {
        dialog.setDialogData(request);
        dialog.show();
        QCOMPARE(child<QLabel>(&dialog, "lblTitle")->text(), title);
        QCOMPARE(dialog.size(), size);
        for (const char *name : {"lbl_1", "lbl_2", "edtLine", "edtText", "btnCancel", "btnConfirm"})
            QCOMPARE(child<QWidget>(&dialog, name)->isVisibleTo(&dialog),
                     shown.contains(QLatin1String(name)));
        if (title == QStringLiteral("错误"))
            QCOMPARE(child<QLabel>(&dialog, "lbl_1")->text(), QStringLiteral("错误，请关闭"));

        const bool confirming = qstrcmp(answer, "btnConfirm") == 0;
        if (shown.contains(QStringLiteral("edtText")))
            child<QTextEdit>(&dialog, "edtText")->setPlainText(input);
        else if (confirming && !input.isEmpty())
            typeText(child<QLineEdit>(&dialog, "edtLine"), input);

        auto *button = child<QPushButton>(&dialog, answer);
        if (!button->isVisibleTo(&dialog))
            continue;
        QTest::mouseClick(button, Qt::LeftButton);
        pump(1);
        QVERIFY(!dialog.isVisible());
        // Closing a start-failure dialog ends the program.
        if (dialog.dialogType() == 253 && !confirming) {
            QCOMPARE(results.got.size(), 1);
            QCOMPARE(results.got.takeFirst().type, 1);
            continue;
        }
        if (!confirming || msgId == 0) {
            QVERIFY2(results.got.isEmpty(), answer);
            continue;
        }
        QCOMPARE(results.got.size(), 1);
        QCOMPARE(results.got[0].type, msgId);
        QJsonObject expected = requestObject;
        if (!resultKey.isEmpty())
            expected.insert(resultKey, resultValue);
        QCOMPARE(textToJson(results.got[0].text), expected);
    }
}

void TestUi::dialogStateBetweenRequests()
{
    BusRecorder exits{1, 13};
    ZqDialogForm dialog;
    auto *line = child<QLineEdit>(&dialog, "edtLine");
    auto *label = child<QLabel>(&dialog, "lbl_1");

    // The count accepts 0, 1..179 and 9999 only; what cannot become a match cannot be typed.
    dialog.setDialogData(jsonToText({{"type", 10}, {"msgId", 37}}));
    QVERIFY(line->validator());
    for (const auto &[text, ok] : QList<QPair<QString, bool>>{{"0", true},
                                                              {"7", true},
                                                              {"42", true},
                                                              {"179", true},
                                                              {"9999", true},
                                                              {"180", false},
                                                              {"01", false},
                                                              {"10000", false},
                                                              {"1a", false}}) {
        QString input = text;
        int pos = 0;
        QCOMPARE(line->validator()->validate(input, pos), ok ? QValidator::Acceptable : QValidator::Invalid);
    }
    typeText(line, "180");
    QCOMPARE(line->text(), QStringLiteral("18"));
    QTest::mouseClick(child<QPushButton>(&dialog, "btnCancel"), Qt::LeftButton);
    dialog.setDialogData(jsonToText({{"type", 5}, {"msgId", 35}}));
    QVERIFY(!line->validator());
    // A count request replaced while shown leaves no validator behind either.
    dialog.setDialogData(jsonToText({{"type", 10}}));
    dialog.setDialogData(jsonToText({{"type", 9}}));
    QVERIFY(!line->validator());

    // Text typed into a dismissed name dialog is still there for the next one.
    dialog.setDialogData(jsonToText({{"type", 5}, {"msgId", 35}}));
    dialog.show();
    typeText(line, "草稿");
    QTest::mouseClick(child<QPushButton>(&dialog, "btnClose"), Qt::LeftButton);
    dialog.setDialogData(jsonToText({{"type", 5}, {"msgId", 35}}));
    QCOMPARE(line->text(), QStringLiteral("草稿"));

    // A forced update cannot be closed; confirming it ends the program instead of answering.
    dialog.setDialogData(jsonToText(ZqTitle::updateRequest(
        QStringLiteral("{\"content\":{\"forceUpdateState\":1,\"downloadUrl\":\"http://d/new.apk\"}}"))));
    dialog.show();
    QVERIFY(!child<QPushButton>(&dialog, "btnClose")->isVisible());
    QVERIFY(label->text().contains(QStringLiteral("http://d/new.apk")));
    QTest::mouseClick(child<QPushButton>(&dialog, "btnConfirm"), Qt::LeftButton);
    pump(1);
    QCOMPARE(exits.got.size(), 1);
    QCOMPARE(exits.got[0].type, 1);
    dialog.setDialogData(jsonToText({{"type", 254}, {"lbl_1_Text", "x"}}));
    QVERIFY(!child<QPushButton>(&dialog, "btnClose")->isVisibleTo(&dialog));
}

void TestUi::tips()
{
    // The buffer keeps whole characters only, and always a terminating zero.
    const QString chinese(600, QChar(0x590D));
    QCOMPARE(tipBuffer(chinese).size(), tipBufferSize);
    QCOMPARE(tipText(tipBuffer(chinese)), QString(341, QChar(0x590D)));
    QCOMPARE(tipText(tipBuffer(QLatin1Char('a') + chinese)), QLatin1Char('a') + QString(340, QChar(0x590D)));
    QCOMPARE(tipText(tipBuffer(QString(2000, QLatin1Char('x')))).size(), tipBufferSize - 1);
    QCOMPARE(tipText(QByteArray("unterminated", 5)), QStringLiteral("unter"));

    QVERIFY(!mainWindowHandle());
    QVERIFY(!tipWindowMessage(QStringLiteral("nobody")));

    auto window = openWindow();
    bool posted = false;
    std::thread([&] { posted = tipWindowMessage(QStringLiteral("复制成功")); }).join();
    QVERIFY(posted);
    QTRY_VERIFY(visibleTip());
    QPointer<ZqTips> tip = visibleTip();
    QCOMPARE(child<QLabel>(tip, "lblText")->text(), QStringLiteral("复制成功"));
    QCOMPARE(tip->size(), QSize(680, 40));
    QTRY_VERIFY_WITH_TIMEOUT(tip.isNull(), 10000);

    // A click dismisses a tip at once.
    QVERIFY(tipWindowMessage(QStringLiteral("第二个")));
    QTRY_VERIFY(visibleTip());
    tip = visibleTip();
    QTest::mouseClick(tip, Qt::LeftButton);
    QVERIFY(!tip || !tip->isVisible());
}

void TestUi::hitTestTable_data()
{
    QTest::addColumn<QPoint>("pos");
    QTest::addColumn<bool>("inTitle");
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("after");
    const int none = -1;
    // Window 1280 x 800, border 5.
    QTest::newRow("client area") << QPoint(640, 400) << false << none << none;
    QTest::newRow("title drag area") << QPoint(640, 20) << true << 2 << 2;
    QTest::newRow("title button") << QPoint(1254, 20) << false << none << none;
    QTest::newRow("title button's top edge") << QPoint(1254, 2) << false << 2 << 12;
    QTest::newRow("title drag area on the top edge") << QPoint(640, 2) << true << 2 << 2;
    QTest::newRow("left") << QPoint(2, 400) << false << 2 << 10;
    QTest::newRow("right") << QPoint(1278, 400) << false << 2 << 11;
    QTest::newRow("bottom") << QPoint(640, 797) << false << 2 << 15;
    QTest::newRow("top-left") << QPoint(2, 2) << false << 2 << 13;
    QTest::newRow("top-right") << QPoint(1277, 3) << false << 2 << 14;
    QTest::newRow("bottom-left") << QPoint(4, 799) << false << 2 << 16;
    QTest::newRow("bottom-right") << QPoint(1279, 799) << false << 2 << 17;
    QTest::newRow("outermost column") << QPoint(0, 400) << false << 2 << 2;
    QTest::newRow("inner edge of the border") << QPoint(5, 400) << false << 2 << 2;
}

void TestUi::hitTestTable()
{
    QFETCH(QPoint, pos);
    QFETCH(bool, inTitle);
    QFETCH(int, before);
    QFETCH(int, after);
    const QSize size(1280, 800);
    QCOMPARE(nonClientHitTest(pos, size, 5, false, inTitle).value_or(-1), before);
    QCOMPARE(nonClientHitTest(pos, size, 5, true, inTitle).value_or(-1), after);
}

void TestUi::windowBeforeLogin()
{
    // An account stored without a password does not fill the form.
    clearStoredAccount();
    {
        ZqConfig stored;
        stored.account = demoPhone;
        QVERIFY(stored.save());
    }
    auto window = openWindow();
    clearStoredAccount();
    auto *content = child<ZqContent>(window.get(), "ZqContent");
    QVERIFY(content->loginPage()->isVisible() && !content->devicePage()->isVisible());
    QCOMPARE(child<QLineEdit>(window.get(), "edtAccount")->text(), QString());
    QVERIFY(child<QToolButton>(window.get(), "btnClose")->isVisible());
    for (const char *hidden : {"btnMax", "btnMin", "btnUserInfo", "btnQQGroup", "btnHome", "btnDownload"})
        QVERIFY2(!child<QToolButton>(window.get(), hidden)->isVisible(), hidden);

    // Offscreen there is no window manager to take a move over; the window moves itself. It follows
    // the cursor, so the release is over the same spot of the window as the press.
    QWindow *native = window->windowHandle();
    const QPoint start = window->pos();
    QTest::mousePress(native, Qt::LeftButton, {}, QPoint(300, 20));
    QTest::mouseMove(native, QPoint(340, 50));
    QTRY_COMPARE(window->pos(), start + QPoint(40, 30));
    QTest::mouseRelease(native, Qt::LeftButton, {}, QPoint(300, 20));
    // Before login the border drags too instead of resizing.
    const QPoint corner(1278, 798);
    QTest::mousePress(native, Qt::LeftButton, {}, corner);
    QTest::mouseMove(native, corner + QPoint(20, 10));
    QTRY_COMPARE(window->pos(), start + QPoint(60, 40));
    QTest::mouseRelease(native, Qt::LeftButton, {}, corner);
    QCOMPARE(window->size(), QSize(1280, 800));
    // A press in the client area reaches the widgets.
    auto *account = child<QLineEdit>(window.get(), "edtAccount");
    QTest::mouseClick(account, Qt::LeftButton);
    QTRY_VERIFY(account->hasFocus());
    QCOMPARE(window->pos(), start + QPoint(60, 40));

    // Too narrow snaps the width, too low the height; both at once take two rounds.
    window->resize(1000, 900);
    QTRY_COMPARE(window->size(), QSize(1280, 900));
    QTRY_COMPARE(content->geometry(), QRect(0, 41, 1280, 860));
    window->resize(1400, 600);
    QTRY_COMPARE(window->size(), QSize(1400, 680));
    QTRY_COMPARE(child<QToolButton>(window.get(), "btnClose")->pos(), QPoint(1350, 0));
    window->resize(900, 500);
    QTRY_COMPARE(window->size(), QSize(1280, 680));

    // Resizing by hand moves the dragged edges only and never below the smallest size.
    const QRect from(100, 100, 1280, 800);
    const QSize minimum(1280, 680);
    QCOMPARE(draggedGeometry(from, hit::BottomRight, QPoint(30, 20), minimum), QRect(100, 100, 1310, 820));
    QCOMPARE(draggedGeometry(from, hit::TopLeft, QPoint(-30, 20), minimum), QRect(70, 120, 1310, 780));
    QCOMPARE(draggedGeometry(from, hit::Left, QPoint(30, 0), minimum), from);
    QCOMPARE(draggedGeometry(from, hit::Top, QPoint(0, 200), minimum), QRect(100, 220, 1280, 680));
}

void TestUi::typingAsTheWindowAppears()
{
    // A stored account: the form is filled and has the keyboard on the password field before the
    // window first shows, not only once the posted page switch arrives.
    clearStoredAccount();
    {
        ZqConfig stored;
        stored.account = demoPhone;
        stored.password = QStringLiteral("stored-secret");
        QVERIFY(stored.save());
    }
    {
        MainWindow window;
        auto *content = child<ZqContent>(&window, "ZqContent");
        QVERIFY(content->loginPage()->isVisibleTo(content));
        QCOMPARE(child<QLineEdit>(&window, "edtAccount")->text(), demoPhone);
        QCOMPARE(window.focusWidget(), child<QLineEdit>(&window, "edtPassword"));
    }
    clearStoredAccount();

    // No stored account: keys that arrive as soon as the window is active, before any event of the
    // start-up has been handled, land in the account field.
    auto window = std::make_unique<MainWindow>();
    g_config->apiBaseUrl = m_providerUrl;
    auto *account = child<QLineEdit>(window.get(), "edtAccount");
    auto *password = child<QLineEdit>(window.get(), "edtPassword");
    QCOMPARE(window->focusWidget(), account);
    window->show();
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(window.get()));
    for (const char digit : QByteArrayLiteral("138"))
        QTest::keyClick(window->windowHandle(), digit);
    QCOMPARE(account->text(), QStringLiteral("138"));

    // The page switch posted at start-up, or a stored account that shows up meanwhile, never
    // replaces what the user has typed.
    g_config->account = QStringLiteral("13900000000");
    g_config->password = QStringLiteral("other");
    post(Msg::showLoginPage);
    pump(1);
    QCOMPARE(account->text(), QStringLiteral("138"));
    QCOMPARE(password->text(), QString());
    g_config->account.clear();
    g_config->password.clear();
}

void TestUi::libraryStartFailure()
{
    // The library cannot write its log where a file blocks the log directory.
    const QString logDir = dataDirectory() + QStringLiteral("/log");
    QDir(logDir).removeRecursively();
    QFile blocker(logDir);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    auto window = openWindow();
    const QList<ZqDialogForm *> dialogs = visibleDialogs();
    QCOMPARE(dialogs.size(), 1);
    QPointer<ZqDialogForm> failed = dialogs[0];
    QCOMPARE(failed->dialogType(), 253);
    QCOMPARE(child<QLabel>(failed, "lbl_1")->text(), QStringLiteral("系统初始化失败"));
    QCOMPARE(child<QLabel>(failed, "lblTitle")->text(), QStringLiteral("初始化失败"));
    QCOMPARE(failed->windowModality(), Qt::ApplicationModal);
    window.reset();
    QFile::remove(logDir);

    BusRecorder exits{1};
    QTest::mouseClick(child<QPushButton>(failed, "btnClose"), Qt::LeftButton);
    pump(1);
    QCOMPARE(exits.got.size(), 1);
    QTRY_VERIFY(failed.isNull());
}

void TestUi::screenshots()
{
    auto window = openWindow();
    const QString dir = dataDirectory() + QStringLiteral("/screenshot/");
    QDir(dir).removeRecursively();
    m_openedUrls.clear();

    QImage image(90, 160, QImage::Format_RGB32);
    image.fill(QColor(10, 200, 30));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(image.save(&buffer, "PNG"));
    QVERIFY(png.contains('\0'));

    ZQSlotMsg shot;
    shot.type = 92;
    shot.setBuffer("../PM01/x");
    shot.text = QString::fromLatin1(png.constData(), png.size());
    g_eventManager.post(shot);
    g_eventManager.post(shot);
    ZQSlotMsg broken = shot;
    broken.text = QStringLiteral("not an image");
    g_eventManager.post(broken);
    pump(1);

    // Both shots are kept, under the screenshot folder, named after the cleaned-up stem.
    const QFileInfoList files = QDir(dir).entryInfoList(QDir::Files, QDir::Name);
    QCOMPARE(files.size(), 2);
    for (const QFileInfo &file : files) {
        QVERIFY2(QRegularExpression(QStringLiteral("^___PM01_x_\\d{8}_\\d{6}(_1)?\\.png$"))
                     .match(file.fileName())
                     .hasMatch(),
                 qPrintable(file.fileName()));
        QImage saved(file.filePath());
        QCOMPARE(saved.size(), image.size());
        QCOMPARE(saved.pixelColor(45, 80), QColor(10, 200, 30));
    }
    QCOMPARE(m_openedUrls.size(), 2);
    QCOMPARE(m_openedUrls[0], QUrl::fromLocalFile(dir));
}

void TestUi::updateCheck()
{
    const QString optional =
        startProvider({QStringLiteral("--update-version-code"), QStringLiteral("200"),
                       QStringLiteral("--update-url"), QStringLiteral("http://dl.test/p 2.apk")});
    const QString forced = startProvider(
        {QStringLiteral("--update-version-code"), QStringLiteral("200"), QStringLiteral("--update-url"),
         QStringLiteral("http://dl.test/p.apk"), QStringLiteral("--update-force")});
    QVERIFY(!optional.isEmpty() && !forced.isEmpty());

    g_configHolder = std::make_shared<ZqConfig>();
    g_config = g_configHolder.get();
    BusRecorder notices{5};
    auto check = [&](const QString &base) {
        g_config->apiBaseUrl = base;
        notices.got.clear();
        ZqTitle title;
        // Run the check now rather than on the title's timer; it stops the timer first.
        QMetaObject::invokeMethod(&title, "simpleRunning");
        pump(1);
        return notices.payloads(5);
    };

    QCOMPARE(check(m_providerUrl).size(), 0);
    QCOMPARE(check(QStringLiteral("http://127.0.0.1:1")).size(), 0);

    QList<QJsonObject> requests = check(optional);
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests[0].value("type").toInt(), 12);
    QVERIFY(!requests[0].contains("msgId"));
    QCOMPARE(requests[0].value("download").toString(), QStringLiteral("http://dl.test/p 2.apk"));
    QVERIFY(requests[0].value("lbl_1_Text").toString().contains("<a href=\"http://dl.test/p 2.apk\">"));

    requests = check(forced);
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests[0].value("type").toInt(), 13);
    QCOMPARE(requests[0].value("msgId").toInt(), 13);
    QVERIFY(requests[0]
                .value("lbl_1_Text")
                .toString()
                .startsWith(QStringLiteral("<p><span style=\" color:#ff0000;\">当前版本太低")));
}

void TestUi::passwordLogin()
{
    clearStoredAccount();
    auto window = openWindow();
    BusRecorder loggedIn{191};
    auto *content = child<ZqContent>(window.get(), "ZqContent");
    typeText(child<QLineEdit>(window.get(), "edtAccount"), demoPhone);
    typeText(child<QLineEdit>(window.get(), "edtPassword"), demoPassword);
    QTest::mouseClick(child<QToolButton>(window.get(), "btnLogin"), Qt::LeftButton);
    pump(1);
    QCOMPARE(loggedIn.got.size(), 1);
    QVERIFY(g_userInfo->isLoggedIn());
    QVERIFY(content->devicePage()->isVisible());
    QVERIFY(!content->loginPage()->isVisible());

    // The title bar shows the masked number and the logged-in buttons.
    auto *user = child<QToolButton>(window.get(), "btnUserInfo");
    QVERIFY(user->isVisible());
    QCOMPARE(user->text(), QStringLiteral("138****0000"));
    for (const char *shown : {"btnMax", "btnMin", "btnQQGroup"})
        QVERIFY2(child<QToolButton>(window.get(), shown)->isVisible(), shown);
    QCOMPARE(child<QToolButton>(window.get(), "btnQQGroup")->pos(), QPoint(1280 - 272, 4));

    // Both account and password are stored, encrypted on disk.
    ZqConfig stored;
    QVERIFY(stored.hasConfigFile());
    stored.load();
    QCOMPARE(stored.account, demoPhone);
    QCOMPARE(stored.password, demoPassword);

    // Logged in, the border resizes; the user button drags, the other title buttons do not.
    auto *title = child<ZqTitle>(window.get(), "ZqTitle");
    QCOMPARE(window->hitTest(window->mapToGlobal(QPoint(1278, 798))).value_or(-1), int(hit::BottomRight));
    QVERIFY(title->titleDragArea(user->mapToGlobal(user->rect().center())));
    auto *minimise = child<QToolButton>(window.get(), "btnMin");
    QCOMPARE(window->hitTest(minimise->mapToGlobal(minimise->rect().center())).value_or(-1), -1);

    QWindow *native = window->windowHandle();
    const QPoint corner(1278, 798);
    const QPoint start = window->pos();
    QTest::mousePress(native, Qt::LeftButton, {}, corner);
    QTest::mouseMove(native, corner + QPoint(30, 20));
    QTRY_COMPARE(window->size(), QSize(1310, 820));
    QTest::mouseRelease(native, Qt::LeftButton, {}, corner + QPoint(30, 20));
    QCOMPARE(window->pos(), start);
    QTRY_COMPARE(content->devicePage()->size(), QSize(1310, 780));

    // The group button copies the number and confirms with a tip.
    QTest::mouseClick(child<QToolButton>(window.get(), "btnQQGroup"), Qt::LeftButton);
    QCOMPARE(QGuiApplication::clipboard()->text(), ZqTitle::customerGroupNumber);
    QTRY_VERIFY(visibleTip());
}

void TestUi::smsLoginAndCountdown()
{
    {
        ZqConfig stored;
        stored.account = demoPhone;
        stored.password = QStringLiteral("stored-secret");
        QVERIFY(stored.save());
    }
    auto window = openWindow();
    auto *password = child<QLineEdit>(window.get(), "edtPassword");
    auto *getCode = child<QToolButton>(window.get(), "btnGetVeriCode");
    QCOMPARE(child<QLineEdit>(window.get(), "edtAccount")->text(), demoPhone);
    QCOMPARE(password->text(), QStringLiteral("stored-secret"));

    QTest::mouseClick(child<QToolButton>(window.get(), "btnIdentifyingCode"), Qt::LeftButton);
    auto *login = child<ZqLogin>(window.get(), "ZqLogin");
    QVERIFY(login->codeMode());
    QCOMPARE(password->text(), QString());
    QCOMPARE(password->echoMode(), QLineEdit::Normal);
    QVERIFY(getCode->isVisible());

    QTest::mouseClick(getCode, Qt::LeftButton);
    QVERIFY(login->counting());
    QVERIFY(!getCode->isEnabled());
    const QString code = smsCode(demoPhone);
    QVERIFY(!code.isEmpty());
    // While counting down no second code is requested.
    QMetaObject::invokeMethod(login, "on_btnGetVeriCode_clicked");
    QCOMPARE(smsCode(demoPhone), code);

    typeText(password, code);
    QTest::mouseClick(child<QToolButton>(window.get(), "btnLogin"), Qt::LeftButton);
    pump(1);
    QVERIFY(child<ZqContent>(window.get(), "ZqContent")->devicePage()->isVisible());
    QCOMPARE(g_config->account, demoPhone);
    QCOMPARE(g_config->password, QStringLiteral("stored-secret"));
    ZqConfig stored;
    stored.load();
    QCOMPARE(stored.password, QStringLiteral("stored-secret"));

    // The countdown reads 60 down to 1, one step per tick, and is back on the tick after 1. Ticks are
    // driven here; the real one-second timer may have taken some of them already.
    auto *timer = login->findChild<QTimer *>(QStringLiteral("countdown"));
    QVERIFY(timer && timer->isActive());
    QCOMPARE(timer->interval(), 1000);
    int shown = getCode->text().toInt();
    QVERIFY(shown >= 1 && shown <= 60);
    while (login->counting()) {
        QMetaObject::invokeMethod(login, "running");
        if (shown == 1) {
            QCOMPARE(getCode->text(), QStringLiteral("获取验证码"));
            break;
        }
        QCOMPARE(getCode->text().toInt(), --shown);
    }
    QVERIFY(!login->counting());
    QVERIFY(!timer->isActive());
    QVERIFY(getCode->isEnabled());
    QVERIFY(getCode->isCheckable());
}

void TestUi::failedLoginNoticesOnce()
{
    // A number the provider does not know: its answer is the same every time.
    const QString stranger = QStringLiteral("13700000001");
    const QString expected =
        parse(ZqHttpRequest().httpPost(m_providerUrl + QStringLiteral("/api/tamsu-phone-user/v1/login/phone"),
                                       {{QStringLiteral("phone"), stranger},
                                        {QStringLiteral("password"), QStringLiteral("wrong")}}))
            .value(QStringLiteral("msg"))
            .toString();
    QVERIFY(!expected.isEmpty());

    clearStoredAccount();
    auto window = openWindow();
    BusRecorder notices{5, 191};
    typeText(child<QLineEdit>(window.get(), "edtAccount"), stranger);
    typeText(child<QLineEdit>(window.get(), "edtPassword"), QStringLiteral("wrong"));
    QTest::mouseClick(child<QToolButton>(window.get(), "btnLogin"), Qt::LeftButton);
    pump(1);
    QCOMPARE(notices.got.size(), 1);
    QCOMPARE(notices.payloads(5).value(0),
             (QJsonObject{{QStringLiteral("type"), 254}, {QStringLiteral("lbl_1_Text"), expected}}));
    QVERIFY(!g_userInfo->isLoggedIn());
    QVERIFY(child<ZqContent>(window.get(), "ZqContent")->loginPage()->isVisible());
    QCOMPARE(child<QLineEdit>(window.get(), "edtPassword")->text(), QStringLiteral("wrong"));
    QVERIFY(!QFileInfo::exists(dataDirectory() + QStringLiteral("/config")));

    // The main window shows it in its one message dialog.
    const QList<ZqDialogForm *> dialogs = visibleDialogs();
    QCOMPARE(dialogs.size(), 1);
    QCOMPARE(child<QLabel>(dialogs[0], "lbl_1")->text(), expected);
    QCOMPARE(dialogs[0]->windowModality(), Qt::ApplicationModal);
    QTest::mouseClick(child<QPushButton>(dialogs[0], "btnConfirm"), Qt::LeftButton);
    QVERIFY(visibleDialogs().isEmpty());
}

void TestUi::forgotPasswordAndBack()
{
    auto window = openWindow();
    BusRecorder notices{5};
    auto *panel = child<QWidget>(window.get(), "widgetLogin");
    auto *account = child<QToolButton>(window.get(), "btnAccount");
    auto *reg = child<QToolButton>(window.get(), "btnRegister");
    auto *back = child<QToolButton>(window.get(), "btnRetLogin");
    auto *password = child<QLineEdit>(window.get(), "edtPassword");
    auto *newPassword = child<QLineEdit>(window.get(), "edtPassword2");
    auto *confirm = child<QToolButton>(window.get(), "btnConfirm");
    const QRect panelBefore = panel->geometry();
    const QPoint registerBefore = reg->pos();
    QCOMPARE(panelBefore.height(), 280);
    QCOMPARE(registerBefore, QPoint(20, 220));
    QVERIFY(!panel->rect().contains(back->geometry()));

    QTest::mouseClick(child<QToolButton>(window.get(), "btnLosspass"), Qt::LeftButton);
    QCOMPARE(panel->height(), 310);
    QVERIFY(panel->rect().contains(back->geometry()));
    QVERIFY(!child<QToolButton>(window.get(), "btnIdentifyingCode")->isVisible());
    QCOMPARE(newPassword->pos(), child<QToolButton>(window.get(), "btnLogin")->pos());
    QCOMPARE(newPassword->echoMode(), QLineEdit::Password);
    // The heading tab does not leave the reset mode half switched.
    QTest::mouseClick(account, Qt::LeftButton);
    QVERIFY(account->isChecked());
    QVERIFY(child<QToolButton>(window.get(), "btnGetVeriCode")->isVisible());
    QCOMPARE(password->echoMode(), QLineEdit::Normal);

    typeText(child<QLineEdit>(window.get(), "edtAccount"), demoPhone);
    QTest::mouseClick(child<QToolButton>(window.get(), "btnGetVeriCode"), Qt::LeftButton);
    const QString code = smsCode(demoPhone);
    QVERIFY(!code.isEmpty());
    typeText(password, code);
    typeText(newPassword, demoPassword);
    QTest::mouseClick(confirm, Qt::LeftButton);
    pump(1);
    QCOMPARE(notices.payloads(5),
             (QList<QJsonObject>{{{QStringLiteral("type"), 254},
                                  {QStringLiteral("lbl_1_Text"), QStringLiteral("密码重置成功！")}}}));
    for (ZqDialogForm *d : visibleDialogs())
        d->close();

    // Back on the login form exactly as before.
    QCOMPARE(panel->geometry(), panelBefore);
    QCOMPARE(reg->pos(), registerBefore);
    QVERIFY(!newPassword->isVisible() && !confirm->isVisible());
    QVERIFY(child<QToolButton>(window.get(), "btnLosspass")->isVisible());
    QCOMPARE(password->echoMode(), QLineEdit::Password);
    QCOMPARE(password->width(), 240);

    // The reset password logs in.
    typeText(password, demoPassword);
    QTest::mouseClick(child<QToolButton>(window.get(), "btnLogin"), Qt::LeftButton);
    pump(1);
    QVERIFY(g_userInfo->isLoggedIn());
}

void TestUi::closeButtonEndsTheProgram()
{
    const QString exe = testsupport::binDir() + QStringLiteral("/pelomir");
    if (!QFileInfo::exists(exe) || QStandardPaths::findExecutable(QStringLiteral("xvfb-run")).isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
        QSKIP("needs the pelomir executable, xvfb-run and xdotool");

    QTemporaryDir home;
    const QString log = home.filePath(QStringLiteral("pelomir/log/debug.log"));
    QVERIFY(QDir().mkpath(QFileInfo(log).path()));
    QFile(log).open(QIODevice::WriteOnly);

    // Waits (bounded) for the window and clicks the title bar's close button until the program ends; a
    // click that comes before the window can take it is simply repeated.
    const QString script =
        QStringLiteral("\"$0\" & pid=$!\n"
                       "for i in $(seq 200); do xdotool search --onlyvisible --name Pelomir >/dev/null 2>&1 "
                       "&& break; sleep 0.1; done\n"
                       "for i in $(seq 100); do\n"
                       "  kill -0 $pid 2>/dev/null || break\n"
                       "  [ $((i % 10)) = 1 ] && xdotool mousemove 1254 20 click 1\n"
                       "  sleep 0.1\n"
                       "done\n"
                       "kill -0 $pid 2>/dev/null && { echo still-running; kill -9 $pid; }\n"
                       "wait $pid; echo exit=$?\n");
    QProcess run;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    run.setProcessEnvironment(env);
    run.setProcessChannelMode(QProcess::MergedChannels);
    run.start(QStringLiteral("xvfb-run"), testsupport::xvfbRunArguments("1440x900x24")
                                              << QStringLiteral("bash") << QStringLiteral("-c") << script
                                              << exe);
    QVERIFY(run.waitForFinished(90000));
    const QByteArray out = run.readAll();
    QVERIFY2(out.contains("exit=0"), out.constData());

    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromLocal8Bit(file.readAll());
    QVERIFY2(QRegularExpression(QStringLiteral("exit : \\d{13} quit pid \\d+")).match(text).hasMatch(),
             qPrintable(text));
}

PELOMIR_UI_TEST(TestUi, 1)
