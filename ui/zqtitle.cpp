#include "ui/zqtitle.h"

#include "api/userinfo.h"
#include "api/zqhttprequest.h"
#include "app/globals.h"
#include "app/messages.h"
#include "app/theme.h"
#include "app/zqslotmsg.h"
#include "ui/zqtips.h"

#include <QClipboard>
#include <QDebug>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QPainter>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

const QString ZqTitle::customerGroupNumber = QStringLiteral("731564209");

namespace {

const char *const titleStyle = R"(
QToolButton { font: bold 12px "@font"; border: none; background: transparent; color: white; }
QToolButton:hover, QToolButton:pressed, QToolButton:checked { color: @titleHover; }
QToolButton#btnHome, QToolButton#btnDownload, QToolButton#btnQQGroup {
  font-size: 10px; background-repeat: no-repeat; background-position: left center;
  margin-left: 4px; padding-left: 6px; }
QToolButton#btnHome { background-image: url(:/image/image/home.png); }
QToolButton#btnDownload { background-image: url(:/image/image/download_app.png); }
QToolButton#btnQQGroup { background-image: url(:/image/image/qq.png); }
QToolButton#btnMin, QToolButton#btnClose, QToolButton#btnMax {
  background-repeat: no-repeat; background-position: center; }
QToolButton#btnMin { background-image: url(:/image/image/min.png); }
QToolButton#btnClose { background-image: url(:/image/image/close.png); }
QToolButton#btnMax { background-image: url(:/image/image/max.png); }
QToolButton#btnMin:hover, QToolButton#btnClose:hover, QToolButton#btnMax:hover {
  background-color: @accentHover; }
QToolButton#btnUserInfo { background: @accent; }
)";

const char *const packageName = "com.pc.zaqtor";

QString updateCheckUrl(const QString &apiBaseUrl, int versionCode)
{
    return apiBaseUrl + QStringLiteral("/api/tamsu-cloud-phone/v1/package/check-for-updates?packageName=") +
           QLatin1String(packageName) + QStringLiteral("&versionNo=") + QString::number(versionCode) +
           QStringLiteral("&platformId=8&productId=40&statisticsNo=3148&terminal=web");
}

} // namespace

ZqTitle::ZqTitle(QWidget *parent) : QWidget(parent), m_updateTimer(new QTimer(this))
{
    setObjectName(QStringLiteral("ZqTitle"));
    resize(800, 32);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    g_eventManager.subscribe(Msg::loggedIn, this);
    // Before any child exists: a child shown earlier would keep the look it was first polished with.
    setStyleSheet(theme::styled(QString::fromUtf8(titleStyle)));

    auto button = [this](const char *name, QRect geometry, const QString &text, bool shown) {
        auto *b = new QToolButton(this);
        b->setObjectName(QLatin1String(name));
        b->setGeometry(geometry);
        b->setText(text);
        b->setAutoRaise(true);
        b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        b->setVisible(shown);
        return b;
    };
    m_btnClose = button("btnClose", QRect(752, 4, 48, 40), QString(), true);
    m_btnMax = button("btnMax", QRect(714, 4, 48, 40), QString(), false);
    m_btnMax->setIcon(QIcon(QStringLiteral(":/img/img/max.ico")));
    m_btnMin = button("btnMin", QRect(676, 4, 48, 40), QString(), false);
    m_btnMin->setIcon(QIcon(QStringLiteral(":/img/img/min.ico")));
    // Without text, so the icon sits centred on its background like the close button's cross.
    m_btnMax->setToolButtonStyle(Qt::ToolButtonIconOnly);
    m_btnMin->setToolButtonStyle(Qt::ToolButtonIconOnly);
    m_btnUserInfo = button("btnUserInfo", QRect(430, 0, 200, 32), QStringLiteral("未登录"), false);
    m_btnUserInfo->setIconSize(QSize(24, 24));
    m_btnHome = button("btnHome", QRect(350, 0, 160, 32), QStringLiteral("Pelomir云手机官网"), false);
    m_btnDownload = button("btnDownload", QRect(10, 0, 120, 32), QStringLiteral("安卓版下载"), false);
    m_btnCustomerService =
        button("btnCustomerService", QRect(130, 0, 120, 32), QStringLiteral("联系客服"), false);
    m_btnQQGroup = button("btnQQGroup", QRect(240, 0, 120, 32),
                          QStringLiteral("QQ群(") + customerGroupNumber + QLatin1Char(')'), false);

    QMetaObject::connectSlotsByName(this);

    connect(m_updateTimer, &QTimer::timeout, this, &ZqTitle::simpleRunning);
    m_updateTimer->start(10);
}

ZqTitle::~ZqTitle()
{
    g_eventManager.unsubscribe(this);
}

bool ZqTitle::titleDragArea(const QPoint &globalPos) const
{
    const QPoint p = mapFromGlobal(globalPos);
    if (!rect().contains(p))
        return false;
    for (const QToolButton *b :
         {m_btnClose, m_btnMax, m_btnMin, m_btnHome, m_btnDownload, m_btnCustomerService, m_btnQQGroup}) {
        if (!b->isHidden() && b->geometry().contains(p))
            return false;
    }
    return true;
}

