#include "ui/zqlogin.h"

#include "api/userinfo.h"
#include "app/globals.h"
#include "app/messages.h"
#include "app/theme.h"
#include "app/zqslotmsg.h"

#include <QDebug>
#include <QDesktopServices>
#include <QEvent>
#include <QLineEdit>
#include <QPainter>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

namespace {

const char *const loginStyle = R"(
QWidget#widgetLogin { background: white; border-radius: 6px; }
QToolButton { font: bold 14px "@font"; border: none; }
QToolButton#btnAccount, QToolButton#btnIdentifyingCode { color: rgb(15,19,19); background: transparent; }
QToolButton#btnAccount:hover, QToolButton#btnAccount:pressed,
QToolButton#btnIdentifyingCode:hover, QToolButton#btnIdentifyingCode:pressed { color: @accentLight; }
QToolButton#btnAccount:checked, QToolButton#btnIdentifyingCode:checked { color: @mark; }
QToolButton#btnLogin, QToolButton#btnConfirm {
  color: white; background: @mark; border-radius: 2px; }
QToolButton#btnLogin:hover, QToolButton#btnLogin:pressed, QToolButton#btnLogin:checked,
QToolButton#btnConfirm:hover, QToolButton#btnConfirm:pressed, QToolButton#btnConfirm:checked {
  background: @accentLight; }
QToolButton#btnLosspass, QToolButton#btnRegister, QToolButton#btnRetLogin {
  font-size: 11px; color: @accentLight; background: transparent; }
QToolButton#btnGetVeriCode { font-size: 12px; color: @mark; background: transparent; }
QToolButton#btnGetVeriCode:disabled { color: rgb(160,160,160); }
)";

QString lineStyle(const char *icon)
{
    return theme::styled(
        QStringLiteral("QLineEdit { border: 1px solid @line; border-radius: 2px; font-size: 12px;"
                       " padding: 2px 2px 2px 20px; background: white url(:/image/image/%1)"
                       " no-repeat left center; }")
            .arg(QLatin1String(icon)));
}

} // namespace

ZqLogin::ZqLogin(QWidget *parent) : QWidget(parent), m_countdown(new QTimer(this))
{
    setObjectName(QStringLiteral("ZqLogin"));
    resize(851, 557);
    setWindowTitle(QStringLiteral("Form"));
    // Before any child exists, so that every child is first polished with it.
    setStyleSheet(theme::styled(QString::fromUtf8(loginStyle)));

    m_widgetLogin = new QWidget(this);
    m_widgetLogin->setObjectName(QStringLiteral("widgetLogin"));
    m_widgetLogin->setGeometry(500, 80, 281, 321);
    m_widgetLogin->setAttribute(Qt::WA_StyledBackground);

    auto button = [this](const char *name, QRect geometry, const QString &text) {
        auto *b = new QToolButton(m_widgetLogin);
        b->setObjectName(QLatin1String(name));
        b->setGeometry(geometry);
        b->setText(text);
        b->setCursor(Qt::PointingHandCursor);
        return b;
    };
    auto edit = [this](const char *name, QRect geometry) {
        auto *e = new QLineEdit(m_widgetLogin);
        e->setObjectName(QLatin1String(name));
        e->setGeometry(geometry);
        return e;
    };
    m_btnAccount = button("btnAccount", QRect(20, 30, 120, 32), QStringLiteral("帐号密码登录"));
    m_btnAccount->setCheckable(true);
    m_btnAccount->setAutoRaise(true);
    m_btnIdentifyingCode =
        button("btnIdentifyingCode", QRect(140, 30, 120, 32), QStringLiteral("验证码登录"));
    m_btnIdentifyingCode->setCheckable(true);
    m_btnIdentifyingCode->setAutoRaise(true);
    m_edtAccount = edit("edtAccount", QRect(20, 100, 240, 30));
    m_edtAccount->setPlaceholderText(QStringLiteral("请输入用户名/手机号"));
    m_edtAccount->setContextMenuPolicy(Qt::NoContextMenu);
    m_edtAccount->setStyleSheet(lineStyle("phone_login.png"));
    m_edtPassword = edit("edtPassword", QRect(20, 140, 240, 30));
    m_edtPassword->setContextMenuPolicy(Qt::NoContextMenu);
    m_btnLogin = button("btnLogin", QRect(20, 180, 240, 30), QStringLiteral("登录"));
    m_btnLosspass = button("btnLosspass", QRect(196, 220, 66, 22), QStringLiteral("忘记密码?"));
    m_btnGetVeriCode = button("btnGetVeriCode", QRect(170, 140, 88, 30), QStringLiteral("获取验证码"));
    m_btnGetVeriCode->setAutoRaise(true);
    m_btnGetVeriCode->setCheckable(true);
    m_btnGetVeriCode->hide();
    m_edtPassword2 = edit("edtPassword2", QRect(20, 60, 240, 30));
    m_edtPassword2->setStyleSheet(lineStyle("pass.png"));
    m_edtPassword2->hide();
    m_btnConfirm = button("btnConfirm", QRect(20, 230, 240, 30), QStringLiteral("确认"));
    m_btnConfirm->hide();
    // Below the panel's normal height, so clipped until the reset mode makes the panel taller.
    m_btnRetLogin = button("btnRetLogin", QRect(196, 280, 66, 22), QStringLiteral("登录"));
    m_btnRegister = button("btnRegister", QRect(20, 220, 60, 22), QStringLiteral("注册"));
    // Enter in the password or code field logs in, as in any login form; not in the reset mode.
    connect(m_edtPassword, &QLineEdit::returnPressed, this, [this] {
        if (m_btnConfirm->isHidden())
            on_btnLogin_clicked();
    });

    m_countdown->setObjectName(QStringLiteral("countdown"));
    connect(m_countdown, &QTimer::timeout, this, &ZqLogin::running);

    m_widgetLogin->resize(m_widgetLogin->width(), panelHeight);
    m_widgetLogin->installEventFilter(this);
    applyAccountMode();
    QMetaObject::connectSlotsByName(this);
}

