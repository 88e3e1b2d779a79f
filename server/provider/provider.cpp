#include "server/provider/provider.h"

#include "server/provider/crypto.h"
#include "server/provider/db.h"
#include "server/provider/jsonwriter.h"
#include "server/provider/log.h"
#include "server/provider/objectstore.h"
#include "server/provider/pngicon.h"
#include "server/provider/runtime.h"
#include "server/storefront/grant.h"

#include <httplib.h>

#include <sys/stat.h>

#include <cstring>

namespace provider {

namespace {

const char *const kJsonType = "application/json; charset=utf-8";
const char *const kIconPrefix = "/billing-icons/";

std::string queryOf(const std::string &target)
{
    const size_t q = target.find('?');
    return q == std::string::npos ? std::string() : target.substr(q + 1);
}

bool isDirectory(const std::string &path)
{
    struct stat st
    {
    };
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

void replyError(httplib::Response &res, int status, std::string_view msg, int httpStatus)
{
    JsonWriter w;
    w.beginObject().field("status", status).field("msg", msg).key("content").null().endObject();
    res.status = httpStatus;
    res.set_content(w.take(), kJsonType);
}

void replyOk(httplib::Response &res, std::string_view msg, const std::function<void(JsonWriter &)> &content)
{
    JsonWriter w;
    w.beginObject().field("status", static_cast<int>(kOk)).field("msg", msg).key("content");
    if (content)
        content(w);
    else
        w.null();
    w.endObject();
    res.status = 200;
    res.set_content(w.take(), kJsonType);
}

Provider::Provider(const Options &options, Database &db, PhoneRuntime &runtime, Log &log)
    : options_(options), db_(db), runtime_(runtime), log_(log),
      limits_(db,
              LoginLimits::Rules{
                  {options.loginMaxFailures, options.loginWindowMs, options.loginLockoutMs},
                  {options.loginAddressFailures, options.loginWindowMs, options.loginLockoutMs},
                  {options.loginNumberAlarm, options.loginWindowMs, options.loginWindowMs},
                  {options.smsPerAddress, 3600 * 1000, 3600 * 1000},
              }),
      decoyHash_(hashPassword(randomHex(16), options.fastHash))
{
    const std::string user = "/api/tamsu-phone-user/v1";
    const std::string phone = "/api/tamsu-cloud-phone/v1";
    routes_ = {
        {user + "/login/phone", {"POST", &Provider::loginPassword, false}},
        {user + "/login/smsCaptcha", {"POST", &Provider::loginSms, false}},
        {user + "/password/resetPasswordByPhoneWithSmsCaptcha", {"POST", &Provider::resetPassword, false}},
        {user + "/register", {"POST", &Provider::registerAccount, false}},
        {"/api/public/v1/verify-code/send", {"POST", &Provider::sendCode, false}},
        {phone + "/phone/group-list", {"GET", &Provider::groupList, true}},
        {phone + "/group/save", {"POST", &Provider::groupSave, true}},
        {phone + "/group/remove", {"POST", &Provider::groupRemove, true}},
        {phone + "/group/rename", {"POST", &Provider::groupRename, true}},
        {phone + "/group/phone-move", {"POST", &Provider::phoneMove, true}},
        {phone + "/group/batch-phone-move", {"POST", &Provider::batchPhoneMove, true}},
        {phone + "/phone/update-phone-name", {"POST", &Provider::renamePhone, true}},
        {phone + "/phone/prefix-rename", {"POST", &Provider::prefixRename, true}},
        {phone + "/phone/restart", {"POST", &Provider::restartPhones, true}},
        {phone + "/phone/reset", {"POST", &Provider::resetPhones, true}},
        {phone + "/phone/list-phones-running-status", {"GET", &Provider::runningStatus, true}},
        {phone + "/phone/get-access-info", {"GET", &Provider::accessInfo, true}},
        {phone + "/order/generate-change-order", {"POST", &Provider::generateChangeOrder, true}},
        {phone + "/order/get-change-order", {"POST", &Provider::getChangeOrder, true}},
        {phone + "/package/check-for-updates", {"GET", &Provider::checkUpdate, false}},
        {"/api/public/v1/storage/get-upload-info", {"GET", &Provider::uploadInfo, true}},
        {"/healthz", {"GET", &Provider::health, false}},
        {"/api/pc-web/v1/plans", {"GET", &Provider::webPlans, true}},
        {"/api/pc-web/v1/phones", {"GET", &Provider::webPhones, true}},
        {"/api/pc-web/v1/buy", {"POST", &Provider::webBuy, true}},
        {"/api/pc-web/v1/renew", {"POST", &Provider::webRenew, true}},
        {"/api/pc-web/v1/catalogue", {"GET", &Provider::webCatalogue, true}},
    };
    if (options_.dev)
        routes_.emplace("/dev/sms", Route{"GET", &Provider::devSms, false});

    // Plan icons are drawn once at start; a plan whose icon is not here answers 404.
    icons_ = {
        {"standard.png", planIconPng(0x19C2D1, 1)},
        {"pro.png", planIconPng(0x3B7BE8, 2)},
        {"flagship.png", planIconPng(0x8E4FD6, 3)},
    };
}

std::string Provider::iconUrl(const std::string &icon) const
{
    return publicUrl_ + kIconPrefix + icon;
}

void Provider::install(httplib::Server &server, const std::string &publicUrl)
{
    publicUrl_ = publicUrl;
    if (isDirectory(options_.webRoot)) {
        server.set_mount_point("/", options_.webRoot);
    } else {
        log_.line("web root not found, pages are not served: " + logSafe(options_.webRoot));
    }

    server.Get(".*", [this](const httplib::Request &req, httplib::Response &res) { dispatch(req, res, {}); });
    server.Post(".*", [this](const httplib::Request &req, httplib::Response &res,
                             const httplib::ContentReader &reader) {
        // The library reads a multipart body only through a part reader, which no route has.
        if (req.is_multipart_form_data()) {
            res.set_header("Connection", "close");
            replyError(res, 415, "请求格式不支持，请以表单格式提交", 415);
            return;
        }
        // Read here rather than through the library's form parser, which decodes '+' as a space
        // and caps form bodies at 8 KiB, too little for a batch over thousands of phones.
        std::string body;
        bool tooLarge = false;
        const bool complete = reader([&](const char *data, size_t size) {
            if (body.size() + size > options_.maxBody) {
                tooLarge = true;
                return false;
            }
            body.append(data, size);
            return true;
        });
        if (tooLarge || (!complete && res.status == 413)) {
            res.set_header("Connection", "close");
            replyError(res, 413, "请求内容过大", 413);
            return;
        }
        if (!complete) {
            res.set_header("Connection", "close");
            replyError(res, kBadRequest, "请求内容不完整", 400);
            return;
        }
        dispatch(req, res, body);
    });
    const auto other = [this](const httplib::Request &req, httplib::Response &res) {
        dispatch(req, res, {});
    };
    server.Put(".*", other);
    server.Delete(".*", other);
    server.Patch(".*", other);
    server.Options(".*", other);

    // Answers that the library makes itself (bad request line, too long, ...) get an envelope too.
    server.set_error_handler([](const httplib::Request &, httplib::Response &res) {
        if (res.body.empty())
            replyError(res, res.status, res.status == 413 ? "请求内容过大" : "请求无效", res.status);
    });
    server.set_exception_handler(
        [this](const httplib::Request &req, httplib::Response &res, std::exception_ptr ep) {
            std::string what = "unknown";
            try {
                if (ep)
                    std::rethrow_exception(ep);
            } catch (const std::exception &e) {
                what = e.what();
            } catch (...) {
            }
            log_.line("error in " + logSafe(req.path) + ": " + logSafe(what));
            replyError(res, kInternal, "服务器内部错误", 500);
        });
    server.set_logger([this](const httplib::Request &req, const httplib::Response &res) {
        log_.line(req.method + " " + logSafe(req.path) + " " + std::to_string(res.status) + " " +
                  std::to_string(res.body.size()) + "B");
    });
}

void Provider::dispatch(const httplib::Request &req, httplib::Response &res, const std::string &body)
{
    const bool isGet = req.method == "GET" || req.method == "HEAD";
    const auto route = routes_.find(req.path);
    if (route == routes_.end()) {
        if (isGet && req.path.rfind(kIconPrefix, 0) == 0) {
            billingIcon(req, res);
            return;
        }
        replyError(res, kNotFound, "接口不存在", 404);
        return;
    }
    const Route &r = route->second;
    if ((std::strcmp(r.method, "GET") == 0) != isGet || (!isGet && req.method != r.method)) {
        res.set_header("Allow", std::strcmp(r.method, "GET") == 0 ? "GET, HEAD" : r.method);
        replyError(res, 405, "请求方法不支持", 405);
        return;
    }

    Call call{req, res, {}, 0};
    if (!isGet) {
        const std::string type = req.get_header_value("Content-Type");
        const bool form =
            type.size() >= 33 && strncasecmp(type.c_str(), "application/x-www-form-urlencoded", 33) == 0;
        if (!form && !(type.empty() && body.empty())) {
            replyError(res, 415, "请求格式不支持，请以表单格式提交", 415);
            return;
        }
    }
    std::string error;
    if (!parseParams(isGet ? queryOf(req.target) : body, call.params, error)) {
        replyError(res, kBadRequest, error);
        return;
    }
    try {
        if (r.auth && !authenticate(call))
            return;
        (this->*r.handler)(call);
    } catch (const DbError &e) {
        log_.line("database error in " + logSafe(req.path) + ": " + e.what());
        if (e.busy())
            replyError(res, kUnavailable, "服务繁忙，请稍后再试");
        else
            replyError(res, kInternal, "服务器内部错误", 500);
    }
}

bool Provider::authenticate(Call &call)
{
    const std::string token = call.req.get_header_value("Authorization");
    if (token.empty()) {
        replyError(call.res, kUnauthorized, "请先登录");
        return false;
    }
    const int64_t now = nowMs();
    auto conn = db_.acquire();
    Query q(*conn, "SELECT user_id, expires_ms FROM tokens WHERE token_hash = ?1");
    q.bind(1, sha256Hex(token));
    if (!q.step()) {
        replyError(call.res, kUnauthorized, "登录状态无效，请重新登录");
        return false;
    }
    if (q.i64(1) <= now) {
        replyError(call.res, kUnauthorized, "登录已过期，请重新登录");
        return false;
    }
    call.userId = q.i64(0);
    return true;
}

bool Provider::requireText(Call &call, const char *name, const char *missingMsg, std::string &out)
{
    const std::string *v = call.params.find(name);
    if (!v || v->empty()) {
        replyError(call.res, kBadRequest, missingMsg);
        return false;
    }
    out = *v;
    return true;
}

bool Provider::requireInt(Call &call, const char *name, const char *label, int64_t &out)
{
    const std::string *v = call.params.find(name);
    if (!v || v->empty()) {
        replyError(call.res, kBadRequest, std::string("缺少参数：") + label);
        return false;
    }
    const auto n = parseInt(*v, INT32_MIN, INT32_MAX);
    if (!n) {
        replyError(call.res, kBadRequest, std::string(label) + "格式不正确");
        return false;
    }
    out = *n;
    return true;
}

bool Provider::requireIds(Call &call, const char *name, std::vector<int64_t> &out)
{
    const std::string *v = call.params.find(name);
    if (!v) {
        replyError(call.res, kBadRequest, "请选择云手机");
        return false;
    }
    if (!parseIdList(*v, out, 10000)) {
        replyError(call.res, kBadRequest, "云手机ID列表格式不正确");
        return false;
    }
    return true;
}

bool Provider::requireChosen(Call &call, const std::vector<int64_t> &ids)
{
    if (ids.empty()) {
        replyError(call.res, kBadRequest, "请选择云手机");
        return false;
    }
    return true;
}

bool Provider::requireMobile(Call &call, const char *name, std::string &out)
{
    if (!requireText(call, name, "手机号码不能为空", out))
        return false;
    if (!isMobileNumber(out)) {
        replyError(call.res, kBadRequest, "手机号码格式不正确");
        return false;
    }
    return true;
}

bool Provider::checkName(Call &call, std::string &name, const char *what, size_t maxChars)
{
    const auto first = name.find_first_not_of(' ');
    name = first == std::string::npos ? std::string()
                                      : name.substr(first, name.find_last_not_of(' ') - first + 1);
    if (name.empty()) {
        replyError(call.res, kBadRequest, std::string(what) + "不能为空");
        return false;
    }
    if (hasControlChars(name)) {
        replyError(call.res, kBadRequest, std::string(what) + "包含无效字符");
        return false;
    }
    if (codePointCount(name) > maxChars) {
        replyError(call.res, kBadRequest,
                   std::string(what) + "不能超过" + std::to_string(maxChars) + "个字符");
        return false;
    }
    return true;
}

void Provider::health(Call &call)
{
    replyOk(call.res, "ok",
            [](JsonWriter &w) { w.beginObject().field("service", "pelomir-provider").endObject(); });
}

void Provider::billingIcon(const httplib::Request &req, httplib::Response &res)
{
    const auto it = icons_.find(req.path.substr(std::strlen(kIconPrefix)));
    if (it == icons_.end()) {
        replyError(res, kNotFound, "图标不存在", 404);
        return;
    }
    res.set_header("Cache-Control", "max-age=86400");
    res.set_content(it->second, "image/png");
}

void Provider::uploadInfo(Call &call)
{
    int64_t userId = 0;
    if (!requireInt(call, "userId", "用户ID", userId))
        return;
    if (userId != call.userId) {
        replyError(call.res, kForbidden, "无权获取该用户的上传凭证");
        return;
    }
    const std::string prefix = uploadPrefix(options_, userId);
    if (prefix.empty()) {
        log_.line("upload path option gives no valid key prefix");
        replyError(call.res, kInternal, "上传配置错误");
        return;
    }
    // The account's own key, secret and token, for its own folder and only as long as an upload takes.
    const storegrant::Grant grant = storegrant::mint(options_.storeGrantSecret, prefix, "rw",
                                                     nowSeconds() + options_.storeGrantTtlMs / 1000);
    replyOk(call.res, "成功", [&](JsonWriter &w) {
        w.beginObject()
            .field("accessKeyId", grant.keyId)
            .field("accessKeySecret", grant.secret)
            .field("bucket", options_.storeBucket)
            .field("fileUploadPath", prefix)
            .field("securityToken", grant.token)
            .field("expiration", grant.expires)
            .endObject();
    });
}

void Provider::checkUpdate(Call &call)
{
    std::string package;
    int64_t version = 0;
    if (!requireText(call, "packageName", "缺少应用包名", package) ||
        !requireInt(call, "versionNo", "版本号", version))
        return;
    if (package != options_.updatePackage) {
        replyError(call.res, kNotFound, "未找到该应用");
        return;
    }
    if (version >= options_.updateVersionCode || options_.updateUrl.empty()) {
        replyOk(call.res, "已是最新版本", [](JsonWriter &w) { w.beginObject().endObject(); });
        return;
    }
    replyOk(call.res, "有新版本", [&](JsonWriter &w) {
        w.beginObject()
            .field("packageName", options_.updatePackage)
            .field("versionNo", options_.updateVersionCode)
            .field("versionName", options_.updateVersionName)
            .field("downloadUrl", options_.updateUrl)
            .field("forceUpdateState", options_.updateForce ? 1 : 0)
            .endObject();
    });
}

} // namespace provider
