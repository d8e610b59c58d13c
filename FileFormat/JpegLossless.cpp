// Saving an edited JPEG by copying the coefficients of every untouched MCU from the source and
// encoding only the changed MCUs again, with the source's tables and sampling.
#include "JpegLossless.h"

#include <algorithm>
#include <cstring>
#include <future>
#include <numeric>
#include <vector>

#include "JPEGImage.h"
#include "JpegGlue.h"
#include "JpegSplice.h"

namespace tilvo {

using jpegglue::Guard;
using jpegglue::TErrorManager;

namespace {

struct TDecoder {
    jpeg_decompress_struct ci{};
    TErrorManager err;
    bool created = false;
    TDecoder() { ci.err = jpegglue::InitErrorManager(err); }
    ~TDecoder() {
        if (created) jpeg_destroy_decompress(&ci);
    }
    TDecoder(const TDecoder&) = delete;
    TDecoder& operator=(const TDecoder&) = delete;
};

struct TEncoder {
    jpeg_compress_struct ci{};
    TErrorManager err;
    jpegglue::TVectorDestination dest{};
    bool created = false;
    TEncoder() { ci.err = jpegglue::InitErrorManager(err); }
    ~TEncoder() {
        if (created) jpeg_destroy_compress(&ci);
    }
    TEncoder(const TEncoder&) = delete;
    TEncoder& operator=(const TEncoder&) = delete;
};

void SetReason(std::string* whyNot, const std::string& reason) {
    if (whyNot != nullptr) *whyNot = reason;
}

// libjpeg's own text of the fatal error, formatted with its parameters.
std::string JpegErrorText(const jpegglue::TErrorManager& err) {
    return err.message[0] != 0 ? std::string(err.message) : "JPEG error #" + std::to_string(err.code);
}

// Opens `bytes` and reads the header, keeping the APP1 segments (for the Exif orientation). The
// end of the data is fatal: a damaged source is never used as the base of a save.
bool OpenHeader(TDecoder& d, std::span<const uint8_t> bytes) {
    const unsigned char* data = bytes.data();
    const unsigned long size = static_cast<unsigned long>(bytes.size());
    d.err.endOfFileIsFatal = true;
    return Guard(d.err, [&] {
        jpeg_create_decompress(&d.ci);
        d.created = true;
        jpeg_mem_src(&d.ci, data, size);
        jpeg_save_markers(&d.ci, JPEG_APP0 + 1, 0xFFFF);
        jpeg_read_header(&d.ci, TRUE);
    });
}

// The Orientation value (tag 0x0112) of IFD0 in the first Exif APP1 segment; 1 when there is
// none or it cannot be read.
int ExifOrientation(const jpeg_decompress_struct& ci) {
    for (jpeg_saved_marker_ptr m = ci.marker_list; m != nullptr; m = m->next) {
        if (m->marker != JPEG_APP0 + 1) continue;
        const uint8_t* p = m->data;
        const size_t n = m->data_length;
        if (n < 14 || std::memcmp(p, "Exif\0\0", 6) != 0) continue;
        const uint8_t* t = p + 6;  // the TIFF header
        const size_t tn = n - 6;
        const bool big = t[0] == 'M' && t[1] == 'M';
        if (!big && !(t[0] == 'I' && t[1] == 'I')) return 1;
        const auto u16 = [&](size_t at) {
            return big ? uint32_t(t[at] << 8 | t[at + 1]) : uint32_t(t[at] | t[at + 1] << 8);
        };
        const auto u32 = [&](size_t at) {
            return big ? (u16(at) << 16 | u16(at + 2)) : (u16(at) | u16(at + 2) << 16);
        };
        const uint64_t ifd0 = u32(4);
        if (ifd0 + 2 > tn) return 1;
        const uint32_t count = u16(size_t(ifd0));
        for (uint32_t i = 0; i < count; ++i) {
            const uint64_t e = ifd0 + 2 + 12ull * i;
            if (e + 12 > tn) return 1;
            if (u16(size_t(e)) == 0x0112 && u16(size_t(e) + 2) == 3) return int(u16(size_t(e) + 8));
        }
        return 1;
    }
    return 1;
}

bool CheckSource(const jpeg_decompress_struct& ci, int32_t width, int32_t height,
                 std::string* whyNot) {
    if (ci.jpeg_color_space != JCS_YCbCr || ci.num_components != 3) {
        SetReason(whyNot, "the source is not a colour (YCbCr) JPEG");
        return false;
    }
    if (ci.data_precision != 8) {
        SetReason(whyNot, "the source is not an 8-bit JPEG");
        return false;
    }
    if (int64_t(ci.image_width) != width || int64_t(ci.image_height) != height) {
        SetReason(whyNot, "the picture's size differs from the source's");
        return false;
    }
    // The changed MCUs are encoded with these tables: a zero step cannot divide anything.
    for (int c = 0; c < ci.num_components; ++c) {
        const int n = ci.comp_info[c].quant_tbl_no;
        const JQUANT_TBL* q = n >= 0 && n < NUM_QUANT_TBLS ? ci.quant_tbl_ptrs[n] : nullptr;
        if (q == nullptr ||
            std::find(q->quantval, q->quantval + DCTSIZE2, 0) != q->quantval + DCTSIZE2) {
            SetReason(whyNot, "the source's quantisation tables cannot be encoded with");
            return false;
        }
    }
    const int orientation = ExifOrientation(ci);
    if (orientation != 0 && orientation != 1) {
        SetReason(whyNot, "the source is turned upright through its Exif orientation");
        return false;
    }
    return true;
}

// Rounds up to a multiple of m.
JDIMENSION RoundUp(JDIMENSION v, int m) {
    return (v + JDIMENSION(m) - 1) / JDIMENSION(m) * JDIMENSION(m);
}

// Compares the source's first MCU row, decoded as the open path decodes it, with the original's.
// A picture turned or taken from another file is caught here before any coefficient is kept.
bool FirstRowsMatch(const std::vector<uint8_t>& source, const TBitmap& original, int32_t rows,
                    std::string* whyNot) {
    TDecoder d;
    if (!OpenHeader(d, source)) {
        SetReason(whyNot, "the source JPEG cannot be read (" + JpegErrorText(d.err) + ")");
        return false;
    }
    const int32_t w = original.Width();
    std::vector<uint8_t> row(size_t(w) * 3 + 16);
    uint8_t* rowData = row.data();
    bool same = true;
    bool* sameFlag = &same;
    const bool ok = Guard(d.err, [&] {
        d.ci.out_color_space = JCS_EXT_BGR;
        jpeg_start_decompress(&d.ci);
        if (d.ci.output_components != 3 || d.ci.output_width != JDIMENSION(w)) {
            *sameFlag = false;
        } else {
            JSAMPROW r = rowData;
            for (int32_t y = 0; y < rows && *sameFlag; ++y) {
                jpeg_read_scanlines(&d.ci, &r, 1);
                *sameFlag = std::memcmp(rowData, original.ScanLine(y), size_t(w) * 3) == 0;
            }
        }
        jpeg_abort_decompress(&d.ci);
    });
    if (!ok) {
        SetReason(whyNot, "the source JPEG cannot be read (" + JpegErrorText(d.err) + ")");
        return false;
    }
    if (!same) SetReason(whyNot, "the picture does not match the file it was opened from");
    return same;
}

// The source's MCU grid.
struct TMcuGrid {
    int32_t W = 8, H = 8;  // an MCU's size in pixels
    int32_t Columns = 0, Rows = 0;
};

TMcuGrid McuGridOf(const jpeg_decompress_struct& ci) {
    int maxH = 1, maxV = 1;
    for (int c = 0; c < ci.num_components; ++c) {
        maxH = std::max(maxH, ci.comp_info[c].h_samp_factor);
        maxV = std::max(maxV, ci.comp_info[c].v_samp_factor);
    }
    TMcuGrid g;
    g.W = 8 * maxH;
    g.H = 8 * maxV;
    g.Columns = int32_t((int64_t(ci.image_width) + g.W - 1) / g.W);
    g.Rows = int32_t((int64_t(ci.image_height) + g.H - 1) / g.H);
    return g;
}

// Flags (in `flags`, the row's MCUs) every MCU in which the two rows of `rowBytes` bytes differ;
// every pixel is compared, so none can be missed. Answers how many were newly flagged.
int32_t MarkChangedMcus(const uint8_t* edited, const uint8_t* original, size_t rowBytes,
                        const TMcuGrid& g, uint8_t* flags) {
    if (std::memcmp(edited, original, rowBytes) == 0) return 0;
    int32_t count = 0;
    for (int32_t mx = 0; mx < g.Columns; ++mx) {
        if (flags[mx]) continue;
        const size_t x0 = size_t(mx) * size_t(g.W) * 3;
        const size_t x1 = std::min(size_t(mx + 1) * size_t(g.W) * 3, rowBytes);
        if (std::memcmp(edited + x0, original + x0, x1 - x0) != 0) {
            flags[mx] = 1;
            ++count;
        }
    }
    return count;
}

// Inside a guard: starts `e` encoding `rows` rows of the source's width with its tables and
// sampling into `bytes`, from B, G, R rows, without a JFIF segment.
void StartBandEncoder(TEncoder& e, const jpeg_decompress_struct& src, JDIMENSION rows,
                      std::vector<uint8_t>& bytes) {
    jpeg_create_compress(&e.ci);
    e.created = true;
    jpeg_copy_critical_parameters(const_cast<jpeg_decompress_struct*>(&src), &e.ci);
    e.ci.image_height = rows;
    e.ci.input_components = 3;
    e.ci.in_color_space = JCS_EXT_BGR;
    e.ci.write_JFIF_header = FALSE;
    jpegglue::SetVectorDestination(&e.ci, e.dest, bytes);
    jpeg_start_compress(&e.ci, TRUE);
}

// Encodes rows y0 .. y1 - 1 of the picture (held in `edited` from row `top`) with the source's
// tables and sampling into `bytes`.
void EncodeBand(const jpeg_decompress_struct& src, const TBitmap& edited, int32_t top, int32_t y0,
                int32_t y1, std::vector<uint8_t>& bytes) {
    std::vector<JSAMPROW> rows(size_t(y1 - y0));
    for (int32_t y = y0; y < y1; ++y)
        rows[size_t(y - y0)] = const_cast<uint8_t*>(edited.ScanLine(y - top));
    TEncoder e;
    JSAMPROW* rowTable = rows.data();
    if (!Guard(e.err, [&] {
            StartBandEncoder(e, src, JDIMENSION(y1 - y0), bytes);
            while (e.ci.next_scanline < e.ci.image_height)
                jpeg_write_scanlines(&e.ci, rowTable + e.ci.next_scanline,
                                     e.ci.image_height - e.ci.next_scanline);
            jpeg_finish_compress(&e.ci);
            jpegglue::FinishVector(e.dest);
        }))
        throw EJPEG(e.err.code);
}

// Copies the blocks of the changed MCUs of MCU rows r0 .. r1 - 1 from the band's coefficients
// (whose first MCU row is r0) into the source's.
void CopyChangedBlocks(jpeg_decompress_struct& src, jvirt_barray_ptr* srcCoefs,
                       jpeg_decompress_struct& band, jvirt_barray_ptr* bandCoefs,
                       const std::vector<uint8_t>& changed, int32_t mcuColumns, int32_t r0,
                       int32_t r1) {
    for (int c = 0; c < src.num_components; ++c) {
        const jpeg_component_info& sc = src.comp_info[c];
        const jpeg_component_info& bc = band.comp_info[c];
        const int h = sc.h_samp_factor, v = sc.v_samp_factor;
        const JDIMENSION srcRows = RoundUp(sc.height_in_blocks, v);
        const JDIMENSION bandRows = RoundUp(bc.height_in_blocks, v);
        const JDIMENSION cols =
            std::min(RoundUp(sc.width_in_blocks, h), RoundUp(bc.width_in_blocks, h));
        for (int32_t my = r0; my < r1; ++my) {
            const uint8_t* flags = &changed[size_t(my) * size_t(mcuColumns)];
            for (int by = 0; by < v; ++by) {
                const JDIMENSION sr = JDIMENSION(my) * JDIMENSION(v) + JDIMENSION(by);
                const JDIMENSION br = JDIMENSION(my - r0) * JDIMENSION(v) + JDIMENSION(by);
                if (sr >= srcRows || br >= bandRows) continue;
                JBLOCKROW to = (*src.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&src),
                                                              srcCoefs[c], sr, 1, TRUE)[0];
                JBLOCKROW from = (*band.mem->access_virt_barray)(
                    reinterpret_cast<j_common_ptr>(&band), bandCoefs[c], br, 1, FALSE)[0];
                for (int32_t mx = 0; mx < mcuColumns; ++mx) {
                    if (!flags[mx]) continue;
                    const JDIMENSION b0 = JDIMENSION(mx) * JDIMENSION(h);
                    const JDIMENSION b1 = std::min(b0 + JDIMENSION(h), cols);
                    if (b0 < b1) std::memcpy(to[b0], from[b0], sizeof(JBLOCK) * (b1 - b0));
                }
            }
        }
    }
}

}  // namespace

