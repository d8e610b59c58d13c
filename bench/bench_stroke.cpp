// The stroke blends, committing a stroke and undo replay, each timed against a memcpy of the same
// bytes in the same run. Budgets: MaskedBlend and ReplayBlend of a 1024 × 1024 region cost at
// most 4 memcpys of the region's three buffers. Committing a brush-50 stroke of 200 points on a
// 4000 × 3000 picture is printed against a memcpy of the stroke's rectangle with budget 2.0; the
// same stroke while dragged (LiveStroke, its moves summed) against a memcpy of three buffers of
// the rectangle, budget 2.0.
// A full replay of 100 strokes on a 4000 × 3000 picture has no budget; its time and its ratio to
// one memcpy of the picture are printed. Undo and redo of the last of them cost at most 2
// memcpys of its rectangle each, and the history at most 12 bytes a pixel of the rectangles.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Effector/HistoryListEx.h"
#include "Effector/LiveStroke.h"
#include "Effector/Pixelate.h"
#include "Effector/StrokeBlend.h"
#include "bench/BenchPictures.h"

namespace tilvo::bench {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// The ratios of the last run of each benchmark, printed once when the program ends.
struct RatioReport {
    struct Line {
        double ratio;
        double budget;  // 0: none
        std::string note;
    };
    std::map<std::string, Line> lines;
    ~RatioReport() {
        for (const auto& [name, l] : lines) {
            if (l.budget > 0)
                std::printf("RATIO %s %.3f budget %.1f %s%s\n", name.c_str(), l.ratio, l.budget,
                            l.ratio <= l.budget ? "ok" : "OVER", l.note.c_str());
            else
                std::printf("RATIO %s %.3f%s\n", name.c_str(), l.ratio, l.note.c_str());
        }
    }
};
RatioReport g_report;

// Destination buffers for memcpys of the given surfaces, and one memcpy of them all, timed.
struct MemcpyBaseline {
    std::vector<const TBitmap*> from;
    std::vector<std::vector<uint8_t>> to;

    explicit MemcpyBaseline(std::vector<const TBitmap*> surfaces) : from(std::move(surfaces)) {
        for (const TBitmap* b : from)
            to.emplace_back(size_t(b->Stride()) * size_t(b->Height()), uint8_t(1));
    }
    double Time() {
        const auto t0 = Clock::now();
        for (size_t i = 0; i < from.size(); ++i)
            std::memcpy(to[i].data(), from[i]->ScanLine(0), to[i].size());
        benchmark::ClobberMemory();
        return Seconds(Clock::now() - t0);
    }
};

// A grey mask with black strokes, white paper and soft ramps, as strokes leave it.
void MakeStrokeMask(TBitmap& mask, int32_t w, int32_t h) {
    const TPoint pts[] = {{50, 100}, {400, 300}, {900, 200}, {700, 800}, {100, 950}};
    DrawStrokeMask(mask, w, h, pts, 5, TPoint{0, 0}, 120, true);
}

constexpr int32_t kRegion = 1024;

// Each iteration times `body` and then a memcpy of `buffers`, so both see the same machine state;
// the ratio is the fastest body over the fastest memcpy. Only the body's time is reported as the
// iteration time.
template <typename Body>
void RunAgainstMemcpy(benchmark::State& state, const char* name, double budget,
                      std::vector<const TBitmap*> buffers, Body body) {
    MemcpyBaseline baseline(std::move(buffers));
    double best = 1e30, base = 1e30;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        body();
        benchmark::ClobberMemory();
        const double t = Seconds(Clock::now() - t0);
        state.SetIterationTime(t);
        best = std::min(best, t);
        base = std::min(base, baseline.Time());
    }
    const double ratio = best / base;
    state.counters["memcpy_ms"] = base * 1e3;
    state.counters["best_ms"] = best * 1e3;
    state.counters["ratio"] = ratio;
    state.counters["budget"] = budget;
    g_report.lines[name] = {ratio, budget, ""};
}

void BM_MaskedBlend1024(benchmark::State& state) {
    TBitmap picture, mosaic, mask;
    MakePhotoLike(picture, kRegion, kRegion, 1);
    mosaic.Assign(picture);
    Pixelate(mosaic, 16, 16, 0);
    MakeStrokeMask(mask, kRegion, kRegion);
    RunAgainstMemcpy(state, "MaskedBlend_1024x1024_vs_memcpy_3_buffers", 4.0,
                     {&picture, &mosaic, &mask}, [&] { MaskedBlend(picture, mosaic, mask); });
}
BENCHMARK(BM_MaskedBlend1024)->Unit(benchmark::kMillisecond)->UseManualTime();

void BM_ReplayBlend1024(benchmark::State& state) {
    TBitmap unchanged, processed, mask, output(kRegion, kRegion);
    MakePhotoLike(unchanged, kRegion, kRegion, 2);
    processed.Assign(unchanged);
    Pixelate(processed, 8, 8, 0);
    MakeStrokeMask(mask, kRegion, kRegion);
    RunAgainstMemcpy(state, "ReplayBlend_1024x1024_vs_memcpy_3_buffers", 4.0,
                     {&unchanged, &processed, &mask},
                     [&] { ReplayBlend(output, unchanged, processed, mask); });
}
BENCHMARK(BM_ReplayBlend1024)->Unit(benchmark::kMillisecond)->UseManualTime();

