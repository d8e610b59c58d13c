// Reading and writing PBM, PGM and PPM files.
#include "PNMImage.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "PixelRoutines.h"
#include "ProgressScope.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace tilvo {

namespace {

constexpr const char* kSignature = "Signature Error";
constexpr const char* kHeaderEnded = "TPNMImage Read Error";
constexpr const char* kBadHeader = "Invalid PNM header";
constexpr const char* kTooLong = "PNM number longer than ten digits";
constexpr const char* kBadMaxValue = "Invalid PNM maximum value";
constexpr const char* kNoPixels = "PNM picture has no pixels";
constexpr const char* kTruncated = "PNM file truncated";

// Ten digits still fit in 64 bits with room to spare; anything longer is no picture's size.
constexpr int kMaxDigits = 10;

bool IsBlank(uint8_t c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\v' || c == '\f';
}
bool IsDigit(uint8_t c) {
    return c >= '0' && c <= '9';
}

// The header after the magic: decimal tokens, each preceded by blanks and comments ('#' to the
// end of its line) of any length, each ended by one blank (consumed) or the end of the data.
class THeaderParser {
  public:
    THeaderParser(const uint8_t* data, size_t size, size_t pos, std::string& comment)
        : d_(data), n_(size), pos_(pos), comment_(comment) {}

    int64_t Token() {
        for (;;) {
            while (pos_ < n_ && IsBlank(d_[pos_])) ++pos_;
            if (pos_ >= n_) throw EInvalidGraphic(kHeaderEnded);
            if (d_[pos_] != '#') break;
            const size_t start = ++pos_;
            while (pos_ < n_ && d_[pos_] != '\n' && d_[pos_] != '\r') ++pos_;
            if (pos_ >= n_) throw EInvalidGraphic(kHeaderEnded);
            comment_.assign(reinterpret_cast<const char*>(d_ + start),
                            std::min<size_t>(pos_ - start, 255));
        }
        int64_t value = 0;
        int digits = 0;
        for (; pos_ < n_ && IsDigit(d_[pos_]); ++pos_) {
            if (++digits > kMaxDigits) throw EInvalidGraphic(kTooLong);
            value = value * 10 + (d_[pos_] - '0');
        }
        if (digits == 0 || (pos_ < n_ && !IsBlank(d_[pos_]))) throw EInvalidGraphic(kBadHeader);
        if (pos_ < n_) ++pos_;  // the one blank that ends the token
        return value;
    }
    size_t Pos() const { return pos_; }

  private:
    const uint8_t* d_;
    size_t n_;
    size_t pos_;
    std::string& comment_;
};

// Maps samples 0 … maxval to 0 … 255 with rounding; samples above maxval (which no valid file
// has) count as maxval.
class TSampleScale {
  public:
    explicit TSampleScale(int32_t maxval) : table_(size_t(maxval) + 1), max_(uint32_t(maxval)) {
        for (uint32_t v = 0; v <= max_; ++v) table_[v] = uint8_t((v * 255 + max_ / 2) / max_);
    }
    uint8_t operator()(uint32_t v) const { return table_[std::min(v, max_)]; }
    bool Identity() const { return max_ == 255; }

