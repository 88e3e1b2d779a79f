#include "ui/mainwindow.h"

#include "api/userinfo.h"
#include "app/datadir.h"
#include "app/globals.h"
#include "app/messages.h"
#include "app/payloads.h"
#include "app/zqslotmsg.h"
#include "coreclient/core_client.h"
#include "oper/zqphoneform.h"
#include "phone/queuepreview.h"
#include "phone/sdkmanager.h"
#include "platform/windowmessage.h"
#include "ui/appoperdlg.h"
#include "ui/fonts.h"
#include "ui/hittest.h"
#include "ui/macrodlg.h"
#include "ui/mainwindowhandle.h"
#include "ui/zqcontent.h"
#include "ui/zqdialogform.h"
#include "ui/zqtips.h"
#include "ui/zqtitle.h"

#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QMessageBox>
#include <QMouseEvent>
#include <QUrl>
#include <QWindow>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

Qt::Edges edgesOf(int code)
{
    switch (code) {
    case hit::Left:
        return Qt::LeftEdge;
    case hit::Right:
        return Qt::RightEdge;
    case hit::Top:
        return Qt::TopEdge;
    case hit::Bottom:
        return Qt::BottomEdge;
    case hit::TopLeft:
        return Qt::TopEdge | Qt::LeftEdge;
    case hit::TopRight:
        return Qt::TopEdge | Qt::RightEdge;
    case hit::BottomLeft:
        return Qt::BottomEdge | Qt::LeftEdge;
    case hit::BottomRight:
        return Qt::BottomEdge | Qt::RightEdge;
    default:
        return {};
    }
}

Qt::CursorShape cursorOf(int code)
{
    switch (code) {
    case hit::Left:
    case hit::Right:
        return Qt::SizeHorCursor;
    case hit::Top:
    case hit::Bottom:
        return Qt::SizeVerCursor;
    case hit::TopLeft:
    case hit::BottomRight:
        return Qt::SizeFDiagCursor;
    default:
        return Qt::SizeBDiagCursor;
    }
}

} // namespace

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), m_centralWidget(new QWidget(this))
{
    g_configHolder = std::make_shared<ZqConfig>();
    g_config = g_configHolder.get();
    if (g_config->hasConfigFile())
        g_config->load();
    qDebug() << "start, version" << g_config->version;
    g_userInfoHolder = std::make_shared<userInfo>();
    g_userInfo = g_userInfoHolder.get();

    for (int type :
         {Msg::toggleMaximized, Msg::minimizeWindow, Msg::exitProgram, Msg::showUserInfo, Msg::showDialog,
          Msg::openPhone, Msg::controlWindowClosed, Msg::loggedIn, Msg::repaintMainWindow, Msg::syncOperation,
          Msg::openAppDialog, Msg::openMacroDialog, Msg::screenshot, Msg::phoneChecked})
        g_eventManager.subscribe(type, this);
    m_phoneForms.reserve(8);

    installFontSubstitutions();
    if (objectName().isEmpty())
        setObjectName(QStringLiteral("MainWindow"));
    resize(1280, 720);
    setMinimumSize(0, 0);
    setFont(QFont(QStringLiteral("宋体")));
    setStyleSheet(QStringLiteral("text-align:center;font-size:1px;"));
    m_centralWidget->setObjectName(QStringLiteral("centralwidget"));
    setCentralWidget(m_centralWidget);
    setWindowTitle(QStringLiteral("MainWindow"));

    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    create();
    setMainWindowHandle(this);
    // Non-client presses are decided on the native window, before any child widget sees them.
    windowHandle()->installEventFilter(this);

    m_content = new ZqContent(this);
    m_title = new ZqTitle(this);
    setMouseTracking(false);
    resize(1280, 800);

    const QString logDir = dataDirectory() + QStringLiteral("/log");
    QDir().mkpath(logDir);
    if (!cc_core_init(QFile::encodeName(logDir).constData())) {
        auto *failed = new ZqDialogForm;
        failed->setAttribute(Qt::WA_DeleteOnClose);
        failed->setWindowModality(Qt::ApplicationModal);
        failed->setDialogData(
            jsonToText(QJsonObject{{QStringLiteral("type"), Dialog::initFailed},
                                   {QStringLiteral("lbl_1_Text"), QStringLiteral("系统初始化失败")}}));
        failed->show();
    }

    post(Msg::showLoginPage);
}

