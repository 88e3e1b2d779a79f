// Dialogs, tips, the main window with its title bar and content frame, the login form and the device
// tree, driven through their widgets against a real provider.
#include "api/userinfo.h"
#include "api/zqhttprequest.h"
#include "app/datadir.h"
#include "app/globals.h"
#include "tests/support/account.h"
#include "tests/support/busrecorder.h"
#include "tests/support/providerprocess.h"
#include "tests/ui/uitest.h"
#include "ui/hittest.h"
#include "ui/mainwindow.h"
#include "ui/mainwindowhandle.h"
#include "ui/zqcontent.h"
#include "ui/zqdevice.h"
#include "ui/zqdeviceleftpanel.h"
#include "ui/zqdialogform.h"
#include "ui/zqlogin.h"
#include "ui/zqtips.h"
#include "ui/zqtitle.h"

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QStandardPaths>
#include <QStyledItemDelegate>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <QValidator>
#include <QWindow>

#include <memory>
#include <thread>

namespace {

using testsupport::BusRecorder;
using testsupport::freshAccount;
using testsupport::logIn;
using testsupport::pump;
using testsupport::waitFor;

template <class T> T *child(QWidget *parent, const char *name)
{
    T *w = parent->findChild<T *>(QLatin1String(name));
    if (!w)
        qFatal("no child %s", name);
    return w;
}

QList<ZqDialogForm *> visibleDialogs()
{
    QList<ZqDialogForm *> out;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *d = qobject_cast<ZqDialogForm *>(w); d && d->isVisible())
            out.append(d);
    return out;
}

// Types `text` key by key; characters without a key of their own arrive as text-only key events.
void typeText(QWidget *widget, const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() < 128) {
            QTest::keyClick(widget, c.toLatin1());
        } else {
            QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
            QApplication::sendEvent(widget, &press);
        }
    }
}

ZqTips *visibleTip()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *tip = qobject_cast<ZqTips *>(w); tip && tip->isVisible())
            return tip;
    return nullptr;
}

QJsonObject parse(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

const QString demoPhone = QStringLiteral("13800000000");
const QString demoPassword = QStringLiteral("pelomir2026");

QJsonObject cellData(const QStandardItem *item)
{
    return item->data(ZqDeviceLeftPanel::itemDataRole).toJsonObject();
}

QList<QStandardItem *> phoneRows(ZqDeviceLeftPanel *panel)
{
    QList<QStandardItem *> rows;
    for (int g = 0; g < panel->model()->rowCount(); ++g)
        for (int i = 0; i < panel->model()->item(g)->rowCount(); ++i)
            rows.append(panel->model()->item(g)->child(i));
    return rows;
}

QStandardItem *phoneRow(ZqDeviceLeftPanel *panel, const QString &name)
{
    for (QStandardItem *row : phoneRows(panel))
        if (row->text() == name)
            return row;
    return nullptr;
}

// The top-level row whose text is `name` followed by its count.
QStandardItem *groupRow(ZqDeviceLeftPanel *panel, const QString &name)
{
    for (int g = 0; g < panel->model()->rowCount(); ++g)
        if (panel->model()->item(g)->text().startsWith(name + QStringLiteral(" (")))
            return panel->model()->item(g);
    return nullptr;
}

QStringList groupTexts(ZqDeviceLeftPanel *panel)
{
    QStringList texts;
    for (int g = 0; g < panel->model()->rowCount(); ++g)
        texts.append(panel->model()->item(g)->text());
    return texts;
}

QStringList childNames(const QStandardItem *group)
{
    QStringList names;
    for (int i = 0; group && i < group->rowCount(); ++i)
        names.append(group->child(i)->text());
    return names;
}

QStringList checkedNames(ZqDeviceLeftPanel *panel)
{
    QStringList names;
    for (QStandardItem *row : phoneRows(panel))
        if (row->checkState() == Qt::Checked)
            names.append(row->text());
    return names;
}

QString countText(ZqDeviceLeftPanel *panel)
{
    return child<QLabel>(panel, "lblCount")->text();
}

// The names of the phones that the recorded messages 63 name, with their new state.
QStringList checkChanges(ZqDeviceLeftPanel *panel, const BusRecorder &recorder)
{
    QHash<int, QString> names;
    for (QStandardItem *row : phoneRows(panel))
        names.insert(cellData(row).value("cloudId").toInt(), row->text());
    QStringList changes;
    for (const QJsonObject &change : recorder.payloads(63))
        changes.append(
            (change.value("isChecked").toBool() ? QStringLiteral("+") : QStringLiteral("-")) +
            names.value(change.value("cloudId").toInt(), QString::number(change.value("cloudId").toInt())));
    return changes;
}

QStringList prefixed(const QString &sign, const QStringList &names)
{
    QStringList out;
    for (const QString &name : names)
        out.append(sign + name);
    return out;
}

// Clicks `item`'s check box where the view's delegate takes it.
void clickCheckBox(QTreeView *view, QStandardItem *item)
{
    struct Styler : QStyledItemDelegate
    {
        using QStyledItemDelegate::initStyleOption;
    } styler;
    const QModelIndex index = item->index();
    view->scrollTo(index);
    QStyleOptionViewItem option;
    option.initFrom(view);
    option.rect = view->visualRect(index);
    option.widget = view;
    styler.initStyleOption(&option, index);
    const QRect box = view->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, view);
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, box.center());
}

// Opens the tree's context menu over `index` (an invalid index: below the last row), as a right click
// does.
QMenu *contextMenu(ZqDeviceLeftPanel *panel, const QModelIndex &index)
{
    QTreeView *view = panel->treeView();
    if (index.isValid())
        view->scrollTo(index);
    const QPoint pos =
        index.isValid() ? view->visualRect(index).center() : QPoint(20, view->viewport()->height() - 4);
    QContextMenuEvent event(QContextMenuEvent::Mouse, pos, view->viewport()->mapToGlobal(pos));
    QApplication::sendEvent(view->viewport(), &event);
    return qobject_cast<QMenu *>(QApplication::activePopupWidget());
}

