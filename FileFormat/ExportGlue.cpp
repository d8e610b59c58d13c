// The colour reduction shared by the PNG, GIF and 256-colour side-format writers, and the
// bottom-left transparency rule.
#include "FileFormat/ExportGlue.h"

#include <bit>
#include <cstring>
#include <memory>

#include "FileFormat/JPEGImage.h"

namespace tilvo {

namespace {

// The set of colours a picture uses: for every (red, green) pair a 256-bit set indexed by blue,
// all in one 2 MiB table. A pixel's B, G, R bytes read as one little-endian 24-bit number are
// directly its bit number (blue lowest), so each pixel costs one load and one bit set.
class TColorSets {
  public:
    static constexpr int kWordsPerSet = 4;

    TColorSets() : bits_(std::make_unique<uint64_t[]>(size_t{65536} * kWordsPerSet)) {}

    // Adds every pixel of a 24-bit picture.
    void Collect(const TBitmap& picture) {
        uint64_t* bits = bits_.get();
        const int64_t w = picture.Width();
        if (w == 0) return;
        for (int32_t y = 0; y < picture.Height(); ++y) {
            const uint8_t* p = picture.ScanLine(y);
            // All but the last pixel of the row are read four bytes at a time (the fourth byte is
            // the next pixel's); the last one byte by byte, so no read passes the row's end.
            const uint8_t* last = p + 3 * (w - 1);
            for (; p != last; p += 3) {
                uint32_t v;
                if constexpr (std::endian::native == std::endian::little) {
                    std::memcpy(&v, p, 4);
                    v &= 0xFFFFFF;
                } else {
                    v = p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
                }
                bits[v >> 6] |= uint64_t{1} << (v & 63);
            }
            const uint32_t v = p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16;
            bits[v >> 6] |= uint64_t{1} << (v & 63);
        }
    }

    int64_t Count() const {
        int64_t n = 0;
        const uint64_t* bits = bits_.get();
        for (size_t i = 0; i < size_t{65536} * kWordsPerSet; ++i) n += std::popcount(bits[i]);
        return n;
    }

    const uint64_t* Set(uint32_t green, uint32_t red) const {
        return bits_.get() + (red << 8 | green) * kWordsPerSet;
    }

