// The provider's reading of a request before a worker sees it: any bytes from the network. A
// complete request never reaches past the data or the size limit, its own bytes alone make the
// same request, and a buffer as large as the largest request is never left waiting for more.

#include "server/provider/requestscan.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    provider::RequestLimits limits;
    limits.maxHead = 512;
    limits.maxBody = 1024;
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    const provider::RequestScan scan = provider::scanRequest(text, limits);
    const size_t cap = limits.maxHead + limits.maxBody + provider::kChunkFraming;
    switch (scan.state) {
    case provider::RequestScan::Complete: {
        if (scan.length == 0 || scan.length > size || scan.length > cap)
            std::abort();
        const provider::RequestScan again = provider::scanRequest(text.substr(0, scan.length), limits);
        if (again.state != provider::RequestScan::Complete || again.length != scan.length)
            std::abort();
        if (provider::scanRequest(text.substr(0, scan.length - 1), limits).state ==
            provider::RequestScan::Complete)
            std::abort();
        break;
    }
    case provider::RequestScan::Refused:
        if (scan.status < 400 || scan.status > 599)
            std::abort();
        break;
    case provider::RequestScan::Incomplete:
        if (size >= cap)
            std::abort();
        break;
    }
    return 0;
}