void ZqLogin::fillAccount(const QString &account, const QString &password)
{
    if (account.isEmpty() || password.isEmpty() || m_edtAccount->isModified() || m_edtPassword->isModified())
        return;
    m_edtAccount->setText(account);
    m_edtPassword->setText(password);
}

void ZqLogin::focusFirstEmptyField()
{
    if (m_edtAccount->text().isEmpty())
        m_edtAccount->setFocus(Qt::OtherFocusReason);
    else
        m_edtPassword->setFocus(Qt::OtherFocusReason);
}

void ZqLogin::applyAccountMode()
{
    m_codeMode = false;
    m_btnIdentifyingCode->setChecked(false);
    m_btnAccount->setChecked(true);
    m_btnGetVeriCode->hide();
    m_edtPassword->setStyleSheet(lineStyle("pass.png"));
    m_edtPassword->resize(m_edtAccount->size());
    m_edtPassword->setEchoMode(QLineEdit::Password);
    m_edtPassword->setPlaceholderText(QStringLiteral("请输入密码"));
    m_edtPassword->clear();
    update();
    m_widgetLogin->update();
}

void ZqLogin::makeCodeField()
{
    m_edtPassword->setStyleSheet(lineStyle("verification.png"));
    m_edtPassword->resize(m_edtAccount->width() - m_btnGetVeriCode->width() - 8, m_edtAccount->height());
    m_edtPassword->setEchoMode(QLineEdit::Normal);
    m_edtPassword->setPlaceholderText(QStringLiteral("请输入验证码"));
    m_edtPassword->clear();
}

void ZqLogin::on_btnAccount_clicked()
{
    // In reset mode the tab is only a heading.
    if (!m_btnConfirm->isHidden()) {
        m_btnAccount->setChecked(true);
        return;
    }
    applyAccountMode();
}

void ZqLogin::on_btnIdentifyingCode_clicked()
{
    m_codeMode = true;
    m_btnIdentifyingCode->setChecked(true);
    m_btnAccount->setChecked(false);
    m_btnGetVeriCode->show();
    makeCodeField();
    update();
    m_widgetLogin->update();
}

void ZqLogin::on_btnLogin_clicked()
{
    if (m_requestRunning)
        return;
    const QString account = m_edtAccount->text();
    const QString secret = m_edtPassword->text();
    const bool smsMode = m_codeMode;
    m_requestRunning = true;
    const bool ok = g_userInfo->login(account, secret, smsMode);
    m_requestRunning = false;
    if (!ok) {
        qDebug() << "login return false.....";
        return;
    }
    g_config->account = account;
    if (!smsMode)
        g_config->password = secret;
    g_config->save();
    post(Msg::loggedIn);
}

