#pragma once

#include <cstdint>
#include <map>
#include <string>

// The record of a resumable upload in progress: which upload it continues and the parts already
// stored with their ETags. One file per (bucket, key, local file) in the checkpoint directory.
namespace objstore {

struct Checkpoint
{
    std::string bucket;
    std::string key;
    std::string filePath;
    int64_t fileSize = 0;
    int64_t fileMtimeNs = 0;
    int64_t partSize = 0;
    std::string uploadId;
    std::map<int, std::string> parts; // part number → ETag (hex MD5)

    // The bytes of the stored parts.
    int64_t doneBytes() const;
};

// The checkpoint file's path for one upload: a digest of bucket, key and local path, so that any
// text in them is safe as a file name.
std::string checkpointPath(const std::string &dir, const std::string &bucket, const std::string &key,
                           const std::string &filePath);

// Any thread. Reads a checkpoint; false for a missing file and for one whose trailing digest does not
// match its content (a damaged file, e.g. cut by a crash). The caller discards it then.
bool loadCheckpoint(const std::string &path, Checkpoint *out);
// Any thread. Writes the file beside its final place and renames it there, so a crash leaves
// either the old or the new checkpoint, never half of one. False when the directory is not writable.
bool saveCheckpoint(const std::string &path, const Checkpoint &checkpoint);

} // namespace objstore
