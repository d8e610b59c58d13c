// The WebP graphic class and writer, on libwebp (decode, encode) and libwebpdemux (animations and
// metadata chunks).
#include "FileFormat/WebPImage.h"

#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "FileFormat/PixelRoutines.h"

namespace tilvo {

namespace {

// WebP's largest side (14-bit sizes).
constexpr int32_t kMaxWebPSide = 16383;

// Composites B, G, R, A pixels over white into B, G, R.
void BgraOverWhite(const uint8_t* src, uint8_t* dst, int32_t width) {
    for (int32_t x = 0; x < width; ++x, src += 4, dst += 3) {
        const uint32_t a = src[3], back = 255 * (255 - a) + 127;
        dst[0] = uint8_t((src[0] * a + back) / 255);
        dst[1] = uint8_t((src[1] * a + back) / 255);
        dst[2] = uint8_t((src[2] * a + back) / 255);
    }
}

// A file very small for its picture (less than a byte for every 64 pixels, which lossless
// pictures of one colour reach) is first decoded down to a single pixel, which keeps only a few
// rows in memory: one that does not decode whole fails before its surface exists.
void CheckDecodesWhole(const uint8_t* data, size_t size, int64_t w, int64_t h) {
    if (int64_t(size) >= w * h / kShortFileFactor) return;
    WebPDecoderConfig config;
    if (!WebPInitDecoderConfig(&config)) throw EInvalidGraphic("Invalid WebP file: decoder");
    config.options.use_scaling = 1;
    config.options.scaled_width = 1;
    config.options.scaled_height = 1;
    config.output.colorspace = MODE_BGRA;
    const VP8StatusCode status = WebPDecode(data, size, &config);
    WebPFreeDecBuffer(&config.output);
    if (status != VP8_STATUS_OK) throw EInvalidGraphic(TooShortMessage(w, h));
}

struct TDemuxDelete {
    void operator()(WebPDemuxer* d) const { WebPDemuxDelete(d); }
};

// The first frame of an animation as shown: the canvas starts transparent (white here, as alpha
// is composited over white) and the frame is drawn at its offset. The frame is decoded before the
// canvas is allocated, so a header that only declares a large canvas costs nothing.
void DecodeFirstFrame(const std::vector<uint8_t>& file, TBitmap& result) {
    WebPData data{file.data(), file.size()};
    std::unique_ptr<WebPDemuxer, TDemuxDelete> demux(WebPDemux(&data));
    if (!demux) throw EInvalidGraphic("Invalid WebP file: malformed animation");
    const int64_t canvasW = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_WIDTH);
    const int64_t canvasH = WebPDemuxGetI(demux.get(), WEBP_FF_CANVAS_HEIGHT);
    if (canvasW <= 0 || canvasH <= 0) throw EInvalidGraphic("Invalid WebP file: empty picture");
    WebPIterator frame;
    if (!WebPDemuxGetFrame(demux.get(), 1, &frame))
        throw EInvalidGraphic("Invalid WebP file: no frames");
    const int64_t x0 = frame.x_offset, y0 = frame.y_offset;
    const int64_t w = frame.width, h = frame.height;
    const uint8_t* bytes = frame.fragment.bytes;
    const size_t size = frame.fragment.size;
    WebPDemuxReleaseIterator(&frame);
    if (w <= 0 || h <= 0 || x0 < 0 || y0 < 0 || x0 + w > canvasW || y0 + h > canvasH)
        throw EInvalidGraphic("Invalid WebP file: frame outside the canvas");
    CheckPictureSize(w, h, 32);
    CheckPictureSize(canvasW, canvasH, 24);
    // A canvas far larger than its first frame costs memory no data pays for.
    if (canvasW * canvasH > kSparseCanvasPixels && canvasW * canvasH / kShortFileFactor > w * h)
        throw EInvalidGraphic(TooShortMessage(canvasW, canvasH));
    CheckDecodesWhole(bytes, size, w, h);
    const size_t frameBytes = size_t(w * h * 4);
    std::unique_ptr<uint8_t[]> bgra(new uint8_t[frameBytes]);
    if (!WebPDecodeBGRAInto(bytes, size, bgra.get(), frameBytes, int(w * 4)))
        throw EInvalidGraphic("Invalid WebP file: cannot decode the first frame");
    result.Resize(int32_t(canvasW), int32_t(canvasH), pf24bit);
    for (int64_t y = 0; y < canvasH; ++y) {
        uint8_t* row = result.ScanLine(int32_t(y));
        if (y < y0 || y >= y0 + h) {
            std::memset(row, 255, size_t(canvasW * 3));
            continue;
        }
        std::memset(row, 255, size_t(x0 * 3));
        BgraOverWhite(bgra.get() + (y - y0) * w * 4, row + x0 * 3, int32_t(w));
        std::memset(row + (x0 + w) * 3, 255, size_t((canvasW - x0 - w) * 3));
    }
}

void DecodeWebP(const std::vector<uint8_t>& file, TBitmap& picture) {
    if (!LooksLikeWebP(file)) throw EInvalidGraphic("Not a WebP file");
    WebPBitstreamFeatures features;
    const VP8StatusCode status = WebPGetFeatures(file.data(), file.size(), &features);
    if (status != VP8_STATUS_OK) throw EInvalidGraphic("Invalid WebP file: unreadable header");
    if (features.width <= 0 || features.height <= 0)
        throw EInvalidGraphic("Invalid WebP file: empty picture");
    // The container is checked whole first (every chunk inside the file, a picture present), so
    // that a header alone never gets a surface allocated for it.
    {
        WebPData data{file.data(), file.size()};
        WebPDemuxer* demux = WebPDemux(&data);
        if (!demux) throw EInvalidGraphic("Invalid WebP file: malformed or truncated container");
        WebPDemuxDelete(demux);
    }
    TBitmap result;
    if (!features.has_animation) {
        CheckPictureSize(features.width, features.height, features.has_alpha ? 32 : 24);
        CheckDecodesWhole(file.data(), file.size(), features.width, features.height);
    }
    if (features.has_animation) {
        DecodeFirstFrame(file, result);
    } else if (features.has_alpha) {
        const int64_t w = features.width, h = features.height;
        CheckPictureSize(w, h, 32);
        // Not cleared: the decoder writes every byte or fails.
        const size_t bytes = size_t(w * h * 4);
        std::unique_ptr<uint8_t[]> bgra(new uint8_t[bytes]);
        if (!WebPDecodeBGRAInto(file.data(), file.size(), bgra.get(), bytes, int(w * 4)))
            throw EInvalidGraphic("Invalid WebP file: cannot decode the picture");
        result.Resize(int32_t(w), int32_t(h), pf24bit);
        for (int32_t y = 0; y < int32_t(h); ++y)
            BgraOverWhite(bgra.get() + y * w * 4, result.ScanLine(y), int32_t(w));
    } else {
        // Decoded straight into the surface's rows.
        CheckPictureSize(features.width, features.height, 24);
        result.Resize(features.width, features.height, pf24bit);
        const int64_t stride = result.Stride();
        const size_t bytes = size_t(stride * (features.height - 1) + int64_t(features.width) * 3);
        if (!WebPDecodeBGRInto(file.data(), file.size(), result.ScanLine(0), bytes, int(stride)))
            throw EInvalidGraphic("Invalid WebP file: cannot decode the picture");
    }
    picture.Swap(result);
}

struct TWebPFree {
    void operator()(uint8_t* p) const { WebPFree(p); }
};

// Encodes the picture (any depth; a copy is made 24-bit when it is not) and writes the file to the
// stream only once encoding succeeded.
void EncodeWebP(const TBitmap& picture, int32_t quality, bool lossless, TStream& stream) {
    const TBitmap* source = &picture;
    TBitmap converted;
    if (picture.PixelFormat() != pf24bit) {
        converted.Assign(picture);
        converted.SetPixelFormat(pf24bit);
        source = &converted;
    }
    const int32_t width = source->Width(), height = source->Height();
    if (width <= 0 || height <= 0) throw EInvalidGraphic("Write Image (WebP): empty picture");
    if (width > kMaxWebPSide || height > kMaxWebPSide)
        throw EInvalidGraphic("Write Image (WebP): larger than 16383 x 16383");
    const int stride = int(source->Stride());
    uint8_t* encoded = nullptr;
    const size_t size =
        lossless ? WebPEncodeLosslessBGR(source->ScanLine(0), width, height, stride, &encoded)
                 : WebPEncodeBGR(source->ScanLine(0), width, height, stride,
                                 float(std::clamp(quality, 0, 100)), &encoded);
    std::unique_ptr<uint8_t, TWebPFree> owned(encoded);
    if (size == 0 || !encoded) throw EInvalidGraphic("Write Image (WebP): encoding failed");
    stream.Write(encoded, int64_t(size));
}

}  // namespace

