#include "ui/zqdeviceleftpanel.h"

#include "app/globals.h"
#include "app/messages.h"
#include "app/zqslotmsg.h"

#include <QAction>
#include <QCheckBox>
#include <QDateTime>
#include <QDebug>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QStandardItemModel>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

#include <algorithm>
#include <memory>
#include <utility>

namespace {

const char *const panelStyle = R"(
QWidget { font-family: "Microsoft YaHei"; }
QTreeView#twDevice { border: none; font-size: 13px; outline: 0; }
QTreeView#twDevice::item { height: 42px; }
QTreeView#twDevice::item:selected { background: rgb(229,247,249); }
QTreeView#twDevice QHeaderView::section {
  height: 48px; font-size: 14px; background: white; border: none;
  border-bottom: 1px solid rgb(217,217,217); }
QTreeView#twDevice::indicator, QCheckBox::indicator {
  width: 15px; height: 15px; border: 1px solid rgb(24,194,208); border-radius: 2px; background: white; }
QTreeView#twDevice::indicator:checked, QCheckBox::indicator:checked {
  background: rgb(24,194,208); image: url(:/image/image/selected.png); }
QCheckBox { font-size: 13px; }
QLabel#lblCount { font-size: 13px; }
QLineEdit#edtSearch { border: 1px solid rgb(217,217,217); border-radius: 4px; padding: 0 8px; font-size: 12px; }
QToolButton { font-size: 13px; border: 1px solid rgb(217,217,217); border-radius: 4px; background: white; }
QToolButton:hover { color: rgb(25,194,209); }
QToolButton#btnSearch { color: white; background: rgb(25,194,209); border: none; }
QToolButton::menu-indicator { image: none; }
QMenu { background: white; border: 1px solid rgb(217,217,217); font-size: 13px; }
QMenu::item { padding: 10px 24px; }
QMenu::item:selected { background: #19C2D1; color: white; }
)";

const QString sortNames[] = {QStringLiteral("默认排序"), QStringLiteral("时间升序"),
                             QStringLiteral("时间降序"), QStringLiteral("名称升序"),
                             QStringLiteral("名称降序")};

const QString keyType = QStringLiteral("type");
const QString keyOrderId = QStringLiteral("orderId");
const QString keyCloudId = QStringLiteral("cloudId");

QString groupText(const QString &name, int count)
{
    return name + QStringLiteral(" (") + QString::number(count) + QStringLiteral("台)");
}

QJsonObject phoneItemData(const phoneRecord &p)
{
    // Filled in place from an object with the same keys: inserting the keys one by one into a new
    // object was the largest part of adding a phone row.
    static const QString keyDevId = QStringLiteral("devId"), keyDevUcId = QStringLiteral("devUcId"),
                         keyName = QStringLiteral("name"), keyPhoneNo = QStringLiteral("phoneNo");
    static const QJsonObject shape{
        {keyType, 0},    {keyDevId, QString()},   {keyDevUcId, QString()}, {keyName, QString()},
        {keyCloudId, 0}, {keyPhoneNo, QString()}, {keyOrderId, 0},         {QStringLiteral("oldOrderId"), 0}};
    QJsonObject data = shape;
    data[keyDevId] = p.deviceId;
    data[keyDevUcId] = p.deviceUcId;
    data[keyName] = p.name;
    data[keyCloudId] = p.cloudPhoneId;
    data[keyPhoneNo] = p.phoneNo;
    data[keyOrderId] = p.groupId;
    return data;
}

QStandardItem *plainCell(const QString &text, int type)
{
    auto *cell = new QStandardItem(text);
    cell->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    // The number and time cells of every row share their two descriptions.
    static const QJsonObject number{{keyType, -1}}, time{{keyType, -2}};
    cell->setData(type == -1   ? number
                  : type == -2 ? time
                               : QJsonObject{{keyType, type}},
                  ZqDeviceLeftPanel::itemDataRole);
    return cell;
}

void setTextIfChanged(QStandardItem *item, const QString &text)
{
    if (item && item->text() != text)
        item->setText(text);
}

} // namespace

ZqDeviceLeftPanel::Batch::Batch(ZqDeviceLeftPanel *panel) : m_panel(panel)
{
    ++m_panel->m_batchDepth;
}

ZqDeviceLeftPanel::Batch::~Batch()
{
    if (--m_panel->m_batchDepth == 0)
        m_panel->flushBatch();
}

ZqDeviceLeftPanel::Quiet::Quiet(ZqDeviceLeftPanel *panel) : m_panel(panel)
{
    ++m_panel->m_quiet;
}

ZqDeviceLeftPanel::Quiet::~Quiet()
{
    --m_panel->m_quiet;
}

