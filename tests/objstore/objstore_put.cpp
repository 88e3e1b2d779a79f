// objstore-put ENDPOINT BUCKET KEY FILE CHECKPOINT_DIR PART_BYTES KEY_ID SECRET TOKEN v2|v4: one
// resumable upload with that grant and kind of signature, printing "progress <transferred> <total>" as it
// goes and "done" or "failed <code>". The resume test kills it partway and runs it again.
#include "objstore/client.h"

#include <cstdio>
#include <string>

int main(int argc, char **argv)
{
    if (argc != 11) {
        std::fprintf(
            stderr,
            "usage: %s ENDPOINT BUCKET KEY FILE CHECKPOINT_DIR PART_BYTES KEY_ID SECRET TOKEN v2|v4\n",
            argv[0]);
        return 2;
    }
    objstore::ClientConfiguration configuration;
    configuration.partSize = std::stoll(argv[6]);
    if (std::string(argv[10]) == "v4")
        configuration.signature = objstore::SignatureVersion::V4;
    const objstore::Client client(argv[1], {argv[7], argv[8], argv[9]}, configuration);
    objstore::UploadRequest request;
    request.bucket = argv[2];
    request.key = argv[3];
    request.filePath = argv[4];
    request.checkpointDir = argv[5];
    request.progress = [](uint32_t, int64_t transferred, int64_t total, void *) {
        std::printf("progress %lld %lld\n", static_cast<long long>(transferred),
                    static_cast<long long>(total));
        std::fflush(stdout);
    };
    const objstore::Outcome outcome = client.resumableUpload(request);
    if (!outcome.success) {
        std::printf("failed %s %s\n", outcome.code.c_str(), outcome.message.c_str());
        return 1;
    }
    std::printf("done\n");
    return 0;
}
