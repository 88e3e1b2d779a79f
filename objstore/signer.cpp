#include "objstore/signer.h"

namespace objstore {

std::string stringToSign(const SignedRequest &request)
{
    std::map<std::string, std::string> amzHeaders;
    for (const auto &[name, value] : request.headers)
        if (name.compare(0, 6, "x-amz-") == 0)
            amzHeaders.emplace(name, value);
    return s3sign::v2StringToSign(request.method, request.contentMd5, request.contentType, "", amzHeaders,
                                  request.resource);
}

std::string authorization(const std::string &keyId, const std::string &secret, const SignedRequest &request)
{
    return "AWS " + keyId + ":" + s3sign::v2Signature(secret, stringToSign(request));
}

std::string v4Authorization(const std::string &keyId, const std::string &secret, const std::string &region,
                            const std::string &amzDateText, const V4Request &request)
{
    std::string names;
    for (const auto &header : request.headers)
        names += (names.empty() ? "" : ";") + header.first;
    return "AWS4-HMAC-SHA256 Credential=" + keyId + "/" + s3sign::v4Scope(amzDateText.substr(0, 8), region) +
           ", SignedHeaders=" + names +
           ", Signature=" + s3sign::v4Signature(secret, amzDateText, region, v4CanonicalRequest(request));
}

} // namespace objstore
