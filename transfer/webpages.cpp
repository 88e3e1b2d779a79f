#include "transfer/webpages.h"

#include "api/userinfo.h"
#include "app/globals.h"
#include "app/messages.h"
#include "app/pooltask.h"
#include "platform/windowmessage.h"
#include "transfer/transfertask.h"
#include "transfer/webrequest.h"

#include <QDebug>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineView>

#include <cstring>
#include <mutex>

namespace {

const QString pageStyle =
    QStringLiteral("QWidget{font-size:12px;font-family:MiSans;font-weight:bold;}"
                   "QLabel#labName{font-size:14px;font-family:MiSans;font-weight:bold;}");

std::mutex handleLock;
VMUpload *uploadHandle = nullptr;

} // namespace

WebPageWindow::WebPageWindow(const QString &objectName, const QString &pagePath, const QString &channelName)
    : m_pagePath(pagePath), m_channelName(channelName)
{
    setObjectName(objectName);
    setStyleSheet(pageStyle);
    resize(1280, 768);
}

WebPageWindow::~WebPageWindow()
{
    // The page refers to the channel, which is not a child and would go first.
    delete m_view;
}

void WebPageWindow::loadPage()
{
    if (m_pageLoaded) {
        show();
        raise();
        activateWindow();
        return;
    }
    m_pageLoaded = true;
    const QString token = g_userInfo ? g_userInfo->token() : QString();
    m_address = (g_config ? g_config->webUrl : QString()) + m_pagePath + token;
    qDebug().noquote() << QStringLiteral("url :") + m_address;
    m_channel = std::make_unique<QWebChannel>();
    m_channel->registerObject(m_channelName, this);
    m_view = new QWebEngineView(this);
    // The page retitles itself once its content is shown: the log's sign that it is ready for input.
    connect(m_view, &QWebEngineView::titleChanged, this,
            [](const QString &title) { qDebug().noquote() << QStringLiteral("page title:") << title; });
    m_view->load(QUrl(m_address));
    m_view->page()->setWebChannel(m_channel.get());
    m_view->resize(size());
    m_view->show();
}

void WebPageWindow::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (m_view)
        m_view->resize(size());
}

void WebPageWindow::onJsFinished()
{
    qDebug().noquote() << QStringLiteral("onJsFinish....11111111111111111111111111");
    postNotice(QStringLiteral("成功调用OnJsFinished().."));
}

VMBuy::VMBuy()
    : WebPageWindow(QStringLiteral("VMBuy"), QStringLiteral("/pc-vue/#/buy?token="),
                    QStringLiteral("VMBuyWebEngin"))
{
}

void VMBuy::onRecvWebMsg(const QString &message)
{
    qDebug().noquote() << QStringLiteral("    -------- recv web msg") + message;
    postNotice(QStringLiteral("onRecvWebMsg:") + message);
}

VMUpload::VMUpload()
    : WebPageWindow(QStringLiteral("VMUpload"), QStringLiteral("/pc-vue/#/upload?token="),
                    QStringLiteral("VMUploadWebEngin"))
{
    std::lock_guard<std::mutex> locker(handleLock);
    uploadHandle = this;
}

VMUpload::~VMUpload()
{
    std::lock_guard<std::mutex> locker(handleLock);
    if (uploadHandle == this)
        uploadHandle = nullptr;
}

VMUpload *uploadWindowHandle()
{
    std::lock_guard<std::mutex> locker(handleLock);
    return uploadHandle;
}

bool VMUpload::postReply(const QByteArray &reply)
{
    if (reply.size() > replyBufferSize - 1) {
        qDebug() << "upload page reply dropped: longer than" << replyBufferSize - 1 << "bytes";
        return false;
    }
    QByteArray buffer(replyBufferSize, '\0');
    std::memcpy(buffer.data(), reply.constData(), size_t(reply.size()));
    // postEvent only queues the event and runs no user code, so the lock is held for an instant.
    std::lock_guard<std::mutex> locker(handleLock);
    if (!uploadHandle) {
        qDebug() << "upload page reply dropped: the page is gone";
        return false;
    }
    platform::postWindowMessage(uploadHandle, replyMessage, std::move(buffer));
    return true;
}

bool VMUpload::event(QEvent *event)
{
    auto *message = platform::WindowMessageEvent::from(event);
    if (!message || message->message() != replyMessage)
        return WebPageWindow::event(event);
    const QByteArray &buffer = message->buffer();
    const int end = buffer.indexOf('\0');
    emit msgToJs(QString::fromUtf8(buffer.constData(), end < 0 ? buffer.size() : end));
    return true;
}

void VMUpload::onRecvWebMsg(const QString &message)
{
    qDebug().noquote() << QStringLiteral("    -------- recv web msg") + message;
    if (message.isEmpty())
        return;
    WebUploadRequest request;
    QString why;
    // A request that cannot be carried out is answered once, so the page need not wait for replies.
    auto refuse = [&request, &why] {
        qDebug().noquote() << QStringLiteral("upload page request refused: ") + why;
        postReply(webErrorReply(request.callback, why));
    };
    if (!parseWebUploadRequest(message.toUtf8(), request, &why))
        return refuse();
    const QString address = asciiAddress(request.apkurl);
    // Every phone's task is built before any is queued, so a bad entry sends nothing at all.
    QVector<WebTransfer> transfers;
    for (const QString &deviceId : request.deviceIds) {
        phoneRecord phone;
        // An unknown phone still gets its transfer, with no credential; the library's refusal comes
        // back in the reply.
        if (g_userInfo)
            g_userInfo->findPhoneByDeviceId(deviceId, phone);
        WebTransfer transfer;
        if (!transfer.task.fill(deviceId, phone.deviceUcId, address, &why))
            return refuse();
        transfer.type = request.install ? 1 : 0;
        transfer.callback = request.callback;
        transfer.deliver = [](const QByteArray &reply) { VMUpload::postReply(reply); };
        transfers.append(transfer);
    }
    for (const WebTransfer &transfer : transfers) {
        if (!onPool("web transfer", [transfer] { sendWebTransfer(transfer); })) {
            why = QStringLiteral("the client is shutting down");
            return refuse();
        }
    }
}
