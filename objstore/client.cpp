#include "objstore/client.h"

#include "objstore/checkpoint.h"
#include "objstore/session.h"
#include "objstore/signer.h"
#include "objstore/storeanswer.h"

#include <openssl/evp.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace objstore {

namespace {

constexpr int maxParts = 10000;
constexpr size_t hashBlock = 1 << 20;

struct FileInfo
{
    int64_t size = 0;
    int64_t mtimeNs = 0;
};

bool statFile(const std::string &path, FileInfo *out)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    out->size = st.st_size;
    out->mtimeNs = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return true;
}

// Reads exactly `size` bytes at `offset`; false on a short read (the file shrank) or an error.
bool readAt(int fd, char *buffer, size_t size, int64_t offset)
{
    while (size > 0) {
        const ssize_t got = ::pread(fd, buffer, size, off_t(offset));
        if (got <= 0)
            return false;
        buffer += got;
        size -= size_t(got);
        offset += got;
    }
    return true;
}

struct Md5
{
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
    Md5() { EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr); }
    void add(const void *data, size_t size) { EVP_DigestUpdate(ctx.get(), data, size); }
    std::string finish(std::string *base64Form = nullptr)
    {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(ctx.get(), digest, &length);
        if (base64Form)
            *base64Form = base64(digest, length);
        return hex(digest, length);
    }
};

// MD5 of a byte range of an open file, hex and base64.
bool rangeMd5(int fd, int64_t offset, int64_t size, std::string *hexForm, std::string *base64Form)
{
    std::vector<char> block(hashBlock);
    Md5 md5;
    while (size > 0) {
        const size_t n = size_t(std::min<int64_t>(size, int64_t(block.size())));
        if (!readAt(fd, block.data(), n, offset))
            return false;
        md5.add(block.data(), n);
        offset += int64_t(n);
        size -= int64_t(n);
    }
    *hexForm = md5.finish(base64Form);
    return true;
}

std::string unquote(std::string etag)
{
    etag.erase(std::remove(etag.begin(), etag.end(), '"'), etag.end());
    return lower(etag);
}

struct OpenFile
{
    int fd = -1;
    explicit OpenFile(const std::string &path) : fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~OpenFile()
    {
        if (fd >= 0)
            ::close(fd);
    }
    OpenFile(const OpenFile &) = delete;
    OpenFile &operator=(const OpenFile &) = delete;
};

Outcome checkRequest(const UploadRequest &request)
{
    if (request.bucket.empty() || request.key.empty() || request.key.size() > 1024)
        return failure("InvalidArgument", "bucket or object key is empty or too long");
    return {};
}

} // namespace

Client::Client(std::string endpoint, Credentials credentials, ClientConfiguration configuration)
    : m_endpoint(std::move(endpoint)), m_credentials(std::move(credentials)),
      m_configuration(std::move(configuration))
{
    while (!m_endpoint.empty() && m_endpoint.back() == '/')
        m_endpoint.pop_back();
    m_configuration.maxAttempts = std::max(1, m_configuration.maxAttempts);
    m_configuration.partSize = std::max<int64_t>(1, m_configuration.partSize);
    m_configuration.parallelParts = std::max(1, m_configuration.parallelParts);
    initCurlOnce();
}

std::string Client::objectUrl(const std::string &bucket, const std::string &key) const
{
    return m_endpoint + "/" + bucket + "/" + encodeKey(key);
}

std::string Client::presignedGetUrl(const std::string &bucket, const std::string &key,
                                    int64_t ttlSeconds) const
{
    const int64_t now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    return presignGet(m_configuration.signature, m_endpoint, bucket, key, m_credentials.accessKeyId,
                      m_credentials.accessKeySecret, m_credentials.securityToken, m_configuration.region, now,
                      ttlSeconds);
}

