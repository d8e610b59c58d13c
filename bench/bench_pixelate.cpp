// Pixelation timed against a memcpy of the same buffer measured in the same run. Budget (fastest
// run against fastest memcpy, both in thread CPU time so that a busy machine does not skew the
// ratio): Pixelate of a 6000 × 4000 photo at most 1.2 memcpys of the picture with cells of 4, at
// most 2 with cells of 16. ("Blur" and the thumbnail resampler: bench_kernels.cpp.)
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Effector/Pixelate.h"
#include "bench/BenchPictures.h"

namespace tilvo::bench {
namespace {

// The ratio of each benchmark, printed as one line per budget when the program ends.
struct KernelRatios {
    struct Line {
        double ratio, budget, opMs, memcpyMs;
    };
    std::map<std::string, Line> lines;
    ~KernelRatios() {
        for (const auto& [name, l] : lines)
            std::printf("RATIO %s %.3f budget %.1f %s (%.2f ms against memcpy %.2f ms)\n",
                        name.c_str(), l.ratio, l.budget, l.ratio <= l.budget ? "ok" : "OVER",
                        l.opMs, l.memcpyMs);
    }
};
KernelRatios g_ratios;

void Report(benchmark::State& state, const std::string& name, double bestOp, double bestCopy,
            double budget) {
    const double ratio = bestOp / bestCopy;
    state.counters["ratio_to_memcpy"] = ratio;
    state.counters["budget"] = budget;
    g_ratios.lines[name] = {ratio, budget, bestOp * 1e3, bestCopy * 1e3};
}

size_t Bytes(const TBitmap& bmp) {
    return size_t(bmp.Stride()) * size_t(bmp.Height());
}

// Each iteration restores the picture (untimed), times one memcpy of it into a buffer that is
// reused (already faulted in), then times the operation on it; the fastest of each are compared.
template <class Op>
void TimeAgainstMemcpy(benchmark::State& state, const TBitmap& original, const std::string& name,
                       double budget, Op op) {
    TBitmap work;
    work.Assign(original);
    std::vector<uint8_t> copy(Bytes(original), 1);
    double bestOp = 1e30, bestCopy = 1e30;
    for (auto _ : state) {
        state.PauseTiming();
        work.Assign(original);  // the buffer has room: a copy, no allocation
        double t0 = ThreadSeconds();
        std::memcpy(copy.data(), work.ScanLine(0), copy.size());
        benchmark::ClobberMemory();
        bestCopy = std::min(bestCopy, ThreadSeconds() - t0);
        state.ResumeTiming();
        t0 = ThreadSeconds();
        op(work);
        benchmark::ClobberMemory();
        bestOp = std::min(bestOp, ThreadSeconds() - t0);
    }
    Report(state, name, bestOp, bestCopy, budget);
}

void BM_Pixelate(benchmark::State& state) {
    const int32_t cell = int32_t(state.range(0));
    TBitmap photo;
    MakePhotoLike(photo, 6000, 4000);
    TimeAgainstMemcpy(state, photo, "Pixelate_6000x4000_cell" + std::to_string(cell),
                      cell == 4 ? 1.2 : 2.0,
                      [cell](TBitmap& work) { Pixelate(work, cell, cell, 0); });
}
BENCHMARK(BM_Pixelate)->Arg(4)->Arg(16)->Iterations(30)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tilvo::bench
