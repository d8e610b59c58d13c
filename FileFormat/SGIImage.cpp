#include "SGIImage.h"

#include <cstring>
#include <new>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "ByteReader.h"
#include "PixelRoutines.h"
#include "ProgressScope.h"

namespace tilvo {

namespace {

constexpr uint16_t kMagic = 474;
constexpr size_t kHeaderSize = 512;
constexpr int64_t kMaxSide = 65535;  // the header's 16-bit size fields

[[noreturn]] void Invalid(const char* text) {
    throw EInvalidGraphic(text);
}

struct TSgiHeader {
    uint8_t Storage = 0;
    uint8_t BytesPerChannel = 0;
    uint16_t Dimension = 0;
    uint16_t XSize = 0, YSize = 0, ZSize = 0;
    std::array<char, 80> Name{};
};

// One run-length channel row: packets of a control byte c with count n = c & 0x7F (0 ends the
// row), then n literal bytes when c & 0x80, else one byte repeated n times. Output stops at the
// row's width even when the packets go on; a row that ends before its width is truncated.
void UnpackSgiRow(const uint8_t* src, size_t len, uint8_t* dst, size_t width) {
    size_t in = 0, out = 0;
    while (out < width) {
        if (in >= len) Invalid("SGI run-length row truncated");
        const uint8_t c = src[in++];
        const size_t n = c & 0x7F;
        if (n == 0) Invalid("SGI run-length row truncated");
        const size_t take = std::min(n, width - out);
        if (c & 0x80) {
            if (n > len - in) Invalid("SGI run-length row truncated");
            std::memcpy(dst + out, src + in, take);
            in += n;
        } else {
            if (in >= len) Invalid("SGI run-length row truncated");
            std::memset(dst + out, src[in++], take);
        }
        out += take;
    }
}

// Encodes one channel row; dst must hold SgiRowBound(width) bytes. Runs of three or more equal
// bytes become repeat packets, everything else literal packets; a 0 byte ends the row.
constexpr size_t SgiRowBound(size_t width) {
    return width + (width + 126) / 127 + 1;
}
// The first i >= from with src[i] == src[i + 1] == src[i + 2], or n when there is none.
size_t FindTriple(const uint8_t* src, size_t from, size_t n) {
    size_t i = from;
#ifdef __SSE2__
    for (; i + 18 <= n; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 1));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i + 2));
        const int m = _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, b), _mm_cmpeq_epi8(b, c)));
        if (m) return i + size_t(__builtin_ctz(unsigned(m)));
    }
#endif
    for (; i + 2 < n; ++i)
        if (src[i] == src[i + 1] && src[i] == src[i + 2]) return i;
    return n;
}

size_t PackSgiRow(const uint8_t* src, size_t width, uint8_t* dst) {
    uint8_t* out = dst;
    size_t i = 0;
    while (i < width) {
        const size_t t = FindTriple(src, i, width);
        while (i < t) {
            const size_t len = std::min<size_t>(127, t - i);
            *out++ = uint8_t(0x80 | len);
            std::memcpy(out, src + i, len);
            out += len;
            i += len;
        }
        if (t >= width) break;
        size_t run = 3;
        while (t + run < width && run < 127 && src[t + run] == src[t]) ++run;
        *out++ = uint8_t(run);
        *out++ = src[t];
        i = t + run;
    }
    *out++ = 0;
    return size_t(out - dst);
}

