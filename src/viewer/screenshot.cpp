// PNG writing for screenshots (see screenshot.h): the signature, IHDR, one IDAT deflated row by
// row (each row with filter "Sub", which halves the size of typical desktops against none), IEND.
#include "viewer/screenshot.h"

#include <zlib.h>

#include <array>

#include "rfb/bytes.h"

namespace talviewer {
namespace {

using rfb::Put32;

// A chunk: length, type, data, CRC over type and data.
void Chunk(std::vector<uint8_t>& out, const char (&type)[5], const std::vector<uint8_t>& data) {
    Put32(out, static_cast<uint32_t>(data.size()));
    const std::size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    Put32(out, static_cast<uint32_t>(
                   crc32(0, out.data() + start, static_cast<uInt>(out.size() - start))));
}

std::vector<uint8_t> Deflate(const rfb::Framebuffer& fb) {
    z_stream z{};
    deflateInit(&z, Z_DEFAULT_COMPRESSION);
    std::vector<uint8_t> out;
    std::vector<uint8_t> row(1 + 3 * static_cast<std::size_t>(fb.width));
    std::array<uint8_t, 64 * 1024> chunk;
    for (int y = 0; y < fb.height; ++y) {
        row[0] = 1;  // Sub: each byte minus the same byte of the pixel to its left
        const uint32_t* pixels = fb.Row(y);
        uint32_t left = 0;
        for (int x = 0; x < fb.width; ++x) {
            const uint32_t p = pixels[x];
            for (int c = 0; c < 3; ++c) {
                const int shift = 16 - 8 * c;
                row[1 + 3 * x + c] = static_cast<uint8_t>((p >> shift) - (left >> shift));
            }
            left = p;
        }
        z.next_in = row.data();
        z.avail_in = static_cast<uInt>(row.size());
        const int flush = y + 1 == fb.height ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = chunk.data();
            z.avail_out = static_cast<uInt>(chunk.size());
            deflate(&z, flush);
            out.insert(out.end(), chunk.data(), z.next_out);
        } while (z.avail_out == 0 || (flush == Z_FINISH && z.avail_in != 0));
    }
    deflateEnd(&z);
    return out;
}

}  // namespace

std::vector<uint8_t> EncodePng(const rfb::Framebuffer& framebuffer) {
    std::vector<uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::vector<uint8_t> header;
    Put32(header, static_cast<uint32_t>(framebuffer.width));
    Put32(header, static_cast<uint32_t>(framebuffer.height));
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, filters, no interlace
    Chunk(out, "IHDR", header);
    Chunk(out, "IDAT", Deflate(framebuffer));
    Chunk(out, "IEND", {});
    return out;
}

std::string ScreenshotFileName(std::string_view machine, const std::tm& local) {
    std::string name;
    for (const char c : machine) {
        const auto u = static_cast<unsigned char>(c);
        const bool refused = u < 0x20 || u == 0x7f ||
                             std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos;
        name += refused || (name.empty() && c == '.') ? '_' : c;
    }
    char when[64];
    std::strftime(when, sizeof when, " %Y-%m-%d %H.%M.%S.png", &local);
    return name + when;
}

}  // namespace talviewer