QStringList actionTexts(const QMenu *menu)
{
    QStringList texts;
    for (const QAction *action : menu->actions())
        texts.append(action->text());
    return texts;
}

// Triggers the action `text` of `menu` and closes the menu.
void choose(QMenu *menu, const QString &text)
{
    for (QAction *action : menu->actions()) {
        if (action->text() == text) {
            action->trigger();
            break;
        }
    }
    menu->close();
}

QAction *menuAction(QToolButton *button, const QString &text)
{
    for (QAction *action : button->menu()->actions())
        if (action->text() == text)
            return action;
    qFatal("no menu action %s", qPrintable(text));
    return nullptr;
}

// Answers a dialog request the way the user does: optional text in the line field, then confirm.
void answerDialog(const QJsonObject &request, const QString &line = QString())
{
    ZqDialogForm dialog;
    dialog.setDialogData(jsonToText(request));
    dialog.show();
    if (!line.isNull()) {
        auto *edit = child<QLineEdit>(&dialog, "edtLine");
        edit->clear();
        typeText(edit, line);
    }
    QTest::mouseClick(child<QPushButton>(&dialog, "btnConfirm"), Qt::LeftButton);
}

// The demo account's phones in tree order: ungrouped, shared, then the three groups.
const QStringList demoGroups{QStringLiteral("未分组 (2台)"), QStringLiteral("授权设备 (4台)"),
                             QStringLiteral("默认分组 (8台)"), QStringLiteral("游戏工作室 (6台)"),
                             QStringLiteral("测试机 (4台)")};

QString demoName(int n)
{
    return QStringLiteral("云手机%1").arg(n, 2, 10, QLatin1Char('0'));
}

QString sharedName(int n)
{
    return QStringLiteral("共享手机%1").arg(n, 2, 10, QLatin1Char('0'));
}

} // namespace

class TestUi : public QObject
{
    Q_OBJECT

public slots:
    void openUrl(const QUrl &url) { m_openedUrls.append(url); }

private slots:
    void initTestCase();
    void cleanupTestCase();

    void dialogProtocol_data();
    void dialogProtocol();
    void dialogStateBetweenRequests();
    void tips();
    void hitTestTable_data();
    void hitTestTable();
    void windowBeforeLogin();
    void typingAsTheWindowAppears();
    void libraryStartFailure();
    void screenshots();
    void updateCheck();
    void passwordLogin();
    void smsLoginAndCountdown();
    void failedLoginNoticesOnce();
    void forgotPasswordAndBack();
    void closeButtonEndsTheProgram();
    void deviceTreeFromInventory();
    void deviceTreeChecking();
    void deviceTreeSearchAndSort();
    void deviceTreeFollowsServer();
    void deviceTreeMenus();
    void deviceTreeLargeBuild();
    void devicePageScreenshot();
    void devicePageScreenshotChild();

private:
    QString startProvider(const QStringList &extra, QString *dbPath = nullptr);
    // A device tree of the demo account, logged in on a provider of its own, once its phones are in.
    std::unique_ptr<ZqDeviceLeftPanel> openTree(QString *dbPath = nullptr);
    QString smsCode(const QString &phone);
    // A shown main window whose account calls go to the test's provider, on its login page.
    std::unique_ptr<MainWindow> openWindow();
    void clearStoredAccount();

    QTemporaryDir m_dir;
    std::vector<std::unique_ptr<ProviderProcess>> m_providers;
    QString m_providerUrl;
    QList<QUrl> m_openedUrls;
};

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
    run.start(QStringLiteral("xvfb-run"),
              {QStringLiteral("-a"), QStringLiteral("-s"), QStringLiteral("-screen 0 1440x900x24"),
               QStringLiteral("bash"), QStringLiteral("-c"), script, exe});
    QVERIFY(run.waitForFinished(90000));
    const QByteArray out = run.readAll();
    QVERIFY2(out.contains("exit=0"), out.constData());

    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString text = QString::fromLocal8Bit(file.readAll());
    QVERIFY2(QRegularExpression(QStringLiteral("exit : \\d{13} quit pid \\d+")).match(text).hasMatch(),
             qPrintable(text));
}

std::unique_ptr<ZqDeviceLeftPanel> TestUi::openTree(QString *dbPath)
{
    const QString url = startProvider({}, dbPath);
    if (url.isEmpty())
        return nullptr;
    freshAccount(url);
    auto panel = std::make_unique<ZqDeviceLeftPanel>();
    panel->resize(ZqDevice::leftPanelWidth, 900);
    panel->show();
    if (!g_userInfo->login(demoPhone, demoPassword, false) ||
        !waitFor([&] { return phoneRows(panel.get()).size() == 24; }))
        return nullptr;
    panel->treeView()->expandAll();
    // The first announcements go out before the test starts listening.
    pump(4);
    return panel;
}

