// Over 600 lines on purpose: widget tests spell out every click and answer, and one file per widget
// family keeps its cases beside the helpers they share.
// The phone control window and its display surface: the geometry that keeps the phone's aspect, and,
// on phones of a real farm shown in X windows, keys and text, the buttons, rotation, synchronised
// recording, and the main window's bookkeeping of its control windows.
#include "app/datadir.h"
#include "app/globals.h"
#include "app/messages.h"
#include "coreclient/cc_copydata_event.h"
#include "coreclient/core_client.h"
#include "oper/phonegeometry.h"
#include "oper/zqphoneform.h"
#include "oper/zqphonewindow.h"
#include "phone/macrofile.h"
#include "phone/sdkmanager.h"
#include "tests/coreclient/request_helpers.h"
#include "tests/support/busrecorder.h"
#include "tests/support/farmharness.h"
#include "tests/support/xvfb.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDir>
#include <QInputMethodEvent>
#include <QPointer>
#include <QScreen>
#include <QSignalSpy>
#include <QTimer>
#include <QToolButton>
#include <QtTest>

using namespace phonegeom;

namespace {

const QString notesApp = QStringLiteral("com.pmapps.notes");
const QString launcherApp = QStringLiteral("com.pmapps.launcher");
const QSize screenSize(1600, 1040); // the Xvfb screen main() asks for
const QSize phoneScreen(720, 1280);

// What a phone shows, from its view dump.
struct Screen
{
    QString dump;

    QString capture(const QString &pattern) const
    {
        return QRegularExpression(pattern).match(dump).captured(1);
    }
    QString package() const
    {
        return capture(QStringLiteral("<hierarchy[^>]*><node [^>]*package=\"([^\"]*)\""));
    }
    int rotation() const { return capture(QStringLiteral("<hierarchy rotation=\"(\\d+)\"")).toInt(); }
    QString text() const
    {
        QString t =
            capture(QStringLiteral("class=\"android.widget.EditText\" package=\"[^\"]*\" text=\"([^\"]*)\""));
        t.replace(QLatin1String("&#10;"), QLatin1String("\n"))
            .replace(QLatin1String("&lt;"), QLatin1String("<"));
        t.replace(QLatin1String("&gt;"), QLatin1String(">"))
            .replace(QLatin1String("&quot;"), QLatin1String("\""));
        return t.replace(QLatin1String("&amp;"), QLatin1String("&"));
    }
    QPoint icon(const QString &package) const
    {
        const auto m =
            QRegularExpression(
                QStringLiteral("content-desc=\"%1\" bounds=\"\\[(\\d+),(\\d+)\\]\\[(\\d+),(\\d+)\\]\"")
                    .arg(QRegularExpression::escape(package)))
                .match(dump);
        return QPoint((m.captured(1).toInt() + m.captured(3).toInt()) / 2,
                      (m.captured(2).toInt() + m.captured(4).toInt()) / 2);
    }
};

QByteArray shell(const QByteArray &phone, const char *command)
{
    harness::Request request(harness::credential(phone), phone);
    cc_core_send_adb_command_msg_tob(request.session(), command, &harness::Request::callback, 0);
    request.wait();
    return request.result().data;
}

Screen screenOf(const QByteArray &phone)
{
    return Screen{QString::fromUtf8(shell(phone, "uiautomator dump"))};
}

void startApp(const QByteArray &phone, const QString &package)
{
    shell(phone, ("monkey -p " + package.toLatin1() + " -c android.intent.category.LAUNCHER 1").constData());
}

QWidget *renderView(ZqPhoneForm *form)
{
    return form->display()->findChild<QWidget *>(QStringLiteral("ccRenderView"));
}

// A tap at `point` of the upright phone's screen, through the library's render child.
void tapPhone(ZqPhoneForm *form, QPoint point)
{
    QWidget *view = renderView(form);
    const QSize shown = phoneScreen.scaled(view->size(), Qt::KeepAspectRatio);
    const QPoint origin((view->width() - shown.width()) / 2, (view->height() - shown.height()) / 2);
    QTest::mouseClick(view, Qt::LeftButton, {},
                      origin + QPoint(point.x() * shown.width() / phoneScreen.width(),
                                      point.y() * shown.height() / phoneScreen.height()));
    // The view posts its touch notices to the window; a user's next input comes through the event
    // queue after them, while a test's sendEvent would overtake them, so deliver them now.
    QCoreApplication::sendPostedEvents();
}

void click(ZqPhoneForm *form, const char *button)
{
    QTest::mouseClick(form->findChild<QToolButton *>(QLatin1String(button)), Qt::LeftButton);
}

QJsonObject openRequest(const QByteArray &phone, int cloudPhoneId)
{
    return {{"deviceId", QString::fromLatin1(phone)},
            {"deviceName", "云手机"},
            {"deviceNo", "7"},
            {"deviceUcId", QString::fromLatin1(harness::credential(phone))},
            {"cloudPhoneId", QString::number(cloudPhoneId)},
            {"deviceUcIdTimestamp", "1700000000"}};
}

QList<ZqPhoneForm *> formsOf(const QByteArray &phone)
{
    QList<ZqPhoneForm *> forms;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *form = qobject_cast<ZqPhoneForm *>(w);
            form && form->isVisible() && form->deviceId() == phone)
            forms.append(form);
    return forms;
}

