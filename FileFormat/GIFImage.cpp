// The GIF graphic class and the GIF writer, on giflib. Reading goes record by record (never
// DGifSlurp), so nothing is allocated for a picture before its size has been checked.
#include "FileFormat/GIFImage.h"

#include <gif_lib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "FileFormat/ExportGlue.h"
#include "FileFormat/PixelRoutines.h"
#include "FileFormat/ProgressScope.h"

namespace tilvo {

namespace {

// ---- reading ----

struct TGifInput {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;
};

int GifReadData(GifFileType* gif, GifByteType* out, int count) {
    auto* in = static_cast<TGifInput*>(gif->UserData);
    const size_t n = std::min(size_t(count < 0 ? 0 : count), in->size - in->pos);
    std::memcpy(out, in->data + in->pos, n);
    in->pos += n;
    return int(n);
}

struct TGifReadCloser {
    void operator()(GifFileType* gif) const {
        int error = 0;
        DGifCloseFile(gif, &error);
    }
};
using TGifReadHandle = std::unique_ptr<GifFileType, TGifReadCloser>;

[[noreturn]] void ThrowGifError(int error) {
    const char* text = GifErrorString(error);
    throw EInvalidGraphic(std::string("Invalid GIF file: ") + (text ? text : "unknown error"));
}

// 256 colours (B, G, R) for the pixel values 0 .. 255 of a colour map; values beyond the map are
// black, and a missing map reads as a gray ramp.
std::array<std::array<uint8_t, 3>, 256> ColorLookup(const ColorMapObject* map) {
    std::array<std::array<uint8_t, 3>, 256> lut{};
    if (!map) {
        for (int i = 0; i < 256; ++i) lut[size_t(i)] = {uint8_t(i), uint8_t(i), uint8_t(i)};
        return lut;
    }
    const int n = std::min(map->ColorCount, 256);
    for (int i = 0; i < n; ++i) {
        const GifColorType& c = map->Colors[i];
        lut[size_t(i)] = {c.Blue, c.Green, c.Red};
    }
    return lut;
}

// The most pixels one byte of LZW data can give: a 12-bit code stands for at most 4,096.
constexpr int64_t kLzwMostPixelsPerByte = 4096 * 8 / 12;

void DecodeGif(const std::vector<uint8_t>& file, TBitmap& picture) {
    if (file.size() < 6 || std::memcmp(file.data(), "GIF", 3) != 0)
        throw EInvalidGraphic("Not a GIF file");
    TGifInput input{file.data(), file.size(), 0};
    int error = 0;
    TGifReadHandle gif(DGifOpen(&input, GifReadData, &error));
    if (!gif) ThrowGifError(error);

    // Up to the first image: extensions are skipped, except that the last graphic control
    // extension before the image tells its transparent index.
    int transparentIndex = -1;
    for (;;) {
        GifRecordType type = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif.get(), &type) == GIF_ERROR) ThrowGifError(gif->Error);
        if (type == IMAGE_DESC_RECORD_TYPE) {
            if (DGifGetImageHeader(gif.get()) == GIF_ERROR) ThrowGifError(gif->Error);
            break;
        }
        if (type == EXTENSION_RECORD_TYPE) {
            int code = 0;
            GifByteType* block = nullptr;
            if (DGifGetExtension(gif.get(), &code, &block) == GIF_ERROR) ThrowGifError(gif->Error);
            if (code == GRAPHICS_EXT_FUNC_CODE && block && block[0] >= 4)
                transparentIndex = (block[1] & 1) ? block[4] : -1;
            while (block) {
                if (DGifGetExtensionNext(gif.get(), &block) == GIF_ERROR) ThrowGifError(gif->Error);
            }
            continue;
        }
        if (type == TERMINATE_RECORD_TYPE) throw EInvalidGraphic("GIF file holds no image");
        throw EInvalidGraphic("Invalid GIF file: unknown record");
    }

    const GifImageDesc& image = gif->Image;
    const int64_t left = image.Left, top = image.Top;
    const int64_t width = image.Width, height = image.Height;
    CheckPictureSize(width, height, 8);
    int64_t screenWidth = gif->SWidth, screenHeight = gif->SHeight;
    if (screenWidth <= 0 || screenHeight <= 0) {
        screenWidth = left + width;
        screenHeight = top + height;
    }
    CheckPictureSize(screenWidth, screenHeight, 24);
    if (screenWidth == 0 || screenHeight == 0) throw EInvalidGraphic("GIF picture is empty");
    // LZW codes of 12 bits give at most 4,096 pixels each: a file shorter than 1/64 of that
    // cannot hold its image.
    // (The image is never held whole: only its rows on the screen are kept.)
    if (int64_t(file.size()) < CheckedMul(width, height) / kLzwMostPixelsPerByte / kShortFileFactor)
        throw EInvalidGraphic(TooShortMessage(width, height));

