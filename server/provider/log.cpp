#include "server/provider/log.h"

#include <chrono>
#include <ctime>

namespace provider {

Log::~Log()
{
    if (file_)
        std::fclose(file_);
}

bool Log::openFile(const std::string &path)
{
    file_ = std::fopen(path.c_str(), "a");
    return file_ != nullptr;
}

void Log::line(std::string_view text)
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    localtime_r(&t, &tm);
    char stamp[40];
    const size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03d ", static_cast<int>(ms));
    std::string out = stamp;
    out.append(text);
    out += '\n';
    std::lock_guard<std::mutex> lock(mutex_);
    FILE *f = file_ ? file_ : stderr;
    std::fwrite(out.data(), 1, out.size(), f);
    std::fflush(f);
}

std::string logSafe(std::string_view text, size_t maxBytes)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < text.size() && out.size() < maxBytes; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F || c == '\\') {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    if (out.size() >= maxBytes)
        out += "...";
    return out;
}

} // namespace provider