QImage grab(QWidget *window)
{
    return QGuiApplication::platformName() == QLatin1String("xcb")
               ? window->screen()->grabWindow(window->winId()).toImage()
               : window->grab().toImage();
}

// The window shows what the phone shows: its display area against the phone's own screencap, both
// reduced to a coarse grid so that a blinking cursor or a moving car does not count.
bool showsPhone(ZqPhoneForm *form, const QByteArray &phone, QImage *shot)
{
    harness::Request request(harness::credential(phone), phone);
    cc_core_send_screencap_msg_tob(request.session(), &harness::Request::callback);
    if (!request.wait())
        return false;
    *shot = grab(form);
    const QRect area = form->display()->geometry();
    const QSize grid = area.size() / 8;
    const auto coarse = [grid](const QImage &image) {
        return image.scaled(grid, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
            .convertToFormat(QImage::Format_RGB32);
    };
    const QImage shown = coarse(shot->copy(area));
    const QImage truth = coarse(QImage::fromData(request.result().data, "PNG"));
    qint64 difference = 0;
    for (int y = 0; y < grid.height(); ++y)
        for (int x = 0; x < grid.width(); ++x) {
            const QRgb a = shown.pixel(x, y), b = truth.pixel(x, y);
            difference += qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) + qAbs(qBlue(a) - qBlue(b));
        }
    return difference < qint64(grid.width()) * grid.height() * 3 * 10;
}

void sendMouse(QWidget *widget, QEvent::Type type, QPoint global)
{
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, widget->mapFromGlobal(global), global, Qt::LeftButton, held, Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

// Drags from `from` (window coordinates) by `by`, on whichever bar lies there.
void dragWindow(ZqPhoneForm *form, QPoint from, QPoint by)
{
    QWidget *bar = form->childAt(from);
    while (bar && bar->parentWidget() != form)
        bar = bar->parentWidget();
    const QPoint global = form->mapToGlobal(from);
    sendMouse(bar, QEvent::MouseButtonPress, global);
    sendMouse(bar, QEvent::MouseMove, global + by);
    sendMouse(bar, QEvent::MouseButtonRelease, global + by);
}

using testsupport::BusRecorder;

} // namespace

class TestOper : public QObject
{
    Q_OBJECT

public slots:
    void openUrl(const QUrl &) {}

private slots:
    void initTestCase();
    void cleanupTestCase();

    void fitToAspect_data();
    void fitToAspect();
    void turningAndEdges();
    void textPieces();
    void keysAndTextReachThePhone();
    void syncMasterMirrorsItsInput();
    void rotationFollowsItsPhone();
    void resizingKeepsTheAspect();
    void mainWindowKeepsOneWindowPerPhone();
    void restrictedPhoneOnlyWatches();
    void operatingAPhone();
    void recordButtonKeepsWhatTheWindowSent();

private:
    // A shown control window on `phone` that has its first frame, or null.
    ZqPhoneForm *openForm(const QByteArray &phone, int cloudPhoneId);

    harness::Farm m_farm;
    std::unique_ptr<MainWindow> m_main;
    QTimer m_busPump;
};