QString ZqTitle::maskedPhone(const QString &phone)
{
    if (phone.size() <= 3)
        return phone;
    return phone.left(3) + QStringLiteral("****") + phone.mid(7);
}

QJsonObject ZqTitle::updateRequest(const QString &answer)
{
    const QJsonObject content = textToJson(answer).value(QStringLiteral("content")).toObject();
    if (content.isEmpty())
        return {};
    const int force = content.value(QStringLiteral("forceUpdateState")).toInt();
    const QString url = content.value(QStringLiteral("downloadUrl")).toString();
    if (force != 0) {
        const QString label =
            QStringLiteral("<p><span style=\" color:#ff0000;\">当前版本太低，请更新：</span><a href=\"") +
            url + QStringLiteral("\">点击下载</a></p>");
        qDebug().noquote() << label;
        return QJsonObject{{QStringLiteral("msgId"), Dialog::forcedUpdate},
                           {QStringLiteral("type"), Dialog::forcedUpdate},
                           {QStringLiteral("download"), url},
                           {QStringLiteral("lbl_1_Text"), label}};
    }
    const QString label = QStringLiteral("<html><head/><body><p>当前有新版本可以更新：<a href=\"") + url +
                          QStringLiteral("\">点击下载</a></p></body></html>");
    return QJsonObject{{QStringLiteral("type"), Dialog::updateNotice},
                       {QStringLiteral("download"), url},
                       {QStringLiteral("lbl_1_Text"), label}};
}

void ZqTitle::simpleRunning()
{
    m_updateTimer->stop();
    const QString url = updateCheckUrl(g_config->apiBaseUrl, g_config->versionCode);
    const QString answer = ZqHttpRequest().httpGet(url);
    qDebug().noquote() << QStringLiteral("check-forupdates:") + url + QStringLiteral(",ret:") + answer;
    const QJsonObject request = updateRequest(answer);
    if (request.isEmpty())
        return;
    post(Msg::showDialog, request);
}

void ZqTitle::on_btnClose_clicked()
{
    post(Msg::exitProgram);
}

void ZqTitle::on_btnMax_clicked()
{
    // The icon offers what the next click does: restore while maximised, maximise otherwise.
    const bool wasNormal = m_maxToggle;
    m_maxToggle = !m_maxToggle;
    m_btnMax->setIcon(
        QIcon(wasNormal ? QStringLiteral(":/img/img/restore.ico") : QStringLiteral(":/img/img/max.ico")));
    post(Msg::toggleMaximized);
}

void ZqTitle::on_btnMin_clicked()
{
    post(Msg::minimizeWindow);
}

void ZqTitle::on_btnUserInfo_clicked()
{
    post(Msg::showUserInfo);
}

void ZqTitle::on_btnHome_clicked()
{
    QDesktopServices::openUrl(QUrl(g_config->homeUrl));
}

void ZqTitle::on_btnDownload_clicked()
{
    QDesktopServices::openUrl(QUrl(g_config->androidApp));
}

void ZqTitle::on_btnQQGroup_clicked()
{
    QGuiApplication::clipboard()->setText(customerGroupNumber);
    tipWindowMessage(QStringLiteral("复制成功"));
}

bool ZqTitle::event(QEvent *event)
{
    if (!PhoneEvent::isBusEvent(event))
        return QWidget::event(event);
    if (static_cast<PhoneEvent *>(event)->message().type == Msg::loggedIn)
        showLoggedIn();
    return true;
}

void ZqTitle::showLoggedIn()
{
    m_btnMax->show();
    m_btnMin->show();
    m_btnUserInfo->setIcon(QIcon(QStringLiteral(":/image/image/nologin.png")));
    m_btnUserInfo->setText(maskedPhone(g_userInfo ? g_userInfo->userDetail().phone : QString()));
    m_btnQQGroup->move(width() - 272, 4);
    m_btnQQGroup->show();
    m_btnUserInfo->show();
}

void ZqTitle::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), QColor(theme::accent));
    painter.setRenderHint(QPainter::Antialiasing);
    painter.drawImage(QRect(16, 8, 24, 24), QImage(QStringLiteral(":/image/image/logo.png")));
    painter.setPen(Qt::white);
    QFont font(QLatin1String(theme::font), 10);
    font.setWeight(78);
    painter.setFont(font);
    painter.drawText(QPoint(48, 26), QStringLiteral("Pelomir云手机 v") + g_config->version);
}

void ZqTitle::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    const int w = width();
    m_btnClose->move(w - 50, 0);
    m_btnMax->move(w - 100, 0);
    m_btnMin->move(w - 150, 0);
    m_btnUserInfo->move(204, 4);
    m_btnHome->move(606, 4);
    m_btnDownload->move(766, 4);
    if (g_userInfo && g_userInfo->isLoggedIn())
        m_btnQQGroup->move(w - 272, 4);
}
