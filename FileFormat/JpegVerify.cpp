// The checks of JPEG files: the walk of Tilvo's own files before they are written, the local
// thumbnail difference, and the scan of any JPEG for carriers and embedded pictures.
#include "JpegVerify.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <queue>

#include "Effector/Resample.h"
#include "ExifBuild.h"
#include "Graphic.h"
#include "JPEGImage.h"
#include "JpegGlue.h"
#include "PictureFinder.h"

namespace tilvo {

using jpegglue::Guard;
using jpegglue::TErrorManager;

namespace {

constexpr int kMaxScans = 1000;
const char* const kTooLarge = "too large to check";

extern "C" void TilvoVerifyProgressHook(j_common_ptr cinfo) {
    // A stream of thousands of tiny scans would keep the decoder busy for minutes.
    if (cinfo->is_decompressor &&
        reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kMaxScans) {
        reinterpret_cast<TErrorManager*>(cinfo->err)->refusal = kTooLarge;
        cinfo->err->msg_code = JERR_NOT_COMPILED;
        cinfo->err->error_exit(cinfo);
    }
}

enum class TDecoded { No, Yes, TooLarge };

struct TDecoder {
    jpeg_decompress_struct cinfo{};
    TErrorManager err;
    jpeg_progress_mgr progress{};
    bool created = false;

