#pragma once

#include "server/provider/options.h"

#include <string>

// The provider's side of the object store: upload grants for accounts and the catalogue's own
// objects, reached through the store front like every other client. Any thread.
namespace provider {

// The key prefix of an account's uploads, or empty when the configured form gives no valid one.
std::string uploadPrefix(const Options &options, int64_t userId);

struct StoreReply
{
    int status = 0; // 0 when the front could not be reached
    std::string body;
    std::string error;
};

// One object request through the front, signed with a short grant of its own over `key`'s folder.
StoreReply storeRequest(const Options &options, const std::string &method, const std::string &key,
                        const std::string &body = {});

// A GET address of `key` valid for the grant's lifetime, signed as the options say.
std::string presignedUrl(const Options &options, const std::string &key);

} // namespace provider
