#pragma once

#include "server/provider/options.h"
#include "server/provider/textutil.h"
#include "server/provider/throttle.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

namespace provider {

class Connection;
class Database;
class JsonWriter;
class Log;
class PhoneRuntime;
class Transaction;

// "status" values of the answer envelope. 1 is success; failures borrow HTTP's numbers so a
// reader can tell the kinds apart, while the HTTP status itself stays 200 for them.
enum Status : int
{
    kOk = 1,
    kBadRequest = 400,
    kUnauthorized = 401,
    kForbidden = 403,
    kNotFound = 404,
    kConflict = 409,
    kExpired = 410,
    kTooMany = 429,
    kInternal = 500,
    kUnavailable = 503,
};

// One API request while it is handled.
struct Call
{
    const httplib::Request &req;
    httplib::Response &res;
    Params params;
    int64_t userId = 0;
};

// A phone as an authenticated user may see it.
struct PhoneAccess
{
    int64_t id = 0;
    int64_t cloudPhoneId = 0;
    std::string deviceId;
    int64_t billingId = 0;
    int64_t endTime = 0;
    bool owned = false;
    int64_t grantId = 0;
    int strategy = 0;       // authorization strategy of a granted phone; 1 = view only
    int64_t generation = 1; // of its credentials; raised to void the ones issued before
};

// The fields of a device exchange order.
struct ChangeOrder
{
    int64_t billingId = 0;
    std::string payChannel;
    int64_t cloudPhoneId = 0;
};

// The provider's HTTP API, its web pages and icons. Request handlers run on the HTTP server's
// worker threads, many at once; they share nothing but the database pool, the throttle and the
// phone runtime, each of which locks for itself.
class Provider
{
public:
    Provider(const Options &options, Database &db, PhoneRuntime &runtime, Log &log);

    // Registers every handler; `publicUrl` is where clients reach this server.
    void install(httplib::Server &server, const std::string &publicUrl);
    // Creates the demo data (and the scale account) on first start. Main thread, before serving.
    void seed();

private:
    using Handler = void (Provider::*)(Call &);
    struct Route
    {
        const char *method;
        Handler handler;
        bool auth;
    };

    void dispatch(const httplib::Request &req, httplib::Response &res, const std::string &body);
    bool authenticate(Call &call);

    // Accounts.
    void loginPassword(Call &call);
    void loginSms(Call &call);
    void sendCode(Call &call);
    void resetPassword(Call &call);
    void registerAccount(Call &call);
    void devSms(Call &call);
    void replyLogin(Call &call, int64_t userId);
    // Takes a login attempt of the caller's address and number from the throttle; replies and
    // returns false when too many have failed.
    bool reserveLogin(Call &call, const std::string &phone);
    bool requireCodeForm(Call &call, std::string &phone, std::string &code);
    // Checks and uses up the number's code, and finds its account; replies and returns false for a
    // code that is not right.
    bool spendCode(Call &call, const std::string &phone, const std::string &code, int64_t &userId,
                   bool &found);
    // The code form with a new password, for an account that must exist (`existing`) or must not:
    // the code is spent, the account checked and the password hashed. Replies and returns false on
    // any fault.
    bool requirePasswordForm(Call &call, bool existing, std::string &phone, int64_t &userId,
                             std::string &hash);

    // Inventory.
    void groupList(Call &call);
    void groupSave(Call &call);
    void groupRemove(Call &call);
    void groupRename(Call &call);
    void phoneMove(Call &call);
    void batchPhoneMove(Call &call);
    void movePhones(Call &call, int64_t groupId, const std::vector<int64_t> &ids);
    void renamePhone(Call &call);
    void prefixRename(Call &call);
    void restartPhones(Call &call);
    void resetPhones(Call &call);
    void runningStatus(Call &call);
    void accessInfo(Call &call);
    void generateChangeOrder(Call &call);
    void getChangeOrder(Call &call);
    // Both exchange calls: reads the order's fields, finds the phone and goes on in one write
    // transaction to record the order or, with `complete`, to carry it out.
    void changeOrder(Call &call, bool complete);
    void recordChangeOrder(Call &call, Connection &conn, Transaction &tx, const ChangeOrder &r,
                           const PhoneAccess &p);
    void completeChangeOrder(Call &call, Connection &conn, Transaction &tx, const ChangeOrder &r,
                             const PhoneAccess &p);

