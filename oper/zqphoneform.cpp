#include "oper/zqphoneform.h"

#include "app/datadir.h"
#include "app/droppedfiles.h"
#include "app/globals.h"
#include "app/messages.h"
#include "app/payloads.h"
#include "app/pooltask.h"
#include "app/theme.h"
#include "app/zqslotmsg.h"
#include "oper/phonegeometry.h"
#include "oper/zqphonewindow.h"
#include "phone/macrofile.h"
#include "phone/phonetext.h"
#include "phone/sdkmanager.h"

#include <QDateTime>
#include <QDebug>
#include <QDropEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QToolButton>

namespace {

const QColor accent(theme::accent);

ZqPhoneForm::Account &account()
{
    static ZqPhoneForm::Account installed;
    return installed;
}

Qt::CursorShape cursorFor(int edge)
{
    switch (edge) {
    case phonegeom::TopLeft:
    case phonegeom::BottomRight:
        return Qt::SizeFDiagCursor;
    case phonegeom::TopRight:
    case phonegeom::BottomLeft:
        return Qt::SizeBDiagCursor;
    case phonegeom::Top:
    case phonegeom::Bottom:
        return Qt::SizeVerCursor;
    case phonegeom::Right:
    case phonegeom::Left:
        return Qt::SizeHorCursor;
    default:
        return Qt::ArrowCursor;
    }
}

const char *const formStyle = "QToolButton{color:white;font-size:12px;font-family:\"@font\";border:none;"
                              "background:transparent;}"
                              "QToolButton:hover{color:@titleHover;}"
                              "#btnMin,#btnMaxRestore,#btnClose{background:@accent;border-radius:3px;}"
                              "#btnMin:hover,#btnMaxRestore:hover,#btnClose:hover{background:@accentHover;}"
                              "#lblTitle{color:white;font-size:14px;font-family:\"@font\";}";

} // namespace

void ZqPhoneForm::setAccount(Account installed)
{
    account() = std::move(installed);
}

bool ZqPhoneForm::mayOperate(int cloudPhoneId)
{
    return !account().mayOperate || account().mayOperate(cloudPhoneId);
}

ZqPhoneForm::ZqPhoneForm(const QString &deviceId, const QString &deviceName, const QString &deviceUcId,
                         const QString &deviceNo, quint64 deviceUcIdTimestamp, int cloudPhoneId,
                         QWidget *parent)
    : QWidget(parent), m_deviceId(deviceId), m_deviceName(deviceName), m_deviceUcId(deviceUcId),
      m_deviceNo(deviceNo), m_deviceUcIdTimestamp(deviceUcIdTimestamp),
      m_cloudPhoneId(cloudPhoneId), m_identity{m_identityUcId, m_identityId, nullptr}
{
    g_eventManager.subscribe(Msg::minimizeControlWindow, this);
    g_eventManager.subscribe(Msg::phoneRotated, this);

    QByteArray id, ucid;
    m_hasIdentity = phonetext::toFixed(deviceId, phonetext::sessionDeviceIdLimit, "deviceId", &id) &&
                    phonetext::toFixed(deviceUcId, phonetext::longTextLimit, "deviceUcId", &ucid);
    if (m_hasIdentity) {
        phonetext::fill(m_identityUcId, sizeof m_identityUcId, ucid);
        phonetext::fill(m_identityId, sizeof m_identityId, id);
    }

    setObjectName(QStringLiteral("ZqPhoneForm"));
    resize(phonegeom::initialSize);
    buildWidgets();
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_DeleteOnClose);
    setAcceptDrops(true);

    m_display = new ZqPhoneWindow(deviceId, deviceUcId, this);
    m_display->raise();
    for (QWidget *w :
         {static_cast<QWidget *>(this), m_title, m_right, m_bottom, static_cast<QWidget *>(m_display)})
        w->setMouseTracking(true);
    m_display->setGeometry(0, phonegeom::titleHeight, width() - phonegeom::frameWidth,
                           height() - phonegeom::frameHeight);

    const bool restricted = !mayOperate(cloudPhoneId);
    m_display->setRestricted(restricted);
    if (!m_hasIdentity) {
        qDebug() << "phone window not connected: unusable deviceId or deviceUcId," << deviceId.left(64);
        return;
    }
    m_connectedWindow = m_display->winId();
    cc_core_connect_phone_tob(m_identityUcId, m_identityId, m_connectedWindow, 1, 0, 0, restricted ? 1 : 0, 0,
                              0, 0);
    m_display->setFocus(Qt::OtherFocusReason);
}

