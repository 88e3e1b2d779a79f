#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "objstore/signer.h"

// A client of S3-compatible object stores: signed single and resumable multipart uploads of a local
// file, streamed from disk, with progress reports and bounded retries. Path-style addressing
// ("endpoint/bucket/key"), so any store reachable by address works, including one on loopback.
namespace objstore {

struct Credentials
{
    std::string accessKeyId;
    std::string accessKeySecret;
    std::string securityToken; // sent and signed as x-amz-security-token when not empty
};

struct ClientConfiguration
{
    int maxAttempts = 4;    // per request, for network errors and 5xx answers
    int retryDelayMs = 250; // doubled after each failed attempt
    long connectTimeoutMs = 10000;
    long stallSeconds = 30; // a transfer that moves nothing for this long fails (and is retried)
    // Files larger than one part go up in parts of this size (grown for files of over 10,000 parts).
    // A part is held in memory while it is hashed and sent (one per parallel part); nothing else grows
    // with the file.
    int64_t partSize = 8 * 1024 * 1024;
    // Parts read, hashed and sent side by side: one hashes while another is on the wire.
    int parallelParts = 2;
    // How requests are signed. The second kind leaves the body out of the signature
    // ("UNSIGNED-PAYLOAD"): every body carries its Content-MD5 and every answer's ETag is checked.
    SignatureVersion signature = SignatureVersion::V2;
    std::string region = "us-east-1";
};

struct Outcome
{
    bool success = false;
    // The store's error code ("SignatureDoesNotMatch", ...) or one of ours: "NetworkError",
    // "FileError", "BadDigest", "FileChanged", "Cancelled", "InvalidArgument".
    std::string code;
    std::string message;
    std::string requestId;
    int httpStatus = 0;
};

// (bytes since the last report, bytes so far, file size, the request's user data). Called on the
// uploading thread. The last report of a successful upload has increment 0 and transferred == total.
using ProgressHandler = std::function<void(uint32_t, int64_t, int64_t, void *)>;

struct UploadRequest
{
    std::string bucket;
    std::string key;
    std::string filePath;
    // Where resumable uploads keep their checkpoints; an interrupted upload of the same file to
    // the same key continues from the parts recorded there.
    std::string checkpointDir;
    ProgressHandler progress;
    void *userData = nullptr;
    // Polled during transfers; set from any thread to stop the upload ("Cancelled"). The checkpoint
    // stays, so a later run resumes.
    const std::atomic<bool> *cancel = nullptr;
};

class Client
{
public:
    Client(std::string endpoint, Credentials credentials, ClientConfiguration configuration = {});

    // Any thread; a Client holds no state between calls, so one may serve several threads.
    // One PUT of the whole file with its Content-MD5.
    Outcome putObject(const UploadRequest &request) const;
    // A file of at most one part goes up as one PUT; a larger one as a multipart upload that
    // records each stored part in the checkpoint and resumes from it.
    Outcome resumableUpload(const UploadRequest &request) const;

    // The object's address, path-style.
    std::string objectUrl(const std::string &bucket, const std::string &key) const;
    // Any thread. The object's address with a signature that lets anyone GET it for `ttlSeconds`.
    std::string presignedGetUrl(const std::string &bucket, const std::string &key, int64_t ttlSeconds) const;

private:
    std::string m_endpoint;
    Credentials m_credentials;
    ClientConfiguration m_configuration;
};

// Any thread. MD5 of a file read in blocks, as 32 lowercase hex digits; empty when it cannot be read.
std::string fileMd5Hex(const std::string &path);
// Any thread. MD5 and SHA-256 of a file in one pass, lowercase hex; false when it cannot be read.
bool fileDigests(const std::string &path, std::string *md5Hex, std::string *sha256Hex);

} // namespace objstore