MainWindow::~MainWindow()
{
    setMainWindowHandle(nullptr);
    if (m_borderCursor)
        QGuiApplication::restoreOverrideCursor();
    g_eventManager.unsubscribe(this);
    g_eventManager.stop();
    g_queuePreview.stopScheduler();
    m_messageDialog.reset();
    cc_core_uninit();
}

std::optional<int> MainWindow::hitTest(const QPoint &globalPos) const
{
    return nonClientHitTest(globalPos - geometry().topLeft(), size(), m_borderWidth,
                            g_userInfo && g_userInfo->isLoggedIn(), m_title->titleDragArea(globalPos));
}

bool MainWindow::event(QEvent *event)
{
    if (auto *message = platform::WindowMessageEvent::from(event)) {
        if (message->message() == tipMessage) {
            auto *tip = new ZqTips(tipText(message->buffer()));
            tip->move(geometry().center().x() - tip->width() / 2, geometry().top() + 80);
            tip->show();
        }
        return true;
    }
    if (!PhoneEvent::isBusEvent(event))
        return QMainWindow::event(event);
    handleMessage(static_cast<PhoneEvent *>(event)->message());
    return true;
}

void MainWindow::handleMessage(const ZQSlotMsg &msg)
{
    switch (msg.type) {
    case Msg::exitProgram:
        exitApplication();
        break;
    case Msg::toggleMaximized:
        if (isMaximized())
            showNormal();
        else
            showMaximized();
        break;
    case Msg::minimizeWindow:
        showMinimized();
        break;
    case Msg::showUserInfo: {
        QMessageBox box(QMessageBox::Information, QStringLiteral("提示"), QStringLiteral("点击玩家头像"),
                        QMessageBox::Ok, this);
        box.setStyleSheet(
            QStringLiteral("QMessageBox{border:1px;font-size:12px}QPushButton{font-size:12px}"));
        box.exec();
        break;
    }
    case Msg::showDialog:
        showMessageDialog(msg.text);
        break;
    case Msg::openPhone:
        openPhoneForm(payload::OpenPhone::read(msg.text));
        break;
    case Msg::controlWindowClosed:
        forgetPhoneForm(payload::DeviceRef::read(msg.text).deviceId);
        break;
    case Msg::syncOperation:
        switchSyncOperation(payload::SyncSwitch::read(msg.text).on);
        break;
    case Msg::phoneChecked:
        phoneCheckChanged(payload::CheckChange::read(msg.text));
        break;
    case Msg::repaintMainWindow:
        update();
        break;
    case Msg::openAppDialog:
        runAppDialog(payload::AppDialogRequest::read(msg.text).operation);
        break;
    case Msg::openMacroDialog:
        showMacroDialog();
        break;
    case Msg::screenshot:
        saveScreenshot(msg);
        break;
    default:
        break;
    }
}

void MainWindow::exitApplication()
{
    if (m_messageDialog) {
        m_messageDialog->close();
        m_messageDialog.reset();
    }
    for (const QPointer<ZqPhoneForm> &form : qAsConst(m_phoneForms))
        if (form)
            form->close();
    close();
    const qint64 pid = QCoreApplication::applicationPid();
    qDebug().noquote() << QStringLiteral("exit :") << QDateTime::currentMSecsSinceEpoch()
                       << QStringLiteral("quit pid %1, forced exit after %2 ms").arg(pid).arg(exitWatchdogMs);
    // The orderly quit lets main() tear everything down; should that hang (a worker stuck in a call),
    // the process still ends.
    std::thread([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(exitWatchdogMs));
        std::_Exit(0);
    }).detach();
    QCoreApplication::quit();
}

void MainWindow::runAppDialog(int operation)
{
    // Modal, but the bus keeps delivering: its dispatcher runs on the pool, so the package list
    // (Msg::installedPackages) reaches the open dialog.
    auto *dialog = new AppOperDlg(this);
    dialog->setOperation(operation);
    dialog->exec();
}

