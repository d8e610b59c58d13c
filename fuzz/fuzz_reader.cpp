// The reader fuzzer: the input is a file of the format registered for TILVO_FUZZ_EXTENSION; it is
// loaded the way the open path loads a file and handed over as a 24-bit picture. Malformed input
// must end in a tilvo::Exception; anything else (a crash, a sanitizer report, a hang, an
// allocation beyond the limits) is a fault.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FileFormat/Graphic.h"
#ifdef TILVO_FUZZ_VIDEO_DECODER
#include "FileFormat/FFmpegVideoDecoder.h"
#endif

#ifndef TILVO_FUZZ_EXTENSION
#error "TILVO_FUZZ_EXTENSION names the format, e.g. \"bmp\""
#endif

// The AV1 decoder behind libheif keeps a small buffer when it is handed an empty coded picture;
// the leak is the system library's, not the reader's.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libdav1d.so\n";
}

constexpr int64_t kMaxHandOverPixels = int64_t{1} << 24;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
#ifdef TILVO_FUZZ_VIDEO_DECODER
    // The video targets fuzz the decoder the programs install.
    static const bool installed =
        (tilvo::InstallVideoDecoder(std::make_shared<tilvo::TFFmpegVideoDecoder>()), true);
    (void)installed;
#endif
    static const bool registered = (tilvo::RegisterAllFormats(), true);
    (void)registered;
    try {
        std::unique_ptr<tilvo::TGraphic> graphic =
            tilvo::CreateGraphicForFile("input." TILVO_FUZZ_EXTENSION);
        tilvo::TMemoryStream stream(std::vector<uint8_t>(data, data + size));
        graphic->LoadFromStream(stream);
        // A few bytes may rightly describe a picture of hundreds of megapixels; converting one
        // takes seconds and tells nothing new about the parser, so the hand-over stops at 16 Mpx.
        if (int64_t(graphic->GetWidth()) * graphic->GetHeight() > kMaxHandOverPixels) return 0;
        tilvo::TBitmap picture;
        graphic->AssignTo(picture);
        picture.SetPixelFormat(tilvo::pf24bit);
    } catch (const tilvo::Exception&) {
        // a clean refusal
    }
    return 0;
}
