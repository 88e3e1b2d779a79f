#pragma once

// The store's HTTP transport behind Client: one curl handle per session, signing, retries and
// progress. Not part of the API.

#include "objstore/client.h"

#include <curl/curl.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace objstore {

void initCurlOnce();
std::string lower(std::string text);

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

class Session
{
public:
    Session(const std::string &endpoint, const Credentials &credentials,
            const ClientConfiguration &configuration, Progress *progress);

    // Sends one request, again after network errors and 5xx answers with a growing pause.
    // `subresource` is signed and sent as the query ("uploads", "partNumber=1&uploadId=x").
    Response send(const std::string &method, const std::string &bucket, const std::string &key,
                  const std::string &subresource, Body body, const std::string &contentMd5,
                  const std::string &contentType);

    bool ready() const { return m_curl != nullptr; }

private:
    Response once(const std::string &method, const std::string &bucket, const std::string &key,
                  const std::string &subresource, Body &body, const std::string &contentMd5,
                  const std::string &contentType);

    std::string m_endpoint;
    std::string m_host;
    const Credentials &m_credentials;
    const ClientConfiguration &m_configuration;
    Progress *m_progress;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> m_curl;
};

Outcome failure(const std::string &code, const std::string &message);
// The outcome of an answer: success for 2xx without an error document (a multipart completion may
// fail with status 200), else the store's code, message and request id.
Outcome outcomeOf(const Response &response, const Reporter &progress);

} // namespace objstore
