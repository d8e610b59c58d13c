// The JPEG graphic class and the JPEG writers of Save and Save As.
#include "JPEGImage.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "ExifJpeg.h"
#include "JpegGlue.h"
#include "JpegTranscode.h"
#include "ProgressScope.h"
#include "JpegVerify.h"
#include "PixelRoutines.h"

namespace tilvo {

using jpegglue::Guard;
using jpegglue::TErrorManager;

namespace {
// libjpeg's text for a message code, its parameters left empty.
std::string LibjpegText(int code) {
    jpeg_error_mgr mgr;
    jpeg_std_error(&mgr);
    if (code <= 0 || code > mgr.last_jpeg_message) return "JPEG error #" + std::to_string(code);
    jpeg_common_struct common{};
    common.err = &mgr;
    mgr.msg_code = code;
    char text[JMSG_LENGTH_MAX] = {};
    (*mgr.format_message)(&common, text);
    return text;
}
}  // namespace

EJPEG::EJPEG(int messageCode) : EInvalidGraphic(LibjpegText(messageCode)), code_(messageCode) {}

EJPEG::EJPEG(int messageCode, const std::string& message)
    : EInvalidGraphic(message), code_(messageCode) {}

// ---------------------------------------------------------------------------------------------
// Progress monitor: forwards libjpeg's progress to the graphic's OnProgress event. It also refuses
// streams with an absurd number of scans, which would otherwise keep a decoder busy for minutes.

namespace {
constexpr int kMaxScans = 1000;
const char* const kTooManyScans = "JPEG with more than 1000 scans refused";
// Every scan walks the blocks of the picture: a progressive file may ask for at most this many
// blocks of scan work per bit it holds. Encoders stay far below it (libjpeg's progressive
// script reaches 5 on a picture of one colour, real photographs less than 1).
constexpr int64_t kScanBlocksPerBit = 64;
const char* const kTooMuchScanWork = "JPEG refused: its scans ask for far more work than its data holds";
const char* const kDecodeAborted = "JPEG decoding aborted";
const char* const kEncodeAborted = "JPEG encoding aborted";
}  // namespace

struct TJpegProgressGlue {
    jpeg_progress_mgr pub;
    TJPEGImage* owner = nullptr;
    int64_t lastTick = 0;
    int lastPercent = -1;
    bool reported = false;  // a running event went out already
    bool cancelled = false;  // the thread's progress listener asked to stop
    int64_t pictureBlocks = 0;  // the blocks of every component, known once the header is read
    int64_t fileBits = 0;

    static int64_t TickMs() {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    // Calls the listener; answers true when it asked to abort. Exceptions stay here.
    static bool Notify(TJPEGImage* owner, TProgressStage stage, int percent) noexcept {
        if (owner == nullptr || !owner->OnProgress) return false;
        bool abort = false;
        try {
            owner->OnProgress(*owner, stage, percent, abort);
        } catch (...) {
            abort = true;
        }
        return abort;
    }
    // The fraction of the work done, in percent.
    static int Percent(const jpeg_progress_mgr& p) {
        return std::clamp(
            int((double(p.completed_passes) + double(p.pass_counter) / double(p.pass_limit)) /
                double(p.total_passes) * 100.0),
            0, 100);
    }
    // Without a graphic listening, the thread's progress listener hears every percentage.
    static bool StepCurrent(TJpegProgressGlue* g) noexcept {
        TProgress& progress = CurrentProgress();
        const auto& p = g->pub;
        if (!progress.Active() || p.pass_limit <= 0 || p.total_passes <= 0) return false;
        try {
            progress.Step(Percent(p), 100);
        } catch (...) {
            g->cancelled = true;
        }
        return g->cancelled;
    }
    static bool Step(TJpegProgressGlue* g) noexcept {
        if (g->owner == nullptr || !g->owner->OnProgress) return StepCurrent(g);
        const int64_t now = TickMs();
        if (g->reported && now - g->lastTick < 500) return false;
        const auto& p = g->pub;
        if (p.pass_limit <= 0 || p.total_passes <= 0) return false;
        const int percent = std::clamp(
            int((double(p.completed_passes) + double(p.pass_counter) / double(p.pass_limit)) /
                double(p.total_passes) * 100.0),
            0, 100);
        if (percent == g->lastPercent) return false;
        g->reported = true;
        g->lastTick = now;
        g->lastPercent = percent;
        return Notify(g->owner, TProgressStage::psRunning, percent);
    }
    // Installs the monitor on a created object (jpeg_create_* clears the field, so never before).
    // Without a graphic it still enforces the scan limit.
    void Attach(j_common_ptr cinfo, TJPEGImage* graphic) {
        owner = graphic;
        lastTick = TickMs();
        lastPercent = -1;
        reported = false;
        cancelled = false;
        pub.progress_monitor = Hook;
        cinfo->progress = &pub;
    }
    static void Hook(j_common_ptr cinfo);
};

extern "C" void TilvoJpegProgressHook(j_common_ptr cinfo) {
    auto* g = reinterpret_cast<TJpegProgressGlue*>(cinfo->progress);
    if (cinfo->is_decompressor) {
        auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
        const char* refusal = nullptr;
        if (d->input_scan_number > kMaxScans)
            refusal = kTooManyScans;
        else if (g->pictureBlocks > 0 &&
                 int64_t(d->input_scan_number) * g->pictureBlocks > kScanBlocksPerBit * g->fileBits)
            refusal = kTooMuchScanWork;
        if (refusal != nullptr) {
            reinterpret_cast<TErrorManager*>(cinfo->err)->refusal = refusal;
            cinfo->err->msg_code = JERR_NOT_COMPILED;  // any fatal code: the stream is refused
            cinfo->err->error_exit(cinfo);
        }
    }
    if (TJpegProgressGlue::Step(g)) {
        reinterpret_cast<TErrorManager*>(cinfo->err)->aborted = true;
        cinfo->err->error_exit(cinfo);
    }
}

void TJpegProgressGlue::Hook(j_common_ptr cinfo) {
    TilvoJpegProgressHook(cinfo);
}

namespace {

// A decompress object destroyed on every path.
struct TDecompressor {
    jpeg_decompress_struct cinfo{};
    TErrorManager err;
    TJpegProgressGlue progress{};
    bool created = false;