void TestUi::deviceTreeFromInventory()
{
    // What the device pages of earlier tests' windows still had on the bus.
    pump(4);
    BusRecorder checks{63};
    auto panel = openTree();
    QVERIFY(panel);
    pump(4);

    // Ungrouped and shared phones first, then the groups in service order; everything starts checked
    // and announced once.
    QCOMPARE(groupTexts(panel.get()), demoGroups);
    QCOMPARE(childNames(groupRow(panel.get(), "未分组")), (QStringList{demoName(19), demoName(20)}));
    QCOMPARE(childNames(groupRow(panel.get(), "授权设备")),
             (QStringList{sharedName(1), sharedName(2), sharedName(3), sharedName(4)}));
    QCOMPARE(checkedNames(panel.get()).size(), 24);
    QCOMPARE(countText(panel.get()), QStringLiteral("(24)"));
    QStringList announced = checkChanges(panel.get(), checks);
    announced.sort();
    QStringList all;
    for (QStandardItem *row : phoneRows(panel.get()))
        all.append(QStringLiteral("+") + row->text());
    all.sort();
    QCOMPARE(announced, all);
    for (int g = 0; g < panel->model()->rowCount(); ++g)
        QCOMPARE(panel->model()->item(g)->checkState(), Qt::Checked);

    // Every cell describes itself; a phone row names the phone as the inventory has it.
    QStandardItem *row = phoneRow(panel.get(), demoName(9));
    phoneRecord phone;
    QVERIFY(g_userInfo->findPhone(cellData(row).value("cloudId").toInt(), phone));
    QCOMPARE(cellData(row), (QJsonObject{{"type", 0},
                                         {"devId", phone.deviceId},
                                         {"devUcId", phone.deviceUcId},
                                         {"name", demoName(9)},
                                         {"cloudId", phone.cloudPhoneId},
                                         {"phoneNo", phone.phoneNo},
                                         {"orderId", phone.groupId},
                                         {"oldOrderId", 0}}));
    QVERIFY(!phone.deviceUcId.isEmpty());
    QCOMPARE(cellData(row->parent()), (QJsonObject{{"type", 1}, {"orderId", phone.groupId}}));
    const QStandardItem *number = row->parent()->child(row->row(), 1);
    const QStandardItem *time = row->parent()->child(row->row(), 2);
    QCOMPARE(number->text(), phone.phoneNo);
    QCOMPARE(time->text(), phone.remainTimeStr);
    QCOMPARE(cellData(number).value("type").toInt(), -1);
    QCOMPARE(cellData(time).value("type").toInt(), -2);
    QVERIFY(!(number->flags() & Qt::ItemIsEditable) && !(row->flags() & Qt::ItemIsEditable));

    // Only the phone whose rental has run out is red; every other one has a week or more.
    QStringList red;
    for (QStandardItem *r : phoneRows(panel.get()))
        if (r->parent()->child(r->row(), 2)->foreground().color() == Qt::red)
            red.append(r->text());
    QCOMPARE(red, QStringList{demoName(18)});
    const QDateTime now(QDate(2026, 3, 1), QTime(12, 0));
    QVERIFY(ZqDeviceLeftPanel::expiresSoon("2026-03-04 12:00:00", now));
    QVERIFY(ZqDeviceLeftPanel::expiresSoon("2026-03-04 12:29:59", now));
    QVERIFY(!ZqDeviceLeftPanel::expiresSoon("2026-03-04 12:30:00", now));
    QVERIFY(ZqDeviceLeftPanel::expiresSoon("2020-01-01 00:00:00", now));
    QVERIFY(!ZqDeviceLeftPanel::expiresSoon("not a time", now));

    // A reload that brings nothing new changes nothing and announces nothing.
    checks.got.clear();
    QSignalSpy removed(panel->model(), &QAbstractItemModel::rowsRemoved);
    QSignalSpy inserted(panel->model(), &QAbstractItemModel::rowsInserted);
    BusRecorder reloads{31};
    g_userInfo->reload();
    QVERIFY(waitFor([&] { return !reloads.got.isEmpty(); }));
    pump(4);
    QCOMPARE(checks.got.size(), 0);
    QCOMPARE(removed.size() + inserted.size(), 0);
    QCOMPARE(groupTexts(panel.get()), demoGroups);
}

