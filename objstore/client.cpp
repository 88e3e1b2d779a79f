#include "objstore/client.h"

#include "objstore/checkpoint.h"
#include "objstore/signer.h"
#include "objstore/storeanswer.h"

#include <curl/curl.h>
#include <openssl/evp.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
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

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

// What one request sends: nothing, a memory buffer or a range of an open file.
struct Body
{
    const char *data = nullptr;
    int fd = -1;
    int64_t offset = 0;
    int64_t size = 0;
    int64_t sent = 0;
};

struct Response
{
    CURLcode curl = CURLE_OK;
    std::string curlError;
    long status = 0;
    std::string body;
    std::map<std::string, std::string> headers; // lowercase names
};

// The whole upload's progress, shared by the sessions that send its parts. Reports go out under
// the lock, one at a time, so the handler sees a growing total even with parts sent side by side.
struct Reporter
{
    const UploadRequest *request = nullptr;
    int64_t total = 0;
    std::mutex lock;
    int64_t transferred = 0; // reported so far

    void report(int64_t increment)
    {
        std::lock_guard<std::mutex> guard(lock);
        transferred += increment;
        if (request->progress)
            request->progress(uint32_t(std::min<int64_t>(increment, UINT32_MAX)), transferred, total,
                              request->userData);
    }
    bool cancelled() const { return request->cancel && request->cancel->load(); }
};

// One session's share of the reports; also watches for cancellation. Repeated attempts of the same
// body only report bytes beyond what an earlier attempt already reported, so the totals never go
// backwards or past the file size.
struct Progress
{
    Reporter *reporter = nullptr;
    int64_t bodyReported = 0;
    bool counting = false; // only file data counts, not the requests around it
    int64_t bodySize = 0;

    void startBody() { bodyReported = 0; }
    void bodyAt(int64_t sent)
    {
        if (!counting || sent <= bodyReported)
            return;
        reporter->report(sent - bodyReported);
        bodyReported = sent;
    }
    bool cancelled() const { return reporter->cancelled(); }
};

size_t readBody(char *out, size_t size, size_t count, void *user)
{
    auto *body = static_cast<Body *>(user);
    const size_t n = size_t(std::min<int64_t>(int64_t(size * count), body->size - body->sent));
    if (n == 0)
        return 0;
    if (body->data) {
        std::memcpy(out, body->data + body->sent, n);
    } else {
        const ssize_t got = ::pread(body->fd, out, n, off_t(body->offset + body->sent));
        if (got <= 0)
            return CURL_READFUNC_ABORT;
        body->sent += got;
        return size_t(got);
    }
    body->sent += int64_t(n);
    return n;
}

size_t writeBody(char *data, size_t size, size_t count, void *user)
{
    auto *response = static_cast<Response *>(user);
    // Answers are small XML documents; a store sending more is not one we can use.
    if (response->body.size() > (1 << 20))
        return 0;
    response->body.append(data, size * count);
    return size * count;
}

size_t writeHeader(char *data, size_t size, size_t count, void *user)
{
    auto *response = static_cast<Response *>(user);
    const std::string line(data, size * count);
    if (line.compare(0, 5, "HTTP/") == 0) {
        response->headers.clear(); // a 100 Continue precedes the real answer
        return size * count;
    }
    const size_t colon = line.find(':');
    if (colon != std::string::npos) {
        std::string value = line.substr(colon + 1);
        const size_t first = value.find_first_not_of(" \t");
        const size_t last = value.find_last_not_of(" \t\r\n");
        value = first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
        response->headers[lower(line.substr(0, colon))] = value;
    }
    return size * count;
}

int onTransferInfo(void *user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded)
{
    auto *progress = static_cast<Progress *>(user);
    // A body sent in full is let finish: its answer records the part, so nothing is sent twice.
    if (progress->cancelled() && (!progress->counting || uploaded < progress->bodySize))
        return 1;
    progress->bodyAt(int64_t(uploaded));
    return 0;
}

class Session
{
public:
    Session(const std::string &endpoint, const Credentials &credentials,
            const ClientConfiguration &configuration, Progress *progress)
        : m_endpoint(endpoint), m_credentials(credentials), m_configuration(configuration),
          m_progress(progress), m_curl(curl_easy_init(), &curl_easy_cleanup)
    {
        // What curl sends as Host, which the second kind of signature covers.
        const size_t start = endpoint.find("://");
        const size_t from = start == std::string::npos ? 0 : start + 3;
        m_host = endpoint.substr(from, endpoint.find('/', from) - from);
    }

    // Sends one request, again after network errors and 5xx answers with a growing pause.
    // `subresource` is signed and sent as the query ("uploads", "partNumber=1&uploadId=x").
    Response send(const std::string &method, const std::string &bucket, const std::string &key,
                  const std::string &subresource, Body body, const std::string &contentMd5,
                  const std::string &contentType)
    {
        Response response;
        int delayMs = m_configuration.retryDelayMs;
        m_progress->startBody();
        for (int attempt = 1;; ++attempt) {
            if (m_progress->cancelled()) {
                response.curl = CURLE_ABORTED_BY_CALLBACK;
                return response;
            }
            body.sent = 0;
            response = once(method, bucket, key, subresource, body, contentMd5, contentType);
            const bool retryable =
                (response.curl != CURLE_OK && response.curl != CURLE_ABORTED_BY_CALLBACK) ||
                response.status >= 500;
            if (!retryable || attempt >= m_configuration.maxAttempts || m_progress->cancelled())
                return response;
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
            while (std::chrono::steady_clock::now() < until && !m_progress->cancelled())
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            delayMs *= 2;
        }
    }

