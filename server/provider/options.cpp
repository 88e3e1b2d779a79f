#include "server/provider/options.h"

#include "server/provider/textutil.h"

#include <CLI/CLI.hpp>

#include <set>
#include <sstream>

#ifndef PELOMIR_PROVIDER_WEB_ROOT
#define PELOMIR_PROVIDER_WEB_ROOT ""
#endif

namespace provider {

namespace {

const char kDescription[] =
    R"(The provider service of the Pelomir cloud phones: accounts, phone inventory, upload
credentials, update check, billing icons and the provider's web pages, kept in SQLite.
A new database file is created, migrated and seeded with the demo account
13800000000 / pelomir2026. SIGTERM or SIGINT shuts the server down cleanly. The first
line on standard output is "listening on http://HOST:PORT".)";

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

std::string secondsText(int64_t ms)
{
    std::ostringstream out;
    out << static_cast<double>(ms) / 1000;
    return out.str();
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

// A check that names what was wrong; CLI11 prefixes the option.
CLI::Validator check(std::function<bool(const std::string &)> ok, const std::string &what)
{
    return CLI::Validator([ok, what](std::string &value) { return ok(value) ? std::string() : what; },
                          std::string());
}

// Seconds on the command line, milliseconds in Options; fractions allowed.
CLI::Option *addSeconds(CLI::App &app, const std::string &name, int64_t &fieldMs, bool allowZero,
                        const std::string &help)
{
    return app
        .add_option_function<std::string>(
            name, [&fieldMs, allowZero](const std::string &v) { parseSeconds(v, fieldMs, allowZero); }, help)
        ->type_name("SECONDS")
        ->default_str(secondsText(fieldMs))
        ->check(check(
            [allowZero](const std::string &v) {
                int64_t ms = 0;
                return parseSeconds(v, ms, allowZero);
            },
            allowZero ? "needs seconds, 0 or more" : "needs seconds, more than 0"));
}

template <typename T>
CLI::Option *addNumber(CLI::App &app, const std::string &name, T &field, T min, T max,
                       const std::string &help)
{
    return app.add_option(name, field, help)
        ->type_name("N")
        ->capture_default_str()
        ->check(check(
            [min, max](const std::string &v) {
                return parseInt(v, static_cast<int64_t>(min), static_cast<int64_t>(max)).has_value();
            },
            "needs a whole number from " + std::to_string(min) + " to " + std::to_string(max)));
}

CLI::Option *addText(CLI::App &app, const std::string &name, std::string &field, const std::string &help,
                     const char *typeName = "TEXT")
{
    return app.add_option(name, field, help)->type_name(typeName)->capture_default_str();
}

// Declares every option on `app`, bound to `out`; the help shows the values `out` holds now.
void declare(CLI::App &app, Options &out, int64_t &ucidTtlMs)
{
    app.description(kDescription);
    app.set_version_flag("--version", "pelomir-provider 1.0", "the version");
    app.set_help_flag("-h,--help", "this text");
    app.get_formatter()->column_width(34);
    // A repeated option overrides the earlier one, so scripts can append to a default command line.
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);

    app.option_defaults()->group("Server");
    app.add_option_function<std::string>(
           "--listen", [&out](const std::string &v) { parseListen(v, out.listenHost, out.listenPort); },
           "address to listen on; port 0 picks a free port")
        ->type_name("HOST:PORT")
        ->default_str(out.listenHost + ":" + std::to_string(out.listenPort))
        ->check(check(
            [](const std::string &v) {
                std::string host;
                int port = 0;
                return parseListen(v, host, port);
            },
            "needs HOST:PORT"));
    addText(app, "--db", out.dbPath, "SQLite database file (created when missing)", "PATH")->required();
    addText(app, "--log", out.logPath, "append the log to PATH instead of standard error", "PATH");
    addText(app, "--public-url", out.publicUrl,
            "address clients reach this server at, for billing icons (empty: --listen)", "URL");
    addText(app, "--web-root", out.webRoot, "folder of the web pages served at \"/\"", "DIR");
    addNumber(app, "--threads", out.threads, 1, 256, "request worker threads");
    addNumber<size_t>(app, "--max-body", out.maxBody, 1024, 64 * 1024 * 1024, "largest accepted request body")
        ->type_name("BYTES");
    addSeconds(app, "--request-deadline", out.requestDeadlineMs, false,
               "longest time from a request's first byte to the end of its answer");
    addSeconds(app, "--head-deadline", out.headDeadlineMs, false,
               "longest time from a connection's start or a request's first byte to the end of its head");
    addNumber(app, "--max-reading", out.maxReading, 1, 100000,
              "connections still sending a request at once; past it the busiest address loses its oldest");
    addNumber(app, "--client-connections", out.clientConnections, 1, 256,
              "requests of one client address served at once; keep it below --threads");
    app.add_flag("--dev", out.dev, "development mode: GET /dev/sms?phone=N shows the last SMS code");

    app.option_defaults()->group("Accounts");
    addSeconds(app, "--token-ttl", out.tokenTtlMs, false, "lifetime of a login token");
    addSeconds(app, "--sms-interval", out.smsIntervalMs, true,
               "least time between two SMS codes to one number");
    addSeconds(app, "--sms-ttl", out.smsTtlMs, false, "lifetime of an SMS code");
    addNumber(app, "--sms-max-attempts", out.smsMaxAttempts, 1, 1000,
              "wrong entries after which a code is void");
    addNumber(app, "--login-max-failures", out.loginMaxFailures, 1, 1000,
              "failed logins of one number from one address before that address waits for it");
    addNumber(app, "--login-address-failures", out.loginAddressFailures, 1, 100000,
              "failed logins from one address, any number, before it waits for all");
    addNumber(app, "--login-number-alarm", out.loginNumberAlarm, 1, 100000,
              "failed logins of one number from all addresses before each address gets one");
    addSeconds(app, "--login-window", out.loginWindowMs, false, "how long a failed login counts");
    addSeconds(app, "--login-lockout", out.loginLockoutMs, false,
               "how long an address waits once past a limit; every further failure starts it again");
    addNumber(app, "--sms-per-address", out.smsPerAddress, 1, 100000,
              "SMS codes one address may ask for within an hour");
    addNumber(app, "--max-tokens", out.maxTokens, 1, 10000,
              "live login tokens of one account; a new login revokes the oldest past it");
    app.add_flag("--fast-hash", out.fastHash,
                 "cheapest Argon2id cost, for tests only (passwords stay Argon2id)");

    app.option_defaults()->group("Inventory");
    addNumber(app, "--exchanges-per-hour", out.exchangesPerHour, 1, 10000,
              "device exchanges one account may complete within an hour");
    addNumber(app, "--seed-phones", out.seedPhones, 0, 100000,
              "also create the account 13900000000 / pelomir2026 with N phones (first start only)");
    addText(app, "--aes-key", out.aesKey,
            "24-byte key of the phones' access field, the client's compiled-in key", "KEY")
        ->check(check([](const std::string &v) { return v.size() == 24; }, "must be 24 bytes"));
    addSeconds(app, "--ucid-ttl", ucidTtlMs, false, "lifetime of the phone access credentials handed out");
    addText(app, "--farm", out.farmUrl,
            "phone farm admin address for restart, reset and status (empty: simulated)", "URL")
        ->check(check([](const std::string &v) { return v.rfind("http://", 0) == 0; },
                      "must be an http:// address"));
    addText(app, "--farm-secret", out.farmSecret, "secret shared with the phone farm", "S")
        ->check(check([](const std::string &v) { return !v.empty(); }, "must not be empty"));
    addSeconds(app, "--restart-seconds", out.restartMs, false, "simulated restart time without --farm");
    addSeconds(app, "--reset-seconds", out.resetMs, false, "simulated factory reset time without --farm");

    const std::string store = "Upload credentials (GET /api/public/v1/storage/get-upload-info)";
    app.option_defaults()->group(store);
    addText(app, "--store-grant-secret", out.storeGrantSecret, "secret shared with the store front", "S")
        ->check(check([](const std::string &v) { return !v.empty(); }, "must not be empty"));
    addSeconds(app, "--store-grant-seconds", out.storeGrantTtlMs, false, "how long an upload grant is valid");
    addText(app, "--store-bucket", out.storeBucket, "bucket", "NAME");
    addText(app, "--store-upload-path", out.storeUploadPath, "object key prefix; \"{userId}\" is replaced",
            "P");
    addText(app, "--store-url", out.storeUrl,
            "the store front's address, for the upload page's catalogue (empty: no catalogue)", "URL");
    addText(app, "--store-signature", out.storeSignature, "signature kind of the catalogue's addresses",
            "v2|v4")
        ->check(check([](const std::string &v) { return v == "v2" || v == "v4"; }, "must be v2 or v4"));
    addText(app, "--store-region", out.storeRegion, "region of v4 signatures", "NAME");

    const std::string update = "Update check (GET /api/tamsu-cloud-phone/v1/package/check-for-updates)";
    app.option_defaults()->group(update);
    addText(app, "--update-package", out.updatePackage, "package name the check answers for", "NAME");
    addNumber(app, "--update-version-code", out.updateVersionCode, 0, INT32_MAX,
              "latest version number; clients below it get an update (0: none)");
    addText(app, "--update-version-name", out.updateVersionName, "latest version name shown with it", "V");
    addText(app, "--update-url", out.updateUrl, "download address of the latest version", "URL");
    app.add_flag("--update-force", out.updateForce, "the update is mandatory");

    // CLI11 takes the next argument as a required value whatever it looks like; "--db --dev" must
    // not run with a database file named "--dev".
    std::set<std::string> names;
    for (const CLI::Option *option : app.get_options())
        for (const std::string &name : option->get_lnames())
            names.insert("--" + name);
    for (CLI::Option *option : app.get_options())
        if (option->get_expected_min() > 0)
            option->check(
                check([names](const std::string &v) { return names.count(v.substr(0, v.find('='))) == 0; },
                      "needs a value, not an option"));
}

} // namespace

ParseResult parseOptions(int argc, char **argv, Options &out, std::string &message)
{
    out.webRoot = PELOMIR_PROVIDER_WEB_ROOT;
    int64_t ucidTtlMs = out.ucidTtlSeconds * 1000;
    CLI::App app("", "pelomir-provider");
    declare(app, out, ucidTtlMs);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        message = app.help();
        return ParseResult::Help;
    } catch (const CLI::CallForVersion &e) {
        message = std::string(e.what()) + "\n";
        return ParseResult::Version;
    } catch (const CLI::ParseError &e) {
        message = e.what();
        return ParseResult::Error;
    }
    out.ucidTtlSeconds = (ucidTtlMs + 999) / 1000;
    while (!out.publicUrl.empty() && out.publicUrl.back() == '/')
        out.publicUrl.pop_back();
    return ParseResult::Run;
}

} // namespace provider