ZqDeviceLeftPanel::ZqDeviceLeftPanel(QWidget *parent)
    : QWidget(parent), m_twDevice(new QTreeView(this)), m_model(new QStandardItemModel(0, 3, m_twDevice)),
      m_edtSearch(new QLineEdit(this)), m_btnSearch(new QToolButton(this)),
      m_btnNewGroup(new QToolButton(this)), m_btnRefreshDev(new QToolButton(this)),
      m_chbAllright(new QCheckBox(QStringLiteral("全选"), this)),
      m_chbNo(new QCheckBox(QStringLiteral("反选"), this)),
      m_lblCount(new QLabel(QStringLiteral("(0)"), this)), m_btnMultiChioce(new QToolButton(this)),
      m_retryTimer(new QTimer(this)), m_sliceTimer(new QTimer(this))
{
    for (int type : {Msg::rebuildTree, Msg::inventoryReloaded, Msg::createGroup, Msg::removeGroup,
                     Msg::renameGroup, Msg::renamePhone, Msg::checkFirstN})
        g_eventManager.subscribe(type, this);

    setObjectName(QStringLiteral("ZqDeviceLeftPanel"));
    setWindowTitle(QStringLiteral("Form"));
    resize(287, 655);
    setStyleSheet(QString::fromUtf8(panelStyle));

    m_twDevice->setObjectName(QStringLiteral("twDevice"));
    m_edtSearch->setObjectName(QStringLiteral("edtSearch"));
    m_btnSearch->setObjectName(QStringLiteral("btnSearch"));
    m_btnNewGroup->setObjectName(QStringLiteral("btnNewGroup"));
    m_btnRefreshDev->setObjectName(QStringLiteral("btnRefreshDev"));
    m_chbAllright->setObjectName(QStringLiteral("chbAllright"));
    m_chbNo->setObjectName(QStringLiteral("chbNo"));
    m_lblCount->setObjectName(QStringLiteral("lblCount"));
    m_btnMultiChioce->setObjectName(QStringLiteral("btnMultiChioce"));

    m_model->setHorizontalHeaderLabels(
        {QStringLiteral("设备名称"), QStringLiteral("设备号"), QStringLiteral("剩余时间")});
    m_twDevice->setModel(m_model);
    m_twDevice->setUniformRowHeights(true);
    m_twDevice->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_twDevice->setSelectionMode(QAbstractItemView::SingleSelection);
    m_twDevice->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_twDevice->setContextMenuPolicy(Qt::CustomContextMenu);
    QHeaderView *header = m_twDevice->header();
    header->setDefaultAlignment(Qt::AlignCenter);
    header->setMinimumSectionSize(80);
    header->setStretchLastSection(true);
    header->setSectionsMovable(false);
    m_twDevice->setColumnWidth(0, 180);
    m_twDevice->setColumnWidth(1, 80);
    m_twDevice->setColumnWidth(2, 120);

    m_edtSearch->setPlaceholderText(QStringLiteral("请输入设备号或设备名称进行搜索"));
    m_btnNewGroup->setText(QStringLiteral("新建分组"));
    m_btnRefreshDev->setText(QStringLiteral("刷新设备"));
    m_lblCount->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    m_btnSearch->setText(sortNames[DefaultSort]);
    m_btnSearch->setPopupMode(QToolButton::InstantPopup);
    QMenu *sortMenu = popupMenu(m_btnSearch);
    sortMenu->addAction(sortNames[DefaultSort], this, &ZqDeviceLeftPanel::onDefaultSort);
    sortMenu->addAction(sortNames[TimeAscending], this, &ZqDeviceLeftPanel::onTimeUpSort);
    sortMenu->addAction(sortNames[TimeDescending], this, &ZqDeviceLeftPanel::onTimeDownSort);
    sortMenu->addAction(sortNames[NameAscending], this, &ZqDeviceLeftPanel::onNameUpSort);
    sortMenu->addAction(sortNames[NameDescending], this, &ZqDeviceLeftPanel::onNameDownSort);
    m_btnSearch->setMenu(sortMenu);

    m_btnMultiChioce->setText(QStringLiteral("多选"));
    m_btnMultiChioce->setPopupMode(QToolButton::InstantPopup);
    QMenu *firstMenu = popupMenu(m_btnMultiChioce);
    firstMenu->addAction(QStringLiteral("选择10台"), this, &ZqDeviceLeftPanel::onMultiChioce10);
    firstMenu->addAction(QStringLiteral("选择50台"), this, &ZqDeviceLeftPanel::onMultiChioce50);
    firstMenu->addAction(QStringLiteral("自定义"), this, &ZqDeviceLeftPanel::onMultiChioceSelf);
    m_btnMultiChioce->setMenu(firstMenu);

    connect(m_model, &QStandardItemModel::itemChanged, this, &ZqDeviceLeftPanel::itemCheckChanged);
    connect(m_twDevice, &QWidget::customContextMenuRequested, this,
            &ZqDeviceLeftPanel::onTreeViewMenuReuqested);
    // A rebuild asked for while a reload swaps the inventory in waits until both halves are in.
    m_retryTimer->setSingleShot(true);
    m_retryTimer->setInterval(250);
    connect(m_retryTimer, &QTimer::timeout, this, &ZqDeviceLeftPanel::rebuildTree);
    // The next slice of a large rebuild, once the events that arrived meanwhile are handled.
    m_sliceTimer->setSingleShot(true);
    m_sliceTimer->setInterval(0);
    connect(m_sliceTimer, &QTimer::timeout, this, &ZqDeviceLeftPanel::continueBuild);
    QMetaObject::connectSlotsByName(this);
}