void MainWindow::showMacroDialog()
{
    // One at a time, and not modal: phones may be unticked while a replay runs.
    if (!m_macroDialog) {
        m_macroDialog = new MacroDlg(this);
        m_macroDialog->move(geometry().center() - m_macroDialog->rect().center());
    }
    m_macroDialog->show();
    m_macroDialog->raise();
    m_macroDialog->activateWindow();
}

void MainWindow::showMessageDialog(const QString &json)
{
    if (json.isEmpty())
        return;
    if (!m_messageDialog)
        m_messageDialog = std::make_unique<ZqDialogForm>();
    m_messageDialog->setWindowModality(Qt::ApplicationModal);
    m_messageDialog->setDialogData(json);
    m_messageDialog->move(geometry().center() - m_messageDialog->rect().center());
    m_messageDialog->show();
    m_messageDialog->raise();
}

void MainWindow::openPhoneForm(const payload::OpenPhone &phone)
{
    const QString &deviceId = phone.deviceId;
    if (deviceId.isEmpty()) {
        qDebug() << "open phone window: no deviceId";
        return;
    }
    // A window that is closing but not yet deleted is hidden; a new one replaces it.
    if (ZqPhoneForm *open = m_phoneForms.value(deviceId); open && open->isVisible()) {
        if (open->isMinimized())
            open->showNormal();
        open->raise();
        open->activateWindow();
        return;
    }
    auto *form = new ZqPhoneForm(deviceId, phone.deviceName, phone.deviceUcId, phone.deviceNo,
                                 phone.deviceUcIdTimestamp, phone.cloudPhoneId);
    form->setWindowModality(Qt::NonModal);
    form->setWindowTitle(deviceId);
    form->show();
    m_phoneForms.insert(deviceId, form);
    if (m_syncOperationOn && sdkManager.syncMaster() == 0 && m_syncMasterId == 0 &&
        form->cloudPhoneId() != 0) {
        sdkManager.startSync(form->cloudPhoneId());
        m_syncMasterId = form->cloudPhoneId();
        m_syncMasterDeviceId = deviceId;
        form->setSyncMaster(true);
        qDebug() << "sync master:" << deviceId << m_syncMasterId;
    }
}

void MainWindow::forgetPhoneForm(const QString &deviceId)
{
    const auto found = m_phoneForms.find(deviceId);
    // The entry may already name a newer window of the same phone, opened since this one closed.
    if (found == m_phoneForms.end() || (found.value() && found.value()->isVisible()))
        return;
    // Matched by the window's own phone: the inventory may have dropped the phone meanwhile.
    if (deviceId == m_syncMasterDeviceId)
        forgetSyncMaster();
    m_phoneForms.erase(found);
}

void MainWindow::forgetSyncMaster()
{
    m_syncMasterId = 0;
    m_syncMasterDeviceId.clear();
}

void MainWindow::switchSyncOperation(bool on)
{
    m_syncOperationOn = on;
    qDebug() << "sync operation:" << (m_syncOperationOn ? "on" : "off");
    if (!m_syncOperationOn) {
        // Mirroring stops at once; the master stays open as an ordinary window.
        if (ZqPhoneForm *master = m_phoneForms.value(m_syncMasterDeviceId))
            master->setSyncMaster(false);
        forgetSyncMaster();
        if (sdkManager.syncMaster() != 0)
            sdkManager.stopSync();
        return;
    }
    // Every window closes, so the next one opened becomes the master. Their closing messages find
    // no entry any more, so the master is forgotten here.
    const auto forms = m_phoneForms;
    m_phoneForms.clear();
    forgetSyncMaster();
    m_phoneForms.reserve(8);
    for (const QPointer<ZqPhoneForm> &form : forms)
        if (form)
            form->close();
}