ZqPhoneForm::~ZqPhoneForm()
{
    g_eventManager.unsubscribe(this);
    // What was recorded is kept however the window goes.
    stopRecording();
    endSync();
}

void ZqPhoneForm::endSync()
{
    if (!m_isSyncMaster)
        return;
    setSyncMaster(false);
    sdkManager.stopSync();
}

QToolButton *ZqPhoneForm::addButton(QWidget *bar, const char *name, const QString &text, const char *icon)
{
    auto *button = new QToolButton(bar);
    button->setObjectName(QLatin1String(name));
    button->setText(text);
    button->setIcon(QIcon(QStringLiteral(":/image/image/") + QLatin1String(icon)));
    // The display keeps the keyboard: a space typed after a click must reach the phone.
    button->setFocusPolicy(Qt::NoFocus);
    button->setAutoRaise(true);
    return button;
}

void ZqPhoneForm::buildWidgets()
{
    setStyleSheet(theme::styled(QLatin1String(formStyle)));
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    setPalette(black);

    m_title = new QWidget(this);
    m_title->setObjectName(QStringLiteral("wTitle"));
    m_title->setGeometry(0, 0, 388, phonegeom::titleHeight);
    m_titleLabel = new QLabel(m_deviceName + QLatin1Char('(') + m_deviceNo + QLatin1Char(')'), m_title);
    m_titleLabel->setObjectName(QStringLiteral("lblTitle"));
    m_titleLabel->setGeometry(12, 4, 240, 24);
    m_btnMin = addButton(m_title, "btnMin", QString(), "min_min.png");
    m_btnMaxRestore = addButton(m_title, "btnMaxRestore", QString(), "max_min.png");
    m_btnClose = addButton(m_title, "btnClose", QString(), "close_min.png");
    m_btnMin->setGeometry(294, 4, 24, 24);
    m_btnMaxRestore->setGeometry(324, 4, 24, 24);
    m_btnClose->setGeometry(354, 4, 24, 24);

    m_right = new QWidget(this);
    m_right->setObjectName(QStringLiteral("wRight"));
    m_right->setGeometry(360, 33, phonegeom::rightWidth, 640);
    struct Tool
    {
        const char *name;
        const char *text;
        const char *icon;
        int y;
        int height;
        bool shown;
    };
    const Tool tools[] = {
        {"btnVolAdd", "音\n量\n+", "voladd_dev.png", 8, 78, true},
        {"btnVolSub", "音\n量\n-", "volsub_dev.png", 88, 78, true},
        {"btnUpload", "上\n传", "upload_dev.png", 168, 68, true},
        {"btnRestart", "重\n启", "restart_dev.png", 238, 68, true},
        {"btnScreenshot", "截\n图", "screenshot.png", 306, 68, true},
        {"btnRecord", "录\n制", "record_dev.png", 376, 68, true},
        {"btnReset", "恢\n复\n出\n厂", "reset_dev.png", 446, 90, false},
        {"btnRenewal", "续\n费", "renewal_dev.png", 536, 68, false},
        {"btnExit", "退\n出", "exit_dev.png", 604, 68, false},
    };
    for (const Tool &tool : tools) {
        QToolButton *button = addButton(m_right, tool.name, QString::fromUtf8(tool.text), tool.icon);
        button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        button->setIconSize(QSize(16, 16));
        button->setGeometry(2, tool.y, 24, tool.height);
        button->setVisible(tool.shown);
    }

    m_btnRecord = m_right->findChild<QToolButton *>(QStringLiteral("btnRecord"));
    m_btnRecord->setToolTip(QStringLiteral("录制本窗口的操作，之后可在“批量管理”中回放"));

    m_bottom = new QWidget(this);
    m_bottom->setObjectName(QStringLiteral("wBottom"));
    m_bottom->setGeometry(0, 672, 388, phonegeom::bottomHeight);
    m_btnMission = addButton(m_bottom, "btnMission", QStringLiteral("任务"), "mission_dev.png");
    m_btnDesktop = addButton(m_bottom, "btnDesktop", QStringLiteral("桌面"), "desktop_dev.png");
    m_btnReturn = addButton(m_bottom, "btnReturn", QStringLiteral("返回"), "return_dev.png");
    for (QToolButton *button : {m_btnMission, m_btnDesktop, m_btnReturn}) {
        button->resize(38, 38);
        button->setIconSize(QSize(22, 22));
        button->setToolTip(button->text());
    }

    for (QWidget *bar : {m_title, m_right, m_bottom})
        bar->installEventFilter(this);
    QMetaObject::connectSlotsByName(this);
}