bool LooksLikeWebP(const std::vector<uint8_t>& head) {
    return head.size() >= 12 && std::memcmp(head.data(), "RIFF", 4) == 0 &&
           std::memcmp(head.data() + 8, "WEBP", 4) == 0;
}

std::vector<uint8_t> ExtractWebPExif(const std::vector<uint8_t>& file) {
    if (!LooksLikeWebP(file)) return {};
    WebPData data{file.data(), file.size()};
    WebPDemuxer* demux = WebPDemux(&data);
    if (!demux) return {};
    std::vector<uint8_t> block;
    WebPChunkIterator chunk;
    if ((WebPDemuxGetI(demux, WEBP_FF_FORMAT_FLAGS) & EXIF_FLAG) &&
        WebPDemuxGetChunk(demux, "EXIF", 1, &chunk)) {
        const uint8_t* p = chunk.chunk.bytes;
        size_t n = chunk.chunk.size;
        if (n >= 6 && std::memcmp(p, "Exif\0\0", 6) == 0) {
            p += 6;
            n -= 6;
        }
        try {
            block.assign(p, p + n);
        } catch (const std::bad_alloc&) {
            block.clear();
        }
        WebPDemuxReleaseChunkIterator(&chunk);
    }
    WebPDemuxDelete(demux);
    return block;
}

TWebPImage::TWebPImage() : TGraphic(std::make_shared<TWebPData>()) {}

void TWebPImage::LoadFromStream(TStream& stream) {
    try {
        DecodeWebP(stream.ReadAll(), bitmap_);
    } catch (const std::bad_alloc&) {
        throw EInvalidGraphic("Invalid WebP file: out of memory");
    }
}

void TWebPImage::SaveToStream(TStream& stream) {
    EncodeWebP(bitmap_, Quality, Lossless, stream);
}

bool SaveWebP(const TBitmap& picture, const std::string& fileName, int32_t quality, bool lossless,
              std::string* why) {
    try {
        TSafeFileStream file(fileName);
        EncodeWebP(picture, quality, lossless, file);
        file.Commit();
        return true;
    } catch (const std::exception& e) {
        if (why) *why = e.what();
        return false;
    }
}

}  // namespace tilvo
