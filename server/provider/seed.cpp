// First-start data: billing plans, the demo account and, on request, a large account for scale tests.
#include "server/provider/crypto.h"
#include "server/provider/db.h"
#include "server/provider/log.h"
#include "server/provider/provider.h"

#include <sodium.h>

#include <chrono>

namespace provider {

namespace {

const char *const kDemoPhone = "13800000000";
const char *const kScalePhone = "13900000000";
const char *const kLenderPhone = "13800000001";
const char *const kDemoPassword = "pelomir2026";
constexpr int64_t kDay = 24 * 3600;
constexpr int kScaleGroupSize = 100;

bool hasMeta(Connection &conn, const char *key)
{
    Query q(conn, "SELECT 1 FROM meta WHERE key = ?1");
    q.bind(1, key);
    return q.step();
}

void setMeta(Connection &conn, const char *key, const std::string &value)
{
    Query q(conn, "INSERT OR REPLACE INTO meta(key, value) VALUES(?1, ?2)");
    q.bind(1, key).bind(2, value).run();
}

int64_t addUser(Connection &conn, const char *phone, const std::string &hash, const char *nickname)
{
    Query q(conn, "INSERT INTO users(phone, password_hash, nickname, created_at) VALUES(?1, ?2, ?3, ?4)");
    q.bind(1, phone).bind(2, hash).bind(3, nickname).bind(4, nowSeconds()).run();
    return conn.lastInsertId();
}

int64_t addGroup(Connection &conn, int64_t userId, const std::string &name, int order)
{
    Query q(conn, "INSERT INTO groups(user_id, name, sort_order) VALUES(?1, ?2, ?3)");
    q.bind(1, userId).bind(2, name).bind(3, order).run();
    return conn.lastInsertId();
}

// A farm that mixes screen sizes sizes a phone by its id's last character, the character's code
// modulo 3 picking 720x1280, 540x960 or 1080x1920; so phones take the three sizes in turn.
std::string withScreen(std::string deviceId, int size)
{
    static const std::string ends[] = {"0369BE", "147CF", "258AD"};
    const std::string &choice = ends[size];
    deviceId.back() = choice[randombytes_uniform(uint32_t(choice.size()))];
    return deviceId;
}

std::string twoDigits(int n)
{
    return (n < 10 ? "0" : "") + std::to_string(n);
}

} // namespace

int64_t nowSeconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int64_t addPhone(Connection &conn, int64_t ownerId, int64_t groupId, const std::string &name,
                 int64_t billingId, int64_t endTime)
{
    int64_t n;
    {
        Query q(conn, "SELECT COALESCE(MAX(id), 0) + 1 FROM phones");
        q.step();
        n = q.i64(0);
    }
    std::string deviceId;
    while (deviceId.empty()) {
        std::string candidate = withScreen(randomDeviceId(), int(n % 3));
        Query used(conn, "SELECT 1 FROM phones WHERE device_id = ?1");
        used.bind(1, candidate);
        if (!used.step())
            deviceId = std::move(candidate);
    }
    Query q(
        conn,
        "INSERT INTO phones(id, cloud_phone_id, device_id, owner_id, group_id, name, phone_no, instance_id, "
        "billing_id, end_time, server_id, phone_image_id, allow_renewal) "
        "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, 1)");
    q.bind(1, n).bind(2, 100000 + n).bind(3, deviceId).bind(4, ownerId);
    if (groupId > 0)
        q.bind(5, groupId);
    else
        q.bindNull(5);
    q.bind(6, name)
        .bind(7, 80000000 + n)
        .bind(8, 5000000 + n)
        .bind(9, billingId)
        .bind(10, endTime)
        .bind(11, "srv-" + std::to_string(1 + n % 4))
        .bind(12, 10 + billingId)
        .run();
    return n;
}

void Provider::seed()
{
    const int64_t now = nowSeconds();
    auto conn = db_.acquire();
    if (!hasMeta(*conn, "seed.demo")) {
        const std::string demoHash = hashPassword(kDemoPassword, options_.fastHash);
        // Nobody knows the lender's password: the account only exists to share phones.
        const std::string lenderHash = hashPassword(randomHex(16), options_.fastHash);
        Transaction tx(*conn, Transaction::Write);
        conn->exec("INSERT OR IGNORE INTO plans(id, name, icon) VALUES (1, '标准型', 'standard.png'), "
                   "(2, '高级型', 'pro.png'), (3, '旗舰型', 'flagship.png'), (4, '体验型', 'trial.png')");
        const int64_t demo = addUser(*conn, kDemoPhone, demoHash, "演示用户");
        const int64_t lender = addUser(*conn, kLenderPhone, lenderHash, "共享用户");
        struct Seed
        {
            const char *group;
            int count;
        };
        const Seed groups[] = {{"默认分组", 8}, {"游戏工作室", 6}, {"测试机", 4}, {nullptr, 2}};
        int number = 0, order = 0;
        for (const auto &g : groups) {
            const int64_t groupId = g.group ? addGroup(*conn, demo, g.group, ++order) : 0;
            for (int i = 0; i < g.count; ++i) {
                ++number;
                // Mostly the standard plan; a few others, and two on the plan whose icon is missing.
                const int billing = number % 7 == 0                ? 2
                                    : number % 11 == 0             ? 3
                                    : number == 12 || number == 19 ? 4
                                                                   : 1;
                int64_t end = now + (7 + (number * 13) % 80) * kDay + number * 3600;
                if (number == 18)
                    end = now - 2 * kDay; // one rental has run out
                addPhone(*conn, demo, groupId, "云手机" + twoDigits(number), billing, end);
            }
        }
        const int64_t shared = addGroup(*conn, lender, "共享给演示账号", 1);
        for (int i = 1; i <= 4; ++i) {
            const int64_t phoneId =
                addPhone(*conn, lender, shared, "共享手机" + twoDigits(i), 1, now + 30 * kDay);
            // Two of the shared phones may only be watched.
            Query g(*conn, "INSERT INTO grants(phone_id, user_id, strategy) VALUES(?1, ?2, ?3)");
            g.bind(1, phoneId).bind(2, demo).bind(3, i <= 2 ? 1 : 2).run();
        }
        setMeta(*conn, "seed.demo", "1");
        tx.commit();
        log_.line("seeded the demo account " + std::string(kDemoPhone));
    }
    if (options_.seedPhones > 0 && !hasMeta(*conn, "seed.scale")) {
        Query taken(*conn, "SELECT 1 FROM users WHERE phone = ?1");
        taken.bind(1, kScalePhone);
        if (taken.step()) {
            log_.line("scale account not seeded: " + std::string(kScalePhone) + " is already registered");
            return;
        }
    }
    if (options_.seedPhones > 0 && !hasMeta(*conn, "seed.scale")) {
        const std::string hash = hashPassword(kDemoPassword, options_.fastHash);
        Transaction tx(*conn, Transaction::Write);
        const int64_t user = addUser(*conn, kScalePhone, hash, "规模测试");
        int64_t groupId = 0;
        for (int i = 0; i < options_.seedPhones; ++i) {
            if (i % kScaleGroupSize == 0)
                groupId = addGroup(*conn, user, "分组" + std::to_string(1000 + i / kScaleGroupSize).substr(1),
                                   i / kScaleGroupSize + 1);
            addPhone(*conn, user, groupId, "设备" + std::to_string(100000 + i).substr(1), 1 + i % 3,
                     now + (30 + i % 300) * kDay);
        }
        setMeta(*conn, "seed.scale", std::to_string(options_.seedPhones));
        tx.commit();
        log_.line("seeded the scale account " + std::string(kScalePhone) + " with " +
                  std::to_string(options_.seedPhones) + " phones");
    }
}

} // namespace provider
