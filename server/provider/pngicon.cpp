#include "server/provider/pngicon.h"

#include <cmath>
#include <vector>

namespace provider {

namespace {

uint32_t crc32(const unsigned char *data, size_t size, uint32_t crc = 0)
{
    static uint32_t table[256];
    static const bool ready = [] {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
        return true;
    }();
    (void)ready;
    crc = ~crc;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

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
    std::string body = type;
    body += data;
    png += body;
    put32(png, crc32(reinterpret_cast<const unsigned char *>(body.data()), body.size()));
}

// zlib stream made of stored (uncompressed) deflate blocks: tiny images need no compressor.
std::string zlibStored(const std::string &raw)
{
    std::string out("\x78\x01", 2);
    size_t pos = 0;
    do {
        const size_t n = std::min<size_t>(65535, raw.size() - pos);
        const bool last = pos + n == raw.size();
        out += static_cast<char>(last ? 1 : 0);
        out += static_cast<char>(n & 0xFF);
        out += static_cast<char>(n >> 8);
        out += static_cast<char>(~n & 0xFF);
        out += static_cast<char>((~n >> 8) & 0xFF);
        out.append(raw, pos, n);
        pos += n;
    } while (pos < raw.size());
    uint32_t a = 1, b = 0;
    for (unsigned char c : raw) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    put32(out, (b << 16) | a);
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
    chunk(png, "IDAT", zlibStored(raw));
    chunk(png, "IEND", std::string());
    return png;
}

} // namespace provider