void TestOper::initTestCase()
{
    QVERIFY(m_farm.start());
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openUrl");
    QDir(dataDirectory() + QStringLiteral("/screenshot")).removeRecursively();
    m_main = std::make_unique<MainWindow>();
    g_config->apiBaseUrl = QStringLiteral("http://127.0.0.1:1"); // no update check leaves the test
    cc_core_set_gateway("127.0.0.1", m_farm.port);
    // The bus's dispatcher, on this thread.
    connect(&m_busPump, &QTimer::timeout, [] { g_eventManager.dispatchPending(); });
    m_busPump.start(10);
}

void TestOper::cleanupTestCase()
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (qobject_cast<ZqPhoneForm *>(w))
            delete w;
    m_main.reset();
}

ZqPhoneForm *TestOper::openForm(const QByteArray &phone, int cloudPhoneId)
{
    // The display reports the phone's rotation with the first frame; only then does the window know
    // which way up the phone is, and where a tap lands.
    BusRecorder rotations{70};
    auto *form = new ZqPhoneForm(QString::fromLatin1(phone), QStringLiteral("测试机"),
                                 QString::fromLatin1(harness::credential(phone)), QStringLiteral("1"), 0,
                                 cloudPhoneId);
    form->show();
    const auto reported = [&] {
        for (const QJsonObject &rotation : rotations.payloads(70))
            if (rotation.value("deviceId").toString() == QLatin1String(phone))
                return true;
        return false;
    };
    if (!QTest::qWaitForWindowExposed(form) || !harness::waitUntil(reported, 10000))
        return nullptr;
    return form;
}

void TestOper::fitToAspect_data()
{
    QTest::addColumn<QSize>("proposed");
    QTest::addColumn<int>("edge");
    QTest::addColumn<bool>("portrait");
    QTest::addColumn<QSize>("fitted");
    QTest::newRow("bottom edge at 800") << QSize(388, 800) << int(Bottom) << true << QSize(433, 800);
    QTest::newRow("right edge") << QSize(500, 720) << int(Right) << true << QSize(500, 919);
    QTest::newRow("below the minimum") << QSize(150, 300) << int(BottomRight) << true << QSize(194, 375);
    QTest::newRow("landscape minimum") << QSize(300, 150) << int(Right) << false << QSize(375, 194);
    QTest::newRow("low landscape window") << QSize(600, 300) << int(Bottom) << false << QSize(419, 300);
    QTest::newRow("taller than the screen") << QSize(388, 1200) << int(Bottom) << true << QSize(568, 1040);
    QTest::newRow("wider than the screen") << QSize(2000, 800) << int(Left) << false << QSize(1600, 964);
    QTest::newRow("screen fitting, portrait") << screenSize << int(NoEdge) << true << QSize(568, 1040);
    QTest::newRow("screen fitting, landscape") << screenSize << int(NoEdge) << false << QSize(1600, 964);
}

void TestOper::fitToAspect()
{
    QFETCH(QSize, proposed);
    QFETCH(int, edge);
    QFETCH(bool, portrait);
    QFETCH(QSize, fitted);
    QCOMPARE(phonegeom::fitToAspect(proposed, edge, portrait, screenSize), fitted);
}

void TestOper::turningAndEdges()
{
    bool fitted = true;
    QCOMPARE(rotatedSize(initialSize, screenSize, &fitted), QSize(668, 440));
    QVERIFY(!fitted);
    QCOMPARE(rotatedSize(QSize(668, 440), screenSize, &fitted), initialSize);
    // A 1280-wide display turning upright does not fit 1040 high: it is fitted to the height.
    QCOMPARE(rotatedSize(QSize(1308, 800), screenSize, &fitted), QSize(568, 1040));
    QVERIFY(fitted);
    QVERIFY(sameOrientation(0, 2) && sameOrientation(-1, 1) && !sameOrientation(0, -1));

    const QList<QPair<QPoint, int>> edges{
        {{0, 0}, TopLeft},         {{200, 2}, Top},      {{387, 0}, TopRight},   {{385, 300}, Right},
        {{387, 719}, BottomRight}, {{200, 717}, Bottom}, {{0, 719}, BottomLeft}, {{2, 20}, Left},
        {{2, 700}, Left},          {{2, 300}, NoEdge},   {{200, 300}, NoEdge},   {{400, 300}, NoEdge}};
    for (const auto &e : edges)
        QVERIFY2(resizeEdge(e.first, initialSize) == e.second,
                 qPrintable(QStringLiteral("%1,%2").arg(e.first.x()).arg(e.first.y())));
    // A left edge dragged past the right one stops short of turning the window inside out.
    QCOMPARE(draggedGeometry(QRect(100, 100, 388, 720), Left, QPoint(500, 0)), QRect(294, 100, 194, 720));
}