void PutU16BE(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}
void PutU32BE(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

void DecodeSgi(const uint8_t* data, size_t size, TBitmap& picture, std::array<char, 80>& name) {
    if (size < 2 || (data[0] << 8 | data[1]) != kMagic) Invalid("Signature err");
    TByteReader r(data, size, "SGI file truncated");
    TSgiHeader h;
    r.Skip(2);
    h.Storage = r.U8();
    h.BytesPerChannel = r.U8();
    h.Dimension = r.U16BE();
    h.XSize = r.U16BE();
    h.YSize = r.U16BE();
    h.ZSize = r.U16BE();
    r.Seek(24);
    std::memcpy(h.Name.data(), r.Bytes(80), 80);
    r.Seek(kHeaderSize);

    if (h.BytesPerChannel != 1) Invalid("BPC Err");
    // Dimension 1 is a single row of one channel, 2 one gray channel, 3 the z size's channels.
    if (h.Dimension < 1 || h.Dimension > 3) Invalid("Dimension Err");
    const int64_t width = h.XSize;
    const int64_t height = h.Dimension == 1 ? 1 : h.YSize;
    const int64_t channels = h.Dimension == 3 ? h.ZSize : 1;
    if (channels != 1 && channels != 3 && channels != 4) Invalid("Dimension Err");
    if (width == 0 || height == 0) Invalid("SGI picture has no pixels");
    const TPixelFormat pf = channels == 1 ? pf8bit : channels == 3 ? pf24bit : pf32bit;
    // Run-length files hold two 4-byte table entries for every channel row (rows may share their
    // data); verbatim ones every byte.
    CheckPictureData(width, height, BitsPerPixel(pf),
                     CheckedMul(CheckedMul(height, channels), h.Storage == 1 ? 8 : width),
                     int64_t(size));

    // Where each channel row's bytes lie: verbatim rows follow the header plane by plane; the
    // run-length tables (starts, then lengths, indexed row + channel * height) must point into
    // the file, all checked before anything is allocated.
    const int64_t rows = height * channels;
    const uint8_t* verbatim = nullptr;
    const uint8_t* starts = nullptr;
    const uint8_t* lengths = nullptr;
    if (h.Storage == 1) {
        starts = r.Bytes(uint64_t(rows) * 4);
        lengths = r.Bytes(uint64_t(rows) * 4);
        for (int64_t i = 0; i < rows; ++i) {
            const uint64_t at = uint32_t(starts[4 * i] << 24 | starts[4 * i + 1] << 16 |
                                         starts[4 * i + 2] << 8 | starts[4 * i + 3]);
            const uint64_t len = uint32_t(lengths[4 * i] << 24 | lengths[4 * i + 1] << 16 |
                                          lengths[4 * i + 2] << 8 | lengths[4 * i + 3]);
            if (at > size || len > size - at)
                Invalid("SGI run-length table points outside the file");
        }
    } else {
        verbatim = r.Bytes(uint64_t(CheckedMul(rows, width)));
    }

    TBitmap result;
    result.Resize(int32_t(width), int32_t(height), pf);
    std::vector<uint8_t> unpacked(size_t(h.Storage == 1 ? channels * width : 0));
    const size_t w = size_t(width);
    const size_t used = w * size_t(channels);
    const size_t stride = size_t(result.Stride());
    TProgress& progress = CurrentProgress();
    for (int64_t y = 0; y < height; ++y) {
        progress.Step(y, height);
        const uint8_t* ch[4] = {};
        for (int64_t c = 0; c < channels; ++c) {
            const int64_t i = y + c * height;
            if (verbatim) {
                ch[c] = verbatim + size_t(i) * w;
            } else {
                const uint8_t* s = starts + 4 * i;
                const uint8_t* l = lengths + 4 * i;
                const size_t at = size_t(uint32_t(s[0] << 24 | s[1] << 16 | s[2] << 8 | s[3]));
                const size_t len = size_t(uint32_t(l[0] << 24 | l[1] << 16 | l[2] << 8 | l[3]));
                uint8_t* dst = unpacked.data() + size_t(c) * w;
                UnpackSgiRow(data + at, len, dst, w);
                ch[c] = dst;
            }
        }
        // File rows run bottom to top.
        uint8_t* row = result.ScanLine(int32_t(height - 1 - y));
        if (channels == 1) {
            std::memcpy(row, ch[0], w);
        } else if (channels == 3) {
            for (size_t x = 0; x < w; ++x) {
                row[3 * x] = ch[2][x];
                row[3 * x + 1] = ch[1][x];
                row[3 * x + 2] = ch[0][x];
            }
        } else {
            for (size_t x = 0; x < w; ++x) {
                row[4 * x] = ch[2][x];
                row[4 * x + 1] = ch[1][x];
                row[4 * x + 2] = ch[0][x];
                row[4 * x + 3] = ch[3][x];
            }
        }
        std::memset(row + used, 0, stride - used);
    }
    if (channels == 1) result.Palette() = GrayRamp(8);
    picture.Swap(result);
    name = h.Name;
}

}  // namespace