void TestUi::deviceTreeChecking()
{
    auto panel = openTree();
    QVERIFY(panel);
    BusRecorder checks{63, 5};
    QTreeView *view = panel->treeView();
    QStandardItem *defaults = groupRow(panel.get(), "默认分组");
    QStandardItem *games = groupRow(panel.get(), "游戏工作室");
    auto changes = [&] {
        pump(4);
        const QStringList c = checkChanges(panel.get(), checks);
        checks.got.clear();
        return c;
    };

    // A click unchecks a phone and its group; the keyboard checks it again, and the group with it.
    clickCheckBox(view, phoneRow(panel.get(), demoName(3)));
    QCOMPARE(changes(), QStringList{"-" + demoName(3)});
    QCOMPARE(defaults->checkState(), Qt::Unchecked);
    QCOMPARE(countText(panel.get()), QStringLiteral("(23)"));
    view->setCurrentIndex(phoneRow(panel.get(), demoName(3))->index());
    QTest::keyClick(view, Qt::Key_Space);
    QCOMPARE(changes(), QStringList{"+" + demoName(3)});
    QCOMPARE(defaults->checkState(), Qt::Checked);
    QCOMPARE(countText(panel.get()), QStringLiteral("(24)"));

    // Checking a group row checks its phones, announcing only those that changed.
    clickCheckBox(view, phoneRow(panel.get(), demoName(9)));
    clickCheckBox(view, phoneRow(panel.get(), demoName(12)));
    QCOMPARE(changes().size(), 2);
    QCOMPARE(games->checkState(), Qt::Unchecked);
    clickCheckBox(view, games);
    QCOMPARE(changes(), (QStringList{"+" + demoName(9), "+" + demoName(12)}));
    QCOMPARE(games->checkState(), Qt::Checked);
    clickCheckBox(view, games);
    QCOMPARE(changes().size(), 6);
    QCOMPARE(countText(panel.get()), QStringLiteral("(18)"));

    // "全选" checks everything, a second click unchecks everything; "反选" inverts.
    auto *all = child<QCheckBox>(panel.get(), "chbAllright");
    auto *invert = child<QCheckBox>(panel.get(), "chbNo");
    QTest::mouseClick(all, Qt::LeftButton);
    QCOMPARE(changes().size(), 6);
    QCOMPARE(countText(panel.get()), QStringLiteral("(24)"));
    QTest::mouseClick(all, Qt::LeftButton);
    QCOMPARE(changes().size(), 24);
    QCOMPARE(countText(panel.get()), QStringLiteral("(0)"));
    for (int g = 0; g < panel->model()->rowCount(); ++g)
        QCOMPARE(panel->model()->item(g)->checkState(), Qt::Unchecked);
    clickCheckBox(view, phoneRow(panel.get(), sharedName(2)));
    QTest::mouseClick(all, Qt::LeftButton);
    QTest::mouseClick(invert, Qt::LeftButton);
    QVERIFY(!all->isChecked());
    QCOMPARE(countText(panel.get()), QStringLiteral("(0)"));
    changes();
    QTest::mouseClick(invert, Qt::LeftButton);
    QCOMPARE(countText(panel.get()), QStringLiteral("(24)"));
    QTest::mouseClick(all, Qt::LeftButton);
    QVERIFY(!invert->isChecked());
    QTest::mouseClick(all, Qt::LeftButton);
    changes();

    // First 10 with 12 checked unchecks the last two in tree order...
    auto *multi = child<QToolButton>(panel.get(), "btnMultiChioce");
    const QStringList twelve{demoName(20), sharedName(2), demoName(1),  demoName(3),
                             demoName(5),  demoName(7),   demoName(9),  demoName(11),
                             demoName(13), demoName(15),  demoName(16), demoName(17)};
    for (const QString &name : twelve)
        clickCheckBox(view, phoneRow(panel.get(), name));
    QCOMPARE(countText(panel.get()), QStringLiteral("(12)"));
    changes();
    menuAction(multi, "选择10台")->trigger();
    QCOMPARE(changes(), (QStringList{"-" + demoName(16), "-" + demoName(17)}));
    QCOMPARE(checkedNames(panel.get()), twelve.mid(0, 10));
    QCOMPARE(countText(panel.get()), QStringLiteral("(10)"));

    // ...and with 3 checked it checks the first 7 unchecked ones.
    QTest::mouseClick(all, Qt::LeftButton);
    QTest::mouseClick(all, Qt::LeftButton);
    for (const QString &name : {sharedName(1), demoName(5), demoName(18)})
        clickCheckBox(view, phoneRow(panel.get(), name));
    changes();
    menuAction(multi, "选择10台")->trigger();
    const QStringList seven{demoName(19),  demoName(20), sharedName(2), sharedName(3),
                            sharedName(4), demoName(1),  demoName(2)};
    QCOMPARE(changes(), prefixed("+", seven));
    QCOMPARE(checkedNames(panel.get()),
             (QStringList{demoName(19), demoName(20), sharedName(1), sharedName(2), sharedName(3),
                          sharedName(4), demoName(1), demoName(2), demoName(5), demoName(18)}));
    QCOMPARE(countText(panel.get()), QStringLiteral("(10)"));
    menuAction(multi, "选择50台")->trigger();
    QCOMPARE(countText(panel.get()), QStringLiteral("(24)"));

    // "自定义" asks for the number through the dialog and keeps that many.
    changes();
    menuAction(multi, "自定义")->trigger();
    pump(4);
    const QList<QJsonObject> requests = checks.payloads(5);
    QCOMPARE(requests, (QList<QJsonObject>{{{"type", 10}, {"msgId", 37}}}));
    answerDialog(requests[0], "5");
    QCOMPARE(changes().size(), 19);
    QCOMPARE(checkedNames(panel.get()),
             (QStringList{demoName(19), demoName(20), sharedName(1), sharedName(2), sharedName(3)}));
    QCOMPARE(countText(panel.get()), QStringLiteral("(5)"));
}

