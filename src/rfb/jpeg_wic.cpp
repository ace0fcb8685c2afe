// The JPEG backend on Windows Imaging Component (see jpeg.h for why WIC): the JPEG decoder is
// reached through COM (ole32.dll), so the viewer imports no codec DLL; each image is converted to
// 32-bit BGRA, which in memory is the framebuffer's 0xffRRGGBB, and copied into its rows.
#include <wincodec.h>
#include <windows.h>

#include <climits>

#include "rfb/jpeg.h"

namespace rfb {
namespace {

// Releases a COM pointer when it goes out of scope.
template <typename T>
struct Com {
    T* p = nullptr;
    ~Com() {
        if (p) {
            p->Release();
        }
    }
    T* operator->() const { return p; }
    T** operator&() { return &p; }
};

constexpr const char* kNotJpeg = "Tight JPEG data is not a valid JPEG image";

class WicJpegDecoder final : public JpegDecoder {
public:
    ~WicJpegDecoder() override {
        if (factory_) {
            factory_->Release();
        }
    }

    const char* Decode(std::span<const uint8_t> jpeg, uint32_t* out, int width, int height,
                       int stride) override {
        // Made on first use, on the thread the core runs on: COM is per thread. A thread that
        // already has COM in another mode keeps it (RPC_E_CHANGED_MODE); WIC works in both.
        if (!factory_) {
            const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            if (FAILED(com) && com != RPC_E_CHANGED_MODE) {
                return "Windows could not start its JPEG decoder (COM)";
            }
            if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                        IID_PPV_ARGS(&factory_)))) {
                return "Windows could not start its JPEG decoder (WIC)";
            }
        }
        if (jpeg.size() > UINT_MAX) {
            return kNotJpeg;
        }
        Com<IWICStream> stream;
        Com<IWICBitmapDecoder> decoder;
        Com<IWICBitmapFrameDecode> frame;
        Com<IWICFormatConverter> converter;
        UINT jpeg_width = 0, jpeg_height = 0;
        if (FAILED(factory_->CreateStream(&stream)) ||
            FAILED(stream->InitializeFromMemory(const_cast<BYTE*>(jpeg.data()),
                                                static_cast<DWORD>(jpeg.size()))) ||
            FAILED(factory_->CreateDecoder(GUID_ContainerFormatJpeg, nullptr, &decoder)) ||
            FAILED(decoder->Initialize(stream.p, WICDecodeMetadataCacheOnDemand)) ||
            FAILED(decoder->GetFrame(0, &frame)) ||
            FAILED(frame->GetSize(&jpeg_width, &jpeg_height))) {
            return kNotJpeg;
        }
        if (jpeg_width != static_cast<UINT>(width) || jpeg_height != static_cast<UINT>(height)) {
            return "Tight JPEG image is not the size of its rectangle";
        }
        const UINT pitch = static_cast<UINT>(stride) * 4;
        const UINT size = pitch * static_cast<UINT>(height - 1) + static_cast<UINT>(width) * 4;
        if (FAILED(factory_->CreateFormatConverter(&converter)) ||
            FAILED(converter->Initialize(frame.p, GUID_WICPixelFormat32bppBGRA,
                                         WICBitmapDitherTypeNone, nullptr, 0.0,
                                         WICBitmapPaletteTypeCustom)) ||
            FAILED(converter->CopyPixels(nullptr, pitch, size, reinterpret_cast<BYTE*>(out)))) {
            return kNotJpeg;
        }
        return nullptr;
    }

private:
    IWICImagingFactory* factory_ = nullptr;
};

}  // namespace

std::unique_ptr<JpegDecoder> MakeJpegDecoder() {
    return std::make_unique<WicJpegDecoder>();
}

}  // namespace rfb
