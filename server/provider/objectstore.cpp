#include "server/provider/objectstore.h"

#include "s3sign/codec.h"
#include "s3sign/signing.h"
#include "server/provider/provider.h"
#include "server/storefront/grant.h"
#include "server/storefront/s3auth.h"

#include <httplib.h>

#include <ctime>

namespace provider {

namespace {

std::string folderOf(const std::string &key)
{
    const size_t slash = key.rfind('/');
    return slash == std::string::npos ? std::string() : key.substr(0, slash);
}

} // namespace

std::string uploadPrefix(const Options &options, int64_t userId)
{
    std::string path = options.storeUploadPath;
    const std::string placeholder = "{userId}";
    for (size_t at = path.find(placeholder); at != std::string::npos; at = path.find(placeholder, at))
        path.replace(at, placeholder.size(), std::to_string(userId));
    return storegrant::validPrefix(path) ? path : std::string();
}

StoreReply storeRequest(const Options &options, const std::string &method, const std::string &key,
                        const std::string &body)
{
    StoreReply reply;
    const int64_t now = nowSeconds();
    const storegrant::Grant grant =
        storegrant::mint(options.storeGrantSecret, folderOf(key), method == "GET" ? "r" : "w", now + 300);
    const std::string resource = "/" + options.storeBucket + "/" + s3sign::percentEncode(key, true);
    const std::string date = s3sign::httpDate(now);
    const std::string type = method == "PUT" ? "application/octet-stream" : "";
    const std::string signature = s3auth::v2Signature(
        grant.secret,
        s3auth::v2StringToSign(method, "", type, "",
                               {{"x-amz-date", date}, {"x-amz-security-token", grant.token}}, resource));
    httplib::Headers headers = {{"Authorization", "AWS " + grant.keyId + ":" + signature},
                                {"x-amz-date", date},
                                {"x-amz-security-token", grant.token}};
    httplib::Client client(options.storeUrl);
    client.set_connection_timeout(2, 0);
    client.set_read_timeout(5, 0);
    client.set_write_timeout(5, 0);
    const httplib::Result result = method == "PUT" ? client.Put(resource.c_str(), headers, body, type.c_str())
                                                   : client.Get(resource.c_str(), headers);
    if (!result) {
        reply.error = httplib::to_string(result.error());
        return reply;
    }
    reply.status = result->status;
    reply.body = result->body;
    if (reply.status != 200)
        reply.error = "HTTP " + std::to_string(reply.status);
    return reply;
}

std::string presignedUrl(const Options &options, const std::string &key)
{
    const int64_t now = nowSeconds();
    const int64_t ttl = options.storeGrantTtlMs / 1000;
    const storegrant::Grant grant = storegrant::mint(options.storeGrantSecret, folderOf(key), "r", now + ttl);
    return s3auth::presignGet(options.storeSignature == "v4" ? s3auth::Version::V4 : s3auth::Version::V2,
                              options.storeUrl, options.storeBucket, key, grant.keyId, grant.secret,
                              grant.token, options.storeRegion, now, ttl);
}

} // namespace provider
