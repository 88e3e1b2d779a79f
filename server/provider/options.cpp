#include "server/provider/options.h"

#include "server/provider/textutil.h"

#include <functional>
#include <map>

#ifndef PELOMIR_PROVIDER_WEB_ROOT
#define PELOMIR_PROVIDER_WEB_ROOT ""
#endif

namespace provider {

std::string helpText()
{
    return R"(Usage: pelomir-provider --db PATH [options]

The provider service of the Pelomir cloud phones: accounts, phone inventory, upload
credentials, update check, billing icons and the provider's web pages, kept in SQLite.
A new database file is created, migrated and seeded with the demo account
13800000000 / pelomir2026. SIGTERM or SIGINT shuts the server down cleanly. The first
line on standard output is "listening on http://HOST:PORT".

Server:
  --listen HOST:PORT        address to listen on (default 127.0.0.1:18080; port 0 picks a free port)
  --db PATH                 SQLite database file (required; created when missing)
  --log PATH                append the log to PATH instead of standard error
  --public-url URL          address clients reach this server at, used in billing icon
                            addresses (default http://HOST:PORT of --listen)
  --web-root DIR            folder of the web pages served at "/" (default: the source tree's
                            server/provider/web)
  --threads N               request worker threads (default 16)
  --max-body BYTES          largest accepted request body (default 65536)
  --dev                     development mode: GET /dev/sms?phone=N shows the last SMS code

Accounts:
  --token-ttl SECONDS       lifetime of a login token (default 604800 = 7 days; fractions allowed)
  --sms-interval SECONDS    least time between two SMS codes to one number (default 60)
  --sms-ttl SECONDS         lifetime of an SMS code (default 300)
  --sms-max-attempts N      wrong entries after which a code is void (default 5)
  --login-max-failures N    failed logins of one number before it is locked (default 5)
  --login-lockout SECONDS   how long a locked number stays locked (default 300)
  --fast-hash               cheapest Argon2id cost, for tests only (passwords stay Argon2id)

Inventory:
  --seed-phones N           also create the scale account 13900000000 / pelomir2026 with N phones
                            in groups of 100 (on first start with that option)
  --aes-key KEY             24-byte key of the phones' access field (default: the client's key)
  --ucid-ttl SECONDS        lifetime of the phone access credentials handed out (default 86400)
  --farm URL                phone farm admin address (e.g. http://127.0.0.1:18091); restart, reset
                            and running status then go to the farm; without it they are simulated
  --farm-secret S           secret shared with the phone farm (default pelomir-dev-farm-secret)
  --restart-seconds S       simulated restart time without --farm (default 5)
  --reset-seconds S         simulated factory reset time without --farm (default 8)

Upload credentials (GET /api/public/v1/storage/get-upload-info):
  --store-key-id ID         access key id (default S3RVER)
  --store-key-secret S      access key secret (default S3RVER)
  --store-bucket NAME       bucket (default pelomir-uploads)
  --store-upload-path P     object key prefix; "{userId}" is replaced (default upload/{userId})
  --store-security-token T  security token handed out (default pelomir-dev-session)

Update check (GET /api/tamsu-cloud-phone/v1/package/check-for-updates):
  --update-package NAME     package name the check answers for (default com.pc.zaqtor)
  --update-version-code N   latest version number; clients below it get an update (default 0 = none)
  --update-version-name V   latest version name shown with it
  --update-url URL          download address of the latest version
  --update-force            the update is mandatory

  --help                    this text
  --version                 the version
)";
}

namespace {

bool parseSeconds(const std::string &text, int64_t &outMs, bool allowZero)
{
    size_t used = 0;
    double seconds = 0;
    try {
        seconds = std::stod(text, &used);
    } catch (...) {
        return false;
    }
    if (used != text.size() || !(seconds >= 0) || seconds > 10.0 * 365 * 24 * 3600 ||
        (!allowZero && seconds == 0))
        return false;
    outMs = static_cast<int64_t>(seconds * 1000 + 0.5);
    return allowZero || outMs > 0;
}

bool parseListen(const std::string &text, std::string &host, int &port)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    const auto p = parseInt(std::string_view(text).substr(colon + 1), 0, 65535);
    if (!p)
        return false;
    host = text.substr(0, colon);
    port = static_cast<int>(*p);
    return true;
}

} // namespace