  private:
    std::unique_ptr<uint64_t[]> bits_;
};

// A 24-bit view of the picture: the picture itself, or a converted copy kept in `holder`.
const TBitmap& As24Bit(const TBitmap& picture, TBitmap& holder) {
    if (picture.PixelFormat() == pf24bit) return picture;
    holder.Assign(picture);
    holder.SetPixelFormat(pf24bit);
    return holder;
}

}  // namespace

int64_t CountDistinctColors(const TBitmap& picture) {
    TBitmap converted;
    const TBitmap& p = As24Bit(picture, converted);
    const int64_t w = p.Width();
    if (w == 0 || p.Height() == 0) return 0;
    // A bit per colour, numbered red lowest and blue highest (the reverse of the bytes' order): in
    // a row of pixels the colour moves a little in every channel, and numbering it so kept the
    // marked bits of neighbouring pixels within fewer cache lines than blue lowest did.
    auto bits = std::make_unique<uint8_t[]>(size_t{1} << 21);
    uint8_t* set = bits.get();
    // The bit of a colour within its byte comes from a table: a variable shift costs more.
    static constexpr uint8_t kBit[8] = {1, 2, 4, 8, 16, 32, 64, 128};
    for (int32_t y = 0; y < p.Height(); ++y) {
        const uint8_t* px = p.ScanLine(y);
        // Four bytes at a time (the fourth is the next pixel's) but for the last pixel of the row,
        // so no read passes the row's end.
        const uint8_t* last = px + 3 * (w - 1);
        for (; px != last; px += 3) {
            uint32_t v;
            if constexpr (std::endian::native == std::endian::little) {
                std::memcpy(&v, px, 4);
                v = __builtin_bswap32(v << 8);
            } else {
                v = px[2] | uint32_t(px[1]) << 8 | uint32_t(px[0]) << 16;
            }
            set[v >> 3] |= kBit[v & 7];
        }
        const uint32_t v = px[2] | uint32_t(px[1]) << 8 | uint32_t(px[0]) << 16;
        set[v >> 3] |= kBit[v & 7];
    }
    int64_t n = 0;
    const uint8_t* end = set + (size_t{1} << 21);
    for (const uint8_t* q = set; q != end; q += 8) {
        uint64_t word;
        std::memcpy(&word, q, 8);
        n += std::popcount(word);
    }
    return n;
}

void BuildExactPalette(TBitmap& picture) {
    if (picture.PixelFormat() != pf24bit) picture.SetPixelFormat(pf24bit);
    TColorSets sets;
    sets.Collect(picture);
    if (sets.Count() > 256) throw Exception("picture has more than 256 colours");

    // Palette in green, red, blue order; base[g << 8 | r] is the index of the first colour of
    // that (green, red) pair, so a colour's index is its base plus the blues below it in the set.
    std::vector<TPaletteEntry> palette(256);
    auto base = std::make_unique<uint16_t[]>(65536);
    int n = 0;
    for (uint32_t g = 0; g < 256; ++g) {
        for (uint32_t r = 0; r < 256; ++r) {
            base[g << 8 | r] = uint16_t(n);
            const uint64_t* set = sets.Set(g, r);
            for (int word = 0; word < TColorSets::kWordsPerSet; ++word) {
                for (uint64_t bits = set[word]; bits != 0; bits &= bits - 1) {
                    const int b = word * 64 + std::countr_zero(bits);
                    palette[n++] = TPaletteEntry{uint8_t(r), uint8_t(g), uint8_t(b), 0};
                }
            }
        }
    }

    TBitmap indexed(picture.Width(), picture.Height(), pf8bit);
    indexed.Palette() = std::move(palette);
    for (int32_t y = 0; y < picture.Height(); ++y) {
        const uint8_t* src = picture.ScanLine(y);
        uint8_t* dst = indexed.ScanLine(y);
        for (int32_t x = 0; x < picture.Width(); ++x, src += 3) {
            const uint32_t b = src[0], g = src[1], r = src[2];
            const uint64_t* set = sets.Set(g, r);
            int index = base[g << 8 | r];
            const uint32_t word = b >> 6;
            for (uint32_t i = 0; i < word; ++i) index += std::popcount(set[i]);
            index += std::popcount(set[word] & ((uint64_t{1} << (b & 63)) - 1));
            dst[x] = uint8_t(index);
        }
    }
    picture.Swap(indexed);
}

void QuantizeThroughJpeg(TBitmap& picture) {
    if (picture.PixelFormat() != pf24bit) picture.SetPixelFormat(pf24bit);
    TJPEGImage jpeg;
    jpeg.SetCompressionQuality(100);
    jpeg.Assign(picture);
    jpeg.Compress();
    jpeg.SetPixelFormat(TJPEGPixelFormat::jf8Bit);
    jpeg.AssignTo(picture);
}

void ReduceTo8Bit(TBitmap& picture) {
    if (picture.PixelFormat() == pf8bit) return;
    if (picture.PixelFormat() != pf24bit) picture.SetPixelFormat(pf24bit);
    if (CountDistinctColors(picture) <= 256)
        BuildExactPalette(picture);
    else
        QuantizeThroughJpeg(picture);
}

TColor BottomLeftColor(TBitmap& picture) {
    if (picture.Empty()) return RGB(255, 255, 255);
    if (picture.PixelFormat() != pf24bit) picture.SetPixelFormat(pf24bit);
    const uint8_t* p = picture.ScanLine(picture.Height() - 1);
    return RGB(p[2], p[1], p[0]);
}

}  // namespace tilvo
