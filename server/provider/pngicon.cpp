#include "server/provider/pngicon.h"

#include <zlib.h>

#include <cmath>
#include <stdexcept>

namespace provider {

namespace {

void put32(std::string &out, uint32_t v)
{
    out += static_cast<char>(v >> 24);
    out += static_cast<char>(v >> 16);
    out += static_cast<char>(v >> 8);
    out += static_cast<char>(v);
}

void chunk(std::string &png, const char *type, const std::string &data)
{
    put32(png, static_cast<uint32_t>(data.size()));
    const size_t start = png.size();
    png += type;
    png += data;
    const auto *body = reinterpret_cast<const Bytef *>(png.data() + start);
    put32(png, static_cast<uint32_t>(
                   ::crc32(::crc32(0, nullptr, 0), body, static_cast<uInt>(png.size() - start))));
}

std::string deflated(const std::string &raw)
{
    uLongf size = ::compressBound(raw.size());
    std::string out(size, '\0');
    if (::compress2(reinterpret_cast<Bytef *>(out.data()), &size, reinterpret_cast<const Bytef *>(raw.data()),
                    raw.size(), Z_BEST_COMPRESSION) != Z_OK)
        throw std::runtime_error("cannot compress an icon");
    out.resize(size);
    return out;
}

} // namespace

std::string planIconPng(uint32_t rgb, int level)
{
    const int size = 32;
    std::string raw;
    raw.reserve(size * (size * 4 + 1));
    for (int y = 0; y < size; ++y) {
        raw += '\0';
        for (int x = 0; x < size; ++x) {
            const double dx = x + 0.5 - size / 2.0, dy = y + 0.5 - size / 2.0;
            const double d = std::sqrt(dx * dx + dy * dy);
            // Soft edge one pixel wide.
            const double alpha = std::max(0.0, std::min(1.0, 15.0 - d));
            uint32_t colour = rgb;
            // Bars of rising height, centred, one per level.
            for (int i = 0; i < level; ++i) {
                const int left = 16 - 3 * level + 6 * i + 1;
                const int top = 22 - 4 * (i + 1);
                if (x >= left && x < left + 4 && y >= top && y < 23)
                    colour = 0xFFFFFF;
            }
            raw += static_cast<char>(colour >> 16);
            raw += static_cast<char>(colour >> 8);
            raw += static_cast<char>(colour);
            raw += static_cast<char>(std::lround(alpha * 255));
        }
    }
    std::string png("\x89PNG\r\n\x1a\n", 8);
    std::string header;
    put32(header, size);
    put32(header, size);
    header += std::string("\x08\x06\x00\x00\x00", 5);
    chunk(png, "IHDR", header);
    chunk(png, "IDAT", deflated(raw));
    chunk(png, "IEND", std::string());
    return png;
}

} // namespace provider