void TestOper::textPieces()
{
    const auto sizes = [](const QList<QByteArray> &pieces) {
        QList<int> out;
        for (const QByteArray &p : pieces)
            out.append(p.size());
        return out;
    };
    QCOMPARE(sizes(ZqPhoneWindow::splitUtf8(QByteArray(4096, 'a'))), QList<int>{4096});
    QCOMPARE(sizes(ZqPhoneWindow::splitUtf8(QByteArray(4095, 'a') + "你")), (QList<int>{4095, 3}));
    QCOMPARE(sizes(ZqPhoneWindow::splitUtf8(QByteArray(4094, 'a') + "😀b")), (QList<int>{4094, 5}));
    const QByteArray mixed = (QStringLiteral("汉字😀e").repeated(900)).toUtf8();
    QByteArray joined;
    for (const QByteArray &piece : ZqPhoneWindow::splitUtf8(mixed)) {
        QVERIFY(piece.size() <= 4096 && QString::fromUtf8(piece).toUtf8() == piece);
        joined += piece;
    }
    QCOMPARE(joined, mixed);
    QCOMPARE(ZqPhoneWindow::keyPayload(66, ZqPhoneWindow::KeyPress), QByteArray("\x42\0\0\0\x01\0\0\0", 8));
}

void TestOper::keysAndTextReachThePhone()
{
    const QByteArray phone = "PMOPERKEYS";
    ZqPhoneForm *form = openForm(phone, 11);
    QVERIFY(form);
    startApp(phone, notesApp);
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(phone).package(), notesApp, 10000);
    ZqPhoneWindow *surface = form->display();
    QTest::keyClick(surface, Qt::Key_X);      // text on press only
    QTest::keyClick(surface, Qt::Key_Escape); // filtered, nothing sent
    QTest::keyClicks(surface, QStringLiteral("yz"));
    QTest::keyClick(surface, Qt::Key_Left);
    QTest::keyClick(surface, Qt::Key_Backspace);
    QTest::keyClick(surface, Qt::Key_Return);
    QApplication::clipboard()->setText(QStringLiteral("剪贴板 & <粘贴>"));
    QTest::keyClick(surface, Qt::Key_V, Qt::ControlModifier);
    // Not a paste, and control characters are nothing to type.
    for (const QKeyEvent &control :
         {QKeyEvent(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier,
                    QStringLiteral("\x16")),
          QKeyEvent(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier, QStringLiteral("\x03"))}) {
        QKeyEvent copy(control);
        QApplication::sendEvent(surface, &copy);
    }
    QInputMethodEvent composed;
    composed.setCommitString(QStringLiteral("输入法"));
    QApplication::sendEvent(surface, &composed);
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(phone).text(), QStringLiteral("x\n剪贴板 & <粘贴>输入法z"), 10000);

    // A long paste arrives whole and in order.
    const QString longText = QStringLiteral("长文本").repeated(500) + QStringLiteral("end");
    QApplication::clipboard()->setText(longText);
    QTest::keyClick(surface, Qt::Key_V, Qt::ControlModifier);
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(phone).text(),
                              QStringLiteral("x\n剪贴板 & <粘贴>输入法") + longText + QLatin1Char('z'),
                              10000);
    form->close();
}