void TestUi::deviceTreeSearchAndSort()
{
    auto panel = openTree();
    QVERIFY(panel);
    BusRecorder checks{63};
    QTreeView *view = panel->treeView();
    auto *search = child<QLineEdit>(panel.get(), "edtSearch");
    clickCheckBox(view, phoneRow(panel.get(), demoName(2)));
    pump(4);
    checks.got.clear();

    // Typing unchecks every checked phone once, then shows only the matches of the ordinary groups.
    typeText(search, QStringLiteral("云手机1"));
    pump(4);
    const QStringList unchecked = checkChanges(panel.get(), checks);
    QCOMPARE(unchecked.size(), 23);
    QVERIFY(unchecked.filter(QRegularExpression("^\\+")).isEmpty());
    QCOMPARE(groupTexts(panel.get()), QStringList{"搜索分组 (9台)"});
    QStandardItem *results = panel->model()->item(0);
    QCOMPARE(cellData(results).value("orderId").toInt(), ZqDeviceLeftPanel::searchGroupId);
    QCOMPARE(childNames(results),
             (QStringList{demoName(10), demoName(11), demoName(12), demoName(13), demoName(14), demoName(15),
                          demoName(16), demoName(17), demoName(18)}));
    QVERIFY(view->isExpanded(results->index()));
    QCOMPARE(countText(panel.get()), QStringLiteral("(0)"));

    // A checked result is unchecked again by the next keystroke; the search group follows its phones.
    checks.got.clear();
    clickCheckBox(view, phoneRow(panel.get(), demoName(12)));
    QCOMPARE(countText(panel.get()), QStringLiteral("(1)"));
    typeText(search, QStringLiteral("2"));
    pump(4);
    QCOMPARE(checkChanges(panel.get(), checks), (QStringList{"+" + demoName(12), "-" + demoName(12)}));
    QCOMPARE(groupTexts(panel.get()), QStringList{"搜索分组 (1台)"});
    clickCheckBox(view, phoneRow(panel.get(), demoName(12)));
    QCOMPARE(panel->model()->item(0)->checkState(), Qt::Checked);
    // Numbers match too; the shared phones are never found.
    search->setText(phoneRow(panel.get(), demoName(12))->parent()->child(0, 1)->text());
    QCOMPARE(groupTexts(panel.get()), QStringList{"搜索分组 (1台)"});
    search->setText(QStringLiteral("共享"));
    QCOMPARE(groupTexts(panel.get()), QStringList{"搜索分组 (0台)"});

    // Refreshing leaves the search: the whole tree is back, all checked.
    BusRecorder reloads{31};
    pump(4);
    checks.got.clear();
    QTest::mouseClick(child<QToolButton>(panel.get(), "btnRefreshDev"), Qt::LeftButton);
    QCOMPARE(search->text(), QString());
    QCOMPARE(groupTexts(panel.get()), demoGroups);
    QCOMPARE(countText(panel.get()), QStringLiteral("(24)"));
    QVERIFY(waitFor([&] { return !reloads.got.isEmpty(); }));
    QCOMPARE(checkChanges(panel.get(), checks).size(), 24);

    // A sort rebuilds the rows in the new order once, keeping what is checked and what is expanded.
    view->collapseAll();
    view->expand(groupRow(panel.get(), "默认分组")->index());
    clickCheckBox(view, phoneRow(panel.get(), demoName(5)));
    pump(4);
    checks.got.clear();
    auto *sort = child<QToolButton>(panel.get(), "btnSearch");
    QCOMPARE(sort->text(), QStringLiteral("默认排序"));
    QSignalSpy removed(panel->model(), &QAbstractItemModel::rowsRemoved);
    for (int i = 0; i < 2; ++i)
        menuAction(sort, "名称降序")->trigger();
    QCOMPARE(removed.size(), 1);
    QCOMPARE(sort->text(), QStringLiteral("名称降序"));
    QCOMPARE(groupTexts(panel.get()), demoGroups);
    QCOMPARE(childNames(groupRow(panel.get(), "默认分组")),
             (QStringList{demoName(8), demoName(7), demoName(6), demoName(5), demoName(4), demoName(3),
                          demoName(2), demoName(1)}));
    QCOMPARE(phoneRow(panel.get(), demoName(5))->checkState(), Qt::Unchecked);
    QCOMPARE(groupRow(panel.get(), "默认分组")->checkState(), Qt::Unchecked);
    QCOMPARE(countText(panel.get()), QStringLiteral("(23)"));
    QVERIFY(view->isExpanded(groupRow(panel.get(), "默认分组")->index()));
    QVERIFY(!view->isExpanded(groupRow(panel.get(), "测试机")->index()));
    pump(4);
    QCOMPARE(checks.got.size(), 0);

    // Time ascending: end times never decrease down a group.
    menuAction(sort, "时间升序")->trigger();
    for (int g = 0; g < panel->model()->rowCount(); ++g) {
        QString previous;
        const QStandardItem *group = panel->model()->item(g);
        for (int i = 0; i < group->rowCount(); ++i) {
            phoneRecord phone;
            QVERIFY(g_userInfo->findPhone(cellData(group->child(i)).value("cloudId").toInt(), phone));
            QVERIFY2(previous <= phone.endTime, qPrintable(group->text()));
            previous = phone.endTime;
        }
    }
    menuAction(sort, "默认排序")->trigger();
    QCOMPARE(removed.size(), 3);
    QCOMPARE(childNames(groupRow(panel.get(), "默认分组")).first(), demoName(1));

    // Sorting while searching keeps the results' check states as well.
    typeText(search, QStringLiteral("云手机0"));
    clickCheckBox(view, phoneRow(panel.get(), demoName(7)));
    menuAction(sort, "名称升序")->trigger();
    QCOMPARE(childNames(panel->model()->item(0)).first(), demoName(1));
    QCOMPARE(checkedNames(panel.get()), QStringList{demoName(7)});
}

