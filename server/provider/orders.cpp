// Paid orders of the purchase page. Each order carries a key that its page made for it, and a key
// is paid for once: the same request again gets the first answer back, so a double click, a retry
// after a lost answer or a replayed request never pays twice.
#include "server/provider/db.h"
#include "server/provider/jsonwriter.h"
#include "server/provider/provider.h"

#include <httplib.h>

namespace provider {

namespace {

constexpr size_t kMinKeyChars = 16;
constexpr size_t kMaxKeyChars = 64;

bool validKey(const std::string &key)
{
    if (key.size() < kMinKeyChars || key.size() > kMaxKeyChars)
        return false;
    for (char c : key)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
              c == '_'))
            return false;
    return true;
}

} // namespace

bool Provider::requireOrderKey(Call &call, std::string &key)
{
    if (!requireText(call, "orderKey", "缺少订单标识", key))
        return false;
    if (!validKey(key)) {
        replyError(call.res, kBadRequest, "订单标识无效");
        return false;
    }
    return true;
}

bool Provider::replayOrder(Call &call, Connection &conn, const std::string &key, const std::string &request,
                           std::string_view msg)
{
    Query q(conn, "SELECT request, answer FROM orders WHERE user_id = ?1 AND order_key = ?2");
    q.bind(1, call.userId).bind(2, key);
    if (!q.step())
        return false;
    if (q.view(0) != request) {
        replyError(call.res, kConflict, "订单标识已用于另一笔订单");
        return true;
    }
    const std::string answer = q.text(1);
    replyOk(call.res, msg, [&](JsonWriter &w) { w.raw(answer); });
    return true;
}

void Provider::storeOrder(Connection &conn, int64_t userId, const std::string &key,
                          const std::string &orderNo, const char *kind, const std::string &request,
                          int64_t amount, const std::string &answer)
{
    Query ins(conn,
              "INSERT INTO orders(order_no, user_id, order_key, kind, request, amount, answer, created_at) "
              "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    ins.bind(1, orderNo)
        .bind(2, userId)
        .bind(3, key)
        .bind(4, kind)
        .bind(5, request)
        .bind(6, amount)
        .bind(7, answer)
        .bind(8, nowSeconds())
        .run();
}

} // namespace provider
