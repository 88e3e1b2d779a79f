// The provider's form bodies, query strings and the numbers and id lists in them.

#include "server/provider/textutil.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    provider::Params params;
    std::string error;
    if (provider::parseParams(text, params, error)) {
        for (const char *name : {"phone", "cloudPhoneIds", "type", "password"}) {
            if (const std::string *value = params.find(name)) {
                std::vector<int64_t> ids;
                provider::parseIdList(*value, ids, 5000);
                provider::parseInt(*value, 0, 1000000);
                provider::isMobileNumber(*value);
            }
        }
    }
    provider::isValidUtf8(text);
    std::vector<int64_t> ids;
    provider::parseIdList(text, ids, 5000);
    provider::parseInt(text, INT64_MIN, INT64_MAX);
    return 0;
}