    // The image, row by row in file order (interlaced rows come in four passes), keeping only
    // its part inside the screen. Its rows are kept in a buffer that grows as they arrive, and the
    // screen is made only once the image has decoded: a file that merely declares a large picture
    // costs no more memory than the data it really holds.
    const int64_t x0 = std::min(left, screenWidth), x1 = std::min(left + width, screenWidth);
    const int64_t keptWidth = x1 - x0;
    const int64_t keptRows = std::clamp<int64_t>(screenHeight - top, 0, height);
    // A screen far larger than the part of the image on it costs memory no data pays for.
    const int64_t screenPixels = screenWidth * screenHeight;
    if (screenPixels > kSparseCanvasPixels &&
        screenPixels / kShortFileFactor > std::max<int64_t>(keptWidth, 0) * keptRows)
        throw EInvalidGraphic(TooShortMessage(screenWidth, screenHeight));
    std::vector<GifPixelType> kept;
    std::vector<GifPixelType> line(size_t(std::max<int64_t>(width, 1)));
    static constexpr int kPassStart[4] = {0, 4, 2, 1}, kPassStep[4] = {8, 8, 4, 2};
    const int passes = image.Interlace ? 4 : 1;
    // Decoding stops once every row inside the screen has arrived: an interlaced image's last
    // rows below the screen are never decoded.
    int64_t rowsLeft = keptWidth > 0 ? keptRows : 0;
    TProgress& progress = CurrentProgress();
    if (width > 0) {
        for (int pass = 0; pass < passes && rowsLeft > 0; ++pass) {
            const int64_t start = image.Interlace ? kPassStart[pass] : 0;
            const int64_t step = image.Interlace ? kPassStep[pass] : 1;
            for (int64_t row = start; row < height && rowsLeft > 0; row += step) {
                progress.Step(keptRows - rowsLeft, keptRows);
                if (DGifGetLine(gif.get(), line.data(), int(width)) == GIF_ERROR)
                    ThrowGifError(gif->Error);
                if (row >= keptRows) continue;
                --rowsLeft;
                const size_t end = size_t(row + 1) * size_t(keptWidth);
                if (kept.size() < end)
                    kept.resize(std::max(
                        end, std::min(kept.size() * 2, size_t(keptRows) * size_t(keptWidth))));
                std::memcpy(kept.data() + size_t(row) * size_t(keptWidth),
                            line.data() + (x0 - left), size_t(keptWidth));
            }
        }
    }

    // The surface: the logical screen filled with the background colour, the image drawn on it.
    const ColorMapObject* global = gif->SColorMap;
    std::array<uint8_t, 3> fill{255, 255, 255};
    if (global && gif->SBackGroundColor >= 0 && gif->SBackGroundColor < global->ColorCount) {
        const GifColorType& c = global->Colors[gif->SBackGroundColor];
        fill = {c.Blue, c.Green, c.Red};
    }
    TBitmap result(int32_t(screenWidth), int32_t(screenHeight), pf24bit);
    for (int32_t y = 0; y < result.Height(); ++y) {
        uint8_t* p = result.ScanLine(y);
        for (int32_t x = 0; x < result.Width(); ++x, p += 3) std::memcpy(p, fill.data(), 3);
    }
    const auto lut = ColorLookup(image.ColorMap ? image.ColorMap : global);
    if (keptWidth > 0) {
        for (int64_t row = 0; row < keptRows; ++row) {
            const GifPixelType* src = kept.data() + size_t(row) * size_t(keptWidth);
            uint8_t* dst = result.ScanLine(int32_t(top + row)) + 3 * x0;
            for (int64_t x = 0; x < keptWidth; ++x, dst += 3)
                if (int(src[x]) != transparentIndex) std::memcpy(dst, lut[src[x]].data(), 3);
        }
    }
    picture.Swap(result);
}

// ---- writing ----

int GifWriteData(GifFileType* gif, const GifByteType* data, int count) {
    auto* out = static_cast<std::vector<uint8_t>*>(gif->UserData);
    try {
        out->insert(out->end(), data, data + count);
    } catch (...) {
        return 0;
    }
    return count;
}

struct TGifWriteCloser {
    void operator()(GifFileType* gif) const {
        int error = 0;
        EGifCloseFile(gif, &error);
    }
};

struct TColorMapFree {
    void operator()(ColorMapObject* map) const { GifFreeMapObject(map); }
};

[[noreturn]] void ThrowGifWriteError(int error) {
    const char* text = GifErrorString(error);
    throw EInvalidGraphic(std::string("Write Image (GIF): ") + (text ? text : "unknown error"));
}

bool SameColor(const TPaletteEntry& a, const TPaletteEntry& b) {
    return a.Red == b.Red && a.Green == b.Green && a.Blue == b.Blue;
}

}  // namespace

TGIFImage::TGIFImage() : TGraphic(std::make_shared<TGIFData>()) {}

void TGIFImage::LoadFromStream(TStream& stream) {
    DecodeGif(stream.ReadAll(), bitmap_);
}