    // The purchase and upload pages.
    void webPlans(Call &call);
    void webPhones(Call &call);
    bool acceptPayment(Call &call, int64_t months, const std::string &lengthLabel);
    void webBuy(Call &call);
    void webRenew(Call &call);
    bool requireOrderKey(Call &call, std::string &key);
    // Inside the caller's write transaction: answers a key already paid for (with the first answer,
    // or a refusal when the request differs) and returns true; false for a new key.
    bool replayOrder(Call &call, Connection &conn, const std::string &key, const std::string &request,
                     std::string_view msg);
    void storeOrder(Connection &conn, int64_t userId, const std::string &key, const std::string &orderNo,
                    const char *kind, const std::string &request, int64_t amount, const std::string &answer);
    void webCatalogue(Call &call);
    // Puts every catalogue file that is missing or differs (idempotent, so two calls at once do no
    // harm); false with the reason when one cannot be put right.
    bool storeCatalogue(std::string &error);

    // Everything else.
    void uploadInfo(Call &call);
    void checkUpdate(Call &call);
    void health(Call &call);
    void billingIcon(const httplib::Request &req, httplib::Response &res);

    // Shared helpers.
    bool requireText(Call &call, const char *name, const char *missingMsg, std::string &out);
    bool requireInt(Call &call, const char *name, const char *label, int64_t &out);
    bool requireIds(Call &call, const char *name, std::vector<int64_t> &out);
    // Refuses an empty selection; checked after the other fields, which name their own faults first.
    bool requireChosen(Call &call, const std::vector<int64_t> &ids);
    bool requireMobile(Call &call, const char *name, std::string &out);
    bool checkName(Call &call, std::string &name, const char *what, size_t maxChars);
    bool checkNewPassword(Call &call, const std::string &password);
    // Looks up the phones of a list for the call's user; replies and returns false when one is not
    // theirs. `needControl` also refuses view-only phones and expired rentals.
    bool resolvePhones(Call &call, Connection &conn, const std::vector<int64_t> &ids, bool needControl,
                       const char *verb, std::vector<PhoneAccess> &out);
    bool resolvePhone(Call &call, Connection &conn, int64_t cloudPhoneId, bool needControl, const char *verb,
                      PhoneAccess &out);
    bool lookupPhone(Connection &conn, int64_t userId, int64_t cloudPhoneId, PhoneAccess &out);
    // Writes the members of a phone's "accessInfo" object into the open object.
    void writeAccessInfo(JsonWriter &w, const std::string &deviceId, int64_t generation, int64_t endTime,
                         bool restricted, int64_t grantId, int strategy, int64_t now);
    std::string iconUrl(const std::string &icon) const;
    bool changePhones(Call &call, bool reset);

    const Options &options_;
    Database &db_;
    PhoneRuntime &runtime_;
    Log &log_;
    LoginLimits limits_;
    // Checked against when the number has no account, so that a login takes as long either way.
    std::string decoyHash_;
    std::string publicUrl_;
    std::unordered_map<std::string, Route> routes_;
    std::unordered_map<std::string, std::string> icons_;
};

// Seconds since the epoch.
int64_t nowSeconds();
// Adds a phone with a fresh device id to `ownerId`'s account; groupId 0 leaves it ungrouped. Returns
// the phone's record id. Inside the caller's write transaction. Phones take the farm's three screen
// sizes in turn of their record ids.
int64_t addPhone(Connection &conn, int64_t ownerId, int64_t groupId, const std::string &name,
                 int64_t billingId, int64_t endTime);

// Answer helpers, shared by the handler files.
void replyError(httplib::Response &res, int status, std::string_view msg, int httpStatus = 200);
void replyOk(httplib::Response &res, std::string_view msg, const std::function<void(JsonWriter &)> &content);

} // namespace provider