void TestUi::deviceTreeFollowsServer()
{
    if (QStandardPaths::findExecutable(QStringLiteral("sqlite3")).isEmpty())
        QSKIP("needs the sqlite3 shell to take a shared phone away");
    QString db;
    auto panel = openTree(&db);
    QVERIFY(panel);
    BusRecorder checks{63, 31};
    auto serverChange = [&](const QString &path, const QMap<QString, QString> &params) {
        return parse(ZqHttpRequest().httpPost(g_config->apiBaseUrl + path, params, g_userInfo->token()))
                   .value("status")
                   .toInt() == 1;
    };
    auto reloaded = [&] {
        pump(4);
        checks.got.clear();
        g_userInfo->reload();
        const bool done = waitFor([&] {
            for (const ZQSlotMsg &m : checks.got)
                if (m.type == 31)
                    return true;
            return false;
        });
        // What the tree posts on that reload.
        pump(4);
        return done;
    };
    auto idOf = [&](const QString &name) {
        return cellData(phoneRow(panel.get(), name)).value("cloudId").toInt();
    };
    const int testGroup = cellData(groupRow(panel.get(), "测试机")).value("orderId").toInt();

    // Two phones moved by another client: each shows up in its new group with its check state.
    clickCheckBox(panel->treeView(), phoneRow(panel.get(), demoName(1)));
    for (const QString &name : {demoName(1), demoName(2)})
        QVERIFY(serverChange(
            "/api/tamsu-cloud-phone/v1/group/phone-move",
            {{"id", QString::number(testGroup)}, {"cloudPhoneId", QString::number(idOf(name))}}));
    QVERIFY(reloaded());
    QCOMPARE(checkChanges(panel.get(), checks), QStringList());
    QCOMPARE(groupTexts(panel.get()), (QStringList{"未分组 (2台)", "授权设备 (4台)", "默认分组 (6台)",
                                                   "游戏工作室 (6台)", "测试机 (6台)"}));
    QCOMPARE(phoneRow(panel.get(), demoName(1))->parent(), groupRow(panel.get(), "测试机"));
    QCOMPARE(phoneRow(panel.get(), demoName(2))->parent(), groupRow(panel.get(), "测试机"));
    QCOMPARE(phoneRow(panel.get(), demoName(1))->checkState(), Qt::Unchecked);
    QCOMPARE(phoneRow(panel.get(), demoName(2))->checkState(), Qt::Checked);
    QCOMPARE(groupRow(panel.get(), "默认分组")->checkState(), Qt::Checked);
    QCOMPARE(groupRow(panel.get(), "测试机")->checkState(), Qt::Unchecked);
    QCOMPARE(countText(panel.get()), QStringLiteral("(23)"));

    // A shared phone taken back leaves the tree and the other views; without shared phones the group goes.
    auto revoke = [&](const QString &names) {
        QProcess sqlite;
        sqlite.start(
            QStringLiteral("sqlite3"),
            {QStringLiteral("-cmd"), QStringLiteral(".timeout 5000"), db,
             QStringLiteral("DELETE FROM grants WHERE phone_id IN (SELECT id FROM phones WHERE name IN (%1))")
                 .arg(names)});
        return sqlite.waitForFinished(10000) && sqlite.exitCode() == 0;
    };
    const int third = idOf(sharedName(3));
    QVERIFY(revoke("'共享手机03'"));
    QVERIFY(reloaded());
    QCOMPARE(checks.payloads(63), (QList<QJsonObject>{{{"cloudId", third}, {"isChecked", false}}}));
    QVERIFY(!phoneRow(panel.get(), sharedName(3)));
    QVERIFY(groupTexts(panel.get()).contains("授权设备 (3台)"));
    QCOMPARE(countText(panel.get()), QStringLiteral("(22)"));
    QVERIFY(revoke("'共享手机01','共享手机02','共享手机04'"));
    QVERIFY(reloaded());
    QCOMPARE(checks.payloads(63).size(), 3);
    QVERIFY(!groupRow(panel.get(), "授权设备"));

    // A group deleted elsewhere: its phones join the ungrouped ones, checked or not as before.
    clickCheckBox(panel->treeView(), phoneRow(panel.get(), demoName(10)));
    const int games = cellData(groupRow(panel.get(), "游戏工作室")).value("orderId").toInt();
    QVERIFY(serverChange("/api/tamsu-cloud-phone/v1/group/remove", {{"id", QString::number(games)}}));
    QVERIFY(reloaded());
    QCOMPARE(checks.payloads(63).size(), 0);
    QCOMPARE(groupTexts(panel.get()), (QStringList{"未分组 (8台)", "默认分组 (6台)", "测试机 (6台)"}));
    QCOMPARE(phoneRow(panel.get(), demoName(10))->checkState(), Qt::Unchecked);
    QCOMPARE(phoneRow(panel.get(), demoName(9))->checkState(), Qt::Checked);
    QCOMPARE(countText(panel.get()), QStringLiteral("(18)"));
}

