// Reading PIC pictures.
//
// After the header the picture is one MSB-first bit stream. The pixels are walked left to right,
// row by row; each step is a run length, the run repeating the current colour, then a new colour
// (a literal or one of the 128 most recently used colours) and optionally a chain that carries
// the new colour down through later rows, one row a step, by marking pixels that a later run
// will pick up.
#include "YPICImage.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "PixelRoutines.h"

namespace tilvo {

namespace {

constexpr int64_t kMaxSide = 512;
// A length prefix of k ones gives a run of at least 2^(k+1) - 1 pixels; 17 ones already cover a
// 512 × 512 picture, so a longer prefix is broken data, not a longer run.
constexpr int kMaxLengthPrefix = 17;

[[noreturn]] void HeaderError(const char* reason) {
    throw EInvalidGraphic(std::string("Header Error: ") + reason);
}

// The 128 recently used colours: a circular list linked both ways. Going forwards from the most
// recent slot reaches the least recently used one first, which the next literal colour replaces.
class TColourCache {
  public:
    TColourCache() {
        for (int i = 0; i < 128; ++i) {
            next_[i] = uint8_t((i + 1) & 127);
            prev_[i] = uint8_t((i - 1) & 127);
        }
    }
    // The colour of `slot`, which becomes the most recent one.
    uint16_t Use(unsigned slot) {
        if (slot != recent_) {  // relinking the most recent slot to itself would break the list
            next_[prev_[slot]] = next_[slot];
            prev_[next_[slot]] = prev_[slot];
            const uint8_t after = next_[recent_];
            next_[recent_] = uint8_t(slot);
            prev_[slot] = recent_;
            next_[slot] = after;
            prev_[after] = uint8_t(slot);
            recent_ = uint8_t(slot);
        }
        return colour_[slot];
    }
    // Stores a new colour in the least recently used slot, which becomes the most recent one.
    void Add(uint16_t colour) {
        recent_ = next_[recent_];
        colour_[recent_] = colour;
    }

