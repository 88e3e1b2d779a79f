#include "ui/zqdevicelist.h"

#include "api/userinfo.h"
#include "app/globals.h"
#include "app/messages.h"
#include "app/payloads.h"
#include "app/pooltask.h"
#include "app/theme.h"
#include "app/zqslotmsg.h"
#include "phone/sdkmanager.h"
#include "transfer/uploadwindow.h"
#include "ui/zqdevicelistitem.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QGraphicsDropShadowEffect>
#include <QJsonArray>
#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace {

const char *const gridStyle = R"(
QLabel#label { background: white; border-radius: 10px; }
QScrollBar:vertical { width: 8px; background: transparent; margin: 0; }
QScrollBar::handle:vertical { background: @line; border-radius: 2px; min-height: 20px; }
QScrollBar::handle:vertical:hover { background: rgb(235,235,235); }
QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }
QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: transparent; }
)";

// Set on the content widget once rather than on every tile: a style sheet per tile would be parsed
// once per tile.
const char *const tileStyle = R"(
ZqDeviceListItem { background: transparent; }
ZqDeviceListItem QLabel { font-family: "@font"; font-size: 12px; }
ZqDeviceListItem QLabel#lblStatus { color: white; background: rgba(0,0,0,110); }
ZqDeviceListItem QCheckBox::indicator { width: 15px; height: 15px; border: 1px solid @mark; }
ZqDeviceListItem QCheckBox::indicator:checked {
  background: @mark; image: url(:/image/image/selected.png); }
ZqDeviceListItem QCheckBox::indicator:hover { border-color: rgb(138,226,233); }
)";

// Any thread: a tile's status as the grid's Msg::tileStatusChanged.
void postStatus(const QString &deviceId, int status)
{
    post(Msg::tileStatusChanged, payload::TileStatus{deviceId, status}.json());
}

// Posted to the grid itself to apply queued tick changes in a later turn of the event loop.
QEvent::Type drainEventType()
{
    static const QEvent::Type type = QEvent::Type(QEvent::registerEventType());
    return type;
}

} // namespace

ZqDeviceList::ZqDeviceList(QWidget *parent)
    : QWidget(parent), m_scrArea(new QScrollArea(this)), m_content(new QWidget), m_label(new QLabel(this)),
      m_tickTimer(new QTimer(this)), m_pollRunning(std::make_shared<std::atomic<bool>>(false)),
      m_uploads(newPendingUploads())
{
    // Msg::repaintMainWindow: the main window repaints itself then, but a repaint of the window does
    // not reach widgets inside the scroll area's opaque viewport, so the tiles in view repaint here.
    for (int type :
         {Msg::bigView, Msg::mediumView, Msg::smallView, Msg::resetPhones, Msg::restartPhones, Msg::homeKey,
          Msg::clipboardText, Msg::uploadFiles, Msg::tileStatusChanged, Msg::phoneChecked, Msg::moveToGroup,
          Msg::renameByPrefix, Msg::repaintMainWindow, Msg::phoneRenamed})
        g_eventManager.subscribe(type, this);
    m_tiles.reserve(8);

    setObjectName(QStringLiteral("ZqDeviceList"));
    setWindowTitle(QStringLiteral("Form"));
    resize(717, 448);
    setMouseTracking(false);
    setStyleSheet(theme::styled(QString::fromUtf8(gridStyle)));
    m_label->setObjectName(QStringLiteral("label"));
    // The drop shadow sits on a white plate under the scroll area rather than on the scroll area
    // itself: an effect on the scroll area would render and blur it again on every scroll step and
    // every tile repaint.
    m_label->lower();
    auto *shadow = new QGraphicsDropShadowEffect(this);
    shadow->setOffset(0, 0);
    shadow->setBlurRadius(50);
    shadow->setColor(QColor(theme::shadow));
    m_label->setGraphicsEffect(shadow);
    m_scrArea->setObjectName(QStringLiteral("scrArea"));
    m_scrArea->setWidgetResizable(true);
    m_scrArea->setFrameShape(QFrame::NoFrame);
    m_scrArea->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_scrArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_content->setObjectName(QStringLiteral("scrollAreaWidgetContents"));
    // An opaque white scroll area and content: repaints of tiles, scroll steps and the scroll bar
    // stop there and never reach the shadow below.
    QPalette white = m_content->palette();
    white.setColor(QPalette::Window, Qt::white);
    for (QWidget *opaque : {static_cast<QWidget *>(m_scrArea), m_content}) {
        opaque->setPalette(white);
        opaque->setAutoFillBackground(true);
    }
    m_content->setStyleSheet(theme::styled(QString::fromUtf8(tileStyle)));
    m_scrArea->setWidget(m_content);

    // Scrolling and resizing change which tiles are in view.
    m_scrArea->installEventFilter(this);
    m_scrArea->viewport()->installEventFilter(this);
    connect(m_scrArea->verticalScrollBar(), &QScrollBar::valueChanged, this, &ZqDeviceList::updateVisibility);

    connect(m_tickTimer, &QTimer::timeout, this, &ZqDeviceList::onTick);
    m_tickTimer->start(tickMs);
}

