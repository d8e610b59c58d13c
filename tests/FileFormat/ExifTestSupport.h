// Test helpers for Exif blocks and JPEG files built in test code: a TIFF/IFD builder that records
// where every value landed, a plain libjpeg encoder, and segment insertion.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "Effector/Bitmap.h"
#include "FileFormat/JpegGlue.h"

namespace tilvo::test {

// Encodes a 24-bit surface with plain libjpeg: 4:4:4 (or 4:2:0), baseline, a JFIF APP0.
inline std::vector<uint8_t> LibjpegEncode(const TBitmap& bmp, int quality = 95,
                                          bool fullChroma = true) {
    jpeg_compress_struct ci{};
    jpegglue::TErrorManager err;
    ci.err = jpegglue::InitErrorManager(err);
    std::vector<uint8_t> out;
    jpegglue::TVectorDestination dest{};
    std::vector<JSAMPROW> rows(size_t(bmp.Height()));
    for (int32_t y = 0; y < bmp.Height(); ++y)
        rows[size_t(y)] = const_cast<uint8_t*>(bmp.ScanLine(y));
    JSAMPROW* table = rows.data();
    const JDIMENSION w = JDIMENSION(bmp.Width()), h = JDIMENSION(bmp.Height());
    const bool ok = jpegglue::Guard(err, [&] {
        jpeg_create_compress(&ci);
        jpegglue::SetVectorDestination(&ci, dest, out);
        ci.image_width = w;
        ci.image_height = h;
        ci.input_components = 3;
        ci.in_color_space = JCS_EXT_BGR;
        jpeg_set_defaults(&ci);
        jpeg_set_quality(&ci, quality, TRUE);
        if (fullChroma)
            for (int c = 0; c < 3; ++c)
                ci.comp_info[c].h_samp_factor = ci.comp_info[c].v_samp_factor = 1;
        jpeg_start_compress(&ci, TRUE);
        while (ci.next_scanline < ci.image_height)
            jpeg_write_scanlines(&ci, table + ci.next_scanline, ci.image_height - ci.next_scanline);
        jpeg_finish_compress(&ci);
        jpegglue::FinishVector(dest);
    });
    jpeg_destroy_compress(&ci);
    if (!ok) throw std::runtime_error("libjpeg encode " + std::to_string(err.code));
    return out;
}

// A JPEG with `segment` inserted after its leading APP0 segments.
inline std::vector<uint8_t> WithSegment(const std::vector<uint8_t>& jpeg,
                                        const std::vector<uint8_t>& segment) {
    size_t pos = 2;
    while (pos + 4 <= jpeg.size() && jpeg[pos] == 0xFF && jpeg[pos + 1] == 0xE0)
        pos += 2 + (size_t(jpeg[pos + 2]) << 8 | jpeg[pos + 3]);
    std::vector<uint8_t> out(jpeg.begin(), jpeg.begin() + std::ptrdiff_t(pos));
    out.insert(out.end(), segment.begin(), segment.end());
    out.insert(out.end(), jpeg.begin() + std::ptrdiff_t(pos), jpeg.end());
    return out;
}

// A marker segment: FF marker, length, payload.
inline std::vector<uint8_t> MarkerSegment(uint8_t marker, const std::vector<uint8_t>& payload) {
    const size_t len = payload.size() + 2;
    std::vector<uint8_t> s(payload.size() + 4);
    s[0] = 0xFF;
    s[1] = marker;
    s[2] = uint8_t(len >> 8);
    s[3] = uint8_t(len);
    std::copy(payload.begin(), payload.end(), s.begin() + 4);
    return s;
}

// The first APP1 segment of a JPEG file (marker included); empty when there is none.
inline std::vector<uint8_t> FirstApp1(const std::vector<uint8_t>& jpeg) {
    size_t pos = 2;
    while (pos + 4 <= jpeg.size() && jpeg[pos] == 0xFF && jpeg[pos + 1] != 0xDA) {
        const size_t len = size_t(jpeg[pos + 2]) << 8 | jpeg[pos + 3];
        if (jpeg[pos + 1] == 0xE1)
            return std::vector<uint8_t>(jpeg.begin() + std::ptrdiff_t(pos),
                                        jpeg.begin() + std::ptrdiff_t(pos + 2 + len));
        pos += 2 + len;
    }
    return {};
}

// Builds an Exif APP1 segment from IFDs of tags with their values, laid out as cameras do:
// header, IFD0, the Exif IFD, the GPS IFD, IFD1, the values that do not fit an entry, then the
// thumbnail. It records where every entry and every value landed (segment positions).
class TTiffBuilder {
  public:
    enum TIfdId { Ifd0 = 0, ExifIfd = 1, GpsIfd = 2, Ifd1 = 3 };
    struct TTag {
        uint16_t Tag = 0, Type = 0;
        uint32_t Count = 0;
        std::vector<uint8_t> Value;  // in the block's byte order
    };
    struct TPlace {
        size_t Entry = 0;            // segment position of the entry
        size_t Value = 0, Size = 0;  // segment position and size of the value bytes
    };