    TDecoder() { cinfo.err = jpegglue::InitErrorManager(err); }
    ~TDecoder() {
        if (created) jpeg_destroy_decompress(&cinfo);
    }
    TDecoder(const TDecoder&) = delete;
    TDecoder& operator=(const TDecoder&) = delete;
    TDecoded Failure() const {
        return err.refusal != nullptr || err.code == JERR_NO_BACKING_STORE ||
                       err.code == JERR_OUT_OF_MEMORY
                   ? TDecoded::TooLarge
                   : TDecoded::No;
    }
};

struct TDecodeRequest {
    // False: only the header and the first row at 1/8 scale (does it decode at all?). True: every
    // row as B, G, R into `out`, at the smallest scale that is at least MinWidth × MinHeight.
    bool Whole = false;
    int32_t MinWidth = 0;
    int32_t MinHeight = 0;
    int64_t Memory = 0;  // libjpeg's limit
};

struct TDecodeInfo {
    int32_t Width = 0;  // from the frame header
    int32_t Height = 0;
    bool Gray = false;  // a one-component stream
};

TDecoded Decode(const uint8_t* data, size_t size, const TDecodeRequest& rq, TDecodeInfo& info,
                TBitmap* out) {
    TDecoder d;
    jpeg_decompress_struct& ci = d.cinfo;
    const unsigned long bytes = static_cast<unsigned long>(size);
    const long memory = long(rq.Memory);
    if (!Guard(d.err, [&] {
            jpeg_create_decompress(&ci);
            d.created = true;
            d.progress.progress_monitor = TilvoVerifyProgressHook;
            ci.progress = &d.progress;
            ci.mem->max_memory_to_use = memory;
            jpeg_mem_src(&ci, data, bytes);
            jpeg_read_header(&ci, TRUE);
        }))
        return d.Failure();
    info.Width = int32_t(ci.image_width);
    info.Height = int32_t(ci.image_height);
    info.Gray = ci.jpeg_color_space == JCS_GRAYSCALE;
    try {
        CheckPictureSize(ci.image_width, ci.image_height);
    } catch (const Exception&) {
        return TDecoded::TooLarge;
    }
    unsigned num = 1;
    if (rq.Whole) {
        // The smallest of libjpeg's scales n/8 that still covers the size asked for.
        const auto scaled = [&](uint64_t side, unsigned n) { return (side * n + 7) / 8; };
        num = 8;
        if (rq.MinWidth > 0 && rq.MinHeight > 0)
            for (unsigned n = 1; n <= 8; ++n)
                if (scaled(ci.image_width, n) >= uint64_t(rq.MinWidth) &&
                    scaled(ci.image_height, n) >= uint64_t(rq.MinHeight)) {
                    num = n;
                    break;
                }
        ci.out_color_space = JCS_EXT_BGR;
    }
    if (!Guard(d.err, [&] {
            ci.scale_num = num;
            ci.scale_denom = 8;
            jpeg_calc_output_dimensions(&ci);
        }))
        return d.Failure();
    const int32_t w = int32_t(ci.output_width), h = int32_t(ci.output_height);
    const int comps = ci.output_components;
    if (w <= 0 || h <= 0 || comps <= 0 || comps > 4) return TDecoded::No;
    if (rq.Whole && comps != 3) return TDecoded::No;
    // The rows Tilvo allocates count against the same limit as libjpeg's own memory.
    if (int64_t(w) * h * comps > rq.Memory) return TDecoded::TooLarge;
    std::vector<uint8_t> scratch;
    std::vector<JSAMPROW> rows;
    if (rq.Whole) {
        out->Resize(w, h, pf24bit);
        rows.resize(size_t(h));
        for (int32_t y = 0; y < h; ++y) rows[size_t(y)] = out->ScanLine(y);
    } else {
        scratch.resize(size_t(w) * size_t(comps));
        rows.push_back(scratch.data());
    }
    JSAMPROW* table = rows.data();
    const bool whole = rq.Whole;
    if (!Guard(d.err, [&] {
            jpeg_start_decompress(&ci);
            if (!whole) {
                jpeg_read_scanlines(&ci, table, 1);
                return;
            }
            while (ci.output_scanline < ci.output_height)
                jpeg_read_scanlines(&ci, table + ci.output_scanline,
                                    ci.output_height - ci.output_scanline);
        }))
        return d.Failure();
    return TDecoded::Yes;
}

// libjpeg's warnings counted: bytes it skipped before a marker (data in a scan that no block
// uses), and whether any other warning came.
struct TCountingErrors {
    TErrorManager err;  // first: libjpeg sees its pub member
    int64_t Extraneous = 0;
};

extern "C" void TilvoVerifyCountWarning(j_common_ptr cinfo, int level) {
    if (level >= 0) return;
    ++cinfo->err->num_warnings;
    if (cinfo->err->msg_code == JWRN_EXTRANEOUS_DATA)
        reinterpret_cast<TCountingErrors*>(cinfo->err)->Extraneous += cinfo->err->msg_parm.i[0];
}

// Decodes the whole stream at 1/8 scale (every bit of every scan is read) and answers how many
// bytes libjpeg skipped as data no block uses; -1 when it does not decode within `memory`.
int64_t UnusedScanBytes(const uint8_t* data, size_t size, int64_t memory) {
    TCountingErrors counting;
    jpeg_decompress_struct ci{};
    jpeg_progress_mgr progress{};
    ci.err = jpegglue::InitErrorManager(counting.err);
    counting.err.pub.emit_message = TilvoVerifyCountWarning;
    bool created = false;
    std::vector<uint8_t> row;
    uint8_t* rowData = nullptr;
    const unsigned long bytes = static_cast<unsigned long>(size);
    const long limit = long(memory);
    const bool ok = Guard(counting.err, [&] {
        jpeg_create_decompress(&ci);
        created = true;
        progress.progress_monitor = TilvoVerifyProgressHook;
        ci.progress = &progress;
        ci.mem->max_memory_to_use = limit;
        jpeg_mem_src(&ci, data, bytes);
        jpeg_read_header(&ci, TRUE);
        ci.scale_num = 1;
        ci.scale_denom = 8;
        ci.buffered_image = FALSE;
        jpeg_calc_output_dimensions(&ci);
    });
    if (ok) {
        const uint64_t rowBytes = uint64_t(ci.output_width) * uint64_t(ci.output_components);
        if (rowBytes == 0 || rowBytes > uint64_t(memory)) {
            jpeg_destroy_decompress(&ci);
            return -1;
        }
        row.resize(size_t(rowBytes));
        rowData = row.data();
    }
    const bool done = ok && Guard(counting.err, [&] {
                          jpeg_start_decompress(&ci);
                          JSAMPROW r = rowData;
                          while (ci.output_scanline < ci.output_height)
                              jpeg_read_scanlines(&ci, &r, 1);
                          jpeg_finish_decompress(&ci);
                      });
    if (created) jpeg_destroy_decompress(&ci);
    return done ? counting.Extraneous : -1;
}

using TBytes = std::span<const uint8_t>;

uint32_t Be16(const uint8_t* p) {
    return uint32_t(p[0]) << 8 | p[1];
}

bool IsRst(uint8_t m) {
    return m >= 0xD0 && m <= 0xD7;
}

std::string MarkerName(uint8_t m) {
    char buf[16];
    if (m >= 0xE0 && m <= 0xEF) {
        std::snprintf(buf, sizeof buf, "APP%d", m - 0xE0);
        return buf;
    }
    switch (m) {
        case 0xFE:
            return "COM";
        case 0xDB:
            return "DQT";
        case 0xC4:
            return "DHT";
        case 0xDA:
            return "SOS";
        case 0xDD:
            return "DRI";
        case 0xD8:
            return "SOI";
        case 0xD9:
            return "EOI";
        case 0xDC:
            return "DNL";
        default:
            break;
    }
    if (JpegFrameKind(m) != nullptr) {
        std::snprintf(buf, sizeof buf, "SOF%d", m - 0xC0);
        return buf;
    }
    std::snprintf(buf, sizeof buf, "marker FF %02X", m);
    return buf;
}

std::string At(const std::string& what, size_t offset) {
    return what + " at offset " + std::to_string(offset);
}

// The picture reduced to w × h (24-bit), from `picture` of any size and format.
void ReduceTo(const TBitmap& picture, int32_t w, int32_t h, TBitmap& out) {
    out.Assign(picture);
    if (out.PixelFormat() != pf24bit) out.SetPixelFormat(pf24bit);
    if (out.Width() != w || out.Height() != h) ResampleAreaAverage(out, w, h);
}

// The file's own picture reduced to w × h as a save reduces it for its thumbnail: read by the
// JPEG reader at the smallest of the scales 1/8, 1/4 and 1/2 that still covers w × h (or whole),
// then area-averaged. `gray`: the reduction holds only gray pixels.
bool ReduceFile(TBytes file, int32_t w, int32_t h, int64_t memory, TBitmap& out, bool& gray) {
    TFoundHeader header;
    if (!ParseJpegHeader(file, 0, header) || header.Width <= 0 || header.Height <= 0) return false;
    // The decoded picture counts against the memory allowed, at the scale it is read.
    TJPEGScale scale = TJPEGScale::jsFullSize;
    int32_t d = 1;
    for (const TJPEGScale s : {TJPEGScale::jsEighth, TJPEGScale::jsQuarter, TJPEGScale::jsHalf}) {
        const int32_t k = s == TJPEGScale::jsEighth ? 8 : s == TJPEGScale::jsQuarter ? 4 : 2;
        if (header.Width / k >= w && header.Height / k >= h) {
            scale = s;
            d = k;
            break;
        }
    }
    if (int64_t(header.Width / d + 1) * (header.Height / d + 1) * 4 > memory) return false;
    try {
        TJPEGImage decoder;
        decoder.SetScale(scale);
        TMemoryStream in{std::vector<uint8_t>(file.begin(), file.end())};
        decoder.LoadFromStream(in);
        decoder.AssignTo(out);
    } catch (const Exception&) {
        return false;
    }
    if (out.Width() < w || out.Height() < h) return false;
    if (out.PixelFormat() != pf24bit) out.SetPixelFormat(pf24bit);
    ResampleAreaAverage(out, w, h);
    gray = true;
    for (int32_t y = 0; y < h && gray; ++y) {
        const uint8_t* p = out.ScanLine(y);
        for (int32_t x = 0; x < w; ++x, p += 3)
            if (p[0] != p[1] || p[1] != p[2]) {
                gray = false;
                break;
            }
    }
    return true;
}

}  // namespace

double LocalDifference(const TBitmap& a, const TBitmap& b, bool gray) {
    const int32_t w = a.Width(), h = a.Height();
    if (w != b.Width() || h != b.Height() || a.PixelFormat() != pf24bit ||
        b.PixelFormat() != pf24bit || w <= 0 || h <= 0)
        return -1;
    const int32_t blocks = (w + kThumbnailBlock - 1) / kThumbnailBlock;
    std::vector<uint32_t> sums(size_t(blocks), 0);
    double worst = 0;
    for (int32_t y0 = 0; y0 < h; y0 += kThumbnailBlock) {
        std::fill(sums.begin(), sums.end(), 0u);
        const int32_t rows = std::min(kThumbnailBlock, h - y0);
        for (int32_t y = y0; y < y0 + rows; ++y) {
            const uint8_t* p = a.ScanLine(y);
            const uint8_t* q = b.ScanLine(y);
            for (int32_t x = 0; x < w; ++x, p += 3, q += 3) {
                uint32_t d;
                if (gray) {
                    const int la = (114 * p[0] + 587 * p[1] + 299 * p[2] + 500) / 1000;
                    const int lb = (114 * q[0] + 587 * q[1] + 299 * q[2] + 500) / 1000;
                    d = uint32_t(std::abs(la - lb));
                } else {
                    d = uint32_t(std::abs(p[0] - q[0]) + std::abs(p[1] - q[1]) +
                                 std::abs(p[2] - q[2]));
                }
                sums[size_t(x / kThumbnailBlock)] += d;
            }
        }
        for (int32_t bx = 0; bx < blocks; ++bx) {
            const int32_t cols = std::min(kThumbnailBlock, w - bx * kThumbnailBlock);
            const double n = double(rows) * cols * (gray ? 1 : 3);
            worst = std::max(worst, double(sums[size_t(bx)]) / n);
        }
    }
    return worst;
}

bool DecodeReduced(std::span<const uint8_t> jpeg, int32_t w, int32_t h, TBitmap& out,
                   int64_t memory) {
    bool gray = false;
    return w > 0 && h > 0 && ReduceFile(jpeg, w, h, memory, out, gray);
}

double ThumbnailDifference(const std::vector<uint8_t>& jpeg, const TBitmap& reduced) {
    TBitmap thumb;
    TDecodeInfo info;
    if (Decode(jpeg.data(), jpeg.size(), {true, 0, 0, int64_t{256} << 20}, info, &thumb) !=
        TDecoded::Yes)
        return -1;
    return LocalDifference(thumb, reduced, info.Gray);
}

// ---- the check of Tilvo's own files ----

namespace {

struct TOwnRules {
    bool ExifAllowed = true;       // false inside a thumbnail
    bool CompareThumbnail = true;  // false for --verify's listing
};

void CheckOwn(TBytes b, const TJpegExpectations& e, const TOwnRules& rules, TOwnJpegCheck& out);

// The thumbnail of a block Tilvo did not hand over: a JPEG that Tilvo's walk passes (no Exif of
// its own) and that shows the saved picture.
std::string JudgeThumbnail(TBytes file, TBytes thumb, const TJpegExpectations& e) {
    TOwnJpegCheck inner;
    TJpegExpectations none;
    none.ThumbnailKnown = true;
    CheckOwn(thumb, none, {false, false}, inner);
    if (!inner.Ok) return "an Exif thumbnail that is not as Tilvo writes one: " + inner.Problem;
    TBitmap t;
    TDecodeInfo info;
    if (Decode(thumb.data(), thumb.size(), {true, 0, 0, int64_t{64} << 20}, info, &t) !=
        TDecoded::Yes)
        return "an Exif thumbnail that does not decode";
    TBitmap reduced;
    bool gray = info.Gray;
    if (e.Reduced != nullptr && e.Reduced->Width() == t.Width() &&
        e.Reduced->Height() == t.Height()) {
        ReduceTo(*e.Reduced, t.Width(), t.Height(), reduced);
    } else {
        bool fileGray = false;
        if (!ReduceFile(file, t.Width(), t.Height(), kMaxSurfaceBytes, reduced, fileGray))
            return "an Exif thumbnail that could not be compared with the picture";
        gray = gray || fileGray;
    }
    const double d = LocalDifference(t, reduced, gray);
    if (d < 0 || d > kMaxThumbnailDifference) {
        char why[128];
        std::snprintf(why, sizeof why,
                      "an Exif thumbnail that differs from the picture by %.1f levels in places "
                      "(at most %.1f is allowed)",
                      d, kMaxThumbnailDifference);
        return why;
    }
    return {};
}

// The body of a DQT segment: whole tables of 64 bytes or 64 16-bit values.
bool DqtFills(const uint8_t* s, size_t n) {
    size_t q = 0;
    while (q < n) {
        const unsigned pq = s[q] >> 4, tq = s[q] & 15;
        if (pq > 1 || tq > 3) return false;
        q += 1 + 64 * (pq + 1);
    }
    return q == n;
}

bool DhtFills(const uint8_t* s, size_t n) {
    size_t q = 0;
    while (q < n) {
        if (q + 17 > n) return false;
        const unsigned tc = s[q] >> 4, th = s[q] & 15;
        if (tc > 1 || th > 3) return false;
        size_t total = 0;
        for (int i = 1; i <= 16; ++i) total += s[q + size_t(i)];
        if (total > 256) return false;
        q += 17 + total;
    }
    return q == n;
}

void CheckOwn(TBytes b, const TJpegExpectations& e, const TOwnRules& rules, TOwnJpegCheck& out) {
    out = {};
    const size_t n = b.size();
    const auto fail = [&](const std::string& what, size_t at) {
        out.Ok = false;
        out.Problem = At(what, at);
    };
    if (n < 4 || b[0] != 0xFF || b[1] != 0xD8) return fail("no start-of-image marker", 0);
    bool jfif = false, exif = false, adobe = false, frame = false, scanned = false;
    std::vector<uint8_t> components;
    size_t pos = 2;
    for (;;) {
        if (pos + 2 > n) return fail("the end of the file before the end-of-image marker", pos);
        if (b[pos] != 0xFF) return fail("bytes where a marker should be", pos);
        const uint8_t m = b[pos + 1];
        if (m == 0xD9) {
            if (!scanned) return fail("an end-of-image marker before any scan", pos);
            if (pos + 2 != n)
                return fail(std::to_string(n - pos - 2) + " bytes after the end-of-image marker",
                            pos + 2);
            break;
        }
        const bool coding =
            m == 0xDB || m == 0xC4 || m == 0xC0 || m == 0xC1 || m == 0xC2 || m == 0xDD || m == 0xDA;
        const bool app = m == 0xE0 || m == 0xE1 || m == 0xEE;
        if (!coding && !app) {
            if (m == 0xFF) return fail("fill bytes before a marker", pos);
            if (m >= 0xE0 && m <= 0xEF) return fail("an " + MarkerName(m) + " segment", pos);
            if (m == 0xFE) return fail("a COM segment", pos);
            return fail("a segment of " + MarkerName(m), pos);
        }
        if (pos + 4 > n) return fail("a segment cut off by the end of the file", pos);
        const size_t len = Be16(&b[pos + 2]);
        if (len < 2 || len > n - pos - 2)
            return fail("a " + MarkerName(m) + " segment running past the end of the file", pos);
        const uint8_t* s = &b[pos + 4];
        const size_t sn = len - 2;
        const size_t next = pos + 2 + len;
        if (app && frame)
            return fail("an " + MarkerName(m) + " segment after the frame header", pos);
        switch (m) {
            case 0xE0: {
                if (sn >= 14 && std::memcmp(s, "JFIF\0", 5) == 0 && (s[12] != 0 || s[13] != 0))
                    return fail("a JFIF thumbnail", pos);
                if (jfif || sn != 14 || std::memcmp(s, "JFIF\0", 5) != 0)
                    return fail(jfif ? "a second APP0 segment"
                                     : "an APP0 segment that is not "
                                       "Tilvo's JFIF segment",
                                pos);
                if (s[5] != 1 || s[6] > 2 || s[7] > 2)
                    return fail("a JFIF segment of an unknown version or unit", pos);
                jfif = true;
                break;
            }
            case 0xE1: {
                if (!rules.ExifAllowed) return fail("an APP1 segment inside the thumbnail", pos);
                if (exif) return fail("a second APP1 segment", pos);
                if (sn < 6 || std::memcmp(s, "Exif\0\0", 6) != 0)
                    return fail("an APP1 segment that is not Exif", pos);
                exif = true;
                const TBytes block(s + 6, sn - 6);
                const TExifBlockCheck c = CheckExifBlock(block, e.PersonalAllowed);
                if (!c.Ok)
                    return fail("an Exif block Tilvo does not write (" + c.Problem + ")", pos);
                if (!c.HasThumbnail) {
                    if (e.ThumbnailKnown && !e.Thumbnail.empty())
                        return fail("an Exif block without the thumbnail written", pos);
                    break;
                }
                if (c.ThumbnailOffset > block.size() ||
                    c.ThumbnailLength > block.size() - c.ThumbnailOffset)
                    return fail("an Exif thumbnail outside its block", pos);
                const TBytes thumb = block.subspan(c.ThumbnailOffset, c.ThumbnailLength);
                const size_t at = pos + 10 + c.ThumbnailOffset;
                if (e.ThumbnailKnown) {
                    if (thumb.size() != e.Thumbnail.size() ||
                        !std::equal(thumb.begin(), thumb.end(), e.Thumbnail.begin()))
                        return fail(e.Thumbnail.empty()
                                        ? "an Exif thumbnail the save did not write"
                                        : "an Exif thumbnail other than the one written",
                                    at);
                } else if (!e.ThumbnailAllowed) {
                    return fail("an Exif thumbnail the save did not write", at);
                }
                if (rules.CompareThumbnail) {
                    const std::string why = JudgeThumbnail(b, thumb, e);
                    if (!why.empty()) return fail(why, at);
                }
                break;
            }
            case 0xEE: {
                // libjpeg's: "Adobe", version 100, two flag words, the colour transform.
                if (adobe || sn != 12 || std::memcmp(s, "Adobe", 5) != 0 || Be16(s + 5) != 100 ||
                    s[11] > 2)
                    return fail("an APP14 segment that is not libjpeg's Adobe segment", pos);
                adobe = true;
                break;
            }
            case 0xDB:
                if (scanned || !DqtFills(s, sn))
                    return fail("a DQT segment Tilvo does not write", pos);
                break;
            case 0xC4:
                if (!DhtFills(s, sn)) return fail("a DHT segment that its tables do not fill", pos);
                break;
            case 0xDD:
                if (sn != 2) return fail("a DRI segment of the wrong length", pos);
                break;
            case 0xC0:
            case 0xC1:
            case 0xC2: {
                if (frame) return fail("a second frame header", pos);
                if (sn < 6 || s[0] != 8 || s[5] < 1 || s[5] > 4 || sn != 6 + 3 * size_t(s[5]))
                    return fail("a frame header Tilvo does not write", pos);
                const int32_t h = int32_t(Be16(s + 1)), w = int32_t(Be16(s + 3));
                if (w == 0 || h == 0) return fail("a frame header without a size", pos);
                if ((e.Width > 0 && w != e.Width) || (e.Height > 0 && h != e.Height))
                    return fail("a frame of " + std::to_string(w) + " x " + std::to_string(h) +
                                    " pixels instead of " + std::to_string(e.Width) + " x " +
                                    std::to_string(e.Height),
                                pos);
                for (unsigned c = 0; c < s[5]; ++c) {
                    const uint8_t hv = s[7 + 3 * c];
                    if ((hv >> 4) < 1 || (hv >> 4) > 4 || (hv & 15) < 1 || (hv & 15) > 4 ||
                        s[8 + 3 * c] > 3)
                        return fail("a frame header Tilvo does not write", pos);
                    components.push_back(s[6 + 3 * c]);
                }
                frame = true;
                break;
            }
            case 0xDA: {
                if (!frame) return fail("a scan before the frame header", pos);
                const size_t ns = sn >= 1 ? s[0] : 0;
                if (ns < 1 || ns > 4 || sn != 4 + 2 * ns)
                    return fail("a scan header Tilvo does not write", pos);
                for (size_t c = 0; c < ns; ++c)
                    if (std::find(components.begin(), components.end(), s[1 + 2 * c]) ==
                        components.end())
                        return fail("a scan of a component the frame does not have", pos);
                scanned = true;
                pos = NextMarkerInScan(b, next);
                if (pos >= n) return fail("the end of the file inside the scan data", next);
                continue;
            }
            default:
                break;
        }
        pos = next;
    }
    if (!frame) return fail("no frame header", 0);
    out.Ok = true;
}

}  // namespace

TOwnJpegCheck CheckOwnJpeg(std::span<const uint8_t> bytes, const TJpegExpectations& expected) {
    TOwnJpegCheck out;
    CheckOwn(bytes, expected, {}, out);
    return out;
}

namespace {

[[noreturn]] void Refuse(const std::string& problem) {
    throw EJpegLeak("The JPEG file was not saved: it would carry " + problem);
}

// The bytes a save wrote, read back from its stream, checked before anything is replaced.
void CommitChecked(TSafeFileStream& file, const TJpegExpectations& e,
                   const std::vector<uint8_t>* checked) {
    const TFileBytes written(file);
    const TBytes got = written.Bytes();
    // Bytes already checked in memory need only be found again as they were.
    if (checked == nullptr || got.size() != checked->size() ||
        !std::equal(got.begin(), got.end(), checked->begin())) {
        const TOwnJpegCheck c = CheckOwnJpeg(got, e);
        if (!c.Ok) Refuse(c.Problem);
    }
    file.Commit();
}

TJpegExpectations OldExpectations(bool thumbnailWritten) {
    TJpegExpectations e;
    e.ThumbnailAllowed = thumbnailWritten;
    e.ThumbnailKnown = !thumbnailWritten;  // none written: none may be there
    e.PersonalAllowed = true;
    return e;
}

}  // namespace

void WriteVerifiedJpeg(const std::string& fileName, const std::vector<uint8_t>& bytes,
                       const TJpegExpectations& expected) {
    const TOwnJpegCheck c = CheckOwnJpeg(bytes, expected);
    if (!c.Ok) Refuse(c.Problem);
    TSafeFileStream file(fileName);
    if (!bytes.empty()) file.Write(bytes.data(), int64_t(bytes.size()));
    CommitChecked(file, expected, &bytes);
}

void CommitVerifiedJpeg(TSafeFileStream& file, const TJpegExpectations& expected) {
    CommitChecked(file, expected, nullptr);
}

void WriteVerifiedJpeg(const std::string& fileName, const TBitmap& picture,
                       const std::vector<uint8_t>& bytes, bool thumbnailWritten,
                       const TBitmap* reduced) {
    (void)picture, (void)reduced;
    WriteVerifiedJpeg(fileName, bytes, OldExpectations(thumbnailWritten));
}

void WriteVerifiedJpeg(const std::string& fileName, const std::vector<uint8_t>& bytes) {
    WriteVerifiedJpeg(fileName, bytes, OldExpectations(false));
}

void CommitVerifiedJpeg(TSafeFileStream& file, const TBitmap& picture, bool thumbnailWritten,
                        const TBitmap* reduced) {
    (void)picture, (void)reduced;
    CommitVerifiedJpeg(file, OldExpectations(thumbnailWritten));
}

// ---- tilvo-cli --verify ----

bool TJpegScan::Clean() const {
    if (!Problems.empty()) return false;
    return std::none_of(Pictures.begin(), Pictures.end(),
                        [](const TEmbeddedPicture& p) { return p.Suspicious; });
}

std::string TJpegScan::FirstFinding() const {
    for (const TEmbeddedPicture& p : Pictures) {
        if (!p.Suspicious) continue;
        char where[96];
        std::snprintf(where, sizeof where, " (%s, %d x %d, %s, offset %lld)", p.Kind.c_str(),
                      p.Width, p.Height, p.Where.c_str(), static_cast<long long>(p.Offset));
        return p.Reason + where;
    }
    return Problems.empty() ? std::string() : Problems.front();
}

namespace {

// A stretch of the file searched for signatures.
struct TRegion {
    size_t Begin = 0, End = 0;
    std::string Where;
};

// A thumbnail the structure declares at a place.
struct TDeclaredThumbnail {
    size_t Offset = 0;
    size_t Length = 0;  // declared; 0: none declared
    bool HasLength = false;
    std::string Where;
};

class TScanner {
  public:
    TScanner(TBytes file, size_t start, const TJpegVerifyOptions& o)
        : b_(file), start_(start), o_(o) {}

