#include "ui/zqdevicemenu.h"

#include "api/userinfo.h"
#include "app/globals.h"
#include "app/messages.h"
#include "app/payloads.h"
#include "app/theme.h"
#include "app/zqslotmsg.h"
#include "phone/sdkmanager.h"
#include "transfer/billingdownload.h"

#include <QAction>
#include <QGraphicsDropShadowEffect>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QMenu>
#include <QPaintEvent>
#include <QPainter>
#include <QPushButton>
#include <QToolButton>

namespace {

const char *const groupMenuData = "plfz";
constexpr int menuExtraWidth = 38;

const char *const toolbarStyle = R"(
QToolButton {
  font-family: "@font"; font-size: 13px; color: @accent;
  background: white; border: 1px solid @accent; border-radius: 4px; }
QToolButton:hover { background: rgb(132,243,253); }
QToolButton::menu-indicator { image: none; width: 0; }
QToolButton#btnBuy { border: none; }
QPushButton#btnSyncOperation {
  font-family: "@font"; font-size: 13px; color: white; text-align: right;
  border: none; border-radius: 18px; padding: 0 14px 0 40px;
  background-color: @line; background-image: url(:/image/image/round.png);
  background-repeat: no-repeat; background-position: left center; }
QPushButton#btnSyncOperation:checked {
  text-align: left; padding: 0 40px 0 14px;
  background-color: @accent; background-position: right center; }
)";

const char *const menuStyle = R"(
QMenu { background: white; border: 1px solid rgb(235,235,235); padding: 0; }
QMenu::item {
  font-family: "@font"; font-size: 13px; color: rgb(51,51,51);
  height: 38px; padding: 0 20px; background: white; }
QMenu::item:selected { background: @accent; color: white; }
)";

// Menus are translucent white lists a little wider than the button that opens them.
void styleMenu(QMenu *menu, const QWidget *button)
{
    menu->setObjectName(QStringLiteral("ToolButton"));
    menu->setWindowOpacity(0.8);
    menu->setStyleSheet(theme::styled(QString::fromUtf8(menuStyle)));
    menu->setMinimumWidth(button->width() + menuExtraWidth);
}

// The white rounded plate at `plate` with its soft shadow, on a transparent image of `size`.
QImage plateImage(const QSize &size, const QRect &plate)
{
    QImage shape(plate.size(), QImage::Format_ARGB32_Premultiplied);
    shape.fill(Qt::transparent);
    {
        QPainter p(&shape);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::white);
        p.drawRoundedRect(QRectF(shape.rect()), 10, 10);
    }
    QGraphicsScene scene;
    QGraphicsPixmapItem *item = scene.addPixmap(QPixmap::fromImage(shape));
    item->setPos(plate.topLeft());
    auto *shadow = new QGraphicsDropShadowEffect;
    shadow->setOffset(0, 0);
    shadow->setBlurRadius(50);
    shadow->setColor(QColor(theme::shadow));
    item->setGraphicsEffect(shadow);
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    const QRectF all(QPointF(0, 0), QSizeF(size));
    scene.render(&p, all, all);
    return image;
}

QToolButton *toolButton(QWidget *parent, const char *name, const QString &text)
{
    auto *button = new QToolButton(parent);
    button->setObjectName(QLatin1String(name));
    button->setText(text);
    button->resize(ZqDeviceMenu::buttonSize);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

} // namespace

ZqDeviceMenu::Geometry ZqDeviceMenu::geometryFor(int width)
{
    Geometry g;
    g.plate = QRect(10, 27, width - 20, 66);
    g.sync = QRect(QPoint(26, buttonY), switchSize);
    g.restart = QRect(QPoint(174, buttonY), buttonSize);
    g.reset = QRect(QPoint(284, buttonY), buttonSize);
    g.upload = QRect(QPoint(394, buttonY), buttonSize);
    g.plgl = QRect(QPoint(504, buttonY), buttonSize);
    g.displayMode = QRect(QPoint(614, buttonY), buttonSize);
    g.buy = QRect(QPoint(width - buySize.width() - buyRightMargin, buyY), buySize);
    return g;
}