ZqDeviceLeftPanel::~ZqDeviceLeftPanel()
{
    g_eventManager.unsubscribe(this);
}

QMenu *ZqDeviceLeftPanel::popupMenu(QWidget *parent)
{
    auto *menu = new QMenu(parent);
    menu->setObjectName(QStringLiteral("ToolButton"));
    menu->setWindowOpacity(0.8);
    return menu;
}

bool ZqDeviceLeftPanel::event(QEvent *event)
{
    if (!PhoneEvent::isBusEvent(event))
        return QWidget::event(event);
    const ZQSlotMsg &msg = static_cast<PhoneEvent *>(event)->message();
    handleMessage(msg.type, textToJson(msg.text));
    return true;
}

void ZqDeviceLeftPanel::handleMessage(int type, const QJsonObject &payload)
{
    userInfo *info = g_userInfo;
    switch (type) {
    case Msg::rebuildTree:
    case Msg::inventoryReloaded:
        rebuildTree();
        break;
    case Msg::createGroup:
        if (info)
            info->createGroup(payload.value(QStringLiteral("name")).toString());
        break;
    case Msg::removeGroup:
        if (info)
            info->removeGroup(payload.value(keyOrderId).toInt());
        break;
    case Msg::renameGroup:
        if (info)
            info->renameGroup(payload.value(keyOrderId).toInt(),
                              payload.value(QStringLiteral("name")).toString());
        break;
    case Msg::renamePhone: {
        const int cloudId = payload.value(keyCloudId).toInt();
        const QString name = payload.value(QStringLiteral("name")).toString();
        // A refused name stays off the tree and off the other views.
        if (!info || !info->renamePhone(cloudId, name))
            break;
        if (QStandardItem *row = m_phoneRows.value(cloudId)) {
            Quiet quiet(this);
            QJsonObject data = itemData(row);
            data.insert(QStringLiteral("name"), name);
            row->setData(data, itemDataRole);
            row->setText(name);
        }
        post(Msg::phoneRenamed, {{QStringLiteral("phoneId"), cloudId}, {QStringLiteral("name"), name}});
        break;
    }
    case Msg::checkFirstN: {
        const int count = payload.value(QStringLiteral("count")).toInt();
        if (count > 0)
            selectFirstN(count);
        break;
    }
    default:
        break;
    }
}

QJsonObject ZqDeviceLeftPanel::itemData(const QStandardItem *item)
{
    return item ? item->data(itemDataRole).toJsonObject() : QJsonObject();
}

bool ZqDeviceLeftPanel::knownPhone(int cloudId) const
{
    phoneRecord unused;
    return g_userInfo && g_userInfo->findPhone(cloudId, unused);
}

// --- check states ---------------------------------------------------------------------------------

void ZqDeviceLeftPanel::setPhoneCheckState(QStandardItem *row, Qt::CheckState state)
{
    if (!row || row->checkState() == state)
        return;
    const QJsonObject data = itemData(row);
    if (data.value(keyType).toInt(-1) != 0)
        return;
    const int cloudId = data.value(keyCloudId).toInt();
    // Unchecking an unknown phone is allowed: it takes a stale tile away.
    if (state == Qt::Checked && !knownPhone(cloudId))
        return;
    {
        Quiet quiet(this);
        row->setCheckState(state);
    }
    markChanged(row);
    post(Msg::phoneChecked, {{keyCloudId, cloudId}, {QStringLiteral("isChecked"), state == Qt::Checked}});
}

void ZqDeviceLeftPanel::markChanged(QStandardItem *row)
{
    if (QStandardItem *group = row->parent())
        m_dirtyGroups.insert(itemData(group).value(keyOrderId).toInt());
    if (m_batchDepth == 0)
        flushBatch();
}

void ZqDeviceLeftPanel::flushBatch()
{
    const QSet<int> dirty = std::exchange(m_dirtyGroups, {});
    for (int groupId : dirty)
        updateGroupCheckState(groupId);
    refreshCount();
}

void ZqDeviceLeftPanel::updateGroupCheckState(int groupId)
{
    QStandardItem *group = m_groupRows.value(groupId);
    if (!group || group->rowCount() == 0)
        return;
    bool all = true;
    for (int i = 0; i < group->rowCount() && all; ++i)
        all = group->child(i)->checkState() == Qt::Checked;
    const Qt::CheckState state = all ? Qt::Checked : Qt::Unchecked;
    if (group->checkState() != state) {
        Quiet quiet(this);
        group->setCheckState(state);
    }
}

void ZqDeviceLeftPanel::refreshCount()
{
    int checked = 0;
    for (const QStandardItem *row : qAsConst(m_phoneRows))
        checked += row->checkState() == Qt::Checked;
    m_lblCount->setText(QStringLiteral("(%1)").arg(checked));
}

