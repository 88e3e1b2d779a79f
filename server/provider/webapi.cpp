// The API of the purchase and upload pages. The pages send the session token they were opened with
// as the Authorization header, so every call is checked like the client's own calls.
#include "server/provider/crypto.h"
#include "server/provider/db.h"
#include "server/provider/jsonwriter.h"
#include "server/provider/log.h"
#include "server/provider/objectstore.h"
#include "server/provider/provider.h"
#include "server/storefront/s3auth.h"

#include <httplib.h>

#include <algorithm>
#include <ctime>

namespace provider {

namespace {

constexpr int64_t kMonthSeconds = 30 * 24 * 3600;
constexpr int64_t kMaxMonths = 12;
// Longest a phone may be paid ahead, renewals included.
constexpr int64_t kMaxPaidMonths = 36;
constexpr int64_t kMaxPhonesPerOrder = 10;

// Monthly price of each plan in fen; a plan without one is not for sale.
int64_t planPrice(int64_t billingId)
{
    switch (billingId) {
    case 1:
        return 3900;
    case 2:
        return 6900;
    case 3:
        return 12900;
    case 4:
        return 990;
    default:
        return 0;
    }
}

struct CatalogueItem
{
    const char *file;
    const char *title;
    const char *kind; // "apk" installs, "file" is only stored on the phone
    const char *content;
};

// Apps in the phone farm's manifest form, and a plain file.
const CatalogueItem kCatalogue[] = {
    {"pelomir-notes.apk", "云记事本", "apk",
     "PMAPK 1\npackage: com.pelomir.notes\nlabel: 云记事本\nversion: 2.1\ncolor: #19C2D1\n\n"},
    {"pelomir-clock.apk", "世界时钟", "apk",
     "PMAPK 1\npackage: com.pelomir.clock\nlabel: 世界时钟\nversion: 1.4\ncolor: #E8833A\n\n"},
    {"pelomir-reader.apk", "阅读器", "apk",
     "PMAPK 1\npackage: com.pelomir.reader\nlabel: 阅读器\nversion: 3.0\ncolor: #8E4FD6\n\n"},
    {"welcome.txt", "使用说明.txt", "file",
     "Pelomir cloud phone: files sent from the upload page land here.\n"},
};

// The catalogue's folder lies outside every account's upload prefix.
std::string objectKey(const char *file)
{
    return std::string("catalogue/") + file;
}

bool knownPayChannel(const Params &params)
{
    const std::string *v = params.find("payChannel");
    return v && *v == "wechat"; // the one channel the client pays with
}

std::string orderNumber(const char *prefix)
{
    const std::time_t t = static_cast<std::time_t>(nowSeconds());
    std::tm tm{};
    localtime_r(&t, &tm);
    char stamp[20];
    std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &tm);
    return prefix + std::string(stamp) + randomDigits(6);
}

} // namespace

void Provider::webPlans(Call &call)
{
    auto conn = db_.acquire();
    Query q(*conn, "SELECT id, name, icon FROM plans ORDER BY id");
    replyOk(call.res, "成功", [&](JsonWriter &w) {
        w.beginArray();
        while (q.step()) {
            const int64_t id = q.i64(0);
            if (planPrice(id) == 0)
                continue;
            w.beginObject()
                .field("billingId", id)
                .field("name", q.text(1))
                .field("icon", iconUrl(q.text(2)))
                .field("monthPrice", planPrice(id))
                .endObject();
        }
        w.endArray();
    });
}

void Provider::webPhones(Call &call)
{
    const int64_t now = nowSeconds();
    auto conn = db_.acquire();
    Query q(*conn, "SELECT p.cloud_phone_id, p.device_id, p.name, p.billing_id, pl.name, p.end_time, "
                   "p.allow_renewal, p.owner_id = ?1, COALESCE(g.strategy, 0) "
                   "FROM phones p JOIN plans pl ON pl.id = p.billing_id "
                   "LEFT JOIN grants g ON g.phone_id = p.id AND g.user_id = ?1 "
                   "WHERE p.owner_id = ?1 OR g.id IS NOT NULL ORDER BY p.owner_id != ?1, p.cloud_phone_id");
    q.bind(1, call.userId);
    replyOk(call.res, "成功", [&](JsonWriter &w) {
        w.beginArray();
        while (q.step()) {
            const bool owned = q.i64(7) != 0;
            const bool expired = q.i64(5) <= now;
            w.beginObject()
                .field("cloudPhoneId", q.i64(0))
                .field("deviceId", q.text(1))
                .field("name", q.text(2))
                .field("billingId", q.i64(3))
                .field("planName", q.text(4))
                .field("endTime", q.i64(5))
                .field("expired", expired)
                .field("owned", owned)
                .field("renewable", owned && q.i64(6) != 0 && planPrice(q.i64(3)) > 0)
                // What the upload page may send files to: not expired, and not a view-only grant.
                .field("canUpload", !expired && (owned || q.i64(8) != 1))
                .endObject();
        }
        w.endArray();
    });
}

