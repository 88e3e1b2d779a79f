#include "ui/zqdeviceleftpanel.h"
#include "ui/zqdeviceleftpanel_p.h"

#include "app/globals.h"
#include "app/messages.h"
#include "app/payloads.h"

#include <QDateTime>
#include <QDebug>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QStandardItemModel>
#include <QTimer>
#include <QTreeView>

#include <memory>
#include <utility>

using namespace leftpanel;

namespace {

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
        post(Msg::phoneChecked, payload::CheckChange{cloudId, false}.json());
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
            post(Msg::phoneChecked, payload::CheckChange{it.key(), false}.json());
    m_restoreStates.clear();
    m_restoreExpanded.clear();
    qDebug() << "rebuildTree, phones:" << m_phoneRows.size();
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
