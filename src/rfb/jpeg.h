// The seam between the RFB client core and a JPEG decoder: Tight rectangles may carry a JPEG
// image, and the core stays free of OS and codec headers by calling this interface. A front end
// puts a backend into rfb::Options::jpeg; without one the core never asks for JPEG.
//
// Backends: jpeg_turbo.cpp (libjpeg-turbo's TurboJPEG API; the Linux viewer, tests, fuzzers) and
// jpeg_wic.cpp (the Windows viewer). Windows uses WIC (windowscodecs.dll) rather than a static
// libjpeg-turbo: WIC ships with every Windows since XP SP3 and Wine implements its JPEG decoder,
// so the viewer stays one statically linked file importing only system DLLs, and the project
// builds and updates no third-party codec for Windows.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

namespace rfb {

class JpegDecoder {
public:
    virtual ~JpegDecoder() = default;
    // Decodes `jpeg`, which must be exactly `width` x `height`, into `out`: rows of 0xffRRGGBB
    // pixels, `stride` pixels apart. Returns nullptr, or why the data cannot be shown (then `out`
    // may hold part of an image). Called on the core's thread only.
    virtual const char* Decode(std::span<const uint8_t> jpeg, uint32_t* out, int width, int height,
                               int stride) = 0;
};

// The platform's backend; nullptr when it cannot start.
std::unique_ptr<JpegDecoder> MakeJpegDecoder();

}  // namespace rfb