Outcome Client::putObject(const UploadRequest &request) const
{
    Outcome bad = checkRequest(request);
    if (!bad.code.empty())
        return bad;
    FileInfo info;
    OpenFile file(request.filePath);
    if (file.fd < 0 || !statFile(request.filePath, &info))
        return failure("FileError", "cannot open " + request.filePath);
    std::string md5Hex, md5Base64;
    if (!rangeMd5(file.fd, 0, info.size, &md5Hex, &md5Base64))
        return failure("FileError", "cannot read " + request.filePath);

    Reporter reporter;
    reporter.request = &request;
    reporter.total = info.size;
    Progress progress{&reporter};
    Session session(m_endpoint, m_credentials, m_configuration, &progress);
    if (!session.ready())
        return failure("NetworkError", "no transfer handle");
    Body body;
    body.fd = file.fd;
    body.size = info.size;
    const Response response =
        session.send("PUT", request.bucket, request.key, {}, body, md5Base64, "application/octet-stream");
    Outcome outcome = outcomeOf(response, reporter);
    if (!outcome.success)
        return outcome;
    // The store may not check Content-MD5; its ETag tells what it stored.
    const auto etag = response.headers.find("etag");
    if (etag == response.headers.end() || unquote(etag->second) != md5Hex) {
        outcome.success = false;
        outcome.code = "BadDigest";
        outcome.message = "stored object's digest differs from the file's";
        return outcome;
    }
    reporter.report(0);
    return outcome;
}

