// JPEG encode and decode of a 6000 × 4000 photo-like picture through the program's own paths,
// each against a plain libjpeg-turbo loop over the same pixels in the same run.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "BenchPictures.h"
#include "FileFormat/JPEGImage.h"
#include "FileFormat/JpegGlue.h"

namespace tilvo::bench {
namespace {

constexpr int32_t kW = 6000, kH = 4000;
constexpr int kQuality = 80;

const TBitmap& Picture() {
    static TBitmap bmp;
    if (bmp.Empty()) MakePhotoLike(bmp, kW, kH);
    return bmp;
}

// The baseline: libjpeg-turbo compressing the surface's rows with the same settings into its own
// memory destination.
std::vector<uint8_t> PlainCompress(const TBitmap& pic, bool keep = true) {
    jpeg_compress_struct ci{};
    jpegglue::TErrorManager err;
    ci.err = jpegglue::InitErrorManager(err);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    std::vector<JSAMPROW> rows(static_cast<size_t>(pic.Height()));
    for (int32_t y = 0; y < pic.Height(); ++y)
        rows[size_t(y)] = const_cast<uint8_t*>(pic.ScanLine(y));
    JSAMPROW* r = rows.data();
    const bool ok = jpegglue::Guard(err, [&] {
        jpeg_create_compress(&ci);
        jpeg_mem_dest(&ci, &buffer, &size);
        ci.image_width = JDIMENSION(pic.Width());
        ci.image_height = JDIMENSION(pic.Height());
        ci.input_components = 3;
        ci.in_color_space = JCS_EXT_BGR;
        jpeg_set_defaults(&ci);
        jpeg_set_quality(&ci, kQuality, TRUE);
        jpeg_start_compress(&ci, TRUE);
        while (ci.next_scanline < ci.image_height)
            jpeg_write_scanlines(&ci, r + ci.next_scanline, ci.image_height - ci.next_scanline);
        jpeg_finish_compress(&ci);
    });
    jpeg_destroy_compress(&ci);
    if (!ok) std::abort();
    std::vector<uint8_t> out;
    if (keep) out.assign(buffer, buffer + size);
    std::free(buffer);
    return out;
}

// The baseline decode: libjpeg-turbo into a new B, G, R buffer (a decoded picture always needs
// fresh memory, so the baseline pays for it too).
void PlainDecompress(const std::vector<uint8_t>& bytes, std::unique_ptr<uint8_t[]>& pixels) {
    jpeg_decompress_struct ci{};
    jpegglue::TErrorManager err;
    ci.err = jpegglue::InitErrorManager(err);
    const unsigned char* data = bytes.data();
    const unsigned long size = (unsigned long)bytes.size();
    std::unique_ptr<uint8_t[]>* px = &pixels;
    const bool ok = jpegglue::Guard(err, [&] {
        jpeg_create_decompress(&ci);
        jpeg_mem_src(&ci, data, size);
        jpeg_read_header(&ci, TRUE);
        ci.out_color_space = JCS_EXT_BGR;
        jpeg_start_decompress(&ci);
        const size_t stride = size_t(ci.output_width) * 3;
        px->reset();
        *px = std::make_unique_for_overwrite<uint8_t[]>(stride * ci.output_height);
        while (ci.output_scanline < ci.output_height) {
            JSAMPROW row = px->get() + stride * ci.output_scanline;
            jpeg_read_scanlines(&ci, &row, 1);
        }
        jpeg_finish_decompress(&ci);
    });
    jpeg_destroy_decompress(&ci);
    if (!ok) std::abort();
}

void TilvoDecode(const std::vector<uint8_t>& bytes) {
    TMemoryStream s(bytes);
    TJPEGImage j;
    j.LoadFromStream(s);
    j.DIBNeeded();
    benchmark::DoNotOptimize(j.Bitmap().ScanLine(0));
}

// Times the baseline and the program's path alternately, n rounds, and answers the best time of
// each (seconds): alternating keeps a busy machine from favouring either side.
struct TBest {
    double Base = 1e30, Ours = 1e30;
};
template <class B, class O>
TBest Alternate(int n, B&& base, O&& ours) {
    TBest best;
    const auto time = [](auto&& f) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    };
    for (int i = 0; i < n; ++i) {
        best.Base = std::min(best.Base, time(base));
        best.Ours = std::min(best.Ours, time(ours));
    }
    return best;
}

// Each budget: the program's path and the baseline timed alternately, 7 rounds.
void BM_JpegEncodeRatio(benchmark::State& state) {
    const TBitmap& pic = Picture();
    double ratio = 0;
    for (auto _ : state) {
        const TBest t = Alternate(
            7, [&] { benchmark::DoNotOptimize(PlainCompress(pic, false)); },
            [&] {
                TMemoryStream s;
                EncodeJpegToStream(pic, s, false, kQuality, false);
                benchmark::DoNotOptimize(s.Memory().data());
            });
        const double base = t.Base, ours = t.Ours;
        ratio = ours / base;
        state.counters["baseline_ms"] = base * 1e3;
        state.counters["tilvo_ms"] = ours * 1e3;
    }
    state.counters["ratio"] = ratio;
    std::printf("RATIO jpeg_encode_q80_6000x4000 %.3f budget 1.10\n", ratio);
}
BENCHMARK(BM_JpegEncodeRatio)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_JpegDecodeRatio(benchmark::State& state) {
    const std::vector<uint8_t> bytes = PlainCompress(Picture());
    std::unique_ptr<uint8_t[]> pixels;
    double ratio = 0;
    for (auto _ : state) {
        const TBest t = Alternate(
            7, [&] { PlainDecompress(bytes, pixels); }, [&] { TilvoDecode(bytes); });
        const double base = t.Base, ours = t.Ours;
        ratio = ours / base;
        state.counters["baseline_ms"] = base * 1e3;
        state.counters["tilvo_ms"] = ours * 1e3;
    }
    state.counters["ratio"] = ratio;
    std::printf("RATIO jpeg_decode_6000x4000 %.3f budget 1.10\n", ratio);
}
BENCHMARK(BM_JpegDecodeRatio)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tilvo::bench
