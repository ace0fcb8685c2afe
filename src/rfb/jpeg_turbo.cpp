// The JPEG backend on libjpeg-turbo's TurboJPEG API (see jpeg.h): decodes straight into the
// framebuffer's rows, whose 0xffRRGGBB pixels are B, G, R, A bytes in memory on little-endian
// machines, which is TJPF_BGRA's layout (alpha written as 0xff, as a JPEG has none).
#include <turbojpeg.h>

#include <bit>

#include "rfb/jpeg.h"

static_assert(std::endian::native == std::endian::little, "TJPF_BGRA matches 0xffRRGGBB");

namespace rfb {
namespace {

class TurboJpegDecoder final : public JpegDecoder {
public:
    explicit TurboJpegDecoder(tjhandle handle) : handle_(handle) {}
    ~TurboJpegDecoder() override { tjDestroy(handle_); }
    TurboJpegDecoder(const TurboJpegDecoder&) = delete;
    TurboJpegDecoder& operator=(const TurboJpegDecoder&) = delete;

    const char* Decode(std::span<const uint8_t> jpeg, uint32_t* out, int width, int height,
                       int stride) override {
        int jpeg_width = 0, jpeg_height = 0, subsampling = 0, colourspace = 0;
        if (tjDecompressHeader3(handle_, jpeg.data(), static_cast<unsigned long>(jpeg.size()),
                                &jpeg_width, &jpeg_height, &subsampling, &colourspace) != 0) {
            return "Tight JPEG data is not a valid JPEG image";
        }
        if (jpeg_width != width || jpeg_height != height) {
            return "Tight JPEG image is not the size of its rectangle";
        }
        if (tjDecompress2(handle_, jpeg.data(), static_cast<unsigned long>(jpeg.size()),
                          reinterpret_cast<unsigned char*>(out), width, stride * 4, height,
                          TJPF_BGRA, TJFLAG_FASTDCT | TJFLAG_NOREALLOC) != 0) {
            return "Tight JPEG data is not a valid JPEG image";
        }
        return nullptr;
    }

private:
    tjhandle handle_;
};

}  // namespace

std::unique_ptr<JpegDecoder> MakeJpegDecoder() {
    tjhandle handle = tjInitDecompress();
    if (handle == nullptr) {
        return nullptr;
    }
    return std::make_unique<TurboJpegDecoder>(handle);
}

}  // namespace rfb
