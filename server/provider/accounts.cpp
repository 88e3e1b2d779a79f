// Account handlers: logins, SMS codes, password reset and registration.
#include "server/provider/crypto.h"
#include "server/provider/db.h"
#include "server/provider/jsonwriter.h"
#include "server/provider/log.h"
#include "server/provider/provider.h"
#include "server/provider/runtime.h"

#include <httplib.h>

namespace provider {

namespace {

constexpr size_t kMaxPasswordBytes = 128;
constexpr int kPlatformId = 8;
constexpr int kStatisticsNo = 3148;

int secondsLeft(int64_t ms)
{
    return static_cast<int>((ms + 999) / 1000);
}

enum class CodeCheck
{
    Ok,
    None,
    Expired,
    Wrong,
    Exhausted
};

// Checks and, when right, uses up the number's SMS code. Wrong entries are counted, and the code
// is void after too many, so six digits cannot be guessed. Runs inside the caller's write
// transaction, which must be committed in every outcome.
CodeCheck useCode(Connection &conn, const std::string &phone, const std::string &code, int maxAttempts)
{
    Query q(conn, "SELECT code, expires_ms, attempts, used FROM sms_codes WHERE phone = ?1");
    q.bind(1, phone);
    if (!q.step() || q.i64(3) != 0)
        return CodeCheck::None;
    const std::string expected = q.text(0);
    const int64_t expires = q.i64(1);
    const int64_t attempts = q.i64(2);
    if (expires <= nowMs())
        return CodeCheck::Expired;
    if (attempts >= maxAttempts)
        return CodeCheck::Exhausted;
    if (!constantTimeEquals(expected, code)) {
        Query u(conn, "UPDATE sms_codes SET attempts = attempts + 1 WHERE phone = ?1");
        u.bind(1, phone).run();
        return attempts + 1 >= maxAttempts ? CodeCheck::Exhausted : CodeCheck::Wrong;
    }
    Query u(conn, "UPDATE sms_codes SET used = 1 WHERE phone = ?1");
    u.bind(1, phone).run();
    return CodeCheck::Ok;
}

const char *codeMessage(CodeCheck c)
{
    switch (c) {
    case CodeCheck::None:
        return "请先获取验证码";
    case CodeCheck::Expired:
        return "验证码已过期，请重新获取";
    case CodeCheck::Wrong:
        return "验证码错误";
    case CodeCheck::Exhausted:
        return "验证码错误次数过多，请重新获取";
    case CodeCheck::Ok:
        break;
    }
    return "";
}

int codeStatus(CodeCheck c)
{
    return c == CodeCheck::Expired ? kExpired : c == CodeCheck::None ? kBadRequest : kForbidden;
}

bool findUser(Connection &conn, const std::string &phone, int64_t &id, std::string *hash = nullptr)
{
    Query q(conn, "SELECT id, password_hash FROM users WHERE phone = ?1");
    q.bind(1, phone);
    if (!q.step())
        return false;
    id = q.i64(0);
    if (hash)
        *hash = q.text(1);
    return true;
}

// Spends the number's SMS code and looks its account up, in one write transaction. Returns
// whether the account exists. The code is checked either way: codes are sent to any number, and
// an answer about the account must come only after the right one.
bool findUserAndUseCode(Database &db, const std::string &phone, const std::string &code, int maxAttempts,
                        int64_t &userId, CodeCheck &check)
{
    auto conn = db.acquire();
    Transaction tx(*conn, Transaction::Write);
    check = useCode(*conn, phone, code, maxAttempts);
    const bool found = findUser(*conn, phone, userId);
    tx.commit();
    return found;
}

} // namespace

bool Provider::checkNewPassword(Call &call, const std::string &password)
{
    const size_t chars = codePointCount(password);
    if (chars < 6 || chars > 32) {
        replyError(call.res, kBadRequest, "密码长度须为6到32个字符");
        return false;
    }
    if (hasControlChars(password)) {
        replyError(call.res, kBadRequest, "密码包含无效字符");
        return false;
    }
    return true;
}

bool Provider::requireCodeForm(Call &call, std::string &phone, std::string &code)
{
    return requireMobile(call, "phone", phone) && requireText(call, "smsCaptcha", "验证码不能为空", code);
}

bool Provider::spendCode(Call &call, const std::string &phone, const std::string &code, int64_t &userId,
                         bool &found)
{
    CodeCheck check = CodeCheck::None;
    found = findUserAndUseCode(db_, phone, code, options_.smsMaxAttempts, userId, check);
    if (check != CodeCheck::Ok) {
        replyError(call.res, codeStatus(check), codeMessage(check));
        return false;
    }
    return true;
}

bool Provider::requirePasswordForm(Call &call, bool existing, std::string &phone, int64_t &userId,
                                   std::string &hash)
{
    std::string code, password;
    bool found = false;
    if (!requireCodeForm(call, phone, code) || !requireText(call, "password", "密码不能为空", password) ||
        !checkNewPassword(call, password) || !spendCode(call, phone, code, userId, found))
        return false;
    if (found != existing) {
        if (existing)
            replyError(call.res, kNotFound, "该手机号未注册");
        else
            replyError(call.res, kConflict, "该手机号已注册");
        return false;
    }
    hash = hashPassword(password, options_.fastHash);
    if (hash.empty()) {
        replyError(call.res, kInternal, "服务器内部错误", 500);
        return false;
    }
    return true;
}

void Provider::replyLogin(Call &call, int64_t userId)
{
    const std::string token = randomHex(32);
    const int64_t now = nowMs();
    const int64_t expires = now + options_.tokenTtlMs;
    std::string phone, nickname;
    int64_t created = 0;
    {
        auto conn = db_.acquire();
        Transaction tx(*conn, Transaction::Write);
        Query del(*conn, "DELETE FROM tokens WHERE user_id = ?1 AND expires_ms <= ?2");
        del.bind(1, userId).bind(2, now).run();
        Query ins(*conn, "INSERT INTO tokens(token_hash, user_id, expires_ms) VALUES(?1, ?2, ?3)");
        ins.bind(1, sha256Hex(token)).bind(2, userId).bind(3, expires).run();
        // Logins that are never logged out must not grow the table without bound.
        Query cap(*conn, "DELETE FROM tokens WHERE user_id = ?1 AND rowid NOT IN "
                         "(SELECT rowid FROM tokens WHERE user_id = ?1 ORDER BY rowid DESC LIMIT ?2)");
        cap.bind(1, userId).bind(2, static_cast<int64_t>(options_.maxTokens)).run();
        Query u(*conn, "SELECT phone, nickname, created_at FROM users WHERE id = ?1");
        u.bind(1, userId);
        if (u.step()) {
            phone = u.text(0);
            nickname = u.text(1);
            created = u.i64(2);
        }
        tx.commit();
    }
    const std::string createdText = formatLocalTime(static_cast<std::time_t>(created));
    replyOk(call.res, "登录成功", [&](JsonWriter &w) {
        w.beginObject();
        w.key("userDetail").beginObject();
        w.field("availableness", 1)
            .field("avatar", "")
            .field("birthday", "")
            .field("createTime", createdText)
            .field("createTimeStr", createdText)
            .field("developerStatus", 0)
            .field("id", userId)
            .field("imei", "")
            .field("nickname", nickname)
            .field("passwordStatus", 1)
            .field("phone", phone)
            .field("phoneStatus", 1)
            .field("platformId", kPlatformId)
            .field("qqStatus", 0)
            .field("realNameAuthentication", 0)
            .field("registerTime", createdText)
            .field("registerTimeStr", createdText)
            .field("sex", 0)
            .field("statisticsNo", kStatisticsNo)
            .field("userId", userId)
            .field("username", phone)
            .field("usernameStatus", 1)
            .field("wechatStatus", 0)
            .field("weiboStatus", 0);
        w.endObject();
        w.key("userToken").beginObject();
        w.field("expiredTime", formatLocalTime(static_cast<std::time_t>(expires / 1000)))
            .field("expiresIn", (options_.tokenTtlMs + 999) / 1000)
            .field("platformId", kPlatformId)
            .field("token", token)
            .field("userId", userId);
        w.endObject();
        w.endObject();
    });
}

namespace {

// No account and a wrong password get the same answer, so that logins cannot tell which numbers
// have an account.
void replyBadLogin(Call &call)
{
    replyError(call.res, kForbidden, "手机号或密码错误");
}

} // namespace

bool Provider::reserveLogin(Call &call, const std::string &phone)
{
    if (const int wait = limits_.reserve(call.req.remote_addr, phone)) {
        replyError(call.res, kTooMany, "登录失败次数过多，请" + std::to_string(wait) + "秒后再试");
        return false;
    }
    return true;
}

void Provider::loginPassword(Call &call)
{
    std::string phone, password;
    if (!requireMobile(call, "phone", phone) || !requireText(call, "password", "密码不能为空", password) ||
        !reserveLogin(call, phone))
        return;
    int64_t userId = 0;
    std::string hash;
    bool found;
    {
        auto conn = db_.acquire();
        found = findUser(*conn, phone, userId, &hash);
    }
    // The slow hash runs with no connection or lock held, and runs for a number without an
    // account as well.
    const bool right =
        password.size() <= kMaxPasswordBytes && verifyPassword(found ? hash : decoyHash_, password) && found;
    if (!right) {
        replyBadLogin(call);
        return;
    }
    limits_.succeeded(call.req.remote_addr, phone);
    if (passwordNeedsRehash(hash, options_.fastHash)) {
        const std::string fresh = hashPassword(password, options_.fastHash);
        auto conn = db_.acquire();
        Query u(*conn, "UPDATE users SET password_hash = ?1 WHERE id = ?2 AND password_hash = ?3");
        u.bind(1, fresh).bind(2, userId).bind(3, hash).run();
    }
    replyLogin(call, userId);
}

void Provider::loginSms(Call &call)
{
    std::string phone, code;
    if (!requireCodeForm(call, phone, code) || !reserveLogin(call, phone))
        return;
    int64_t userId = 0;
    bool found = false;
    if (!spendCode(call, phone, code, userId, found))
        return;
    // Only whoever received the number's code learns that it has no account.
    if (!found) {
        replyError(call.res, kNotFound, "该手机号未注册");
        return;
    }
    limits_.succeeded(call.req.remote_addr, phone);
    replyLogin(call, userId);
}

void Provider::sendCode(Call &call)
{
    std::string phone;
    if (!requireMobile(call, "mobile", phone))
        return;
    if (const int wait = limits_.reserveSms(call.req.remote_addr)) {
        replyError(call.res, kTooMany, "验证码发送过于频繁，请" + std::to_string(wait) + "秒后再试");
        return;
    }
    const int64_t now = nowMs();
    const std::string code = randomDigits(6);
    {
        auto conn = db_.acquire();
        Transaction tx(*conn, Transaction::Write);
        Query q(*conn, "SELECT sent_ms FROM sms_codes WHERE phone = ?1");
        q.bind(1, phone);
        if (q.step() && now - q.i64(0) < options_.smsIntervalMs) {
            const int wait = secondsLeft(q.i64(0) + options_.smsIntervalMs - now);
            replyError(call.res, kTooMany, "验证码发送过于频繁，请" + std::to_string(wait) + "秒后再试");
            return;
        }
        Query up(*conn,
                 "INSERT INTO sms_codes(phone, code, sent_ms, expires_ms, attempts, used) "
                 "VALUES(?1, ?2, ?3, ?4, 0, 0) ON CONFLICT(phone) DO UPDATE SET code = excluded.code, "
                 "sent_ms = excluded.sent_ms, expires_ms = excluded.expires_ms, attempts = 0, used = 0");
        up.bind(1, phone).bind(2, code).bind(3, now).bind(4, now + options_.smsTtlMs).run();
        tx.commit();
    }
    // There is no SMS gateway: the log is where the code goes.
    log_.line("SMS code " + code + " for " + phone);
    replyOk(call.res, "验证码已发送", [&](JsonWriter &w) {
        w.beginObject()
            .field("expiresIn", secondsLeft(options_.smsTtlMs))
            .field("interval", secondsLeft(options_.smsIntervalMs))
            .endObject();
    });
}

void Provider::resetPassword(Call &call)
{
    std::string phone, hash;
    int64_t userId = 0;
    if (!requirePasswordForm(call, true, phone, userId, hash))
        return;
    std::vector<std::pair<std::string, int64_t>> retired;
    {
        auto conn = db_.acquire();
        Transaction tx(*conn, Transaction::Write);
        Query u(*conn, "UPDATE users SET password_hash = ?1 WHERE id = ?2");
        u.bind(1, hash).bind(2, userId).run();
        // Whoever knew the old password loses the sessions it opened, and the phone credentials it
        // took: every phone the account reaches gets a new generation.
        Query d(*conn, "DELETE FROM tokens WHERE user_id = ?1");
        d.bind(1, userId).run();
        Query g(*conn,
                "UPDATE phones SET generation = generation + 1 WHERE owner_id = ?1 OR "
                "id IN (SELECT phone_id FROM grants WHERE user_id = ?1) RETURNING device_id, generation");
        g.bind(1, userId);
        while (g.step())
            retired.emplace_back(g.text(0), g.i64(1));
        tx.commit();
    }
    std::string error;
    if (!runtime_.retire(retired, error))
        log_.line("old phone credentials of user " + std::to_string(userId) +
                  " stay valid at the farm until they expire: " + error);
    log_.line("password reset for user " + std::to_string(userId));
    replyOk(call.res, "密码重置成功", nullptr);
}

void Provider::registerAccount(Call &call)
{
    std::string phone, hash;
    int64_t existing = 0;
    if (!requirePasswordForm(call, false, phone, existing, hash))
        return;
    int64_t userId = 0;
    {
        auto conn = db_.acquire();
        Transaction tx(*conn, Transaction::Write);
        Query ins(*conn,
                  "INSERT INTO users(phone, password_hash, nickname, created_at) VALUES(?1, ?2, ?3, ?4) "
                  "ON CONFLICT(phone) DO NOTHING");
        ins.bind(1, phone).bind(2, hash).bind(3, "用户" + phone.substr(7)).bind(4, nowMs() / 1000).run();
        if (conn->changes() == 0) {
            replyError(call.res, kConflict, "该手机号已注册");
            return;
        }
        userId = conn->lastInsertId();
        Query g(*conn, "INSERT INTO groups(user_id, name, sort_order) VALUES(?1, '默认分组', 1)");
        g.bind(1, userId).run();
        tx.commit();
    }
    log_.line("registered user " + std::to_string(userId));
    replyOk(call.res, "注册成功",
            [&](JsonWriter &w) { w.beginObject().field("userId", userId).endObject(); });
}

void Provider::devSms(Call &call)
{
    std::string phone;
    if (!requireMobile(call, "phone", phone))
        return;
    auto conn = db_.acquire();
    Query q(*conn, "SELECT code, sent_ms, expires_ms, used FROM sms_codes WHERE phone = ?1");
    q.bind(1, phone);
    if (!q.step()) {
        replyError(call.res, kNotFound, "该号码没有验证码");
        return;
    }
    const int64_t now = nowMs();
    replyOk(call.res, "成功", [&](JsonWriter &w) {
        w.beginObject()
            .field("phone", phone)
            .field("code", q.view(0))
            .field("sentTime", formatLocalTime(static_cast<std::time_t>(q.i64(1) / 1000)))
            .field("expiresIn", q.i64(2) > now ? secondsLeft(q.i64(2) - now) : 0)
            .field("used", q.i64(3) != 0)
            .endObject();
    });
}

} // namespace provider