    TJpegScan Run() {
        WalkMain();
        for (const TRegion& r : regions_) {
            if (stopped_) break;
            Search(b_.subspan(0, r.End), r.Begin, r.Where, nullptr);
        }
        for (const TRegion& r : xmp_) {
            if (stopped_) break;
            SearchBase64(r);
        }
        if (!stopped_) SearchExtendedXmp();
        // Bytes inside the scan data that no block uses are no picture to a decoder, and hide
        // from the walk: libjpeg reads every scan and counts what it skips.
        const int64_t unused =
            UnusedScanBytes(b_.data() + start_, b_.size() - start_, o_.PictureMemory);
        if (unused > 0)
            scan_.Problems.push_back(std::to_string(unused) +
                                     " bytes inside the scan data that no block uses");
        TOwnJpegCheck own;
        TJpegExpectations any;
        any.ThumbnailAllowed = true;
        any.PersonalAllowed = true;
        CheckOwn(b_.subspan(start_), any, {true, false}, own);
        if (!own.Ok) scan_.NotAsTilvoWrites = own.Problem;
        return std::move(scan_);
    }

  private:
    TBytes b_;
    size_t start_;
    const TJpegVerifyOptions& o_;
    TJpegScan scan_;
    std::vector<TRegion> regions_, xmp_;
    std::vector<TDeclaredThumbnail> thumbnails_;
    std::vector<size_t> tiffBlocks_;  // TIFF structures walked already (no second listing)
    std::vector<uint8_t> extendedXmp_;
    size_t extendedXmpAt_ = 0;
    int attempts_ = 0;
    bool stopped_ = false;
    // The file's picture reduced for the thumbnails, made when first needed.
    TBitmap reduced_;
    bool reducedTried_ = false, reducedOk_ = false, reducedGray_ = false;

