// Inventory handlers: the group list, groups, names and moves.
#include "server/provider/db.h"
#include "server/provider/jsonwriter.h"
#include "server/provider/provider.h"

#include <httplib.h>

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

// A group the call's user made; replies and returns false for any other id, built-in ones included.
bool requireOwnedGroup(Call &call, Connection &conn, int64_t groupId)
{
    if (groupId <= 0 || !ownedGroup(conn, call.userId, groupId)) {
        replyError(call.res, kNotFound, "分组不存在");
        return false;
    }
    return true;
}

// The built-in groups (ungrouped, granted) have ids below 1 and are not the user's to change.
bool refuseBuiltInGroup(Call &call, int64_t id, const char *refusal)
{
    if (id <= 0) {
        replyError(call.res, kBadRequest, refusal);
        return false;
    }
    return true;
}

std::string padded(size_t n, size_t width)
{
    std::string s = std::to_string(n);
    return std::string(width > s.size() ? width - s.size() : 0, '0') + s;
}

} // namespace

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
    if (!requireInt(call, "id", "分组ID", id) || !refuseBuiltInGroup(call, id, "该分组不能删除"))
        return;
    auto conn = db_.acquire();
    Transaction tx(*conn, Transaction::Write);
    if (!requireOwnedGroup(call, *conn, id))
        return;
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
    if (!requireInt(call, "id", "分组ID", id) || !refuseBuiltInGroup(call, id, "该分组不能重命名") ||
        !requireText(call, "name", "分组名称不能为空", name) ||
        !checkName(call, name, "分组名称", kGroupNameChars))
        return;
    auto conn = db_.acquire();
    Transaction tx(*conn, Transaction::Write);
    if (!requireOwnedGroup(call, *conn, id))
        return;
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

void Provider::phoneMove(Call &call)
{
    int64_t groupId = 0, cloudPhoneId = 0;
    if (!requireInt(call, "id", "分组ID", groupId) ||
        !requireInt(call, "cloudPhoneId", "云手机ID", cloudPhoneId))
        return;
    movePhones(call, groupId, {cloudPhoneId});
}

void Provider::batchPhoneMove(Call &call)
{
    int64_t groupId = 0;
    std::vector<int64_t> ids;
    if (!requireInt(call, "id", "分组ID", groupId) || !requireIds(call, "cloudPhoneIds", ids) ||
        !requireChosen(call, ids))
        return;
    movePhones(call, groupId, ids);
}

void Provider::movePhones(Call &call, int64_t groupId, const std::vector<int64_t> &ids)
{
    auto conn = db_.acquire();
    Transaction tx(*conn, Transaction::Write);
    std::vector<PhoneAccess> phones;
    if (!requireOwnedGroup(call, *conn, groupId) ||
        !resolvePhones(call, *conn, ids, false, "移动分组", phones))
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
        !checkName(call, prefix, "前缀", kPrefixChars) || !requireChosen(call, ids))
        return;
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

} // namespace provider
