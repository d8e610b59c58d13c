// The PNG graphic class and the PNG writer. Reading is libpng's; writing goes through the
// libdeflate encoder (PngDeflateWriter). libpng reports fatal errors by longjmp: each libpng call
// sequence runs inside a small glue function that holds the setjmp and has no non-trivial locals;
// the C++ exception is thrown after the glue returns false.
#include "FileFormat/PNGImage.h"

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "FileFormat/ExportGlue.h"
#include "FileFormat/PNMImage.h"
#include "FileFormat/PixelRoutines.h"
#include "FileFormat/PngDeflateWriter.h"
#include "FileFormat/ProgressScope.h"

namespace tilvo {

namespace {

// What the error and I/O callbacks share with the code around the glue functions.
struct TPngContext {
    char message[192] = "";
    // Reading: the file in memory.
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    // Progress: rows done of the rows libpng will hand over (every pass counted); set when the
    // listener asked to stop, which ends the libpng call by png_error.
    int64_t rowsDone = 0;
    int64_t rowsTotal = 0;
    bool cancelled = false;
};

// The rows libpng reports for a picture of `height` rows: each pass of Adam7 counted once.
int64_t ReportedRows(png_uint_32 height, png_uint_32 width, bool interlaced) {
    if (!interlaced) return height;
    int64_t rows = 0;
    for (int pass = 0; pass < 7; ++pass)
        if (PNG_PASS_COLS(width, pass) > 0) rows += PNG_PASS_ROWS(height, pass);
    return rows;
}

// libpng's row callback while reading: one step of the thread's progress.
void PngRowDone(png_structp png, png_uint_32, int) {
    auto* ctx = static_cast<TPngContext*>(png_get_io_ptr(png));
    try {
        CurrentProgress().Step(++ctx->rowsDone, ctx->rowsTotal);
    } catch (const ECancelled&) {
        ctx->cancelled = true;
    }
    if (ctx->cancelled) png_error(png, "cancelled");
}

// Installs the reading row callback when someone listens, with the rows it will count to.
void WatchRows(png_structp png, TPngContext& ctx, int64_t rowsTotal) {
    if (!CurrentProgress().Active()) return;
    ctx.rowsTotal = rowsTotal;
    png_set_read_status_fn(png, PngRowDone);
}

void PngError(png_structp png, png_const_charp msg) {
    auto* ctx = static_cast<TPngContext*>(png_get_error_ptr(png));
    std::snprintf(ctx->message, sizeof ctx->message, "%s", msg ? msg : "unknown error");
    png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

void PngReadData(png_structp png, png_bytep out, size_t count) {
    auto* ctx = static_cast<TPngContext*>(png_get_io_ptr(png));
    if (count > ctx->size - ctx->pos) png_error(png, "file truncated");
    std::memcpy(out, ctx->data + ctx->pos, count);
    ctx->pos += count;
}

// ---- reading ----

class TPngReadStruct {
  public:
    explicit TPngReadStruct(TPngContext& ctx) {
        png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &ctx, PngError, PngWarning);
        if (png) info = png_create_info_struct(png);
        if (!png || !info) throw std::bad_alloc();
        png_set_read_fn(png, &ctx, PngReadData);
        png_set_user_limits(png, uint32_t(kMaxSurfaceSide), uint32_t(kMaxSurfaceSide));
        // Text, profile and other ancillary chunks may not make libpng allocate more than this.
        png_set_chunk_malloc_max(png, 16u << 20);
    }
    ~TPngReadStruct() { png_destroy_read_struct(&png, info ? &info : nullptr, nullptr); }
    TPngReadStruct(const TPngReadStruct&) = delete;
    TPngReadStruct& operator=(const TPngReadStruct&) = delete;

    png_structp png = nullptr;
    png_infop info = nullptr;
};

bool PngReadInfoGlue(png_structp png, png_infop info) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_info(png, info);
    return true;
}

// Sets up the transformations that turn any PNG into 8-bit B, G, R (and A when `alpha`).
bool PngTransformGlue(png_structp png, png_infop info, bool alpha, int* passes) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_set_expand(png);
    png_set_scale_16(png);
    png_set_gray_to_rgb(png);
    png_set_bgr(png);
    if (!alpha) png_set_strip_alpha(png);
    *passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    return true;
}

bool PngReadRowsGlue(png_structp png, png_bytepp rows, png_uint_32 count) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_rows(png, rows, nullptr, count);
    return true;
}

bool PngReadEndGlue(png_structp png) {
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_end(png, nullptr);
    return true;
}

[[noreturn]] void ThrowReadError(const TPngContext& ctx) {
    if (ctx.cancelled) throw ECancelled();
    throw EInvalidGraphic(std::string("Invalid PNG file: ") + ctx.message);
}

