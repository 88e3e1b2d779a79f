// The store front's reading of a request: the head as it comes off the socket, then target, query
// and headers, each kind of signature and the grant's token. Input: "METHOD TARGET" on the first
// line, then "Name: value" header lines; the whole input is also read as a raw request head.

#include "s3sign/codec.h"
#include "server/storefront/grant.h"
#include "server/storefront/httphead.h"
#include "server/storefront/request.h"
#include "server/storefront/s3auth.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string text(reinterpret_cast<const char *>(data), size);
    storefront::RequestHead head;
    std::string reason;
    if (storefront::parseRequestHead(text, &head, &reason)) {
        head.header("content-length");
        head.has("expect");
    }
    storefront::Incoming request;
    size_t start = 0;
    bool first = true;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (first) {
            const size_t space = line.find(' ');
            request.method = line.substr(0, space);
            request.target = space == std::string::npos ? std::string() : line.substr(space + 1);
            first = false;
            continue;
        }
        const size_t colon = line.find(':');
        if (colon != std::string::npos)
            request.headers.emplace_back(line.substr(0, colon), line.substr(colon + 1));
    }
    storefront::Settings settings;
    settings.grantSecret = "fuzz";
    settings.bucket = "b";
    storefront::authorize(request, settings, 1700000000);

    std::string out;
    storegrant::Grant grant;
    std::string code, why;
    storegrant::open("fuzz", "PG0", text, 1700000000, &grant, &code, &why);
    storegrant::validPrefix(text);
    s3sign::percentDecode(text, out);
    s3auth::unbase64url(text, &out);
    int64_t seconds = 0;
    s3auth::parseAmzDate(text, &seconds);
    return 0;
}
