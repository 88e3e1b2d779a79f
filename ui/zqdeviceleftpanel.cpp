#include "ui/zqdeviceleftpanel.h"
#include "ui/zqdeviceleftpanel_p.h"

#include "app/globals.h"
#include "app/messages.h"
#include "app/payloads.h"
#include "app/theme.h"
#include "app/zqslotmsg.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QStandardItemModel>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

using namespace leftpanel;

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
    setStyleSheet(theme::styled(QString::fromUtf8(panelStyle)));

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
    handleMessage(static_cast<PhoneEvent *>(event)->message());
    return true;
}

void ZqDeviceLeftPanel::handleMessage(const ZQSlotMsg &msg)
{
    userInfo *info = g_userInfo;
    switch (msg.type) {
    case Msg::rebuildTree:
    case Msg::inventoryReloaded:
        rebuildTree();
        break;
    case Msg::createGroup:
        if (info)
            info->createGroup(payload::GroupAnswer::read(msg.text).name);
        break;
    case Msg::removeGroup:
        if (info)
            info->removeGroup(payload::GroupAnswer::read(msg.text).groupId);
        break;
    case Msg::renameGroup:
        if (info) {
            const payload::GroupAnswer group = payload::GroupAnswer::read(msg.text);
            info->renameGroup(group.groupId, group.name);
        }
        break;
    case Msg::renamePhone: {
        const payload::PhoneName answer = payload::PhoneName::readAnswer(msg.text);
        const int cloudId = answer.cloudPhoneId;
        const QString name = answer.name.value_or(QString());
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
        post(Msg::phoneRenamed, payload::PhoneName{cloudId, name}.json());
        break;
    }
    case Msg::checkFirstN: {
        const int count = payload::CountAnswer::read(msg.text).count;
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
    p.setPen(QColor(theme::line));
    p.drawLine(0, 118, width(), 118);
    p.drawLine(width() - 1, 0, width() - 1, height());
}