ZqDeviceMenu::ZqDeviceMenu(QWidget *parent)
    : QWidget(parent), m_btnSyncOperation(new QPushButton(this)),
      m_btnRestart(toolButton(this, "btnRestart", QStringLiteral("重启手机"))),
      m_btnReset(toolButton(this, "btnReset", QStringLiteral("恢复出厂"))),
      m_btnUpload(toolButton(this, "btnUpload", QStringLiteral("上传文件"))),
      m_btnPlgl(toolButton(this, "btnPlgl", QStringLiteral("批量管理"))),
      m_btnDisplayMode(toolButton(this, "btnDisplayMode", QStringLiteral("中视图"))),
      m_btnBuy(toolButton(this, "btnBuy", QStringLiteral("购买")))
{
    for (int type : {Msg::bigView, Msg::mediumView, Msg::smallView})
        g_eventManager.subscribe(type, this);

    setObjectName(QStringLiteral("ZqDeviceMenu"));
    setWindowTitle(QStringLiteral("Form"));
    resize(771, 120);
    setStyleSheet(theme::styled(QString::fromUtf8(toolbarStyle)));

    m_btnSyncOperation->setObjectName(QStringLiteral("btnSyncOperation"));
    m_btnSyncOperation->setCheckable(true);
    m_btnSyncOperation->setChecked(false);
    m_btnSyncOperation->setText(QStringLiteral("开启同步"));
    m_btnSyncOperation->setCursor(Qt::PointingHandCursor);

    m_btnBuy->setIcon(QIcon(QStringLiteral(":/image/image/buy.png")));
    m_btnBuy->setIconSize(QSize(24, 24));
    m_btnBuy->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);

    m_displayMenu = makeMenu(m_btnDisplayMode);
    m_displayMenu->addAction(QStringLiteral("大视图"), this, &ZqDeviceMenu::onDisplayModeBig);
    m_displayMenu->addAction(QStringLiteral("中视图"), this, &ZqDeviceMenu::onDisplayModeMid);
    m_displayMenu->addAction(QStringLiteral("小视图"), this, &ZqDeviceMenu::onDisplayModeSml);

    m_plglMenu = makeMenu(m_btnPlgl);
    m_plglMenu->addAction(QStringLiteral("批量启动"), this, &ZqDeviceMenu::onPlqd);
    m_plglMenu->addAction(QStringLiteral("批量停止"), this, &ZqDeviceMenu::onPltz);
    m_plglMenu->addAction(QStringLiteral("批量卸载"), this, &ZqDeviceMenu::onPlxz);
    m_plglMenu->addAction(QStringLiteral("批量命名"), this, &ZqDeviceMenu::onPlmm);
    m_plglMenu->addAction(QStringLiteral("脚本回放"), this, &ZqDeviceMenu::onMacroReplay);
    connect(m_plglMenu, &QMenu::aboutToShow, this, &ZqDeviceMenu::onPlglMenuShow);

    // Billing icons are drawn at the size the display modes use; the toolbar owns that choice.
    g_billingDownload.setIconSize(QSize(16, 16));
    QMetaObject::connectSlotsByName(this);
}

ZqDeviceMenu::~ZqDeviceMenu()
{
    g_eventManager.unsubscribe(this);
}

QMenu *ZqDeviceMenu::makeMenu(QToolButton *button)
{
    auto *menu = new QMenu(this);
    styleMenu(menu, button);
    button->setMenu(menu);
    button->setPopupMode(QToolButton::InstantPopup);
    return menu;
}

void ZqDeviceMenu::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    const Geometry g = geometryFor(width());
    m_btnSyncOperation->setGeometry(g.sync);
    m_btnRestart->setGeometry(g.restart);
    m_btnReset->setGeometry(g.reset);
    m_btnUpload->setGeometry(g.upload);
    m_btnPlgl->setGeometry(g.plgl);
    m_btnDisplayMode->setGeometry(g.displayMode);
    m_btnBuy->setGeometry(g.buy);
}

void ZqDeviceMenu::paintEvent(QPaintEvent *event)
{
    if (m_plate.size() != size())
        m_plate = plateImage(size(), geometryFor(width()).plate);
    QPainter(this).drawImage(event->rect(), m_plate, event->rect());
}

