// Refusing a tiny file that declares a 26,000 × 26,000 picture (a Windows bitmap of run-length
// data, a PGM, a progressive JPEG whose frame header was enlarged), timed against a memcpy of
// 1 MiB in the same run. Budget (fastest refusal against fastest memcpy, thread CPU time): at most
// one memcpy of 1 MiB, whatever the picture declares; before the readers compared the file with
// its picture, the same files cost seconds to minutes.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "FileFormat/Graphic.h"
#include "FileFormat/JPEGImage.h"
#include "bench/BenchPictures.h"

namespace tilvo::bench {
namespace {

struct TRatio {
    const char* Name;
    double Budget;
    double Ratio = 0, OpUs = 0, MemcpyUs = 0;
    bool Measured = false;
    ~TRatio() {
        if (Measured)
            std::printf("RATIO %s %.3f budget %.1f %s (%.1f us against memcpy of 1 MiB %.1f us)\n",
                        Name, Ratio, Budget, Ratio <= Budget ? "ok" : "OVER", OpUs, MemcpyUs);
    }
};
TRatio g_bmp{"RefuseTinyFile_bmp_rle_26000x26000", 1.0};
TRatio g_pgm{"RefuseTinyFile_pgm_26000x26000", 1.0};
TRatio g_jpeg{"RefuseTinyFile_progressive_jpeg_26000x26000", 1.0};

constexpr uint32_t kSide = 26000;

void Le32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

std::vector<uint8_t> RleBitmap() {
    std::vector<uint8_t> f = {'B', 'M'};
    Le32(f, 54 + 1024 + 2);
    Le32(f, 0);
    Le32(f, 54 + 1024);
    for (uint32_t v : {40u, kSide, kSide, 1u | 8u << 16, 1u, 0u, 0u, 0u, 0u, 0u}) Le32(f, v);
    f.resize(f.size() + 1024, 0);
    f.push_back(0);
    f.push_back(1);  // end of bitmap
    return f;
}

std::vector<uint8_t> Pgm() {
    const std::string s = "P5 26000 26000 255\n\x01\x02\x03";
    return std::vector<uint8_t>(s.begin(), s.end());
}

std::vector<uint8_t> EnlargedJpeg() {
    TBitmap small;
    MakePhotoLike(small, 16, 16);
    TMemoryStream out;
    EncodeJpegToStream(small, out, true, 75, false);
    std::vector<uint8_t> f = out.Memory();
    for (size_t i = 2; i + 9 < f.size(); ++i)
        if (f[i] == 0xFF && f[i + 1] == 0xC2) {
            f[i + 5] = f[i + 7] = uint8_t(kSide >> 8);
            f[i + 6] = f[i + 8] = uint8_t(kSide);
            break;
        }
    return f;
}

void Measure(benchmark::State& state, TRatio& r, const char* name,
             const std::vector<uint8_t>& file) {
    RegisterAllFormats();
    std::vector<uint8_t> from(1 << 20, 1), to(1 << 20);
    double bestOp = 1e30, bestCopy = 1e30;
    for (auto _ : state) {
        double t0 = ThreadSeconds();
        std::memcpy(to.data(), from.data(), to.size());
        benchmark::ClobberMemory();
        bestCopy = std::min(bestCopy, ThreadSeconds() - t0);
        t0 = ThreadSeconds();
        bool refused = false;
        try {
            std::unique_ptr<TGraphic> g = CreateGraphicForFile(name);
            TMemoryStream stream(file);
            g->LoadFromStream(stream);
            TBitmap picture;
            g->AssignTo(picture);
        } catch (const Exception&) {
            refused = true;
        }
        bestOp = std::min(bestOp, ThreadSeconds() - t0);
        if (!refused) state.SkipWithError("the file was not refused");
    }
    r.Ratio = bestOp / bestCopy;
    r.OpUs = bestOp * 1e6;
    r.MemcpyUs = bestCopy * 1e6;
    r.Measured = true;
    state.counters["ratio_to_memcpy"] = r.Ratio;
    state.counters["budget"] = r.Budget;
}

void BM_RefuseBmp(benchmark::State& state) {
    Measure(state, g_bmp, "x.bmp", RleBitmap());
}
void BM_RefusePgm(benchmark::State& state) {
    Measure(state, g_pgm, "x.pgm", Pgm());
}
void BM_RefuseJpeg(benchmark::State& state) {
    Measure(state, g_jpeg, "x.jpg", EnlargedJpeg());
}

BENCHMARK(BM_RefuseBmp)->Iterations(50);
BENCHMARK(BM_RefusePgm)->Iterations(50);
BENCHMARK(BM_RefuseJpeg)->Iterations(50);

}  // namespace
}  // namespace tilvo::bench