    bool ready() const { return m_curl != nullptr; }

private:
    Response once(const std::string &method, const std::string &bucket, const std::string &key,
                  const std::string &subresource, Body &body, const std::string &contentMd5,
                  const std::string &contentType)
    {
        CURL *curl = m_curl.get();
        curl_easy_reset(curl); // keeps the open connection for the next request
        Response response;

        const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        const std::string path = "/" + bucket + "/" + encodeKey(key);
        const std::string target = path + (subresource.empty() ? "" : "?" + subresource);

        std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(nullptr, &curl_slist_free_all);
        auto add = [&headers](const std::string &line) {
            headers.reset(curl_slist_append(headers.release(), line.c_str()));
        };
        if (m_configuration.signature == SignatureVersion::V4) {
            V4Request toSign;
            toSign.method = method;
            toSign.path = "/" + bucket + "/" + key;
            for (size_t start = 0; start < subresource.size();) {
                size_t end = subresource.find('&', start);
                if (end == std::string::npos)
                    end = subresource.size();
                const std::string item = subresource.substr(start, end - start);
                const size_t equals = item.find('=');
                toSign.query.emplace_back(item.substr(0, equals), equals == std::string::npos
                                                                      ? std::string()
                                                                      : item.substr(equals + 1));
                start = end + 1;
            }
            toSign.headers["host"] = m_host;
            toSign.headers["x-amz-date"] = amzDate(now);
            toSign.headers["x-amz-content-sha256"] = "UNSIGNED-PAYLOAD";
            if (!m_credentials.securityToken.empty())
                toSign.headers["x-amz-security-token"] = m_credentials.securityToken;
            if (!contentMd5.empty())
                toSign.headers["content-md5"] = contentMd5;
            if (!contentType.empty())
                toSign.headers["content-type"] = contentType;
            toSign.payloadHash = "UNSIGNED-PAYLOAD";
            for (const auto &[name, value] : toSign.headers)
                if (name != "host" && name != "content-type")
                    add(name + ": " + value);
            add("Authorization: " + v4Authorization(m_credentials.accessKeyId, m_credentials.accessKeySecret,
                                                    m_configuration.region, toSign.headers["x-amz-date"],
                                                    toSign));
        } else {
            SignedRequest toSign;
            toSign.method = method;
            toSign.contentMd5 = contentMd5;
            toSign.contentType = contentType;
            toSign.headers["x-amz-date"] = httpDate(now);
            if (!m_credentials.securityToken.empty())
                toSign.headers["x-amz-security-token"] = m_credentials.securityToken;
            toSign.resource = target;
            for (const auto &[name, value] : toSign.headers)
                add(name + ": " + value);
            add("Authorization: " +
                authorization(m_credentials.accessKeyId, m_credentials.accessKeySecret, toSign));
            if (!contentMd5.empty())
                add("Content-MD5: " + contentMd5);
        }
        // Always named, so curl adds no type of its own that the signature would not cover.
        add("Content-Type: " + contentType);
        add("Expect:");

        const std::string url = m_endpoint + target;
        char error[CURL_ERROR_SIZE] = {};
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, m_configuration.connectTimeoutMs);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, m_configuration.stallSeconds);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &writeBody);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &writeHeader);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &response);
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &onTransferInfo);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, m_progress);
        if (method == "PUT") {
            curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
            curl_easy_setopt(curl, CURLOPT_READFUNCTION, &readBody);
            curl_easy_setopt(curl, CURLOPT_READDATA, &body);
            curl_easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, curl_off_t(body.size));
            curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);
        } else if (method == "POST") {
            curl_easy_setopt(curl, CURLOPT_POST, 1L);
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data ? body.data : "");
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size));
        } else {
            curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
        }
        m_progress->counting = method == "PUT";
        m_progress->bodySize = body.size;
        response.curl = curl_easy_perform(curl);
        m_progress->counting = false;
        if (response.curl != CURLE_OK)
            response.curlError = error[0] ? error : curl_easy_strerror(response.curl);
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
        if (response.curl == CURLE_OK && method == "PUT") {
            m_progress->counting = true;
            m_progress->bodyAt(body.size);
            m_progress->counting = false;
        }
        return response;
    }

    std::string m_endpoint;
    std::string m_host;
    const Credentials &m_credentials;
    const ClientConfiguration &m_configuration;
    Progress *m_progress;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> m_curl;
};

Outcome failure(const std::string &code, const std::string &message)
{
    Outcome outcome;
    outcome.code = code;
    outcome.message = message;
    return outcome;
}

// The outcome of an answer: success for 2xx without an error document (a multipart completion may
// fail with status 200), else the store's code, message and request id.
Outcome outcomeOf(const Response &response, const Reporter &progress)
{
    Outcome outcome;
    outcome.httpStatus = int(response.status);
    const auto id = response.headers.find("x-amz-request-id");
    if (id != response.headers.end())
        outcome.requestId = id->second;
    if (response.curl == CURLE_ABORTED_BY_CALLBACK && progress.cancelled()) {
        outcome.code = "Cancelled";
        outcome.message = "upload cancelled";
        return outcome;
    }
    if (response.curl != CURLE_OK) {
        outcome.code = "NetworkError";
        outcome.message = response.curlError;
        return outcome;
    }
    Outcome answer = answerOutcome(response.status, response.body);
    // The header names the request when the document does not.
    if (answer.requestId.empty())
        answer.requestId = outcome.requestId;
    return answer;
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