bool ZqDeviceMenu::event(QEvent *event)
{
    if (!PhoneEvent::isBusEvent(event))
        return QWidget::event(event);
    switch (static_cast<PhoneEvent *>(event)->message().type) {
    case Msg::bigView:
        m_btnDisplayMode->setText(QStringLiteral("大视图"));
        break;
    case Msg::mediumView:
        m_btnDisplayMode->setText(QStringLiteral("中视图"));
        break;
    case Msg::smallView:
        m_btnDisplayMode->setText(QStringLiteral("小视图"));
        break;
    default:
        break;
    }
    return true;
}

void ZqDeviceMenu::on_btnSyncOperation_clicked()
{
    const bool on = m_btnSyncOperation->isChecked();
    m_btnSyncOperation->setText(on ? QStringLiteral("关闭同步") : QStringLiteral("开启同步"));
    post(Msg::syncOperation, payload::SyncSwitch{on}.json());
}

void ZqDeviceMenu::on_btnRestart_clicked()
{
    askDialog(Dialog::confirm, Msg::restartPhones,
              {{QStringLiteral("lbl_1_Text"), QStringLiteral("确定要重启已选设备吗？")}});
}

void ZqDeviceMenu::on_btnReset_clicked()
{
    askDialog(Dialog::confirm, Msg::resetPhones,
              {{QStringLiteral("lbl_1_Text"), QStringLiteral("确定要将已选设备恢复出厂吗？")}});
}

void ZqDeviceMenu::on_btnUpload_clicked()
{
    emit pageRequested(UploadPage);
}

void ZqDeviceMenu::on_btnBuy_clicked()
{
    emit pageRequested(BuyPage);
}

void ZqDeviceMenu::displayMode(int message)
{
    g_billingDownload.setIconSize(QSize(16, 16));
    post(message);
}

void ZqDeviceMenu::onDisplayModeBig()
{
    displayMode(Msg::bigView);
}

void ZqDeviceMenu::onDisplayModeMid()
{
    displayMode(Msg::mediumView);
}

void ZqDeviceMenu::onDisplayModeSml()
{
    displayMode(Msg::smallView);
}

void ZqDeviceMenu::onPlqd()
{
    post(Msg::openAppDialog, payload::AppDialogRequest{SdkManager::AppStart}.json());
}

void ZqDeviceMenu::onPltz()
{
    post(Msg::openAppDialog, payload::AppDialogRequest{SdkManager::AppStop}.json());
}

void ZqDeviceMenu::onPlxz()
{
    post(Msg::openAppDialog, payload::AppDialogRequest{SdkManager::AppUninstall}.json());
}

void ZqDeviceMenu::onPlmm()
{
    askDialog(Dialog::prefixInput, Msg::renameByPrefix,
              {{QStringLiteral("lbl_1_Text"), QStringLiteral("请输入新命名(自动添加数字后缀)")}});
}

void ZqDeviceMenu::onMacroReplay()
{
    post(Msg::openMacroDialog);
}

void ZqDeviceMenu::onPlfz()
{
    const auto *entry = qobject_cast<const QAction *>(sender());
    if (!entry)
        return;
    postText(Msg::moveToGroup, QString::number(entry->data().toInt()));
}

void ZqDeviceMenu::onPlglMenuShow()
{
    // Groups change while the program runs: the submenu is built afresh each time the menu opens.
    for (QAction *action : m_plglMenu->actions()) {
        if (action->data().toString() != QLatin1String(groupMenuData))
            continue;
        m_plglMenu->removeAction(action);
        action->menu()->deleteLater();
    }
    auto *groups = new QMenu(QStringLiteral("批量分组"), m_plglMenu);
    styleMenu(groups, m_btnPlgl);
    groups->menuAction()->setData(QLatin1String(groupMenuData));
    if (g_userInfo) {
        for (const groupRecord &group : g_userInfo->ordinaryGroups()) {
            QAction *entry = groups->addAction(group.name, this, &ZqDeviceMenu::onPlfz);
            entry->setShortcut(QKeySequence());
            entry->setData(group.id);
        }
    }
    m_plglMenu->addAction(groups->menuAction());
}