    TDecompressor() {
        cinfo.err = jpegglue::InitErrorManager(err);
        err.endOfFileIsFatal = true;
    }
    ~TDecompressor() {
        if (created) jpeg_destroy_decompress(&cinfo);
    }
    [[noreturn]] void Fail() const {
        if (progress.cancelled) throw ECancelled();
        if (err.aborted) throw EJPEG(err.code, kDecodeAborted);
        if (err.refusal != nullptr) throw EJPEG(err.code, err.refusal);
        throw EJPEG(err.code, err.message[0] ? err.message : LibjpegText(err.code));
    }
    // Creates the object with the progress monitor (which also holds the scan limit), reads the
    // header of `data` and refuses a component layout the decoder does not know.
    void Open(std::span<const uint8_t> data, TJPEGImage* progressOwner = nullptr) {
        const unsigned char* bytes = data.data();
        const unsigned long size = static_cast<unsigned long>(data.size());
        if (!Guard(err, [&] {
                jpeg_create_decompress(&cinfo);
                created = true;
                progress.Attach(reinterpret_cast<j_common_ptr>(&cinfo), progressOwner);
                cinfo.mem->max_memory_to_use = long(kMaxSurfaceBytes);
                jpeg_mem_src(&cinfo, bytes, size);
                jpeg_read_header(&cinfo, TRUE);
            }))
            Fail();
        CheckLayout();
        CheckData(data.size());
    }

    // The first scan codes every block of its components in at least one bit: a file holding
    // less than 1/64 of that is refused before anything is allocated for the picture. From here
    // on the progress monitor bounds the scans' work by the file's bits.
    void CheckData(size_t fileSize) {
        int64_t blocks = 0;
        for (int c = 0; c < cinfo.num_components; ++c)
            blocks += int64_t(cinfo.comp_info[c].width_in_blocks) *
                      int64_t(cinfo.comp_info[c].height_in_blocks);
        if (int64_t(fileSize) < blocks / 8 / kShortFileFactor)
            throw EJPEG(0, TooShortMessage(cinfo.image_width, cinfo.image_height));
        progress.pictureBlocks = blocks;
        progress.fileBits = int64_t(fileSize) * 8;
    }

  private:
    static const char* ColorSpaceName(J_COLOR_SPACE cs) {
        switch (cs) {
            case JCS_GRAYSCALE:
                return "gray";
            case JCS_RGB:
                return "RGB";
            case JCS_YCbCr:
                return "YCbCr";
            case JCS_CMYK:
                return "CMYK";
            case JCS_YCCK:
                return "YCCK";
            default:
                return "unknown";
        }
    }
    // The layouts the decoder knows: 1 component (gray), 3 (YCbCr or RGB), 4 (CMYK or YCCK).
    // Anything else is refused before a row exists: libjpeg writes one byte per component into
    // every row, so 2 components would leave part of each row unwritten and 5 or more overrun it.
    void CheckLayout() const {
        const int n = cinfo.num_components;
        const J_COLOR_SPACE cs = cinfo.jpeg_color_space;
        if ((n == 1 && cs == JCS_GRAYSCALE) || (n == 3 && (cs == JCS_YCbCr || cs == JCS_RGB)) ||
            (n == 4 && (cs == JCS_CMYK || cs == JCS_YCCK)))
            return;
        if (n != 1 && n != 3 && n != 4)
            throw EInvalidGraphic("Unsupported JPEG: " + std::to_string(n) +
                                  " colour components (only 1, 3 or 4 can be opened)");
        throw EInvalidGraphic(std::string("Unsupported JPEG: colour space ") + ColorSpaceName(cs) +
                              " with " + std::to_string(n) + " components");
    }
};

struct TCompressor {
    jpeg_compress_struct cinfo{};
    TErrorManager err;
    TJpegProgressGlue progress{};
    jpegglue::TStreamDestination dest{};
    bool created = false;