// A hand-drawn stroke: a random walk of `count` points with momentum, kept on the picture, the
// press point stored twice as a press stores it.
template <class Rnd>
void RandomStroke(std::vector<TPoint>& pts, int32_t count, int32_t w, int32_t h, Rnd& rnd) {
    pts.resize(size_t(count));
    TPoint p{rnd(w), rnd(h)};
    int32_t dx = rnd(13) - 6, dy = rnd(13) - 6;
    for (int32_t i = 0; i < count; ++i) {
        // The direction drifts a little from point to point.
        dx = std::clamp(dx + rnd(5) - 2, -8, 8);
        dy = std::clamp(dy + rnd(5) - 2, -8, 8);
        p.X = std::clamp(p.X + dx, 0, w - 1);
        p.Y = std::clamp(p.Y + dy, 0, h - 1);
        pts[size_t(i)] = p;
    }
    pts[1] = pts[0];
}

struct Lcg {
    uint32_t s;
    int32_t operator()(int32_t n) {
        s = s * 1664525u + 1013904223u;
        return int32_t((s >> 8) % uint32_t(n));
    }
};

// Committing one stroke of a 50-pixel brush, 200 points, soft edge, cells of 16, on a
// 4000 × 3000 picture: the mask, the cells of the stroke's rectangle, the blend, the history
// entry and the copy back, against one memcpy of the rectangle. Its cost follows the rectangle,
// not the picture.
void BM_CommitStroke(benchmark::State& state) {
    constexpr int32_t W = 4000, H = 3000, kPoints = 200, kBrush = 50, kCells = 16;
    TBitmap work, region, mask, rectCopy;
    MakePhotoLike(work, W, H, 4);
    THistoryControl history;
    TStrokeContext ctx{work, region, mask, history};
    Lcg rnd{777};
    std::vector<TPoint> pts;
    RandomStroke(pts, kPoints, W, H, rnd);
    const TRect r = ComputeDirtyRect(pts.data(), kPoints, kBrush, W, H);
    CopyRegionOut(work, r, rectCopy);
    RunAgainstMemcpy(state, "CommitStroke_brush50_200pts_4000x3000_vs_memcpy_rect", 2.0,
                     {&rectCopy}, [&] {
                         ApplyStroke(ctx, pts.data(), kPoints, r, kCells, kBrush, true);
                         history.Clear();
                     });
    state.counters["rect_kpx"] = double(r.Width()) * r.Height() / 1e3;
}
BENCHMARK(BM_CommitStroke)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(0.5);

// The same stroke while it is dragged: each of its 199 moves draws its segment into the mask,
// softens, pixelates and blends only the part it changed and writes it to the shown copy. The
// moves summed, against a memcpy of three buffers of the stroke's rectangle (picture, cells and
// mask, what showing the stroke at release would copy); budget 2.
void BM_LiveStroke(benchmark::State& state) {
    constexpr int32_t W = 4000, H = 3000, kPoints = 200, kBrush = 50, kCells = 16;
    TBitmap work, shown, rectCopy;
    MakePhotoLike(work, W, H, 4);
    shown.Assign(work);
    Lcg rnd{777};
    std::vector<TPoint> pts;
    RandomStroke(pts, kPoints, W, H, rnd);
    const TRect r = ComputeDirtyRect(pts.data(), kPoints, kBrush, W, H);
    CopyRegionOut(work, r, rectCopy);
    TLiveStroke live;
    RunAgainstMemcpy(state, "LiveStroke_brush50_200pts_cell16_moves_vs_memcpy_3_rect_buffers", 2.0,
                     {&rectCopy, &rectCopy, &rectCopy}, [&] {
                         live.Begin(work, nullptr, TStrokeEffect::Mosaic, kCells, kBrush, true);
                         for (int32_t i = 0; i + 1 < kPoints; ++i)
                             live.AddSegment(pts[size_t(i)], pts[size_t(i) + 1], shown);
                         live.Cancel();
                     });
    state.counters["rect_kpx"] = double(r.Width()) * r.Height() / 1e3;
}
BENCHMARK(BM_LiveStroke)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(0.5);