void ZqPhoneForm::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    const int w = width();
    const int h = height();
    m_title->setGeometry(0, 0, w, phonegeom::titleHeight);
    m_right->setGeometry(w - phonegeom::rightWidth, phonegeom::titleHeight, phonegeom::rightWidth,
                         h - phonegeom::frameHeight);
    m_bottom->setGeometry(0, h - phonegeom::bottomHeight, w, phonegeom::bottomHeight);
    if (m_display)
        m_display->setGeometry(0, phonegeom::titleHeight, w - phonegeom::frameWidth,
                               h - phonegeom::frameHeight);
    const int button = m_btnDesktop->width();
    m_btnDesktop->move((w - button) / 2, 4);
    m_btnMission->move((w / 2 - button) / 2, 4);
    m_btnReturn->move(w / 2 + (w / 2 - button) / 2, 4);
    m_btnClose->move(w - 34, 4);
    m_btnMaxRestore->move(w - 64, 4);
    m_btnMin->move(w - 94, 4);
}

bool ZqPhoneForm::event(QEvent *event)
{
    if (!PhoneEvent::isBusEvent(event))
        return QWidget::event(event);
    const ZQSlotMsg &msg = static_cast<PhoneEvent *>(event)->message();
    if (msg.type == Msg::minimizeControlWindow) {
        on_btnMin_clicked();
    } else if (msg.type == Msg::phoneRotated) {
        const payload::Rotation rotation = payload::Rotation::read(msg.text);
        if (rotation.deviceId == m_deviceId && rotation.rotation)
            applyRotation(*rotation.rotation);
    }
    return true;
}

QRect ZqPhoneForm::availableGeometry()
{
    QScreen *screen = QGuiApplication::screenAt(QPoint(0, 0));
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen->availableGeometry();
}

void ZqPhoneForm::applyRotation(int rotation)
{
    if (phonegeom::sameOrientation(rotation, m_rotation)) {
        m_rotation = rotation;
        return;
    }
    const QRect available = availableGeometry();
    const bool toLandscape = height() - phonegeom::frameHeight > width() - phonegeom::frameWidth;
    bool fitted = false;
    const QSize turned = phonegeom::rotatedSize(size(), available.size(), &fitted);
    if (toLandscape)
        qDebug() << "竖屏变横屏" << turned << "desk:" << available;
    else if (fitted)
        qDebug() << "横屏变竖屏,超屏" << turned << "desk:" << available;
    else
        qDebug() << "横屏变竖屏" << turned << "desk:" << available;
    m_rotation = rotation;
    resize(turned);
    update();
}

void ZqPhoneForm::setSyncMaster(bool master)
{
    m_isSyncMaster = master;
    m_display->setSyncMaster(master);
}

void ZqPhoneForm::paintBar(QWidget *bar)
{
    QPainter painter(bar);
    if (bar == m_title) {
        // Taller than the bar, so that only the top corners come out rounded.
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(accent);
        painter.drawRoundedRect(QRect(0, 0, bar->width(), 42), 6, 6);
    } else {
        painter.fillRect(bar->rect(), Qt::black);
    }
}

