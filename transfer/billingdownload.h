#pragma once

#include <QByteArray>
#include <QHash>
#include <QImage>
#include <QObject>
#include <QPixmap>
#include <QSize>
#include <QString>

#include <mutex>
#include <utility>

class ThreadPool;

// Downloads each billing plan's icon once per run and hands tiles a copy at the current icon size.
class BillingDownload : public QObject
{
    Q_OBJECT

public:
    static constexpr const char *builtinIcon = ":/image/image/bill.png";
    // A reply that arrives with status 200 but breaks off is tried again this often, 0.5 s apart,
    // before the plan falls back to the built-in icon: a worker is never held for good.
    static constexpr int maxTransferAttempts = 6;
    // An icon is a few hundred bytes of a small picture. Anything larger is refused before it fills
    // memory or the decoder's time, and the plan shows the built-in icon.
    static constexpr qint64 maxIconBytes = 256 * 1024;
    static constexpr int maxIconSide = 1024;

    // `pool` runs the downloads. Only its address is kept, so the process-wide instance may be
    // built before the pool is.
    explicit BillingDownload(ThreadPool &pool);

    // Inventory reload thread. Takes the map lock; queues a download for a plan seen the first time.
    void addBillingIcon(int billingId, const QString &deviceId, const QString &address);
    // GUI thread. Takes the map lock briefly; a null pixmap while there is nothing to show.
    QPixmap billingIconFor(const QString &deviceId) const;
    // GUI thread. Takes the map lock.
    void setIconSize(const QSize &size);

    // Any thread, blocking for at most 15 s: 0 with the body, -2 for a status other than 200 (or
    // none), -3 for a transfer that failed after a 200, -4 for a body of more than `maxBytes`.
    static std::pair<int, QByteArray> downloadBytes(const QString &address, qint64 maxBytes = maxIconBytes);
    // Any thread. The picture in `bytes`, or a null image when it is none or larger than
    // maxIconSide on either side (the size is read from the header, before decoding).
    static QImage decodeIcon(const QByteArray &bytes);

    // Number of downloads started so far (all attempts); for diagnostics and tests.
    int downloadsStarted() const;
    // True once the plan's icon is decoded (from the server or the built-in one).
    bool hasIcon(int billingId) const;

private:
    struct BillingIconEntry
    {
        int billingId = 0;
        QString address;
        QImage image;
    };

    // Worker thread; takes the map lock only to store the result.
    void download(int billingId, const QString &address);

    ThreadPool &m_pool;
    mutable std::mutex m_lock; // guards everything below
    QHash<int, BillingIconEntry> m_iconsById;
    QHash<QString, int> m_billingIdByDevice;
    QSize m_iconSize;
    int m_downloadsStarted = 0;
};

// The process-wide instance, the first singleton.
extern BillingDownload g_billingDownload;
