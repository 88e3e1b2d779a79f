#include "ui/zqdevicelistitem.h"

#include "app/droppedfiles.h"
#include "app/globals.h"
#include "app/messages.h"
#include "app/payloads.h"
#include "app/pooltask.h"
#include "app/zqslotmsg.h"
#include "phone/queuepreview.h"
#include "phone/sdkmanager.h"
#include "transfer/billingdownload.h"

#include <QAction>
#include <QCheckBox>
#include <QDebug>
#include <QDropEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>

namespace {

// Subscribed under the phone's device id, so that targeted messages reach only this tile.
constexpr int tileMessages[] = {Msg::openFromTree, Msg::inventoryReloaded};

const QImage &placeholder()
{
    static const QImage image(QStringLiteral(":/image/image/back_preview.png"));
    return image;
}

} // namespace

ZqDeviceListItem::ZqDeviceListItem(const phoneRecord &phone, QWidget *parent)
    : QWidget(parent), m_phone(phone)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setAcceptDrops(true);
    for (int type : tileMessages)
        g_eventManager.subscribe(type, this, m_phone.deviceId);

    setObjectName(QStringLiteral("ZqDeviceListItem"));
    setWindowTitle(QStringLiteral("Form"));
    resize(173, 246);
    setSelected(g_userInfo && g_userInfo->mayOperate(m_phone.cloudPhoneId));
}

ZqDeviceListItem::~ZqDeviceListItem()
{
    g_eventManager.unsubscribe(this);
    if (m_iconTimer)
        m_iconTimer->stop();
    // A tile that is gone is no longer on screen: its phone costs no more preview requests.
    setPreviewing(false);
}

void ZqDeviceListItem::ensureContents()
{
    if (m_chkSelect)
        return;
    m_lblDeviceId = new QLabel(QStringLiteral("设备号"), this);
    m_chkSelect = new QCheckBox(this);
    m_lblDeviceName = new QLabel(QStringLiteral("设备名"), this);
    m_lblStatus = new QLabel(QStringLiteral("设备状态"), this);
    m_lblBillIcon = new QLabel(this);
    m_iconTimer = new QTimer(this);
    m_lblDeviceId->setObjectName(QStringLiteral("lblDeviceId"));
    m_lblDeviceId->setGeometry(40, 160, 72, 20);
    m_lblDeviceId->setMargin(4);
    m_lblDeviceId->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_chkSelect->setObjectName(QStringLiteral("chkSelect"));
    m_chkSelect->setGeometry(0, 140, 20, 20);
    m_lblDeviceName->setObjectName(QStringLiteral("lblDeviceName"));
    m_lblDeviceName->setGeometry(40, 190, 72, 20);
    m_lblDeviceName->setMargin(4);
    m_lblDeviceName->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_lblStatus->setObjectName(QStringLiteral("lblStatus"));
    m_lblStatus->setGeometry(10, 10, 71, 16);
    m_lblStatus->setAlignment(Qt::AlignCenter);
    m_lblBillIcon->setObjectName(QStringLiteral("lblBillIcon"));
    m_lblBillIcon->setGeometry(30, 220, 16, 16);
    // Clicks on the labels reach the tile (open or toggle), not the labels.
    for (QLabel *label : {m_lblDeviceId, m_lblDeviceName, m_lblStatus, m_lblBillIcon})
        label->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_chkSelect->setChecked(m_selected);
    QMetaObject::connectSlotsByName(this);

    m_lblDeviceId->setText(m_phone.phoneNo);
    m_lblDeviceName->setText(m_phone.name);
    // Children made while the tile is being shown are not shown with it.
    m_lblDeviceId->hide();
    for (QWidget *child : {static_cast<QWidget *>(m_chkSelect), static_cast<QWidget *>(m_lblDeviceName),
                           static_cast<QWidget *>(m_lblBillIcon)})
        child->show();
    showStatus();
    placeContents();

    connect(m_iconTimer, &QTimer::timeout, this, &ZqDeviceListItem::pollBillingIcon);
    m_iconTimer->start(iconPollMs);
    pollBillingIcon();
}

