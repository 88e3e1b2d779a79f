#include "transfer/billingdownload.h"

#include "app/appboundwait.h"
#include "app/threadpool.h"

#include <QBuffer>
#include <QEventLoop>
#include <QImageReader>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>
#include <QtDebug>

#include <chrono>
#include <thread>

BillingDownload::BillingDownload(ThreadPool &pool) : m_pool(pool) {}

void BillingDownload::addBillingIcon(int billingId, const QString &deviceId, const QString &address)
{
    bool queue = false;
    {
        std::lock_guard<std::mutex> locker(m_lock);
        auto found = m_iconsById.find(billingId);
        if (found == m_iconsById.end()) {
            m_iconsById.insert(billingId, BillingIconEntry{billingId, address, QImage()});
            queue = true;
        } else if (found->address != address) {
            qDebug() << "addBillingIcon error;";
        }
        m_billingIdByDevice.insert(deviceId, billingId);
    }
    if (!queue)
        return;
    try {
        m_pool.commit([this, billingId, address] { download(billingId, address); });
    } catch (const std::runtime_error &) {
        // The pool is shutting down with the program: there is nobody left to show the icon to.
    }
}

QPixmap BillingDownload::billingIconFor(const QString &deviceId) const
{
    QImage image;
    QSize size;
    {
        std::lock_guard<std::mutex> locker(m_lock);
        const auto plan = m_billingIdByDevice.constFind(deviceId);
        if (plan == m_billingIdByDevice.constEnd())
            return {};
        const auto entry = m_iconsById.constFind(*plan);
        if (entry == m_iconsById.constEnd() || entry->image.isNull())
            return {};
        image = entry->image;
        size = m_iconSize;
    }
    if (!size.isValid())
        return {};
    return QPixmap::fromImage(image.scaled(size, Qt::IgnoreAspectRatio, Qt::FastTransformation));
}

void BillingDownload::setIconSize(const QSize &size)
{
    std::lock_guard<std::mutex> locker(m_lock);
    m_iconSize = size;
}

int BillingDownload::downloadsStarted() const
{
    std::lock_guard<std::mutex> locker(m_lock);
    return m_downloadsStarted;
}

bool BillingDownload::hasIcon(int billingId) const
{
    std::lock_guard<std::mutex> locker(m_lock);
    const auto entry = m_iconsById.constFind(billingId);
    return entry != m_iconsById.constEnd() && !entry->image.isNull();
}

std::pair<int, QByteArray> BillingDownload::downloadBytes(const QString &address, qint64 maxBytes)
{
    // A download still running as the application goes away ends at once and leaves nothing behind.
    const AppBoundWait wait;
    if (!wait.active())
        return {-2, {}};
    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(address, QUrl::TolerantMode)));
    QEventLoop loop;
    bool tooLarge = false;
    // Stops as soon as the announced or the received size passes the limit.
    QObject::connect(reply, &QNetworkReply::downloadProgress, &loop, [&](qint64 received, qint64 total) {
        if (received > maxBytes || total > maxBytes) {
            tooLarge = true;
            loop.quit();
        }
    });
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(15000);
    if (!reply->isFinished())
        loop.exec();

    std::pair<int, QByteArray> result{0, {}};
    if (tooLarge || reply->bytesAvailable() > maxBytes)
        result.first = -4;
    else if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200)
        result.first = -2;
    else if (reply->error() != QNetworkReply::NoError || !reply->isFinished())
        result.first = -3;
    else
        result.second = reply->readAll();
    reply->disconnect();
    reply->abort();
    delete reply;
    return result;
}

QImage BillingDownload::decodeIcon(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > maxIconSide || size.height() > maxIconSide)
        return {};
    return reader.read();
}

void BillingDownload::download(int billingId, const QString &address)
{
    // Held across the decoding too: images must not be decoded once the application is gone (the image
    // plugins need it), and nobody would see the icon then anyway.
    const AppBoundWait wait;
    if (!wait.active())
        return;
    QImage image;
    for (int attempt = 1;; ++attempt) {
        {
            std::lock_guard<std::mutex> locker(m_lock);
            ++m_downloadsStarted;
        }
        const auto [code, body] = downloadBytes(address);
        if (code == 0) {
            image = decodeIcon(body);
            if (!image.isNull())
                break;
            qDebug() << "billing icon undecodable or too large," << address;
        }
        // A 200 whose body is no image, or too large a body, is as final as an error status: show
        // the built-in icon.
        if (code != -3 || attempt >= maxTransferAttempts || wait.ending()) {
            image.load(QString::fromLatin1(builtinIcon));
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    std::lock_guard<std::mutex> locker(m_lock);
    m_iconsById[billingId].image = image;
}
