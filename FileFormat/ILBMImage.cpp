#include "ILBMImage.h"

#include <cstring>
#include <new>

#include "ByteReader.h"
#include "PixelRoutines.h"
#include "ProgressScope.h"

namespace tilvo {

namespace {

[[noreturn]] void Invalid(const char* text) {
    throw EInvalidGraphic(text);
}

constexpr uint32_t Id(const char (&s)[5]) {
    return uint32_t(uint8_t(s[0])) << 24 | uint32_t(uint8_t(s[1])) << 16 |
           uint32_t(uint8_t(s[2])) << 8 | uint32_t(uint8_t(s[3]));
}

constexpr uint32_t kCamgHam = 0x800;
constexpr uint32_t kCamgHalfBrite = 0x80;

struct TBmhd {
    int64_t Width = 0, Height = 0;
    int Planes = 0;
    uint8_t Masking = 0;
    uint8_t Compression = 0;
};

void DecodeIlbm(const uint8_t* data, size_t size, TBitmap& picture) {
    TByteReader r(data, size, "ILBM file truncated");
    if (size < 12 || r.U32BE() != Id("FORM")) Invalid("Header Error");
    r.U32BE();  // the form's size: the chunks are walked up to BODY whatever it says
    const uint32_t formType = r.U32BE();
    if (formType != Id("ILBM") && formType != Id("PBM ")) Invalid("Header Error");
    const bool chunky = formType == Id("PBM ");

    TBmhd h;
    bool haveHeader = false;
    const uint8_t* cmap = nullptr;
    size_t cmapEntries = 0;
    uint32_t camg = 0;
    const uint8_t* body = nullptr;
    size_t bodySize = 0;
    while (!body) {
        if (r.Remaining() < 8) Invalid("Header Error");  // no BODY
        const uint32_t id = r.U32BE();
        const uint32_t len = r.U32BE();
        if (id == Id("BODY")) {
            // A BODY longer than the file is read as far as it goes; its rows must still decode.
            bodySize = std::min<size_t>(len, r.Remaining());
            body = r.Bytes(bodySize);
            break;
        }
        TByteReader chunk(r.Bytes(len), len, "ILBM file truncated");
        if (id == Id("BMHD")) {
            h.Width = chunk.U16BE();
            h.Height = chunk.U16BE();
            chunk.Skip(4);  // x, y
            h.Planes = chunk.U8();
            h.Masking = chunk.U8();
            h.Compression = chunk.U8();
            haveHeader = true;
        } else if (id == Id("CMAP")) {
            cmapEntries = std::min<size_t>(len, 768) / 3;
            cmap = chunk.Data();
        } else if (id == Id("CAMG") && len >= 4) {
            camg = chunk.U32BE();
        }
        // Chunks of odd size are followed by a pad byte.
        if ((len & 1) && !r.AtEnd()) r.Skip(1);
    }
    if (!haveHeader || h.Compression > 1) Invalid("Header Error");
    if (h.Width == 0 || h.Height == 0) Invalid("ILBM picture has no pixels");
    // Hold-and-modify: 6 or 8 planes whose top two bits say whether the low bits pick a palette
    // entry or replace the blue, red or green of the pixel to the left.
    const bool ham = !chunky && (camg & kCamgHam);
    if (ham && h.Planes != 6 && h.Planes != 8) Invalid("HAM pictures are not supported");

    TPixelFormat pf;
    if (ham) {
        pf = pf24bit;
    } else if (chunky) {
        if (h.Planes != 8) Invalid("Plane Error");
        pf = pf8bit;
    } else if (h.Planes == 1) {
        pf = pf1bit;
    } else if (h.Planes >= 2 && h.Planes <= 4) {
        pf = pf4bit;
    } else if (h.Planes >= 5 && h.Planes <= 8) {
        pf = pf8bit;
    } else if (h.Planes == 24) {
        pf = pf24bit;
    } else {
        Invalid("Plane Error");
    }
    CheckPictureSize(h.Width, h.Height, BitsPerPixel(pf));

    // Bit-plane rows are whole 16-bit words; chunky rows are the width rounded up to even. A
    // mask plane follows the colour planes of each row and is skipped.
    const size_t w = size_t(h.Width);
    const size_t planeBytes = chunky ? (w + 1) & ~size_t{1} : (w + 15) / 16 * 2;
    const int storedPlanes = chunky ? 1 : h.Planes + (h.Masking == 1 ? 1 : 0);
    const int64_t rowBytes = CheckedMul(int64_t(planeBytes), storedPlanes);
    const int64_t total = CheckedMul(rowBytes, h.Height);
    CheckPictureData(h.Width, h.Height, BitsPerPixel(pf), h.Compression == 1 ? total / 64 : total,
                     int64_t(size));
    // Before allocating, the body must be able to give every row: a ByteRun1 packet of two bytes
    // gives at most 128.
    if (h.Compression == 1 ? CheckedMul(int64_t(bodySize), 64) < total : int64_t(bodySize) < total)
        Invalid("ILBM file truncated");

    std::vector<TPaletteEntry> palette;
    if (pf != pf24bit || ham) {
        const int bits = chunky ? 8 : ham ? h.Planes - 2 : h.Planes;
        if (cmap) {
            palette.resize(size_t(1) << bits);
            const size_t n = std::min(cmapEntries, palette.size());
            for (size_t i = 0; i < n; ++i)
                palette[i] = {cmap[3 * i], cmap[3 * i + 1], cmap[3 * i + 2], 0};
            // Extra half-brite: the upper 32 entries are the lower ones at half brightness.
            if ((camg & kCamgHalfBrite) && bits == 6 && n <= 32)
                for (size_t i = 0; i < 32; ++i)
                    palette[32 + i] = {uint8_t(palette[i].Red >> 1), uint8_t(palette[i].Green >> 1),
                                       uint8_t(palette[i].Blue >> 1), 0};
        } else {
            palette = GrayRamp(bits);
        }
    }

    TBitmap result;
    result.Resize(int32_t(h.Width), int32_t(h.Height), pf);
    if (!ham) result.Palette() = std::move(palette);
    std::vector<uint8_t> scan(static_cast<size_t>(rowBytes));
    std::vector<uint8_t> merged(pf == pf4bit || ham ? w : pf == pf24bit ? 3 * w : 0);
    const int hamBits = h.Planes - 2;
    TByteReader in(body, bodySize, "ILBM file truncated");
    const size_t stride = size_t(result.Stride());
    const size_t used = size_t((h.Width * BitsPerPixel(pf) + 7) / 8);
    TProgress& progress = CurrentProgress();
    for (int32_t y = 0; y < int32_t(h.Height); ++y) {
        progress.Step(y, h.Height);
        if (h.Compression == 1) {
            for (int p = 0; p < storedPlanes; ++p)
                DecodePackBits(in, scan.data() + size_t(p) * planeBytes, planeBytes);
        } else {
            std::memcpy(scan.data(), in.Bytes(scan.size()), scan.size());
        }
        uint8_t* row = result.ScanLine(y);
        if (chunky || pf == pf1bit) {
            std::memcpy(row, scan.data(), used);
        } else if (pf == pf4bit) {
            MergeBitPlanes(scan.data(), planeBytes, h.Planes, w, merged.data());
            for (size_t x = 0; x + 1 < w; x += 2)
                row[x / 2] = uint8_t(merged[x] << 4 | merged[x + 1]);
            if (w & 1) row[w / 2] = uint8_t(merged[w - 1] << 4);
        } else if (pf == pf8bit) {
            MergeBitPlanes(scan.data(), planeBytes, h.Planes, w, row);
        } else if (ham) {
            MergeBitPlanes(scan.data(), planeBytes, h.Planes, w, merged.data());
            // Each row starts from the background colour, palette entry 0.
            uint8_t r = palette[0].Red, g = palette[0].Green, b = palette[0].Blue;
            const unsigned mask = (1u << hamBits) - 1;
            for (size_t x = 0; x < w; ++x) {
                const unsigned v = merged[x] & mask;
                const uint8_t level =
                    uint8_t(hamBits == 4 ? v * 17 : (v << 2 | v >> 4));  // widened to 8 bits
                switch (merged[x] >> hamBits) {
                    case 0:
                        r = palette[v].Red, g = palette[v].Green, b = palette[v].Blue;
                        break;
                    case 1:
                        b = level;
                        break;
                    case 2:
                        r = level;
                        break;
                    default:
                        g = level;
                        break;
                }
                row[3 * x] = b;
                row[3 * x + 1] = g;
                row[3 * x + 2] = r;
            }
        } else {
            // Planes 0 to 7 are red, 8 to 15 green, 16 to 23 blue, least significant bit first.
            uint8_t* red = merged.data();
            uint8_t* green = red + w;
            uint8_t* blue = green + w;
            MergeBitPlanes(scan.data(), planeBytes, 8, w, red);
            MergeBitPlanes(scan.data() + 8 * planeBytes, planeBytes, 8, w, green);
            MergeBitPlanes(scan.data() + 16 * planeBytes, planeBytes, 8, w, blue);
            for (size_t x = 0; x < w; ++x) {
                row[3 * x] = blue[x];
                row[3 * x + 1] = green[x];
                row[3 * x + 2] = red[x];
            }
        }
        std::memset(row + used, 0, stride - used);
    }
    picture.Swap(result);
}

}  // namespace

void TILBMImage::LoadFromStream(TStream& stream) {
    std::vector<uint8_t> data = stream.ReadAll();
    auto holder = std::make_shared<TILBMData>();
    try {
        DecodeIlbm(data.data(), data.size(), bitmap_);
    } catch (const std::bad_alloc&) {
        throw EPictureTooLarge();
    }
    holder->Stream = std::move(data);
    holder_ = std::move(holder);
}

}  // namespace tilvo
