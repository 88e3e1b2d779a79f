#pragma once

#include <cstdint>
#include <string>

namespace provider {

struct Options
{
    std::string listenHost = "127.0.0.1";
    int listenPort = 18080;
    std::string dbPath;
    std::string logPath;
    std::string publicUrl;
    std::string webRoot;
    bool dev = false;
    int threads = 16;
    size_t maxBody = 64 * 1024;
    int64_t requestDeadlineMs = 30 * 1000;
    int clientConnections = 8;
    int64_t headDeadlineMs = 5 * 1000;
    int maxReading = 1024;

    int64_t tokenTtlMs = 7LL * 24 * 3600 * 1000;
    int64_t smsIntervalMs = 60 * 1000;
    int64_t smsTtlMs = 5 * 60 * 1000;
    int smsMaxAttempts = 5;
    int loginMaxFailures = 5;
    int loginAddressFailures = 30;
    int loginNumberAlarm = 50;
    int64_t loginWindowMs = 15 * 60 * 1000;
    int64_t loginLockoutMs = 5 * 60 * 1000;
    int smsPerAddress = 20;
    bool fastHash = false;
    int maxTokens = 50;

    int seedPhones = 0;
    std::string aesKey = "Tq4Wm8XzR2nLp6VyK3sHd9Bc";
    int64_t ucidTtlSeconds = 24 * 3600;

    std::string farmUrl;
    std::string farmSecret = "pelomir-dev-farm-secret";
    int exchangesPerHour = 5;
    int64_t restartMs = 5000;
    int64_t resetMs = 8000;

    // Upload grants: minted per account with the secret shared with the store front, valid this long.
    std::string storeGrantSecret = "pelomir-dev-store-grant-secret";
    int64_t storeGrantTtlMs = 3600 * 1000;
    std::string storeBucket = "pelomir-uploads";
    std::string storeUploadPath = "upload/{userId}";
    // The store front's address (path style: URL/bucket/key), where phones fetch stored objects and
    // the upload page's catalogue lives. Empty: no catalogue.
    std::string storeUrl = "http://127.0.0.1:18100";
    // How the catalogue's addresses are signed: "v2" (HMAC-SHA1) or "v4" (HMAC-SHA256, scoped to
    // storeRegion).
    std::string storeSignature = "v2";
    std::string storeRegion = "us-east-1";

    std::string updatePackage = "com.pc.zaqtor";
    int updateVersionCode = 0;
    std::string updateVersionName;
    std::string updateUrl;
    bool updateForce = false;
};

enum class ParseResult
{
    Run,
    Help,
    Version,
    Error
};

// Fills `out` from the command line. `message` is the help text on Help, the version on Version
// and what was wrong on Error.
ParseResult parseOptions(int argc, char **argv, Options &out, std::string &message);

} // namespace provider
