// tilvo-cli: opens a picture exactly as the main window does, mosaics the given strokes through the
// same engine and writes the result through the Save As writer of the chosen type.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CliOptions.h"
#include "Effector/HistoryListEx.h"
#include "Effector/StrokeBlend.h"
#include "FileFormat/ExifJpeg.h"
#include "FileFormat/Graphic.h"
#include "FileFormat/JpegLossless.h"
#ifdef TILVO_HAVE_VIDEO_DECODER
#include "FileFormat/FFmpegVideoDecoder.h"
#endif

using namespace tilvo;

namespace {

// The stroke points as the window stores them: the press point twice, at most kMaxStrokePoints.
void StrokePoints(const std::vector<TPoint>& stroke, std::vector<TPoint>& points) {
    points.assign(1, stroke.front());
    const size_t take = std::min(stroke.size(), size_t(kMaxStrokePoints - 1));
    points.insert(points.end(), stroke.begin(), stroke.begin() + take);
}

// A 64-bit hash of the picture's rows y0 .. y1 - 1.
uint64_t HashRows(const TBitmap& pic, int32_t y0, int32_t y1) {
    uint64_t h = 0x243F6A8885A308D3ull;
    const size_t n = size_t(pic.Width()) * 3;
    for (int32_t y = y0; y < y1; ++y) {
        const uint8_t* row = pic.ScanLine(y);
        size_t i = 0;
        for (uint64_t w; i + 8 <= n; i += 8) {
            std::memcpy(&w, row + i, 8);
            h = (h ^ w) * 0x9E3779B97F4A7C15ull;
            h ^= h >> 29;
        }
        for (; i < n; ++i) h = (h ^ row[i]) * 0x100000001B3ull;
    }
    return h;
}

// For --lossless without a second copy of the picture: the whole MCU rows the strokes can change
// are kept as decoded (at least the first MCU row), and every MCU row is hashed.
struct TKeptRows {
    int32_t Mcu = 8;
    int32_t Top = 0;
    TBitmap Band;
    std::vector<uint64_t> Hashes;
};

void KeepStrokeRows(const TCliOptions& o, const TBitmap& work, const std::vector<uint8_t>& jpeg,
                    TKeptRows& kept) {
    kept.Mcu = std::max(JpegMcuRowHeight(jpeg), 8);
    const int32_t mcu = kept.Mcu;
    int32_t y0 = work.Height(), y1 = 0;
    std::vector<TPoint> points;
    for (const auto& stroke : o.Strokes) {
        StrokePoints(stroke, points);
        const TRect dirty = ComputeDirtyRect(points.data(), int32_t(points.size()), o.BrushSize,
                                             work.Width(), work.Height());
        if (dirty.Bottom <= dirty.Top || dirty.Right <= dirty.Left) continue;
        y0 = std::min(y0, dirty.Top);
        y1 = std::max(y1, dirty.Bottom);
    }
    if (y1 <= y0) y0 = y1 = 0;
    kept.Top = y0 / mcu * mcu;
    const int32_t bottom =
        std::min(work.Height(), std::max((y1 + mcu - 1) / mcu * mcu, kept.Top + mcu));
    kept.Band.Resize(work.Width(), bottom - kept.Top, pf24bit);
    for (int32_t y = kept.Top; y < bottom; ++y)
        std::memcpy(kept.Band.ScanLine(y - kept.Top), work.ScanLine(y), size_t(work.Width()) * 3);
    for (int32_t y = 0; y < work.Height(); y += mcu)
        kept.Hashes.push_back(HashRows(work, y, std::min(y + mcu, work.Height())));
}

// After the edits: an MCU row outside the kept band whose hash changed (an edit the band did not
// foresee) joins the band with rows that differ from the edited ones in every pixel, so its MCUs
// are all encoded again and nothing of what was there is kept.
void WidenToChangedRows(const TBitmap& work, TKeptRows& kept) {
    const int32_t mcu = kept.Mcu, h = work.Height();
    int32_t top = kept.Top, bottom = kept.Top + kept.Band.Height();
    for (int32_t y = 0; y < h; y += mcu) {
        if (y >= kept.Top && y < kept.Top + kept.Band.Height()) continue;
        if (HashRows(work, y, std::min(y + mcu, h)) == kept.Hashes[size_t(y / mcu)]) continue;
        top = std::min(top, y);
        bottom = std::max(bottom, std::min(y + mcu, h));
    }
    if (top == kept.Top && bottom == kept.Top + kept.Band.Height()) return;
    TBitmap band(work.Width(), bottom - top);
    const size_t n = size_t(work.Width()) * 3;
    for (int32_t y = top; y < bottom; ++y) {
        uint8_t* to = band.ScanLine(y - top);
        if (y >= kept.Top && y < kept.Top + kept.Band.Height()) {
            std::memcpy(to, kept.Band.ScanLine(y - kept.Top), n);
        } else {
            const uint8_t* from = work.ScanLine(y);
            for (size_t i = 0; i < n; ++i) to[i] = uint8_t(~from[i]);
        }
    }
    kept.Band.Swap(band);
    kept.Top = top;
}

int Run(const TCliOptions& o) {
    TBitmap work, region, mask;
    // --lossless keeps the JPEG's bytes, and the rows the strokes can change as they were.
    const bool keepUntouched = o.Save.JPEGKeepUntouched && o.SaveAsType == 1;
    std::vector<uint8_t> jpegSource;
    LoadPictureFile(o.Input, work, keepUntouched ? &jpegSource : nullptr);
    TKeptRows kept;
    if (keepUntouched && !jpegSource.empty()) KeepStrokeRows(o, work, jpegSource, kept);

    THistoryControl history;
    TStrokeContext ctx{work, region, mask, history};
    std::vector<TPoint> points;
    points.reserve(kMaxStrokePoints);
    for (const auto& stroke : o.Strokes) {
        // As in the window: the press point is stored twice, so a single point paints a dot, and a
        // stroke keeps at most its first kMaxStrokePoints points.
        StrokePoints(stroke, points);
        const int32_t n = int32_t(points.size());
        const TRect dirty =
            ComputeDirtyRect(points.data(), n, o.BrushSize, work.Width(), work.Height());
        ApplyStroke(ctx, points.data(), n, dirty, o.MosaicSize, o.BrushSize, o.SoftEdge);
    }

    if (!kept.Hashes.empty()) WidenToChangedRows(work, kept);
    TKeepUntouchedSource keep{&jpegSource, &kept.Band, "", kept.Top};

    const TExifProbe probe = ProbeExif(o.Input);
    // "-" is standard output: the safe file stream writes a device or a pipe directly, and only
    // once the whole file is encoded.
    const std::string output = o.Output == "-" ? std::string("/dev/stdout") : o.Output;
    std::string why;
    const bool saved = SaveAsByType(work, output, o.SaveAsType, o.Save, o.Input, probe, &why,
                                    keepUntouched ? &keep : nullptr);
    if (!keep.Note.empty()) std::fprintf(stderr, "tilvo-cli: %s\n", keep.Note.c_str());
    if (!saved) {
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