// The model reports every data change; the panel's own are made under m_quiet, so what arrives here is
// the user toggling a check box (by mouse or keyboard).
void ZqDeviceLeftPanel::itemCheckChanged(QStandardItem *item)
{
    if (m_quiet || !item || item->column() != 0)
        return;
    const QJsonObject data = itemData(item);
    switch (data.value(keyType).toInt(-1)) {
    case 0:
        markChanged(item);
        post(Msg::phoneChecked, {{keyCloudId, data.value(keyCloudId).toInt()},
                                 {QStringLiteral("isChecked"), item->checkState() == Qt::Checked}});
        break;
    case 1: {
        Batch batch(this);
        const Qt::CheckState state = item->checkState() == Qt::Checked ? Qt::Checked : Qt::Unchecked;
        for (int i = 0; i < item->rowCount(); ++i)
            setPhoneCheckState(item->child(i), state);
        m_dirtyGroups.insert(data.value(keyOrderId).toInt());
        break;
    }
    default:
        break;
    }
}

QList<QStandardItem *> ZqDeviceLeftPanel::phoneRowsInTreeOrder() const
{
    QList<QStandardItem *> rows;
    rows.reserve(m_phoneRows.size());
    for (int g = 0; g < m_model->rowCount(); ++g) {
        const QStandardItem *group = m_model->item(g);
        for (int i = 0; i < group->rowCount(); ++i)
            rows.append(group->child(i));
    }
    return rows;
}

void ZqDeviceLeftPanel::applyToAllPhones(const std::function<Qt::CheckState(Qt::CheckState)> &next)
{
    Batch batch(this);
    for (QStandardItem *row : phoneRowsInTreeOrder())
        setPhoneCheckState(row, next(row->checkState()));
}

void ZqDeviceLeftPanel::selectFirstN(int n)
{
    if (n < 0)
        return;
    Batch batch(this);
    const QList<QStandardItem *> rows = phoneRowsInTreeOrder();
    int checked = 0;
    for (QStandardItem *row : rows) {
        if (row->checkState() != Qt::Checked)
            continue;
        if (checked < n)
            ++checked;
        else
            setPhoneCheckState(row, Qt::Unchecked);
    }
    for (int i = 0; i < rows.size() && checked < n; ++i) {
        if (rows[i]->checkState() == Qt::Checked)
            continue;
        setPhoneCheckState(rows[i], Qt::Checked);
        checked += rows[i]->checkState() == Qt::Checked;
    }
}

void ZqDeviceLeftPanel::on_chbAllright_clicked()
{
    m_chbNo->setChecked(false);
    const Qt::CheckState state = m_chbAllright->isChecked() ? Qt::Checked : Qt::Unchecked;
    applyToAllPhones([state](Qt::CheckState) { return state; });
}

void ZqDeviceLeftPanel::on_chbNo_clicked()
{
    m_chbAllright->setChecked(false);
    applyToAllPhones([](Qt::CheckState s) { return s == Qt::Unchecked ? Qt::Checked : Qt::Unchecked; });
}

void ZqDeviceLeftPanel::onMultiChioce10()
{
    selectFirstN(10);
}

void ZqDeviceLeftPanel::onMultiChioce50()
{
    selectFirstN(50);
}

void ZqDeviceLeftPanel::onMultiChioceSelf()
{
    askDialog(Dialog::countInput, Msg::checkFirstN);
}

// --- rebuilding -----------------------------------------------------------------------------------

ZqDeviceLeftPanel::Snapshot ZqDeviceLeftPanel::takeSnapshot() const
{
    Snapshot s;
    if (!g_userInfo)
        return s;
    for (int id : {-2, -1}) {
        groupRecord special = g_userInfo->specialGroup(id);
        if (special.id == id && !special.phones.isEmpty())
            s.groups.append(std::move(special));
    }
    s.groups.append(g_userInfo->ordinaryGroups());

    // A reload swaps in the group lists first and the phone map after them; in between the two tell of
    // different inventories. The snapshot is settled when the lists name exactly the phones of the map.
    QSet<int> ids;
    for (const groupRecord &g : qAsConst(s.groups))
        for (const phoneRecord &p : g.phones)
            ids.insert(p.cloudPhoneId);
    s.settled = ids.size() == g_userInfo->phoneCount();
    for (auto it = ids.cbegin(); s.settled && it != ids.cend(); ++it)
        s.settled = knownPhone(*it);
    return s;
}

QStandardItem *ZqDeviceLeftPanel::groupRow(int groupId, const QString &text)
{
    QStandardItem *group = m_groupRows.value(groupId);
    if (group) {
        setTextIfChanged(group, text);
        return group;
    }
    group = new QStandardItem(text);
    group->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    group->setCheckState(Qt::Unchecked);
    group->setData(QJsonObject{{keyType, 1}, {keyOrderId, groupId}}, itemDataRole);
    m_model->appendRow(group);
    m_groupRows.insert(groupId, group);
    if (m_restoreExpanded.remove(groupId))
        m_twDevice->expand(group->index());
    return group;
}

