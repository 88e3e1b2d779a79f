#include "transfer/billingdownload.h"

#include "app/appboundwait.h"
#include "app/threadpool.h"

#include <QEventLoop>
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

std::pair<int, QByteArray> BillingDownload::downloadBytes(const QString &address)
{
    // A download still running as the application goes away ends at once and leaves nothing behind.
    const AppBoundWait wait;
    if (!wait.active())
        return {-2, {}};
    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(QNetworkRequest(QUrl(address, QUrl::TolerantMode)));
    QEventLoop loop;
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
    timer.start(15000);
    if (!reply->isFinished())
        loop.exec();

    std::pair<int, QByteArray> result{0, {}};
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200)
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
            image = QImage::fromData(body);
            if (!image.isNull())
                break;
            qDebug() << "billing icon undecodable," << address;
        }
        // A 200 whose body is no image is as final as an error status: show the built-in icon.
        if (code != -3 || attempt >= maxTransferAttempts || wait.ending()) {
            image.load(QString::fromLatin1(builtinIcon));
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    std::lock_guard<std::mutex> locker(m_lock);
    m_iconsById[billingId].image = image;
}
