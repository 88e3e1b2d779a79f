#include "server/storefront/request.h"

#include "s3sign/codec.h"
#include "server/storefront/httphead.h"
#include "server/storefront/s3auth.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cctype>
#include <map>

namespace storefront {

namespace {

constexpr int64_t kMaxPresignSeconds = 7 * 24 * 3600;

struct Param
{
    std::string name;
    std::string value;
    bool hasValue = false;
};

Verdict refuse(int status, const char *code, const std::string &message)
{
    Verdict verdict;
    verdict.status = status;
    verdict.code = code;
    verdict.message = message;
    return verdict;
}

// Trimmed, inner runs of blanks folded to one: how both signature kinds see a header value.
std::string canonicalValue(const std::string &value)
{
    std::string out;
    bool blank = false;
    for (char c : value) {
        if (c == ' ' || c == '\t') {
            blank = !out.empty();
            continue;
        }
        if (blank)
            out += ' ';
        blank = false;
        out += c;
    }
    return out;
}

bool equalSecret(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

// A key the store may hold: no empty, "." or ".." segment (the store keeps objects as files), no
// control characters and no backslash.
bool validKey(const std::string &key)
{
    if (key.empty() || key.size() > kMaxKeyBytes)
        return false;
    size_t start = 0;
    while (start <= key.size()) {
        size_t end = key.find('/', start);
        if (end == std::string::npos)
            end = key.size();
        const std::string segment = key.substr(start, end - start);
        if (segment.empty() || segment == "." || segment == "..")
            return false;
        start = end + 1;
    }
    return std::none_of(key.begin(), key.end(),
                        [](unsigned char c) { return c < 0x20 || c == 0x7f || c == '\\'; });
}

bool timeWithin(int64_t when, int64_t now, int64_t skew)
{
    return when >= now - skew && when <= now + skew;
}

class Parsed
{
public:
    std::string rawPath;
    std::string path;
    std::vector<Param> params;
    std::map<std::string, std::string> headers; // lowercase names, values of repeats joined by ","

    const Param *param(const std::string &name) const
    {
        for (const Param &p : params)
            if (p.name == name)
                return &p;
        return nullptr;
    }
    std::string header(const std::string &name) const
    {
        const auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
    bool hasHeader(const std::string &name) const { return headers.count(name) != 0; }
};

bool parse(const Incoming &request, Parsed *out, std::string *why)
{
    const size_t question = request.target.find('?');
    out->rawPath = request.target.substr(0, question);
    if (out->rawPath.empty() || out->rawPath[0] != '/') {
        *why = "the request target is not a path";
        return false;
    }
    if (!s3sign::percentDecode(out->rawPath, out->path)) {
        *why = "the path has a malformed escape";
        return false;
    }
    if (question != std::string::npos) {
        const std::string query = request.target.substr(question + 1);
        size_t start = 0;
        while (start <= query.size()) {
            size_t end = query.find('&', start);
            if (end == std::string::npos)
                end = query.size();
            const std::string item = query.substr(start, end - start);
            start = end + 1;
            if (item.empty())
                continue;
            Param p;
            const size_t equals = item.find('=');
            p.hasValue = equals != std::string::npos;
            if (!s3sign::percentDecode(item.substr(0, equals), p.name) ||
                (p.hasValue && !s3sign::percentDecode(item.substr(equals + 1), p.value))) {
                *why = "the query has a malformed escape";
                return false;
            }
            if (out->param(p.name)) {
                *why = "the query names " + p.name + " twice";
                return false;
            }
            out->params.push_back(p);
        }
    }
    for (const auto &[name, value] : request.headers) {
        std::string &slot = out->headers[lower(name)];
        slot += (slot.empty() ? "" : ",") + canonicalValue(value);
    }
    return true;
}

bool isSha256Hex(const std::string &text)
{
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

bool isSubresource(const std::string &name)
{
    return name == "uploads" || name == "uploadId" || name == "partNumber";
}

bool isAuthParam(const std::string &name)
{
    return name == "AWSAccessKeyId" || name == "Expires" || name == "Signature" ||
           name == "x-amz-security-token" || name.compare(0, 6, "X-Amz-") == 0;
}

// Sub-resources as the store signs and takes them: sorted, "name=value", "uploads" bare.
std::string subresourceText(const Parsed &parsed)
{
    std::vector<std::string> items;
    for (const Param &p : parsed.params)
        if (isSubresource(p.name))
            items.push_back(p.hasValue && !p.value.empty() ? p.name + "=" + p.value : p.name);
    std::sort(items.begin(), items.end());
    std::string text;
    for (const std::string &item : items)
        text += (text.empty() ? "" : "&") + item;
    return text;
}

// The grant operation a request needs ('r', 'w'), or 0 when no grant allows it.
char operationOf(const std::string &method, const Parsed &parsed)
{
    const bool uploads = parsed.param("uploads") != nullptr;
    const Param *uploadId = parsed.param("uploadId");
    const Param *partNumber = parsed.param("partNumber");
    if (uploadId && uploadId->value.empty())
        return 0;
    if (partNumber) {
        const std::string &n = partNumber->value;
        if (!uploadId || n.empty() || n.size() > 5 || !std::all_of(n.begin(), n.end(), ::isdigit) ||
            std::stoi(n) < 1 || std::stoi(n) > 10000)
            return 0;
    }
    if (method == "GET" || method == "HEAD")
        return !uploads && !uploadId && !partNumber ? 'r' : 0;
    if (method == "PUT")
        return !uploads && (uploadId != nullptr) == (partNumber != nullptr) ? 'w' : 0;
    if (method == "POST")
        return !partNumber && uploads != (uploadId != nullptr) ? 'w' : 0;
    if (method == "DELETE")
        return uploadId && !uploads && !partNumber ? 'w' : 0; // abandoning an upload, never an object
    return 0;
}

struct Auth
{
    enum Kind
    {
        None,
        V2Header,
        V2Query,
        V4Header,
        V4Query
    } kind = None;
    std::string keyId;
    std::string signature;
    std::string token;
};

Verdict authenticate(const std::string &method, const Parsed &parsed, const Settings &settings, int64_t now,
                     Auth *auth, storegrant::Grant *grant)
{
    const std::string authorization = parsed.header("authorization");
    const bool queryV2 = parsed.param("Signature") || parsed.param("AWSAccessKeyId");
    const bool queryV4 = parsed.param("X-Amz-Signature") || parsed.param("X-Amz-Algorithm");
    if (!authorization.empty() + queryV2 + queryV4 > 1)
        return refuse(400, "InvalidArgument", "only one way of authentication per request");

    std::string dateLine;            // V2
    std::string region, amzDateText; // V4
    std::vector<std::string> signedNames;
    if (authorization.compare(0, 4, "AWS ") == 0) {
        auth->kind = Auth::V2Header;
        const std::string credential = authorization.substr(4);
        const size_t colon = credential.rfind(':');
        if (colon == std::string::npos || colon == 0)
            return refuse(400, "InvalidArgument", "malformed Authorization header");
        auth->keyId = credential.substr(0, colon);
        auth->signature = credential.substr(colon + 1);
        auth->token = parsed.header("x-amz-security-token");
        const std::string stamp =
            parsed.hasHeader("x-amz-date") ? parsed.header("x-amz-date") : parsed.header("date");
        struct tm parsedTime = {};
        const char *end = strptime(stamp.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &parsedTime);
        if (!end || *end != '\0')
            return refuse(403, "AccessDenied", "the request carries no valid date");
        if (!timeWithin(int64_t(timegm(&parsedTime)), now, settings.maxSkewSeconds))
            return refuse(403, "RequestTimeTooSkewed", "the request time is too far from the store's");
        dateLine = parsed.hasHeader("x-amz-date") ? "" : parsed.header("date");
    } else if (authorization.compare(0, 17, "AWS4-HMAC-SHA256 ") == 0) {
        auth->kind = Auth::V4Header;
        std::map<std::string, std::string> fields;
        std::string rest = authorization.substr(17);
        size_t start = 0;
        while (start < rest.size()) {
            size_t end = rest.find(',', start);
            if (end == std::string::npos)
                end = rest.size();
            std::string item = canonicalValue(rest.substr(start, end - start));
            const size_t equals = item.find('=');
            if (equals != std::string::npos)
                fields[item.substr(0, equals)] = item.substr(equals + 1);
            start = end + 1;
        }
        const std::string credential = fields["Credential"];
        const std::string names = fields["SignedHeaders"];
        auth->signature = fields["Signature"];
        if (credential.empty() || names.empty() || auth->signature.empty())
            return refuse(400, "AuthorizationHeaderMalformed", "malformed Authorization header");
        auth->keyId = credential.substr(0, credential.find('/'));
        for (size_t s = 0; s <= names.size();) {
            size_t e = names.find(';', s);
            if (e == std::string::npos)
                e = names.size();
            signedNames.push_back(names.substr(s, e - s));
            s = e + 1;
        }
        amzDateText = parsed.header("x-amz-date");
        auth->token = parsed.header("x-amz-security-token");
        const std::string payload = parsed.header("x-amz-content-sha256");
        if (payload.empty())
            return refuse(400, "InvalidRequest", "missing x-amz-content-sha256");
        if (payload.compare(0, 10, "STREAMING-") == 0)
            return refuse(501, "NotImplemented", "chunked payload signatures are not supported");
        if (payload != "UNSIGNED-PAYLOAD" && !isSha256Hex(payload))
            return refuse(400, "InvalidArgument",
                          "x-amz-content-sha256 is neither a digest nor UNSIGNED-PAYLOAD");
        const size_t scope = credential.find('/');
        const std::string scopeText = credential.substr(scope + 1);
        const size_t r1 = scopeText.find('/');
        const size_t r2 = r1 == std::string::npos ? r1 : scopeText.find('/', r1 + 1);
        if (scope == std::string::npos || r2 == std::string::npos)
            return refuse(400, "AuthorizationHeaderMalformed", "malformed credential scope");
        region = scopeText.substr(r1 + 1, r2 - r1 - 1);
        if (scopeText != s3auth::v4Scope(amzDateText.substr(0, 8), region))
            return refuse(400, "AuthorizationHeaderMalformed",
                          "the credential scope does not match the date");
        int64_t when = 0;
        if (!s3auth::parseAmzDate(amzDateText, &when))
            return refuse(403, "AccessDenied", "the request carries no valid x-amz-date");
        if (!timeWithin(when, now, settings.maxSkewSeconds))
            return refuse(403, "RequestTimeTooSkewed", "the request time is too far from the store's");
        for (const char *needed : {"host", "x-amz-date", "x-amz-content-sha256"})
            if (std::find(signedNames.begin(), signedNames.end(), needed) == signedNames.end())
                return refuse(403, "AccessDenied", std::string("the signature does not cover ") + needed);
        if (!auth->token.empty() &&
            std::find(signedNames.begin(), signedNames.end(), "x-amz-security-token") == signedNames.end())
            return refuse(403, "AccessDenied", "the signature does not cover the security token");
    } else if (!authorization.empty()) {
        return refuse(400, "InvalidArgument", "unsupported Authorization header");
    } else if (queryV2) {
        auth->kind = Auth::V2Query;
        const Param *key = parsed.param("AWSAccessKeyId");
        const Param *expires = parsed.param("Expires");
        const Param *signature = parsed.param("Signature");
        const Param *token = parsed.param("x-amz-security-token");
        if (!key || !expires || !signature)
            return refuse(400, "InvalidArgument", "incomplete query authentication");
        auth->keyId = key->value;
        auth->signature = signature->value;
        auth->token = token ? token->value : std::string();
        char *end = nullptr;
        const int64_t until = std::strtoll(expires->value.c_str(), &end, 10);
        if (expires->value.empty() || *end != '\0')
            return refuse(400, "InvalidArgument", "malformed Expires");
        if (until < now)
            return refuse(403, "AccessDenied", "Request has expired");
        if (until > now + kMaxPresignSeconds)
            return refuse(400, "InvalidArgument", "Expires lies too far ahead");
        dateLine = expires->value;
    } else if (queryV4) {
        auth->kind = Auth::V4Query;
        const Param *algorithm = parsed.param("X-Amz-Algorithm");
        const Param *credential = parsed.param("X-Amz-Credential");
        const Param *date = parsed.param("X-Amz-Date");
        const Param *expires = parsed.param("X-Amz-Expires");
        const Param *names = parsed.param("X-Amz-SignedHeaders");
        const Param *signature = parsed.param("X-Amz-Signature");
        const Param *token = parsed.param("X-Amz-Security-Token");
        if (!algorithm || algorithm->value != "AWS4-HMAC-SHA256" || !credential || !date || !expires ||
            !names || !signature)
            return refuse(400, "AuthorizationQueryParametersError", "incomplete query authentication");
        auth->keyId = credential->value.substr(0, credential->value.find('/'));
        auth->signature = signature->value;
        auth->token = token ? token->value : std::string();
        amzDateText = date->value;
        const std::string scopeText =
            credential->value.substr(std::min(credential->value.size(), auth->keyId.size() + 1));
        const size_t r1 = scopeText.find('/');
        const size_t r2 = r1 == std::string::npos ? r1 : scopeText.find('/', r1 + 1);
        if (r2 == std::string::npos)
            return refuse(400, "AuthorizationQueryParametersError", "malformed credential scope");
        region = scopeText.substr(r1 + 1, r2 - r1 - 1);
        if (scopeText != s3auth::v4Scope(amzDateText.substr(0, 8), region))
            return refuse(400, "AuthorizationQueryParametersError",
                          "the credential scope does not match the date");
        int64_t when = 0;
        char *end = nullptr;
        const int64_t ttl = std::strtoll(expires->value.c_str(), &end, 10);
        if (!s3auth::parseAmzDate(amzDateText, &when) || expires->value.empty() || *end != '\0' || ttl < 1 ||
            ttl > kMaxPresignSeconds)
            return refuse(400, "AuthorizationQueryParametersError", "malformed X-Amz-Date or X-Amz-Expires");
        if (when > now + settings.maxSkewSeconds)
            return refuse(403, "RequestTimeTooSkewed", "the request time is too far from the store's");
        if (when + ttl < now)
            return refuse(403, "AccessDenied", "Request has expired");
        for (size_t s = 0; s <= names->value.size();) {
            size_t e = names->value.find(';', s);
            if (e == std::string::npos)
                e = names->value.size();
            signedNames.push_back(names->value.substr(s, e - s));
            s = e + 1;
        }
        if (std::find(signedNames.begin(), signedNames.end(), "host") == signedNames.end())
            return refuse(403, "AccessDenied", "the signature does not cover host");
    }

    std::string code, why;
    if (!storegrant::open(settings.grantSecret, auth->keyId, auth->token, now, grant, &code, &why))
        return refuse(403, code.c_str(), why);

    std::string expected;
    if (auth->kind == Auth::V2Header || auth->kind == Auth::V2Query) {
        std::map<std::string, std::string> amz;
        for (const auto &[name, value] : parsed.headers)
            if (name.compare(0, 6, "x-amz-") == 0)
                amz[name] = value;
        if (auth->kind == Auth::V2Query && !auth->token.empty())
            amz["x-amz-security-token"] = auth->token;
        std::string resource = parsed.rawPath;
        const std::string sub = subresourceText(parsed);
        if (!sub.empty())
            resource += "?" + sub;
        expected = s3auth::v2Signature(
            grant->secret, s3auth::v2StringToSign(method, parsed.header("content-md5"),
                                                  parsed.header("content-type"), dateLine, amz, resource));
    } else {
        s3auth::V4Request canonical;
        canonical.method = method;
        canonical.path = parsed.path;
        for (const Param &p : parsed.params)
            if (p.name != "X-Amz-Signature")
                canonical.query.emplace_back(p.name, p.value);
        for (const std::string &name : signedNames) {
            if (name.empty() || lower(name) != name || !parsed.hasHeader(name))
                return refuse(403, "AccessDenied", "signed header " + name + " is missing");
            canonical.headers[name] = parsed.header(name);
        }
        canonical.payloadHash =
            auth->kind == Auth::V4Header ? parsed.header("x-amz-content-sha256") : "UNSIGNED-PAYLOAD";
        expected =
            s3auth::v4Signature(grant->secret, amzDateText, region, s3auth::v4CanonicalRequest(canonical));
    }
    if (!equalSecret(expected, auth->signature))
        return refuse(403, "SignatureDoesNotMatch",
                      "the request signature we calculated does not match the signature you provided");
    Verdict ok;
    ok.allowed = true;
    return ok;
}

} // namespace

Verdict authorize(const Incoming &request, const Settings &settings, int64_t now)
{
    Parsed parsed;
    std::string why;
    if (!parse(request, &parsed, &why))
        return refuse(400, "InvalidURI", why);
    if (!parsed.hasHeader("authorization") && !parsed.param("Signature") && !parsed.param("AWSAccessKeyId") &&
        !parsed.param("X-Amz-Signature") && !parsed.param("X-Amz-Algorithm"))
        return refuse(403, "AccessDenied", "anonymous requests are refused");

    // What is asked is checked before who asks, so that a refusal names the real reason.
    const size_t slash = parsed.path.find('/', 1);
    const std::string bucket =
        parsed.path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    const std::string key = slash == std::string::npos ? std::string() : parsed.path.substr(slash + 1);
    if (bucket.empty())
        return refuse(403, "AccessDenied", "service operations are refused");
    if (bucket != settings.bucket)
        return refuse(403, "AccessDenied", "no access to bucket " + bucket);
    if (key.empty())
        return refuse(403, "AccessDenied", "bucket operations are refused");
    for (const Param &p : parsed.params)
        if (!isSubresource(p.name) && !isAuthParam(p.name))
            return refuse(400, "InvalidArgument", "unsupported query parameter " + p.name);
    if (!validKey(key))
        return refuse(400, "InvalidArgument", "the object key is not acceptable");
    if (parsed.hasHeader("x-amz-copy-source"))
        return refuse(403, "AccessDenied", "copying objects is refused");
    const char op = operationOf(request.method, parsed);
    if (op == 0)
        return refuse(403, "AccessDenied", "the operation is not allowed");

    Auth auth;
    storegrant::Grant grant;
    Verdict verdict = authenticate(request.method, parsed, settings, now, &auth, &grant);
    if (!verdict.allowed)
        return verdict;
    if (!storegrant::permits(grant, key, op))
        return refuse(403, "AccessDenied",
                      std::string("the grant does not allow ") + (op == 'r' ? "reading " : "writing ") + key);

    verdict.bucket = bucket;
    verdict.key = key;
    verdict.subresource = subresourceText(parsed);
    verdict.keyId = auth.keyId;
    if (auth.kind == Auth::V4Header && isSha256Hex(parsed.header("x-amz-content-sha256")))
        verdict.payloadSha256 = parsed.header("x-amz-content-sha256");
    return verdict;
}

} // namespace storefront