bool SaveJpegKeepingUntouchedInBands(std::span<const uint8_t> source, TBandEditor& editor,
                                     std::vector<uint8_t>& out, TKeepUntouchedStats* stats) {
    TDecoder src;
    if (!OpenHeader(src, source) || src.err.pub.num_warnings != 0) return false;
    jpeg_decompress_struct& si = src.ci;
    if (si.progressive_mode || si.restart_interval != 0 || si.arith_code ||
        !CheckSource(si, int32_t(si.image_width), int32_t(si.image_height), nullptr))
        return false;
    // The walk of the scan runs beside the decoding; it ends before this function does.
    std::future<std::shared_ptr<const TJpegScanIndex>> walk =
        std::async(std::launch::async, [source] { return IndexJpegScan(source); });
    struct TWait {
        std::future<std::shared_ptr<const TJpegScanIndex>>& f;
        ~TWait() {
            if (f.valid()) f.wait();
        }
    } wait{walk};

    const TMcuGrid grid = McuGridOf(si);
    const int32_t mcuH = grid.H, mcuColumns = grid.Columns, mcuRows = grid.Rows;
    std::vector<uint8_t> changed(size_t(mcuColumns) * size_t(mcuRows), 0);
    int32_t changedCount = 0, firstRow = 0;

    // The band's encoder: the source's tables and sampling, rows first .. end - 1.
    std::vector<uint8_t> bandBytes;
    TEncoder e;
    std::vector<JSAMPROW> table;
    TBitmap before;
    const bool decoded = DecodeJpegInBands(
        source,
        [&](int32_t w, int32_t h, int32_t& first, int32_t& end) {
            const int32_t alignment = std::max(editor.Begin(w, h), 1);
            const int32_t unit = std::lcm(alignment, mcuH);
            int32_t top = 0, bottom = h;
            editor.Reach(top, bottom);
            top = std::clamp(top, 0, h);
            bottom = std::clamp(bottom, top, h);
            first = top / unit * unit;
            end = bottom <= top ? first : std::min(h, (bottom + unit - 1) / unit * unit);
            firstRow = first / mcuH;
            if (!Guard(e.err, [&] {
                    StartBandEncoder(e, si, JDIMENSION(std::max(end - first, 1)), bandBytes);
                }))
                throw EJPEG(e.err.code);
            return unit * std::max(1, 64 / unit);
        },
        [&](TBitmap& band, int32_t top) {
            const size_t rowBytes = size_t(band.Width()) * 3;
            before.Resize(band.Width(), band.Height(), pf24bit);
            for (int32_t y = 0; y < band.Height(); ++y)
                std::memcpy(before.ScanLine(y), band.ScanLine(y), rowBytes);
            editor.Edit(band, top);
            for (int32_t y = 0; y < band.Height(); ++y)
                changedCount += MarkChangedMcus(
                    band.ScanLine(y), before.ScanLine(y), rowBytes, grid,
                    &changed[size_t((top + y) / mcuH) * size_t(mcuColumns)]);
            table.resize(size_t(band.Height()));
            for (int32_t y = 0; y < band.Height(); ++y) table[size_t(y)] = band.ScanLine(y);
            JSAMPROW* rows = table.data();
            const JDIMENSION at = JDIMENSION(top - firstRow * mcuH);
            if (!Guard(e.err, [&] {
                    const JDIMENSION end = at + JDIMENSION(band.Height());
                    while (e.ci.next_scanline < end)
                        jpeg_write_scanlines(&e.ci, rows + (e.ci.next_scanline - at),
                                             end - e.ci.next_scanline);
                }))
                throw EJPEG(e.err.code);
        });
    if (!decoded) return false;
    if (changedCount > 0) {
        if (!Guard(e.err, [&] {
                jpeg_finish_compress(&e.ci);
                jpegglue::FinishVector(e.dest);
            }))
            throw EJPEG(e.err.code);
    }
    const std::shared_ptr<const TJpegScanIndex> index = walk.get();
    if (index == nullptr || ScanIndexMcuColumns(*index) != mcuColumns ||
        ScanIndexMcuRows(*index) != mcuRows)
        return false;
    if (!SpliceJpeg(
            source, *index, changed,
            [&](int32_t, int32_t) { return TEditedRows{&bandBytes, firstRow}; }, out))
        return false;
    if (stats != nullptr) *stats = {mcuColumns, mcuRows, changedCount, true};
    return true;
}

