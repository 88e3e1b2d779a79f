// Inventory handlers: the group list, groups, names, moves, restart and reset, running status,
// access check and device exchange orders.
#include "server/provider/crypto.h"
#include "server/provider/db.h"
#include "server/provider/jsonwriter.h"
#include "server/provider/log.h"
#include "server/provider/provider.h"
#include "server/provider/runtime.h"

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <unordered_map>

namespace provider {

namespace {

constexpr int kUngrouped = -2;
constexpr int kGranted = -1;
constexpr int kMaxGroups = 1000;
constexpr size_t kGroupNameChars = 20;
constexpr size_t kPhoneNameChars = 32;
constexpr size_t kPrefixChars = 24;
const char *const kUngroupedName = "未分组";
const char *const kGrantedName = "授权设备";

struct PhoneRow
{
    int64_t id, cloudPhoneId, groupId, phoneNo, instanceId, billingId, endTime, phoneImageId;
    bool groupNull, allowRenewal;
    std::string deviceId, name, serverId, icon;
    int64_t grantId = 0;
    int strategy = 0;
    int64_t generation = 1;
};

const char *const kPhoneColumns =
    "p.id, p.cloud_phone_id, p.device_id, p.group_id, p.name, p.phone_no, p.instance_id, p.billing_id, "
    "p.end_time, p.server_id, p.phone_image_id, p.allow_renewal, pl.icon, p.generation";

PhoneRow readPhone(const Query &q)
{
    PhoneRow r;
    r.id = q.i64(0);
    r.cloudPhoneId = q.i64(1);
    r.deviceId = q.text(2);
    r.groupNull = q.isNull(3);
    r.groupId = q.i64(3);
    r.name = q.text(4);
    r.phoneNo = q.i64(5);
    r.instanceId = q.i64(6);
    r.billingId = q.i64(7);
    r.endTime = q.i64(8);
    r.serverId = q.text(9);
    r.phoneImageId = q.i64(10);
    r.allowRenewal = q.i64(11) != 0;
    r.icon = q.text(12);
    r.generation = q.i64(13);
    return r;
}

bool ownedGroup(Connection &conn, int64_t userId, int64_t groupId)
{
    Query q(conn, "SELECT 1 FROM groups WHERE id = ?1 AND user_id = ?2");
    q.bind(1, groupId).bind(2, userId);
    return q.step();
}

std::string padded(size_t n, size_t width)
{
    std::string s = std::to_string(n);
    return std::string(width > s.size() ? width - s.size() : 0, '0') + s;
}

} // namespace

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

void Provider::groupList(Call &call)
{
    struct Group
    {
        int64_t id;
        std::string name;
        int64_t order;
        std::vector<PhoneRow> phones;
    };
    std::vector<Group> groups;
    std::unordered_map<int64_t, size_t> index;
    Group ungrouped{kUngrouped, kUngroupedName, kUngrouped, {}};
    Group granted{kGranted, kGrantedName, kGranted, {}};
    {
        auto conn = db_.acquire();
        // One snapshot for all three reads, so a concurrent move cannot show a phone twice.
        Transaction tx(*conn, Transaction::Read);
        Query g(*conn, "SELECT id, name, sort_order FROM groups WHERE user_id = ?1 ORDER BY sort_order, id");
        g.bind(1, call.userId);
        while (g.step()) {
            index[g.i64(0)] = groups.size();
            groups.push_back(Group{g.i64(0), g.text(1), g.i64(2), {}});
        }
        Query p(*conn,
                (std::string("SELECT ") + kPhoneColumns +
                 " FROM phones p JOIN plans pl ON pl.id = p.billing_id WHERE p.owner_id = ?1 ORDER BY p.id")
                    .c_str());
        p.bind(1, call.userId);
        while (p.step()) {
            PhoneRow row = readPhone(p);
            const auto it = row.groupNull ? index.end() : index.find(row.groupId);
            (it == index.end() ? ungrouped : groups[it->second]).phones.push_back(std::move(row));
        }
        Query s(*conn, (std::string("SELECT ") + kPhoneColumns +
                        ", gr.id, gr.strategy FROM grants gr JOIN phones p ON p.id = gr.phone_id "
                        "JOIN plans pl ON pl.id = p.billing_id WHERE gr.user_id = ?1 ORDER BY gr.id")
                           .c_str());
        s.bind(1, call.userId);
        while (s.step()) {
            PhoneRow row = readPhone(s);
            row.grantId = s.i64(14);
            row.strategy = static_cast<int>(s.i64(15));
            granted.phones.push_back(std::move(row));
        }
        tx.commit();
    }
    groups.push_back(std::move(ungrouped));
    groups.push_back(std::move(granted));

    const int64_t now = nowSeconds();
    size_t phoneCount = 0;
    for (const auto &g : groups)
        phoneCount += g.phones.size();
    std::unordered_map<std::string, std::string> urls;
    replyOk(call.res, "成功", [&](JsonWriter &w) {
        w.reserve(256 + phoneCount * 760);
        w.beginArray();
        for (const auto &g : groups) {
            w.beginObject().field("id", g.id).field("name", g.name).field("order", g.order);
            w.key("phoneList").beginArray();
            for (const auto &r : g.phones) {
                auto url = urls.find(r.icon);
                if (url == urls.end())
                    url = urls.emplace(r.icon, iconUrl(r.icon)).first;
                w.beginObject();
                w.key("accessInfo").beginObject();
                writeAccessInfo(w, r.deviceId, r.generation, r.endTime, r.grantId != 0 && r.strategy == 1,
                                r.grantId, r.strategy, now);
                w.endObject();
                w.field("allowRenewal", r.allowRenewal)
                    .field("billingIcon", url->second)
                    .field("billingId", r.billingId)
                    .field("cloudPhoneId", r.cloudPhoneId)
                    .field("endTime", formatLocalTime(static_cast<std::time_t>(r.endTime)))
                    .field("id", r.id)
                    .field("instanceId", r.instanceId)
                    .field("maintenanceStatus", 0)
                    .field("name", r.name)
                    .field("phoneImageId", r.phoneImageId)
                    .field("phoneNo", r.phoneNo)
                    .field("phoneStatus", 1)
                    .field("remainTimeStr", remainText(static_cast<std::time_t>(r.endTime), now))
                    .field("serverId", r.serverId)
                    .field("source", 1)
                    .field("status", r.endTime > now ? 1 : 2)
                    .field("type", 1);
                w.endObject();
            }
            w.endArray();
            w.endObject();
        }
        w.endArray();
    });
}

void Provider::groupSave(Call &call)
{
    std::string name;
    if (!requireText(call, "name", "分组名称不能为空", name) ||
        !checkName(call, name, "分组名称", kGroupNameChars))
        return;
    auto conn = db_.acquire();
    Transaction tx(*conn, Transaction::Write);
    Query c(*conn, "SELECT COUNT(*), COALESCE(MAX(sort_order), 0) FROM groups WHERE user_id = ?1");
    c.bind(1, call.userId);
    c.step();
    if (c.i64(0) >= kMaxGroups) {
        replyError(call.res, kConflict, "分组数量已达上限");
        return;
    }
    const int64_t order = c.i64(1) + 1;
    Query ins(*conn,
              "INSERT INTO groups(user_id, name, sort_order) VALUES(?1, ?2, ?3) ON CONFLICT DO NOTHING");
    ins.bind(1, call.userId).bind(2, name).bind(3, order).run();
    if (conn->changes() == 0) {
        replyError(call.res, kConflict, "分组名称已存在");
        return;
    }
    const int64_t id = conn->lastInsertId();
    tx.commit();
    replyOk(call.res, "分组已创建", [&](JsonWriter &w) {
        w.beginObject().field("id", id).field("name", name).field("order", order).endObject();
    });
}

void Provider::groupRemove(Call &call)
{
    int64_t id = 0;
    if (!requireInt(call, "id", "分组ID", id))
        return;
    if (id <= 0) {
        replyError(call.res, kBadRequest, "该分组不能删除");
        return;
    }
    auto conn = db_.acquire();
    Transaction tx(*conn, Transaction::Write);
    if (!ownedGroup(*conn, call.userId, id)) {
        replyError(call.res, kNotFound, "分组不存在");
        return;
    }
    // The group's phones stay in the account, ungrouped.
    Query u(*conn, "UPDATE phones SET group_id = NULL WHERE group_id = ?1");
    u.bind(1, id).run();
    Query d(*conn, "DELETE FROM groups WHERE id = ?1 AND user_id = ?2");
    d.bind(1, id).bind(2, call.userId).run();
    tx.commit();
    replyOk(call.res, "分组已删除", nullptr);
}

void Provider::groupRename(Call &call)
{
    int64_t id = 0;
    std::string name;
    if (!requireInt(call, "id", "分组ID", id))
        return;
    if (id <= 0) {
        replyError(call.res, kBadRequest, "该分组不能重命名");
        return;
    }
    if (!requireText(call, "name", "分组名称不能为空", name) ||
        !checkName(call, name, "分组名称", kGroupNameChars))
        return;
    auto conn = db_.acquire();
    Transaction tx(*conn, Transaction::Write);
    if (!ownedGroup(*conn, call.userId, id)) {
        replyError(call.res, kNotFound, "分组不存在");
        return;
    }
    Query dup(*conn, "SELECT 1 FROM groups WHERE user_id = ?1 AND name = ?2 AND id <> ?3");
    dup.bind(1, call.userId).bind(2, name).bind(3, id);
    if (dup.step()) {
        replyError(call.res, kConflict, "分组名称已存在");
        return;
    }
    Query u(*conn, "UPDATE groups SET name = ?1 WHERE id = ?2");
    u.bind(1, name).bind(2, id).run();
    tx.commit();
    replyOk(call.res, "分组已重命名", nullptr);
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

void Provider::phoneMove(Call &call)
{
    int64_t groupId = 0, cloudPhoneId = 0;
    if (!requireInt(call, "id", "分组ID", groupId) ||
        !requireInt(call, "cloudPhoneId", "云手机ID", cloudPhoneId))
        return;
    auto conn = db_.acquire();
    Transaction tx(*conn, Transaction::Write);
    if (groupId <= 0 || !ownedGroup(*conn, call.userId, groupId)) {
        replyError(call.res, kNotFound, "分组不存在");
        return;
    }
    std::vector<PhoneAccess> phones;
    if (!resolvePhones(call, *conn, {cloudPhoneId}, false, "移动分组", phones))
        return;
    Query u(*conn, "UPDATE phones SET group_id = ?1 WHERE id = ?2");
    u.bind(1, groupId).bind(2, phones[0].id).run();
    tx.commit();
    replyOk(call.res, "移动成功", nullptr);
}

void Provider::batchPhoneMove(Call &call)
{
    int64_t groupId = 0;
    std::vector<int64_t> ids;
    if (!requireInt(call, "id", "分组ID", groupId) || !requireIds(call, "cloudPhoneIds", ids))
        return;
    if (ids.empty()) {
        replyError(call.res, kBadRequest, "请选择云手机");
        return;
    }
    auto conn = db_.acquire();
    Transaction tx(*conn, Transaction::Write);
    if (groupId <= 0 || !ownedGroup(*conn, call.userId, groupId)) {
        replyError(call.res, kNotFound, "分组不存在");
        return;
    }
    std::vector<PhoneAccess> phones;
    if (!resolvePhones(call, *conn, ids, false, "移动分组", phones))
        return;
    for (const auto &p : phones) {
        Query u(*conn, "UPDATE phones SET group_id = ?1 WHERE id = ?2");
        u.bind(1, groupId).bind(2, p.id).run();
    }
    tx.commit();
    replyOk(call.res, "移动成功", nullptr);
}

void Provider::renamePhone(Call &call)
{
    int64_t id = 0;
    std::string name;
    if (!requireInt(call, "id", "云手机记录ID", id) || !requireText(call, "name", "名称不能为空", name) ||
        !checkName(call, name, "名称", kPhoneNameChars))
        return;
    auto conn = db_.acquire();
    Transaction tx(*conn, Transaction::Write);
    Query q(*conn,
            "SELECT owner_id, EXISTS(SELECT 1 FROM grants WHERE phone_id = phones.id AND user_id = ?2) "
            "FROM phones WHERE id = ?1");
    q.bind(1, id).bind(2, call.userId);
    if (!q.step() || (q.i64(0) != call.userId && q.i64(1) == 0)) {
        replyError(call.res, kNotFound, "云手机不存在");
        return;
    }
    if (q.i64(0) != call.userId) {
        replyError(call.res, kForbidden, "授权设备不能修改名称");
        return;
    }
    Query u(*conn, "UPDATE phones SET name = ?1 WHERE id = ?2");
    u.bind(1, name).bind(2, id).run();
    tx.commit();
    replyOk(call.res, "修改成功", nullptr);
}

void Provider::prefixRename(Call &call)
{
    std::vector<int64_t> ids;
    std::string prefix;
    if (!requireIds(call, "cloudPhoneIds", ids) || !requireText(call, "prefix", "前缀不能为空", prefix) ||
        !checkName(call, prefix, "前缀", kPrefixChars))
        return;
    if (ids.empty()) {
        replyError(call.res, kBadRequest, "请选择云手机");
        return;
    }
    auto conn = db_.acquire();
    Transaction tx(*conn, Transaction::Write);
    std::vector<PhoneAccess> phones;
    if (!resolvePhones(call, *conn, ids, false, "修改名称", phones))
        return;
    // Suffixes share one width so that the names sort in list order.
    const size_t width = std::to_string(phones.size()).size();
    std::vector<std::string> names;
    for (size_t i = 0; i < phones.size(); ++i) {
        names.push_back(prefix + padded(i + 1, width));
        Query u(*conn, "UPDATE phones SET name = ?1 WHERE id = ?2");
        u.bind(1, names.back()).bind(2, phones[i].id).run();
    }
    tx.commit();
    replyOk(call.res, "修改成功", [&](JsonWriter &w) {
        w.beginArray();
        for (size_t i = 0; i < phones.size(); ++i)
            w.beginObject().field("cloudPhoneId", phones[i].cloudPhoneId).field("name", names[i]).endObject();
        w.endArray();
    });
}

bool Provider::changePhones(Call &call, bool reset)
{
    std::vector<int64_t> ids;
    int64_t type = 0;
    if (!requireIds(call, "cloudPhoneIds", ids) || !requireInt(call, "type", "类型", type))
        return false;
    if (ids.empty()) {
        replyError(call.res, kBadRequest, "请选择云手机");
        return false;
    }
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

namespace {

struct OrderRequest
{
    int64_t billingId = 0;
    std::string payChannel;
    int64_t cloudPhoneId = 0;
};

void writeOrder(JsonWriter &w, const std::string &orderNo, int64_t state, const OrderRequest &r,
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
    OrderRequest r;
    if (!requireInt(call, "billingId", "套餐ID", r.billingId) ||
        !requireText(call, "payChannel", "缺少支付方式", r.payChannel) ||
        !requireInt(call, "cloudPhoneId", "云手机ID", r.cloudPhoneId))
        return;
    if (r.payChannel != "wechat") {
        replyError(call.res, kBadRequest, "不支持的支付方式");
        return;
    }
    auto conn = db_.acquire();
    Transaction tx(*conn, Transaction::Write);
    std::vector<PhoneAccess> phones;
    if (!resolvePhones(call, *conn, {r.cloudPhoneId}, false, "更换", phones))
        return;
    const PhoneAccess &p = phones[0];
    if (p.endTime <= nowSeconds()) {
        replyError(call.res, kExpired, "云手机已到期");
        return;
    }
    if (p.billingId != r.billingId) {
        replyError(call.res, kBadRequest, "套餐与云手机不符");
        return;
    }
    Query pending(*conn,
                  "SELECT order_no FROM change_orders WHERE phone_id = ?1 AND state = 0 ORDER BY id DESC");
    pending.bind(1, p.id);
    std::string orderNo;
    if (pending.step()) {
        orderNo = pending.text(0);
        Query u(*conn, "UPDATE change_orders SET pay_channel = ?1 WHERE order_no = ?2");
        u.bind(1, r.payChannel).bind(2, orderNo).run();
    } else {
        const std::time_t t = static_cast<std::time_t>(nowSeconds());
        std::tm tm{};
        localtime_r(&t, &tm);
        char stamp[20];
        std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &tm);
        orderNo = std::string("CO") + stamp + randomDigits(6);
        Query ins(*conn,
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

void Provider::getChangeOrder(Call &call)
{
    OrderRequest r;
    if (!requireInt(call, "billingId", "套餐ID", r.billingId) ||
        !requireText(call, "payChannel", "缺少支付方式", r.payChannel) ||
        !requireInt(call, "cloudPhoneId", "云手机ID", r.cloudPhoneId))
        return;
    auto conn = db_.acquire();
    Transaction tx(*conn, Transaction::Write);
    std::vector<PhoneAccess> phones;
    if (!resolvePhones(call, *conn, {r.cloudPhoneId}, false, "更换", phones))
        return;
    const PhoneAccess &p = phones[0];
    Query q(*conn, "SELECT id, order_no, state, billing_id, pay_channel, new_device_id FROM change_orders "
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
        Query recent(*conn,
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
        Query used(*conn, "SELECT 1 FROM phones WHERE device_id = ?1");
        used.bind(1, candidate);
        if (!used.step())
            deviceId = std::move(candidate);
    }
    if (deviceId.empty()) {
        replyError(call.res, kInternal, "服务器内部错误", 500);
        return;
    }
    Query u(*conn,
            "UPDATE phones SET device_id = ?1, instance_id = (SELECT MAX(instance_id) + 1 FROM phones) "
            "WHERE id = ?2");
    u.bind(1, deviceId).bind(2, p.id).run();
    Query done(*conn, "UPDATE change_orders SET state = 1, new_device_id = ?1, done_at = ?2 WHERE id = ?3");
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
