// Opening a 12-megapixel HEIC through the open path against heif_decode_image alone on the same
// file, and saving a 24-megapixel picture as lossy WebP through the writer against WebPEncodeBGR
// alone, each pair measured alternately in the same run. The inputs are made at start-up with
// libheif and libwebp. Wall-clock times (the codecs may decode on several threads), best of the
// runs. Budgets: at most 1.1 × the library alone, both.
#include <benchmark/benchmark.h>
#include <libheif/heif.h>
#include <unistd.h>
#include <webp/encode.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "FileFormat/Graphic.h"
#include "FileFormat/Stream.h"
#include "FileFormat/WebPImage.h"
#include "bench/BenchPictures.h"

namespace tilvo::bench {
namespace {

namespace fs = std::filesystem;

double Seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct TRatioLine {
    const char* Name;
    double Budget;
    double Ratio = 0, OpMs = 0, BaseMs = 0;
    bool Measured = false;
    ~TRatioLine() {
        if (Measured)
            std::printf(
                "RATIO %s %.3f budget %.1f %s (%.1f ms against the library alone %.1f ms)\n", Name,
                Ratio, Budget, Ratio <= Budget ? "ok" : "OVER", OpMs, BaseMs);
    }
};
TRatioLine g_heic{"OpenHeic_4000x3000", 1.1};
TRatioLine g_webp{"SaveWebPLossy_6000x4000", 1.1};

fs::path TempPath(const char* name) {
    return fs::temp_directory_path() / ("tilvo-bench-" + std::to_string(::getpid()) + name);
}

// A 4000 × 3000 photo-like picture encoded as HEIC (fastest x265 preset: the file, not the
// encoder, is what is measured).
std::vector<uint8_t> MakeHeic() {
    TBitmap photo;
    MakePhotoLike(photo, 4000, 3000);
    heif_image* image = nullptr;
    heif_image_create(4000, 3000, heif_colorspace_RGB, heif_chroma_interleaved_RGB, &image);
    heif_image_add_plane(image, heif_channel_interleaved, 4000, 3000, 8);
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(image, heif_channel_interleaved, &stride);
    for (int32_t y = 0; y < 3000; ++y) {
        const uint8_t* src = photo.ScanLine(y);
        uint8_t* dst = plane + int64_t(y) * stride;
        for (int32_t x = 0; x < 4000; ++x, src += 3, dst += 3) {
            dst[0] = src[2];
            dst[1] = src[1];
            dst[2] = src[0];
        }
    }
    heif_context* ctx = heif_context_alloc();
    heif_encoder* encoder = nullptr;
    heif_context_get_encoder_for_format(ctx, heif_compression_HEVC, &encoder);
    heif_encoder_set_lossy_quality(encoder, 80);
    heif_encoder_set_parameter(encoder, "preset", "ultrafast");
    heif_context_encode_image(ctx, image, encoder, nullptr, nullptr);
    std::vector<uint8_t> bytes;
    heif_writer writer{};
    writer.writer_api_version = 1;
    writer.write = [](heif_context*, const void* data, size_t size, void* user) {
        auto* out = static_cast<std::vector<uint8_t>*>(user);
        out->insert(out->end(), static_cast<const uint8_t*>(data),
                    static_cast<const uint8_t*>(data) + size);
        return heif_error{heif_error_Ok, heif_suberror_Unspecified, ""};
    };
    heif_context_write(ctx, &writer, &bytes);
    heif_encoder_release(encoder);
    heif_context_free(ctx);
    heif_image_release(image);
    return bytes;
}

// The library alone: the file's bytes parsed and the primary image decoded to interleaved RGB.
void DecodeWithLibheif(const std::vector<uint8_t>& file) {
    heif_context* ctx = heif_context_alloc();
    heif_context_read_from_memory_without_copy(ctx, file.data(), file.size(), nullptr);
    heif_image_handle* handle = nullptr;
    heif_context_get_primary_image_handle(ctx, &handle);
    heif_image* image = nullptr;
    heif_decode_image(handle, &image, heif_colorspace_RGB, heif_chroma_interleaved_RGB, nullptr);
    benchmark::DoNotOptimize(image);
    heif_image_release(image);
    heif_image_handle_release(handle);
    heif_context_free(ctx);
}

void BM_OpenHeic(benchmark::State& state) {
    const std::vector<uint8_t> heic = MakeHeic();
    const std::string file = TempPath(".heic").string();
    WriteWholeFile(file, heic.data(), int64_t(heic.size()));
    RegisterAllFormats();
    double bestOp = 1e30, bestBase = 1e30;
    for (auto _ : state) {
        state.PauseTiming();
        double t0 = Seconds();
        DecodeWithLibheif(ReadWholeFile(file));
        bestBase = std::min(bestBase, Seconds() - t0);
        state.ResumeTiming();
        t0 = Seconds();
        TBitmap picture;
        LoadPictureFile(file, picture);
        benchmark::DoNotOptimize(picture.ScanLine(0));
        bestOp = std::min(bestOp, Seconds() - t0);
    }
    fs::remove(file);
    g_heic.Ratio = bestOp / bestBase;
    g_heic.OpMs = bestOp * 1e3;
    g_heic.BaseMs = bestBase * 1e3;
    g_heic.Measured = true;
    state.counters["ratio_to_libheif"] = g_heic.Ratio;
    state.counters["budget"] = 1.1;
}
BENCHMARK(BM_OpenHeic)->Unit(benchmark::kMillisecond)->Iterations(4)->UseRealTime();

void BM_SaveWebP(benchmark::State& state) {
    TBitmap photo;
    MakePhotoLike(photo, 6000, 4000);
    const std::string file = TempPath(".webp").string();
    double bestOp = 1e30, bestBase = 1e30;
    for (auto _ : state) {
        state.PauseTiming();
        double t0 = Seconds();
        uint8_t* out = nullptr;
        const size_t size =
            WebPEncodeBGR(photo.ScanLine(0), 6000, 4000, int(photo.Stride()), 80, &out);
        benchmark::DoNotOptimize(size);
        WebPFree(out);
        bestBase = std::min(bestBase, Seconds() - t0);
        state.ResumeTiming();
        t0 = Seconds();
        if (!SaveWebP(photo, file, 80, false)) state.SkipWithError("SaveWebP failed");
        bestOp = std::min(bestOp, Seconds() - t0);
    }
    fs::remove(file);
    g_webp.Ratio = bestOp / bestBase;
    g_webp.OpMs = bestOp * 1e3;
    g_webp.BaseMs = bestBase * 1e3;
    g_webp.Measured = true;
    state.counters["ratio_to_libwebp"] = g_webp.Ratio;
    state.counters["budget"] = 1.1;
}
BENCHMARK(BM_SaveWebP)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace
}  // namespace tilvo::bench
