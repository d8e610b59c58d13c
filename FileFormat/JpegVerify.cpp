// The leak check of saved JPEG files: the marker walk, the candidates and their decoding.
#include "JpegVerify.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Effector/Resample.h"
#include "ExifJpeg.h"
#include "Graphic.h"
#include "JpegGlue.h"

namespace tilvo {

using jpegglue::Guard;
using jpegglue::TErrorManager;

bool TJpegScan::Clean() const {
    if (!Problems.empty()) return false;
    return std::none_of(Pictures.begin(), Pictures.end(),
                        [](const TEmbeddedPicture& p) { return p.Suspicious; });
}

std::string TJpegScan::FirstFinding() const {
    for (const TEmbeddedPicture& p : Pictures) {
        if (!p.Suspicious) continue;
        char where[64];
        std::snprintf(where, sizeof where, " (%s, offset %lld)", p.Where.c_str(),
                      static_cast<long long>(p.Offset));
        return p.Reason + where;
    }
    return Problems.empty() ? std::string() : Problems.front();
}

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

// The mean absolute difference of two 24-bit surfaces of one size, per channel, or of their
// luminance when `gray`.
double MeanDifference(const TBitmap& a, const TBitmap& b, bool gray) {
    const int32_t w = a.Width(), h = a.Height();
    uint64_t sum = 0;
    for (int32_t y = 0; y < h; ++y) {
        const uint8_t* p = a.ScanLine(y);
        const uint8_t* q = b.ScanLine(y);
        if (gray) {
            for (int32_t x = 0; x < w; ++x, p += 3, q += 3) {
                const int la = (114 * p[0] + 587 * p[1] + 299 * p[2] + 500) / 1000;
                const int lb = (114 * q[0] + 587 * q[1] + 299 * q[2] + 500) / 1000;
                sum += uint64_t(std::abs(la - lb));
            }
        } else {
            for (int32_t i = 0; i < 3 * w; ++i) sum += uint64_t(std::abs(int(p[i]) - int(q[i])));
        }
    }
    const double n = double(w) * h * (gray ? 1 : 3);
    return n > 0 ? double(sum) / n : 0.0;
}

const char* MarkerName(uint8_t m, char (&buf)[16]) {
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
    }
    std::snprintf(buf, sizeof buf, "marker %02X", m);
    return buf;
}

struct TRegion {
    size_t Begin = 0, End = 0;
    std::string Where;
};

// The file's own structure: the marker segments (as regions to search) up to the end of the
// picture, and whatever follows it, or follows the point where the structure breaks off.
struct TLayout {
    std::vector<TRegion> Regions;
    int64_t Thumbnail = -1;  // file position of the Exif thumbnail, when the block names one
    int32_t Width = 0, Height = 0;
};