// What every paid order checks: its length, the channel, and that someone settles it. Answers the
// refusal itself.
bool Provider::acceptPayment(Call &call, int64_t months, const std::string &lengthLabel)
{
    if (months < 1 || months > kMaxMonths) {
        replyError(call.res, kBadRequest, lengthLabel + "应为1到" + std::to_string(kMaxMonths) + "个月");
        return false;
    }
    if (!knownPayChannel(call.params)) {
        replyError(call.res, kBadRequest, "不支持的支付方式");
        return false;
    }
    // Only development mode settles payments itself; a real deployment has a payment provider.
    if (!options_.dev) {
        replyError(call.res, kUnavailable, "支付通道暂未开通");
        return false;
    }
    return true;
}

void Provider::webBuy(Call &call)
{
    int64_t billingId = 0, count = 0, months = 0;
    if (!requireInt(call, "billingId", "套餐ID", billingId) ||
        !requireInt(call, "count", "购买数量", count) || !requireInt(call, "months", "购买时长", months))
        return;
    if (planPrice(billingId) == 0) {
        replyError(call.res, kNotFound, "套餐不存在");
        return;
    }
    if (count < 1 || count > kMaxPhonesPerOrder) {
        replyError(call.res, kBadRequest, "购买数量应为1到" + std::to_string(kMaxPhonesPerOrder) + "台");
        return;
    }
    std::string key;
    if (!acceptPayment(call, months, "购买时长") || !requireOrderKey(call, key))
        return;
    const std::string request = "buy|" + std::to_string(billingId) + "|" + std::to_string(count) + "|" +
                                std::to_string(months) + "|" + *call.params.find("payChannel");
    auto conn = db_.acquire();
    Transaction tx(*conn, Transaction::Write);
    if (replayOrder(call, *conn, key, request, "购买成功"))
        return;
    int64_t owned = 0;
    {
        Query c(*conn, "SELECT COUNT(*) FROM phones WHERE owner_id = ?1");
        c.bind(1, call.userId);
        c.step();
        owned = c.i64(0);
    }
    const int64_t end = nowSeconds() + months * kMonthSeconds;
    std::vector<int64_t> ids;
    for (int64_t i = 1; i <= count; ++i) {
        const int64_t n = owned + i;
        const std::string name = "云手机" + std::string(n < 10 ? "0" : "") + std::to_string(n);
        ids.push_back(addPhone(*conn, call.userId, 0, name, billingId, end));
    }
    const std::string orderNo = orderNumber("BO");
    const int64_t amount = planPrice(billingId) * months * count;
    JsonWriter w;
    w.beginObject()
        .field("orderNo", orderNo)
        .field("amount", amount)
        .field("endTime", end)
        .key("phones")
        .beginArray();
    for (int64_t id : ids) {
        Query q(*conn, "SELECT cloud_phone_id, device_id, name FROM phones WHERE id = ?1");
        q.bind(1, id);
        if (q.step())
            w.beginObject()
                .field("cloudPhoneId", q.i64(0))
                .field("deviceId", q.text(1))
                .field("name", q.text(2))
                .endObject();
    }
    w.endArray().endObject();
    const std::string answer = w.take();
    storeOrder(*conn, call.userId, key, orderNo, "buy", request, amount, answer);
    tx.commit();
    log_.line("order " + orderNo + ": " + std::to_string(count) + " phone(s) of plan " +
              std::to_string(billingId) + " for user " + std::to_string(call.userId) + ", paid (simulated)");
    replyOk(call.res, "购买成功", [&](JsonWriter &out) { out.raw(answer); });
}

