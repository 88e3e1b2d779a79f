#include "ui/zqdeviceleftpanel.h"
#include "ui/zqdeviceleftpanel_p.h"

#include "app/globals.h"
#include "app/messages.h"
#include "app/payloads.h"

#include <QCheckBox>
#include <QLabel>
#include <QStandardItemModel>

#include <utility>

using namespace leftpanel;

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
    post(Msg::phoneChecked, payload::CheckChange{cloudId, state == Qt::Checked}.json());
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
        post(Msg::phoneChecked,
             payload::CheckChange{data.value(keyCloudId).toInt(), item->checkState() == Qt::Checked}.json());
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