    void Carrier(const std::string& kind, size_t offset, size_t size, std::string details = {}) {
        offset = std::min(offset, b_.size());
        size = std::min(size, b_.size() - offset);
        scan_.Carriers.push_back({kind, int64_t(offset), int64_t(size), std::move(details)});
    }

    bool AddPicture(TEmbeddedPicture p) {
        if (int(scan_.Pictures.size()) >= o_.MaxPictures) {
            scan_.Problems.push_back("more than " + std::to_string(o_.MaxPictures) +
                                     " embedded pictures; the rest were not listed");
            stopped_ = true;
            return false;
        }
        scan_.Pictures.push_back(std::move(p));
        return true;
    }

    // ---- the main stream ----

    void WalkMain() {
        const size_t n = b_.size();
        if (start_ > 0) {
            regions_.push_back({0, start_, "the data before SOI"});
            Carrier("data before SOI", 0, start_);
        }
        size_t pos = start_ + 2;
        bool firstExif = true;
        for (;;) {
            if (pos >= n) return;  // the file ends inside its own picture
            if (b_[pos] != 0xFF) return Broken(pos);
            while (pos + 1 < n && b_[pos + 1] == 0xFF) ++pos;  // fill bytes
            if (pos + 1 >= n) return;
            const uint8_t m = b_[pos + 1];
            if (m == 0xD9) return AfterEoi(pos + 2);
            if (m == 0xD8 || m == 0x00) return Broken(pos);
            if (m == 0x01 || IsRst(m)) {
                pos += 2;
                continue;
            }
            if (pos + 4 > n) return;
            const size_t len = Be16(&b_[pos + 2]);
            if (len < 2) return Broken(pos);
            const size_t payload = pos + 4, end = std::min(n, pos + 2 + len);
            regions_.push_back({payload, end, MarkerName(m)});
            if (JpegFrameKind(m) != nullptr && end - payload >= 5 && scan_.Width == 0) {
                scan_.Height = int32_t(Be16(&b_[payload + 1]));
                scan_.Width = int32_t(Be16(&b_[payload + 3]));
            }
            if ((m >= 0xE0 && m <= 0xEF) || m == 0xFE)
                Segment(m, pos, payload, end, firstExif);
            else if (m >= 0xF0 && m <= 0xFD)
                Carrier(MarkerName(m) + " segment", pos, end - pos);
            pos = pos + 2 + len;
            if (m != 0xDA) continue;
            pos = NextMarkerInScan(b_, std::min(pos, n));
            if (pos >= n) return;
        }
    }