    TCompressor() { cinfo.err = jpegglue::InitErrorManager(err); }
    ~TCompressor() {
        if (created) jpeg_destroy_compress(&cinfo);
    }
    [[noreturn]] void Fail() const {
        throw EJPEG(err.code, err.message[0] ? err.message : LibjpegText(err.code));
    }
    void Create() {
        if (!Guard(err, [&] {
                jpeg_create_compress(&cinfo);
                created = true;
            }))
            Fail();
    }
};

// Sets table `which` to the standard one scaled for the quality exactly as jpeg_set_quality does
// with baseline limiting.
const unsigned int kStdLuminanceQuantTbl[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
const unsigned int kStdChrominanceQuantTbl[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

int QualityScale(int32_t quality) {
    const int q = std::clamp<int32_t>(quality, 1, 100);
    return q < 50 ? 5000 / q : 200 - q * 2;
}

void ScaleTable(const unsigned int* base, int scale, unsigned int* out) {
    for (int i = 0; i < 64; ++i) {
        long v = (long(base[i]) * scale + 50) / 100;
        v = std::clamp(v, 1L, 32767L);
        out[i] = unsigned(std::min(v, 255L));
    }
}

struct TEncodeSettings {
    int32_t Quality = 90;
    bool Progressive = false;
    bool Grayscale = false;
    bool FullChroma = false;  // 4:4:4 with the standard tables scaled here
};

// The encoder's parameters for a w × h picture of B, G, R rows. Runs inside a guard.
void SetUpEncoder(jpeg_compress_struct& ci, int32_t w, int32_t h, const TEncodeSettings& s) {
    ci.image_width = JDIMENSION(w);
    ci.image_height = JDIMENSION(h);
    ci.input_components = 3;
    ci.in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(&ci);
    if (s.FullChroma) {
        // 4:4:4 with the standard tables scaled here.
        unsigned int luma[64], chroma[64];
        const int scale = QualityScale(s.Quality);
        ScaleTable(kStdLuminanceQuantTbl, scale, luma);
        ScaleTable(kStdChrominanceQuantTbl, scale, chroma);
        for (int i = 0; i < ci.num_components; ++i) {
            ci.comp_info[i].h_samp_factor = 1;
            ci.comp_info[i].v_samp_factor = 1;
        }
        jpeg_add_quant_table(&ci, 0, luma, 100, TRUE);
        jpeg_add_quant_table(&ci, 1, chroma, 100, TRUE);
    } else {
        jpeg_set_quality(&ci, s.Quality, TRUE);
        if (s.Grayscale) jpeg_set_colorspace(&ci, JCS_GRAYSCALE);
        if (s.Progressive) jpeg_simple_progression(&ci);
    }
}

// Encodes a surface, appending to `out`. Throws EJPEG, or the stream's own error; answers false
// when the progress listener aborted.
bool EncodeBitmap(const TBitmap& picture, const TEncodeSettings& s, TStream& out,
                  TJPEGImage* progressOwner) {
    // The encoder reads B, G, R rows; other pixel formats go through a 24-bit copy.
    TBitmap converted;
    const TBitmap* src = &picture;
    if (picture.PixelFormat() != pf24bit && !picture.Empty()) {
        converted.Assign(picture);
        converted.SetPixelFormat(pf24bit);
        src = &converted;
    }
    const int32_t w = src->Empty() ? 0 : src->Width();
    const int32_t h = src->Empty() ? 0 : src->Height();
    std::vector<JSAMPROW> rows(static_cast<size_t>(h));
    for (int32_t y = 0; y < h; ++y) rows[size_t(y)] = const_cast<uint8_t*>(src->ScanLine(y));

    TCompressor c;
    c.Create();
    if (progressOwner == nullptr && CurrentProgress().Active())
        c.progress.Attach(reinterpret_cast<j_common_ptr>(&c.cinfo), nullptr);
    if (progressOwner != nullptr) {
        c.progress.Attach(reinterpret_cast<j_common_ptr>(&c.cinfo), progressOwner);
        if (TJpegProgressGlue::Notify(progressOwner, TProgressStage::psStarting, 0)) {
            TJpegProgressGlue::Notify(progressOwner, TProgressStage::psEnding, 0);
            return false;
        }
    }
    jpegglue::SetStreamDestination(&c.cinfo, c.dest, out);
    JSAMPROW* rowTable = rows.data();
    const bool ok = Guard(c.err, [&] {
        jpeg_compress_struct& ci = c.cinfo;
        SetUpEncoder(ci, w, h, s);
        jpeg_start_compress(&ci, TRUE);
        // libjpeg reports progress once per call: a listener gets the rows in bands of 16.
        const JDIMENSION band = ci.progress != nullptr ? 16 : ci.image_height;
        while (ci.next_scanline < ci.image_height)
            jpeg_write_scanlines(&ci, rowTable + ci.next_scanline,
                                 std::min(band, ci.image_height - ci.next_scanline));
        jpeg_finish_compress(&ci);
    });
    if (!ok) {
        if (c.dest.error) std::rethrow_exception(c.dest.error);
        if (c.progress.cancelled) throw ECancelled();
        if (progressOwner != nullptr)
            TJpegProgressGlue::Notify(progressOwner, TProgressStage::psEnding, 0);
        if (c.err.aborted) return false;
        c.Fail();
    }
    if (progressOwner != nullptr)
        TJpegProgressGlue::Notify(progressOwner, TProgressStage::psEnding, 100);
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TJPEGImage

TJPEGImage::TJPEGImage() : TGraphic(std::make_shared<TJPEGData>()) {}

TJPEGData& TJPEGImage::JData() const {
    return static_cast<TJPEGData&>(*holder_);
}

std::shared_ptr<TJPEGData> TJPEGImage::Data() const {
    return std::static_pointer_cast<TJPEGData>(holder_);
}

void TJPEGImage::Changed() {
    if (OnChange) OnChange(*this);
}

void TJPEGImage::NewImage() {
    holder_ = std::make_shared<TJPEGData>();
    needRecalc_ = true;
}

void TJPEGImage::FreeBitmap() {
    bitmap_.Resize(0, 0, pf24bit);
    bitmap_.Palette().clear();
    hasBitmap_ = false;
}

void TJPEGImage::Assign(const TBitmap& source) {
    NewImage();
    bitmap_.Assign(source);
    hasBitmap_ = true;
    Changed();
}

void TJPEGImage::Assign(const TGraphic& source) {
    const auto* jpeg = dynamic_cast<const TJPEGImage*>(&source);
    if (jpeg == nullptr) {
        throw EConvertError(std::string("Cannot assign a ") + source.ClassName() +
                            " to a TJPEGImage");
    }
    if (jpeg == this) return;
    holder_ = jpeg->holder_;
    if (jpeg->hasBitmap_) {
        bitmap_.Assign(jpeg->bitmap_);
        hasBitmap_ = true;
    } else {
        FreeBitmap();
    }
    needRecalc_ = true;
    Changed();
}

void TJPEGImage::AssignTo(TBitmap& dest) const {
    // Decoding on demand fills the graphic's own surface: the content, not the object, changes.
    auto* self = const_cast<TJPEGImage*>(this);
    self->DIBNeeded();
    dest.Assign(bitmap_);
}

bool TJPEGImage::GetEmpty() const {
    if (!hasBitmap_) return !JData().HasStream();
    return !JData().HasStream() && bitmap_.Empty();
}

int TJPEGImage::Orientation() const {
    return applyOrientation_ ? JData().Orientation : 1;
}

void TJPEGImage::SetApplyOrientation(bool v) {
    if (v == applyOrientation_) return;
    if (hasBitmap_ && !JData().HasStream()) Compress();
    applyOrientation_ = v;
    FreeBitmap();
    Changed();
}

int32_t TJPEGImage::GetWidth() const {
    if (hasBitmap_) return bitmap_.Width();
    // Orientations 5 to 8 turn the picture a quarter: its width is the stored height.
    const bool turned = Orientation() >= 5;
    if (scale_ == TJPEGScale::jsFullSize) return turned ? JData().Height : JData().Width;
    const_cast<TJPEGImage*>(this)->SetScale(scale_);  // recalculates when needed
    return turned ? scaledHeight_ : scaledWidth_;
}

int32_t TJPEGImage::GetHeight() const {
    if (hasBitmap_) return bitmap_.Height();
    const bool turned = Orientation() >= 5;
    if (scale_ == TJPEGScale::jsFullSize) return turned ? JData().Width : JData().Height;
    const_cast<TJPEGImage*>(this)->SetScale(scale_);
    return turned ? scaledWidth_ : scaledHeight_;
}

void TJPEGImage::SetScale(TJPEGScale s) {
    if (s != scale_) {
        scale_ = s;
        needRecalc_ = true;
        if (hasBitmap_ && JData().HasStream()) FreeBitmap();
    }
    if (!needRecalc_ || !JData().HasStream()) return;
    TDecompressor d;
    d.Open(JData().Stream);
    if (!Guard(d.err, [&] {
            d.cinfo.scale_num = 1;
            d.cinfo.scale_denom = 1u << unsigned(scale_);
            jpeg_calc_output_dimensions(&d.cinfo);
        }))
        d.Fail();
    scaledWidth_ = int32_t(d.cinfo.output_width);
    scaledHeight_ = int32_t(d.cinfo.output_height);
    needRecalc_ = false;
}

void TJPEGImage::SetWidth(int32_t) {
    throw EInvalidGraphic("Cannot change the size of a JPEG image");
}
void TJPEGImage::SetHeight(int32_t) {
    throw EInvalidGraphic("Cannot change the size of a JPEG image");
}

void TJPEGImage::SetCompressionQuality(int32_t q) {
    quality_ = std::clamp<int32_t>(q, 1, 100);
}

void TJPEGImage::SetGrayscale(bool v) {
    if (v == grayscale_) return;
    // The surface may be the only form of the picture: keep it as a stream before dropping it.
    if (hasBitmap_ && !JData().HasStream()) Compress();
    grayscale_ = v;
    FreeBitmap();
    Changed();
}

void TJPEGImage::SetPixelFormat(TJPEGPixelFormat pf) {
    if (pf == pixelFormat_) return;
    if (hasBitmap_ && !JData().HasStream()) Compress();
    pixelFormat_ = pf;
    FreeBitmap();
    Changed();
}

std::vector<TPaletteEntry> TJPEGImage::GetPalette() const {
    if (hasBitmap_ && !bitmap_.Palette().empty()) return bitmap_.Palette();
    return tempPalette_;
}

void TJPEGImage::SetPalette(const std::vector<TPaletteEntry>& palette) {
    tempPalette_ = palette;
    if (tempPalette_.size() > 256) tempPalette_.resize(256);
    if (hasBitmap_ && bitmap_.Palette() != tempPalette_) {
        if (!JData().HasStream()) Compress();
        FreeBitmap();
    }
}

bool TJPEGImage::Equals(const TGraphic& other) const {
    const auto* jpeg = dynamic_cast<const TJPEGImage*>(&other);
    return jpeg != nullptr && jpeg->holder_ == holder_;
}

void TJPEGImage::Compress() {
    EncodePicture();
}

void TJPEGImage::DIBNeeded() {
    if (hasBitmap_) return;
    if (!JData().HasStream()) return;
    DecodePicture();
}

void TJPEGImage::LoadFromStream(TStream& stream) {
    const int64_t count = stream.Size() - stream.Position();
    ReadJpegStream(count, stream);
}

void TJPEGImage::ReadJpegStream(int64_t byteCount, TStream& stream) {
    // Everything is read into a fresh holder first: a stream that is refused leaves the graphic
    // as it was.
    auto fresh = std::make_shared<TJPEGData>();
    // The JPEG starts at the first byte, or after a 128-byte prefix.
    int64_t start = -1;
    uint8_t sig[2] = {0, 0};
    stream.SetPosition(0);
    if (stream.Read(sig, 2) == 2 && sig[0] == 0xFF && sig[1] == 0xD8) {
        start = 0;
    } else {
        stream.SetPosition(128);
        if (stream.Read(sig, 2) == 2 && sig[0] == 0xFF && sig[1] == 0xD8) start = 128;
    }
    if (start < 0) throw EInvalidGraphic("TJPEGImage Sig Error");
    const int64_t available = stream.Size() - start;
    const int64_t count = std::clamp<int64_t>(byteCount - start, 0, available);
    fresh->Stream.resize(size_t(count));
    stream.SetPosition(start);
    if (count > 0) stream.ReadBuffer(fresh->Stream.data(), count);
    bool progressive = progressiveEncoding_;
    if (count > 0) {
        TDecompressor dec;
        dec.Open(fresh->Stream);
        fresh->Width = int32_t(dec.cinfo.image_width);
        fresh->Height = int32_t(dec.cinfo.image_height);
        fresh->Grayscale = dec.cinfo.jpeg_color_space == JCS_GRAYSCALE;
        progressive = jpeg_has_multiple_scans(&dec.cinfo) != 0;
        fresh->Orientation = ExifOrientationOfJpeg(fresh->Stream.data(), fresh->Stream.size());
    }
    FreeBitmap();
    holder_ = std::move(fresh);
    needRecalc_ = true;
    bitsPerPixel_ = JData().Grayscale ? 8 : 24;
    progressiveEncoding_ = progressive;
    Changed();
}

void TJPEGImage::SaveToStream(TStream& stream) {
    if (!JData().HasStream()) EncodePicture();
    const auto& s = JData().Stream;
    if (!s.empty()) stream.Write(s.data(), int64_t(s.size()));
}

void TJPEGImage::ReadData(TStream& stream) {
    uint8_t b[4];
    stream.ReadBuffer(b, 4);
    const uint32_t count =
        uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    if (int64_t(count) > stream.Size() - stream.Position())
        throw EInvalidGraphic("JPEG data truncated");
    std::vector<uint8_t> bytes(count);
    if (count > 0) stream.ReadBuffer(bytes.data(), count);
    TMemoryStream ms(std::move(bytes));
    if (count > 0) {
        ReadJpegStream(count, ms);
    } else {
        NewImage();
        FreeBitmap();
    }
}

void TJPEGImage::WriteData(TStream& stream) {
    const uint32_t count = uint32_t(JData().Stream.size());
    const uint8_t b[4] = {uint8_t(count), uint8_t(count >> 8), uint8_t(count >> 16),
                          uint8_t(count >> 24)};
    stream.Write(b, 4);
    if (count > 0) stream.Write(JData().Stream.data(), count);
}

void TJPEGImage::EncodePicture() {
    // The holder gets a new stream; a shared holder keeps its old one for the other graphics.
    auto fresh = std::make_shared<TJPEGData>();
    TEncodeSettings s;
    s.Quality = quality_;
    s.Progressive = progressiveEncoding_;
    s.Grayscale = grayscale_;
    if (hasBitmap_ && !bitmap_.Empty()) {
        fresh->Width = bitmap_.Width();
        fresh->Height = bitmap_.Height();
    }
    bitsPerPixel_ = 24;
    const TBitmap empty;
    TMemoryStream encoded;
    const bool done = EncodeBitmap(hasBitmap_ ? bitmap_ : empty, s, encoded, this);
    fresh->Stream = std::move(encoded.Memory());
    if (!done) {
        holder_ = std::make_shared<TJPEGData>();  // aborted: the holder is reset to empty
        throw EJPEG(0, kEncodeAborted);
    }
    if (grayscale_) {
        fresh->Grayscale = true;
        bitsPerPixel_ = 8;
    }
    holder_ = std::move(fresh);
}

void TJPEGImage::DecodePicture() {
    const auto& data = JData();
    TDecompressor d;
    bool quantise = false;
    // A refused, corrupt or aborted stream leaves no decoded surface: the rows decoded so far
    // (in a buffer the open path may have lent, holding the previous picture) are never shown.
    // A stream that ends early opens as libjpeg fills it (the rest flat), as every viewer shows
    // it; Open has refused a file too short for its picture.
    d.err.endOfFileIsFatal = false;
    try {
        if (TJpegProgressGlue::Notify(this, TProgressStage::psStarting, 0))
            throw EJPEG(0, kDecodeAborted);
        d.Open(data.Stream, this);
        jpeg_decompress_struct& ci = d.cinfo;
        ci.scale_num = 1;
        ci.scale_denom = 1u << unsigned(scale_);
        ci.do_block_smoothing = smoothing_ ? TRUE : FALSE;
        if (grayscale_) ci.out_color_space = JCS_GRAYSCALE;
        quantise = pixelFormat_ == TJPEGPixelFormat::jf8Bit || ci.out_color_space == JCS_GRAYSCALE;
        if (quantise) {
            ci.quantize_colors = TRUE;
            ci.desired_number_of_colors = 236;
        }
        if (performance_ == TJPEGPerformance::jpBestSpeed) {
            ci.dct_method = JDCT_IFAST;
            ci.two_pass_quantize = FALSE;
            ci.dither_mode = JDITHER_ORDERED;
        }
        // Unquantised colour goes straight into the surface's B, G, R order.
        if (!quantise && ci.out_color_space == JCS_RGB) ci.out_color_space = JCS_EXT_BGR;
        // Unquantised CMYK comes out as four bytes a pixel and goes through the ink formula.
        const bool inks = !quantise && ci.out_color_space == JCS_CMYK;

        std::vector<TPaletteEntry> palette;
        bool ownColormap = quantise;
        if (!tempPalette_.empty()) {
            if (quantise && ci.out_color_space == JCS_RGB) {
                palette = tempPalette_;
                ownColormap = false;
            } else if (!quantise) {
                tempPalette_.clear();
            }
        }
        const TPaletteEntry* pal = palette.data();
        const int palCount = int(palette.size());
        if (!Guard(d.err, [&] {
                if (quantise && !ownColormap) {
                    ci.colormap = (*ci.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&ci),
                                                          JPOOL_IMAGE, JDIMENSION(palCount), 3);
                    for (int i = 0; i < palCount; ++i) {
                        ci.colormap[0][i] = pal[i].Red;
                        ci.colormap[1][i] = pal[i].Green;
                        ci.colormap[2][i] = pal[i].Blue;
                    }
                    ci.actual_number_of_colors = palCount;
                }
                jpeg_calc_output_dimensions(&ci);
            }))
            d.Fail();
        // Every row is sized from what libjpeg writes into it: output_components bytes a pixel. The
        // surface takes 1 (palette index) or 3 (B, G, R); CMYK goes through a 4-byte row of its
        // own.
        const int surfaceBytes = quantise ? 1 : 3;
        const int rowComponents = inks ? 4 : surfaceBytes;
        const auto checkComponents = [&] {
            if (ci.output_components != rowComponents)
                throw EInvalidGraphic("Unsupported JPEG: " + std::to_string(ci.output_components) +
                                      " output components");
        };
        checkComponents();
        // Refuse absurd sizes before the library or the surface allocates for them.
        CheckPictureSize(ci.output_width, ci.output_height, quantise ? 8 : inks ? 32 : 24);
        CheckPictureSize(ci.output_width, ci.output_height, 24);
        if (!Guard(d.err, [&] { jpeg_start_decompress(&ci); })) d.Fail();
        checkComponents();
        const int32_t w = int32_t(ci.output_width);
        const int32_t h = int32_t(ci.output_height);
        const int orientation = Orientation();
        const bool turned = orientation >= 5;
        bitmap_.Resize(turned ? h : w, turned ? w : h, quantise ? pf8bit : pf24bit);
        bitmap_.Palette().clear();
        if (quantise) {
            if (ownColormap) {
                const int n = ci.actual_number_of_colors;
                const int mapComponents = ci.out_color_components;
                bitmap_.Palette().resize(size_t(n));
                for (int i = 0; i < n; ++i) {
                    auto& e = bitmap_.Palette()[size_t(i)];
                    if (mapComponents == 1) {
                        e.Red = e.Green = e.Blue = ci.colormap[0][i];
                    } else if (mapComponents == 4) {
                        // A CMYK colour map: each entry through the ink formula.
                        const int k = 255 - ci.colormap[3][i];
                        e.Red = uint8_t(std::max(0, ci.colormap[0][i] - k));
                        e.Green = uint8_t(std::max(0, ci.colormap[1][i] - k));
                        e.Blue = uint8_t(std::max(0, ci.colormap[2][i] - k));
                    } else {
                        e.Red = ci.colormap[0][i];
                        e.Green = ci.colormap[1][i];
                        e.Blue = ci.colormap[2][i];
                    }
                    e.Flags = 0;
                }
            } else {
                bitmap_.Palette() = palette;
            }
        }
        // The surface's rows. Upright and upside-down pictures are decoded straight into them
        // (the table in reverse for the latter); every other orientation, and CMYK, goes row by
        // row through a scratch row and is placed from there.
        const int32_t surfaceHeight = bitmap_.Height();
        const bool direct = !inks && (orientation == 1 || orientation == 4);
        std::vector<JSAMPROW> rows(static_cast<size_t>(surfaceHeight));
        for (int32_t y = 0; y < surfaceHeight; ++y)
            rows[size_t(y)] =
                bitmap_.ScanLine(direct && orientation == 4 ? surfaceHeight - 1 - y : y);
        std::vector<uint8_t> scratch(direct ? 0 : size_t(w) * size_t(rowComponents));
        std::vector<uint8_t> placed(inks && orientation != 1 ? size_t(w) * 3 : 0);
        JSAMPROW* rowTable = rows.data();
        JSAMPROW decodedRow = scratch.data();
        uint8_t* placedRow = placed.data();
        if (!Guard(d.err, [&] {
                while (ci.output_scanline < ci.output_height) {
                    if (direct) {
                        jpeg_read_scanlines(&ci, rowTable + ci.output_scanline,
                                            ci.output_height - ci.output_scanline);
                        continue;
                    }
                    const int32_t r = int32_t(ci.output_scanline);
                    if (jpeg_read_scanlines(&ci, &decodedRow, 1) != 1) continue;
                    const uint8_t* row = decodedRow;
                    if (inks) {
                        // c, m, y, k in component order become blue, green, red of a 24-bit row.
                        uint8_t* out = orientation == 1 ? rowTable[r] : placedRow;
                        const uint8_t* in = decodedRow;
                        for (int32_t x = 0; x < w; ++x, in += 4, out += 3) {
                            const int k = 255 - in[3];
                            out[0] = uint8_t(std::max(0, in[2] - k));
                            out[1] = uint8_t(std::max(0, in[1] - k));
                            out[2] = uint8_t(std::max(0, in[0] - k));
                        }
                        if (orientation == 1) continue;
                        row = placedRow;
                    }
                    PlaceOrientedRow(row, r, w, h, surfaceBytes, orientation, rowTable);
                }
                jpeg_finish_decompress(&ci);
            }))
            d.Fail();
        hasBitmap_ = true;
    } catch (...) {
        FreeBitmap();
        TJpegProgressGlue::Notify(this, TProgressStage::psEnding, 0);
        throw;
    }
    TJpegProgressGlue::Notify(this, TProgressStage::psEnding, 100);
    if (quantise) Changed();  // the palette changed
}

// ---------------------------------------------------------------------------------------------
// Writers

bool WriteJpegFile(const TBitmap& picture, const std::string& fileName, bool progressive,
                   int32_t quality, bool grayscale) {
    try {
        TEncodeSettings s;
        s.Quality = std::clamp<int32_t>(quality, 1, 100);
        s.Progressive = progressive;
        s.Grayscale = grayscale;
        TSafeFileStream file(fileName);
        if (!EncodeBitmap(picture, s, file, nullptr)) return false;
        CommitVerifiedJpeg(file, picture, false);
        return true;
    } catch (...) {
        return false;
    }
}

bool EncodeJpegToStream(const TBitmap& picture, TStream& stream, bool progressive, int32_t quality,
                        bool grayscale) {
    try {
        TEncodeSettings s;
        s.Quality = std::clamp<int32_t>(quality, 1, 100);
        s.Progressive = progressive;
        s.Grayscale = grayscale;
        return EncodeBitmap(picture, s, stream, nullptr);
    } catch (...) {
        return false;
    }
}

bool EncodeJpegFullChroma(const TBitmap& picture, TStream& stream, bool progressive,
                          int32_t quality, bool grayscale) {
    TEncodeSettings s;
    s.Quality = quality;
    s.FullChroma = true;
    std::vector<uint8_t> out;
    try {
        TMemoryStream encoded;
        if (!EncodeBitmap(picture, s, encoded, nullptr)) return false;
        out = std::move(encoded.Memory());
    } catch (...) {
        return false;
    }
    if (progressive || grayscale) {
        TMemoryStream in(std::move(out));
        TMemoryStream recoded;
        TranscodeJpeg(in, recoded, progressive, grayscale);
        out = std::move(recoded.Memory());
    }
    stream.Write(out.data(), int64_t(out.size()));
    return true;
}

namespace {

// The bands between the decoding thread and the encoding one: free buffers go to the decoder,
// decoded ones to the encoder, in order.
struct TBandQueue {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<int> free, ready;
    std::exception_ptr error;  // the decoder's
    bool stop = false;         // the encoder gave up
    bool done = false;         // the decoder finished, or failed
};

// Decodes rows first .. end - 1 into the buffers the queue hands out, a band of `step` rows at a
// time, after skipping the rows above (entropy-decoded as they must be, never made pixels). When
// `end` is the picture's last row the stream is finished too, so that a stream the open path
// refuses (one that ends early, say) fails here as well.
void DecodeBands(TDecompressor& d, std::vector<std::vector<JSAMPROW>>& rows, int32_t first,
                 int32_t end, int32_t step, TBandQueue& q) {
    jpeg_decompress_struct& ci = d.cinfo;
    const int32_t h = int32_t(ci.output_height);
    try {
        if (first > 0 && !Guard(d.err, [&] { jpeg_skip_scanlines(&ci, JDIMENSION(first)); }))
            d.Fail();
        for (int32_t top = first; top < end; top += step) {
            int index;
            {
                std::unique_lock<std::mutex> l(q.lock);
                q.changed.wait(l, [&] { return q.stop || !q.free.empty(); });
                if (q.stop) {  // the encoder gave up: the rest of the stream is of no use
                    q.done = true;
                    q.changed.notify_all();
                    return;
                }
                index = q.free.front();
                q.free.pop_front();
            }
            const JDIMENSION last = JDIMENSION(std::min(top + step, end));
            JSAMPROW* table = rows[size_t(index)].data();
            const JDIMENSION at = JDIMENSION(top);
            if (!Guard(d.err, [&] {
                    while (ci.output_scanline < last)
                        jpeg_read_scanlines(&ci, table + (ci.output_scanline - at),
                                            last - ci.output_scanline);
                }))
                d.Fail();
            const std::lock_guard<std::mutex> l(q.lock);
            q.ready.push_back(index);
            q.changed.notify_all();
        }
        if (!Guard(d.err, [&] {
                if (end == h)
                    jpeg_finish_decompress(&ci);
                else
                    jpeg_abort_decompress(&ci);
            }))
            d.Fail();
    } catch (...) {
        const std::lock_guard<std::mutex> l(q.lock);
        q.error = std::current_exception();
    }
    const std::lock_guard<std::mutex> l(q.lock);
    q.done = true;
    q.changed.notify_all();
}

}  // namespace

namespace {

// Sets `d` up to decode `source` row by row as the open path decodes a colour stream (full size,
// block smoothing, B, G, R rows) and starts the decode. False, with nothing started, where the
// open path would decode otherwise: no start-of-image marker at the first byte, not 3
// components, or an Exif Orientation other than 1.
bool StartColourDecode(TDecompressor& d, std::span<const uint8_t> source) {
    if (source.size() < 2 || source[0] != 0xFF || source[1] != 0xD8) return false;
    if (ExifOrientationOfJpeg(source.data(), source.size()) != 1) return false;
    d.Open(source);
    jpeg_decompress_struct& ci = d.cinfo;
    if (ci.num_components != 3) return false;
    ci.scale_num = 1;
    ci.scale_denom = 1;
    ci.do_block_smoothing = TRUE;
    ci.out_color_space = JCS_EXT_BGR;
    if (!Guard(d.err, [&] { jpeg_calc_output_dimensions(&ci); })) d.Fail();
    if (ci.output_components != 3) return false;
    CheckPictureSize(ci.output_width, ci.output_height, 24);
    if (!Guard(d.err, [&] { jpeg_start_decompress(&ci); })) d.Fail();
    return true;
}

}  // namespace

bool DecodeJpegRows(const std::vector<uint8_t>& source,
                    const std::function<void(int32_t, int32_t, int32_t&, int32_t&)>& choose,
                    TBitmap& rows) {
    TDecompressor d;
    if (!StartColourDecode(d, source)) return false;
    jpeg_decompress_struct& ci = d.cinfo;
    const int32_t w = int32_t(ci.output_width), h = int32_t(ci.output_height);
    int32_t top = 0, bottom = h;
    choose(w, h, top, bottom);
    top = std::clamp(top, 0, h);
    bottom = std::clamp(bottom, top, h);
    TBitmap decoded(w, bottom - top);
    std::vector<JSAMPROW> table(size_t(bottom - top));
    for (int32_t y = 0; y < bottom - top; ++y) table[size_t(y)] = decoded.ScanLine(y);
    JSAMPROW* rowTable = table.data();
    if (!Guard(d.err, [&] {
            // The rows above are skipped: entropy-decoded as they must be, never made pixels.
            if (top > 0) jpeg_skip_scanlines(&ci, JDIMENSION(top));
            while (ci.output_scanline < JDIMENSION(bottom))
                jpeg_read_scanlines(&ci, rowTable + (ci.output_scanline - JDIMENSION(top)),
                                    JDIMENSION(bottom) - ci.output_scanline);
            jpeg_abort_decompress(&ci);
        }))
        d.Fail();
    rows.Swap(decoded);
    return true;
}

bool DecodeJpegInBands(
    std::span<const uint8_t> source,
    const std::function<int32_t(int32_t width, int32_t height, int32_t& first, int32_t& end)>& plan,
    const std::function<void(TBitmap& band, int32_t top)>& take) {
    TDecompressor d;
    if (!StartColourDecode(d, source)) return false;
    jpeg_decompress_struct& ci = d.cinfo;
    const int32_t w = int32_t(ci.output_width), h = int32_t(ci.output_height);
    int32_t first = 0, end = h;
    const int32_t step = std::max(plan(w, h, first, end), 1);
    first = std::clamp(first, 0, h);
    end = std::clamp(end, first, h);

    // Three bands keep both threads busy in a few MiB.
    constexpr int kBands = 3;
    std::vector<TBitmap> bands(kBands);
    std::vector<std::vector<JSAMPROW>> rows(kBands);
    TBandQueue q;
    for (int i = 0; i < kBands; ++i) {
        bands[size_t(i)].Resize(w, std::max(std::min(step, end - first), 1), pf24bit);
        for (int32_t y = 0; y < bands[size_t(i)].Height(); ++y)
            rows[size_t(i)].push_back(bands[size_t(i)].ScanLine(y));
        q.free.push_back(i);
    }

    std::thread decoder(DecodeBands, std::ref(d), std::ref(rows), first, end, step, std::ref(q));
    // However this thread leaves, the decoder is told to stop and is waited for.
    struct TJoin {
        std::thread& t;
        TBandQueue& q;
        ~TJoin() {
            {
                const std::lock_guard<std::mutex> l(q.lock);
                q.stop = true;
                q.changed.notify_all();
            }
            t.join();
        }
    } join{decoder, q};

    TBitmap last;
    for (int32_t top = first; top < end; top += step) {
        int index;
        {
            std::unique_lock<std::mutex> l(q.lock);
            q.changed.wait(l, [&] { return !q.ready.empty() || q.done; });
            if (q.ready.empty()) {
                if (q.error) std::rethrow_exception(q.error);
                throw EJPEG(0, "The JPEG stream ended early");
            }
            index = q.ready.front();
            q.ready.pop_front();
        }
        TBitmap& band = bands[size_t(index)];
        const int32_t n = std::min(step, end - top);
        if (band.Height() != n) {  // the last band: the rows it holds are the first n
            last.Resize(w, n, pf24bit);
            for (int32_t y = 0; y < n; ++y)
                std::memcpy(last.ScanLine(y), band.ScanLine(y), size_t(w) * 3);
            take(last, top);
        } else {
            take(band, top);
        }
        const std::lock_guard<std::mutex> l(q.lock);
        q.free.push_back(index);
        q.changed.notify_all();
    }
    {
        // The decoder's verdict on the end of the stream comes before the caller finishes.
        std::unique_lock<std::mutex> l(q.lock);
        q.changed.wait(l, [&] { return q.done; });
        if (q.error) std::rethrow_exception(q.error);
    }
    return true;
}

bool TranscodeJpegInBands(std::span<const uint8_t> source, TBandEditor& editor, int32_t quality,
                          bool progressive, bool grayscale, bool fullChroma, TStream& out) {
    if (fullChroma && (progressive || grayscale)) return false;
    TEncodeSettings s;
    s.Quality = std::clamp<int32_t>(quality, 1, 100);
    s.Progressive = progressive;
    s.Grayscale = grayscale;
    s.FullChroma = fullChroma;
    TCompressor c;
    const auto fail = [&] {
        if (c.dest.error) std::rethrow_exception(c.dest.error);
        c.Fail();
    };
    std::vector<JSAMPROW> table;
    const bool decoded = DecodeJpegInBands(
        source,
        [&](int32_t w, int32_t h, int32_t&, int32_t&) {
            const int32_t alignment = std::max(editor.Begin(w, h), 1);
            c.Create();
            jpegglue::SetStreamDestination(&c.cinfo, c.dest, out);
            if (!Guard(c.err, [&] {
                    SetUpEncoder(c.cinfo, w, h, s);
                    jpeg_start_compress(&c.cinfo, TRUE);
                }))
                fail();
            // Bands of about 64 rows.
            return alignment * std::max(1, (64 + alignment - 1) / alignment);
        },
        [&](TBitmap& band, int32_t top) {
            editor.Edit(band, top);
            table.resize(size_t(band.Height()));
            for (int32_t y = 0; y < band.Height(); ++y) table[size_t(y)] = band.ScanLine(y);
            JSAMPROW* rows = table.data();
            if (!Guard(c.err, [&] {
                    const JDIMENSION end = JDIMENSION(top + band.Height());
                    while (c.cinfo.next_scanline < end)
                        jpeg_write_scanlines(&c.cinfo,
                                             rows + (c.cinfo.next_scanline - JDIMENSION(top)),
                                             end - c.cinfo.next_scanline);
                }))
                fail();
        });
    if (!decoded) return false;
    if (!Guard(c.err, [&] { jpeg_finish_compress(&c.cinfo); })) fail();
    return true;
}

}  // namespace tilvo
