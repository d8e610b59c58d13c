// The codec module tilvo_heif: HEIC (HEVC through libde265) and AVIF (AV1 through dav1d) on
// libheif, decoded from the bytes held in memory into the HEIF reader's surface. Built as a shared
// module of its own so that only a program that opens such a file maps libheif and its codecs.
#include <libheif/heif.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "Effector/Exception.h"
#include "FileFormat/HeifCodec.h"

namespace tilvo {

namespace {

struct TContextFree {
    void operator()(heif_context* c) const { heif_context_free(c); }
};
struct THandleRelease {
    void operator()(heif_image_handle* h) const { heif_image_handle_release(h); }
};
struct TImageRelease {
    void operator()(heif_image* i) const { heif_image_release(i); }
};
struct TOptionsFree {
    void operator()(heif_decoding_options* o) const { heif_decoding_options_free(o); }
};
using TContextPtr = std::unique_ptr<heif_context, TContextFree>;
using THandlePtr = std::unique_ptr<heif_image_handle, THandleRelease>;
using TImagePtr = std::unique_ptr<heif_image, TImageRelease>;
using TOptionsPtr = std::unique_ptr<heif_decoding_options, TOptionsFree>;

void ThrowHeif(THeifTarget& target, const char* what, const heif_error& err) {
    std::string text = "Invalid HEIF file: ";
    text += what;
    if (err.message && *err.message) {
        text += ": ";
        text += err.message;
    }
    target.Fail(text);
}

// The widest and tallest picture libheif is allowed to build: its own limit, tightened so that
// even a square picture of that side fits the surface limit as 32-bit pixels (the decoder's
// interleaved output).
int HeifSideLimit() {
    const int64_t bySurface = int64_t(std::sqrt(double(kMaxSurfaceBytes) / 4.0));
    return int(std::min<int64_t>({bySurface, kMaxSurfaceSide, 32768}));
}

// Parses the held bytes (not copied: `file` outlives the context) and opens the primary image.
THandlePtr OpenPrimary(const std::vector<uint8_t>& file, TContextPtr& ctx, THeifTarget& target) {
    ctx.reset(heif_context_alloc());
    if (!ctx) throw std::bad_alloc();
    heif_context_set_maximum_image_size_limit(ctx.get(), HeifSideLimit());
    heif_error err =
        heif_context_read_from_memory_without_copy(ctx.get(), file.data(), file.size(), nullptr);
    if (err.code != heif_error_Ok) ThrowHeif(target, "cannot read the file", err);
    heif_image_handle* handle = nullptr;
    err = heif_context_get_primary_image_handle(ctx.get(), &handle);
    if (err.code != heif_error_Ok || !handle) ThrowHeif(target, "no primary image", err);
    return THandlePtr(handle);
}

// Composites R, G, B, A pixels over white into B, G, R.
void RgbaOverWhiteToBgr(const uint8_t* src, uint8_t* dst, int32_t width) {
    for (int32_t x = 0; x < width; ++x, src += 4, dst += 3) {
        const uint32_t a = src[3], back = 255 * (255 - a) + 127;
        dst[0] = uint8_t((src[2] * a + back) / 255);
        dst[1] = uint8_t((src[1] * a + back) / 255);
        dst[2] = uint8_t((src[0] * a + back) / 255);
    }
}

void RgbToBgr(const uint8_t* src, uint8_t* dst, int32_t width) {
    for (int32_t x = 0; x < width; ++x, src += 3, dst += 3) {
        dst[0] = src[2];
        dst[1] = src[1];
        dst[2] = src[0];
    }
}

class TLibHeifCodec final : public THeifCodec {
  public:
    void Decode(const std::vector<uint8_t>& file, THeifTarget& target) override {
        TContextPtr ctx;
        THandlePtr handle = OpenPrimary(file, ctx, target);
        const int64_t w = heif_image_handle_get_width(handle.get());
        const int64_t h = heif_image_handle_get_height(handle.get());
        if (w <= 0 || h <= 0) target.Fail("Invalid HEIF file: empty picture");
        // The decoder's output and our surface, either way round (rotation swaps the sides).
        target.CheckSize(w, h, 32);
        target.CheckSize(h, w, 32);

        const bool alpha = heif_image_handle_has_alpha_channel(handle.get()) != 0;
        TOptionsPtr options(heif_decoding_options_alloc());
        if (!options) throw std::bad_alloc();
        options->convert_hdr_to_8bit = 1;
        heif_image* decodedRaw = nullptr;
        const heif_error err = heif_decode_image(
            handle.get(), &decodedRaw, heif_colorspace_RGB,
            alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, options.get());
        TImagePtr decoded(decodedRaw);
        if (err.code != heif_error_Ok || !decoded)
            ThrowHeif(target, "cannot decode the picture", err);

        const int64_t width = heif_image_get_width(decoded.get(), heif_channel_interleaved);
        const int64_t height = heif_image_get_height(decoded.get(), heif_channel_interleaved);
        if (width <= 0 || height <= 0) target.Fail("Invalid HEIF file: empty picture");
        target.CheckSize(width, height, 24);
        int stride = 0;
        const uint8_t* plane =
            heif_image_get_plane_readonly(decoded.get(), heif_channel_interleaved, &stride);
        const int64_t pixelBytes = alpha ? 4 : 3;
        if (!plane || stride < width * pixelBytes ||
            heif_image_get_bits_per_pixel_range(decoded.get(), heif_channel_interleaved) != 8)
            target.Fail("Invalid HEIF file: unexpected decoder output");

        target.Allocate(int32_t(width), int32_t(height));
        for (int64_t y = 0; y < height; ++y) {
            const uint8_t* src = plane + y * stride;
            uint8_t* dst = target.ScanLine(int32_t(y));
            if (alpha)
                RgbaOverWhiteToBgr(src, dst, int32_t(width));
            else
                RgbToBgr(src, dst, int32_t(width));
        }
    }

    std::vector<uint8_t> ExifBlock(const std::vector<uint8_t>& file, THeifTarget& target) override {
        // Only the first 65,535 bytes of a block can ever be carried into a JPEG: a larger block
        // is not read at all.
        constexpr size_t kMaxExifBlock = 1 << 20;
        TContextPtr ctx;
        THandlePtr handle = OpenPrimary(file, ctx, target);
        heif_item_id id = 0;
        if (heif_image_handle_get_list_of_metadata_block_IDs(handle.get(), "Exif", &id, 1) < 1)
            return {};
        const size_t size = heif_image_handle_get_metadata_size(handle.get(), id);
        if (size < 4 || size > kMaxExifBlock) return {};
        std::vector<uint8_t> block(size);
        if (heif_image_handle_get_metadata(handle.get(), id, block.data()).code != heif_error_Ok)
            return {};
        // The block starts with the big-endian offset of the TIFF header after these 4 bytes.
        const uint64_t skip = uint64_t(block[0]) << 24 | uint64_t(block[1]) << 16 |
                              uint64_t(block[2]) << 8 | uint64_t(block[3]);
        if (skip > size - 4) return {};
        block.erase(block.begin(), block.begin() + ptrdiff_t(4 + skip));
        return block;
    }
};

}  // namespace

}  // namespace tilvo

extern "C" __attribute__((visibility("default"))) tilvo::THeifCodec* tilvo_heif_codec() {
    static tilvo::TLibHeifCodec codec;
    return &codec;
}
