// Reading the merged picture of Photoshop files.
#include "PSDImage.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "ByteReader.h"
#include "PixelRoutines.h"
#include "ProgressScope.h"

namespace tilvo {

namespace {

constexpr const char* kTruncated = "Photoshop file truncated";

[[noreturn]] void Invalid(const char* text) {
    throw EInvalidGraphic(text);
}

enum TColorMode : uint16_t {
    cmBitmap = 0,
    cmGray = 1,
    cmIndexed = 2,
    cmRGB = 3,
    cmCMYK = 4,
    cmMultichannel = 7,
    cmDuotone = 8,
    cmLab = 9,
};

bool HasSignature(const uint8_t* data, size_t size, size_t at) {
    return size >= at + 4 && std::memcmp(data + at, "8BPS", 4) == 0;
}

// Where one decoded channel goes in the surface.
enum class TPlace {
    Copy,     // the sample row is the surface row (1- and 8-bit pictures)
    Channel,  // one byte of every pixel (Offset within PixelBytes)
    Ink,      // CMYK black: scales the colour bytes already placed
};

struct TTarget {
    TPlace Place = TPlace::Copy;
    int Offset = 0;
};

}  // namespace

void ReadPsdFile(const uint8_t* data, size_t size, TBitmap& picture) {
    if (!HasSignature(data, size, 0)) {
        if (HasSignature(data, size, 128)) Invalid("with Macintosh resource");
        Invalid("Invalid signature");
    }
    TByteReader r(data, size, kTruncated);
    r.Skip(4);
    if (r.U16BE() != 1) Invalid("Version error");
    r.Skip(6);
    const int channels = r.U16BE();
    const int64_t height = r.U32BE();
    const int64_t width = r.U32BE();
    const int depth = r.U16BE();
    const uint16_t mode = r.U16BE();

    if (mode == cmLab) Invalid("Lab colour Photoshop files are not supported");
    if (mode == cmMultichannel) Invalid("Multichannel Photoshop files are not supported");
    if (mode != cmBitmap && mode != cmGray && mode != cmIndexed && mode != cmRGB &&
        mode != cmCMYK && mode != cmDuotone)
        Invalid("Unknown Photoshop colour mode");
    if (width == 0 || height == 0) Invalid("Photoshop picture is empty");
    if (mode == cmBitmap ? depth != 1 : depth != 8 && depth != 16)
        Invalid("Unsupported Photoshop bit depth");

    // The colour mode decides how many channels make the picture; further ones (alpha, spot
    // colours) are skipped, except RGB's fourth, which is its alpha.
    int used = 0;
    TPixelFormat pf = pf24bit;
    switch (mode) {
        case cmBitmap:
            used = 1;
            pf = pf1bit;
            break;
        case cmGray:
        case cmDuotone:
        case cmIndexed:
            used = 1;
            pf = pf8bit;
            break;
        case cmRGB:
            used = channels == 4 ? 4 : 3;
            pf = used == 4 ? pf32bit : pf24bit;
            break;
        case cmCMYK:
            used = 4;
            pf = pf24bit;
            break;
    }
    if (channels < used || channels > 56) Invalid("Invalid Photoshop channel count");
    {
        // Raw rows are whole; a PackBits row takes its 2-byte count and two bytes for every 128
        // it gives.
        const int64_t row = mode == cmBitmap ? (width + 7) / 8 : CheckedMul(width, depth / 8);
        const int64_t perRow = CheckedAdd(2, (row + 127) / 128 * 2);
        const int64_t rows = CheckedMul(height, used);
        CheckPictureData(width, height, BitsPerPixel(pf), CheckedMul(rows, perRow), int64_t(size));
    }

    // Colour mode data: an indexed file's table is 256 reds, 256 greens, 256 blues; anything
    // longer (or in another mode) is skipped by its length.
    const uint32_t modeDataLength = r.U32BE();
    const uint8_t* modeData = r.Bytes(modeDataLength);
    std::vector<TPaletteEntry> palette;
    if (mode == cmIndexed) {
        // A shorter table is read as three equal thirds; entries it does not give stay black.
        palette.resize(256);
        const size_t third = std::min<size_t>(modeDataLength, 768) / 3;
        for (size_t i = 0; i < third; ++i)
            palette[i] =
                TPaletteEntry{modeData[i], modeData[third + i], modeData[2 * third + i], 0};
    } else if (mode == cmBitmap) {
        palette = {TPaletteEntry{255, 255, 255, 0}, TPaletteEntry{0, 0, 0, 0}};
    } else if (pf == pf8bit) {
        palette = GrayRamp(8);
    }

    r.Skip(r.U32BE());  // image resources
    r.Skip(r.U32BE());  // layer and mask information
    const uint16_t compression = r.U16BE();
    if (compression == 2 || compression == 3)
        Invalid("ZIP-compressed Photoshop data is not supported");
    if (compression > 3) Invalid("Unknown Photoshop compression");

    // One channel row as stored: 16-bit samples are big-endian pairs.
    const int64_t sampleRow = mode == cmBitmap ? (width + 7) / 8 : CheckedMul(width, depth / 8);
    const int64_t rows = CheckedMul(height, channels);

    // Where each stored row starts: raw rows follow each other, PackBits rows follow a table of
    // their byte counts. Every row the picture uses must lie inside the file before anything is
    // allocated.
    const uint8_t* counts = nullptr;
    uint64_t dataStart = 0;
    if (compression == 1) {
        counts = r.Bytes(uint64_t(CheckedMul(rows, 2)));
        dataStart = r.Pos();
        uint64_t total = 0;
        for (int64_t i = 0; i < height * used; ++i)
            total += uint64_t(counts[2 * i]) << 8 | counts[2 * i + 1];
        if (total > r.Remaining()) r.Fail();
    } else {
        dataStart = r.Pos();
        if (uint64_t(CheckedMul(sampleRow, height * used)) > r.Remaining()) r.Fail();
    }

    const int pixelBytes = pf == pf32bit ? 4 : pf == pf24bit ? 3 : 1;
    TTarget targets[4];
    if (pixelBytes > 1) {
        static constexpr int kOffsets[4] = {2, 1, 0, 3};  // R, G, B, A
        for (int c = 0; c < used; ++c) targets[c] = {TPlace::Channel, kOffsets[c]};
        if (mode == cmCMYK) targets[3] = {TPlace::Ink, 0};
    }

    TBitmap result;
    result.Resize(int32_t(width), int32_t(height), pf);
    result.Palette() = std::move(palette);
    std::vector<uint8_t> rowBuffer(static_cast<size_t>(sampleRow));
    const uint8_t* src = data + dataStart;
    const uint8_t* end = data + size;
    const int step = depth == 16 ? 2 : 1;  // the high byte of each sample is its first
    TProgress& progress = CurrentProgress();
    for (int c = 0; c < used; ++c) {
        for (int32_t y = 0; y < int32_t(height); ++y) {
            progress.Step(c * height + y, used * height);
            const uint8_t* row;
            if (counts) {
                const int64_t i = int64_t(c) * height + y;
                const size_t n = size_t(counts[2 * i]) << 8 | counts[2 * i + 1];
                if (size_t(end - src) < n) Invalid(kTruncated);
                DecodePackBits(src, n, rowBuffer.data(), rowBuffer.size());
                src += n;
                row = rowBuffer.data();
            } else {
                row = src;
                src += sampleRow;
            }
            uint8_t* d = result.ScanLine(y);
            const TTarget t = targets[c];
            if (t.Place == TPlace::Copy) {
                if (step == 1)
                    std::memcpy(d, row, size_t(sampleRow));
                else
                    for (int64_t x = 0; x < width; ++x) d[x] = row[2 * x];
            } else if (t.Place == TPlace::Channel) {
                for (int64_t x = 0; x < width; ++x) d[x * pixelBytes + t.Offset] = row[x * step];
            } else {
                // CMYK is stored inverted (255 = no ink), so each colour is scaled by the
                // inverted black: R = C * K / 255 with both stored values.
                for (int64_t x = 0; x < width; ++x, d += 3) {
                    const unsigned k = row[x * step];
                    d[0] = uint8_t((d[0] * k + 127) / 255);
                    d[1] = uint8_t((d[1] * k + 127) / 255);
                    d[2] = uint8_t((d[2] * k + 127) / 255);
                }
            }
        }
    }
    picture.Swap(result);
}

void TPSDImage::LoadFromStream(TStream& stream) {
    std::vector<uint8_t> data = stream.ReadAll();
    TBitmap decoded;
    ReadPsdFile(data.data(), data.size(), decoded);
    bitmap_.Swap(decoded);
    holder_->Stream.swap(data);
}

}  // namespace tilvo