    void Broken(size_t pos) {
        Carrier("data where a marker should be", pos, b_.size() - pos);
        regions_.push_back({pos, b_.size(), "the data after broken markers"});
        scan_.Problems.push_back(At("bytes where a marker should be", pos) + ", " +
                                 std::to_string(b_.size() - pos) + " bytes to the end");
    }

    void AfterEoi(size_t pos) {
        const size_t n = b_.size();
        if (pos >= n) return;
        Carrier("data after EOI", pos, n - pos);
        regions_.push_back({pos, n, "the data after EOI"});
        // Padding of one byte value is what some writers leave; anything else is data.
        const bool padding = std::all_of(b_.begin() + std::ptrdiff_t(pos), b_.end(),
                                         [&](uint8_t c) { return c == b_[pos]; }) &&
                             (b_[pos] == 0 || b_[pos] == 0xFF);
        if (!padding)
            scan_.Problems.push_back(At(std::to_string(n - pos) + " bytes of data after EOI", pos));
    }

    static bool Starts(const uint8_t* s, size_t n, const char* id, size_t idLength) {
        return n >= idLength && std::memcmp(s, id, idLength) == 0;
    }

    void Segment(uint8_t m, size_t pos, size_t payload, size_t end, bool& firstExif) {
        const uint8_t* s = &b_[payload];
        const size_t sn = end - payload;
        const std::string name = MarkerName(m);
        const size_t whole = end - pos;
        static const char kXmp[] = "http://ns.adobe.com/xap/1.0/";
        static const char kExtXmp[] = "http://ns.adobe.com/xmp/extension/";
        if (m == 0xE0 && Starts(s, sn, "JFIF\0", 5)) {
            Carrier(name + " JFIF", pos, whole);
            if (sn >= 14)
                RawThumbnail("JFIF RGB thumbnail", name + " JFIF", payload + 14, s[12], s[13], 3, 0,
                             end);
        } else if (m == 0xE0 && Starts(s, sn, "JFXX\0", 5)) {
            Carrier(name + " JFXX", pos, whole);
            if (sn >= 6 && s[5] == 0x10) {
                thumbnails_.push_back({payload + 6, sn - 6, true, name + " JFXX"});
            } else if (sn >= 8 && (s[5] == 0x11 || s[5] == 0x13)) {
                const bool palette = s[5] == 0x11;
                RawThumbnail(palette ? "JFXX palette thumbnail" : "JFXX RGB thumbnail",
                             name + " JFXX", payload + 8, s[6], s[7], palette ? 1 : 3,
                             palette ? 768 : 0, end);
            }
        } else if (m == 0xE1 && Starts(s, sn, "Exif\0", 5)) {
            Carrier(name + " Exif", pos, whole);
            if (sn > 6) Exif(payload + 6, end, firstExif, name + " Exif");
            firstExif = false;
        } else if (m == 0xE1 && Starts(s, sn, kXmp, sizeof kXmp)) {
            Carrier(name + " XMP", pos, whole);
            xmp_.push_back({payload, end, name + " XMP"});
        } else if (m == 0xE1 && Starts(s, sn, kExtXmp, sizeof kExtXmp)) {
            Carrier(name + " extended XMP", pos, whole);
            // The chunks of one packet, in the order they come: a base64 run may cross them.
            const size_t header = sizeof kExtXmp + 32 + 8;
            if (sn > header) {
                if (extendedXmp_.empty()) extendedXmpAt_ = payload + header;
                extendedXmp_.insert(extendedXmp_.end(), s + header, s + sn);
            }
        } else if (m == 0xE2 && Starts(s, sn, "ICC_PROFILE\0", 12)) {
            Carrier(name + " ICC profile", pos, whole);
        } else if (m == 0xE2 && Starts(s, sn, "MPF\0", 4)) {
            Carrier(name + " MPF (pictures after EOI)", pos, whole);
        } else if (m == 0xE2 && Starts(s, sn, "FPXR", 4)) {
            Carrier(name + " FlashPix", pos, whole);
        } else if (m == 0xED && Starts(s, sn, "Photoshop 3.0\0", 14)) {
            Carrier(name + " Photoshop", pos, whole, PhotoshopResources(s + 14, sn - 14));
        } else if (m == 0xEE && Starts(s, sn, "Adobe", 5)) {
            Carrier(name + " Adobe", pos, whole);
        } else {
            Carrier(name, pos, whole);
        }
    }

