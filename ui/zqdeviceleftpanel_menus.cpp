#include "ui/zqdeviceleftpanel.h"
#include "ui/zqdeviceleftpanel_p.h"

#include "app/globals.h"
#include "app/messages.h"
#include "app/payloads.h"

#include <QAction>
#include <QMenu>
#include <QStandardItemModel>
#include <QTreeView>

#include <memory>

using namespace leftpanel;

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
    post(Msg::openPhone, payload::OpenPhone{phone.deviceId, phone.name, phone.deviceUcId, phone.phoneNo,
                                            phone.cloudPhoneId, phone.deviceUcIdTimestamp}
                             .json());
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