void TestUi::deviceTreeMenus()
{
    auto panel = openTree();
    QVERIFY(panel);
    BusRecorder bus{5, 20, 36, 63};
    auto take = [&](int type) {
        pump(4);
        QList<QJsonObject> out = bus.payloads(type);
        bus.got.clear();
        return out;
    };
    auto phoneMenu = [&](const QString &name) {
        return contextMenu(panel.get(), phoneRow(panel.get(), name)->index());
    };
    phoneRecord phone;
    QVERIFY(
        g_userInfo->findPhone(cellData(phoneRow(panel.get(), demoName(3))).value("cloudId").toInt(), phone));

    // A phone's menu, with the groups it can move to.
    QMenu *menu = phoneMenu(demoName(3));
    QVERIFY(menu);
    QCOMPARE(actionTexts(menu),
             (QStringList{"修改名称", "打开设备", "更换设备", "重启手机", "恢复出厂", "移动到.."}));
    QCOMPARE(actionTexts(menu->actions().last()->menu()), (QStringList{"游戏工作室", "测试机"}));
    choose(menu, "打开设备");
    QCOMPARE(take(20),
             (QList<QJsonObject>{{{"deviceId", phone.deviceId},
                                  {"deviceName", phone.name},
                                  {"deviceUcId", phone.deviceUcId},
                                  {"deviceUcIdTimestamp", QString::number(phone.deviceUcIdTimestamp)},
                                  {"deviceNo", phone.phoneNo},
                                  {"cloudPhoneId", QString::number(phone.cloudPhoneId)}}}));
    choose(phoneMenu(demoName(3)), "重启手机");
    choose(phoneMenu(demoName(3)), "恢复出厂");
    QCOMPARE(take(5), (QList<QJsonObject>{{{"type", 255},
                                           {"msgId", 23},
                                           {"deviceId", phone.deviceId},
                                           {"lbl_1_Text", "确定要重启该设备吗？"}},
                                          {{"type", 255},
                                           {"msgId", 24},
                                           {"deviceId", phone.deviceId},
                                           {"lbl_1_Text", "确定要将该设备恢复出厂吗？"}}}));

    // Renaming goes to the service; the tree and the other views take the new name at once.
    choose(phoneMenu(demoName(3)), "修改名称");
    QList<QJsonObject> requests = take(5);
    QCOMPARE(
        requests,
        (QList<QJsonObject>{
            {{"type", 8}, {"msgId", 35}, {"lbl_1_Text", demoName(3)}, {"cloudId", phone.cloudPhoneId}}}));
    answerDialog(requests[0], "工作机A");
    QCOMPARE(take(36), (QList<QJsonObject>{{{"phoneId", phone.cloudPhoneId}, {"name", "工作机A"}}}));
    QVERIFY(phoneRow(panel.get(), "工作机A"));
    QVERIFY(
        waitFor([&] { return g_userInfo->findPhone(phone.cloudPhoneId, phone) && phone.name == "工作机A"; }));
    // A name the service refuses stays off the tree.
    choose(phoneMenu(sharedName(1)), "修改名称");
    answerDialog(take(5).value(0), "不行");
    pump(4);
    QCOMPARE(bus.payloads(5), (QList<QJsonObject>{{{"type", 254}, {"lbl_1_Text", "授权设备不能修改名称"}}}));
    QCOMPARE(bus.payloads(36).size(), 0);
    QVERIFY(phoneRow(panel.get(), sharedName(1)));

    // Moving through the menu: the phone lands in the chosen group, still checked.
    bus.got.clear();
    menu = phoneMenu("工作机A");
    choose(menu->actions().last()->menu(), "测试机");
    menu->close();
    QVERIFY(waitFor(
        [&] { return phoneRow(panel.get(), "工作机A")->parent() == groupRow(panel.get(), "测试机"); }));
    QCOMPARE(phoneRow(panel.get(), "工作机A")->checkState(), Qt::Checked);
    QVERIFY(groupTexts(panel.get()).contains("测试机 (5台)"));

    // A group's menu: the rename starts from the bare name.
    QStandardItem *games = groupRow(panel.get(), "游戏工作室");
    const int gamesId = cellData(games).value("orderId").toInt();
    menu = contextMenu(panel.get(), games->index());
    QCOMPARE(actionTexts(menu), (QStringList{"删除分组", "重命名分组"}));
    take(5);
    choose(menu, "重命名分组");
    requests = take(5);
    QCOMPARE(requests,
             (QList<QJsonObject>{
                 {{"type", 3}, {"msgId", 34}, {"lbl_1_Text", "游戏工作室"}, {"orderId", gamesId}}}));
    answerDialog(requests[0], "工作室B");
    QVERIFY(waitFor([&] { return groupRow(panel.get(), "工作室B"); }));
    QCOMPARE(groupRow(panel.get(), "工作室B")->text(), QStringLiteral("工作室B (6台)"));

    // Deleting it leaves its phones ungrouped with their check states.
    clickCheckBox(panel->treeView(), phoneRow(panel.get(), demoName(11)));
    take(63);
    choose(contextMenu(panel.get(), groupRow(panel.get(), "工作室B")->index()), "删除分组");
    requests = take(5);
    QCOMPARE(
        requests,
        (QList<QJsonObject>{
            {{"type", 7}, {"msgId", 33}, {"lbl_1_Text", "确定要将该分组删除吗？"}, {"orderId", gamesId}}}));
    answerDialog(requests[0]);
    QVERIFY(waitFor([&] { return !groupRow(panel.get(), "工作室B"); }));
    QCOMPARE(phoneRow(panel.get(), demoName(11))->parent(), groupRow(panel.get(), "未分组"));
    QCOMPARE(phoneRow(panel.get(), demoName(11))->checkState(), Qt::Unchecked);
    QCOMPARE(take(63).size(), 0);
    // The special groups cannot be deleted.
    choose(contextMenu(panel.get(), groupRow(panel.get(), "未分组")->index()), "删除分组");
    answerDialog(take(5).value(0));
    QCOMPARE(take(5), (QList<QJsonObject>{{{"type", 254}, {"lbl_1_Text", "该分组不能删除!"}}}));

    // Beside a phone and below the rows: a new group, added at the end.
    const QStandardItem *some = phoneRow(panel.get(), demoName(4));
    QCOMPARE(actionTexts(contextMenu(panel.get(), some->parent()->child(some->row(), 2)->index())),
             QStringList{"新建分组"});
    QApplication::activePopupWidget()->close();
    panel->treeView()->collapseAll();
    choose(contextMenu(panel.get(), QModelIndex()), "新建分组");
    requests = take(5);
    QCOMPARE(requests, (QList<QJsonObject>{{{"type", 5}, {"msgId", 32}, {"lbl_1_Text", "请输入分组名称"}}}));
    answerDialog(requests[0], "新分组");
    QVERIFY(waitFor(
        [&] { return groupTexts(panel.get()).value(panel->model()->rowCount() - 1) == "新分组 (0台)"; }));

    // The device exchange runs on the pool: a running rental gets a new device, an expired one cannot.
    QVERIFY(
        g_userInfo->findPhone(cellData(phoneRow(panel.get(), demoName(4))).value("cloudId").toInt(), phone));
    choose(phoneMenu(demoName(4)), "更换设备");
    QVERIFY(waitFor([&] { return !bus.payloads(5).isEmpty(); }));
    QCOMPARE(bus.payloads(5), (QList<QJsonObject>{{{"type", 254}, {"lbl_1_Text", "设备更换成功"}}}));
    QVERIFY(waitFor([&] {
        return cellData(phoneRow(panel.get(), demoName(4))).value("devId").toString() != phone.deviceId;
    }));
    bus.got.clear();
    choose(phoneMenu(demoName(18)), "更换设备");
    QVERIFY(waitFor([&] { return bus.payloads(5).size() == 2; }));
    QCOMPARE(bus.payloads(5), (QList<QJsonObject>{{{"type", 254}, {"lbl_1_Text", "云手机已到期"}},
                                                  {{"type", 254}, {"lbl_1_Text", "设备更换失败"}}}));
}