ZqDeviceList::~ZqDeviceList()
{
    g_eventManager.unsubscribe(this);
    m_tickTimer->stop();
    stopUploads();
    const QVector<ZqDeviceListItem *> tiles = m_order;
    m_order.clear();
    m_tiles.clear();
    qDeleteAll(tiles);
}

bool ZqDeviceList::event(QEvent *event)
{
    if (event->type() == QEvent::LayoutRequest && m_layoutPending) {
        layoutTiles();
        return true;
    }
    if (event->type() == drainEventType()) {
        applyCheckBacklog();
        return true;
    }
    if (!PhoneEvent::isBusEvent(event))
        return QWidget::event(event);
    handleMessage(static_cast<PhoneEvent *>(event)->message());
    return true;
}

void ZqDeviceList::handleMessage(const ZQSlotMsg &msg)
{
    // A batch action acts on the tiles of every tick that came before it.
    switch (msg.type) {
    case Msg::homeKey:
    case Msg::restartPhones:
    case Msg::resetPhones:
    case Msg::clipboardText:
    case Msg::moveToGroup:
    case Msg::renameByPrefix:
    case Msg::uploadFiles:
        settleChecks();
        break;
    default:
        break;
    }
    switch (msg.type) {
    case Msg::phoneChecked:
        phoneChecked(payload::CheckChange::read(msg.text));
        break;
    case Msg::bigView:
        setDisplayMode(BigView);
        break;
    case Msg::mediumView:
        setDisplayMode(MediumView);
        break;
    case Msg::smallView:
        setDisplayMode(SmallView);
        break;
    case Msg::homeKey:
        homeKey(payload::DeviceRef::read(msg.text).deviceId);
        break;
    case Msg::restartPhones:
        changePhones(payload::DeviceRef::read(msg.text).deviceId, false);
        break;
    case Msg::resetPhones:
        changePhones(payload::DeviceRef::read(msg.text).deviceId, true);
        break;
    case Msg::clipboardText:
        clipboardText(payload::ClipboardAnswer::read(msg.text));
        break;
    case Msg::tileStatusChanged:
        applyStatus(payload::TileStatus::read(msg.text));
        break;
    case Msg::repaintMainWindow:
        for (ZqDeviceListItem *tile : qAsConst(m_order))
            if (tile->previewRequested())
                tile->update();
        break;
    case Msg::moveToGroup:
        moveChecked(msg.text);
        break;
    case Msg::renameByPrefix:
        renameChecked(payload::PrefixAnswer::read(msg.text));
        break;
    case Msg::phoneRenamed:
        phoneRenamed(payload::PhoneName::read(msg.text));
        break;
    case Msg::uploadFiles: {
        const payload::UploadRequest request = payload::UploadRequest::read(msg.text);
        startFileUpload(request.deviceId, request.files);
        break;
    }
    default:
        break;
    }
}

void ZqDeviceList::phoneChecked(const payload::CheckChange &change)
{
    if (!change.checked)
        return;
    m_checkBacklog.append({change.cloudPhoneId, *change.checked});
    // A tree check posts one message per phone. The drain posted now runs after the rest of the
    // burst already queued, so the whole burst is known before the first tile is made.
    if (!m_drainPending) {
        m_drainPending = true;
        QCoreApplication::postEvent(this, new QEvent(drainEventType()), Qt::LowEventPriority);
    }
}

void ZqDeviceList::settleChecks()
{
    const int budget = std::exchange(m_sliceBudgetMs, std::numeric_limits<int>::max());
    applyCheckBacklog();
    m_sliceBudgetMs = budget;
}

