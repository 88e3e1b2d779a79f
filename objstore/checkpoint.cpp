#include "objstore/checkpoint.h"

#include "objstore/signer.h"

#include <openssl/evp.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace objstore {

namespace {

const char *const magic = "pelomir-upload-checkpoint 1";

std::string md5Hex(const std::string &text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
    return hex(digest, length);
}

// Texts are stored one per line; a line break inside one would end it early.
bool oneLine(const std::string &text)
{
    return text.find('\n') == std::string::npos && text.find('\r') == std::string::npos;
}

} // namespace

int64_t Checkpoint::doneBytes() const
{
    int64_t bytes = 0;
    const int lastPart = int((fileSize + partSize - 1) / partSize);
    for (const auto &part : parts)
        bytes += part.first == lastPart ? fileSize - partSize * (lastPart - 1) : partSize;
    return bytes;
}

std::string checkpointPath(const std::string &dir, const std::string &bucket, const std::string &key,
                           const std::string &filePath)
{
    std::string name = md5Hex(bucket + '\n' + key + '\n' + filePath);
    return dir + (dir.empty() || dir.back() == '/' ? "" : "/") + name + ".checkpoint";
}

bool loadCheckpoint(const std::string &path, Checkpoint *out)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    std::stringstream whole;
    whole << file.rdbuf();
    const std::string text = whole.str();
    // The last line is the digest of everything before it, and nothing follows it.
    const size_t digestAt = text.rfind("md5 ");
    if (digestAt == std::string::npos || text.size() != digestAt + 4 + 32 + 1 || text.back() != '\n' ||
        text.compare(digestAt + 4, 32, md5Hex(text.substr(0, digestAt))) != 0)
        return false;

    std::istringstream lines(text.substr(0, digestAt));
    std::string line;
    if (!std::getline(lines, line) || line != magic)
        return false;
    Checkpoint cp;
    auto field = [&](const char *name, std::string *value) {
        const std::string prefix = std::string(name) + ' ';
        if (!std::getline(lines, line) || line.compare(0, prefix.size(), prefix) != 0)
            return false;
        *value = line.substr(prefix.size());
        return true;
    };
    std::string size, mtime, partSize;
    if (!field("bucket", &cp.bucket) || !field("key", &cp.key) || !field("file", &cp.filePath) ||
        !field("size", &size) || !field("mtime", &mtime) || !field("partsize", &partSize) ||
        !field("upload", &cp.uploadId))
        return false;
    try {
        cp.fileSize = std::stoll(size);
        cp.fileMtimeNs = std::stoll(mtime);
        cp.partSize = std::stoll(partSize);
    } catch (const std::exception &) {
        return false;
    }
    if (cp.partSize <= 0 || cp.fileSize < 0 || cp.uploadId.empty())
        return false;
    const int partCount = int((cp.fileSize + cp.partSize - 1) / cp.partSize);
    while (std::getline(lines, line)) {
        int number = 0;
        char etag[33] = {};
        if (std::sscanf(line.c_str(), "part %d %32s", &number, etag) != 2 || number < 1 ||
            number > partCount || std::string(etag).size() != 32)
            return false;
        cp.parts[number] = etag;
    }
    *out = cp;
    return true;
}

bool saveCheckpoint(const std::string &path, const Checkpoint &cp)
{
    if (!oneLine(cp.bucket) || !oneLine(cp.key) || !oneLine(cp.filePath) || !oneLine(cp.uploadId))
        return false;
    std::ostringstream text;
    text << magic << '\n'
         << "bucket " << cp.bucket << '\n'
         << "key " << cp.key << '\n'
         << "file " << cp.filePath << '\n'
         << "size " << cp.fileSize << '\n'
         << "mtime " << cp.fileMtimeNs << '\n'
         << "partsize " << cp.partSize << '\n'
         << "upload " << cp.uploadId << '\n';
    for (const auto &[number, etag] : cp.parts)
        text << "part " << number << ' ' << etag << '\n';
    std::string content = text.str();
    content += "md5 " + md5Hex(content) + '\n';

    const std::string temporary = path + ".new";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        if (!file.write(content.data(), std::streamsize(content.size())) || !file.flush())
            return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

} // namespace objstore