// Composites B, G, R, A pixels over white into B, G, R.
void CompositeOverWhite(const uint8_t* src, uint8_t* dst, int32_t width) {
    for (int32_t x = 0; x < width; ++x, src += 4, dst += 3) {
        const uint32_t a = src[3], back = 255 * (255 - a) + 127;
        dst[0] = uint8_t((src[0] * a + back) / 255);
        dst[1] = uint8_t((src[1] * a + back) / 255);
        dst[2] = uint8_t((src[2] * a + back) / 255);
    }
}

void DecodePng(const std::vector<uint8_t>& file, TBitmap& picture) {
    if (file.size() < 8 || png_sig_cmp(file.data(), 0, 8) != 0)
        throw EInvalidGraphic("Not a PNG file");
    TPngContext ctx;
    ctx.data = file.data();
    ctx.size = file.size();
    TPngReadStruct rs(ctx);
    if (!PngReadInfoGlue(rs.png, rs.info)) ThrowReadError(ctx);

    const int64_t width = png_get_image_width(rs.png, rs.info);
    const int64_t height = png_get_image_height(rs.png, rs.info);
    const int colorType = png_get_color_type(rs.png, rs.info);
    const bool interlaced = png_get_interlace_type(rs.png, rs.info) != PNG_INTERLACE_NONE;
    const bool alpha = (colorType & PNG_COLOR_MASK_ALPHA) != 0 ||
                       png_get_valid(rs.png, rs.info, PNG_INFO_tRNS) != 0;
    // Deflate gives at most 1,032 bytes for one: the file must hold 1/64 of the filtered rows
    // shrunk that much.
    const int64_t filteredRow = (CheckedMul(width, int64_t(png_get_channels(rs.png, rs.info)) *
                                                       png_get_bit_depth(rs.png, rs.info)) +
                                 7) /
                                    8 +
                                1;
    CheckPictureData(width, height, 24, CheckedMul(filteredRow, height) / kDeflateMostExpansion,
                     int64_t(file.size()));
    // An interlaced picture with alpha is gathered whole before it is flattened.
    if (alpha && interlaced) CheckPictureSize(width, height, 32);

    int passes = 1;
    if (!PngTransformGlue(rs.png, rs.info, alpha, &passes)) ThrowReadError(ctx);
    const size_t pixelBytes = alpha ? 4 : 3;
    if (png_get_rowbytes(rs.png, rs.info) != size_t(width) * pixelBytes)
        throw EInvalidGraphic("Invalid PNG file: unexpected row layout");
    WatchRows(rs.png, ctx, ReportedRows(png_uint_32(height), png_uint_32(width), interlaced));

    TBitmap result(int32_t(width), int32_t(height), pf24bit);
    if (!alpha) {
        std::vector<png_bytep> rows(static_cast<size_t>(height));
        for (int64_t y = 0; y < height; ++y) rows[size_t(y)] = result.ScanLine(int32_t(y));
        for (int pass = 0; pass < passes; ++pass)
            if (!PngReadRowsGlue(rs.png, rows.data(), png_uint_32(height))) ThrowReadError(ctx);
    } else if (!interlaced) {
        std::vector<uint8_t> row(size_t(width) * 4 + 1);
        png_bytep rowPtr = row.data();
        for (int64_t y = 0; y < height; ++y) {
            if (!PngReadRowsGlue(rs.png, &rowPtr, 1)) ThrowReadError(ctx);
            CompositeOverWhite(row.data(), result.ScanLine(int32_t(y)), int32_t(width));
        }
    } else {
        TBitmap rgba(int32_t(width), int32_t(height), pf32bit);
        std::vector<png_bytep> rows(static_cast<size_t>(height));
        for (int64_t y = 0; y < height; ++y) rows[size_t(y)] = rgba.ScanLine(int32_t(y));
        for (int pass = 0; pass < passes; ++pass)
            if (!PngReadRowsGlue(rs.png, rows.data(), png_uint_32(height))) ThrowReadError(ctx);
        for (int64_t y = 0; y < height; ++y)
            CompositeOverWhite(rgba.ScanLine(int32_t(y)), result.ScanLine(int32_t(y)),
                               int32_t(width));
    }
    if (!PngReadEndGlue(rs.png)) ThrowReadError(ctx);
    picture.Swap(result);
}

// ---- writing ----

uint8_t GrayLevel(uint32_t r, uint32_t g, uint32_t b) {
    return uint8_t((77 * r + 150 * g + 29 * b) >> 8);
}

}  // namespace

TPNGImage::TPNGImage() : TGraphic(std::make_shared<TPNGData>()) {}

void TPNGImage::LoadFromStream(TStream& stream) {
    DecodePng(stream.ReadAll(), bitmap_);
}

