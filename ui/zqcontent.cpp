#include "ui/zqcontent.h"

#include "app/globals.h"
#include "app/zqslotmsg.h"
#include "ui/zqdevice.h"
#include "ui/zqlogin.h"

ZqContent::ZqContent(QWidget *parent) : QWidget(parent)
{
    g_eventManager.subscribe(190, this);
    g_eventManager.subscribe(191, this);
    setObjectName(QStringLiteral("ZqContent"));
    resize(800, 600);
    setWindowTitle(QStringLiteral("Form"));
    setMouseTracking(false);
    m_device = new ZqDevice(this);
    m_login = new ZqLogin(this);
    m_device->hide();
    m_login->hide();
}

ZqContent::~ZqContent()
{
    g_eventManager.unsubscribe(this);
}

bool ZqContent::event(QEvent *event)
{
    if (!PhoneEvent::isBusEvent(event))
        return QWidget::event(event);
    switch (static_cast<PhoneEvent *>(event)->message().type) {
    case 190:
        m_login->show();
        m_device->hide();
        if (g_config)
            m_login->fillAccount(g_config->account, g_config->password);
        break;
    case 191:
        m_login->hide();
        m_device->show();
        break;
    default:
        break;
    }
    return true;
}

void ZqContent::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_device->setGeometry(rect());
    m_login->setGeometry(rect());
}