void EncodeSgi(const TBitmap& picture, bool runLength, std::vector<uint8_t>& out,
               const std::array<char, 80>& name) {
    if (picture.Empty()) Invalid("Cannot save an empty picture");
    if (picture.Width() > kMaxSide || picture.Height() > kMaxSide)
        Invalid("SGI pictures are at most 65535 pixels wide and high");
    // 24- and 32-bit surfaces are written as they are, any other depth from a 24-bit copy.
    TBitmap converted;
    const TBitmap* src = &picture;
    if (picture.PixelFormat() != pf24bit && picture.PixelFormat() != pf32bit) {
        converted.Assign(picture);
        converted.SetPixelFormat(pf24bit);
        src = &converted;
    }
    const size_t w = size_t(src->Width()), h = size_t(src->Height());
    const size_t channels = src->PixelFormat() == pf32bit ? 4 : 3;
    const int64_t planeRows = CheckedMul(int64_t(h), int64_t(channels));
    const int64_t bound = runLength
                              ? CheckedAdd(int64_t(kHeaderSize) + 8 * planeRows,
                                           CheckedMul(planeRows, int64_t(SgiRowBound(w))))
                              : CheckedAdd(int64_t(kHeaderSize), CheckedMul(planeRows, int64_t(w)));
    if (runLength && bound > int64_t(UINT32_MAX)) throw EPictureTooLarge();
    out.resize(size_t(bound));
    uint8_t* file = out.data();

    std::memset(file, 0, kHeaderSize);
    PutU16BE(file, kMagic);
    file[2] = runLength ? 1 : 0;
    file[3] = 1;
    PutU16BE(file + 4, 3);
    PutU16BE(file + 6, uint32_t(w));
    PutU16BE(file + 8, uint32_t(h));
    PutU16BE(file + 10, uint32_t(channels));
    PutU32BE(file + 12, 0);
    PutU32BE(file + 16, 255);
    std::memcpy(file + 24, name.data(), name.size());
    file[24 + 79] = 0;  // the name field always ends with a zero byte

    const size_t px = channels;
    if (!runLength) {
        // One pass over the picture: each surface row goes to its place in every plane.
        uint8_t* planes = file + kHeaderSize;
        for (size_t y = 0; y < h; ++y) {
            const uint8_t* s = src->ScanLine(int32_t(h - 1 - y));
            uint8_t* red = planes + y * w;
            uint8_t* green = red + h * w;
            uint8_t* blue = green + h * w;
            if (px == 3) {
                SplitBgrRow(s, w, red, green, blue);
            } else {
                uint8_t* alpha = blue + h * w;
                for (size_t x = 0; x < w; ++x, s += 4) {
                    blue[x] = s[0];
                    green[x] = s[1];
                    red[x] = s[2];
                    alpha[x] = s[3];
                }
            }
        }
        return;
    }

    // Row by row through the picture once: the tables say where each channel row went.
    uint8_t* starts = file + kHeaderSize;
    uint8_t* lengths = starts + 4 * size_t(planeRows);
    size_t at = kHeaderSize + 8 * size_t(planeRows);
    std::vector<uint8_t> split(w * channels);
    for (size_t y = 0; y < h; ++y) {
        const uint8_t* s = src->ScanLine(int32_t(h - 1 - y));
        uint8_t* red = split.data();
        if (px == 3) {
            SplitBgrRow(s, w, red, red + w, red + 2 * w);
        } else {
            for (size_t x = 0; x < w; ++x, s += 4) {
                red[x] = s[2];
                red[w + x] = s[1];
                red[2 * w + x] = s[0];
                red[3 * w + x] = s[3];
            }
        }
        for (size_t c = 0; c < channels; ++c) {
            const size_t len = PackSgiRow(red + c * w, w, file + at);
            PutU32BE(starts + 4 * (y + c * h), uint32_t(at));
            PutU32BE(lengths + 4 * (y + c * h), uint32_t(len));
            at += len;
        }
    }
    out.resize(at);
}

void TSGIImage::LoadFromStream(TStream& stream) {
    const std::vector<uint8_t> data = stream.ReadAll();
    if (data.empty()) Invalid("Signature err");
    try {
        DecodeSgi(data.data(), data.size(), bitmap_, ImageName);
    } catch (const std::bad_alloc&) {
        throw EPictureTooLarge();
    }
}

void TSGIImage::SaveToStream(TStream& stream) {
    std::vector<uint8_t> file;
    EncodeSgi(bitmap_, RunLength, file, ImageName);
    stream.Write(file.data(), int64_t(file.size()));
}

bool SaveSgi(TBitmap& picture, const std::string& fileName, bool runLength, std::string* message) {
    return AnswerWriter(message, [&] {
        std::vector<uint8_t> file;
        EncodeSgi(picture, runLength, file);
        WriteWholeFile(fileName, file.data(), int64_t(file.size()));
    });
}

}  // namespace tilvo