void TGIFImage::SaveToStream(TStream& stream) {
    const TBitmap* source = &bitmap_;
    TBitmap reduced;  // a copy of a surface of another depth, reduced to 256 colours
    if (bitmap_.PixelFormat() != pf8bit) {
        reduced.Assign(bitmap_);
        ReduceTo8Bit(reduced);
        source = &reduced;
    }
    const int32_t width = source->Width(), height = source->Height();
    if (width == 0 || height == 0) throw EInvalidGraphic("Write Image (GIF): empty picture");
    if (width > 65535 || height > 65535)
        throw EInvalidGraphic("Write Image (GIF): picture too large for GIF");

    // The pixel indices as one block (giflib masks the lines it is given), and the palette
    // widened where a pixel refers beyond it.
    std::vector<uint8_t> pixels(size_t(width) * size_t(height));
    for (int32_t y = 0; y < height; ++y)
        std::memcpy(pixels.data() + size_t(y) * size_t(width), source->ScanLine(y), size_t(width));
    std::vector<TPaletteEntry> palette = source->Palette();
    if (palette.size() > 256) palette.resize(256);
    const size_t maxIndex = *std::max_element(pixels.begin(), pixels.end());
    if (maxIndex + 1 > palette.size()) palette.resize(maxIndex + 1);

    int transparentIndex = -1;
    if (Transparent) {
        // The transparent colour is the bottom-left pixel's.
        const TPaletteEntry key = palette[pixels[size_t(height - 1) * size_t(width)]];
        // Compact the table to the used entries, most used first (equal counts keep their order).
        std::array<uint64_t, 256> counts{};
        for (uint8_t v : pixels) ++counts[v];
        std::vector<int> order;
        for (int i = 0; i < 256; ++i)
            if (counts[size_t(i)] > 0) order.push_back(i);
        std::stable_sort(order.begin(), order.end(),
                         [&](int a, int b) { return counts[size_t(a)] > counts[size_t(b)]; });
        std::array<uint8_t, 256> renumber{};
        std::vector<TPaletteEntry> compact;
        for (size_t k = 0; k < order.size(); ++k) {
            renumber[size_t(order[k])] = uint8_t(k);
            compact.push_back(palette[size_t(order[k])]);
        }
        // Then every pixel of the transparent colour moves to an appended black entry.
        const size_t used = compact.size();
        std::array<bool, 256> isKey{};
        for (size_t k = 0; k < used; ++k) isKey[k] = SameColor(compact[k], key);
        const bool withTransparency = used != 0 && used != 256;
        bool any = false;
        for (uint8_t& v : pixels) {
            v = renumber[v];
            if (withTransparency && isKey[v]) {
                v = uint8_t(used);
                any = true;
            }
        }
        if (any) {
            compact.push_back(TPaletteEntry{});
            transparentIndex = int(used);
        }
        palette = std::move(compact);
    }

    // A GIF colour table holds a power of two entries, at least 2; the padding is black.
    int tableSize = 2;
    while (size_t(tableSize) < palette.size()) tableSize *= 2;
    std::vector<GifColorType> colors(size_t(tableSize), GifColorType{0, 0, 0});
    for (size_t i = 0; i < palette.size(); ++i)
        colors[i] = GifColorType{palette[i].Red, palette[i].Green, palette[i].Blue};
    std::unique_ptr<ColorMapObject, TColorMapFree> map(GifMakeMapObject(tableSize, colors.data()));
    if (!map) throw std::bad_alloc();

    std::vector<uint8_t> encoded;
    int error = 0;
    std::unique_ptr<GifFileType, TGifWriteCloser> gif(EGifOpen(&encoded, GifWriteData, &error));
    if (!gif) ThrowGifWriteError(error);
    EGifSetGifVersion(gif.get(), true);
    if (EGifPutScreenDesc(gif.get(), width, height, 8, 0, map.get()) == GIF_ERROR)
        ThrowGifWriteError(gif->Error);
    if (transparentIndex >= 0) {
        const GifByteType control[4] = {0x01, 0, 0, GifByteType(transparentIndex)};
        if (EGifPutExtension(gif.get(), GRAPHICS_EXT_FUNC_CODE, 4, control) == GIF_ERROR)
            ThrowGifWriteError(gif->Error);
    }
    if (EGifPutImageDesc(gif.get(), 0, 0, width, height, false, nullptr) == GIF_ERROR)
        ThrowGifWriteError(gif->Error);
    for (int32_t y = 0; y < height; ++y) {
        if (EGifPutLine(gif.get(), pixels.data() + size_t(y) * size_t(width), width) == GIF_ERROR)
            ThrowGifWriteError(gif->Error);
    }
    if (EGifCloseFile(gif.release(), &error) == GIF_ERROR) ThrowGifWriteError(error);
    stream.Write(encoded.data(), int64_t(encoded.size()));
}

bool SaveGif(TBitmap& picture, const std::string& fileName, bool transparent, std::string* why) {
    try {
        TBitmap copy;
        copy.Assign(picture);
        ReduceTo8Bit(copy);
        TGIFImage gif;
        gif.Assign(copy);
        gif.Transparent = transparent;
        gif.SaveToFile(fileName);
        return true;
    } catch (const std::exception& e) {
        if (why) *why = e.what();
        return false;
    }
}

}  // namespace tilvo