void ZqDeviceListItem::showEvent(QShowEvent *event)
{
    ensureContents();
    QWidget::showEvent(event);
}

void ZqDeviceListItem::setPhoneName(const QString &name)
{
    m_phone.name = name;
    // A tile that was never shown builds its caption from the record when it is.
    if (m_lblDeviceName)
        m_lblDeviceName->setText(name);
}

QString ZqDeviceListItem::statusText(int status)
{
    switch (status) {
    case StatusNormal:
        return QString();
    case StatusOff:
        return QStringLiteral("关机中");
    case StatusRestarting:
        return QStringLiteral("重启中");
    case StatusResetting:
        return QStringLiteral("重置中");
    case StatusDisconnected:
        return QStringLiteral("异常断开");
    default:
        return QStringLiteral("正在连接");
    }
}

void ZqDeviceListItem::setTileStatus(int status)
{
    m_tileStatus = status;
    showStatus();
    if (status > StatusNormal)
        setPreviewing(false);
}

void ZqDeviceListItem::showStatus()
{
    if (!m_lblStatus)
        return;
    m_lblStatus->setText(statusText(m_tileStatus));
    m_lblStatus->setVisible(m_tileStatus != StatusNormal);
}

void ZqDeviceListItem::updatePreviewVisibility(int viewportHeight, int contentOffset)
{
    const int top = y();
    const int bottom = y() + height();
    setPreviewing(m_tileStatus <= StatusNormal && contentOffset + bottom > 0 &&
                  contentOffset + top < viewportHeight);
}

void ZqDeviceListItem::updatePreviewVisibility()
{
    QWidget *content = parentWidget();
    QWidget *viewport = content ? content->parentWidget() : nullptr;
    if (!content || !viewport) {
        setPreviewing(false);
        return;
    }
    updatePreviewVisibility(viewport->height(), content->y());
}

void ZqDeviceListItem::setPreviewing(bool on)
{
    if (on) {
        if (m_previewing && m_previewUcId == m_phone.deviceUcId)
            return;
        g_queuePreview.addPreview(m_phone.deviceId, m_phone.deviceUcId);
        m_previewUcId = m_phone.deviceUcId;
    } else {
        if (!m_previewing)
            return;
        g_queuePreview.removePreview(m_phone.deviceId);
    }
    m_previewing = on;
}

void ZqDeviceListItem::on_chkSelect_toggled(bool checked)
{
    setSelected(checked);
}

void ZqDeviceListItem::setSelected(bool selected)
{
    if (selected == m_selected)
        return;
    if (selected && !(g_userInfo && g_userInfo->mayOperate(m_phone.cloudPhoneId))) {
        // A restricted phone cannot be operated, so it never becomes part of a batch.
        if (m_chkSelect) {
            const QSignalBlocker quiet(m_chkSelect);
            m_chkSelect->setChecked(false);
        }
        return;
    }
    m_selected = selected;
    if (m_chkSelect && m_chkSelect->isChecked() != selected) {
        const QSignalBlocker quiet(m_chkSelect);
        m_chkSelect->setChecked(selected);
    }
    if (selected) {
        qDebug() << "sdkManager.addPhone:" << m_phone.cloudPhoneId << "checked:" << 1;
        sdkManager.addPhone(m_phone.cloudPhoneId, m_phone.deviceId, m_phone.deviceUcId, m_phone.name);
    } else {
        qDebug() << "sdkManager.erasePhone:" << m_phone.cloudPhoneId << "checked:" << 0;
        sdkManager.erasePhone(m_phone.cloudPhoneId);
    }
    post(Msg::tileChecked,
         {{QStringLiteral("deviceId"), m_phone.deviceId}, {QStringLiteral("isChecked"), selected}});
}

void ZqDeviceListItem::menuOpen()
{
    post(Msg::openPhone,
         payload::OpenPhone{m_phone.deviceId, m_phone.name, m_phone.deviceUcId, m_phone.phoneNo,
                            m_phone.cloudPhoneId, m_phone.deviceUcIdTimestamp}
             .json());
}

