#include "objstore/storeanswer.h"

#include <algorithm>
#include <cctype>

namespace objstore {

namespace {

// An upload id is a handful of characters; anything this long is not one.
constexpr size_t uploadIdLimit = 1024;

std::string decodeEntities(const std::string &text)
{
    static const std::pair<const char *, char> entities[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&amp;", '&'}};
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        bool decoded = false;
        if (text[i] == '&') {
            for (const auto &[name, value] : entities) {
                if (text.compare(i, std::char_traits<char>::length(name), name) == 0) {
                    out += value;
                    i += std::char_traits<char>::length(name);
                    decoded = true;
                    break;
                }
            }
        }
        if (!decoded)
            out += text[i++];
    }
    return out;
}

} // namespace

std::string xmlValue(const std::string &xml, const std::string &tag)
{
    const std::string open = "<" + tag + ">";
    const size_t start = xml.find(open);
    if (start == std::string::npos)
        return {};
    const size_t end = xml.find("</" + tag + ">", start + open.size());
    if (end == std::string::npos)
        return {};
    return decodeEntities(xml.substr(start + open.size(), end - start - open.size()));
}

Outcome answerOutcome(long status, const std::string &body)
{
    Outcome outcome;
    outcome.httpStatus = int(status);
    if (status >= 200 && status < 300 && body.find("<Error>") == std::string::npos) {
        outcome.success = true;
        return outcome;
    }
    const std::string errorCode = xmlValue(body, "Code");
    outcome.code = errorCode.empty() ? "HttpError" : errorCode;
    outcome.message = xmlValue(body, "Message");
    if (outcome.message.empty())
        outcome.message = "HTTP status " + std::to_string(status);
    outcome.requestId = xmlValue(body, "RequestId");
    return outcome;
}

bool usableUploadId(const std::string &id)
{
    return !id.empty() && id.size() <= uploadIdLimit &&
           std::all_of(id.begin(), id.end(), [](unsigned char c) {
               return std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~';
           });
}

} // namespace objstore