    static std::string PhotoshopResources(const uint8_t* s, size_t n) {
        std::string list;
        size_t p = 0;
        for (int count = 0; count < 1000 && p + 12 <= n; ++count) {
            if (std::memcmp(s + p, "8BIM", 4) != 0) break;
            const uint32_t id = Be16(s + p + 4);
            size_t q = p + 6;
            const size_t nameLength = s[q];
            q += (nameLength + 2) & ~size_t(1);  // a Pascal string padded to even
            if (q + 4 > n) break;
            const size_t size = size_t(Be16(s + q)) << 16 | Be16(s + q + 2);
            q += 4;
            if (size > n - q) break;
            char item[48];
            const char* what = id == 0x0404   ? " IPTC"
                               : id == 0x0409 ? " thumbnail"
                               : id == 0x040C ? " thumbnail"
                               : id == 0x040F ? " ICC"
                               : id == 0x0422 ? " Exif"
                               : id == 0x0424 ? " XMP"
                                              : "";
            std::snprintf(item, sizeof item, "%s0x%04X%s (%zu bytes)", list.empty() ? "" : ", ",
                          unsigned(id), what, size);
            list += item;
            p = q + ((size + 1) & ~size_t(1));
        }
        return list.empty() ? std::string() : "resources " + list;
    }

    // A thumbnail of raw pixels by its declared geometry: a picture when it is at least 8 × 8,
    // judged against the file's picture like any thumbnail.
    void RawThumbnail(const char* kind, const std::string& where, size_t at, uint32_t w, uint32_t h,
                      int bytesPerPixel, size_t palette, size_t end) {
        if (w == 0 || h == 0) return;
        const size_t need = palette + size_t(w) * h * size_t(bytesPerPixel);
        TEmbeddedPicture p;
        p.Kind = kind;
        p.Where = where;
        p.Offset = int64_t(at);
        p.Width = int32_t(w);
        p.Height = int32_t(h);
        p.Thumbnail = true;
        if (at > end || need > end - at) {
            p.Suspicious = true;
            p.Reason = "a thumbnail larger than its segment";
            AddPicture(std::move(p));
            return;
        }
        if (int32_t(w) < kMinFoundSide || int32_t(h) < kMinFoundSide) return;
        TBitmap t(int32_t(w), int32_t(h), pf24bit);
        const uint8_t* px = &b_[at + palette];
        for (uint32_t y = 0; y < h; ++y) {
            uint8_t* row = t.ScanLine(int32_t(y));
            for (uint32_t x = 0; x < w; ++x, row += 3) {
                const uint8_t* rgb = palette ? &b_[at + 3 * size_t(*px++)] : (px += 3) - 3;
                row[0] = rgb[2];
                row[1] = rgb[1];
                row[2] = rgb[0];
            }
        }
        Judge(p, &t, false);
        AddPicture(std::move(p));
    }