void TestOper::syncMasterMirrorsItsInput()
{
    const QByteArray master = "PMOPERSYNC", target = "PMOPERMIRROR", other = "PMOPERLATER";
    sdkManager.setOperatePolicy(nullptr);
    sdkManager.addPhone(501, QString::fromLatin1(master), QString::fromLatin1(harness::credential(master)),
                        {});
    sdkManager.addPhone(502, QString::fromLatin1(target), QString::fromLatin1(harness::credential(target)),
                        {});
    startApp(master, notesApp);
    startApp(target, notesApp);
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(target).package(), notesApp, 10000);

    // Switching synchronised operation on closes every window; the first one opened after it is the
    // master.
    post(20, openRequest(other, 503));
    QTRY_COMPARE(formsOf(other).size(), 1);
    QPointer<ZqPhoneForm> closed = formsOf(other).first();
    post(27, {{"SyncOperation", true}});
    QTRY_VERIFY(!closed);
    post(20, openRequest(master, 501));
    QTRY_COMPARE(formsOf(master).size(), 1);
    QPointer<ZqPhoneForm> form = formsOf(master).first();
    QVERIFY(form->display()->isSyncMaster());
    QCOMPARE(sdkManager.syncMaster(), 501);
    post(20, openRequest(other, 503));
    QTRY_COMPARE(formsOf(other).size(), 1);
    QVERIFY(!formsOf(other).first()->display()->isSyncMaster());

    ZqPhoneWindow *surface = form->display();
    QTest::keyClicks(surface, QStringLiteral("ab"));
    QTest::keyClick(surface, Qt::Key_Backspace);
    const QString longText = QStringLiteral("字").repeated(1400); // 4200 bytes: two text events
    surface->sendText(longText);
    click(form, "btnVolAdd"); // volume is the master's own
    // A touch payload too long to keep is not mirrored.
    QApplication::postEvent(surface, new CcCopyDataEvent(104, QByteArray(5000, 'x')));
    QCoreApplication::sendPostedEvents(surface, CcCopyDataEvent::eventType);
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(master).text(), QStringLiteral("a") + longText, 15000);
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(target).text(), QStringLiteral("a") + longText, 15000);
    const QString typed = QStringLiteral("a") + longText;

    // Closing a window that is not the master leaves mirroring running.
    QPointer<ZqPhoneForm> plain = formsOf(other).first();
    click(plain, "btnClose");
    QTRY_VERIFY(!plain);
    QCOMPARE(sdkManager.syncMaster(), 501);
    QVERIFY(form->isSyncMaster());
    QTest::keyClicks(surface, QStringLiteral("c"));
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(target).text(), typed + "c", 15000);
    click(form, "btnReturn");
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(target).package(), launcherApp, 15000);
    startApp(master, notesApp);
    startApp(target, notesApp);
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(target).package(), notesApp, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(master).package(), notesApp, 10000);

    // Closing the master ends it at once, and the next window opened is the master again.
    click(form, "btnClose");
    QCOMPARE(sdkManager.syncMaster(), 0);
    QTRY_VERIFY(!form);
    QTRY_COMPARE_WITH_TIMEOUT(SdkManager::liveReplayThreads(), 0, 15000);
    post(20, openRequest(master, 501));
    QTRY_COMPARE(formsOf(master).size(), 1);
    form = formsOf(master).first();
    QVERIFY(form->isSyncMaster());
    QCOMPARE(sdkManager.syncMaster(), 501);
    surface = form->display();
    QTest::keyClicks(surface, QStringLiteral("d"));
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(target).text(), typed + "cd", 15000);

    // Switching off stops mirroring at once and leaves the master open as a plain window: what is
    // typed after it reaches the master's own phone only, even once every replay has ended.
    post(27, {{"SyncOperation", false}});
    QTRY_VERIFY(!form->isSyncMaster());
    QVERIFY(form->isVisible() && !surface->isSyncMaster());
    QCOMPARE(sdkManager.syncMaster(), 0);
    QTest::keyClicks(surface, QStringLiteral("e"));
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(master).text(), typed + "cde", 15000);
    QTRY_COMPARE_WITH_TIMEOUT(SdkManager::liveReplayThreads(), 0, 15000);
    QCOMPARE(screenOf(target).text(), typed + "cd");
    // New windows are plain windows while it is off.
    post(20, openRequest(other, 503));
    QTRY_COMPARE(formsOf(other).size(), 1);
    QVERIFY(!formsOf(other).first()->isSyncMaster());

    // Switching on again closes the windows; the next one opened is a new master.
    plain = formsOf(other).first();
    post(27, {{"SyncOperation", true}});
    QTRY_VERIFY(!form && !plain);
    post(20, openRequest(master, 501));
    QTRY_COMPARE(formsOf(master).size(), 1);
    form = formsOf(master).first();
    QVERIFY(form->isSyncMaster());
    QTest::keyClicks(form->display(), QStringLiteral("f"));
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(target).text(), typed + "cdf", 15000);
    post(27, {{"SyncOperation", false}});
    QTRY_VERIFY(!form->isSyncMaster());
    form->close();
    QTRY_VERIFY(!form);
    QCOMPARE(sdkManager.syncMaster(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(SdkManager::liveReplayThreads(), 0, 15000);
    sdkManager.erasePhone(501);
    sdkManager.erasePhone(502);
}

void TestOper::rotationFollowsItsPhone()
{
    const QByteArray phone = "PMOPERTURN";
    ZqPhoneForm *form = openForm(phone, 13);
    QVERIFY(form);
    QCOMPARE(form->size(), initialSize);
    const QString id = QString::fromLatin1(phone);
    post(70, {{"deviceId", "PMOTHERPHONE"}, {"rotation", 1}});
    post(70, {{"deviceId", id}});
    post(70, {{"deviceId", id}, {"rotation", 2}});
    QTRY_COMPARE(form->rotation(), 2);
    QCOMPARE(form->size(), initialSize);
    post(70, {{"deviceId", id}, {"rotation", 1}});
    QTRY_COMPARE(form->size(), QSize(668, 440));
    QCOMPARE(form->display()->size(), QSize(640, 360));
    post(70, {{"deviceId", id}, {"rotation", -1}});
    QTRY_COMPARE(form->rotation(), -1);
    QCOMPARE(form->size(), QSize(668, 440));
    post(70, {{"deviceId", id}, {"rotation", 0}});
    QTRY_COMPARE(form->size(), initialSize);
    form->close();
}

void TestOper::resizingKeepsTheAspect()
{
    ZqPhoneForm *form = openForm("PMOPERSIZE", 14);
    QVERIFY(form);
    form->move(100, 50);
    QTRY_COMPARE(form->pos(), QPoint(100, 50));
    dragWindow(form, QPoint(200, 718), QPoint(0, 80)); // the bottom edge to 800
    QTRY_COMPARE(form->size(), QSize(433, 800));
    QCOMPARE(form->display()->size(), QSize(405, 720));
    dragWindow(form, QPoint(432, 799), QPoint(-400, -700)); // the corner, far too small
    QTRY_COMPARE(form->size(), portraitMinimum);
    dragWindow(form, QPoint(60, 16), QPoint(30, 20)); // the title moves the window
    QTRY_COMPARE(form->pos(), QPoint(130, 70));

    click(form, "btnMaxRestore");
    QTRY_COMPARE(form->geometry(), QRect(130, 0, 568, 1040));
    QCOMPARE(form->fitState(), ZqPhoneForm::FittedToScreen);
    click(form, "btnMaxRestore");
    QTRY_COMPARE(form->geometry(), QRect(QPoint(130, 70), portraitMinimum));
    form->close();
}

void TestOper::mainWindowKeepsOneWindowPerPhone()
{
    const QByteArray phone = "PMOPERMAIN", other = "PMOPERSIDE";
    post(20, openRequest(phone, 301));
    QTRY_COMPARE(formsOf(phone).size(), 1);
    QPointer<ZqPhoneForm> first = formsOf(phone).first();
    post(20, openRequest(phone, 301));
    post(20, openRequest(other, 302));
    QTRY_COMPARE(formsOf(other).size(), 1);
    QCOMPARE(formsOf(phone), QList<ZqPhoneForm *>{first});

    // Unticking closes only that phone's window; ticking or a half message changes nothing.
    post(63, {{"cloudId", 301}, {"isChecked", true}});
    post(63, {{"cloudId", 301}});
    post(63, {{"cloudId", 302}, {"isChecked", false}});
    QTRY_COMPARE(formsOf(other).size(), 0);
    QVERIFY(first && first->isVisible());
    post(63, {{"cloudId", 301}, {"isChecked", false}});
    QTRY_VERIFY(!first);

    // A window the user closes is forgotten: the next open makes a new one.
    post(20, openRequest(phone, 301));
    QTRY_COMPARE(formsOf(phone).size(), 1);
    QPointer<ZqPhoneForm> second = formsOf(phone).first();
    click(second, "btnClose");
    QTRY_VERIFY(!second);
    post(20, openRequest(phone, 301));
    QTRY_COMPARE(formsOf(phone).size(), 1);
    formsOf(phone).first()->close();

    // An id too long for the library opens a window that stays unconnected and sends nothing.
    const QByteArray tooLong(40, 'P');
    post(20, openRequest(tooLong, 303));
    QTRY_COMPARE(formsOf(tooLong).size(), 1);
    ZqPhoneForm *unusable = formsOf(tooLong).first();
    QVERIFY(!renderView(unusable) && !unusable->display()->hasIdentity());
    QTest::keyClick(unusable->display(), Qt::Key_A);
    click(unusable, "btnScreenshot");
    unusable->close();
}

void TestOper::restrictedPhoneOnlyWatches()
{
    QStringList restarts;
    ZqPhoneForm::setAccount({[](int id) { return id != 402; },
                             [&restarts](const QString &ids, const QString &type) {
                                 restarts << ids + QLatin1Char('/') + type;
                                 return true;
                             }});
    const QByteArray watched = "PMOPERVIEW";
    ZqPhoneForm *form = openForm(watched, 402);
    QVERIFY(form);
    startApp(watched, notesApp);
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(watched).package(), notesApp, 10000);
    BusRecorder uploads{6};
    for (const char *button :
         {"btnDesktop", "btnReturn", "btnMission", "btnVolAdd", "btnUpload", "btnRestart"})
        click(form, button);
    QTest::keyClick(form->display(), Qt::Key_K);
    click(form, "btnScreenshot");
    const QDir shots(dataDirectory() + QStringLiteral("/screenshot"));
    QTRY_COMPARE_WITH_TIMEOUT(shots.entryList({"PMOPERVIEW_*.png"}).size(), 1, 10000);
    QCOMPARE(QImage(shots.filePath(shots.entryList({"PMOPERVIEW_*.png"}).first())).size(), phoneScreen);
    const Screen after = screenOf(watched);
    QCOMPARE(after.package(), notesApp);
    QCOMPARE(after.text(), QString());
    QVERIFY(restarts.isEmpty() && uploads.got.isEmpty());
    form->close();

    // The same buttons on a phone that may be operated.
    QPointer<ZqPhoneForm> free = openForm("PMOPERFREE", 403);
    QVERIFY(free);
    click(free, "btnUpload");
    QTRY_COMPARE(uploads.got.size(), 1);
    QCOMPARE(uploads.payloads(6).first().value("deviceUcIdTimestamp").toString(), QStringLiteral("0"));
    click(free, "btnRestart");
    QCOMPARE(restarts, QStringList{"403/3"});
    QTRY_VERIFY(!free);
    ZqPhoneForm::setAccount({});
}