void ZqDeviceLeftPanel::updatePhoneTexts(QStandardItem *row, const phoneRecord &phone)
{
    const QJsonObject data = phoneItemData(phone);
    if (itemData(row) != data)
        row->setData(data, itemDataRole);
    setTextIfChanged(row, phone.name);
    QStandardItem *parent = row->parent();
    QStandardItem *number = parent->child(row->row(), 1);
    QStandardItem *time = parent->child(row->row(), 2);
    setTextIfChanged(number, phone.phoneNo);
    setTextIfChanged(time, phone.remainTimeStr);
    if (time) {
        const QBrush colour = expiresBefore(phone.endTime, m_expiryLimit) ? QBrush(Qt::red) : QBrush();
        if (time->foreground() != colour)
            time->setForeground(colour);
    }
}

void ZqDeviceLeftPanel::addPhone(QStandardItem *group, const phoneRecord &phone, Qt::CheckState initial)
{
    if (QStandardItem *row = m_phoneRows.value(phone.cloudPhoneId)) {
        QStandardItem *from = row->parent();
        if (from != group) {
            // The phone changed groups: the row moves with its check state.
            qDebug() << "      moveGroupChildItem";
            m_dirtyGroups.insert(itemData(from).value(keyOrderId).toInt());
            m_dirtyGroups.insert(itemData(group).value(keyOrderId).toInt());
            group->appendRow(from->takeRow(row->row()));
        }
        updatePhoneTexts(row, phone);
        return;
    }
    auto *row = new QStandardItem(phone.name);
    row->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
    row->setCheckState(Qt::Unchecked);
    row->setData(phoneItemData(phone), itemDataRole);
    auto *time = plainCell(phone.remainTimeStr, -2);
    if (expiresBefore(phone.endTime, m_expiryLimit))
        time->setForeground(QBrush(Qt::red));
    group->appendRow({row, plainCell(phone.phoneNo, -1), time});
    m_phoneRows.insert(phone.cloudPhoneId, row);

    const auto restored = m_restoreStates.constFind(phone.cloudPhoneId);
    if (restored != m_restoreStates.cend()) {
        // Back after a sort change: the other views already follow this state.
        row->setCheckState(*restored);
        m_restoreStates.erase(restored);
        m_dirtyGroups.insert(itemData(group).value(keyOrderId).toInt());
    } else {
        setPhoneCheckState(row, initial);
    }
}

void ZqDeviceLeftPanel::removePhoneRow(QStandardItem *row)
{
    const int cloudId = itemData(row).value(keyCloudId).toInt();
    // An unchecked phone that is still in the account (it only left the search results) keeps its
    // control window.
    if (row->checkState() == Qt::Checked || !knownPhone(cloudId))
        post(Msg::phoneChecked, {{keyCloudId, cloudId}, {QStringLiteral("isChecked"), false}});
    m_phoneRows.remove(cloudId);
    QStandardItem *group = row->parent();
    m_dirtyGroups.insert(itemData(group).value(keyOrderId).toInt());
    group->removeRow(row->row());
}

void ZqDeviceLeftPanel::removeGroupRow(QStandardItem *group)
{
    while (group->rowCount() > 0)
        removePhoneRow(group->child(group->rowCount() - 1));
    const int groupId = itemData(group).value(keyOrderId).toInt();
    m_groupRows.remove(groupId);
    m_dirtyGroups.remove(groupId);
    m_model->removeRow(group->row());
}

void ZqDeviceLeftPanel::clearTree()
{
    // A build in progress would add to the rows it is about to lose.
    m_sliceTimer->stop();
    m_build.reset();
    m_model->removeRows(0, m_model->rowCount());
    m_phoneRows.clear();
    m_groupRows.clear();
    m_dirtyGroups.clear();
}

void ZqDeviceLeftPanel::rebuildTree()
{
    if (!g_userInfo)
        return;
    m_retryTimer->stop();
    const Snapshot snapshot = takeSnapshot();
    if (!snapshot.settled && g_userInfo->reloadBusy()) {
        m_retryTimer->start();
        return;
    }
    // Rows already added stay; the new build passes over them again and only updates them.
    m_sliceTimer->stop();
    m_build.reset();
    const QString search = m_edtSearch->text();
    m_expiryLimit = expiryLimit(QDateTime::currentDateTime());
    auto build = std::make_unique<Build>();
    {
        Quiet quiet(this);
        Batch batch(this);
        if (m_clearPending) {
            for (QStandardItem *row : qAsConst(m_phoneRows))
                m_restoreStates.insert(itemData(row).value(keyCloudId).toInt(), row->checkState());
            for (QStandardItem *group : qAsConst(m_groupRows))
                if (m_twDevice->isExpanded(group->index()))
                    m_restoreExpanded.insert(itemData(group).value(keyOrderId).toInt());
            clearTree();
            m_clearPending = false;
        }

        if (!search.isEmpty()) {
            // Results follow the inventory: renamed, moved and vanished phones are accounted for.
            if (snapshot.settled)
                m_searchResults = searchMatches(snapshot.groups, search);
            groupRecord results;
            results.id = searchGroupId;
            results.phones = m_searchResults;
            sortPhones(results.phones, m_sortMode);
            QStandardItem *group =
                groupRow(searchGroupId, groupText(QStringLiteral("搜索分组"), results.phones.size()));
            m_twDevice->expand(group->index());
            build->search = true;
            build->initial = Qt::Unchecked;
            build->groups.append(std::move(results));
        } else {
            build->groups = snapshot.groups;
            for (groupRecord &g : build->groups) {
                build->groupIds.insert(g.id);
                groupRow(g.id, groupText(g.name, g.phones.size()));
                sortPhones(g.phones, m_sortMode);
            }
        }
        for (const groupRecord &g : qAsConst(build->groups))
            for (const phoneRecord &p : g.phones)
                build->phoneIds.insert(p.cloudPhoneId);
    }
    m_build = std::move(build);
    continueBuild();
}