  private:
    uint16_t colour_[128] = {};
    uint8_t next_[128];
    uint8_t prev_[128];
    uint8_t recent_ = 0;
};

struct TPicHeader {
    int Depth = 0;
    int32_t Width = 0;
    int32_t Height = 0;
    size_t DataStart = 0;  // the first byte of the bit stream
};

TPicHeader ReadHeader(const uint8_t* data, size_t size) {
    if (size < 3 || std::memcmp(data, "PIC", 3) != 0) HeaderError("PICではありません");
    const auto* eoc = static_cast<const uint8_t*>(std::memchr(data + 3, 0x1A, size - 3));
    if (!eoc) throw EInvalidGraphic("PIC header truncated");
    const size_t afterComment = size_t(eoc - data) + 1;
    const auto* nul = static_cast<const uint8_t*>(std::memchr(eoc + 1, 0x00, size - afterComment));
    if (!nul) throw EInvalidGraphic("PIC header truncated");
    TByteReader r(data, size, "PIC header truncated");
    r.Seek(uint64_t(nul - data) + 1);
    const uint8_t reserved = r.U8();
    const uint8_t machine = r.U8();
    TPicHeader h;
    h.Depth = r.U16BE();
    h.Width = r.U16BE();
    h.Height = r.U16BE();
    h.DataStart = r.Pos();
    if (reserved != 0) HeaderError("PICではありません");
    if (machine != 0 || (h.Depth != 15 && h.Depth != 16)) HeaderError("対応してません");
    if (h.Width > kMaxSide) HeaderError("大きくて読めません");
    h.Height = int32_t(std::min<int64_t>(h.Height, kMaxSide));
    if (h.Width == 0 || h.Height == 0) throw EInvalidGraphic("PIC picture has no pixels");
    return h;
}

// Decodes the bit stream into `work`, one 16-bit colour (green, red, blue from the top, bit 0
// spare) per pixel, all zero at the start. A chain marks a pixel with its colour and bit 0 set,
// so that a black mark is not 0. Answers how many pixels, from the first, were decoded.
int64_t DecodePixels(TBitReader& bits, const TPicHeader& h, std::vector<uint16_t>& work) {
    const int64_t w = h.Width, total = int64_t(h.Width) * h.Height;
    TColourCache cache;
    uint16_t colour = 0;
    int64_t pos = -1;  // the last pixel written
    auto has = [&](int n) { return bits.BitsLeft() >= uint64_t(n); };

    for (;;) {
        // The run length: k ones, a zero, then k + 1 bits.
        int k = 0;
        for (;;) {
            if (!has(1)) return pos + 1;
            if (!bits.Bit()) break;
            if (++k > kMaxLengthPrefix) return pos + 1;
        }
        if (!has(k + 1)) return pos + 1;
        const int64_t length = int64_t(bits.Read(k + 1)) + (int64_t{1} << (k + 1)) - 1;

        // The run repeats the colour over length - 1 pixels; a pixel a chain marked changes the
        // colour from there on.
        const int64_t runEnd = std::min(pos + length - 1, total - 1);
        for (int64_t p = pos + 1; p <= runEnd; ++p) {
            if (work[size_t(p)] != 0) colour = uint16_t(work[size_t(p)] & ~1u);
            work[size_t(p)] = colour;
        }
        pos = std::max(pos, runEnd);
        if (pos == total - 1) return total;

        // A new colour for the next pixel.
        if (!has(1)) return pos + 1;
        if (bits.Bit()) {
            if (!has(7)) return pos + 1;
            colour = cache.Use(bits.Read(7));
        } else {
            if (!has(h.Depth)) return pos + 1;
            colour = uint16_t(bits.Read(h.Depth) << (h.Depth == 15 ? 1 : 0));
            cache.Add(colour);
        }
        work[size_t(++pos)] = colour;
        if (pos == total - 1) return total;

        // A chain: each step goes one row down and one or two columns sideways or straight;
        // steps that leave the picture are read but mark nothing.
        if (!has(1)) return pos + 1;
        if (!bits.Bit()) continue;
        int64_t x = pos % w, y = pos / w;
        for (;;) {
            if (!has(2)) return pos + 1;
            const uint32_t code = bits.Read(2);
            if (code == 0) {
                if (!has(1)) return pos + 1;
                if (!bits.Bit()) break;
                if (!has(1)) return pos + 1;
                x += bits.Bit() ? 2 : -2;
            } else {
                x += code == 1 ? -1 : code == 2 ? 0 : 1;
            }
            ++y;
            if (y < h.Height && x >= 0 && x < w) work[size_t(y * w + x)] = uint16_t(colour | 1);
        }
    }
}

}  // namespace

void ReadPicFile(const uint8_t* data, size_t size, TBitmap& picture) {
    const TPicHeader h = ReadHeader(data, size);
    CheckPictureSize(h.Width, h.Height, 16);
    std::vector<uint16_t> work(size_t(h.Width) * size_t(h.Height), 0);
    TBitReader bits(data + h.DataStart, size - h.DataStart, "PIC data truncated");
    const int64_t decoded = DecodePixels(bits, h, work);
    if (decoded < h.Width) throw EInvalidGraphic("PIC data truncated");

    // Pixels past the decoded ones are black, whatever marks a chain left there.
    picture.Resize(h.Width, h.Height, pf15bit);
    picture.Palette().clear();
    const uint16_t* src = work.data();
    int64_t left = decoded;
    for (int32_t y = 0; y < h.Height; ++y) {
        uint8_t* d = picture.ScanLine(y);
        for (int32_t x = 0; x < h.Width; ++x, ++src, d += 2) {
            const unsigned c = left-- > 0 ? *src : 0;
            const unsigned v = ((c >> 1) & 0x1F) | ((c & 0xF800) >> 6) | ((c & 0x07C0) << 4);
            d[0] = uint8_t(v);
            d[1] = uint8_t(v >> 8);
        }
    }
}

void TYPICImage::LoadFromStream(TStream& stream) {
    const std::vector<uint8_t> data = stream.ReadAll();
    ReadPicFile(data.data(), data.size(), bitmap_);
}

}  // namespace tilvo