void ZqDeviceListItem::menuNewPhone()
{
    phoneRecord phone;
    const std::shared_ptr<userInfo> info = g_userInfoHolder;
    if (info && info->findPhoneByDeviceId(m_phone.deviceId, phone))
        userInfo::exchangePhone(info, phone.billingId, phone.cloudPhoneId);
}

void ZqDeviceListItem::menuRestart()
{
    askDialog(Dialog::confirm, Msg::restartPhones,
              {{QStringLiteral("deviceId"), m_phone.deviceId},
               {QStringLiteral("lbl_1_Text"), QStringLiteral("确定要重启该设备吗？")}});
}

void ZqDeviceListItem::menuReset()
{
    askDialog(Dialog::confirm, Msg::resetPhones,
              {{QStringLiteral("lbl_1_Text"), QStringLiteral("确定要将该设备恢复出厂吗？")},
               {QStringLiteral("deviceId"), m_phone.deviceId}});
}

void ZqDeviceListItem::menuHome()
{
    post(Msg::homeKey, payload::DeviceRef{m_phone.deviceId}.json());
}

void ZqDeviceListItem::menuSyncOperation()
{
    askDialog(Dialog::clipboardInput, Msg::clipboardText, {{QStringLiteral("deviceId"), m_phone.deviceId}});
}

void ZqDeviceListItem::menuMoveNewGroup()
{
    auto *action = qobject_cast<QAction *>(sender());
    const std::shared_ptr<userInfo> info = g_userInfoHolder;
    if (!action || !info)
        return;
    const int groupId = action->data().toInt();
    const int cloudPhoneId = m_phone.cloudPhoneId;
    // On the pool: the service call blocks, and the tile may be gone by the time it answers.
    onPool("tile action", [info, groupId, cloudPhoneId] {
        const bool moved = info->movePhone(groupId, cloudPhoneId);
        qDebug() << "move phone" << cloudPhoneId << "to group" << groupId << "result" << moved;
        post(Msg::rebuildTree);
    });
}

void ZqDeviceListItem::pollBillingIcon()
{
    const QPixmap icon = g_billingDownload.billingIconFor(m_phone.deviceId);
    if (icon.isNull())
        return;
    m_billIcon = icon;
    if (m_lblBillIcon)
        m_lblBillIcon->setPixmap(m_billIcon);
    if (m_iconTimer)
        m_iconTimer->stop();
}

void ZqDeviceListItem::refreshPhone()
{
    phoneRecord fresh;
    if (!g_userInfo || !g_userInfo->findPhone(m_phone.cloudPhoneId, fresh))
        return;
    const phoneRecord old = m_phone;
    if (fresh.deviceId != old.deviceId) {
        // An exchanged phone keeps its cloud phone id but gets a new device: previews, messages and
        // the session manager follow the new one.
        setPreviewing(false);
        g_eventManager.unsubscribe(this);
        for (int type : tileMessages)
            g_eventManager.subscribe(type, this, fresh.deviceId);
        if (isSelected()) {
            sdkManager.erasePhone(old.cloudPhoneId);
            sdkManager.addPhone(fresh.cloudPhoneId, fresh.deviceId, fresh.deviceUcId, fresh.name);
        }
        if (m_iconTimer && (m_billIcon.isNull() || fresh.billingId != old.billingId))
            m_iconTimer->start(iconPollMs);
    }
    m_phone = fresh;
    if (m_lblDeviceName && fresh.name != old.name)
        m_lblDeviceName->setText(fresh.name);
    if (m_lblDeviceId)
        m_lblDeviceId->setText(fresh.phoneNo);
    updatePreviewVisibility();
    update();
}