void ZqDeviceList::applyCheckBacklog()
{
    m_drainPending = false;
    QElapsedTimer slice;
    slice.start();
    while (m_backlogHead < m_checkBacklog.size()) {
        m_backlogChanged |= applyCheck(m_checkBacklog.at(m_backlogHead++));
        if (slice.elapsed() >= m_sliceBudgetMs && m_backlogHead < m_checkBacklog.size()) {
            // The rest in a later turn, after timers, input and painting had theirs.
            m_drainPending = true;
            QCoreApplication::postEvent(this, new QEvent(drainEventType()), Qt::LowEventPriority);
            return;
        }
    }
    m_checkBacklog.clear();
    m_backlogHead = 0;
    // One layout for the whole batch.
    if (std::exchange(m_backlogChanged, false))
        layoutTiles();
}

bool ZqDeviceList::applyCheck(const CheckChange &change)
{
    if (change.checked) {
        phoneRecord phone;
        if (m_tiles.contains(change.cloudPhoneId) || !g_userInfo ||
            !g_userInfo->findPhone(change.cloudPhoneId, phone))
            return false;
        // The tile registers its phone with the session manager when its own box is checked.
        auto *tile = new ZqDeviceListItem(phone, m_content);
        m_tiles.insert(change.cloudPhoneId, tile);
        m_order.append(tile);
        return true;
    }
    ZqDeviceListItem *tile = m_tiles.take(change.cloudPhoneId);
    if (!tile)
        return false;
    m_order.removeOne(tile);
    sdkManager.erasePhone(change.cloudPhoneId);
    tile->close();
    return true;
}

void ZqDeviceList::setDisplayMode(int mode)
{
    if (mode == m_displayMode)
        return;
    m_displayMode = mode;
    layoutTiles();
}

QList<ZqDeviceListItem *> ZqDeviceList::batchTargets(const QString &deviceId) const
{
    QList<ZqDeviceListItem *> targets;
    if (!deviceId.isEmpty()) {
        for (ZqDeviceListItem *tile : m_order) {
            if (tile->deviceId() == deviceId) {
                targets.append(tile);
                return targets;
            }
        }
        postNotice(QStringLiteral("找不到对应设备"));
        return targets;
    }
    for (ZqDeviceListItem *tile : m_order)
        if (tile->isSelected())
            targets.append(tile);
    if (targets.isEmpty())
        postNotice(QStringLiteral("没有选择设备"));
    return targets;
}

QList<int> ZqDeviceList::checkedIds() const
{
    QList<int> ids;
    for (ZqDeviceListItem *tile : m_order)
        if (tile->isSelected())
            ids.append(tile->cloudPhoneId());
    return ids;
}

void ZqDeviceList::homeKey(const QString &deviceId)
{
    for (ZqDeviceListItem *tile : batchTargets(deviceId))
        sdkManager.sendHomeKey(tile->deviceId(), tile->phone().deviceUcId);
}

void ZqDeviceList::changePhones(const QString &named, bool reset)
{
    const QList<ZqDeviceListItem *> targets = batchTargets(named);
    if (targets.isEmpty()) {
        // An unknown named phone has had its own notice; this one is about an empty selection.
        if (!reset && named.isEmpty())
            postNotice(QStringLiteral("没有勾选设备"));
        return;
    }
    const std::shared_ptr<userInfo> info = g_userInfoHolder;
    if (!info)
        return;
    QList<int> ids;
    QStringList deviceIds;
    for (const ZqDeviceListItem *tile : targets) {
        ids.append(tile->cloudPhoneId());
        deviceIds.append(tile->deviceId());
    }
    // Pool worker, blocking on the service; the tiles learn the outcome from Msg::tileStatusChanged.
    onPool("grid task", [info, ids, deviceIds, reset] {
        const QString list = userInfo::joinIds(ids);
        const bool done = reset ? info->resetPhones(list, QLatin1String(phoneIdType))
                                : info->restartPhones(list, QLatin1String(phoneIdType));
        if (!done)
            return;
        for (const QString &deviceId : deviceIds)
            postStatus(deviceId,
                       reset ? ZqDeviceListItem::StatusResetting : ZqDeviceListItem::StatusRestarting);
    });
}

