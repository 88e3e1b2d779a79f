#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace provider {

class Connection;
class Database;

// How many of something one key may do in a window, and how long it waits once past that.
struct LimitRule
{
    int max;
    int64_t windowMs;
    int64_t lockMs;
};

// Limits on logins and SMS codes, kept in the database so that a restart clears none of them.
// Failures are counted per source address, per address and number together, and per number:
// - an address past its failures over all numbers waits before it may try any number again;
// - an address past its failures on one number waits before it may try that number again, while
//   the number's owner still gets in from another address;
// - a number with many failures from many addresses gets a limit of one failure per address.
// Every call is one write transaction, so checking and counting are one step: an attempt is
// counted before it is evaluated, and given back when it succeeds. Any request thread.
class LoginLimits
{
public:
    struct Rules
    {
        LimitRule pair;        // one address on one number
        LimitRule address;     // one address on every number
        LimitRule numberAlarm; // every address on one number
        LimitRule smsAddress;  // SMS codes sent for one address
    };

    LoginLimits(Database &db, const Rules &rules) : db_(db), rules_(rules) {}

    // Reserves an attempt of `address` on `number`: 0 when it may be evaluated, else the seconds
    // (rounded up) until it may be tried again.
    int reserve(const std::string &address, const std::string &number);
    // The reserved attempt succeeded: the pair starts over and the address gets its attempt back.
    void succeeded(const std::string &address, const std::string &number);
    // Reserves one SMS code sent for `address`: 0, or the seconds until it may ask again.
    int reserveSms(const std::string &address);

private:
    // Inside the caller's write transaction: seconds left of the key's lock, or 0.
    int lockedSeconds(Connection &conn, const std::string &key, int64_t now);
    // Inside the caller's write transaction: counts one for the key; returns whether the key is
    // now past its rule.
    bool count(Connection &conn, const std::string &key, const LimitRule &rule, int64_t now);
    void prune(Connection &conn, int64_t now);

    Database &db_;
    const Rules rules_;
    std::atomic<unsigned> calls_{0};
};

} // namespace provider