ParseResult parseOptions(int argc, char **argv, Options &out, std::string &message)
{
    out.webRoot = PELOMIR_PROVIDER_WEB_ROOT;
    using Setter = std::function<bool(const std::string &)>;
    const auto seconds = [](int64_t &field, bool allowZero) {
        return Setter(
            [&field, allowZero](const std::string &v) { return parseSeconds(v, field, allowZero); });
    };
    const auto integer = [](int &field, int64_t min, int64_t max) {
        return Setter([&field, min, max](const std::string &v) {
            const auto n = parseInt(v, min, max);
            if (n)
                field = static_cast<int>(*n);
            return n.has_value();
        });
    };
    const auto text = [](std::string &field) {
        return Setter([&field](const std::string &v) {
            field = v;
            return true;
        });
    };
    int64_t ucidTtlMs = out.ucidTtlSeconds * 1000;
    int maxBody = static_cast<int>(out.maxBody);
    const std::map<std::string, Setter> valued = {
        {"--listen", [&](const std::string &v) { return parseListen(v, out.listenHost, out.listenPort); }},
        {"--db", text(out.dbPath)},
        {"--log", text(out.logPath)},
        {"--public-url", text(out.publicUrl)},
        {"--web-root", text(out.webRoot)},
        {"--threads", integer(out.threads, 1, 256)},
        {"--max-body", integer(maxBody, 1024, 64 * 1024 * 1024)},
        {"--token-ttl", seconds(out.tokenTtlMs, false)},
        {"--sms-interval", seconds(out.smsIntervalMs, true)},
        {"--sms-ttl", seconds(out.smsTtlMs, false)},
        {"--sms-max-attempts", integer(out.smsMaxAttempts, 1, 1000)},
        {"--login-max-failures", integer(out.loginMaxFailures, 1, 1000)},
        {"--login-lockout", seconds(out.loginLockoutMs, false)},
        {"--seed-phones", integer(out.seedPhones, 0, 100000)},
        {"--aes-key", text(out.aesKey)},
        {"--ucid-ttl", seconds(ucidTtlMs, false)},
        {"--farm", text(out.farmUrl)},
        {"--farm-secret", text(out.farmSecret)},
        {"--restart-seconds", seconds(out.restartMs, false)},
        {"--reset-seconds", seconds(out.resetMs, false)},
        {"--store-key-id", text(out.storeKeyId)},
        {"--store-key-secret", text(out.storeKeySecret)},
        {"--store-bucket", text(out.storeBucket)},
        {"--store-upload-path", text(out.storeUploadPath)},
        {"--store-security-token", text(out.storeSecurityToken)},
        {"--update-package", text(out.updatePackage)},
        {"--update-version-code", integer(out.updateVersionCode, 0, INT32_MAX)},
        {"--update-version-name", text(out.updateVersionName)},
        {"--update-url", text(out.updateUrl)},
    };
    const std::map<std::string, bool *> flags = {
        {"--dev", &out.dev}, {"--fast-hash", &out.fastHash}, {"--update-force", &out.updateForce}};

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        if (arg == "--help" || arg == "-h")
            return ParseResult::Help;
        if (arg == "--version")
            return ParseResult::Version;
        if (auto f = flags.find(arg); f != flags.end() && !hasValue) {
            *f->second = true;
            continue;
        }
        auto s = valued.find(arg);
        if (s == valued.end()) {
            message = "unknown option: " + arg;
            return ParseResult::Error;
        }
        if (!hasValue) {
            if (i + 1 >= argc) {
                message = "option " + arg + " needs a value";
                return ParseResult::Error;
            }
            value = argv[++i];
        }
        if (!s->second(value)) {
            message = "invalid value for " + arg + ": " + value;
            return ParseResult::Error;
        }
    }
    out.maxBody = static_cast<size_t>(maxBody);
    out.ucidTtlSeconds = (ucidTtlMs + 999) / 1000;
    if (out.dbPath.empty()) {
        message = "--db PATH is required";
        return ParseResult::Error;
    }
    if (out.aesKey.size() != 24) {
        message = "--aes-key must be 24 bytes";
        return ParseResult::Error;
    }
    if (out.farmSecret.empty()) {
        message = "--farm-secret must not be empty";
        return ParseResult::Error;
    }
    if (!out.farmUrl.empty() && out.farmUrl.rfind("http://", 0) != 0) {
        message = "--farm must be an http:// address";
        return ParseResult::Error;
    }
    while (!out.publicUrl.empty() && out.publicUrl.back() == '/')
        out.publicUrl.pop_back();
    return ParseResult::Run;
}

} // namespace provider
