// tilvo-cli: opens a picture exactly as the main window does, mosaicks the given strokes through
// the same engine and writes the result through the Save As writer of the chosen type; with
// --out-dir it does so for many files at once, on several threads.
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "BatchRun.h"
#include "CliItems.h"
#include "CliOptions.h"
#include "CliVerify.h"
#include "Effector/Bitmap.h"
#include "Effector/StripStrokes.h"
#include "Effector/StrokeBlend.h"
#include "FileFormat/ExifJpeg.h"
#include "FileFormat/Graphic.h"
#include "FileFormat/JPEGImage.h"
#include "FileFormat/JpegLossless.h"
#include "FileFormat/JpegVerify.h"
#include "FileFormat/Stream.h"
#include "TilvoVersion.h"
#ifdef TILVO_HAVE_VIDEO_DECODER
#include "FileFormat/FFmpegVideoDecoder.h"
#endif

using namespace tilvo;
namespace fs = std::filesystem;

namespace {

// A failure in words: running out of memory says so rather than "std::bad_alloc".
std::string FailureText(const std::exception& e) {
    if (dynamic_cast<const std::bad_alloc*>(&e) == nullptr) return e.what();
    const auto* refused = dynamic_cast<const EOutOfMemory*>(&e);
    return refused
               ? "not enough memory for the picture (it needs about " +
                     std::to_string((refused->Bytes() + (int64_t(1) << 20) - 1) >> 20) + " MB more)"
               : std::string("not enough memory for the picture");
}

int UsageError(const std::string& problem) {
    std::fprintf(stderr, "tilvo-cli: %s\nTry 'tilvo-cli --help' for more information.\n",
                 problem.c_str());
    return 2;
}

// An item that misses the picture would hide nothing: the file fails before anything is written.
void CheckItemsReach(const TCliOptions& o, int32_t width, int32_t height) {
    const std::string outside = ItemOutsidePicture(o, width, height);
    if (!outside.empty()) throw Exception(outside);
}

// The stroke points as the window stores them: the press point twice, then every point.
void StrokePoints(const std::vector<TPoint>& stroke, std::vector<TPoint>& points) {
    points.assign(1, stroke.front());
    points.insert(points.end(), stroke.begin(), stroke.end());
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

// For --lossless without a second copy of the picture: the whole MCU rows the strokes and
// rectangles can change are kept as decoded (at least the first MCU row), and every MCU row is
// hashed.
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
    for (const auto& item : o.Strokes) {
        TRect dirty;
        if (item.IsRect) {
            dirty = ComputeRectDirtyRect(item.Rect, o.SoftEdge, work.Width(), work.Height());
        } else {
            StrokePoints(item.Points, points);
            dirty = ComputeDirtyRect(points.data(), int32_t(points.size()), o.BrushSize,
                                     work.Width(), work.Height());
        }
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

// The options' edits, in the order the window would make them, ready to be applied a band of
// rows at a time.
std::unique_ptr<TStripStrokes> PlanEdits(const TCliOptions& o, int32_t width, int32_t height) {
    auto strips = std::make_unique<TStripStrokes>(
        width, height, o.MosaicSize, o.BrushSize, o.SoftEdge,
        o.SolidFill ? TStrokeEffect::SolidFill : TStrokeEffect::Mosaic);
    std::vector<TPoint> points;
    for (const auto& item : o.Strokes) {
        if (item.IsRect) {
            if (item.IsEllipse)
                strips->AddEllipse(item.Rect);
            else
                strips->AddRect(item.Rect);
            continue;
        }
        // As in the window: the press point is stored twice, so a single point paints a dot.
        StrokePoints(item.Points, points);
        strips->AddStroke(points.data(), int32_t(points.size()));
    }
    return strips;
}

// Everything the options change in the picture: only the rows the edits reach are visited, a
// band at a time, with no history and no copy of the picture. Answers how many edits reach it.
int32_t ApplyEdits(const TCliOptions& o, TBitmap& work) {
    const std::unique_ptr<TStripStrokes> planned = PlanEdits(o, work.Width(), work.Height());
    TStripStrokes& strips = *planned;
    if (strips.Empty()) return 0;
    const int32_t step = strips.Alignment() * std::max(1, 256 / strips.Alignment());
    const int32_t first = strips.Top() / strips.Alignment() * strips.Alignment();
    TBitmap band;
    const size_t bytes = size_t(work.Width()) * 3;
    for (int32_t top = first; top < strips.Bottom(); top += step) {
        band.Resize(work.Width(), std::min(step, work.Height() - top), pf24bit);
        for (int32_t y = 0; y < band.Height(); ++y)
            std::memcpy(band.ScanLine(y), work.ScanLine(top + y), bytes);
        strips.Apply(band, top);
        for (int32_t y = 0; y < band.Height(); ++y)
            std::memcpy(work.ScanLine(top + y), band.ScanLine(y), bytes);
    }
    return strips.Count();
}

// The edits as the JPEG band pipeline applies them.
class TCliBandEditor : public TBandEditor {
  public:
    explicit TCliBandEditor(const TCliOptions& o) : o_(o) {}
    int32_t Begin(int32_t width, int32_t height) override {
        CheckItemsReach(o_, width, height);
        width_ = width;
        height_ = height;
        strips_ = PlanEdits(o_, width, height);
        return strips_->Alignment();
    }
    void Reach(int32_t& top, int32_t& bottom) const override {
        top = strips_->Empty() ? 0 : strips_->Top();
        bottom = strips_->Empty() ? 0 : strips_->Bottom();
    }
    void Edit(TBitmap& band, int32_t top) override {
        if (top < strips_->Bottom() && top + band.Height() > strips_->Top())
            strips_->Apply(band, top);
    }

    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    int32_t Items() const { return strips_ ? strips_->Count() : 0; }
    // What the report says of the picture.
    void Tell(TConvertFacts& facts) const {
        facts.Width = width_;
        facts.Height = height_;
        facts.ItemsApplied = Items();
    }

  private:
    const TCliOptions& o_;
    int32_t width_ = 0, height_ = 0;
    std::unique_ptr<TStripStrokes> strips_;
};

// Whether the open path reads the file with the JPEG reader, with no other reader to fall back on.
bool OpensAsJpeg(const std::string& input) {
    const TOpeningChoice choice = ChooseOpeningFormat(input);
    return choice.First != nullptr && choice.Fallback == nullptr &&
           dynamic_cast<TJPEGImage*>(choice.First->Create().get()) != nullptr;
}

// The JPEG saves that never hold the whole picture apply where their result is the normal path's:
// the file opens as a JPEG (an Exif thumbnail is then made from the encoding).
bool CanSaveWithoutWholePicture(const std::string& input) {
    return OpensAsJpeg(input);
}

// Writes the encoded file: the Exif block carried over as the options say, the leak check, then
// the file replaced.
void WriteJpegOf(const TCliOptions& o, int32_t width, int32_t height, TMemoryStream& jpeg,
                 const std::string& input, const std::string& target, const TExifProbe& probe) {
    SaveEncodedJpegWithExif(width, height, jpeg, input, target, probe.CanCopy && o.Save.ExifCopy,
                            o.Save.ExifRemovePersonalData,
                            probe.CanUpdateThumbnail && o.Save.ExifThumbUpdate);
}

// A JPEG saved as JPEG streams from the decoder to the encoder, a band of rows at a time, without
// the whole picture in memory, where the result is the same (CanSaveWithoutWholePicture, and the
// picture needs no turning). False when the normal path has to run; throws as that path would.
bool ConvertJpegInBands(const TCliOptions& o, const std::string& input, const std::string& target,
                        const TExifProbe& probe, TConvertFacts& facts) {
    if (!CanSaveWithoutWholePicture(input)) return false;
    TCliBandEditor editor(o);
    TMemoryStream jpeg;
    {
        const TFileBytes source(input);
        // About the size it will have: no copies as it grows.
        jpeg.Memory().reserve(source.Bytes().size());
        AdviseLargePages(jpeg.Memory().data(), jpeg.Memory().capacity());
        if (!TranscodeJpegInBands(source.Bytes(), editor, o.Save.JPEGQuality,
                                  o.Save.JPEGProgressive, o.Save.JPEGGrayscale,
                                  (o.Save.JPEGSubsampling & 0xFF) == 2, jpeg))
            return false;
    }
    editor.Tell(facts);
    WriteJpegOf(o, editor.Width(), editor.Height(), jpeg, input, target, probe);
    return true;
}

// --lossless on a JPEG: only the whole MCU rows the edits reach (on the mosaic's cell rows too)
// are decoded into pixels, edited and handed to the save on the source's coefficients. False when
// the normal path has to run (it then says why the untouched areas could not be kept, if so).
bool ConvertJpegLosslessBand(const TCliOptions& o, const std::string& input,
                             const std::string& target, const TExifProbe& probe,
                             TConvertFacts& facts) {
    if (o.Save.JPEGGrayscale || !CanSaveWithoutWholePicture(input)) return false;
    const TFileBytes file(input);
    if (!o.Save.JPEGProgressive) {
        // A baseline source: a band at a time, its untouched rows' bits copied.
        TCliBandEditor editor(o);
        std::vector<uint8_t> bytes;
        if (SaveJpegKeepingUntouchedInBands(file.Bytes(), editor, bytes)) {
            TMemoryStream jpeg(std::move(bytes));
            editor.Tell(facts);
            WriteJpegOf(o, editor.Width(), editor.Height(), jpeg, input, target, probe);
            return true;
        }
    }
    const std::vector<uint8_t> source(file.Bytes().begin(), file.Bytes().end());
    const int32_t mcu = JpegMcuRowHeight(source);
    if (mcu <= 0) return false;
    std::unique_ptr<TStripStrokes> strips;
    int32_t width = 0, height = 0, top = 0;
    TBitmap original;
    if (!DecodeJpegRows(
            source,
            [&](int32_t w, int32_t h, int32_t& first, int32_t& end) {
                CheckItemsReach(o, w, h);
                width = w;
                height = h;
                strips = PlanEdits(o, w, h);
                // Whole MCU rows that are also whole bands of cells; without an edit, the first
                // MCU row (the save checks the picture against the file there).
                const int32_t a = strips->Alignment();
                const int32_t step = mcu / std::gcd(mcu, a) * a;
                first = strips->Empty() ? 0 : strips->Top() / step * step;
                end = strips->Empty() ? mcu : (strips->Bottom() + step - 1) / step * step;
                top = first;
            },
            original))
        return false;
    TBitmap edited;
    edited.Assign(original);
    if (!strips->Empty()) strips->Apply(edited, top);
    TMemoryStream jpeg;
    if (!SaveJpegKeepingUntouched(source, edited, original, top, o.Save.JPEGProgressive, jpeg))
        return false;
    facts.Width = width;
    facts.Height = height;
    facts.ItemsApplied = strips->Count();
    WriteJpegOf(o, width, height, jpeg, input, target, probe);
    return true;
}

// The work on one file, the same for a single file and for each file of a batch: opens `input`
// (also the Exif source), applies the edits and writes `output` ("-": standard output) as
// `saveAsType`. Throws with the reason on failure; the output is then left as it was. Touches
// nothing shared but what is only read (the options, the format registry), so several threads
// may run it at once on different files. What it learns goes into `facts` as it goes; with a
// find, the whole picture is read first and facts.Found is how much was found. `inType`, when
// given, stands for the extension of `input`; `shown` is the input's name in a note.
void ConvertFile(const TCliOptions& options, const std::string& input, const std::string& output,
                 int32_t saveAsType, TConvertFacts& facts, const std::string& inType = {},
                 const std::string& shown = {}) {
    // "-" is standard output: the safe file stream writes a device or a pipe directly, and only
    // once the whole file is encoded.
    const std::string target = output == "-" ? std::string("/dev/stdout") : output;
    const TExifProbe probe = ProbeExif(input);
    // Only a JPEG output carries an Exif block, and only the one built from the kept tags.
    facts.Exif = !probe.CanCopy                             ? TConvertFacts::TExif::None
                 : saveAsType == 1 && options.Save.ExifCopy ? TConvertFacts::TExif::Kept
                                                            : TConvertFacts::TExif::Removed;
    // --lossless keeps the JPEG's bytes, and the rows the edits can change as they were.
    const bool keepUntouched = options.Save.JPEGKeepUntouched && saveAsType == 1;
    const bool finding = options.Find.Any();
    if (!finding && saveAsType == 1 &&
        (keepUntouched ? ConvertJpegLosslessBand(options, input, target, probe, facts)
                       : ConvertJpegInBands(options, input, target, probe, facts)))
        return;
    TBitmap work;
    std::vector<uint8_t> jpegSource;
    LoadPictureFile(input, work, keepUntouched ? &jpegSource : nullptr, inType);
    CheckItemsReach(options, work.Width(), work.Height());
    facts.Width = work.Width();
    facts.Height = work.Height();
    // What is found joins the items given by hand.
    TCliOptions withFound;
    if (finding) {
        withFound = options;
        double seconds = 0;
        const std::vector<TFound> proposals = FindInPicture(options.Find, work, seconds);
        AddFoundItems(proposals, withFound.Strokes);
        facts.Found = int32_t(proposals.size());
        if (options.Find.Small)
            std::fprintf(stderr, "tilvo-cli: %s: the thorough search took %.2f s\n", input.c_str(),
                         seconds);
    }
    const TCliOptions& o = finding ? withFound : options;
    TKeptRows kept;
    if (keepUntouched && !jpegSource.empty()) KeepStrokeRows(o, work, jpegSource, kept);
    facts.ItemsApplied = ApplyEdits(o, work);
    if (!kept.Hashes.empty()) WidenToChangedRows(work, kept);
    TKeepUntouchedSource keep{&jpegSource, &kept.Band, "", kept.Top};

    std::string why;
    const bool saved = SaveAsByType(work, target, saveAsType, o.Save, input, probe, &why, {},
                                    keepUntouched ? &keep : nullptr);
    if (!keep.Note.empty())
        std::fprintf(stderr, "tilvo-cli: %s: %s\n", (shown.empty() ? input : shown).c_str(),
                     keep.Note.c_str());
    if (!saved)
        throw Exception("could not write \"" + output + "\"" + (why.empty() ? "" : ": " + why));
}

// Standard input, read whole into memory that no file on disk holds (an anonymous memory file),
// so that an interrupted run leaves no copy of the picture behind; the open path and the Exif copy
// read it through the process's own name for it, as they read any file.
class TStdinInMemory {
  public:
    TStdinInMemory() {
        fd_ = ::memfd_create("tilvo-cli-stdin", MFD_CLOEXEC);
        if (fd_ < 0)
            throw Exception(std::string("cannot hold standard input in memory: ") +
                            std::strerror(errno));
        path_ = "/proc/self/fd/" + std::to_string(fd_);
        std::vector<uint8_t> buffer(1 << 16);
        while (true) {
            const ssize_t n = ::read(STDIN_FILENO, buffer.data(), buffer.size());
            if (n == 0) break;
            if (n < 0) {
                if (errno == EINTR) continue;
                throw Exception(std::string("cannot read standard input: ") + std::strerror(errno));
            }
            for (ssize_t done = 0; done < n;) {
                const ssize_t w = ::write(fd_, buffer.data() + done, size_t(n - done));
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0)
                    throw Exception(std::string("cannot hold standard input in memory: ") +
                                    std::strerror(w < 0 ? errno : ENOSPC));
                done += w;
            }
        }
    }
    ~TStdinInMemory() {
        if (fd_ >= 0) ::close(fd_);
    }
    TStdinInMemory(const TStdinInMemory&) = delete;
    TStdinInMemory& operator=(const TStdinInMemory&) = delete;

    const std::string& Path() const { return path_; }

  private:
    int fd_ = -1;
    std::string path_;
};

// A failure of the one file names it, unless the message already does.
Exception NamingFile(const std::string& shown, const std::exception& e) {
    const std::string what = FailureText(e);
    return Exception(what.find(shown) != std::string::npos ? what : shown + ": " + what);
}

// The batch settings the options give; the progress line only where standard error is a terminal.
TBatchSettings BatchSettingsOf(const TCliOptions& o) {
    TBatchSettings s;
    s.Jobs = o.Jobs > 0 ? unsigned(o.Jobs) : std::max(1u, std::thread::hardware_concurrency());
    s.SkipExisting = o.SkipExisting;
    s.Quiet = o.Quiet;
    s.ReportPath = o.Report;
    s.Progress = ::isatty(STDERR_FILENO) == 1;
    return s;
}

// The one INPUT to OUTPUT; a failure names the input (standard input by that name).
void ConvertOne(const TCliOptions& o, TConvertFacts& facts) {
    if (o.Input != "-") {
        try {
            ConvertFile(o, o.Input, o.Output, o.SaveAsType, facts);
        } catch (const std::exception& e) {
            throw NamingFile(o.Input, e);
        }
        return;
    }
    const TStdinInMemory in;
    try {
        if (o.InType.empty()) {
            const std::vector<uint8_t> head = ReadSignatureBytes(in.Path());
            if (head.empty()) throw Exception("it is empty");
            if (!PictureFormats().FindBySignature(head.data(), head.size()))
                throw Exception("cannot tell its picture type; name it with --in-type");
        }
        ConvertFile(o, in.Path(), o.Output, o.SaveAsType, facts, o.InType, "standard input");
    } catch (const std::exception& e) {
        // The memory's own name means nothing to the user.
        std::string what = FailureText(e);
        for (size_t at; (at = what.find("\"" + in.Path() + "\"")) != std::string::npos;)
            what.replace(at, in.Path().size() + 2, "standard input");
        throw NamingFile("standard input", Exception(what));
    }
}

// --list-found: each file's proposals as JSON lines on standard output, in the order the files
// were given, and its "found N" line on standard error; nothing written. 1 when any file failed.
int RunList(const TCliOptions& o) {
    int rc = 0;
    for (const std::string& input : o.Inputs) {
        try {
            TBitmap picture;
            LoadPictureFile(input, picture);
            double seconds = 0;
            const std::vector<TFound> found = FindInPicture(o.Find, picture, seconds);
            for (const TFound& f : found) std::puts(FoundJsonLine(input, f).c_str());
            std::fflush(stdout);
            std::fprintf(stderr, "%s: found %zu\n", input.c_str(), found.size());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: failed: %s\n", input.c_str(), e.what());
            rc = 1;
        }
    }
    return rc;
}

// A single file's find line, on standard error: how much was found ("found 0" flags a picture to
// look at).
void PrintFound(const TCliOptions& o, const TConvertFacts& facts) {
    if (facts.Found >= 0)
        std::fprintf(stderr, "tilvo-cli: %s: found %d\n", o.Input.c_str(), facts.Found);
}

int RunOne(const TCliOptions& o) {
    if (o.Report.empty() && !o.SkipExisting) {
        TConvertFacts facts;
        ConvertOne(o, facts);
        PrintFound(o, facts);
        return 0;
    }
    RunOneReported(
        TBatchItem{o.Input, o.Output, o.SaveAsType}, BatchSettingsOf(o),
        [&](const TBatchItem&, TConvertFacts& facts) {
            ConvertOne(o, facts);
            PrintFound(o, facts);
        },
        stderr);
    return 0;
}

// Every file of the batch, -j at a time, each with its own pictures (see RunBatchItems).
int RunBatch(const TCliOptions& o, const std::vector<TBatchItem>& items) {
    std::error_code ec;
    fs::create_directories(o.OutDir, ec);
    if (ec || !fs::is_directory(o.OutDir)) {
        std::fprintf(stderr, "tilvo-cli: cannot make the folder \"%s\": %s\n", o.OutDir.c_str(),
                     ec ? ec.message().c_str() : "a file of that name is in the way");
        return 1;
    }
    return RunBatchItems(
        items, BatchSettingsOf(o),
        [&](const TBatchItem& item, TConvertFacts& facts) {
            try {
                ConvertFile(o, item.Input, item.Output, item.SaveAsType, facts);
            } catch (const std::bad_alloc& e) {
                throw Exception(FailureText(e));
            }
        },
        stdout, stderr);
}

}  // namespace

int main(int argc, char** argv) {
    // Stopped by a signal, a run leaves none of its temporary files behind.
    RemoveTemporaryFilesOnSignals();
    TCliOptions o;
    try {
        o = ParseCliOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const EUsage& e) {
        return UsageError(e.what());
    }
    if (o.Help) {
        std::fputs(kCliUsage, stdout);
        return 0;
    }
    if (o.Version) {
        std::puts("tilvo-cli " TILVO_VERSION);
        return 0;
    }
    if (o.Verify) return RunVerify(o.VerifyFiles, stdout, stderr);
    // What every file's work shares is set up here, before any worker thread starts, and only read
    // after that.
    RegisterAllFormats();
#ifdef TILVO_HAVE_VIDEO_DECODER
    InstallVideoDecoder(std::make_shared<TFFmpegVideoDecoder>());
#endif
    if (!o.InType.empty() && !PictureFormats().Find(o.InType))
        return UsageError("--in-type: no picture format has the extension \"" + o.InType + "\"");
    if (o.Find.List) {
        const int rc = RunList(o);
        UnregisterAllFormats();
        return rc;
    }
    std::vector<TBatchItem> batch;
    if (!o.OutDir.empty()) {
        try {
            batch = PlanBatch(o);
        } catch (const EUsage& e) {
            return UsageError(e.what());
        }
    }
    if (!HasEdits(o) && !o.Quiet)
        std::fputs("tilvo-cli: no strokes given: a plain conversion\n", stderr);
    try {
        const int rc = o.OutDir.empty() ? RunOne(o) : RunBatch(o, batch);
        UnregisterAllFormats();
        return rc;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tilvo-cli: %s\n", e.what());
        return 1;
    }
}