    // ---- TIFF structures ----

    void Exif(size_t block, size_t end, bool first, const std::string& where) {
        tiffBlocks_.push_back(block);
        const TBytes bytes = b_.subspan(block, end - block);
        const TTiffWalk walk = WalkTiff(bytes);
        if (!walk.Valid) {
            Carrier("Exif block without a readable IFD0", block, end - block);
            return;
        }
        for (const std::string& problem : walk.Problems)
            Carrier("Exif structure: " + problem, block, end - block);
        for (const TTiffIfd& ifd : walk.Ifds) {
            std::string details = std::to_string(ifd.Entries) + " entries";
            if (ifd.Width > 0 || ifd.Height > 0)
                details += ", " + std::to_string(ifd.Width) + " x " + std::to_string(ifd.Height);
            for (const TTiffValue& v : ifd.Carriers) {
                char item[80];
                std::snprintf(item, sizeof item, ", %s (tag 0x%04X, %u values)",
                              TiffCarrierName(v.Tag), unsigned(v.Tag), unsigned(v.Count));
                details += item;
                if (v.Tag == 0x927C && v.Size > 0) Carrier("maker note", block + v.Offset, v.Size);
                if (v.Tag == 0x02BC && v.Size > 0)
                    xmp_.push_back(
                        {block + v.Offset, block + v.Offset + v.Size, where + " XMP (tag 0x02BC)"});
            }
            Carrier(ifd.Name.starts_with("Exif") ? ifd.Name : "Exif " + ifd.Name,
                    block + ifd.Offset, 6 + 12 * size_t(ifd.Entries), details);
            DeclaredPictures(ifd, block, first, where);
        }
    }

    void DeclaredPictures(const TTiffIfd& ifd, size_t block, bool first, const std::string& where) {
        if (ifd.HasJpeg && first && ifd.Name == "IFD1")
            thumbnails_.push_back({block + size_t(ifd.JpegOffset), ifd.JpegLength,
                                   ifd.HasJpegLength, where + " IFD1"});
        if (!ifd.HasStrips && !ifd.HasTiles) return;
        TEmbeddedPicture p;
        p.Kind = ifd.HasTiles ? "tiles" : ifd.Compression <= 1 ? "raw strips" : "strips";
        p.Where = where + " " + ifd.Name;
        // Where the data starts, when that is inside the block; else where the IFD is.
        const std::vector<uint32_t>& offsets = ifd.HasTiles ? ifd.TileOffsets : ifd.StripOffsets;
        const bool inside = !offsets.empty() && block + size_t(offsets.front()) < b_.size();
        p.Offset = int64_t(block + (inside ? size_t(offsets.front()) : ifd.Offset));
        p.Width = ifd.Width;
        p.Height = ifd.Height;
        p.Suspicious = true;
        const bool counted =
            ifd.HasTiles ? !ifd.TileByteCounts.empty() : !ifd.StripByteCounts.empty();
        p.Reason = std::string(counted ? "" : "without byte counts: ") + "picture data by " +
                   "declared geometry";
        AddPicture(std::move(p));
    }

    // ---- signatures ----

    // Searches bytes [begin, bytes.size()) of `bytes` (the file, or a decoded base64 run when
    // `base` says where that run stands).
    void Search(TBytes bytes, size_t begin, const std::string& where, const size_t* base) {
        const bool inFile = base == nullptr;
        // Embedded streams found in this stretch: their scans are passed over.
        std::priority_queue<std::pair<size_t, size_t>, std::vector<std::pair<size_t, size_t>>,
                            std::greater<>>
            scans;
        size_t ownHeaderEnd = 0;
        for (size_t i = begin; i + 4 <= bytes.size() && !stopped_; ++i) {
            while (!scans.empty() && scans.top().first <= i) {
                i = std::max(i, scans.top().second);
                scans.pop();
            }
            if (i + 4 > bytes.size()) break;
            const uint8_t c = bytes[i];
            if (c != 0xFF && c != 0x89 && c != 'G' && c != 'R' && c != 'B' && c != 'I' &&
                c != 'M' && !(i + 8 <= bytes.size() && bytes[i + 4] == 'f'))
                continue;
            if (c == 0xFF && bytes[i + 1] != 0xD8 && JpegFrameKind(bytes[i + 1]) == nullptr &&
                bytes[i + 1] != 0xDA)
                continue;
            if (inFile && (c == 'I' || c == 'M') &&
                std::find(tiffBlocks_.begin(), tiffBlocks_.end(), i) != tiffBlocks_.end())
                continue;  // the Exif block, walked as a structure
            if (CostlySignature(bytes, i) && ++attempts_ > o_.MaxCandidates) {
                scan_.Problems.push_back("more than " + std::to_string(o_.MaxCandidates) +
                                         " JPEG, TIFF or ISO media signatures; the rest were not "
                                         "checked");
                stopped_ = true;
                return;
            }
            TFoundHeader f;
            bool found = false;
            if (c == 0xFF && bytes[i + 1] == 0xDA) {
                found = i >= ownHeaderEnd && SosAlone(bytes, i, f);
            } else if (c == 0xFF && bytes[i + 1] != 0xD8) {
                found = i >= ownHeaderEnd && ParseJpegFrame(bytes, i, f);
                if (found) f.Kind = "JPEG frame without SOI";
            } else {
                found = ParsePictureHeader(bytes, i, f);
            }
            if (!found) continue;
            TEmbeddedPicture p;
            p.Kind = f.Kind;
            p.Where = where;
            p.Offset = int64_t(inFile ? i : *base);
            p.Width = f.Width;
            p.Height = f.Height;
            if (c == 0xFF && bytes[i + 1] == 0xD8) {
                size_t scanStart = 0;
                const size_t streamEnd = StreamEnd(bytes, i, scanStart);
                ownHeaderEnd = std::max(ownHeaderEnd, scanStart);
                // The scan data of a picture that is a finding anyway is passed over; that of a
                // thumbnail is searched too (bytes after its last block hide from a decoder).
                if (inFile && JudgeJpegThumbnail(p, bytes, i, streamEnd)) {
                    if (p.Suspicious) scans.push({scanStart, streamEnd});
                    if (!AddPicture(std::move(p))) return;
                    continue;
                }
                scans.push({scanStart, streamEnd});
            }
            p.Suspicious = true;
            p.Reason = "a picture besides the saved one";
            if (!AddPicture(std::move(p))) return;
        }
    }