void ZqDeviceList::clipboardText(const payload::ClipboardAnswer &request)
{
    QByteArray text = request.text.toUtf8();
    // The library reads the text up to its first zero byte.
    const int end = text.indexOf('\0');
    if (end >= 0)
        text.truncate(end);
    if (text.isEmpty()) {
        postNotice(QStringLiteral("要同步的剪贴板文字为空，请重新输入"));
        return;
    }
    if (text.size() > SdkManager::clipboardTextLimit) {
        // Refused rather than cut: half a text is not what the user asked for. The dialog keeps it.
        postNotice(QStringLiteral("要同步的剪贴板文字超过%1字节，请缩短后重新输入")
                       .arg(SdkManager::clipboardTextLimit));
        return;
    }
    for (ZqDeviceListItem *tile : batchTargets(request.deviceId))
        sdkManager.sendClipboardText(tile->deviceId(), tile->phone().deviceUcId, text);
}

void ZqDeviceList::moveChecked(const QString &groupText)
{
    const std::optional<int> groupId = payload::readGroupId(groupText);
    const std::shared_ptr<userInfo> info = g_userInfoHolder;
    if (!groupId || !info) {
        qDebug() << "move to group: not a group id:" << groupText;
        return;
    }
    // The service answers an empty selection with its own message.
    const QList<int> ids = checkedIds();
    onPool("grid task", [info, ids, groupId = *groupId] { info->movePhones(ids, groupId); });
}

void ZqDeviceList::renameChecked(const payload::PrefixAnswer &request)
{
    const std::shared_ptr<userInfo> info = g_userInfoHolder;
    if (!request.prefix || !info)
        return;
    const QString ids = userInfo::joinIds(checkedIds());
    const QString text = *request.prefix;
    onPool("grid task", [info, ids, text] {
        if (info->prefixRename(ids, text))
            info->reload();
    });
}

void ZqDeviceList::phoneRenamed(const payload::PhoneName &renamed)
{
    // The inventory reload that follows a rename comes much later; the caption should not wait.
    ZqDeviceListItem *tile = m_tiles.value(renamed.cloudPhoneId);
    if (tile && renamed.name)
        tile->setPhoneName(*renamed.name);
}

void ZqDeviceList::applyStatus(const payload::TileStatus &status)
{
    const QString &deviceId = status.deviceId;
    const int value = status.status;
    if (deviceId.isEmpty() || value == 0)
        return;
    for (ZqDeviceListItem *tile : qAsConst(m_order)) {
        if (tile->deviceId() != deviceId)
            continue;
        if (tile->tileStatus() != value) {
            qDebug().noquote() << "tile status, deviceId:" << deviceId << "status:" << value;
            tile->setTileStatus(value);
            tile->updatePreviewVisibility(m_scrArea->viewport()->height(), m_content->y());
        }
        return;
    }
}

void ZqDeviceList::onTick()
{
    if (--m_uploadTicks <= 0) {
        m_uploadTicks = uploadCheckTicks;
        checkPendingUploads();
    }
    if (--m_statusTicks > 0)
        return;
    m_statusTicks = statusPollTicks;
    pollRunningStatus();
}

void ZqDeviceList::pollRunningStatus()
{
    const std::shared_ptr<userInfo> info = g_userInfoHolder;
    if (m_order.isEmpty() || !info || m_pollRunning->exchange(true))
        return;
    struct Watched
    {
        int cloudPhoneId;
        QString deviceId;
        int status;
    };
    QVector<Watched> watched;
    QList<int> ids;
    for (const ZqDeviceListItem *tile : qAsConst(m_order)) {
        watched.append({tile->cloudPhoneId(), tile->deviceId(), tile->tileStatus()});
        ids.append(tile->cloudPhoneId());
    }
    const std::shared_ptr<std::atomic<bool>> running = m_pollRunning;
    // Pool worker: compares with the statuses the tiles had when the poll was queued and reports
    // each change as Msg::tileStatusChanged, which the grid applies on the GUI thread.
    const bool queued = onPool("grid task", [info, watched, ids, running] {
        const QJsonArray states = info->runningStatus(userInfo::joinIds(ids), QLatin1String(phoneIdType));
        for (const QJsonValue &value : states) {
            if (!value.isObject())
                continue;
            const QJsonObject state = value.toObject();
            const int id = state.value(QStringLiteral("id")).toVariant().toInt();
            const int status = state.value(QStringLiteral("runningStatus")).toVariant().toInt();
            if (id == 0 || status == 0)
                continue;
            const auto found = std::find_if(watched.begin(), watched.end(),
                                            [id](const Watched &w) { return w.cloudPhoneId == id; });
            if (found != watched.end() && found->status != status)
                postStatus(found->deviceId, status);
        }
        *running = false;
    });
    if (!queued)
        *running = false;
}
