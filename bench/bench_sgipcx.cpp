// The SGI and PCX writers encoding a 6000 × 4000 photo into memory (no file, no fsync), each
// timed against a memcpy of the same picture measured in the same run. Budgets (fastest run
// against fastest memcpy, both in thread CPU time so that a busy machine does not skew the
// ratio): verbatim SGI at most 1.3 memcpys, run-length SGI and PCX at most 4.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "FileFormat/PCXImage.h"
#include "FileFormat/SGIImage.h"
#include "bench/BenchPictures.h"

namespace tilvo::bench {
namespace {

struct TRatio {
    const char* Name;
    double Budget;
    double Ratio = 0, OpMs = 0, MemcpyMs = 0;
    bool Measured = false;
    ~TRatio() {
        if (Measured)
            std::printf("RATIO %s %.3f budget %.1f %s (%.2f ms against memcpy %.2f ms)\n", Name,
                        Ratio, Budget, Ratio <= Budget ? "ok" : "OVER", OpMs, MemcpyMs);
    }
};
TRatio g_sgiVerbatim{"SaveSgi_verbatim_6000x4000", 1.3};
TRatio g_sgiRle{"SaveSgi_rle_6000x4000", 4.0};
TRatio g_pcx{"SavePcx_24bit_6000x4000", 4.0};

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
BENCHMARK(BM_SaveSgiVerbatim)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_SaveSgiRle)->Unit(benchmark::kMillisecond)->Iterations(10);
BENCHMARK(BM_SavePcx)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace
}  // namespace tilvo::bench