bool ZqDeviceListItem::event(QEvent *event)
{
    // Every new widget is polished in a later turn, and under the grid's style sheet that costs more
    // than making the tile. A hidden tile waits: showing it polishes it first.
    if (event->type() == QEvent::PolishRequest && isHidden())
        return true;
    if (!PhoneEvent::isBusEvent(event))
        return QWidget::event(event);
    switch (static_cast<PhoneEvent *>(event)->message().type) {
    case Msg::inventoryReloaded:
        refreshPhone();
        break;
    case Msg::openFromTree:
        menuOpen();
        break;
    default:
        break;
    }
    return true;
}

void ZqDeviceListItem::paintEvent(QPaintEvent *)
{
    const QImage frame = g_queuePreview.previewImage(m_phone.deviceId);
    QImage canvas(size(), QImage::Format_ARGB32_Premultiplied);
    canvas.fill(QColor(0, 0, 0, 50));
    {
        QPainter p(&canvas);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        const QRect preview(0, 0, width(), height() - captionHeight);
        if (frame.isNull()) {
            p.drawImage(preview, placeholder());
        } else if (frame.width() > frame.height()) {
            // A landscape screen is turned upright to fill the portrait tile.
            p.drawImage(preview, frame.transformed(QTransform().rotate(90)));
        } else {
            p.drawImage(preview, frame);
        }
    }
    QPainter(this).drawImage(0, 0, canvas);
}

void ZqDeviceListItem::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    placeContents();
}

void ZqDeviceListItem::placeContents()
{
    if (!m_chkSelect)
        return;
    const int w = width();
    const int h = height();
    m_chkSelect->move(2, h - 22);
    m_lblBillIcon->move(22, h - 20);
    m_lblDeviceName->setGeometry(40, h - 22, w - 40, 20);
    m_lblStatus->setGeometry(0, h / 2 + 4, w, 22);
}

void ZqDeviceListItem::mousePressEvent(QMouseEvent *event)
{
    QWidget::mousePressEvent(event);
    if (event->button() == Qt::LeftButton) {
        if (QRect(0, 0, width(), height() - checkStripHeight).contains(event->pos()))
            menuOpen();
        else if (rect().contains(event->pos()))
            setSelected(!m_selected);
    } else if (event->button() == Qt::RightButton) {
        showMenu(event->globalPos());
    }
}

void ZqDeviceListItem::showMenu(const QPoint &globalPos)
{
    auto *menu = new QMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->setObjectName(QStringLiteral("tileMenu"));
    menu->addAction(QStringLiteral("打开设备"), this, &ZqDeviceListItem::menuOpen);
    menu->addAction(QStringLiteral("更换设备"), this, &ZqDeviceListItem::menuNewPhone);
    menu->addAction(QStringLiteral("重启手机"), this, &ZqDeviceListItem::menuRestart);
    menu->addAction(QStringLiteral("恢复出厂"), this, &ZqDeviceListItem::menuReset);
    // Home key and clipboard text for this phone; nothing else on the page reaches them.
    menu->addAction(QStringLiteral("返回桌面"), this, &ZqDeviceListItem::menuHome);
    menu->addAction(QStringLiteral("同步剪贴板"), this, &ZqDeviceListItem::menuSyncOperation);
    QMenu *move = menu->addMenu(QStringLiteral("移动到.."));
    if (g_userInfo) {
        const int current = g_userInfo->groupIdOfPhone(m_phone.cloudPhoneId);
        for (const groupRecord &group : g_userInfo->ordinaryGroups()) {
            if (group.id == current)
                continue;
            QAction *action = move->addAction(group.name, this, &ZqDeviceListItem::menuMoveNewGroup);
            action->setData(group.id);
        }
    }
    menu->popup(globalPos);
}

void ZqDeviceListItem::dragEnterEvent(QDragEnterEvent *event)
{
    if (!droppedLocalFiles(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void ZqDeviceListItem::dropEvent(QDropEvent *event)
{
    const QStringList files = droppedLocalFiles(event->mimeData());
    if (files.isEmpty())
        return;
    event->acceptProposedAction();
    post(Msg::uploadFiles, payload::UploadRequest{isSelected() ? QString() : deviceId(), files, true}.json());
}
