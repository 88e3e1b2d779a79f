// Phone access handlers: the access check, restart and reset, running status, and the lookups that
// decide which phones a user may reach.
#include "server/provider/crypto.h"
#include "server/provider/db.h"
#include "server/provider/jsonwriter.h"
#include "server/provider/log.h"
#include "server/provider/provider.h"
#include "server/provider/runtime.h"

#include <httplib.h>

#include <algorithm>
#include <unordered_map>

namespace provider {

void Provider::writeAccessInfo(JsonWriter &w, const std::string &deviceId, int64_t generation,
                               int64_t endTime, bool restricted, int64_t grantId, int strategy, int64_t now)
{
    // A credential never outlives the rental: an expired phone's one is already void at the farm.
    const int64_t expiry = std::min(now + options_.ucidTtlSeconds, endTime);
    const std::string credential =
        phoneCredential(options_.farmSecret, deviceId, expiry, restricted, generation);
    w.field("deviceId", deviceId);
    w.field("ucid", aes192EcbBase64(options_.aesKey, credential + "#" + std::to_string(now)));
    w.key("authorition").beginObject();
    if (grantId != 0) {
        w.field("authorizationBehavior", 1)
            .field("authorizationInfoId", grantId)
            .field("authorizationPhoneStatus", 1)
            .field("authorizationStrategy", strategy)
            .field("authorizationType", 1);
    }
    w.endObject();
}

bool Provider::lookupPhone(Connection &conn, int64_t userId, int64_t cloudPhoneId, PhoneAccess &out)
{
    Query q(conn,
            "SELECT p.id, p.device_id, p.billing_id, p.end_time, p.owner_id, g.id, g.strategy, p.generation "
            "FROM phones p LEFT JOIN grants g ON g.phone_id = p.id AND g.user_id = ?2 "
            "WHERE p.cloud_phone_id = ?1");
    q.bind(1, cloudPhoneId).bind(2, userId);
    if (!q.step())
        return false;
    out.id = q.i64(0);
    out.cloudPhoneId = cloudPhoneId;
    out.deviceId = q.text(1);
    out.billingId = q.i64(2);
    out.endTime = q.i64(3);
    out.owned = q.i64(4) == userId;
    out.grantId = q.isNull(5) ? 0 : q.i64(5);
    out.strategy = static_cast<int>(q.i64(6));
    out.generation = q.i64(7);
    return out.owned || out.grantId != 0;
}

bool Provider::resolvePhones(Call &call, Connection &conn, const std::vector<int64_t> &ids, bool needControl,
                             const char *verb, std::vector<PhoneAccess> &out)
{
    const int64_t now = nowSeconds();
    out.clear();
    out.reserve(ids.size());
    for (int64_t id : ids) {
        PhoneAccess p;
        if (!lookupPhone(conn, call.userId, id, p)) {
            replyError(call.res, kNotFound, "云手机不存在：" + std::to_string(id));
            return false;
        }
        if (!needControl && !p.owned) {
            replyError(call.res, kForbidden, std::string("授权设备不能") + verb + "：" + std::to_string(id));
            return false;
        }
        if (needControl && !p.owned && p.strategy == 1) {
            replyError(call.res, kForbidden,
                       std::string("只读授权的云手机不能") + verb + "：" + std::to_string(id));
            return false;
        }
        if (needControl && p.endTime <= now) {
            replyError(call.res, kExpired, "云手机已到期：" + std::to_string(id));
            return false;
        }
        out.push_back(std::move(p));
    }
    return true;
}

bool Provider::resolvePhone(Call &call, Connection &conn, int64_t cloudPhoneId, bool needControl,
                            const char *verb, PhoneAccess &out)
{
    std::vector<PhoneAccess> phones;
    if (!resolvePhones(call, conn, {cloudPhoneId}, needControl, verb, phones))
        return false;
    out = std::move(phones[0]);
    return true;
}

bool Provider::changePhones(Call &call, bool reset)
{
    std::vector<int64_t> ids;
    int64_t type = 0;
    if (!requireIds(call, "cloudPhoneIds", ids) || !requireInt(call, "type", "类型", type) ||
        !requireChosen(call, ids))
        return false;
    std::vector<PhoneAccess> phones;
    {
        auto conn = db_.acquire();
        Transaction tx(*conn, Transaction::Read);
        if (!resolvePhones(call, *conn, ids, true, reset ? "重置" : "重启", phones))
            return false;
        tx.commit();
    }
    std::vector<std::string> deviceIds;
    for (const auto &p : phones)
        deviceIds.push_back(p.deviceId);
    std::string error;
    // The farm is called with no connection held.
    if (!(reset ? runtime_.reset(deviceIds, error) : runtime_.restart(deviceIds, error))) {
        replyError(call.res, kUnavailable, error);
        return false;
    }
    log_.line(std::string(reset ? "reset" : "restart") + " of " + std::to_string(deviceIds.size()) +
              " phone(s) by user " + std::to_string(call.userId));
    replyOk(call.res, reset ? "正在恢复出厂设置" : "正在重启", [&](JsonWriter &w) {
        w.beginObject().field("count", static_cast<int64_t>(phones.size())).endObject();
    });
    return true;
}

void Provider::restartPhones(Call &call)
{
    changePhones(call, false);
}

void Provider::resetPhones(Call &call)
{
    changePhones(call, true);
}

void Provider::runningStatus(Call &call)
{
    std::vector<int64_t> ids;
    int64_t type = 0;
    if (!requireIds(call, "cloudPhoneIds", ids) || !requireInt(call, "type", "类型", type))
        return;
    std::vector<PhoneAccess> phones;
    {
        auto conn = db_.acquire();
        Transaction tx(*conn, Transaction::Read);
        // Ids that are not the user's are left out rather than refused: a list polled every few
        // seconds may name a phone that has just left the account.
        for (int64_t id : ids) {
            PhoneAccess p;
            if (lookupPhone(*conn, call.userId, id, p))
                phones.push_back(std::move(p));
        }
        tx.commit();
    }
    std::vector<std::string> deviceIds;
    for (const auto &p : phones)
        deviceIds.push_back(p.deviceId);
    std::unordered_map<std::string, int> states;
    std::string error;
    if (!runtime_.status(deviceIds, states, error)) {
        replyError(call.res, kUnavailable, error);
        return;
    }
    replyOk(call.res, "成功", [&](JsonWriter &w) {
        w.beginArray();
        for (const auto &p : phones)
            w.beginObject()
                .field("id", p.cloudPhoneId)
                .field("runningStatus", states[p.deviceId])
                .endObject();
        w.endArray();
    });
}

void Provider::accessInfo(Call &call)
{
    int64_t cloudPhoneId = 0;
    if (!requireInt(call, "cloudPhoneId", "云手机ID", cloudPhoneId))
        return;
    PhoneAccess p;
    bool found;
    {
        auto conn = db_.acquire();
        found = lookupPhone(*conn, call.userId, cloudPhoneId, p);
    }
    if (!found) {
        replyError(call.res, kNotFound, "云手机不存在");
        return;
    }
    const int64_t now = nowSeconds();
    if (p.endTime <= now) {
        replyError(call.res, kExpired, "云手机已到期");
        return;
    }
    replyOk(call.res, "成功", [&](JsonWriter &w) {
        w.beginObject();
        writeAccessInfo(w, p.deviceId, p.generation, p.endTime, !p.owned && p.strategy == 1,
                        p.owned ? 0 : p.grantId, p.strategy, now);
        w.field("cloudPhoneId", p.cloudPhoneId);
        w.endObject();
    });
}

} // namespace provider
