// The SGI and PCX writers encoding a 6000 × 4000 photo into memory (no file, no fsync), each
// timed against a memcpy of the same picture measured in the same run. Budgets (fastest run
// against fastest memcpy, both in thread CPU time so that a busy machine does not skew the
// ratio): verbatim SGI at most 1.3 memcpys, run-length SGI and PCX at most 4. Verbatim SGI is
// also timed against the 24-bit Targa writer (the same bytes written, in rows as they lie) in the
// same run: within 1.1 of it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "FileFormat/PCXImage.h"
#include "FileFormat/SGIImage.h"
#include "FileFormat/TGAImage.h"
#include "bench/BenchPictures.h"
#include "bench/BenchStream.h"

namespace tilvo::bench {
namespace {

struct TRatio {
    const char* Name;
    double Budget;
    const char* Baseline = "memcpy";
    double Ratio = 0, OpMs = 0, MemcpyMs = 0;
    bool Measured = false;
    ~TRatio() {
        if (Measured)
            std::printf("RATIO %s %.3f budget %.1f %s (%.2f ms against %s %.2f ms)\n", Name, Ratio,
                        Budget, Ratio <= Budget ? "ok" : "OVER", OpMs, Baseline, MemcpyMs);
    }
};
TRatio g_sgiVerbatim{"SaveSgi_verbatim_6000x4000", 1.3};
TRatio g_sgiRle{"SaveSgi_rle_6000x4000", 4.0};
TRatio g_pcx{"SavePcx_24bit_6000x4000", 4.0};
TRatio g_sgiVsTarga{"SaveSgi_verbatim_vs_Targa24_6000x4000", 1.1, "Targa"};

const TBitmap& Photo() {
    static TBitmap photo;
    if (photo.Empty()) MakePhotoLike(photo, 6000, 4000);
    return photo;
}

// Runs `encode` (writing the whole file into `out`, whose memory is kept between runs as the
// memcpy's target is) and the memcpy alternately, keeping the fastest of each.
template <class Encode>
void Measure(benchmark::State& state, TRatio& r, Encode encode) {
    const TBitmap& photo = Photo();
    const size_t bytes = size_t(photo.Stride()) * size_t(photo.Height());
    std::vector<uint8_t> copy(bytes, 1);
    std::vector<uint8_t> out;
    double bestOp = 1e30, bestCopy = 1e30;
    for (auto _ : state) {
        state.PauseTiming();
        double t0 = ThreadSeconds();
        std::memcpy(copy.data(), photo.ScanLine(0), bytes);
        benchmark::ClobberMemory();
        bestCopy = std::min(bestCopy, ThreadSeconds() - t0);
        state.ResumeTiming();
        t0 = ThreadSeconds();
        encode(photo, out);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        bestOp = std::min(bestOp, ThreadSeconds() - t0);
    }
    r.Ratio = bestOp / bestCopy;
    r.OpMs = bestOp * 1e3;
    r.MemcpyMs = bestCopy * 1e3;
    r.Measured = true;
    state.counters["ratio_to_memcpy"] = r.Ratio;
    state.counters["budget"] = r.Budget;
    state.counters["file_MB"] = double(out.size()) / 1e6;
}

void BM_SaveSgiVerbatim(benchmark::State& state) {
    Measure(state, g_sgiVerbatim,
            [](const TBitmap& p, std::vector<uint8_t>& out) { EncodeSgi(p, false, out); });
}
void BM_SaveSgiRle(benchmark::State& state) {
    Measure(state, g_sgiRle,
            [](const TBitmap& p, std::vector<uint8_t>& out) { EncodeSgi(p, true, out); });
}
void BM_SavePcx(benchmark::State& state) {
    Measure(state, g_pcx, [](const TBitmap& p, std::vector<uint8_t>& out) { EncodePcx(p, out); });
}
// Verbatim SGI against the 24-bit Targa writer, alternately, fastest against fastest. Both write
// into memory kept between runs.
void BM_SaveSgiVerbatimVsTarga(benchmark::State& state) {
    const TBitmap& photo = Photo();
    const size_t bytes = size_t(photo.Stride()) * size_t(photo.Height());
    TBufferStream targa(bytes * 2);
    std::vector<uint8_t> out;
    double bestSgi = 1e30, bestTarga = 1e30;
    for (auto _ : state) {
        targa.Rewind();
        double t0 = ThreadSeconds();
        WriteTarga(photo, false, targa);
        benchmark::ClobberMemory();
        bestTarga = std::min(bestTarga, ThreadSeconds() - t0);
        t0 = ThreadSeconds();
        EncodeSgi(photo, false, out);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        bestSgi = std::min(bestSgi, ThreadSeconds() - t0);
    }
    g_sgiVsTarga.Ratio = bestSgi / bestTarga;
    g_sgiVsTarga.OpMs = bestSgi * 1e3;
    g_sgiVsTarga.MemcpyMs = bestTarga * 1e3;
    g_sgiVsTarga.Measured = true;
    state.counters["ratio_to_targa"] = g_sgiVsTarga.Ratio;
}
BENCHMARK(BM_SaveSgiVerbatim)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_SaveSgiVerbatimVsTarga)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_SaveSgiRle)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_SavePcx)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
}  // namespace tilvo::bench