    // A scan header alone: a scan that decodes with the frame and tables of another stream (the
    // file's own, say). It counts when that picture is at least 8 × 8.
    bool SosAlone(TBytes bytes, size_t i, TFoundHeader& f) const {
        if (i + 5 > bytes.size()) return false;
        const size_t len = Be16(&bytes[i + 2]);
        const size_t ns = bytes[i + 4];
        if (ns < 1 || ns > 4 || len != 6 + 2 * ns || i + 2 + len > bytes.size()) return false;
        const uint8_t* s = &bytes[i + 5];
        for (size_t c = 0; c < ns; ++c)
            if ((s[2 * c + 1] >> 4) > 3 || (s[2 * c + 1] & 15) > 3) return false;
        const uint8_t ss = s[2 * ns], se = s[2 * ns + 1], a = s[2 * ns + 2];
        if (ss > 63 || se > 63 || ss > se || (a >> 4) > 13 || (a & 15) > 13) return false;
        if (scan_.Width < kMinFoundSide || scan_.Height < kMinFoundSide) return false;
        f.Kind = "JPEG scan without its header";
        f.Offset = i;
        f.Width = scan_.Width;
        f.Height = scan_.Height;
        return true;
    }

    static size_t StreamEnd(TBytes bytes, size_t i, size_t& scanStart) {
        // The first scan's data starts after the first SOS segment.
        size_t p = i + 2;
        scanStart = bytes.size();
        for (int k = 0; k < 4096 && p + 4 <= bytes.size() && bytes[p] == 0xFF; ++k) {
            const uint8_t m = bytes[p + 1];
            if (m == 0xFF) {
                ++p;
                continue;
            }
            if (m == 0xD9) break;
            const size_t len = Be16(&bytes[p + 2]);
            if (len < 2) break;
            p += 2 + len;
            if (m == 0xDA) {
                scanStart = std::min(p, bytes.size());
                break;
            }
        }
        return std::max(JpegStreamEnd(bytes, i), std::min(scanStart, bytes.size()));
    }

    // A JPEG stream where the structure declares a thumbnail: judged as one (true), or, when no
    // thumbnail is declared there, left to be a finding (false).
    bool JudgeJpegThumbnail(TEmbeddedPicture& p, TBytes bytes, size_t i, size_t streamEnd) {
        const auto t = std::find_if(thumbnails_.begin(), thumbnails_.end(),
                                    [&](const TDeclaredThumbnail& d) { return d.Offset == i; });
        if (t == thumbnails_.end()) return false;
        p.Thumbnail = true;
        p.Where = t->Where;
        if (!t->HasLength) {
            p.Suspicious = true;
            p.Reason = "a thumbnail without a declared length";
        } else if (streamEnd - i > t->Length) {
            p.Suspicious = true;
            p.Reason = "a thumbnail that runs " + std::to_string(streamEnd - i - t->Length) +
                       " bytes past its declared length";
        }
        TBitmap thumb;
        TDecodeInfo info;
        const bool decoded =
            p.Width <= o_.MaxThumbnailSide && p.Height <= o_.MaxThumbnailSide &&
            Decode(bytes.data() + i, streamEnd - i, {true, 0, 0, o_.CandidateMemory}, info,
                   &thumb) == TDecoded::Yes;
        if (!p.Suspicious) Judge(p, decoded ? &thumb : nullptr, info.Gray);
        return true;
    }

    // A thumbnail is allowed when it is at most MaxThumbnailSide square and shows the file's
    // picture locally.
    void Judge(TEmbeddedPicture& p, const TBitmap* thumb, bool gray) {
        if (p.Width > o_.MaxThumbnailSide || p.Height > o_.MaxThumbnailSide) {
            p.Suspicious = true;
            p.Reason = "a thumbnail larger than " + std::to_string(o_.MaxThumbnailSide) + " x " +
                       std::to_string(o_.MaxThumbnailSide);
            return;
        }
        if (thumb != nullptr && Reduced(thumb->Width(), thumb->Height()))
            p.Difference = LocalDifference(*thumb, reduced_, gray || reducedGray_);
        if (p.Difference < 0) {
            p.Suspicious = true;
            p.Reason = "a thumbnail that could not be compared with the picture";
        } else if (p.Difference > o_.MaxThumbnailDifference) {
            p.Suspicious = true;
            char why[128];
            std::snprintf(why, sizeof why,
                          "a thumbnail that differs from the picture by %.1f levels in places",
                          p.Difference);
            p.Reason = why;
        }
    }

    bool Reduced(int32_t w, int32_t h) {
        if (reducedTried_) return reducedOk_ && reduced_.Width() == w && reduced_.Height() == h;
        reducedTried_ = true;
        reducedOk_ = ReduceFile(b_.subspan(start_), w, h, o_.PictureMemory, reduced_, reducedGray_);
        return reducedOk_;
    }

    // ---- XMP ----

    void SearchBase64(const TRegion& r) {
        bool capped = false;
        const TBytes text = b_.subspan(r.Begin, r.End - r.Begin);
        const std::vector<TBase64Run> runs = FindBase64Runs(text, 64, text.size(), &capped);
        for (const TBase64Run& run : runs) {
            const size_t at = r.Begin + run.Offset;
            Search(run.Decoded, 0, r.Where + " base64", &at);
            if (stopped_) return;
        }
    }

    // The chunks of extended XMP, joined in the order they came: a run may cross them.
    void SearchExtendedXmp() {
        bool capped = false;
        for (const TBase64Run& run :
             FindBase64Runs(extendedXmp_, 64, extendedXmp_.size(), &capped)) {
            const size_t at = extendedXmpAt_;
            Search(run.Decoded, 0, "extended XMP base64", &at);
            if (stopped_) return;
        }
    }
};

}  // namespace

TJpegScan ScanJpegForLeaks(const uint8_t* data, size_t size, const TJpegVerifyOptions& o) {
    // The picture starts at the first byte, or after a 128-byte prefix (as the reader takes it).
    const auto soi = [&](size_t at) {
        return size >= at + 2 && data[at] == 0xFF && data[at + 1] == 0xD8;
    };
    const size_t start = soi(0) ? 0 : soi(128) ? 128 : 1;
    if (start == 1) throw EInvalidGraphic("Not a JPEG file (no start-of-image marker)");
    TScanner scanner(TBytes(data, size), start, o);
    return scanner.Run();
}

}  // namespace tilvo