Outcome Client::resumableUpload(const UploadRequest &request) const
{
    Outcome bad = checkRequest(request);
    if (!bad.code.empty())
        return bad;
    FileInfo info;
    if (!statFile(request.filePath, &info))
        return failure("FileError", "cannot open " + request.filePath);
    const int64_t partSize =
        std::max<int64_t>(m_configuration.partSize, (info.size + maxParts - 1) / maxParts);
    if (info.size <= partSize)
        return putObject(request);

    OpenFile file(request.filePath);
    if (file.fd < 0)
        return failure("FileError", "cannot open " + request.filePath);
    const std::string cpPath =
        checkpointPath(request.checkpointDir, request.bucket, request.key, request.filePath);
    Checkpoint cp;
    const bool resumed = loadCheckpoint(cpPath, &cp) && cp.bucket == request.bucket &&
                         cp.key == request.key && cp.filePath == request.filePath &&
                         cp.fileSize == info.size && cp.fileMtimeNs == info.mtimeNs &&
                         cp.partSize == partSize && usableUploadId(cp.uploadId);
    if (!resumed) {
        std::remove(cpPath.c_str());
        cp = Checkpoint();
        cp.bucket = request.bucket;
        cp.key = request.key;
        cp.filePath = request.filePath;
        cp.fileSize = info.size;
        cp.fileMtimeNs = info.mtimeNs;
        cp.partSize = partSize;
    }

    Reporter reporter;
    reporter.request = &request;
    reporter.total = info.size;
    Progress progress{&reporter};
    Session session(m_endpoint, m_credentials, m_configuration, &progress);
    if (!session.ready())
        return failure("NetworkError", "no transfer handle");

    if (cp.uploadId.empty()) {
        const Response response =
            session.send("POST", request.bucket, request.key, "uploads", {}, {}, "application/octet-stream");
        Outcome outcome = outcomeOf(response, reporter);
        if (!outcome.success)
            return outcome;
        cp.uploadId = xmlValue(response.body, "UploadId");
        if (!usableUploadId(cp.uploadId))
            return failure("InvalidResponse", "the store named no usable upload id");
        // A checkpoint that cannot be written only costs the resume, not the upload.
        saveCheckpoint(cpPath, cp);
    } else if (cp.doneBytes() > 0) {
        reporter.report(cp.doneBytes());
    }

    // Workers take the missing parts in order; while one hashes its part another sends.
    const int partCount = int((info.size + partSize - 1) / partSize);
    std::mutex lock; // guards cp, next and failed
    int next = 1;
    Outcome failed;
    auto sendParts = [&](Session &sender) {
        std::vector<char> buffer(size_t(std::min<int64_t>(partSize, info.size)));
        for (;;) {
            int number = 0;
            {
                std::lock_guard<std::mutex> guard(lock);
                while (next <= partCount && cp.parts.count(next))
                    ++next;
                if (next > partCount || !failed.code.empty())
                    return;
                number = next++;
            }
            const int64_t offset = partSize * (number - 1);
            const int64_t size = std::min<int64_t>(partSize, info.size - offset);
            Outcome outcome;
            std::string md5Hex;
            if (!readAt(file.fd, buffer.data(), size_t(size), offset)) {
                outcome = failure("FileError", "cannot read " + request.filePath);
            } else {
                Md5 md5;
                md5.add(buffer.data(), size_t(size));
                std::string md5Base64;
                md5Hex = md5.finish(&md5Base64);
                Body body;
                body.data = buffer.data();
                body.size = size;
                const Response response = sender.send(
                    "PUT", request.bucket, request.key,
                    "partNumber=" + std::to_string(number) + "&uploadId=" + cp.uploadId, body, md5Base64, {});
                outcome = outcomeOf(response, reporter);
                const auto etag = response.headers.find("etag");
                if (outcome.success && (etag == response.headers.end() || unquote(etag->second) != md5Hex)) {
                    outcome.success = false;
                    outcome.code = "BadDigest";
                    outcome.message = "stored part " + std::to_string(number) + " differs from the file";
                }
            }
            std::lock_guard<std::mutex> guard(lock);
            if (!outcome.success) {
                if (failed.code.empty())
                    failed = outcome;
                return;
            }
            cp.parts[number] = md5Hex;
            saveCheckpoint(cpPath, cp);
        }
    };
    std::vector<std::thread> helpers;
    std::vector<std::unique_ptr<Progress>> helperProgress;
    std::vector<std::unique_ptr<Session>> helperSessions;
    for (int i = 1; i < std::min(m_configuration.parallelParts, partCount); ++i) {
        helperProgress.push_back(std::make_unique<Progress>(Progress{&reporter}));
        helperSessions.push_back(std::make_unique<Session>(m_endpoint, m_credentials, m_configuration,
                                                           helperProgress.back().get()));
        if (!helperSessions.back()->ready())
            break;
        helpers.emplace_back(sendParts, std::ref(*helperSessions.back()));
    }
    sendParts(session);
    for (std::thread &helper : helpers)
        helper.join();
    if (!failed.code.empty()) {
        // The store no longer knows the upload: the checkpoint is of no further use.
        if (failed.code == "NoSuchUpload")
            std::remove(cpPath.c_str());
        return failed;
    }

    // Parts recorded by an earlier run were read then; a file changed since is not what they hold.
    FileInfo now;
    if (!statFile(request.filePath, &now) || now.size != info.size || now.mtimeNs != info.mtimeNs) {
        std::remove(cpPath.c_str());
        return failure("FileChanged", request.filePath + " changed during the upload");
    }

    std::string xml = "<CompleteMultipartUpload>";
    for (const auto &[number, etag] : cp.parts)
        xml += "<Part><PartNumber>" + std::to_string(number) + "</PartNumber><ETag>\"" + etag +
               "\"</ETag></Part>";
    xml += "</CompleteMultipartUpload>";
    Body body;
    body.data = xml.data();
    body.size = int64_t(xml.size());
    const Response response = session.send("POST", request.bucket, request.key, "uploadId=" + cp.uploadId,
                                           body, {}, "application/xml");
    Outcome outcome = outcomeOf(response, reporter);
    if (!outcome.success) {
        if (outcome.code == "NoSuchUpload" || outcome.code == "InvalidPart")
            std::remove(cpPath.c_str());
        return outcome;
    }
    std::remove(cpPath.c_str());
    reporter.report(0);
    return outcome;
}

bool fileDigests(const std::string &path, std::string *md5Hex, std::string *sha256Hex)
{
    OpenFile file(path);
    FileInfo info;
    if (file.fd < 0 || !statFile(path, &info))
        return false;
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> sha(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    EVP_DigestInit_ex(sha.get(), EVP_sha256(), nullptr);
    Md5 md5;
    std::vector<char> block(hashBlock);
    for (int64_t offset = 0; offset < info.size;) {
        const size_t n = size_t(std::min<int64_t>(info.size - offset, int64_t(block.size())));
        if (!readAt(file.fd, block.data(), n, offset))
            return false;
        md5.add(block.data(), n);
        EVP_DigestUpdate(sha.get(), block.data(), n);
        offset += int64_t(n);
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(sha.get(), digest, &length);
    *md5Hex = md5.finish();
    *sha256Hex = hex(digest, length);
    return true;
}

std::string fileMd5Hex(const std::string &path)
{
    OpenFile file(path);
    FileInfo info;
    if (file.fd < 0 || !statFile(path, &info))
        return {};
    std::string hexForm, base64Form;
    if (!rangeMd5(file.fd, 0, info.size, &hexForm, &base64Form))
        return {};
    return hexForm;
}

} // namespace objstore
