#include "transfer/transfertask.h"

#include "coreclient/core_client.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

#include <cstring>
#include <memory>

static_assert(transferNotSent == CC_ERR_BAD_ARGUMENT, "a transfer not sent reports the library's code");

namespace {

bool copyText(const QString &text, char *buffer, int size, const char *what, QString *why)
{
    const QByteArray bytes = text.toLatin1();
    if (bytes.size() > size - 1 || QString::fromLatin1(bytes) != text || bytes.contains('\0')) {
        *why =
            QStringLiteral("%1 longer than %2 bytes or not Latin-1").arg(QLatin1String(what)).arg(size - 1);
        return false;
    }
    std::memcpy(buffer, bytes.constData(), size_t(bytes.size()));
    return true;
}

QString milliseconds()
{
    return QString::number(QDateTime::currentMSecsSinceEpoch());
}

// What rides along with a web transfer until its completion: the callback name in a zero-filled
// 1024-byte buffer and where the reply goes.
struct WebContext
{
    char callback[1024] = {};
    std::function<void(const QByteArray &)> deliver;
};

// Library thread.
void webTransferDone(SdkSession *session, int, int code, const void *, int)
{
    std::unique_ptr<WebContext> context(static_cast<WebContext *>(session->extra));
    const QString deviceId = QString::fromLatin1(session->deviceId ? session->deviceId : "");
    if (code < 0)
        qDebug().noquote() << QStringLiteral(" cc_core_send_transfer_file_msg_tob error, deviceId:") +
                                  deviceId + QStringLiteral(", code:") + QString::number(code);
    qDebug().noquote() << QStringLiteral(" +++++++++++++++ 收到回复,time:") +
                              QDateTime::currentDateTime().toString(
                                  QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")) +
                              QStringLiteral(" code:") + QString::number(code);
    const QJsonObject value{
        {QStringLiteral("ucid"), QString::fromLatin1(session->deviceUcId ? session->deviceUcId : "")},
        {QStringLiteral("deviceId"), deviceId},
        {QStringLiteral("type"), code}};
    const QJsonObject reply{{QStringLiteral("callback"), QString::fromUtf8(context->callback)},
                            {QStringLiteral("value"), value}};
    const QByteArray text = QJsonDocument(reply).toJson(QJsonDocument::Indented);
    qDebug().noquote() << QStringLiteral("cb : ") + QString::fromUtf8(text);
    if (context->deliver)
        context->deliver(text);
}

// Library thread.
void transferDone(SdkSession *session, int, int code, const void *data, int length)
{
    using Done = std::function<void(int, const QByteArray &)>;
    const std::unique_ptr<Done> done(static_cast<Done *>(session->extra));
    if (code < 0)
        qDebug().noquote() << QStringLiteral(" cc_core_send_transfer_file_msg_tob error, deviceId:") +
                                  QString::fromLatin1(session->deviceId ? session->deviceId : "") +
                                  QStringLiteral(", code:") + QString::number(code);
    (*done)(code, data && length > 0 ? QByteArray(static_cast<const char *>(data), length) : QByteArray());
}

} // namespace

void sendTransfer(const TransferTask &task, std::function<void(int code, const QByteArray &detail)> done)
{
    TransferTask copy = task;
    auto context = std::make_unique<std::function<void(int, const QByteArray &)>>(std::move(done));
    SdkSession session{copy.deviceUcId, copy.deviceId, context.release()};
    // The library reports a refusal through the callback too, which releases the context.
    cc_core_send_transfer_file_msg_tob(&session, copy.install ? 1 : 0, copy.url, &transferDone);
}

bool TransferTask::fill(const QString &phoneDeviceId, const QString &phoneDeviceUcId, const QString &fileUrl,
                        QString *why)
{
    return copyText(phoneDeviceId, deviceId, sizeof deviceId, "deviceId", why) &&
           copyText(phoneDeviceUcId, deviceUcId, sizeof deviceUcId, "deviceUcId", why) &&
           copyText(fileUrl, url, sizeof url, "file address", why);
}

QString asciiAddress(const QString &url)
{
    for (const QChar c : url)
        if (c.unicode() >= 0x80)
            return QString::fromLatin1(QUrl(url).toEncoded());
    return url;
}

bool sendWebTransfer(const WebTransfer &transfer)
{
    qDebug().noquote() << QStringLiteral("               thread_pool ZqDeviceList::checkUpload in")
                       << milliseconds();
    const QByteArray name = transfer.callback.toUtf8();
    qDebug().noquote() << QStringLiteral("ccab: ") + transfer.callback;
    if (name.size() > TransferTask::maxCallbackBytes) {
        qDebug() << "web transfer refused: callback name longer than" << TransferTask::maxCallbackBytes
                 << "bytes";
        return false;
    }
    auto context = std::make_unique<WebContext>();
    std::memcpy(context->callback, name.constData(), size_t(name.size()));
    context->deliver = transfer.deliver;
    qDebug().noquote() << QStringLiteral("newStr : ") + transfer.callback;
    TransferTask task = transfer.task;
    SdkSession session{task.deviceUcId, task.deviceId, context.release()};
    // The library reports a refusal through the callback too, which releases the context.
    cc_core_send_transfer_file_msg_tob(&session, transfer.type == 1 ? 1 : 0, task.url, &webTransferDone);
    qDebug().noquote() << QStringLiteral("               thread_pool ZqDeviceList::checkUpload out")
                       << milliseconds();
    return true;
}