  private:
    std::vector<uint8_t> table_;
    uint32_t max_;
};

// ---- row kernels ----

[[gnu::always_inline]] inline void SwapRedBlueBody(const uint8_t* s, uint8_t* d, size_t n) {
    for (size_t i = 0; i < n; ++i, s += 3, d += 3) {
        const uint8_t a = s[0], b = s[1], c = s[2];
        d[0] = c;
        d[1] = b;
        d[2] = a;
    }
}

[[gnu::always_inline]] inline void GrayBody(const uint8_t* bgr, uint8_t* gray, size_t n) {
    for (size_t i = 0; i < n; ++i, bgr += 3)
        gray[i] = uint8_t((77u * bgr[2] + 150u * bgr[1] + 29u * bgr[0]) >> 8);
}

void SwapRedBluePortable(const uint8_t* s, uint8_t* d, size_t n) {
    SwapRedBlueBody(s, d, n);
}
void GrayPortable(const uint8_t* bgr, uint8_t* gray, size_t n) {
    GrayBody(bgr, gray, n);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TILVO_HAVE_VECTOR_PNM 1
// Five pixels a step: a 16-byte load holds them (and one byte more), one byte shuffle swaps the
// outer bytes of each, and the 16-byte store's last byte is written again by the next step (or by
// the portable tail). src and dst must not overlap.
[[gnu::target("ssse3")]] void SwapRedBlueSsse3(const uint8_t* s, uint8_t* d, size_t n) {
    const __m128i swap = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
    size_t i = 0;
    for (; i + 6 <= n; i += 5) {  // 16 bytes readable and writable from pixel i
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 3 * i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 3 * i), _mm_shuffle_epi8(v, swap));
    }
    SwapRedBlueBody(s + 3 * i, d + 3 * i, n - i);
}
// The gray loop compiled for AVX2, where the compiler widens it to vector multiplies.
[[gnu::target("avx2")]] void GrayAvx2(const uint8_t* bgr, uint8_t* gray, size_t n) {
    GrayBody(bgr, gray, n);
}
bool CpuHasSsse3() {
    static const bool has = __builtin_cpu_supports("ssse3");
    return has;
}
bool CpuHasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

// P4 from 24 bits: black (a set bit) where trunc((30 R + 59 G + 11 B) / 100 + 0.5) <= 128.
void ThresholdRow(const uint8_t* bgr, uint8_t* bits, size_t n) {
    const size_t bytes = (n + 7) / 8;
    std::memset(bits, 0, bytes);
    for (size_t i = 0; i < n; ++i, bgr += 3) {
        const unsigned c = (30u * bgr[2] + 59u * bgr[1] + 11u * bgr[0] + 50u) / 100u;
        if (c <= 128) bits[i >> 3] |= uint8_t(0x80u >> (i & 7));
    }
}

// ---- reading ----

struct TPnmHeader {
    char Magic = 0;
    int64_t Width = 0, Height = 0;
    int32_t MaxValue = 1;
    size_t Raster = 0;  // where the raster starts
};

// Byte-coded rasters (P4, P5, P6): rows straight from the data; a short raster opens with its
// missing part black provided the first row is whole.
void DecodeBinary(const TPnmHeader& h, const uint8_t* data, size_t size, TBitmap& out) {
    const int32_t w = int32_t(h.Width), height = int32_t(h.Height);
    const int channels = h.Magic == '6' ? 3 : 1;
    const int sampleBytes = h.MaxValue > 255 ? 2 : 1;
    const size_t rowBytes =
        h.Magic == '4' ? (size_t(w) + 7) / 8 : size_t(w) * size_t(channels) * size_t(sampleBytes);
    const size_t available = size - h.Raster;
    const size_t fullRows = std::min<size_t>(available / rowBytes, size_t(height));
    if (fullRows == 0) throw EInvalidGraphic(kTruncated);

    const TSampleScale scale(h.MaxValue);
    // A last, partial row is decoded from a copy padded with zero samples.
    std::vector<uint8_t> partial;
    const bool hasPartial = fullRows < size_t(height) && available % rowBytes != 0;
    if (hasPartial) {
        partial.assign(rowBytes, h.Magic == '4' ? 0xFF : 0);
        std::memcpy(partial.data(), data + h.Raster + fullRows * rowBytes, available % rowBytes);
    }
    const int32_t decodedRows = int32_t(fullRows) + (hasPartial ? 1 : 0);
    TProgress& progress = CurrentProgress();
    for (int32_t y = 0; y < decodedRows; ++y) {
        progress.Step(y, decodedRows);
        const uint8_t* s =
            size_t(y) < fullRows ? data + h.Raster + size_t(y) * rowBytes : partial.data();
        uint8_t* d = out.ScanLine(y);
        if (h.Magic == '4') {
            std::memcpy(d, s, rowBytes);
        } else if (sampleBytes == 2) {
            const size_t samples = size_t(w) * size_t(channels);
            if (channels == 3) {
                for (size_t i = 0; i < samples; i += 3, s += 6, d += 3) {
                    d[2] = scale(uint32_t(s[0]) << 8 | s[1]);
                    d[1] = scale(uint32_t(s[2]) << 8 | s[3]);
                    d[0] = scale(uint32_t(s[4]) << 8 | s[5]);
                }
            } else {
                for (size_t i = 0; i < samples; ++i, s += 2)
                    d[i] = scale(uint32_t(s[0]) << 8 | s[1]);
            }
        } else if (channels == 3) {
            if (scale.Identity()) {
                SwapRedBlueRow(s, d, size_t(w));
            } else {
                for (int32_t x = 0; x < w; ++x, s += 3, d += 3) {
                    d[0] = scale(s[2]);
                    d[1] = scale(s[1]);
                    d[2] = scale(s[0]);
                }
            }
        } else if (scale.Identity()) {
            std::memcpy(d, s, size_t(w));
        } else {
            for (int32_t x = 0; x < w; ++x) d[x] = scale(s[x]);
        }
    }
    // Rows the file does not have are black: all bits set in a bilevel picture, zero elsewhere.
    if (h.Magic == '4') {
        for (int32_t y = decodedRows; y < height; ++y) std::memset(out.ScanLine(y), 0xFF, rowBytes);
    } else {
        FillRows(out, decodedRows, height);
    }
}

