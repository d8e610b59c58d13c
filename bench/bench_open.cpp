// Opening a 6000 × 4000 JPEG in the main window and showing it, against decoding the same file
// with plain libjpeg-turbo into a reused buffer, in the same run.
#include <benchmark/benchmark.h>
#include <jpeglib.h>
#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchPictures.h"
#include "FileFormat/Graphic.h"
#include "FileFormat/JPEGImage.h"
#include "FileFormat/JpegGlue.h"
#include "app/Unit1.h"

namespace fs = std::filesystem;

namespace tilvo::bench {
namespace {

constexpr int32_t kW = 6000, kH = 4000;
constexpr int kQuality = 90;

// The picture every open measure works on (the memory script has it written with --write-jpeg).
bool WritePhotoJpeg(const std::string& fileName) {
    TBitmap pic;
    MakePhotoLike(pic, kW, kH);
    return WriteJpegFile(pic, fileName, false, kQuality, false);
}

// A folder of its own: the JPEG, and the settings file the window writes beside its "program".
struct TScratch {
    fs::path Dir;
    std::string Jpeg;
    TScratch() {
        Dir = fs::temp_directory_path() / ("tilvo_bench_open_" + std::to_string(::getpid()));
        fs::create_directories(Dir);
        Jpeg = (Dir / "photo.jpg").string();
        if (!WritePhotoJpeg(Jpeg)) {
            std::fprintf(stderr, "cannot write %s\n", Jpeg.c_str());
            std::abort();
        }
    }
    ~TScratch() {
        std::error_code ec;
        fs::remove_all(Dir, ec);
    }
};

TScratch& Scratch() {
    static TScratch s;
    return s;
}

// The baseline: libjpeg-turbo reads the file into B, G, R rows of a surface whose buffer is
// reused from one round to the next.
void PlainDecode(const std::string& fileName, TBitmap& pic) {
    FILE* f = std::fopen(fileName.c_str(), "rb");
    if (!f) std::abort();
    jpeg_decompress_struct ci{};
    jpegglue::TErrorManager err;
    ci.err = jpegglue::InitErrorManager(err);
    TBitmap* out = &pic;
    const bool ok = jpegglue::Guard(err, [&] {
        jpeg_create_decompress(&ci);
        jpeg_stdio_src(&ci, f);
        jpeg_read_header(&ci, TRUE);
        ci.out_color_space = JCS_EXT_BGR;
        jpeg_start_decompress(&ci);
        out->Resize(int32_t(ci.output_width), int32_t(ci.output_height), pf24bit);
        while (ci.output_scanline < ci.output_height) {
            JSAMPROW row = out->ScanLine(int32_t(ci.output_scanline));
            jpeg_read_scanlines(&ci, &row, 1);
        }
        jpeg_finish_decompress(&ci);
    });
    jpeg_destroy_decompress(&ci);
    std::fclose(f);
    if (!ok) std::abort();
    benchmark::DoNotOptimize(pic.ScanLine(0));
}

double Seconds(auto&& f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The window's open path against the baseline, timed alternately (so that a busy machine favours
// neither side), 9 rounds; each side's best time counts.
void BM_OpenAndShowRatio(benchmark::State& state) {
    const std::string jpeg = Scratch().Jpeg;
    const std::string exe = (Scratch().Dir / "tilvo").string();
    TForm1 form(exe, {});
    form.show();
    QApplication::processEvents();
    TBitmap plain;
    double base = 1e30, ours = 1e30;
    for (auto _ : state) {
        for (int i = 0; i < 9; ++i) {
            base = std::min(base, Seconds([&] { PlainDecode(jpeg, plain); }));
            ours = std::min(ours, Seconds([&] {
                                form.OpenPictureFile(jpeg);
                                // Showing: the window paints the new picture.
                                form.repaint();
                                QApplication::processEvents();
                            }));
        }
    }
    if (form.WorkBitmap.Width() != kW || form.WorkBitmap.Height() != kH) {
        std::fprintf(stderr, "the window did not open the picture\n");
        std::abort();
    }
    const double ratio = ours / base;
    state.counters["baseline_ms"] = base * 1e3;
    state.counters["tilvo_ms"] = ours * 1e3;
    state.counters["ratio"] = ratio;
    std::printf("RATIO open_and_show %.3f budget 1.3 %s\n", ratio, ratio <= 1.3 ? "ok" : "OVER");
    std::fflush(stdout);
    form.close();
}
BENCHMARK(BM_OpenAndShowRatio)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tilvo::bench

// bench_open --write-jpeg FILE writes the 6000 × 4000 test picture and ends.
int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--write-jpeg")
        return tilvo::bench::WritePhotoJpeg(argv[2]) ? 0 : 1;
    // The window is drawn offscreen unless the caller chose a platform.
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    tilvo::RegisterAllFormats();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    tilvo::UnregisterAllFormats();
    return 0;
}