void TestOper::operatingAPhone()
{
    const QByteArray phone = "PMOPERLIVE";
    post(20, openRequest(phone, 501));
    QTRY_COMPARE(formsOf(phone).size(), 1);
    QPointer<ZqPhoneForm> form = formsOf(phone).first();
    QImage shot;
    QTRY_VERIFY_WITH_TIMEOUT(showsPhone(form, phone, &shot), 10000);
    const Screen home = screenOf(phone);
    QCOMPARE(home.package(), launcherApp);
    QVERIFY(shot.save(QStringLiteral("oper-1-launcher.png")));

    tapPhone(form, home.icon(notesApp));
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(phone).package(), notesApp, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(showsPhone(form, phone, &shot), 10000);
    QVERIFY(shot.save(QStringLiteral("oper-2-app-opened.png")));

    QInputMethodEvent composed;
    composed.setCommitString(QStringLiteral("你好"));
    QApplication::sendEvent(form->display(), &composed);
    QTest::keyClicks(form->display(), QStringLiteral(" abc"));
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(phone).text(), QStringLiteral("你好 abc"), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(showsPhone(form, phone, &shot), 10000);
    QVERIFY(shot.save(QStringLiteral("oper-3-typed.png")));

    click(form, "btnDesktop");
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(phone).package(), launcherApp, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(showsPhone(form, phone, &shot), 10000);
    QVERIFY(shot.save(QStringLiteral("oper-4-home.png")));

    tapPhone(form, home.icon(QStringLiteral("com.pmapps.racer")));
    QTRY_COMPARE_WITH_TIMEOUT(form->size(), QSize(668, 440), 10000);
    QCOMPARE(screenOf(phone).rotation(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(showsPhone(form, phone, &shot), 10000);
    QVERIFY(shot.save(QStringLiteral("oper-5-landscape.png")));
    qInfo("screenshots in %s", qPrintable(QDir::currentPath()));
    form->close();
}

void TestOper::recordButtonKeepsWhatTheWindowSent()
{
    const QByteArray phone = "PMOPERREC", target = "PMOPERREPLAY";
    const QString folder = dataDirectory() + QStringLiteral("/macros");
    QDir(folder).removeRecursively();
    BusRecorder notices({5});
    post(20, openRequest(phone, 511));
    QTRY_COMPARE(formsOf(phone).size(), 1);
    QPointer<ZqPhoneForm> form = formsOf(phone).first();
    QImage shot;
    QTRY_VERIFY_WITH_TIMEOUT(showsPhone(form, phone, &shot), 10000);
    const Screen home = screenOf(phone);

    // Stopping with nothing recorded saves nothing and says so.
    click(form, "btnRecord");
    QVERIFY(form->isRecording());
    click(form, "btnRecord");
    QVERIFY(!form->isRecording());
    QTRY_COMPARE(notices.notices(), QStringList{QStringLiteral("没有录到任何操作，脚本未保存")});

    // A tap through the library, typed and composed text, a key, volume and home.
    click(form, "btnRecord");
    QCOMPARE(form->findChild<QToolButton *>(QStringLiteral("btnRecord"))->text(), QStringLiteral("停\n止"));
    tapPhone(form, home.icon(notesApp));
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(phone).package(), notesApp, 10000);
    QInputMethodEvent composed;
    composed.setCommitString(QStringLiteral("录制"));
    QApplication::sendEvent(form->display(), &composed);
    QTest::keyClicks(form->display(), QStringLiteral(" okx"));
    QTest::keyClick(form->display(), Qt::Key_Backspace);
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(phone).text(), QStringLiteral("录制 ok"), 10000);
    click(form, "btnVolAdd");
    click(form, "btnDesktop");
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(phone).package(), launcherApp, 10000);
    // Closing the window ends the recording and keeps it.
    form->close();
    QTRY_VERIFY(!form);
    QTRY_COMPARE(QDir(folder).entryList(QDir::Files).size(), 1);

    const std::vector<macro::Entry> entries = macro::list(dataDirectory());
    QCOMPARE(int(entries.size()), 1);
    macro::Recording recording;
    QString error;
    QVERIFY2(macro::load(entries[0].path, &recording, &error), qPrintable(error));
    QVERIFY(recording.name.startsWith(QStringLiteral("云手机 ")));
    QCOMPARE(recording.rotation, 0);
    QList<int> types;
    QByteArray text;
    for (const macro::Step &step : recording.steps) {
        if (types.isEmpty() || types.last() != step.event.type)
            types << step.event.type;
        if (step.event.type == SyncText)
            text += QByteArray(step.event.data, step.event.length);
    }
    // Touches first (press, moves, release), then text and keys, the volume and home keys last.
    QCOMPARE(types.first(), int(SyncTouchUpDown));
    QCOMPARE(text, QByteArray("录制 okx"));
    QVERIFY(types.contains(SyncKey));
    QCOMPARE(recording.steps.back().event.type, int32_t(SyncFunctionKey));
    QCOMPARE(recording.steps.back().event.code, int32_t(CC_KEY_HOMEPAGE));
    QCOMPARE(recording.steps[recording.steps.size() - 2].event.code, int32_t(CC_KEY_VOLUMEUP));
    for (size_t i = 1; i < recording.steps.size(); ++i)
        QVERIFY(recording.steps[i].offsetMs >= recording.steps[i - 1].offsetMs);
    // The notice follows the file: both come from the save on the pool.
    QTRY_COMPARE(notices.notices().size(), 2);
    QVERIFY(notices.notices().last().contains(QStringLiteral("已保存")));

    // Replayed on another phone, it does the same there.
    BusRecorder finished({Msg::macroFinished});
    sdkManager.addPhone(512, QString::fromLatin1(target), QString::fromLatin1(harness::credential(target)),
                        {});
    QVERIFY(sdkManager.startMacro(entries[0].path, {}));
    QTRY_COMPARE_WITH_TIMEOUT(finished.messages(Msg::macroFinished).size(), 1, 20000);
    QCOMPARE(screenOf(target).package(), launcherApp);
    startApp(target, notesApp);
    QTRY_COMPARE_WITH_TIMEOUT(screenOf(target).text(), QStringLiteral("录制 ok"), 10000);
    sdkManager.erasePhone(512);
}

int main(int argc, char *argv[])
{
    testsupport::runUnderXvfb(argc, argv, "1600x1040x24");
    QApplication app(argc, argv);
    TestOper test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_oper.moc"
