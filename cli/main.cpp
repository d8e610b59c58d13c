// tilvo-cli: opens a picture exactly as the main window does, mosaics the given strokes through the
// same engine and writes the result through the Save As writer of the chosen type.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "CliVerify.h"
#include "Effector/HistoryListEx.h"
#include "Effector/StrokeBlend.h"
#include "FileFormat/ExifJpeg.h"
#include "FileFormat/Graphic.h"
#ifdef TILVO_HAVE_VIDEO_DECODER
#include "FileFormat/FFmpegVideoDecoder.h"
#endif

using namespace tilvo;

namespace {

int Run(const TCliOptions& o) {
    TBitmap work, region, mask;
    LoadPictureFile(o.Input, work);

    THistoryControl history;
    TStrokeContext ctx{work, region, mask, history};
    std::vector<TPoint> points;
    points.reserve(kMaxStrokePoints);
    for (const auto& stroke : o.Strokes) {
        // As in the window: the press point is stored twice, so a single point paints a dot, and a
        // stroke keeps at most its first kMaxStrokePoints points.
        points.assign(1, stroke.front());
        const size_t take = std::min(stroke.size(), size_t(kMaxStrokePoints - 1));
        points.insert(points.end(), stroke.begin(), stroke.begin() + take);
        const int32_t n = int32_t(points.size());
        const TRect dirty =
            ComputeDirtyRect(points.data(), n, o.BrushSize, work.Width(), work.Height());
        ApplyStroke(ctx, points.data(), n, dirty, o.MosaicSize, o.BrushSize, o.SoftEdge);
    }

    const TExifProbe probe = ProbeExif(o.Input);
    // "-" is standard output: the safe file stream writes a device or a pipe directly, and only
    // once the whole file is encoded.
    const std::string output = o.Output == "-" ? std::string("/dev/stdout") : o.Output;
    std::string why;
    if (!SaveAsByType(work, output, o.SaveAsType, o.Save, o.Input, probe, &why)) {
        if (why.empty())
            std::fprintf(stderr, "tilvo-cli: could not write \"%s\"\n", o.Output.c_str());
        else
            std::fprintf(stderr, "tilvo-cli: could not write \"%s\": %s\n", o.Output.c_str(),
                         why.c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    TCliOptions o;
    try {
        o = ParseCliOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const EUsage& e) {
        std::fprintf(stderr, "tilvo-cli: %s\n\n%s", e.what(), kCliUsage);
        return 2;
    }
    if (o.Help) {
        std::fputs(kCliUsage, stdout);
        return 0;
    }
    if (o.Version) {
        std::puts("tilvo-cli 1.47");
        return 0;
    }
    if (o.Verify) return RunVerify(o.VerifyFiles, stdout, stderr);
    RegisterAllFormats();
#ifdef TILVO_HAVE_VIDEO_DECODER
    InstallVideoDecoder(std::make_shared<TFFmpegVideoDecoder>());
#endif
    try {
        const int rc = Run(o);
        UnregisterAllFormats();
        return rc;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tilvo-cli: %s\n", e.what());
        return 1;
    }
}
