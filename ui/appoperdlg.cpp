#include "ui/appoperdlg.h"

#include "app/globals.h"
#include "app/messages.h"
#include "app/payloads.h"
#include "app/theme.h"
#include "app/zqslotmsg.h"
#include "phone/sdkmanager.h"
#include "ui/dialogframe.h"
#include "ui/packagelist.h"

#include <QCheckBox>
#include <QDebug>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>

namespace {

const char *const dialogRules = R"(
QLabel#lblPrompt { color: @warning; }
QScrollArea#scApp, QWidget#scrollAreaWidgetContents { background: white; border: none; }
AppItem { background: white; border: 1px solid @faintLine; }
AppItem QCheckBox { font-family: "@font"; font-size: 14px; }
AppItem QCheckBox::indicator { width: 15px; height: 15px; border: 1px solid @accent; border-radius: 3px; }
AppItem QCheckBox::indicator:checked { background: @mark; image: url(:/image/image/selected.png); }
)";

using dialogframe::button;

} // namespace

AppItem::AppItem(const QString &packageName, const QString &appName, QWidget *parent)
    : QWidget(parent), m_packageName(packageName), m_appName(appName),
      m_cbAppName(new QCheckBox(appName, this)), m_lblPkgName(new QLabel(packageName, this))
{
    setObjectName(QStringLiteral("AppItem"));
    setAttribute(Qt::WA_StyledBackground);
    resize(itemWidth, itemHeight);
    m_cbAppName->setObjectName(QStringLiteral("cbAppName"));
    m_cbAppName->setGeometry(16, 2, 208, 32);
    m_lblPkgName->setObjectName(QStringLiteral("lblPkgName"));
    m_lblPkgName->setGeometry(225, 2, 368, 32);
}

bool AppItem::isChecked() const
{
    return m_cbAppName->isChecked();
}

void AppItem::setChecked(bool checked)
{
    m_cbAppName->setChecked(checked);
}

AppOperDlg::AppOperDlg(QWidget *parent)
    : QDialog(parent), m_title(dialogframe::addTitleBar(this, QStringLiteral("批量操作APP"), 640)),
      m_lblPrompt(new QLabel(QStringLiteral("启动前请确保设备内已安装该应用，否则将无效"), m_title.bar)),
      m_scApp(new QScrollArea(this)), m_content(new QWidget),
      m_btnCancel(button(this, "btnCancel", QStringLiteral("取消"), QRect(160, 370, 118, 36))),
      m_btnOK(button(this, "btnOK", QStringLiteral("启动"), QRect(362, 370, 118, 36)))
{
    g_eventManager.subscribe(Msg::installedPackages, this);

    setObjectName(QStringLiteral("AppOperDlg"));
    setWindowTitle(QStringLiteral("批量操作APP"));
    resize(640, 420);
    m_lblPrompt->setObjectName(QStringLiteral("lblPrompt"));
    m_lblPrompt->setGeometry(150, 6, 340, 28);
    m_lblPrompt->setAlignment(Qt::AlignCenter);
    m_scApp->setObjectName(QStringLiteral("scApp"));
    m_scApp->setGeometry(4, 46, 632, 320);
    m_scApp->setWidgetResizable(true);
    m_scApp->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_scApp->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_content->setObjectName(QStringLiteral("scrollAreaWidgetContents"));
    m_scApp->setWidget(m_content);

    dialogframe::makeFrameless(this, "AppOperDlg", {QStringLiteral("btnOK"), QStringLiteral("btnCancel")},
                               dialogRules);
    QMetaObject::connectSlotsByName(this);
}

AppOperDlg::~AppOperDlg()
{
    g_eventManager.unsubscribe(this);
}

void AppOperDlg::setOperationType(const QJsonObject &request)
{
    setOperation(payload::AppDialogRequest::fromJson(request).operation);
}

void AppOperDlg::setOperation(int operation)
{
    m_operationType = operation;
    switch (m_operationType) {
    case SdkManager::AppStart:
        m_title.title->setText(QStringLiteral("批量启动"));
        m_btnOK->setText(QStringLiteral("启动"));
        m_lblPrompt->show();
        break;
    case SdkManager::AppStop:
        m_title.title->setText(QStringLiteral("批量停止"));
        m_btnOK->setText(QStringLiteral("停止"));
        m_lblPrompt->hide();
        break;
    case SdkManager::AppUninstall:
        m_title.title->setText(QStringLiteral("批量卸载"));
        m_btnOK->setText(QStringLiteral("卸载"));
        m_lblPrompt->hide();
        break;
    default:
        break;
    }
}

int AppOperDlg::exec()
{
    if (!sdkManager.requestInstalledPackages()) {
        postNotice(QStringLiteral("至少选择一台云手机"));
        close();
        return Rejected;
    }
    return QDialog::exec();
}

void AppOperDlg::addPackages(const QString &list)
{
    for (const InstalledPackage &package : parsePackageList(list)) {
        if (m_appItems.size() == maxPackages)
            break;
        m_appItems.append(new AppItem(package.packageName, package.appName, m_content));
    }
    for (int i = 0; i < m_appItems.size(); ++i) {
        AppItem *item = m_appItems.at(i);
        item->resize(item->width(), AppItem::itemHeight);
        item->move(0, listTop + rowPitch * i);
        item->show();
    }
    m_content->setMinimumHeight(listTop + rowPitch * m_appItems.size() + rowPitch);
    qDebug() << "app dialog:" << m_appItems.size() << "packages listed";
}

bool AppOperDlg::event(QEvent *event)
{
    if (!PhoneEvent::isBusEvent(event))
        return QDialog::event(event);
    const ZQSlotMsg &msg = static_cast<PhoneEvent *>(event)->message();
    if (msg.type == Msg::installedPackages)
        addPackages(msg.text);
    return true;
}

void AppOperDlg::on_btnOK_clicked()
{
    for (const AppItem *item : qAsConst(m_appItems))
        if (item->isChecked())
            sdkManager.operApp(m_operationType, item->packageName());
    close();
}

void AppOperDlg::on_btnCancel_clicked()
{
    close();
}

void AppOperDlg::on_btnClose_clicked()
{
    close();
}