// The ASCII rasters (P1, P2, P3). Whatever is missing at the end is black: set bits in P1, zero
// samples in P2 and P3; the first row must be whole.
class TAsciiRaster {
  public:
    TAsciiRaster(const uint8_t* data, size_t size, size_t pos) : d_(data), n_(size), pos_(pos) {}

    // The next '0' or '1' of a P1 raster (every other character is skipped); -1 at the end.
    int Bit() {
        while (pos_ < n_ && d_[pos_] != '0' && d_[pos_] != '1') ++pos_;
        return pos_ < n_ ? d_[pos_++] - '0' : -1;
    }
    // The next decimal number of a P2 or P3 raster (anything before its first digit is skipped);
    // -1 at the end.
    int64_t Number() {
        while (pos_ < n_ && !IsDigit(d_[pos_])) ++pos_;
        if (pos_ >= n_) return -1;
        int64_t value = 0;
        int digits = 0;
        for (; pos_ < n_ && IsDigit(d_[pos_]); ++pos_) {
            if (++digits > kMaxDigits) throw EInvalidGraphic(kTooLong);
            value = value * 10 + (d_[pos_] - '0');
        }
        if (pos_ < n_) ++pos_;  // the character that ended it
        return value;
    }

  private:
    const uint8_t* d_;
    size_t n_;
    size_t pos_;
};

