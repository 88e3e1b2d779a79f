#pragma once

#include "platform/windowmessage.h"

#include <QByteArray>
#include <QString>
#include <QWidget>

#include <memory>

class QWebChannel;
class QWebEngineView;

// A provider page in its own top-level window: a web view, and a web channel on which the window
// itself is published to the page's script. GUI thread only.
class WebPageWindow : public QWidget
{
    Q_OBJECT

public:
    ~WebPageWindow() override;

    // Builds the page on the first call (address, channel, view) and only shows the window again on
    // later ones, so the page keeps the session token it was opened with.
    void loadPage();

    bool pageLoaded() const { return m_pageLoaded; }
    QWebEngineView *view() const { return m_view; }
    // The web front end + page path + token that the first loadPage opened.
    QString address() const { return m_address; }

    // What the page sends through the channel; each page publishes it as its own slot.
    virtual void onRecvWebMsg(const QString &message) = 0;

public slots:
    void onJsFinished();

protected:
    WebPageWindow(const QString &objectName, const QString &pagePath, const QString &channelName);

    void resizeEvent(QResizeEvent *event) override;

private:
    QString m_pagePath;
    QString m_channelName;
    QString m_address;
    QWebEngineView *m_view = nullptr;
    std::unique_ptr<QWebChannel> m_channel;
    bool m_pageLoaded = false;
};

// The purchase page. What the page sends is only shown.
class VMBuy : public WebPageWindow
{
    Q_OBJECT

public:
    VMBuy();

public slots:
    void onRecvWebMsg(const QString &message) override;
};

// The upload page. A request names a file address and phones; each phone is told to fetch it on the
// worker pool, and each phone's reply comes back to the page through msgToJs.
class VMUpload : public WebPageWindow
{
    Q_OBJECT

public:
    // Window message that carries one reply to the upload page.
    static constexpr int replyMessage = platform::textMessage;
    static constexpr int replyBufferSize = platform::textBufferSize;

    VMUpload();
    ~VMUpload() override;

    // Any thread (library callbacks). Queues `reply` to the registered upload page as a zero-filled
    // replyBufferSize buffer; false, with the reply dropped and logged, when there is no page or the
    // text does not fit. Takes the handle lock while posting, so the page cannot go in between.
    static bool postReply(const QByteArray &reply);

public slots:
    void onRecvWebMsg(const QString &message) override;

signals:
    void msgToJs(const QString &message);
    void sendMsgToWeb(const QString &message);
    void onApkInstall(QString &message);

protected:
    bool event(QEvent *event) override;
};

// GUI thread. The upload page that replies go to, or null.
VMUpload *uploadWindowHandle();