// 100 strokes of a 50-pixel brush, each a random walk of 200 points, soft edge on, the mosaic
// size changing between 16 and 8 every ten strokes, recorded through ApplyStroke as the main
// window does. A full replay = a fresh copy of the source plus the replay of the first 99
// entries (what an undo cost before the history kept each stroke's rectangle).
void BM_UndoReplay100Strokes(benchmark::State& state) {
    constexpr int32_t W = 4000, H = 3000, kStrokes = 100, kPoints = 200, kBrush = 50;
    TBitmap source, work, region, mask;
    MakePhotoLike(source, W, H, 3);
    work.Assign(source);
    THistoryControl history;
    TStrokeContext ctx{work, region, mask, history};
    Lcg rnd{12345};
    std::vector<TPoint> pts;
    for (int32_t k = 0; k < kStrokes; ++k) {
        const int32_t mosaic = (k / 10) % 2 == 0 ? 16 : 8;
        RandomStroke(pts, kPoints, W, H, rnd);
        const TRect r = ComputeDirtyRect(pts.data(), kPoints, kBrush, W, H);
        ApplyStroke(ctx, pts.data(), kPoints, r, mosaic, kBrush, true);
    }
    TBitmap target;
    MemcpyBaseline baseline({&source});
    double best = 1e30, base = 1e30;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        target.Assign(source);
        ReplayHistory(target, kStrokes - 1, history.Entries());
        benchmark::ClobberMemory();
        const double t = Seconds(Clock::now() - t0);
        state.SetIterationTime(t);
        best = std::min(best, t);
        base = std::min(base, baseline.Time());
    }
    int64_t area = 0;
    for (const auto& e : history.Entries())
        area += int64_t(e->Right - e->Left) * int64_t(e->Bottom - e->Top);
    state.counters["undo_ms"] = best * 1e3;
    state.counters["memcpy_ms"] = base * 1e3;
    state.counters["ratio"] = best / base;
    state.counters["mean_rect_kpx"] = double(area) / kStrokes / 1e3;
    char note[96];
    std::snprintf(note, sizeof note, " (undo %.1f ms, memcpy of picture %.2f ms)", best * 1e3,
                  base * 1e3);
    g_report.lines["Undo_99_of_100_strokes_4000x3000_vs_memcpy_picture"] = {best / base, 0, note};
}
BENCHMARK(BM_UndoReplay100Strokes)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(8);

// The same 100 strokes; undo and redo of the last one, each on the picture as it stands, against
// one memcpy of that stroke's rectangle (the copy the commit benchmark compares with). Budget:
// each at most 2 memcpys. The history's bytes per pixel of the strokes' rectangles are printed
// beside them (at most 12).
void BM_UndoRedoLastOf100Strokes(benchmark::State& state) {
    constexpr int32_t W = 4000, H = 3000, kStrokes = 100, kPoints = 200, kBrush = 50;
    TBitmap source, work, region, mask;
    MakePhotoLike(source, W, H, 3);
    work.Assign(source);
    THistoryControl history;
    TStrokeContext ctx{work, region, mask, history};
    Lcg rnd{12345};
    std::vector<TPoint> pts;
    TRect last;
    for (int32_t k = 0; k < kStrokes; ++k) {
        const int32_t mosaic = (k / 10) % 2 == 0 ? 16 : 8;
        RandomStroke(pts, kPoints, W, H, rnd);
        last = ComputeDirtyRect(pts.data(), kPoints, kBrush, W, H);
        ApplyStroke(ctx, pts.data(), kPoints, last, mosaic, kBrush, true);
    }
    TBitmap rectCopy;
    CopyRegionOut(work, last, rectCopy);
    MemcpyBaseline baseline({&rectCopy});
    double bestUndo = 1e30, bestRedo = 1e30, base = 1e30;
    for (auto _ : state) {
        auto t0 = Clock::now();
        history.Undo(work, source);
        benchmark::ClobberMemory();
        const double undo = Seconds(Clock::now() - t0);
        t0 = Clock::now();
        history.Redo(work);
        benchmark::ClobberMemory();
        const double redo = Seconds(Clock::now() - t0);
        state.SetIterationTime(undo + redo);
        bestUndo = std::min(bestUndo, undo);
        bestRedo = std::min(bestRedo, redo);
        base = std::min(base, baseline.Time());
    }
    int64_t area = 0;
    for (const auto& e : history.Entries())
        area += int64_t(e->Right - e->Left) * int64_t(e->Bottom - e->Top);
    const double bytesPerPixel = double(history.SurfaceBytes()) / double(area);
    state.counters["undo_us"] = bestUndo * 1e6;
    state.counters["redo_us"] = bestRedo * 1e6;
    state.counters["memcpy_us"] = base * 1e6;
    state.counters["rect_kpx"] = double(last.Width()) * last.Height() / 1e3;
    state.counters["history_bytes_per_px"] = bytesPerPixel;
    char note[96];
    std::snprintf(note, sizeof note, " (undo %.0f us, memcpy of the rectangle %.0f us)",
                  bestUndo * 1e6, base * 1e6);
    g_report.lines["Undo_last_of_100_strokes_4000x3000_vs_memcpy_rect"] = {bestUndo / base, 2.0,
                                                                           note};
    std::snprintf(note, sizeof note, " (redo %.0f us, memcpy of the rectangle %.0f us)",
                  bestRedo * 1e6, base * 1e6);
    g_report.lines["Redo_last_of_100_strokes_4000x3000_vs_memcpy_rect"] = {bestRedo / base, 2.0,
                                                                           note};
    g_report.lines["History_bytes_per_pixel_of_stroke_rectangles"] = {bytesPerPixel, 12.0, ""};
}
BENCHMARK(BM_UndoRedoLastOf100Strokes)
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime()
    ->MinTime(0.5);

}  // namespace
}  // namespace tilvo::bench