void DecodeAscii(const TPnmHeader& h, const uint8_t* data, size_t size, TBitmap& out) {
    const int32_t w = int32_t(h.Width), height = int32_t(h.Height);
    TAsciiRaster in(data, size, h.Raster);
    if (h.Magic == '1') {
        const size_t rowBytes = (size_t(w) + 7) / 8;
        TProgress& progress = CurrentProgress();
        for (int32_t y = 0; y < height; ++y) {
            progress.Step(y, height);
            uint8_t* d = out.ScanLine(y);
            std::memset(d, 0, rowBytes);
            for (int32_t x = 0; x < w; ++x) {
                const int bit = in.Bit();
                if (bit < 0) {
                    if (y == 0) throw EInvalidGraphic(kTruncated);
                    for (; x < w; ++x) d[x >> 3] |= uint8_t(0x80u >> (x & 7));
                    for (int32_t rest = y + 1; rest < height; ++rest)
                        std::memset(out.ScanLine(rest), 0xFF, rowBytes);
                    return;
                }
                if (bit) d[x >> 3] |= uint8_t(0x80u >> (x & 7));
            }
        }
        return;
    }
    const TSampleScale scale(h.MaxValue);
    const int channels = h.Magic == '3' ? 3 : 1;
    const size_t samples = size_t(w) * size_t(channels);
    TProgress& progress = CurrentProgress();
    for (int32_t y = 0; y < height; ++y) {
        progress.Step(y, height);
        uint8_t* d = out.ScanLine(y);
        for (size_t i = 0; i < samples; ++i) {
            const int64_t v = in.Number();
            if (v < 0) {
                if (y == 0) throw EInvalidGraphic(kTruncated);
                // The missing samples of this row (R, G, B in the file, B, G, R in the row) and
                // every later row are zero.
                for (size_t k = i; k < samples; ++k)
                    d[channels == 3 ? k - k % 3 + 2 - k % 3 : k] = 0;
                FillRows(out, y + 1, height);
                return;
            }
            const uint8_t s = scale(uint32_t(std::min<int64_t>(v, h.MaxValue)));
            if (channels == 3)
                d[i - i % 3 + 2 - i % 3] = s;  // R, G, B in the file; B, G, R in the row
            else
                d[i] = s;
        }
    }
}

TPnmHeader ReadHeader(const uint8_t* data, size_t size, std::string& comment) {
    if (size < 2 || data[0] != 'P' || data[1] < '1' || data[1] > '6')
        throw EInvalidGraphic(kSignature);
    TPnmHeader h;
    h.Magic = char(data[1]);
    THeaderParser p(data, size, 2, comment);
    h.Width = p.Token();
    h.Height = p.Token();
    if (h.Magic != '1' && h.Magic != '4') {
        const int64_t maxval = p.Token();
        if (maxval < 1 || maxval > 65535) throw EInvalidGraphic(kBadMaxValue);
        h.MaxValue = int32_t(maxval);
    }
    if (h.Width == 0 || h.Height == 0) throw EInvalidGraphic(kNoPixels);
    h.Raster = p.Pos();
    return h;
}

// ---- writing ----

// Collects whole rows and hands them to the stream in blocks of about 32 KiB: small enough to stay
// in the processor's first-level cache between being filled and being copied out.
class TRowWriter {
  public:
    TRowWriter(TStream& stream, size_t rowBytes)
        : stream_(stream),
          rowBytes_(rowBytes),
          rowsPerBlock_(std::max<size_t>(1, (size_t(1) << 15) / std::max<size_t>(rowBytes, 1))),
          block_(rowBytes * rowsPerBlock_) {}
    uint8_t* Next() {
        if (used_ == rowsPerBlock_) Flush();
        return block_.data() + rowBytes_ * used_++;
    }
    void Flush() {
        if (used_) stream_.Write(block_.data(), int64_t(rowBytes_ * used_));
        used_ = 0;
    }

  private:
    TStream& stream_;
    size_t rowBytes_;
    size_t rowsPerBlock_;
    std::vector<uint8_t> block_;
    size_t used_ = 0;
};

}  // namespace

void SwapRedBlueRow(const uint8_t* src, uint8_t* dst, size_t pixels, bool allowVector) {
#ifdef TILVO_HAVE_VECTOR_PNM
    if (allowVector && CpuHasSsse3()) return SwapRedBlueSsse3(src, dst, pixels);
#else
    (void)allowVector;
#endif
    SwapRedBluePortable(src, dst, pixels);
}

void GrayRow(const uint8_t* bgr, uint8_t* gray, size_t pixels, bool allowVector) {
#ifdef TILVO_HAVE_VECTOR_PNM
    if (allowVector && CpuHasAvx2()) return GrayAvx2(bgr, gray, pixels);
#else
    (void)allowVector;
#endif
    GrayPortable(bgr, gray, pixels);
}

