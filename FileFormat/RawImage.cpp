// Reading headerless pixel files.
#include "RawImage.h"

#include <cstring>

#include "PixelRoutines.h"

namespace tilvo {

namespace {

struct TFixedLayout {
    size_t FileSize;
    int32_t Width, Height;
    int Bits;  // 8: gray bytes, 32: B, G, R, A
};

// Checked in this order before the fallback.
constexpr TFixedLayout kFixedLayouts[] = {
    {64000, 320, 200, 8},
    {14720, 115, 32, 32},
    {5984, 136, 11, 32},
    {3968, 32, 31, 32},
};

[[noreturn]] void Unsupported() {
    throw EInvalidGraphic("Unsupported RAW format");
}

}  // namespace

int ReadRawPixels(const uint8_t* data, size_t size, TBitmap& picture) {
    TBitmap decoded;
    int bits = 24;
    const TFixedLayout* fixed = nullptr;
    for (const TFixedLayout& l : kFixedLayouts)
        if (size == l.FileSize) fixed = &l;
    if (fixed) {
        bits = fixed->Bits;
        decoded.Resize(fixed->Width, fixed->Height, bits == 8 ? pf8bit : pf32bit);
        if (bits == 8) decoded.Palette() = GrayRamp(8);
        const size_t rowBytes = size_t(fixed->Width) * size_t(bits / 8);
        for (int32_t y = 0; y < fixed->Height; ++y)
            std::memcpy(decoded.ScanLine(y), data + size_t(y) * rowBytes, rowBytes);
    } else {
        // Two decimal digits give the sides as powers of two: at most 512 × 512 pixels.
        if (size < 2) Unsupported();
        const auto digit = [](uint8_t c) { return c >= '0' && c <= '9'; };
        if (!digit(data[0]) || !digit(data[1])) Unsupported();
        const int32_t width = int32_t{1} << (data[0] - '0');
        const int32_t height = int32_t{1} << (data[1] - '0');
        const int64_t rowBytes = CheckedMul(width, 3);
        if (CheckedAdd(CheckedMul(rowBytes, height), 2) != int64_t(size)) Unsupported();
        decoded.Resize(width, height, pf24bit);
        const uint8_t* src = data + 2;
        for (int32_t y = height - 1; y >= 0; --y, src += rowBytes)
            std::memcpy(decoded.ScanLine(y), src, size_t(rowBytes));
    }
    picture.Swap(decoded);
    return bits;
}

void TRawImage::LoadFromStream(TStream& stream) {
    std::vector<uint8_t> file = stream.ReadAll();
    const int bits = ReadRawPixels(file.data(), file.size(), bitmap_);
    bitsPerPixel_ = bits;
    holder_->Stream.swap(file);
}

}  // namespace tilvo
