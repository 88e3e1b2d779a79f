#include "server/provider/throttle.h"

#include "server/provider/db.h"
#include "server/provider/textutil.h"

#include <algorithm>

namespace provider {

namespace {

// Every this many calls, rows whose window and lock are both over go.
constexpr unsigned kPruneEvery = 256;

std::string addressKey(const std::string &address)
{
    return "a|" + address;
}

std::string pairKey(const std::string &address, const std::string &number)
{
    return "p|" + address + "|" + number;
}

std::string numberKey(const std::string &number)
{
    return "n|" + number;
}

} // namespace

int LoginLimits::lockedSeconds(Connection &conn, const std::string &key, int64_t now)
{
    Query q(conn, "SELECT locked_until_ms FROM login_limits WHERE key = ?1");
    q.bind(1, key);
    if (!q.step() || q.i64(0) <= now)
        return 0;
    return static_cast<int>((q.i64(0) - now + 999) / 1000);
}

bool LoginLimits::count(Connection &conn, const std::string &key, const LimitRule &rule, int64_t now)
{
    int64_t counted = 0, windowStart = now, lockedUntil = 0;
    {
        Query q(conn, "SELECT count, window_start_ms, locked_until_ms FROM login_limits WHERE key = ?1");
        q.bind(1, key);
        if (q.step()) {
            counted = q.i64(0);
            windowStart = q.i64(1);
            lockedUntil = q.i64(2);
        }
    }
    // A window starts over only once its lock is over too; until then every further failure
    // locks again, so past the limit a key gets one try per lock.
    if (now - windowStart >= rule.windowMs && lockedUntil <= now) {
        counted = 0;
        windowStart = now;
    }
    ++counted;
    const bool past = counted >= rule.max;
    if (past)
        lockedUntil = std::max(lockedUntil, now + rule.lockMs);
    Query u(conn,
            "INSERT INTO login_limits(key, count, window_start_ms, locked_until_ms) VALUES(?1, ?2, ?3, ?4) "
            "ON CONFLICT(key) DO UPDATE SET count = excluded.count, "
            "window_start_ms = excluded.window_start_ms, locked_until_ms = excluded.locked_until_ms");
    u.bind(1, key).bind(2, counted).bind(3, windowStart).bind(4, lockedUntil).run();
    return past;
}

void LoginLimits::prune(Connection &conn, int64_t now)
{
    const int64_t longest = std::max({rules_.pair.windowMs, rules_.address.windowMs,
                                      rules_.numberAlarm.windowMs, rules_.smsAddress.windowMs});
    Query d(conn, "DELETE FROM login_limits WHERE locked_until_ms <= ?1 AND window_start_ms <= ?2");
    d.bind(1, now).bind(2, now - longest).run();
}

int LoginLimits::reserve(const std::string &address, const std::string &number)
{
    const int64_t now = nowMs();
    auto conn = db_.acquire();
    Transaction tx(*conn, Transaction::Write);
    if (++calls_ % kPruneEvery == 0)
        prune(*conn, now);
    const int wait = std::max(lockedSeconds(*conn, addressKey(address), now),
                              lockedSeconds(*conn, pairKey(address, number), now));
    if (wait > 0) {
        tx.commit();
        return wait;
    }
    // A number under attack from many addresses allows each of them a single failure.
    const bool alarmed = lockedSeconds(*conn, numberKey(number), now) > 0;
    LimitRule pair = rules_.pair;
    if (alarmed)
        pair.max = 1;
    count(*conn, addressKey(address), rules_.address, now);
    count(*conn, pairKey(address, number), pair, now);
    count(*conn, numberKey(number), rules_.numberAlarm, now);
    tx.commit();
    return 0;
}

void LoginLimits::succeeded(const std::string &address, const std::string &number)
{
    auto conn = db_.acquire();
    Transaction tx(*conn, Transaction::Write);
    {
        Query d(*conn, "DELETE FROM login_limits WHERE key = ?1");
        d.bind(1, pairKey(address, number)).run();
    }
    for (const auto &[key, rule] :
         {std::pair{addressKey(address), rules_.address}, std::pair{numberKey(number), rules_.numberAlarm}}) {
        Query u(*conn,
                "UPDATE login_limits SET count = MAX(count - 1, 0), "
                "locked_until_ms = CASE WHEN count - 1 < ?2 THEN 0 ELSE locked_until_ms END WHERE key = ?1");
        u.bind(1, key).bind(2, rule.max).run();
    }
    tx.commit();
}

int LoginLimits::reserveSms(const std::string &address)
{
    const int64_t now = nowMs();
    const std::string key = "s|" + address;
    auto conn = db_.acquire();
    Transaction tx(*conn, Transaction::Write);
    const int wait = lockedSeconds(*conn, key, now);
    if (wait == 0)
        count(*conn, key, rules_.smsAddress, now);
    tx.commit();
    return wait;
}

} // namespace provider
