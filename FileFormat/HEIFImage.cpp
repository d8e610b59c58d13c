// The HEIF graphic class: the signature test here, the decoding in the codec module tilvo_heif
// (on libheif), loaded the first time a HEIF or AVIF file is read.
#include "FileFormat/HEIFImage.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "FileFormat/CodecModule.h"
#include "FileFormat/HeifCodec.h"

namespace tilvo {

namespace {

// The module's codec, loaded once; null with the reason when it cannot be.
struct TLoadedHeifCodec {
    THeifCodec* Codec = nullptr;
    std::string Error;
};

const TLoadedHeifCodec& LoadedHeifCodec() {
    static const TLoadedHeifCodec loaded = [] {
        TLoadedHeifCodec result;
        if (void* factory = CodecModuleSymbol(kHeifModule, kHeifModuleFactory, result.Error))
            result.Codec = reinterpret_cast<THeifCodecFactory>(factory)();
        return result;
    }();
    return loaded;
}

// The reader's surface behind the module: the picture is built in a surface of its own and
// handed over only once every row is written.
class TSurfaceTarget final : public THeifTarget {
  public:
    [[noreturn]] void Fail(const std::string& text) override { throw EInvalidGraphic(text); }
    void CheckSize(int64_t width, int64_t height, int bitsPerPixel) override {
        CheckPictureSize(width, height, bitsPerPixel);
    }
    void Allocate(int32_t width, int32_t height) override {
        TBitmap fresh(width, height, pf24bit);
        picture_.Swap(fresh);
    }
    uint8_t* ScanLine(int32_t y) override { return picture_.ScanLine(y); }

    TBitmap& Picture() { return picture_; }

  private:
    TBitmap picture_;
};

void DecodeHeif(const std::vector<uint8_t>& file, TBitmap& picture) {
    if (file.size() < 12 || !LooksLikeHeif(file)) throw EInvalidGraphic("Not a HEIF file");
    const TLoadedHeifCodec& loaded = LoadedHeifCodec();
    if (!loaded.Codec)
        throw EInvalidGraphic("HEIF and AVIF pictures cannot be read: " + loaded.Error);
    TSurfaceTarget target;
    loaded.Codec->Decode(file, target);
    if (target.Picture().Empty()) throw EInvalidGraphic("Invalid HEIF file: empty picture");
    picture.Swap(target.Picture());
}

}  // namespace

bool LooksLikeHeif(const std::vector<uint8_t>& head) {
    // An ISO media file starts with its "ftyp" box; the brands say what it holds.
    if (head.size() < 12 || std::memcmp(head.data() + 4, "ftyp", 4) != 0) return false;
    const uint32_t boxSize = uint32_t(head[0]) << 24 | uint32_t(head[1]) << 16 |
                             uint32_t(head[2]) << 8 | uint32_t(head[3]);
    const size_t end = std::min<size_t>(head.size(), boxSize < 16 ? 12 : boxSize);
    static const char* const kBrands[] = {"heic", "heix", "heim", "heis", "hevc", "hevx",
                                          "mif1", "msf1", "avif", "avis", "mif2"};
    // The major brand at 8, then the compatible brands from 16 on.
    for (size_t at = 8; at + 4 <= end; at += (at == 8 ? 8 : 4))
        for (const char* brand : kBrands)
            if (std::memcmp(head.data() + at, brand, 4) == 0) return true;
    return false;
}

std::vector<uint8_t> ExtractHeifExif(const std::vector<uint8_t>& file) {
    try {
        if (!LooksLikeHeif(file)) return {};
        const TLoadedHeifCodec& loaded = LoadedHeifCodec();
        if (!loaded.Codec) return {};
        TSurfaceTarget target;
        return loaded.Codec->ExifBlock(file, target);
    } catch (const Exception&) {
        return {};
    } catch (const std::bad_alloc&) {
        return {};
    }
}

THEIFImage::THEIFImage() : TGraphic(std::make_shared<THEIFData>()) {}

void THEIFImage::LoadFromStream(TStream& stream) {
    try {
        DecodeHeif(stream.ReadAll(), bitmap_);
    } catch (const std::bad_alloc&) {
        throw EInvalidGraphic("Invalid HEIF file: out of memory");
    }
}

void THEIFImage::SaveToStream(TStream&) {
    throw EInvalidGraphic("HEIF pictures cannot be written");
}

}  // namespace tilvo
