// The video still: decoder installation, the placeholder and the shared loading of AVI and MPEG.
#include "VideoStill.h"

#include <cstring>
#include <new>

#include "BMPImage.h"

namespace tilvo {

namespace {

// Set once at start-up by the program (the decoder of the build, the window's icon hook); the
// readers only look them up.
std::shared_ptr<TVideoDecoder>& DecoderSlot() {
    static std::shared_ptr<TVideoDecoder> decoder;
    return decoder;
}

TVideoPlaceholderStyle& StyleSlot() {
    static TVideoPlaceholderStyle style;
    return style;
}

}  // namespace

void InstallVideoDecoder(std::shared_ptr<TVideoDecoder> decoder) {
    DecoderSlot() = std::move(decoder);
}

std::shared_ptr<TVideoDecoder> InstalledVideoDecoder() {
    return DecoderSlot();
}

void SetVideoPlaceholderStyle(TVideoPlaceholderStyle style) {
    StyleSlot() = std::move(style);
}

const TVideoPlaceholderStyle& VideoPlaceholderStyle() {
    return StyleSlot();
}

void TVideoStillImage::LoadFromFile(const std::string& fileName) {
    const std::string previous = fileName_;
    fileName_ = fileName;
    try {
        TGraphic::LoadFromFile(fileName);
    } catch (...) {
        fileName_ = previous;
        throw;
    }
}

void TVideoStillImage::LoadFromStream(TStream& stream) {
    std::vector<uint8_t> data = stream.ReadAll();
    TBitmap picture;
    bool placeholder = false;
    if (const std::shared_ptr<TVideoDecoder> decoder = InstalledVideoDecoder();
        decoder && decoder->Available()) {
        std::vector<uint8_t> dib;
        std::string why;
        try {
            dib = decoder->FirstFrame(data.data(), data.size(), container_, why);
        } catch (const std::bad_alloc&) {
            dib.clear();
            why = "not enough memory";
        }
        if (dib.empty())
            throw EInvalidGraphic("The video cannot be opened: " +
                                  (why.empty() ? std::string("no frame decodes") : why));
        // The packed bitmap reader finds the rows after the colour table, whose size a colours-
        // used count of 0 gives as the depth's full table.
        ReadPackedBitmap(dib.data(), dib.size(), picture);
        picture.SetPixelFormat(pf24bit);
    } else {
        const TVideoPlaceholderStyle& style = VideoPlaceholderStyle();
        picture.Resize(kVideoPlaceholderSide, kVideoPlaceholderSide, pf24bit);
        const uint8_t bgr[3] = {GetBValue(style.ButtonFace), GetGValue(style.ButtonFace),
                                GetRValue(style.ButtonFace)};
        for (int32_t y = 0; y < kVideoPlaceholderSide; ++y) {
            uint8_t* row = picture.ScanLine(y);
            for (int32_t x = 0; x < kVideoPlaceholderSide; ++x) std::memcpy(row + 3 * x, bgr, 3);
        }
        if (style.DrawIcon) style.DrawIcon(picture, fileName_);
        placeholder = true;
    }
    bitmap_.Swap(picture);
    holder_->Stream.swap(data);
    placeholder_ = placeholder;
}

}  // namespace tilvo
