#include "ui/zqcontent.h"

#include "app/globals.h"
#include "app/messages.h"
#include "app/pooltask.h"
#include "app/zqslotmsg.h"
#include "phone/queuepreview.h"
#include "ui/zqdevice.h"
#include "ui/zqlogin.h"

#include <QDebug>

ZqContent::ZqContent(QWidget *parent) : QWidget(parent)
{
    g_eventManager.subscribe(Msg::showLoginPage, this);
    g_eventManager.subscribe(Msg::loggedIn, this);
    setObjectName(QStringLiteral("ZqContent"));
    resize(800, 600);
    setWindowTitle(QStringLiteral("Form"));
    setMouseTracking(false);
    m_device = new ZqDevice(this);
    m_login = new ZqLogin(this);
    m_device->hide();
    // The login page is in place before the window first maps: a click or a key that comes as soon
    // as the window shows must find the form, not an empty frame waiting for the posted page switch.
    showLoginPage();
}

void ZqContent::showLoginPage()
{
    qDebug() << "content page: login";
    m_device->hide();
    m_login->show();
    if (g_config)
        m_login->fillAccount(g_config->account, g_config->password);
    m_login->focusFirstEmptyField();
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
    case Msg::showLoginPage:
        // Usually already shown at construction; what the user typed meanwhile stays.
        if (!m_login->isVisibleTo(this))
            showLoginPage();
        break;
    case Msg::loggedIn:
        qDebug() << "content page: device";
        m_login->hide();
        m_device->show();
        startPreviews();
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

void ZqContent::startPreviews()
{
    if (m_previewsStarted)
        return;
    m_previewsStarted = true;
    // Occupies one pool worker until the main window stops the scheduler.
    onPool("preview scheduler", [] { g_queuePreview.runScheduler(); });
}