    explicit TTiffBuilder(bool bigEndian) : be_(bigEndian) {}

    std::vector<uint8_t> U16(uint32_t v) const {
        return be_ ? std::vector<uint8_t>{uint8_t(v >> 8), uint8_t(v)}
                   : std::vector<uint8_t>{uint8_t(v), uint8_t(v >> 8)};
    }
    std::vector<uint8_t> U32(uint32_t v) const {
        return be_ ? std::vector<uint8_t>{uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8),
                                          uint8_t(v)}
                   : std::vector<uint8_t>{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16),
                                          uint8_t(v >> 24)};
    }
    void Short(TIfdId ifd, uint16_t tag, uint16_t v) { Add(ifd, {tag, 3, 1, U16(v)}); }
    void Long(TIfdId ifd, uint16_t tag, uint32_t v) { Add(ifd, {tag, 4, 1, U32(v)}); }
    void Ascii(TIfdId ifd, uint16_t tag, const std::string& s) {
        std::vector<uint8_t> v(s.begin(), s.end());
        v.push_back(0);
        Add(ifd, {tag, 2, uint32_t(v.size()), v});
    }
    void Bytes(TIfdId ifd, uint16_t tag, uint16_t type, const std::vector<uint8_t>& v) {
        Add(ifd, {tag, type, uint32_t(v.size()), v});
    }
    void Rationals(TIfdId ifd, uint16_t tag, const std::vector<uint32_t>& pairs) {
        std::vector<uint8_t> v;
        for (uint32_t x : pairs) {
            const auto b = U32(x);
            v.insert(v.end(), b.begin(), b.end());
        }
        Add(ifd, {tag, 5, uint32_t(pairs.size() / 2), v});
    }
    void Thumbnail(const std::vector<uint8_t>& jpeg) { thumb_ = jpeg; }

    // The segment; Places() then tells where everything is.
    std::vector<uint8_t> Build() {
        places_.clear();
        // The pointers to the Exif and GPS IFDs and IFD1's thumbnail entries take placeholders.
        std::vector<TTag> ifd[4] = {ifds_[0], ifds_[1], ifds_[2], ifds_[3]};
        if (!ifd[ExifIfd].empty()) ifd[Ifd0].push_back({0x8769, 4, 1, U32(0)});
        if (!ifd[GpsIfd].empty()) ifd[Ifd0].push_back({0x8825, 4, 1, U32(0)});
        if (!thumb_.empty()) {
            ifd[Ifd1].push_back({0x0103, 3, 1, U16(6)});
            ifd[Ifd1].push_back({0x0201, 4, 1, U32(0)});
            ifd[Ifd1].push_back({0x0202, 4, 1, U32(uint32_t(thumb_.size()))});
        }
        size_t at[4] = {};
        size_t pos = 8;
        for (int i = 0; i < 4; ++i) {
            if (ifd[i].empty() && i != Ifd0) continue;
            at[i] = pos;
            pos += 2 + 12 * ifd[i].size() + 4;
        }
        size_t data = pos;
        std::vector<uint8_t> t(data, 0);
        size_t head = 0;
        Put(t, head, U16(be_ ? 0x4D4D : 0x4949));
        Put(t, head, U16(42));
        Put(t, head, U32(8));
        std::vector<uint8_t> values;
        for (int i = 0; i < 4; ++i) {
            if (at[i] == 0) continue;
            size_t p = at[i];
            Put(t, p, U16(uint32_t(ifd[i].size())));
            for (TTag& e : ifd[i]) {
                if (e.Tag == 0x8769) e.Value = U32(uint32_t(at[ExifIfd]));
                if (e.Tag == 0x8825) e.Value = U32(uint32_t(at[GpsIfd]));
                if (e.Tag == 0x0201 && i == Ifd1) e.Value = U32(0);  // filled below
                TPlace place;
                place.Entry = 10 + p;
                Put(t, p, U16(e.Tag));
                Put(t, p, U16(e.Type));
                Put(t, p, U32(e.Count));
                if (e.Value.size() <= 4) {
                    std::vector<uint8_t> field = e.Value;
                    field.resize(4, 0);
                    place.Value = 10 + p;
                    place.Size = e.Value.size();
                    Put(t, p, field);
                } else {
                    const size_t v = data + values.size();
                    place.Value = 10 + v;
                    place.Size = e.Value.size();
                    Put(t, p, U32(uint32_t(v)));
                    values.insert(values.end(), e.Value.begin(), e.Value.end());
                    if (values.size() % 2) values.push_back(0);
                }
                places_[{i, e.Tag}] = place;
            }
            const uint32_t next = i == Ifd0 && at[Ifd1] != 0 ? uint32_t(at[Ifd1]) : 0;
            Put(t, p, U32(next));
            ifdPlace_[i] = {10 + at[i], 10 + p};
        }
        t.insert(t.end(), values.begin(), values.end());
        if (!thumb_.empty()) {
            thumbAt_ = t.size();
            size_t p = places_[{Ifd1, 0x0201}].Entry - 10 + 8;
            Put(t, p, U32(uint32_t(thumbAt_)));
            t.insert(t.end(), thumb_.begin(), thumb_.end());
        }
        static const uint8_t kHead[] = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
        std::vector<uint8_t> s(sizeof kHead + t.size());
        std::copy(std::begin(kHead), std::end(kHead), s.begin());
        std::copy(t.begin(), t.end(), s.begin() + sizeof kHead);
        s[2] = uint8_t((s.size() - 2) >> 8);
        s[3] = uint8_t(s.size() - 2);
        return s;
    }
    const TPlace& Place(TIfdId ifd, uint16_t tag) const { return places_.at({int(ifd), tag}); }
    // Segment positions [begin, end) of an IFD (count, entries and link).
    std::pair<size_t, size_t> IfdRange(TIfdId ifd) const { return ifdPlace_.at(int(ifd)); }
    size_t ThumbnailAt() const { return 10 + thumbAt_; }  // segment position

  private:
    void Add(TIfdId ifd, TTag t) { ifds_[ifd].push_back(std::move(t)); }
    static void Put(std::vector<uint8_t>& t, size_t& p, const std::vector<uint8_t>& b) {
        std::copy(b.begin(), b.end(), t.begin() + std::ptrdiff_t(p));
        p += b.size();
    }
    bool be_;
    std::vector<TTag> ifds_[4];
    std::vector<uint8_t> thumb_;
    size_t thumbAt_ = 0;
    std::map<std::pair<int, uint16_t>, TPlace> places_;
    std::map<int, std::pair<size_t, size_t>> ifdPlace_;
};

}  // namespace tilvo::test
