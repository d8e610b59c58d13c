// "Blur" of a stroke mask and the thumbnail resampler, each against a memcpy of its input measured
// in the same run. Both sides are timed in thread CPU time and the fastest run of each is compared,
// so that a busy machine does not skew the ratio. Budgets:
//   "Blur" of a 1024 × 1024 24-bit stroke mask: at most 1.5 memcpys of the mask;
//   ResampleAreaAverage of a 6000 × 4000 photo to a 160 × 107 thumbnail: at most 1.2 memcpys of
//   the photo.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "Effector/CustomFilter.h"
#include "Effector/Resample.h"
#include "bench/BenchPictures.h"

namespace tilvo::bench {
namespace {

struct Ratios {
    struct Line {
        double ratio, budget, opMs, memcpyMs;
    };
    std::map<std::string, Line> lines;
    ~Ratios() {
        for (const auto& [name, l] : lines) {
            if (l.budget == 0) {  // reported without a budget
                std::printf("INFO %s %.3f (%.3f ms against memcpy %.3f ms)\n", name.c_str(),
                            l.ratio, l.opMs, l.memcpyMs);
                continue;
            }
            std::printf("RATIO %s %.3f budget %.1f %s (%.3f ms against memcpy %.3f ms)\n",
                        name.c_str(), l.ratio, l.budget, l.ratio <= l.budget ? "ok" : "OVER",
                        l.opMs, l.memcpyMs);
        }
    }
};
Ratios g_ratios;

// Each iteration restores the input (untimed; the buffer has room, so a copy without allocation
// when the operation keeps the size), times one memcpy of it into a buffer already faulted in,
// then times the operation on it.
template <class Op>
void TimeAgainstMemcpy(benchmark::State& state, const TBitmap& original, const std::string& name,
                       double budget, Op op) {
    const size_t bytes = size_t(original.Stride()) * size_t(original.Height());
    TBitmap work;
    work.Assign(original);
    std::vector<uint8_t> copy(bytes, 1);
    double bestOp = 1e30, bestCopy = 1e30;
    for (auto _ : state) {
        state.PauseTiming();
        work.Assign(original);
        double t0 = ThreadSeconds();
        std::memcpy(copy.data(), work.ScanLine(0), bytes);
        benchmark::ClobberMemory();
        bestCopy = std::min(bestCopy, ThreadSeconds() - t0);
        state.ResumeTiming();
        t0 = ThreadSeconds();
        op(work);
        benchmark::ClobberMemory();
        bestOp = std::min(bestOp, ThreadSeconds() - t0);
    }
    const double ratio = bestOp / bestCopy;
    state.counters["ratio_to_memcpy"] = ratio;
    state.counters["budget"] = budget;
    g_ratios.lines[name] = {ratio, budget, bestOp * 1e3, bestCopy * 1e3};
}

// A stroke mask as the main window draws it: black, with a wide white polyline.
void MakeMask(TBitmap& mask, int32_t size) {
    mask.Resize(size, size, pf24bit);
    mask.Canvas().Brush.Color = 0;
    mask.Canvas().FillRect({0, 0, size, size});
    mask.Canvas().Pen.Color = 0xFFFFFF;
    mask.Canvas().Pen.Width = 60;
    mask.Canvas().MoveTo(50, 80);
    for (int i = 1; i <= 12; ++i) mask.Canvas().LineTo(50 + i * 75, i % 2 ? 900 : 120);
}

void BM_Blur(benchmark::State& state) {
    TBitmap mask;
    MakeMask(mask, 1024);
    TimeAgainstMemcpy(state, mask, "blur", 1.5, [](TBitmap& work) { ApplyFilter(work, "Blur"); });
}
BENCHMARK(BM_Blur)->Iterations(300)->Unit(benchmark::kMillisecond);

// The thumbnail made from the photo, which stays as it is: the source read once, the thumbnail
// written.
void BM_ResampleThumb(benchmark::State& state) {
    TBitmap photo;
    MakePhotoLike(photo, 6000, 4000);
    const size_t bytes = size_t(photo.Stride()) * size_t(photo.Height());
    std::vector<uint8_t> copy(bytes, 1);
    TBitmap thumb;
    double bestOp = 1e30, bestCopy = 1e30;
    for (auto _ : state) {
        double t0 = ThreadSeconds();
        std::memcpy(copy.data(), photo.ScanLine(0), bytes);
        benchmark::ClobberMemory();
        bestCopy = std::min(bestCopy, ThreadSeconds() - t0);
        t0 = ThreadSeconds();
        ResampleAreaAverage(photo, thumb, 160, 107);
        benchmark::ClobberMemory();
        bestOp = std::min(bestOp, ThreadSeconds() - t0);
    }
    const double ratio = bestOp / bestCopy;
    state.counters["ratio_to_memcpy"] = ratio;
    state.counters["budget"] = 1.2;
    g_ratios.lines["resample_thumb"] = {ratio, 1.2, bestOp * 1e3, bestCopy * 1e3};
}
BENCHMARK(BM_ResampleThumb)->Iterations(20)->Unit(benchmark::kMillisecond);

// The same replacing the photo by its thumbnail, as the surface-replacing form does: this also
// releases the photo's buffer (about a memcpy's time for 72 MB here). Reported, not budgeted.
void BM_ResampleThumbInPlace(benchmark::State& state) {
    TBitmap photo;
    MakePhotoLike(photo, 6000, 4000);
    TimeAgainstMemcpy(state, photo, "resample_thumb_in_place", 0,
                      [](TBitmap& work) { ResampleAreaAverage(work, 160, 107); });
}
BENCHMARK(BM_ResampleThumbInPlace)->Iterations(10)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tilvo::bench
