// Device exchange order handlers.
#include "server/provider/crypto.h"
#include "server/provider/db.h"
#include "server/provider/jsonwriter.h"
#include "server/provider/log.h"
#include "server/provider/provider.h"
#include "server/provider/runtime.h"

#include <httplib.h>

#include <ctime>

namespace provider {

namespace {

void writeOrder(JsonWriter &w, const std::string &orderNo, int64_t state, const ChangeOrder &r,
                const std::string &deviceId)
{
    w.beginObject()
        .field("orderNo", orderNo)
        .field("state", state)
        .field("cloudPhoneId", r.cloudPhoneId)
        .field("billingId", r.billingId)
        .field("payChannel", r.payChannel)
        .field("amount", 0)
        .field("deviceId", deviceId)
        .endObject();
}

} // namespace

// Device exchange is free in this service: generating an order records it, and fetching it
// completes it, giving the phone a fresh device.
void Provider::generateChangeOrder(Call &call)
{
    changeOrder(call, false);
}

void Provider::getChangeOrder(Call &call)
{
    changeOrder(call, true);
}

void Provider::changeOrder(Call &call, bool complete)
{
    ChangeOrder r;
    if (!requireInt(call, "billingId", "套餐ID", r.billingId) ||
        !requireText(call, "payChannel", "缺少支付方式", r.payChannel) ||
        !requireInt(call, "cloudPhoneId", "云手机ID", r.cloudPhoneId))
        return;
    // The channel is chosen when the order is made; fetching it only has to repeat it.
    if (!complete && r.payChannel != "wechat") {
        replyError(call.res, kBadRequest, "不支持的支付方式");
        return;
    }
    auto conn = db_.acquire();
    Transaction tx(*conn, Transaction::Write);
    PhoneAccess p;
    if (!resolvePhone(call, *conn, r.cloudPhoneId, false, "更换", p))
        return;
    if (complete)
        completeChangeOrder(call, *conn, tx, r, p);
    else
        recordChangeOrder(call, *conn, tx, r, p);
}

void Provider::recordChangeOrder(Call &call, Connection &conn, Transaction &tx, const ChangeOrder &r,
                                 const PhoneAccess &p)
{
    if (p.endTime <= nowSeconds()) {
        replyError(call.res, kExpired, "云手机已到期");
        return;
    }
    if (p.billingId != r.billingId) {
        replyError(call.res, kBadRequest, "套餐与云手机不符");
        return;
    }
    Query pending(conn,
                  "SELECT order_no FROM change_orders WHERE phone_id = ?1 AND state = 0 ORDER BY id DESC");
    pending.bind(1, p.id);
    std::string orderNo;
    if (pending.step()) {
        orderNo = pending.text(0);
        Query u(conn, "UPDATE change_orders SET pay_channel = ?1 WHERE order_no = ?2");
        u.bind(1, r.payChannel).bind(2, orderNo).run();
    } else {
        const std::time_t t = static_cast<std::time_t>(nowSeconds());
        std::tm tm{};
        localtime_r(&t, &tm);
        char stamp[20];
        std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &tm);
        orderNo = std::string("CO") + stamp + randomDigits(6);
        Query ins(conn,
                  "INSERT INTO change_orders(order_no, user_id, phone_id, billing_id, pay_channel, state, "
                  "old_device_id, created_at) VALUES(?1, ?2, ?3, ?4, ?5, 0, ?6, ?7)");
        ins.bind(1, orderNo)
            .bind(2, call.userId)
            .bind(3, p.id)
            .bind(4, r.billingId)
            .bind(5, r.payChannel)
            .bind(6, p.deviceId)
            .bind(7, nowSeconds())
            .run();
    }
    tx.commit();
    replyOk(call.res, "订单已生成", [&](JsonWriter &w) { writeOrder(w, orderNo, 0, r, p.deviceId); });
}

void Provider::completeChangeOrder(Call &call, Connection &conn, Transaction &tx, const ChangeOrder &r,
                                   const PhoneAccess &p)
{
    Query q(conn, "SELECT id, order_no, state, billing_id, pay_channel, new_device_id FROM change_orders "
                  "WHERE phone_id = ?1 AND user_id = ?2 ORDER BY id DESC");
    q.bind(1, p.id).bind(2, call.userId);
    if (!q.step()) {
        replyError(call.res, kNotFound, "未找到更换订单");
        return;
    }
    const int64_t orderId = q.i64(0);
    const std::string orderNo = q.text(1);
    if (q.i64(3) != r.billingId || q.view(4) != r.payChannel) {
        replyError(call.res, kBadRequest, "订单信息不符");
        return;
    }
    if (q.i64(2) != 0) {
        const std::string deviceId = q.text(5);
        replyOk(call.res, "设备已更换", [&](JsonWriter &w) { writeOrder(w, orderNo, 1, r, deviceId); });
        return;
    }
    // Each exchange makes a new phone at the farm: an account may make only so many an hour.
    {
        Query recent(conn,
                     "SELECT COUNT(*) FROM change_orders WHERE user_id = ?1 AND state = 1 AND done_at > ?2");
        recent.bind(1, call.userId).bind(2, nowSeconds() - 3600);
        if (recent.step() && recent.i64(0) >= options_.exchangesPerHour) {
            replyError(call.res, kTooMany, "设备更换过于频繁，请稍后再试");
            return;
        }
    }
    std::string deviceId;
    for (int attempt = 0; attempt < 20 && deviceId.empty(); ++attempt) {
        std::string candidate = randomDeviceId();
        Query used(conn, "SELECT 1 FROM phones WHERE device_id = ?1");
        used.bind(1, candidate);
        if (!used.step())
            deviceId = std::move(candidate);
    }
    if (deviceId.empty()) {
        replyError(call.res, kInternal, "服务器内部错误", 500);
        return;
    }
    Query u(conn, "UPDATE phones SET device_id = ?1, instance_id = (SELECT MAX(instance_id) + 1 FROM phones) "
                  "WHERE id = ?2");
    u.bind(1, deviceId).bind(2, p.id).run();
    Query done(conn, "UPDATE change_orders SET state = 1, new_device_id = ?1, done_at = ?2 WHERE id = ?3");
    done.bind(1, deviceId).bind(2, nowSeconds()).bind(3, orderId).run();
    tx.commit();
    log_.line("device exchange " + orderNo + ": " + p.deviceId + " -> " + deviceId);
    // The old device is gone, and every credential issued for it with it.
    std::string error;
    if (!runtime_.retire({{p.deviceId, 0}}, error))
        log_.line("credentials of the exchanged device " + p.deviceId +
                  " stay valid at the farm until they expire: " + error);
    replyOk(call.res, "设备已更换", [&](JsonWriter &w) { writeOrder(w, orderNo, 1, r, deviceId); });
}

} // namespace provider
