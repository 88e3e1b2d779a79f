#include "objstore/session.h"

#include "objstore/signer.h"
#include "objstore/storeanswer.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace objstore {

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

namespace {

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

} // namespace

Session::Session(const std::string &endpoint, const Credentials &credentials,
                 const ClientConfiguration &configuration, Progress *progress)
    : m_endpoint(endpoint), m_credentials(credentials), m_configuration(configuration), m_progress(progress),
      m_curl(curl_easy_init(), &curl_easy_cleanup)
{
    // What curl sends as Host, which the second kind of signature covers.
    const size_t start = endpoint.find("://");
    const size_t from = start == std::string::npos ? 0 : start + 3;
    m_host = endpoint.substr(from, endpoint.find('/', from) - from);
}

Response Session::send(const std::string &method, const std::string &bucket, const std::string &key,
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
        const bool retryable = (response.curl != CURLE_OK && response.curl != CURLE_ABORTED_BY_CALLBACK) ||
                               response.status >= 500;
        if (!retryable || attempt >= m_configuration.maxAttempts || m_progress->cancelled())
            return response;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs);
        while (std::chrono::steady_clock::now() < until && !m_progress->cancelled())
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        delayMs *= 2;
    }
}

Response Session::once(const std::string &method, const std::string &bucket, const std::string &key,
                       const std::string &subresource, Body &body, const std::string &contentMd5,
                       const std::string &contentType)
{
    CURL *curl = m_curl.get();
    curl_easy_reset(curl); // keeps the open connection for the next request
    Response response;

    const int64_t now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
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
            toSign.query.emplace_back(item.substr(0, equals),
                                      equals == std::string::npos ? std::string() : item.substr(equals + 1));
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

Outcome failure(const std::string &code, const std::string &message)
{
    Outcome outcome;
    outcome.code = code;
    outcome.message = message;
    return outcome;
}

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

} // namespace objstore
