// Screenshots: the PNG writer read back by Qt's own PNG decoder (an independent reader), pixel
// for pixel, and the file names offered for machine names a file system would refuse.
#include "viewer/screenshot.h"

#include <gtest/gtest.h>

#include <QImage>
#include <random>

namespace {

TEST(Screenshot, PngReadsBackPixelExact) {
    std::mt19937 random(7);
    for (const auto& [width, height] : {std::pair{1, 1}, {5, 3}, {300, 2}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        rfb::Framebuffer fb;
        fb.width = width;
        fb.height = height;
        fb.stride = width + 3;  // rows wider than the picture must not leak into it
        fb.pixels.resize(static_cast<std::size_t>(fb.stride) * height);
        for (uint32_t& p : fb.pixels) {
            p = 0xff000000u | (random() & 0xffffff);
        }
        const std::vector<uint8_t> png = talviewer::EncodePng(fb);
        const QImage image = QImage::fromData(png.data(), static_cast<int>(png.size()), "PNG");
        ASSERT_EQ(image.size(), QSize(width, height));
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                ASSERT_EQ(image.pixel(x, y), fb.At(x, y)) << x << "," << y;
            }
        }
    }
}

TEST(Screenshot, FileNameKeepsNamesAndReplacesWhatFileSystemsRefuse) {
    std::tm when{};
    when.tm_year = 126;
    when.tm_mon = 11;
    when.tm_mday = 8;
    when.tm_hour = 1;
    when.tm_min = 2;
    when.tm_sec = 3;
    const std::pair<const char*, const char*> rows[] = {
        {"pc-01", "pc-01 2026-12-08 01.02.03.png"},
        {"a/b\\c:d*e?f\"g<h>i|j", "a_b_c_d_e_f_g_h_i_j 2026-12-08 01.02.03.png"},
        {".hidden", "_hidden 2026-12-08 01.02.03.png"},
        {"\xed\x95\x9c\xea\xb5\xad pc", "\xed\x95\x9c\xea\xb5\xad pc 2026-12-08 01.02.03.png"},
    };
    for (const auto& [machine, file] : rows) {
        EXPECT_EQ(talviewer::ScreenshotFileName(machine, when), file);
    }
}

}  // namespace