void MainWindow::phoneCheckChanged(const payload::CheckChange &change)
{
    if (change.checked.value_or(true))
        return;
    for (auto it = m_phoneForms.begin(); it != m_phoneForms.end(); ++it) {
        if (it.value() && it.value()->cloudPhoneId() == change.cloudPhoneId) {
            QPointer<ZqPhoneForm> form = it.value();
            m_phoneForms.erase(it);
            if (form->deviceId() == m_syncMasterDeviceId)
                forgetSyncMaster();
            form->close();
            return;
        }
    }
}

QString MainWindow::screenshotPath(const QString &directory, const QString &stem, const QString &stamp)
{
    QString safe;
    for (const QChar c : stem) {
        const bool plain = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                           (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
                           (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-') ||
                           c == QLatin1Char('_');
        safe += plain ? c : QLatin1Char('_');
    }
    const QString base = directory + safe + QLatin1Char('_') + stamp;
    QString path = base + QStringLiteral(".png");
    for (int n = 1; QFileInfo::exists(path); ++n)
        path = base + QLatin1Char('_') + QString::number(n) + QStringLiteral(".png");
    return path;
}

void MainWindow::saveScreenshot(const ZQSlotMsg &msg)
{
    QImage image;
    if (!image.loadFromData(msg.binary(), "PNG")) {
        qDebug() << "screenshot: not a PNG image," << msg.text.size() << "bytes";
        return;
    }
    const QString directory = dataDirectory() + QStringLiteral("/screenshot/");
    QDir().mkpath(directory);
    const QString path =
        screenshotPath(directory, QString::fromUtf8(msg.bufferBytes()),
                       QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd_hhmmss")));
    if (!image.save(path)) {
        qDebug().noquote() << QStringLiteral("screenshot: cannot write") << path;
        return;
    }
    QDesktopServices::openUrl(QUrl::fromLocalFile(directory));
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    if (width() < minimumWidth) {
        resize(minimumWidth, height());
        return;
    }
    if (height() < minimumHeight) {
        resize(width(), minimumHeight);
        return;
    }
    if (!m_title || !m_content)
        return;
    m_title->setGeometry(0, 0, width(), titleHeight);
    m_content->setGeometry(0, titleHeight + 1, width(), height() - titleHeight);
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == windowHandle()) {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseMove:
        case QEvent::MouseButtonRelease:
            return nonClientMouse(static_cast<QMouseEvent *>(event));
        case QEvent::Leave:
            setBorderCursor(std::nullopt);
            break;
        default:
            break;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

bool MainWindow::nonClientMouse(QMouseEvent *event)
{
    const QPoint global = event->globalPos();
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        m_manualDrag.reset();
        if (event->button() != Qt::LeftButton || isMaximized() || QApplication::activeModalWidget())
            return false;
        const std::optional<int> code = hitTest(global);
        if (!code)
            return false;
        QWindow *window = windowHandle();
        const bool system =
            *code == hit::Caption ? window->startSystemMove() : window->startSystemResize(edgesOf(*code));
        if (!system)
            m_manualDrag = ManualDrag{*code, global, geometry()};
        return true;
    }
    case QEvent::MouseMove:
        if (m_manualDrag) {
            if (event->buttons() & Qt::LeftButton) {
                setGeometry(draggedGeometry(m_manualDrag->startGeometry, m_manualDrag->code,
                                            global - m_manualDrag->startGlobal,
                                            QSize(minimumWidth, minimumHeight)));
            } else {
                m_manualDrag.reset();
            }
            return true;
        }
        if (event->buttons() == Qt::NoButton)
            setBorderCursor(isMaximized() ? std::nullopt : hitTest(global));
        return false;
    case QEvent::MouseButtonRelease:
        if (m_manualDrag && event->button() == Qt::LeftButton) {
            m_manualDrag.reset();
            return true;
        }
        return false;
    default:
        return false;
    }
}

void MainWindow::setBorderCursor(std::optional<int> code)
{
    const bool border = code && *code != hit::Caption;
    if (border && !m_borderCursor)
        QGuiApplication::setOverrideCursor(cursorOf(*code));
    else if (border)
        QGuiApplication::changeOverrideCursor(cursorOf(*code));
    else if (m_borderCursor)
        QGuiApplication::restoreOverrideCursor();
    m_borderCursor = border;
}