void ZqDeviceLeftPanel::continueBuild()
{
    if (!m_build)
        return;
    Quiet quiet(this);
    Batch batch(this);
    if (!addRows(*m_build)) {
        m_sliceTimer->start();
        return;
    }
    const std::unique_ptr<Build> done = std::move(m_build);
    finishBuild(*done);
}

bool ZqDeviceLeftPanel::addRows(Build &build)
{
    // A turn adds rows until it has used its time, but always a few, so that a small tree is built at
    // once and a large one still moves on a loaded machine.
    constexpr int minimumRows = 100;
    constexpr qint64 sliceMs = 15;
    QElapsedTimer clock;
    clock.start();
    int added = 0;
    for (; build.group < build.groups.size(); ++build.group, build.phone = 0) {
        const groupRecord &g = build.groups.at(build.group);
        QStandardItem *group = m_groupRows.value(g.id);
        for (; group && build.phone < g.phones.size(); ++build.phone) {
            if (added >= m_sliceRows || (added >= minimumRows && clock.elapsed() >= sliceMs))
                return false;
            addPhone(group, g.phones.at(build.phone), build.initial);
            ++added;
        }
    }
    return true;
}

void ZqDeviceLeftPanel::finishBuild(const Build &build)
{
    if (build.search) {
        if (QStandardItem *group = m_groupRows.value(searchGroupId))
            for (int i = group->rowCount() - 1; i >= 0; --i)
                if (!build.phoneIds.contains(itemData(group->child(i)).value(keyCloudId).toInt()))
                    removePhoneRow(group->child(i));
    } else {
        const QList<int> shownPhones = m_phoneRows.keys();
        for (int id : shownPhones)
            if (!build.phoneIds.contains(id))
                removePhoneRow(m_phoneRows.value(id));
        const QList<int> shownGroups = m_groupRows.keys();
        for (int id : shownGroups)
            if (!build.groupIds.contains(id))
                removeGroupRow(m_groupRows.value(id));
    }

    // Phones that were in the tree before it was emptied and are not back leave the other views, as
    // removed rows do.
    for (auto it = m_restoreStates.cbegin(); it != m_restoreStates.cend(); ++it)
        if (it.value() == Qt::Checked || !knownPhone(it.key()))
            post(Msg::phoneChecked, {{keyCloudId, it.key()}, {QStringLiteral("isChecked"), false}});
    m_restoreStates.clear();
    m_restoreExpanded.clear();
    qDebug() << "rebuildTree, phones:" << m_phoneRows.size();
}

QList<phoneRecord> ZqDeviceLeftPanel::searchMatches(const QList<groupRecord> &groups, const QString &text)
{
    QList<phoneRecord> matches;
    for (const groupRecord &g : groups)
        if (g.id != -1 && g.id != -2)
            for (const phoneRecord &p : g.phones)
                if (p.name.contains(text) || p.phoneNo.contains(text))
                    matches.append(p);
    return matches;
}

void ZqDeviceLeftPanel::sortPhones(QList<phoneRecord> &phones, int mode)
{
    auto by = [&phones](auto less) { std::sort(phones.begin(), phones.end(), less); };
    switch (mode) {
    case TimeAscending:
        by([](const phoneRecord &a, const phoneRecord &b) { return a.endTime < b.endTime; });
        break;
    case TimeDescending:
        by([](const phoneRecord &a, const phoneRecord &b) { return b.endTime < a.endTime; });
        break;
    case NameAscending:
        by([](const phoneRecord &a, const phoneRecord &b) { return a.name < b.name; });
        break;
    case NameDescending:
        by([](const phoneRecord &a, const phoneRecord &b) { return b.name < a.name; });
        break;
    default:
        break;
    }
}