bool ZqPhoneForm::eventFilter(QObject *watched, QEvent *event)
{
    auto *bar = qobject_cast<QWidget *>(watched);
    if (bar && (bar == m_title || bar == m_right || bar == m_bottom)) {
        switch (event->type()) {
        case QEvent::Paint:
            paintBar(bar);
            return true;
        case QEvent::MouseButtonPress:
        case QEvent::MouseMove:
        case QEvent::MouseButtonRelease:
            return barMouse(bar, static_cast<QMouseEvent *>(event));
        case QEvent::Leave:
            bar->unsetCursor();
            break;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

bool ZqPhoneForm::barMouse(QWidget *bar, QMouseEvent *event)
{
    const QPoint pos = bar->mapTo(this, event->pos());
    const QPoint delta = event->globalPos() - m_pressGlobal;
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        if (event->button() != Qt::LeftButton)
            return false;
        m_pressGlobal = event->globalPos();
        m_pressGeometry = geometry();
        m_resizeEdge = phonegeom::resizeEdge(pos, size());
        m_dragging = m_title->isVisible() && m_title->geometry()
                                                 .adjusted(phonegeom::border, phonegeom::border,
                                                           -phonegeom::border, -phonegeom::border)
                                                 .contains(pos);
        return true;
    case QEvent::MouseMove:
        if (event->buttons() & Qt::LeftButton) {
            if (m_dragging)
                move(m_pressGeometry.topLeft() + delta);
            else if (m_resizeEdge != phonegeom::NoEdge)
                setGeometry(phonegeom::draggedGeometry(m_pressGeometry, m_resizeEdge, delta));
            return true;
        }
        bar->setCursor(cursorFor(phonegeom::resizeEdge(pos, size())));
        return false;
    case QEvent::MouseButtonRelease:
        if (event->button() != Qt::LeftButton)
            return false;
        if (m_dragging) {
            move(m_pressGeometry.topLeft() + delta);
        } else if (m_resizeEdge != phonegeom::NoEdge) {
            const bool portrait = m_pressGeometry.height() > m_pressGeometry.width();
            resize(phonegeom::fitToAspect(size(), m_resizeEdge, portrait, availableGeometry().size()));
        }
        m_dragging = false;
        m_resizeEdge = phonegeom::NoEdge;
        return true;
    default:
        return false;
    }
}

void ZqPhoneForm::closeEvent(QCloseEvent *event)
{
    // However the window goes, the main window must forget it.
    post(Msg::controlWindowClosed, payload::DeviceRef{m_deviceId}.json());
    // At once, not at the deferred deletion: the next window opened may already become the master.
    endSync();
    QWidget::closeEvent(event);
}

void ZqPhoneForm::closePhone()
{
    if (m_connectedWindow) {
        cc_core_close_phone(m_connectedWindow);
        m_connectedWindow = 0;
    }
}

void ZqPhoneForm::on_btnClose_clicked()
{
    closePhone();
    close();
}

void ZqPhoneForm::on_btnMaxRestore_clicked()
{
    if (m_fitState != Normal) {
        m_fitState = Normal;
        if (isMinimized())
            showNormal();
        if (m_savedGeometry.isValid()) {
            move(m_savedGeometry.topLeft());
            resize(m_savedGeometry.size());
        }
        return;
    }
    m_savedGeometry = geometry();
    const bool portrait = m_savedGeometry.height() > m_savedGeometry.width();
    m_fitState = FittedToScreen;
    const QRect available = availableGeometry();
    const QSize fitted =
        phonegeom::fitToAspect(available.size(), phonegeom::NoEdge, portrait, available.size());
    resize(fitted);
    const int x = fitted.width() > fitted.height() ? available.x() + (available.width() - fitted.width()) / 2
                                                   : m_savedGeometry.x();
    move(x, available.y());
}

void ZqPhoneForm::on_btnMin_clicked()
{
    m_fitState = Minimised;
    showMinimized();
}

void ZqPhoneForm::sendFunctionKey(int code, bool mirrored)
{
    if (!mayOperate(m_cloudPhoneId)) {
        qDebug() << "key" << code << "ignored: restricted phone" << m_deviceId;
        return;
    }
    m_display->sendFunctionKey(code);
    m_display->keep(SyncFunctionKey, code, QByteArray(), mirrored);
}

void ZqPhoneForm::on_btnReturn_clicked()
{
    sendFunctionKey(CC_KEY_BACK, true);
}

void ZqPhoneForm::on_btnDesktop_clicked()
{
    sendFunctionKey(CC_KEY_HOMEPAGE, true);
}

void ZqPhoneForm::on_btnMission_clicked()
{
    sendFunctionKey(CC_KEY_APPSELECT, true);
}

void ZqPhoneForm::on_btnVolAdd_clicked()
{
    sendFunctionKey(CC_KEY_VOLUMEUP, false);
}

void ZqPhoneForm::on_btnVolSub_clicked()
{
    sendFunctionKey(CC_KEY_VOLUMEDOWN, false);
}

void ZqPhoneForm::on_btnUpload_clicked()
{
    if (!mayOperate(m_cloudPhoneId))
        return;
    post(Msg::uploadFiles, {{QStringLiteral("deviceId"), m_deviceId},
                            {QStringLiteral("deviceName"), m_deviceName},
                            {QStringLiteral("deviceUcId"), m_deviceUcId},
                            {QStringLiteral("deviceUcIdTimestamp"), QString::number(m_deviceUcIdTimestamp)}});
}

void ZqPhoneForm::on_btnRestart_clicked()
{
    if (!mayOperate(m_cloudPhoneId))
        return;
    if (!account().restartPhones) {
        qDebug() << "restart not available without the account's inventory," << m_deviceId;
        return;
    }
    closePhone();
    // The request waits for the service in a local event loop, in which this window may be closed.
    QPointer<ZqPhoneForm> self(this);
    account().restartPhones(QString::number(m_cloudPhoneId), QStringLiteral("3"));
    if (self)
        close();
}

void ZqPhoneForm::on_btnScreenshot_clicked()
{
    if (m_hasIdentity)
        sdkManager.requestScreencap(m_identity);
}

void ZqPhoneForm::on_btnRecord_clicked()
{
    if (m_recorder) {
        stopRecording();
        return;
    }
    if (!mayOperate(m_cloudPhoneId) || !m_display->hasIdentity())
        return;
    const QString name = m_deviceName + QLatin1Char(' ') +
                         QDateTime::currentDateTime().toString(QStringLiteral("MM-dd hh:mm:ss"));
    m_recorder = std::make_unique<macro::Recorder>(name, m_rotation);
    m_display->setRecorder(m_recorder.get());
    m_btnRecord->setText(QStringLiteral("停\n止"));
    m_btnRecord->setIcon(QIcon(QStringLiteral(":/image/image/recording_dev.png")));
    m_btnRecord->setToolTip(QStringLiteral("正在录制，点击停止并保存"));
    qDebug() << "macro recording started:" << name << "rotation" << m_rotation;
}

void ZqPhoneForm::stopRecording()
{
    if (!m_recorder)
        return;
    m_display->setRecorder(nullptr);
    auto recording = std::make_shared<const macro::Recording>(m_recorder->take());
    m_recorder.reset();
    m_btnRecord->setText(QStringLiteral("录\n制"));
    m_btnRecord->setIcon(QIcon(QStringLiteral(":/image/image/record_dev.png")));
    m_btnRecord->setToolTip(QStringLiteral("录制本窗口的操作，之后可在“批量管理”中回放"));
    qDebug() << "macro recording stopped:" << recording->name << recording->steps.size() << "events";
    if (recording->steps.empty()) {
        postNotice(QStringLiteral("没有录到任何操作，脚本未保存"));
        return;
    }
    const auto save = [recording] {
        QString error;
        const QString path = macro::save(dataDirectory(), *recording, &error);
        qDebug() << "macro saved:" << path << error;
        postNotice(path.isEmpty() ? error
                                  : QStringLiteral("脚本“%1”已保存，共 %2 个操作")
                                        .arg(recording->name)
                                        .arg(recording->steps.size()));
    };
    if (!onPool("macro save", save))
        save(); // the program is ending; the file is written all the same
}

void ZqPhoneForm::dragEnterEvent(QDragEnterEvent *event)
{
    if (mayOperate(m_cloudPhoneId) && !droppedLocalFiles(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void ZqPhoneForm::dropEvent(QDropEvent *event)
{
    const QStringList files = droppedLocalFiles(event->mimeData());
    if (!mayOperate(m_cloudPhoneId) || files.isEmpty())
        return;
    event->acceptProposedAction();
    post(Msg::uploadFiles, payload::UploadRequest{m_deviceId, files, true}.json());
}