void TPNGImage::SaveToStream(TStream& stream) {
    const TBitmap* source = &bitmap_;
    TBitmap converted;  // a 24-bit copy of a surface that is neither 8-bit nor 24-bit
    const bool paletted = bitmap_.PixelFormat() == pf8bit;
    if (!paletted && bitmap_.PixelFormat() != pf24bit) {
        converted.Assign(bitmap_);
        converted.SetPixelFormat(pf24bit);
        source = &converted;
    }
    const int32_t width = source->Width(), height = source->Height();
    if (width == 0 || height == 0) throw EInvalidGraphic("Write Image (PNG): empty picture");

    TPngLayout layout;
    layout.Width = uint32_t(width);
    layout.Height = uint32_t(height);
    layout.Interlaced = Interlaced;

    // The palette as written: every entry of the surface's palette, widened when a pixel refers
    // beyond it (the extra entries are black).
    std::vector<TPaletteEntry> palette;
    if (paletted) {
        palette = source->Palette();
        if (palette.size() > 256) palette.resize(256);
        int maxIndex = -1;
        for (int32_t y = 0; y < height; ++y) {
            const uint8_t* p = source->ScanLine(y);
            maxIndex = std::max(maxIndex, int(*std::max_element(p, p + width)));
        }
        if (size_t(maxIndex + 1) > palette.size()) palette.resize(size_t(maxIndex + 1));
    }

    TPngRowSource rows;
    uint8_t lut[256] = {};
    if (Grayscale) {
        layout.ColorType = 0;
        if (paletted) {
            for (size_t i = 0; i < palette.size(); ++i)
                lut[i] = GrayLevel(palette[i].Red, palette[i].Green, palette[i].Blue);
            rows = [source, width, &lut](int32_t y, uint8_t* out) {
                const uint8_t* src = source->ScanLine(y);
                for (int32_t x = 0; x < width; ++x) out[x] = lut[src[x]];
            };
        } else {
            rows = [source, width](int32_t y, uint8_t* out) {
                const uint8_t* src = source->ScanLine(y);
                for (int32_t x = 0; x < width; ++x, src += 3)
                    out[x] = GrayLevel(src[2], src[1], src[0]);
            };
        }
        if (TransparentColor) {
            const TColor c = *TransparentColor;
            layout.Transparency = {0, GrayLevel(GetRValue(c), GetGValue(c), GetBValue(c))};
        }
    } else if (paletted) {
        layout.ColorType = 3;
        layout.Filters = TPngFilterChoice::None;
        for (const TPaletteEntry& e : palette)
            layout.Palette.insert(layout.Palette.end(), {e.Red, e.Green, e.Blue});
        if (TransparentColor) {
            const TColor c = *TransparentColor;
            for (size_t i = 0; i < palette.size(); ++i) {
                if (RGB(palette[i].Red, palette[i].Green, palette[i].Blue) == c) {
                    layout.Transparency.assign(i + 1, 255);
                    layout.Transparency[i] = 0;
                    break;
                }
            }
        }
        rows = [source, width](int32_t y, uint8_t* out) {
            std::memcpy(out, source->ScanLine(y), size_t(width));
        };
    } else {
        layout.ColorType = 2;
        if (TransparentColor) {
            const TColor c = *TransparentColor;
            layout.Transparency = {0, GetRValue(c), 0, GetGValue(c), 0, GetBValue(c)};
        }
        rows = [source, width](int32_t y, uint8_t* out) {
            SwapRedBlueRow(source->ScanLine(y), out, size_t(width));
        };
    }

    // The writer's own listener, or the thread's (the window's progress bar): one step per row.
    EncodePngDeflate(stream, layout, rows, Progress ? *Progress : CurrentProgress());
}

bool SavePng(TBitmap& picture, const std::string& fileName, bool interlaced, bool grayscale,
             bool reduceTo256, bool transparent, std::string* why) {
    // Reports to the thread's listener, if any (the window's progress bar).
    return SavePng(picture, fileName, interlaced, grayscale, reduceTo256, transparent,
                   CurrentProgress(), why);
}

bool SavePng(TBitmap& picture, const std::string& fileName, bool interlaced, bool grayscale,
             bool reduceTo256, bool transparent, TProgress& progress, std::string* why) {
    try {
        TPNGImage png;
        png.Progress = &progress;
        if (transparent || reduceTo256) {
            TBitmap copy;
            copy.Assign(picture);
            ReduceTo8Bit(copy);
            png.Assign(copy);
            if (transparent) png.TransparentColor = BottomLeftColor(copy);
        } else {
            png.Assign(picture);
        }
        png.Interlaced = interlaced;
        png.Grayscale = grayscale;
        png.SaveToFile(fileName);
        return true;
    } catch (const ECancelled&) {
        throw;
    } catch (const std::exception& e) {
        if (why) *why = e.what();
        return false;
    }
}

}  // namespace tilvo
