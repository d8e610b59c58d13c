// The PNM and Targa writers encoding a 6000 × 4000 photo into memory (no file, no fsync), each
// timed against a memcpy of the picture measured in the same run. Budgets (fastest run against
// fastest memcpy, in thread CPU time): P6 and 24-bit Targa within 1.3 memcpys, P5 within 2,
// run-length Targa within 4. P6 is also timed against the 24-bit Targa writer (the same bytes
// written, in rows as they lie) in the same run: within 1.1 of it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "FileFormat/PNMImage.h"
#include "FileFormat/TGAImage.h"
#include "bench/BenchPictures.h"
#include "bench/BenchStream.h"

namespace tilvo::bench {
namespace {

struct TRatioLine {
    std::string name;
    double budget = 0, ratio = 0, opMs = 0, memcpyMs = 0;
};

// Printed once at exit, after Google Benchmark's own table.
struct TRatioLines {
    std::vector<TRatioLine> lines;
    ~TRatioLines() {
        for (const TRatioLine& l : lines)
            std::printf("RATIO %s %.3f budget %.1f %s (%.2f ms against %s %.2f ms)\n",
                        l.name.c_str(), l.ratio, l.budget, l.ratio <= l.budget ? "ok" : "OVER",
                        l.opMs, l.name.find("_vs_Targa") != std::string::npos ? "Targa" : "memcpy",
                        l.memcpyMs);
    }
};
TRatioLines g_lines;

const TBitmap& Photo() {
    static TBitmap photo;
    if (photo.Empty()) MakePhotoLike(photo, 6000, 4000);
    return photo;
}

void RunWriter(benchmark::State& state, const char* name, double budget,
               const std::function<void(const TBitmap&, TStream&)>& write) {
    const TBitmap& photo = Photo();
    const size_t bytes = size_t(photo.Stride()) * size_t(photo.Height());
    std::vector<uint8_t> copy(bytes, 1);
    TBufferStream out(bytes * 2);
    double bestOp = 1e30, bestCopy = 1e30;
    for (auto _ : state) {
        state.PauseTiming();
        double t0 = ThreadSeconds();
        std::memcpy(copy.data(), photo.ScanLine(0), bytes);
        benchmark::ClobberMemory();
        bestCopy = std::min(bestCopy, ThreadSeconds() - t0);
        out.Rewind();
        state.ResumeTiming();
        t0 = ThreadSeconds();
        write(photo, out);
        benchmark::ClobberMemory();
        bestOp = std::min(bestOp, ThreadSeconds() - t0);
    }
    g_lines.lines.push_back({name, budget, bestOp / bestCopy, bestOp * 1e3, bestCopy * 1e3});
    state.counters["ratio_to_memcpy"] = bestOp / bestCopy;
    state.counters["budget"] = budget;
    state.counters["bytes_written"] = double(out.Size());
}

void BM_WritePPM(benchmark::State& state) {
    RunWriter(state, "WritePnm_P6_6000x4000", 1.3,
              [](const TBitmap& p, TStream& s) { WritePnm(p, "PPM", s); });
}
void BM_WritePGM(benchmark::State& state) {
    RunWriter(state, "WritePnm_P5_6000x4000", 2.0,
              [](const TBitmap& p, TStream& s) { WritePnm(p, "PGM", s); });
}
void BM_WriteTarga24(benchmark::State& state) {
    RunWriter(state, "WriteTarga_24bit_6000x4000", 1.3,
              [](const TBitmap& p, TStream& s) { WriteTarga(p, false, s); });
}
void BM_WriteTargaRLE(benchmark::State& state) {
    RunWriter(state, "WriteTarga_RLE_6000x4000", 4.0,
              [](const TBitmap& p, TStream& s) { WriteTarga(p, true, s); });
}
// P6 against the 24-bit Targa writer, alternately, fastest against fastest.
void BM_WritePPMvsTarga(benchmark::State& state) {
    const TBitmap& photo = Photo();
    const size_t bytes = size_t(photo.Stride()) * size_t(photo.Height());
    TBufferStream out(bytes * 2);
    double bestP6 = 1e30, bestTarga = 1e30;
    for (auto _ : state) {
        out.Rewind();
        double t0 = ThreadSeconds();
        WriteTarga(photo, false, out);
        benchmark::ClobberMemory();
        bestTarga = std::min(bestTarga, ThreadSeconds() - t0);
        out.Rewind();
        t0 = ThreadSeconds();
        WritePnm(photo, "PPM", out);
        benchmark::ClobberMemory();
        bestP6 = std::min(bestP6, ThreadSeconds() - t0);
    }
    g_lines.lines.push_back({"WritePnm_P6_vs_Targa24_6000x4000", 1.1, bestP6 / bestTarga,
                             bestP6 * 1e3, bestTarga * 1e3});
    state.counters["ratio_to_targa"] = bestP6 / bestTarga;
}
BENCHMARK(BM_WritePPM)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_WritePPMvsTarga)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_WritePGM)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_WriteTarga24)->Unit(benchmark::kMillisecond)->Iterations(20);
BENCHMARK(BM_WriteTargaRLE)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace
}  // namespace tilvo::bench