QString ZqDeviceLeftPanel::expiryLimit(const QDateTime &now)
{
    // Rounded hours stay at or below the limit while less than half an hour more has passed; an end
    // time in whole seconds is before that instant exactly when it is before the next whole second.
    const QDateTime limit = now.addMSecs(qint64(expiringHours) * 3600000 + 1800000);
    const int fraction = limit.time().msec();
    return limit.addMSecs(fraction ? 1000 - fraction : 0).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

bool ZqDeviceLeftPanel::expiresBefore(const QString &endTime, const QString &limit)
{
    static const QString shape = QStringLiteral("dddd-dd-dd dd:dd:dd");
    if (endTime.size() != shape.size())
        return false;
    for (int i = 0; i < shape.size(); ++i) {
        const bool digit = endTime[i].isDigit() && endTime[i].unicode() < 128;
        if (shape[i] == QLatin1Char('d') ? !digit : endTime[i] != shape[i])
            return false;
    }
    return endTime < limit;
}

void ZqDeviceLeftPanel::chooseSort(int mode)
{
    if (mode == m_sortMode)
        return;
    m_sortMode = mode;
    m_btnSearch->setText(sortNames[mode]);
    // The rows are rebuilt in the new order; a sort changes no check state.
    m_clearPending = true;
    rebuildTree();
}

void ZqDeviceLeftPanel::onDefaultSort()
{
    chooseSort(DefaultSort);
}

void ZqDeviceLeftPanel::onTimeUpSort()
{
    chooseSort(TimeAscending);
}

void ZqDeviceLeftPanel::onTimeDownSort()
{
    chooseSort(TimeDescending);
}

void ZqDeviceLeftPanel::onNameUpSort()
{
    chooseSort(NameAscending);
}

void ZqDeviceLeftPanel::onNameDownSort()
{
    chooseSort(NameDescending);
}

void ZqDeviceLeftPanel::on_edtSearch_textChanged(const QString &text)
{
    m_chbAllright->setChecked(false);
    {
        Batch batch(this);
        for (QStandardItem *row : phoneRowsInTreeOrder())
            setPhoneCheckState(row, Qt::Unchecked);
    }
    m_searchResults.clear();
    if (!text.isEmpty() && g_userInfo)
        m_searchResults = searchMatches(g_userInfo->ordinaryGroups(), text);
    clearTree();
    m_clearPending = false;
    m_restoreStates.clear();
    m_restoreExpanded.clear();
    rebuildTree();
}

void ZqDeviceLeftPanel::on_btnRefreshDev_clicked()
{
    m_edtSearch->clear();
    m_searchResults.clear();
    if (g_userInfo)
        g_userInfo->reload();
}

// --- menus and dialogs ----------------------------------------------------------------------------

int ZqDeviceLeftPanel::currentPhone() const
{
    const QModelIndex index = m_twDevice->currentIndex().siblingAtColumn(0);
    const QJsonObject data = itemData(m_model->itemFromIndex(index));
    return data.value(keyType).toInt(-1) == 0 ? data.value(keyCloudId).toInt() : 0;
}

int ZqDeviceLeftPanel::currentGroup() const
{
    const QJsonObject data = itemData(m_model->itemFromIndex(m_twDevice->currentIndex().siblingAtColumn(0)));
    return data.value(keyType).toInt(-1) == 1 ? data.value(keyOrderId).toInt() : 0;
}

void ZqDeviceLeftPanel::onTreeViewMenuReuqested(const QPoint &pos)
{
    const QModelIndex index = m_twDevice->indexAt(pos);
    QMenu *menu = popupMenu(this);
    menu->setAttribute(Qt::WA_DeleteOnClose);
    const int type = itemData(m_model->itemFromIndex(index)).value(keyType).toInt(-1);
    if (index.isValid())
        m_twDevice->setCurrentIndex(index);
    if (type == 0) {
        menu->addAction(QStringLiteral("修改名称"), this, &ZqDeviceLeftPanel::menuPhoneRename);
        menu->addAction(QStringLiteral("打开设备"), this, &ZqDeviceLeftPanel::menuPhoneOpen);
        menu->addAction(QStringLiteral("更换设备"), this, &ZqDeviceLeftPanel::menuNewPhone);
        menu->addAction(QStringLiteral("重启手机"), this, &ZqDeviceLeftPanel::menuRestart);
        menu->addAction(QStringLiteral("恢复出厂"), this, &ZqDeviceLeftPanel::menuReset);
        phoneRecord phone;
        if (g_userInfo && g_userInfo->findPhone(currentPhone(), phone)) {
            QMenu *move = menu->addMenu(QStringLiteral("移动到.."));
            move->setMinimumWidth(120);
            for (const groupRecord &g : g_userInfo->ordinaryGroups()) {
                if (g.id == phone.groupId)
                    continue;
                QAction *action = move->addAction(g.name, this, &ZqDeviceLeftPanel::menuMoveNewGroup);
                action->setData(g.id);
            }
        }
    } else if (type == 1) {
        // The name alone: a rename starts from it, without the phone count.
        const int groupId = currentGroup();
        m_selectedGroupText = m_model->itemFromIndex(index)->text();
        if (g_userInfo)
            for (const groupRecord &g : g_userInfo->ordinaryGroups())
                if (g.id == groupId)
                    m_selectedGroupText = g.name;
        menu->addAction(QStringLiteral("删除分组"), this, &ZqDeviceLeftPanel::menuDelGroup);
        menu->addAction(QStringLiteral("重命名分组"), this, &ZqDeviceLeftPanel::menuRenameGroup);
    } else {
        // Beside a phone and on the empty area below the rows.
        menu->addAction(QStringLiteral("新建分组"), this, &ZqDeviceLeftPanel::on_btnNewGroup_clicked);
    }
    menu->popup(m_twDevice->viewport()->mapToGlobal(pos));
}

void ZqDeviceLeftPanel::on_btnNewGroup_clicked()
{
    askDialog(Dialog::nameInput, Msg::createGroup,
              {{QStringLiteral("lbl_1_Text"), QStringLiteral("请输入分组名称")}});
}

void ZqDeviceLeftPanel::menuDelGroup()
{
    askDialog(Dialog::confirmRemove, Msg::removeGroup,
              {{QStringLiteral("lbl_1_Text"), QStringLiteral("确定要将该分组删除吗？")},
               {keyOrderId, currentGroup()}});
}

void ZqDeviceLeftPanel::menuRenameGroup()
{
    askDialog(Dialog::renameGroup, Msg::renameGroup,
              {{QStringLiteral("lbl_1_Text"), m_selectedGroupText}, {keyOrderId, currentGroup()}});
}

void ZqDeviceLeftPanel::menuPhoneRename()
{
    phoneRecord phone;
    if (!g_userInfo || !g_userInfo->findPhone(currentPhone(), phone))
        return;
    askDialog(Dialog::renamePhone, Msg::renamePhone,
              {{QStringLiteral("lbl_1_Text"), phone.name}, {keyCloudId, phone.cloudPhoneId}});
}

// The control window is asked for directly, with what a preview tile sends on a click, so that a phone
// without a tile (not checked) opens too.
void ZqDeviceLeftPanel::menuPhoneOpen()
{
    phoneRecord phone;
    if (!g_userInfo || !g_userInfo->findPhone(currentPhone(), phone))
        return;
    post(Msg::openPhone, {{QStringLiteral("deviceId"), phone.deviceId},
                          {QStringLiteral("deviceName"), phone.name},
                          {QStringLiteral("deviceUcId"), phone.deviceUcId},
                          {QStringLiteral("deviceUcIdTimestamp"), QString::number(phone.deviceUcIdTimestamp)},
                          {QStringLiteral("deviceNo"), phone.phoneNo},
                          {QStringLiteral("cloudPhoneId"), QString::number(phone.cloudPhoneId)}});
}

void ZqDeviceLeftPanel::menuRestart()
{
    phoneRecord phone;
    if (!g_userInfo || !g_userInfo->findPhone(currentPhone(), phone))
        return;
    askDialog(Dialog::confirm, Msg::restartPhones,
              {{QStringLiteral("deviceId"), phone.deviceId},
               {QStringLiteral("lbl_1_Text"), QStringLiteral("确定要重启该设备吗？")}});
}

void ZqDeviceLeftPanel::menuReset()
{
    phoneRecord phone;
    if (!g_userInfo || !g_userInfo->findPhone(currentPhone(), phone))
        return;
    askDialog(Dialog::confirm, Msg::resetPhones,
              {{QStringLiteral("lbl_1_Text"), QStringLiteral("确定要将该设备恢复出厂吗？")},
               {QStringLiteral("deviceId"), phone.deviceId}});
}

void ZqDeviceLeftPanel::menuMoveNewGroup()
{
    const auto *action = qobject_cast<QAction *>(sender());
    const int cloudId = currentPhone();
    if (!action || cloudId == 0 || !g_userInfo)
        return;
    g_userInfo->movePhone(action->data().toInt(), cloudId);
    rebuildTree();
}

void ZqDeviceLeftPanel::menuNewPhone()
{
    phoneRecord phone;
    const std::shared_ptr<userInfo> info = g_userInfoHolder;
    if (info && info->findPhone(currentPhone(), phone))
        userInfo::exchangePhone(info, phone.billingId, phone.cloudPhoneId);
}

// --- layout and painting --------------------------------------------------------------------------

void ZqDeviceLeftPanel::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    const int w = width();
    const int h = height();
    m_twDevice->setGeometry(1, 119, w - 2, qMax(0, h - 119));
    m_edtSearch->setGeometry(12, 20, 253, 36);
    m_btnSearch->setGeometry(273, 20, 115, 36);
    m_btnRefreshDev->setGeometry(12, 74, 80, 30);
    m_btnNewGroup->setGeometry(100, 74, 80, 30);
    m_chbAllright->setGeometry(186, 74, 50, 30);
    m_chbNo->setGeometry(236, 74, 50, 30);
    m_btnMultiChioce->setGeometry(290, 79, 46, 20);
    m_lblCount->setGeometry(342, 74, 46, 30);
    m_btnSearch->menu()->setMinimumWidth(m_btnSearch->width() + 38);
    m_btnMultiChioce->menu()->setMinimumWidth(m_btnMultiChioce->width() + 78);
}

void ZqDeviceLeftPanel::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    p.setPen(QColor(217, 217, 217));
    p.drawLine(0, 118, width(), 118);
    p.drawLine(width() - 1, 0, width() - 1, height());
}
