// Drawing the window's view of a 6000 × 4000 (24-megapixel) picture at a zoom, each timed against
// a memcpy in the same run. Budgets: a whole 1500 × 1000 view at 1/4 (the picture fitted into a
// large window, each view pixel averaging 4 × 4 samples) costs at most 6 memcpys of the whole
// picture; at 1/16 (4 × 4 samples of each 16 × 16 block) at most one; a 1500 × 1000 view at 2 at
// most 6 memcpys of the view's 32-bit pixels.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/ZoomView.h"
#include "bench/BenchPictures.h"

namespace tilvo::bench {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

struct RatioReport {
    struct Line {
        double ratio;
        double budget;
    };
    std::map<std::string, Line> lines;
    ~RatioReport() {
        for (const auto& [name, l] : lines)
            std::printf("RATIO %s %.3f budget %.1f %s\n", name.c_str(), l.ratio, l.budget,
                        l.ratio <= l.budget ? "ok" : "OVER");
    }
};
RatioReport g_report;

const TBitmap& Picture() {
    static TBitmap picture;
    if (picture.Empty()) MakePhotoLike(picture, 6000, 4000, 7);
    return picture;
}

// Renders `view` at `zoom`; the baseline copies `baselineBytes` of the picture.
void RunView(benchmark::State& state, const char* name, double budget, TZoom zoom, TRect view,
             size_t baselineBytes) {
    const TBitmap& picture = Picture();
    const TPixelRows rows{picture.ScanLine(0), ptrdiff_t(picture.Stride()), picture.Width(),
                          picture.Height()};
    std::vector<uint8_t> out(size_t(view.Width()) * view.Height() * 4);
    std::vector<uint8_t> copy(baselineBytes);
    TViewScratch scratch;
    double best = 1e30, base = 1e30;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        RenderView(rows, zoom, view, out.data(), ptrdiff_t(view.Width()) * 4, scratch);
        benchmark::ClobberMemory();
        const double t = Seconds(Clock::now() - t0);
        state.SetIterationTime(t);
        best = std::min(best, t);
        const auto b0 = Clock::now();
        std::memcpy(copy.data(), picture.ScanLine(0), baselineBytes);
        benchmark::ClobberMemory();
        base = std::min(base, Seconds(Clock::now() - b0));
    }
    state.counters["memcpy_ms"] = base * 1e3;
    state.counters["best_ms"] = best * 1e3;
    state.counters["ratio"] = best / base;
    g_report.lines[name] = {best / base, budget};
}

const size_t kPictureBytes = size_t(6000 * 3) * 4000;

void BM_ViewQuarter(benchmark::State& state) {
    RunView(state, "View_6000x4000_at_1/4_vs_memcpy_picture", 6.0, TZoom{1, 4},
            TRect{0, 0, 1500, 1000}, kPictureBytes);
}
BENCHMARK(BM_ViewQuarter)->Unit(benchmark::kMillisecond)->UseManualTime();

void BM_ViewSixteenth(benchmark::State& state) {
    RunView(state, "View_6000x4000_at_1/16_vs_memcpy_picture", 1.0, TZoom{1, 16},
            TRect{0, 0, 375, 250}, kPictureBytes);
}
BENCHMARK(BM_ViewSixteenth)->Unit(benchmark::kMillisecond)->UseManualTime();

void BM_ViewDouble(benchmark::State& state) {
    RunView(state, "View_1500x1000_at_2_vs_memcpy_view", 6.0, TZoom{2, 1},
            TRect{3000, 2000, 4500, 3000}, size_t(1500) * 1000 * 4);
}
BENCHMARK(BM_ViewDouble)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace
}  // namespace tilvo::bench