void TPNMImage::LoadFromStream(TStream& stream) {
    const std::vector<uint8_t> data = stream.ReadAll();
    std::string comment;
    const TPnmHeader h = ReadHeader(data.data(), data.size(), comment);
    const bool bilevel = h.Magic == '1' || h.Magic == '4';
    const bool gray = h.Magic == '2' || h.Magic == '5';
    const TPixelFormat pf = bilevel ? pf1bit : gray ? pf8bit : pf24bit;
    // The least a raster can be: its bytes (P4 to P6), one character a pixel (P1) or a digit and
    // a blank a sample (P2, P3).
    const int64_t samples = CheckedMul(h.Width, gray || bilevel ? 1 : 3);
    const int64_t fewest = h.Magic == '4'   ? CheckedMul((h.Width + 7) / 8, h.Height)
                           : h.Magic == '1' ? CheckedMul(h.Width, h.Height)
                           : h.Magic >= '5'
                               ? CheckedMul(CheckedMul(samples, h.MaxValue > 255 ? 2 : 1), h.Height)
                               : CheckedMul(CheckedMul(samples, 2), h.Height);
    CheckPictureData(h.Width, h.Height, BitsPerPixel(pf), fewest, int64_t(data.size()));

    bitmap_.Resize(int32_t(h.Width), int32_t(h.Height), pf);
    if (bilevel)
        bitmap_.Palette() = {TPaletteEntry{255, 255, 255, 0}, TPaletteEntry{0, 0, 0, 0}};
    else if (gray)
        bitmap_.Palette() = GrayRamp(8);
    else
        bitmap_.Palette().clear();

    if (h.Magic >= '4')
        DecodeBinary(h, data.data(), data.size(), bitmap_);
    else
        DecodeAscii(h, data.data(), data.size(), bitmap_);

    Magic = h.Magic;
    MaxValue = h.MaxValue;
    BitDepth = bilevel ? 1 : gray ? 8 : 24;
    Comment = std::move(comment);
}

void TPNMImage::SaveToStream(TStream& stream) {
    WritePnm(bitmap_, OutputVariant, stream);
}

void WritePnm(const TBitmap& picture, const std::string& variant, TStream& stream) {
    const char* magic = variant == "PPM"   ? "P6"
                        : variant == "PGM" ? "P5"
                        : variant == "PBM" ? "P4"
                                           : nullptr;
    if (!magic) throw EInvalidGraphic("Unknown PNM output variant \"" + variant + "\"");
    if (picture.Empty()) throw EInvalidGraphic("Cannot save an empty picture");

    TBitmap converted;
    const TBitmap* p = &picture;
    if (picture.PixelFormat() != pf24bit) {
        converted.Assign(picture);
        converted.SetPixelFormat(pf24bit);
        p = &converted;
    }
    const int32_t w = p->Width(), h = p->Height();
    std::string header = std::string(magic) + "\n# Created by Tilvo\n" + std::to_string(w) + " " +
                         std::to_string(h) + "\n";
    if (variant != "PBM") header += "255\n";
    stream.Write(header.data(), int64_t(header.size()));

    const size_t rowBytes = variant == "PPM"   ? size_t(w) * 3
                            : variant == "PGM" ? size_t(w)
                                               : (size_t(w) + 7) / 8;
    TRowWriter out(stream, rowBytes);
    TProgress& progress = CurrentProgress();
    for (int32_t y = 0; y < h; ++y) {
        progress.Step(y, h);
        const uint8_t* s = p->ScanLine(y);
        uint8_t* d = out.Next();
        if (variant == "PPM")
            SwapRedBlueRow(s, d, size_t(w));
        else if (variant == "PGM")
            GrayRow(s, d, size_t(w));
        else
            ThresholdRow(s, d, size_t(w));
    }
    out.Flush();
}

bool SavePnm(TBitmap& picture, const std::string& fileName, const std::string& variant,
             std::string* why) {
    // The writer takes the picture as it is: nothing is changed, so no copy is needed.
    return AnswerWriter(why, [&] {
        TSafeFileStream stream(fileName);
        WritePnm(picture, variant, stream);
        stream.Commit();
    });
}

}  // namespace tilvo