TLayout WalkMarkers(const uint8_t* data, size_t size, size_t start) {
    TLayout l;
    // The bytes before a picture that starts after a 128-byte prefix are searched as well.
    if (start > 0) l.Regions.push_back({0, start, "before SOI"});
    bool firstApp1 = true;
    size_t pos = start + 2;
    const auto rest = [&](size_t from, const char* where) {
        if (from < size) l.Regions.push_back({from, size, where});
    };
    for (;;) {
        if (pos >= size) return l;  // the file ends inside its own picture
        if (data[pos] != 0xFF) {
            rest(pos, "after broken markers");
            return l;
        }
        while (pos + 1 < size && data[pos + 1] == 0xFF) ++pos;  // fill bytes
        if (pos + 1 >= size) return l;
        const uint8_t m = data[pos + 1];
        if (m == 0xD9) {
            rest(pos + 2, "after EOI");
            return l;
        }
        if (m == 0xD8 || m == 0x00) {
            rest(pos, "after broken markers");
            return l;
        }
        pos += 2;
        if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) continue;  // markers without a segment
        if (pos + 2 > size) return l;
        const size_t len = size_t(data[pos]) << 8 | data[pos + 1];
        if (len < 2) {
            rest(pos - 2, "after broken markers");
            return l;
        }
        const size_t payload = pos + 2, end = std::min(size, pos + len);
        char name[16];
        l.Regions.push_back({payload, end, MarkerName(m, name)});
        if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC && end - payload >= 5 &&
            l.Width == 0) {
            l.Height = int32_t(data[payload + 1]) << 8 | data[payload + 2];
            l.Width = int32_t(data[payload + 3]) << 8 | data[payload + 4];
        }
        if (m == 0xE1 && firstApp1) {
            firstApp1 = false;
            uint32_t offset = 0;
            if (end - payload >= 6 && std::memcmp(data + payload, "Exif\0\0", 6) == 0 &&
                ExifThumbnailOffset(data + payload + 6, end - payload - 6, offset))
                l.Thumbnail = int64_t(payload) + 6 + offset;
        }
        pos = payload - 2 + len;
        if (m != 0xDA) continue;
        // Entropy-coded data: a 0xFF in it is followed by 0 (a stuffed byte) or a restart marker;
        // anything else is the next marker.
        while (pos + 1 < size) {
            if (data[pos] == 0xFF && data[pos + 1] != 0 && data[pos + 1] != 0xFF &&
                !(data[pos + 1] >= 0xD0 && data[pos + 1] <= 0xD7))
                break;
            ++pos;
        }
        if (pos + 1 >= size) return l;
    }
}

}  // namespace

double ThumbnailDifference(const std::vector<uint8_t>& jpeg, const TBitmap& reduced) {
    TBitmap thumb;
    TDecodeInfo info;
    if (Decode(jpeg.data(), jpeg.size(), {true, 0, 0, int64_t{256} << 20}, info, &thumb) !=
            TDecoded::Yes ||
        thumb.Width() != reduced.Width() || thumb.Height() != reduced.Height() ||
        reduced.PixelFormat() != pf24bit)
        return -1;
    return MeanDifference(thumb, reduced, info.Gray);
}