void TestUi::deviceTreeLargeBuild()
{
    // The scale account's tree, built 40 rows per turn of the event loop, while the user ticks, the
    // inventory reloads and the sort changes underneath it.
    const int phones = 1000;
    const QString url = startProvider({QStringLiteral("--seed-phones"), QString::number(phones)});
    QVERIFY(!url.isEmpty());
    freshAccount(url);
    QVERIFY(logIn(QStringLiteral("13900000000"), demoPassword, phones));
    pump(4);

    BusRecorder checks{63};
    ZqDeviceLeftPanel panel;
    panel.setSliceRows(40);
    panel.resize(ZqDevice::leftPanelWidth, 900);
    panel.show();
    panel.rebuildTree();
    QVERIFY(panel.building());
    QCOMPARE(phoneRows(&panel).size(), 40);
    QCOMPARE(countText(&panel), QStringLiteral("(40)"));

    // The user unticks a phone of the first slice; a reload's rebuild replaces the build in progress
    // and keeps it, and so does a sort change, which empties the tree and builds it again.
    QStandardItem *first = phoneRows(&panel).first();
    const QString unticked = first->text();
    clickCheckBox(panel.treeView(), first);
    QCOMPARE(first->checkState(), Qt::Unchecked);
    panel.rebuildTree();
    QVERIFY(panel.building());
    auto *sort = child<QToolButton>(&panel, "btnSearch");
    menuAction(sort, "名称降序")->trigger();
    QVERIFY(panel.building());
    QVERIFY(waitFor([&] { return !panel.building(); }));
    pump(4);

    QStringList expected, shown;
    for (groupRecord g : g_userInfo->ordinaryGroups()) {
        ZqDeviceLeftPanel::sortPhones(g.phones, ZqDeviceLeftPanel::NameDescending);
        for (const phoneRecord &p : qAsConst(g.phones))
            expected.append(p.name);
    }
    for (QStandardItem *row : phoneRows(&panel))
        shown.append(row->text());
    QCOMPARE(shown, expected);
    QCOMPARE(groupTexts(&panel).size(), g_userInfo->ordinaryGroups().size());
    QStringList unchecked;
    for (QStandardItem *row : phoneRows(&panel))
        if (row->checkState() != Qt::Checked)
            unchecked.append(row->text());
    QCOMPARE(unchecked, QStringList{unticked});
    QCOMPARE(countText(&panel), QStringLiteral("(%1)").arg(phones - 1));
    // Every phone was announced once as ticked, and only the user's untick went out besides.
    QStringList changes = checkChanges(&panel, checks);
    QCOMPARE(changes.size(), phones + 1);
    QCOMPARE(changes.filter(QRegularExpression(QStringLiteral("^-"))), QStringList{"-" + unticked});
    changes.removeAll("-" + unticked);
    QCOMPARE(QSet<QString>(changes.cbegin(), changes.cend()).size(), phones);

    // A search typed during a build shows only its results, unticked; leaving it ticks every phone.
    checks.got.clear();
    panel.rebuildTree();
    QVERIFY(panel.building());
    child<QLineEdit>(&panel, "edtSearch")->setText(QStringLiteral("设备0001"));
    QVERIFY(waitFor([&] { return !panel.building(); }));
    QCOMPARE(groupTexts(&panel), QStringList{"搜索分组 (10台)"});
    QCOMPARE(checkedNames(&panel), QStringList());
    child<QLineEdit>(&panel, "edtSearch")->clear();
    QVERIFY(waitFor([&] { return !panel.building(); }));
    QCOMPARE(phoneRows(&panel).size(), phones);
    QCOMPARE(countText(&panel), QStringLiteral("(%1)").arg(phones));

    // A panel that goes while it builds leaves nothing behind to run.
    auto doomed = std::make_unique<ZqDeviceLeftPanel>();
    doomed->setSliceRows(40);
    doomed->rebuildTree();
    QVERIFY(doomed->building());
    doomed.reset();
    pump(4);
}

void TestUi::devicePageScreenshot()
{
    const QString artifacts = qEnvironmentVariable("PELOMIR_ARTIFACT_DIR");
    if (artifacts.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("xvfb-run")).isEmpty())
        QSKIP("needs xvfb-run and an artifact folder");
    QVERIFY(QDir().mkpath(artifacts));
    const QString shot = QDir(artifacts).filePath(QStringLiteral("device_page.png"));
    QFile::remove(shot);

    // This test program again, on a virtual X display, running only the child half.
    QProcess run;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("PELOMIR_SCREENSHOT_OUT"), shot);
    run.setProcessEnvironment(env);
    run.setProcessChannelMode(QProcess::MergedChannels);
    run.start(QStringLiteral("xvfb-run"),
              {QStringLiteral("-a"), QStringLiteral("-s"), QStringLiteral("-screen 0 1440x900x24"),
               QCoreApplication::applicationFilePath(), QStringLiteral("devicePageScreenshotChild")});
    QVERIFY(run.waitForFinished(90000));
    const QByteArray out = run.readAll();
    QVERIFY2(run.exitCode() == 0, out.constData());
    const QImage image(shot);
    QCOMPARE(image.size(), QSize(1440, 900));
}

void TestUi::devicePageScreenshotChild()
{
    const QString out = qEnvironmentVariable("PELOMIR_SCREENSHOT_OUT");
    if (out.isEmpty())
        QSKIP("the child half of devicePageScreenshot");
    clearStoredAccount();
    auto window = openWindow();
    g_userInfo->setReloadPauseMs(0);
    typeText(child<QLineEdit>(window.get(), "edtAccount"), demoPhone);
    typeText(child<QLineEdit>(window.get(), "edtPassword"), demoPassword);
    QTest::mouseClick(child<QToolButton>(window.get(), "btnLogin"), Qt::LeftButton);
    auto *panel = child<ZqDeviceLeftPanel>(window.get(), "ZqDeviceLeftPanel");
    QVERIFY(waitFor([&] { return phoneRows(panel).size() == 24; }));
    QVERIFY(panel->isVisible());
    // Two groups open, one phone unchecked, and the expired rental in red at the bottom.
    panel->treeView()->expand(groupRow(panel, "游戏工作室")->index());
    panel->treeView()->expand(groupRow(panel, "测试机")->index());
    clickCheckBox(panel->treeView(), phoneRow(panel, demoName(16)));
    panel->treeView()->scrollToBottom();
    window->move(0, 0);
    QVERIFY(waitFor([&] { return window->pos() == QPoint(0, 0); }));
    const QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0);
    QVERIFY(screen.save(out));
}

PELOMIR_UI_TEST(TestUi, 1)
#include "test_ui.moc"
