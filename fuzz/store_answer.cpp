// An object store's answers: error documents, the multipart start with its upload id, and the
// completion, which may carry an error with status 200.

#include "objstore/storeanswer.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    // The first two bytes choose the status, the rest is the body.
    const long status = (data[0] | data[1] << 8) % 600;
    const std::string body(reinterpret_cast<const char *>(data) + 2, size - 2);
    const objstore::Outcome outcome = objstore::answerOutcome(status, body);
    // A failure always says what failed.
    if (!outcome.success && (outcome.code.empty() || outcome.message.empty()))
        abort();
    const std::string id = objstore::xmlValue(body, "UploadId");
    if (id.size() > body.size())
        abort();
    objstore::usableUploadId(id);
    return 0;
}
