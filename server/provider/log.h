#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace provider {

// Timestamped log lines to standard error or a file. Any thread; takes mutex_ per line.
class Log
{
public:
    Log() = default;
    ~Log();
    bool openFile(const std::string &path);
    void line(std::string_view text);

private:
    std::mutex mutex_;
    FILE *file_ = nullptr;
};

// Printable form of text from the network for a log line: control bytes escaped, length capped.
std::string logSafe(std::string_view text, size_t maxBytes = 200);

} // namespace provider
