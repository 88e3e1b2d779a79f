#include "server/phonefarm/farm.h"

#include "wire/codes.h"

#include <QDateTime>
#include <QElapsedTimer>

#include <algorithm>

namespace farm {

qint64 monotonicMs()
{
    static const QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock.elapsed();
}

std::shared_ptr<Phone> Farm::phone(const QByteArray &deviceId, bool create)
{
    std::shared_ptr<Phone> evicted; // freed after the lock
    std::lock_guard<std::mutex> lock(mutex_);
    const qint64 now = monotonicMs();
    auto it = phones_.find(deviceId);
    if (it != phones_.end()) {
        usedAt_[deviceId] = now;
        return it.value();
    }
    if (!create)
        return nullptr;
    // A full farm makes room with the phone unused longest that no connection holds, so that one
    // account cannot take every place and keep the others out.
    if (phones_.size() >= options_.maxPhones) {
        QByteArray oldest;
        qint64 oldestAt = 0;
        for (auto p = phones_.cbegin(); p != phones_.cend(); ++p) {
            const qint64 at = usedAt_.value(p.key());
            if (p.value().use_count() == 1 && (oldest.isEmpty() || at < oldestAt)) {
                oldest = p.key();
                oldestAt = at;
            }
        }
        if (oldest.isEmpty())
            return nullptr;
        evicted = phones_.take(oldest);
        usedAt_.remove(oldest);
    }
    const QString id = QString::fromLatin1(deviceId);
    auto phone = std::make_shared<Phone>(id, options_.mixedScreens ? mixedScreenSize(id)
                                                                   : QSize(kScreenWidth, kScreenHeight));
    phones_.insert(deviceId, phone);
    usedAt_[deviceId] = now;
    return phone;
}

std::shared_ptr<Phone> Farm::open(const QByteArray &credential, const QByteArray &deviceId, bool *viewOnly,
                                  int *code, qint64 *generation)
{
    const Access access =
        checkCredential(options_.secret, credential, deviceId, QDateTime::currentSecsSinceEpoch());
    *code = access.code;
    *viewOnly = access.viewOnly;
    if (generation)
        *generation = access.generation;
    if (access.code != 0)
        return nullptr;
    if (!current(deviceId, access.generation)) {
        *code = CC_ERR_EXPIRED_CREDENTIAL;
        return nullptr;
    }
    auto p = phone(deviceId, true);
    if (!p)
        *code = CC_ERR_UNKNOWN_PHONE; // the farm is full, every phone held by a connection
    return p;
}

void Farm::retire(const QByteArray &deviceId, qint64 generation)
{
    std::shared_ptr<Phone> gone; // freed after the lock
    std::lock_guard<std::mutex> lock(mutex_);
    qint64 &lowest = retired_[deviceId];
    lowest = std::max(lowest, generation);
    if (generation == kRetireAll) {
        gone = phones_.take(deviceId);
        usedAt_.remove(deviceId);
    }
}

bool Farm::current(const QByteArray &deviceId, qint64 generation) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return generation >= retired_.value(deviceId, 0);
}

bool Farm::restart(const QByteArray &deviceId)
{
    auto p = isValidDeviceId(deviceId) ? phone(deviceId, true) : nullptr;
    if (p)
        p->restart(monotonicMs(), options_.restartMs);
    return bool(p);
}

bool Farm::reset(const QByteArray &deviceId)
{
    auto p = isValidDeviceId(deviceId) ? phone(deviceId, true) : nullptr;
    if (p)
        p->reset(monotonicMs(), options_.resetMs);
    return bool(p);
}

int Farm::status(const QByteArray &deviceId) const
{
    std::shared_ptr<Phone> p;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        p = phones_.value(deviceId);
    }
    return p ? p->status(monotonicMs()) : 1;
}

int Farm::phoneCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return phones_.size();
}

} // namespace farm