int32_t JpegMcuRowHeight(const std::vector<uint8_t>& source) {
    TDecoder d;
    if (!OpenHeader(d, source)) return 0;
    return McuGridOf(d.ci).H;
}

bool CanKeepUntouched(const std::vector<uint8_t>& source, int32_t width, int32_t height,
                      std::string* whyNot) {
    if (source.empty()) {
        SetReason(whyNot, "the picture was not opened from a JPEG file");
        return false;
    }
    TDecoder d;
    if (!OpenHeader(d, source)) {
        SetReason(whyNot, "the source JPEG cannot be read (" + JpegErrorText(d.err) + ")");
        return false;
    }
    return CheckSource(d.ci, width, height, whyNot);
}

bool SaveJpegKeepingUntouched(const std::vector<uint8_t>& source, const TBitmap& edited,
                              const TBitmap& original, int32_t top, bool progressive, TStream& out,
                              std::string* whyNot, TKeepUntouchedStats* stats,
                              const TJpegScanIndex* index) {
    if (source.empty()) {
        SetReason(whyNot, "the picture was not opened from a JPEG file");
        return false;
    }
    if (edited.PixelFormat() != pf24bit || original.PixelFormat() != pf24bit ||
        edited.Width() != original.Width() || edited.Height() != original.Height() || top < 0 ||
        edited.Empty()) {
        SetReason(whyNot, "the edited picture does not match the one opened");
        return false;
    }
    TDecoder src;
    if (!OpenHeader(src, source)) {
        SetReason(whyNot, "the source JPEG cannot be read (" + JpegErrorText(src.err) + ")");
        return false;
    }
    jpeg_decompress_struct& si = src.ci;
    const int32_t width = edited.Width();
    const int32_t height = int32_t(si.image_height);
    const bool band = top != 0 || edited.Height() != height;
    if (!CheckSource(si, width, band ? height : edited.Height(), whyNot)) return false;

    const TMcuGrid grid = McuGridOf(si);
    const int32_t mcuH = grid.H, mcuColumns = grid.Columns, mcuRows = grid.Rows;
    const int32_t bottom = top + edited.Height();
    if (bottom > height || top % mcuH != 0 || (bottom != height && bottom % mcuH != 0)) {
        SetReason(whyNot, "the edited rows do not cover whole MCU rows of the source");
        return false;
    }
    if (top == 0 && !FirstRowsMatch(source, original, std::min(mcuH, bottom), whyNot)) return false;

    // Which MCUs hold a changed pixel.
    std::vector<uint8_t> changed(size_t(mcuColumns) * size_t(mcuRows), 0);
    int32_t changedCount = 0;
    for (int32_t y = top; y < bottom; ++y)
        changedCount += MarkChangedMcus(edited.ScanLine(y - top), original.ScanLine(y - top),
                                        size_t(width) * 3, grid,
                                        &changed[size_t(y / mcuH) * size_t(mcuColumns)]);

    // A baseline source: its untouched rows' bits are copied and only the changed rows are walked
    // again. Anything the splice does not take (its tables lack a code) goes the long way below.
    if (!progressive && !si.progressive_mode && si.restart_interval == 0 &&
        src.err.pub.num_warnings == 0) {
        std::shared_ptr<const TJpegScanIndex> own;
        if (index == nullptr) {
            own = IndexJpegScan(source);
            index = own.get();
        }
        std::vector<uint8_t> bytes, band;
        if (index != nullptr && ScanIndexMcuColumns(*index) == mcuColumns &&
            ScanIndexMcuRows(*index) == mcuRows &&
            SpliceJpeg(
                source, *index, changed,
                [&](int32_t first, int32_t end) {
                    EncodeBand(si, edited, top, first * mcuH, std::min(end * mcuH, height), band);
                    return TEditedRows{&band, first};
                },
                bytes)) {
            out.Write(bytes.data(), int64_t(bytes.size()));
            if (stats != nullptr) *stats = {mcuColumns, mcuRows, changedCount, true};
            return true;
        }
    }

    jvirt_barray_ptr* coefs = nullptr;
    if (!Guard(src.err, [&] { coefs = jpeg_read_coefficients(&si); })) {
        SetReason(whyNot, "the source JPEG cannot be read (" + JpegErrorText(src.err) + ")");
        return false;
    }
    if (src.err.pub.num_warnings != 0) {
        SetReason(whyNot, "the source JPEG is damaged");
        return false;
    }

    // Each run of MCU rows holding changes is encoded again as one band of the edited picture;
    // its changed MCUs' blocks replace the source's.
    for (int32_t r0 = 0; r0 < mcuRows;) {
        const auto rowChanged = [&](int32_t r) {
            const uint8_t* f = &changed[size_t(r) * size_t(mcuColumns)];
            return std::find(f, f + mcuColumns, uint8_t(1)) != f + mcuColumns;
        };
        if (!rowChanged(r0)) {
            ++r0;
            continue;
        }
        int32_t r1 = r0 + 1;
        while (r1 < mcuRows && rowChanged(r1)) ++r1;
        std::vector<uint8_t> bandBytes;
        EncodeBand(si, edited, top, r0 * mcuH, std::min(r1 * mcuH, height), bandBytes);
        TDecoder b;
        jvirt_barray_ptr* bandCoefs = nullptr;
        if (!OpenHeader(b, bandBytes) || !Guard(b.err, [&] {
                bandCoefs = jpeg_read_coefficients(&b.ci);
                CopyChangedBlocks(si, coefs, b.ci, bandCoefs, changed, mcuColumns, r0, r1);
            }))
            throw EJPEG(b.err.code);
        r0 = r1;
    }

    std::vector<uint8_t> bytes;
    TEncoder w;
    if (!Guard(w.err, [&] {
            jpeg_create_compress(&w.ci);
            w.created = true;
            jpeg_copy_critical_parameters(&si, &w.ci);
            w.ci.restart_interval = si.restart_interval;
            if (progressive || si.progressive_mode) jpeg_simple_progression(&w.ci);
            jpegglue::SetVectorDestination(&w.ci, w.dest, bytes);
            jpeg_write_coefficients(&w.ci, coefs);
            jpeg_finish_compress(&w.ci);
            jpegglue::FinishVector(w.dest);
        }))
        throw EJPEG(w.err.code);
    out.Write(bytes.data(), int64_t(bytes.size()));
    if (stats != nullptr) *stats = {mcuColumns, mcuRows, changedCount};
    return true;
}

}  // namespace tilvo