void Provider::webRenew(Call &call)
{
    int64_t cloudPhoneId = 0, months = 0;
    if (!requireInt(call, "cloudPhoneId", "云手机ID", cloudPhoneId) ||
        !requireInt(call, "months", "续费时长", months))
        return;
    std::string key;
    if (!acceptPayment(call, months, "续费时长") || !requireOrderKey(call, key))
        return;
    const std::string request = "renew|" + std::to_string(cloudPhoneId) + "|" + std::to_string(months) + "|" +
                                *call.params.find("payChannel");
    auto conn = db_.acquire();
    Transaction tx(*conn, Transaction::Write);
    if (replayOrder(call, *conn, key, request, "续费成功"))
        return;
    Query q(*conn, "SELECT id, end_time, allow_renewal, billing_id FROM phones WHERE cloud_phone_id = ?1 AND "
                   "owner_id = ?2");
    q.bind(1, cloudPhoneId).bind(2, call.userId);
    // Someone else's phone gets the same answer as none at all.
    if (!q.step()) {
        replyError(call.res, kNotFound, "云手机不存在：" + std::to_string(cloudPhoneId));
        return;
    }
    if (q.i64(2) == 0 || planPrice(q.i64(3)) == 0) {
        replyError(call.res, kForbidden, "该云手机不支持续费");
        return;
    }
    // An expired rental restarts from now, so paid time is never lost to the gap.
    const int64_t now = nowSeconds();
    const int64_t end = std::max(q.i64(1), now) + months * kMonthSeconds;
    if (end > now + kMaxPaidMonths * kMonthSeconds) {
        replyError(call.res, kBadRequest, "续费后剩余时长不能超过" + std::to_string(kMaxPaidMonths) + "个月");
        return;
    }
    const int64_t amount = planPrice(q.i64(3)) * months;
    Query u(*conn, "UPDATE phones SET end_time = ?1 WHERE id = ?2");
    u.bind(1, end).bind(2, q.i64(0)).run();
    const std::string orderNo = orderNumber("RO");
    JsonWriter w;
    w.beginObject()
        .field("orderNo", orderNo)
        .field("amount", amount)
        .field("cloudPhoneId", cloudPhoneId)
        .field("endTime", end)
        .endObject();
    const std::string answer = w.take();
    storeOrder(*conn, call.userId, key, orderNo, "renew", request, amount, answer);
    tx.commit();
    replyOk(call.res, "续费成功", [&](JsonWriter &out) { out.raw(answer); });
}

bool Provider::storeCatalogue(std::string &error)
{
    // Users' grants never reach this folder; a file that differs anyway (the store's own operators,
    // a restored backup) is put back before it is offered.
    for (const CatalogueItem &item : kCatalogue) {
        const std::string key = objectKey(item.file);
        const std::string digest = s3auth::sha256Hex(item.content);
        StoreReply stored = storeRequest(options_, "GET", key);
        if (stored.status == 200 && s3auth::sha256Hex(stored.body) == digest)
            continue;
        if (stored.status != 200 && stored.status != 404) {
            error = key + ": " + stored.error;
            return false;
        }
        log_.line("catalogue file " + key + (stored.status == 404 ? " missing" : " differs") +
                  ", storing it");
        const StoreReply put = storeRequest(options_, "PUT", key, item.content);
        stored = storeRequest(options_, "GET", key);
        if (put.status != 200 || stored.status != 200 || s3auth::sha256Hex(stored.body) != digest) {
            error = key + ": " + (put.status != 200 ? put.error : "stored copy differs");
            return false;
        }
    }
    return true;
}

void Provider::webCatalogue(Call &call)
{
    if (options_.storeUrl.empty()) {
        replyError(call.res, kUnavailable, "文件库未配置");
        return;
    }
    std::string error;
    if (!storeCatalogue(error)) {
        log_.line("catalogue not offered: " + logSafe(error));
        replyError(call.res, kUnavailable, "文件库暂不可用，请稍后再试");
        return;
    }
    replyOk(call.res, "成功", [&](JsonWriter &w) {
        w.beginArray();
        // Phones check the digest after the address's fragment against what they fetched.
        for (const CatalogueItem &item : kCatalogue)
            w.beginObject()
                .field("name", item.title)
                .field("kind", item.kind)
                .field("size", static_cast<int64_t>(std::string(item.content).size()))
                .field("url", presignedUrl(options_, objectKey(item.file)) +
                                  "#sha256=" + s3auth::sha256Hex(item.content))
                .endObject();
        w.endArray();
    });
}

} // namespace provider