TJpegScan ScanJpegForLeaks(const uint8_t* data, size_t size, const TJpegVerifyOptions& o) {
    // The picture starts at the first byte, or after a 128-byte prefix (as the reader takes it).
    const auto soi = [&](size_t at) {
        return size >= at + 2 && data[at] == 0xFF && data[at + 1] == 0xD8;
    };
    const size_t start = soi(0) ? 0 : soi(128) ? 128 : 1;
    if (start == 1) throw EInvalidGraphic("Not a JPEG file (no start-of-image marker)");
    TJpegScan scan;
    const TLayout layout = WalkMarkers(data, size, start);
    scan.Width = layout.Width;
    scan.Height = layout.Height;

    // The file's own picture reduced to the thumbnail's size, made when first needed.
    TBitmap reduced;
    bool reducedMade = false, reducedOk = false, reducedGray = false;
    const auto reduceTo = [&](int32_t w, int32_t h) -> bool {
        if (reducedMade) return reducedOk && reduced.Width() == w && reduced.Height() == h;
        reducedMade = true;
        if (o.ReducedReference != nullptr && o.ReducedReference->Width() == w &&
            o.ReducedReference->Height() == h) {
            reduced.Assign(*o.ReducedReference);
        } else if (o.Reference != nullptr) {
            reduced.Assign(*o.Reference);
        } else {
            TDecodeRequest rq{true, w, h, o.PictureMemory};
            TDecodeInfo info;
            if (Decode(data + start, size - start, rq, info, &reduced) != TDecoded::Yes) {
                return false;
            }
            reducedGray = info.Gray;
        }
        if (reduced.PixelFormat() != pf24bit) reduced.SetPixelFormat(pf24bit);
        ResampleAreaAverage(reduced, w, h);
        reducedOk = true;
        return true;
    };

    int attempts = 0;
    for (const TRegion& r : layout.Regions) {
        for (size_t i = r.Begin; i + 2 < r.End; ++i) {
            if (data[i] != 0xFF || data[i + 1] != 0xD8 || data[i + 2] != 0xFF) continue;
            if (attempts == o.MaxCandidates) {
                scan.Problems.push_back("more than " + std::to_string(o.MaxCandidates) +
                                        " embedded JPEG starts; the rest were not checked");
                return scan;
            }
            ++attempts;
            TEmbeddedPicture p;
            p.Where = r.Where;
            p.Offset = int64_t(i);
            p.Thumbnail = int64_t(i) == layout.Thumbnail;
            TDecodeInfo info;
            const TDecoded got =
                Decode(data + i, r.End - i, {false, 0, 0, o.CandidateMemory}, info, nullptr);
            if (got == TDecoded::No) continue;  // not a picture anyone can see
            p.Width = info.Width;
            p.Height = info.Height;
            if (got == TDecoded::TooLarge) {
                p.Suspicious = true;
                p.Reason = "an embedded picture too large to check";
            } else if (!p.Thumbnail) {
                p.Suspicious = true;
                p.Reason = "an embedded picture besides the saved one";
            } else if (!o.ThumbnailAllowed) {
                p.Suspicious = true;
                p.Reason = "an Exif thumbnail the save did not write";
            } else {
                TBitmap thumb;
                TDecodeInfo tinfo;
                const bool decoded = Decode(data + i, r.End - i, {true, 0, 0, o.CandidateMemory},
                                            tinfo, &thumb) == TDecoded::Yes;
                // The thumbnail is decoded at full size (scale 8/8).
                if (decoded && reduceTo(thumb.Width(), thumb.Height()))
                    p.Difference = MeanDifference(thumb, reduced, tinfo.Gray || reducedGray);
                if (p.Difference < 0) {
                    p.Suspicious = true;
                    p.Reason = "an Exif thumbnail that could not be compared with the picture";
                } else if (p.Difference > o.MaxThumbnailDifference) {
                    p.Suspicious = true;
                    char why[96];
                    std::snprintf(why, sizeof why,
                                  "an Exif thumbnail that differs from the picture by %.1f levels",
                                  p.Difference);
                    p.Reason = why;
                }
            }
            scan.Pictures.push_back(std::move(p));
        }
    }
    return scan;
}

namespace {

// What is checked is what the file holds, read back before it replaces anything. Without a
// picture, any thumbnail found is compared with the file's own picture.
void CommitChecked(TSafeFileStream& file, const TBitmap* picture, bool thumbnailWritten,
                   const TBitmap* reduced) {
    const TFileBytes written(file);
    TJpegVerifyOptions o;
    o.ThumbnailAllowed = thumbnailWritten;
    o.Reference = picture;
    o.ReducedReference = reduced;
    const TJpegScan scan = ScanJpegForLeaks(written.Bytes().data(), written.Bytes().size(), o);
    if (!scan.Clean())
        throw EJpegLeak("The JPEG file was not saved: it would carry " + scan.FirstFinding());
    file.Commit();
}

}  // namespace

void CommitVerifiedJpeg(TSafeFileStream& file, const TBitmap& picture, bool thumbnailWritten,
                        const TBitmap* reduced) {
    CommitChecked(file, &picture, thumbnailWritten, reduced);
}

void WriteVerifiedJpeg(const std::string& fileName, const TBitmap& picture,
                       const std::vector<uint8_t>& bytes, bool thumbnailWritten,
                       const TBitmap* reduced) {
    TSafeFileStream file(fileName);
    if (!bytes.empty()) file.Write(bytes.data(), int64_t(bytes.size()));
    CommitVerifiedJpeg(file, picture, thumbnailWritten, reduced);
}

void WriteVerifiedJpeg(const std::string& fileName, const std::vector<uint8_t>& bytes) {
    TSafeFileStream file(fileName);
    if (!bytes.empty()) file.Write(bytes.data(), int64_t(bytes.size()));
    CommitChecked(file, nullptr, false, nullptr);
}

}  // namespace tilvo
