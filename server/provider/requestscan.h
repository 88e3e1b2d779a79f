#pragma once

#include <cstddef>
#include <string_view>

namespace provider {

struct RequestLimits
{
    size_t maxHead = 16 * 1024;
    size_t maxBody = 64 * 1024;
};

// Chunk-size lines and trailers a chunked body may add to its data.
constexpr size_t kChunkFraming = 16 * 1024;

// How far the bytes at the front of a connection make one HTTP/1.1 request. The server reads a
// request this way before a worker sees it, so a worker only ever runs a request that has fully
// arrived.
struct RequestScan
{
    enum State
    {
        Incomplete,
        Complete,
        Refused,
    } state = Incomplete;
    size_t length = 0;     // Complete: bytes of the whole request
    int status = 0;        // Refused: the HTTP status to answer
    bool headDone = false; // the head has arrived
    size_t bodyLength = 0; // once the head is done: the declared body, or the largest for chunked
    bool expectsContinue = false;
};

// Pure function of the bytes: no request is larger than maxHead + maxBody + kChunkFraming, so a
// buffer of that size always ends Complete or Refused.
RequestScan scanRequest(std::string_view data, const RequestLimits &limits);

} // namespace provider