void ZqLogin::on_btnGetVeriCode_clicked()
{
    if (m_counting || m_requestRunning)
        return;
    m_requestRunning = true;
    const bool ok = g_userInfo->sendVerifyCode(m_edtAccount->text());
    m_requestRunning = false;
    if (!ok)
        return;
    m_countdown->start(1000);
    m_counting = true;
    m_seconds = countdownSeconds - 1;
    m_btnGetVeriCode->setText(QString::number(countdownSeconds));
    m_btnGetVeriCode->setEnabled(false);
    m_btnGetVeriCode->setCheckable(false);
}

void ZqLogin::running()
{
    m_btnGetVeriCode->setText(QString::number(m_seconds));
    --m_seconds;
    if (m_seconds < 0) {
        m_countdown->stop();
        m_btnGetVeriCode->setText(QStringLiteral("获取验证码"));
        m_btnGetVeriCode->setEnabled(true);
        m_btnGetVeriCode->setCheckable(true);
        m_counting = false;
    }
}

void ZqLogin::on_btnLosspass_clicked()
{
    m_widgetLogin->resize(m_widgetLogin->width(), m_widgetLogin->height() + 30);
    m_btnAccount->setText(QStringLiteral("忘记密码"));
    m_btnIdentifyingCode->hide();
    m_btnRegister->move(m_btnRegister->x(), m_btnRegister->y() + 60);
    m_btnLosspass->hide();
    m_edtPassword2->show();
    m_edtPassword2->move(m_btnLogin->pos());
    m_btnGetVeriCode->show();
    makeCodeField();
    m_edtPassword2->setEchoMode(QLineEdit::Password);
    m_edtPassword2->clear();
    m_edtPassword2->setPlaceholderText(QStringLiteral("请输入密码"));
    m_btnAccount->setChecked(true);
    m_btnConfirm->show();
}

void ZqLogin::on_btnRetLogin_clicked()
{
    m_widgetLogin->resize(m_widgetLogin->width(), m_widgetLogin->height() - 30);
    m_btnRegister->move(m_btnRegister->x(), m_btnRegister->y() - 60);
    m_btnAccount->setText(QStringLiteral("帐号密码登录"));
    applyAccountMode();
    m_btnIdentifyingCode->show();
    m_btnLosspass->show();
    m_edtPassword2->hide();
    m_btnGetVeriCode->hide();
    m_btnConfirm->hide();
}

void ZqLogin::on_btnConfirm_clicked()
{
    if (m_requestRunning)
        return;
    m_requestRunning = true;
    const bool ok =
        g_userInfo->resetPassword(m_edtAccount->text(), m_edtPassword->text(), m_edtPassword2->text());
    m_requestRunning = false;
    if (!ok)
        return;
    postNotice(QStringLiteral("密码重置成功！"));
    on_btnRetLogin_clicked();
}

void ZqLogin::on_btnRegister_clicked()
{
    qDebug().noquote() << QStringLiteral("register:") << g_config->registerUrl;
    QDesktopServices::openUrl(QUrl(g_config->registerUrl));
}

bool ZqLogin::eventFilter(QObject *watched, QEvent *event)
{
    // The panel's white background is drawn before its paint event; the tab lines go on top of it.
    if (watched == m_widgetLogin && event->type() == QEvent::Paint) {
        QPainter painter(m_widgetLogin);
        const int w = m_widgetLogin->width();
        painter.setPen(QPen(QColor(theme::line), 1));
        painter.drawLine(20, 68, w - 20, 68);
        painter.setPen(QPen(QColor(theme::mark), 2));
        if (m_btnAccount->isChecked())
            painter.drawLine(20, 66, 120, 66);
        else
            painter.drawLine(140, 66, w - 20, 66);
    }
    return QWidget::eventFilter(watched, event);
}

void ZqLogin::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(rect(), QPixmap(QStringLiteral(":/image/image/login_bg.png")));
}

void ZqLogin::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    m_widgetLogin->move(890, 240);
    m_btnAccount->move(20, 30);
    m_btnIdentifyingCode->move(140, 30);
    m_edtAccount->move(20, 100);
    m_edtPassword->move(20, 140);
    m_btnLogin->move(20, 180);
    m_btnLosspass->move(196, 220);
    m_btnGetVeriCode->move(170, 140);
}
