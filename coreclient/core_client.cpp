// The exported C calls: argument checks, then the transport or the renderer.

#include "coreclient/core_client.h"

#include "coreclient/engine.h"
#include "coreclient/log.h"
#include "coreclient/render_view.h"

#include <QApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <QThread>
#include <QWidget>

#include <cstring>

using cc::Engine;
using ccwire::Op;

namespace {

bool onGuiThread()
{
    return QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread();
}

// Byte-length arguments: a negative length or one over the cap is refused,
// and a non-zero length needs data.
bool validBlob(const void *data, int length, int cap)
{
    return length >= 0 && length <= cap && (length == 0 || data);
}

bool validText(const char *text, int cap, QByteArray *out)
{
    if (!text)
        return false;
    const size_t n = strnlen(text, size_t(cap) + 1);
    if (n > size_t(cap))
        return false;
    *out = QByteArray(text, int(n));
    return true;
}

int refuse(SdkSession *session, int code, SdkCallback cb)
{
    Engine::instance().refuse(session, code, cb);
    return code;
}

void closeOn(QWidget *surface)
{
    delete cc::RenderView::of(surface);
}

} // namespace

extern "C" {

int cc_core_init(const char *logDir)
{
    const bool logged = logDir && cc::openLog(QString::fromLocal8Bit(logDir));
    Engine::instance().ensureStarted();
    cc::log(QStringLiteral("core-client started, gateway %1:%2")
                .arg(Engine::instance().gatewayHost())
                .arg(Engine::instance().gatewayPort()));
    return logged ? 1 : 0;
}

void cc_core_uninit(void)
{
    if (onGuiThread())
        cc::RenderView::closeAll();
    Engine::instance().shutdown();
    cc::log(QStringLiteral("core-client stopped"));
    cc::closeLog();
}

void cc_core_set_gateway(const char *host, int port)
{
    if (!host || port <= 0 || port > 65535)
        return;
    Engine::instance().setGateway(QString::fromLatin1(host), quint16(port));
}

void cc_core_set_timeouts(int requestMs, int transferMs)
{
    Engine::instance().setTimeouts(requestMs, transferMs);
}

int cc_core_connect_phone_tob(const char *deviceUcId, const char *deviceId, uintptr_t window, int, int, int,
                              int restricted, int, int, int)
{
    SdkSession probe{deviceUcId, deviceId, nullptr};
    cc::SessionCopy session;
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        return CC_ERR_NO_WIDGET_HOST;
    if (!cc::copySession(&probe, &session) || window == 0)
        return CC_ERR_BAD_ARGUMENT;
    const bool viewOnly = restricted != 0;
    auto connectOn = [session, window, viewOnly] {
        QWidget *surface = QWidget::find(WId(window));
        if (!surface) {
            cc::log(
                QStringLiteral("connect %1: no window %2").arg(QLatin1String(session.deviceId)).arg(window));
            return false;
        }
        closeOn(surface);
        new cc::RenderView(surface, session.deviceUcId, session.deviceId, viewOnly);
        cc::log(
            QStringLiteral("connect %1%2")
                .arg(QLatin1String(session.deviceId), viewOnly ? QStringLiteral(" (view only)") : QString()));
        return true;
    };
    if (onGuiThread())
        return connectOn() ? 0 : CC_ERR_BAD_ARGUMENT;
    QMetaObject::invokeMethod(QCoreApplication::instance(), connectOn, Qt::QueuedConnection);
    return 0;
}

void cc_core_close_phone(uintptr_t window)
{
    auto closeIt = [window] {
        if (QWidget *surface = QWidget::find(WId(window)))
            closeOn(surface);
    };
    if (onGuiThread())
        closeIt();
    else if (QCoreApplication::instance())
        QMetaObject::invokeMethod(QCoreApplication::instance(), closeIt, Qt::QueuedConnection);
}

int cc_core_send_preview_msg_tob(SdkSession *session, int quality, int sizeCode, SdkCallback cb)
{
    if (quality < 1 || quality > 100 ||
        (sizeCode != CC_PREVIEW_LARGE && sizeCode != CC_PREVIEW_MEDIUM && sizeCode != CC_PREVIEW_SMALL))
        return refuse(session, CC_ERR_BAD_ARGUMENT, cb);
    return Engine::instance().submit(session, Op::Preview, ccwire::previewPayload(quality, sizeCode), cb);
}

int cc_core_send_touch_updown_msg_tob(SdkSession *session, const void *payload, int length, SdkCallback cb)
{
    if (!validBlob(payload, length, CC_MAX_TOUCH_BYTES) || length == 0)
        return refuse(session, CC_ERR_BAD_ARGUMENT, cb);
    return Engine::instance().submit(session, Op::TouchUpDown,
                                     QByteArray(static_cast<const char *>(payload), length), cb);
}

int cc_core_send_touch_move_msg_tob(SdkSession *session, const void *payload, int length, SdkCallback cb)
{
    if (!validBlob(payload, length, CC_MAX_TOUCH_BYTES) || length == 0)
        return refuse(session, CC_ERR_BAD_ARGUMENT, cb);
    return Engine::instance().submit(session, Op::TouchMove,
                                     QByteArray(static_cast<const char *>(payload), length), cb);
}

int cc_core_send_key_event_tob(SdkSession *session, const void *payload, int length, SdkCallback cb)
{
    if (length != ccwire::kKeyPayloadSize || !payload)
        return refuse(session, CC_ERR_BAD_ARGUMENT, cb);
    return Engine::instance().submit(session, Op::Key, QByteArray(static_cast<const char *>(payload), length),
                                     cb);
}

int cc_core_send_function_key_tob(SdkSession *session, int keyCode, SdkCallback cb)
{
    return Engine::instance().submit(session, Op::FunctionKey, ccwire::int32Payload(keyCode), cb);
}

int cc_core_send_text_event_tob(SdkSession *session, const void *text, int length, SdkCallback cb)
{
    if (!validBlob(text, length, CC_MAX_TEXT_BYTES))
        return refuse(session, CC_ERR_BAD_ARGUMENT, cb);
    return Engine::instance().submit(session, Op::Text, QByteArray(static_cast<const char *>(text), length),
                                     cb);
}

int cc_core_send_adb_command_msg_tob(SdkSession *session, const char *command, SdkCallback cb, int)
{
    QByteArray text;
    if (!validText(command, CC_MAX_COMMAND_BYTES, &text) || text.trimmed().isEmpty())
        return refuse(session, CC_ERR_BAD_ARGUMENT, cb);
    return Engine::instance().submit(session, Op::Shell, text, cb);
}

int cc_core_send_screencap_msg_tob(SdkSession *session, SdkCallback cb)
{
    return Engine::instance().submit(session, Op::Screencap, {}, cb);
}

int cc_core_send_get_installed_package_msg_tob(SdkSession *session, SdkCallback cb)
{
    return Engine::instance().submit(session, Op::Packages, {}, cb);
}

int cc_core_send_transfer_file_msg_tob(SdkSession *session, int install, const char *url, SdkCallback cb)
{
    QByteArray text;
    if ((install != 0 && install != 1) || !validText(url, CC_MAX_URL_BYTES, &text) ||
        !(text.startsWith("http://") || text.startsWith("https://")))
        return refuse(session, CC_ERR_BAD_ARGUMENT, cb);
    return Engine::instance().submit(session, Op::Transfer, ccwire::transferPayload(install == 1, text), cb);
}

int cc_core_send_user_login_data_tob(SdkSession *session, SdkCallback cb)
{
    const QJsonObject login{{QStringLiteral("client"), QStringLiteral("core-client")},
                            {QStringLiteral("host"), QSysInfo::machineHostName().left(64)},
                            {QStringLiteral("pid"), QCoreApplication::applicationPid()}};
    return Engine::instance().submit(session, Op::UserLogin,
                                     QJsonDocument(login).toJson(QJsonDocument::Compact), cb);
}

} // extern "C"
