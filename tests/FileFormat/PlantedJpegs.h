// JPEG files with a picture planted where a redacting writer might leave one: in Exif strips,
// private tags, maker notes, XMP base64, APP segments, JFIF/JFXX thumbnails, after EOI. Each is
// built here from a picture (what the user hid, say) and a carrier file (the saved picture).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Effector/Resample.h"
#include "ExifTestSupport.h"
#include "FileFormat/BMPImage.h"
#include "FileFormat/ExifJpeg.h"
#include "FileFormat/PNGImage.h"
#include "FileFormat/Stream.h"
#include "FileFormat/WebPImage.h"
#include "JpegTestSupport.h"

namespace tilvo::test {

// A picture hidden by a mosaic: a face-like sketch, dark features on a light ground, over a
// smooth gradient.
inline void MakeFacePicture(TBitmap& bmp, int32_t w, int32_t h) {
    bmp.Resize(w, h, pf24bit);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            uint8_t* p = bmp.ScanLine(y) + 3 * x;
            p[0] = uint8_t(60 + 120 * x / w);
            p[1] = uint8_t(90 + 100 * y / h);
            p[2] = uint8_t(140 - 60 * (x + y) / (w + h));
        }
    const int32_t cx = w / 2, cy = h / 2, r = std::min(w, h) / 3;
    for (int32_t y = 0; y < h; ++y) {
        uint8_t* row = bmp.ScanLine(y);
        for (int32_t x = 0; x < w; ++x) {
            const int32_t dx = x - cx, dy = y - cy;
            if (dx * dx + dy * dy > r * r) continue;
            // Eyes, a nose, a mouth: 1/6 of the radius wide, black on skin.
            const int32_t e = r / 6;
            const bool eye =
                (std::abs(dx + r / 3) < e || std::abs(dx - r / 3) < e) && std::abs(dy + r / 4) < e;
            const bool mouth = std::abs(dx) < r / 2 && std::abs(dy - r / 2) < e / 2;
            const bool nose = std::abs(dx) < e / 3 && dy > -r / 6 && dy < r / 5;
            uint8_t* p = row + 3 * x;
            const bool ink = eye || mouth || nose;
            p[0] = ink ? 10 : 170;
            p[1] = ink ? 10 : 200;
            p[2] = ink ? 20 : 240;
        }
    }
}

// Every cell x cell square of `bmp` (of the rectangle from x, y, w wide and h high, when given)
// made its mean colour.
inline void Mosaic(TBitmap& bmp, int32_t cell, int32_t left = 0, int32_t top = 0, int32_t w = 0,
                   int32_t h = 0) {
    const int32_t right = w > 0 ? left + w : bmp.Width(), bottom = h > 0 ? top + h : bmp.Height();
    for (int32_t y0 = top; y0 < bottom; y0 += cell)
        for (int32_t x0 = left; x0 < right; x0 += cell) {
            const int32_t y1 = std::min(bottom, y0 + cell), x1 = std::min(right, x0 + cell);
            uint64_t sum[3] = {0, 0, 0};
            for (int32_t y = y0; y < y1; ++y)
                for (int32_t x = x0; x < x1; ++x)
                    for (int c = 0; c < 3; ++c) sum[c] += bmp.ScanLine(y)[3 * x + c];
            const uint64_t n = uint64_t(y1 - y0) * uint64_t(x1 - x0);
            for (int32_t y = y0; y < y1; ++y)
                for (int32_t x = x0; x < x1; ++x)
                    for (int c = 0; c < 3; ++c) bmp.ScanLine(y)[3 * x + c] = uint8_t(sum[c] / n);
        }
}

inline std::vector<uint8_t> Reduced(const TBitmap& bmp, int32_t w, int32_t h, int quality = 85) {
    TBitmap small;
    small.Assign(bmp);
    ResampleAreaAverage(small, w, h);
    return LibjpegEncode(small, quality, false);
}

inline std::vector<uint8_t> Saved(TGraphic& g, const TBitmap& bmp) {
    g.Assign(bmp);
    TMemoryStream s;
    g.SaveToStream(s);
    return s.Memory();
}

inline void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& b) {
    to.insert(to.end(), b.begin(), b.end());
}

inline void PutLe16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
inline void PutLe32(std::vector<uint8_t>& b, uint32_t v) {
    PutLe16(b, v & 0xFFFF);
    PutLe16(b, v >> 16);
}
inline void PutBe32(std::vector<uint8_t>& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
}

// A little-endian Exif APP1 segment whose IFD0 points (0x014A) to a SubIFD of raw RGB strips.
inline std::vector<uint8_t> ExifWithSubIfdStrips(const TBitmap& hidden, int32_t w, int32_t h) {
    std::vector<uint8_t> t = {'I', 'I', 42, 0};
    PutLe32(t, 8);
    // IFD0: one entry, the SubIFD pointer; then the SubIFD at 26.
    PutLe16(t, 1);
    PutLe16(t, 0x014A), PutLe16(t, 4), PutLe32(t, 1), PutLe32(t, 26);
    PutLe32(t, 0);
    const uint32_t entries = 6, pixels = 26 + 2 + 12 * entries + 4;
    PutLe16(t, entries);
    const auto entry = [&](uint16_t tag, uint16_t type, uint32_t v) {
        PutLe16(t, tag), PutLe16(t, type), PutLe32(t, 1), PutLe32(t, v);
    };
    entry(0x0100, 4, uint32_t(w));
    entry(0x0101, 4, uint32_t(h));
    entry(0x0103, 3, 1);
    entry(0x0106, 3, 2);
    entry(0x0111, 4, pixels);
    entry(0x0117, 4, uint32_t(w * h * 3));
    PutLe32(t, 0);
    TBitmap small;
    small.Assign(hidden);
    ResampleAreaAverage(small, w, h);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            for (int c = 2; c >= 0; --c) t.push_back(small.ScanLine(y)[3 * x + c]);
    std::vector<uint8_t> payload = {'E', 'x', 'i', 'f', 0, 0};
    Append(payload, t);
    return MarkerSegment(0xE1, payload);
}

// An IFD0 with the hidden picture as raw strips (counted or not).
inline std::vector<uint8_t> ExifWithIfd0Strips(const TBitmap& hidden, int32_t w, int32_t h,
                                               bool byteCounts) {
    TTiffBuilder b(false);
    b.Long(TTiffBuilder::Ifd0, 0x0100, uint32_t(w));
    b.Long(TTiffBuilder::Ifd0, 0x0101, uint32_t(h));
    b.Short(TTiffBuilder::Ifd0, 0x0103, 1);
    b.Long(TTiffBuilder::Ifd0, 0x0111, 0);  // set below, to the private tag's bytes
    if (byteCounts) b.Long(TTiffBuilder::Ifd0, 0x0117, uint32_t(w * h * 3));
    TBitmap small;
    small.Assign(hidden);
    ResampleAreaAverage(small, w, h);
    std::vector<uint8_t> rgb;
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            for (int c = 2; c >= 0; --c) rgb.push_back(small.ScanLine(y)[3 * x + c]);
    b.Bytes(TTiffBuilder::Ifd0, 0xC6FE, 7, rgb);
    std::vector<uint8_t> seg = b.Build();
    const size_t at = b.Place(TTiffBuilder::Ifd0, 0xC6FE).Value - 10;  // within the block
    const size_t field = b.Place(TTiffBuilder::Ifd0, 0x0111).Value;
    for (int k = 0; k < 4; ++k) seg[field + size_t(k)] = uint8_t(at >> (8 * k));
    return seg;
}

// A JPEG stream that holds FF D9 in a comment before its frame: a remover that cuts at the first
// FF D9 leaves the frame, the tables and the scan.
inline std::vector<uint8_t> JpegWithEoiInHeader(const TBitmap& hidden) {
    return WithSegment(Reduced(hidden, 96, 72), MarkerSegment(0xFE, {'x', 0xFF, 0xD9, 'y'}));
}

// A lossless (SOF3) JPEG header: 32 x 24, one component, its table and scan header, some data.
inline std::vector<uint8_t> LosslessJpeg() {
    std::vector<uint8_t> j = {0xFF, 0xD8};
    Append(j, MarkerSegment(0xC3, {8, 0, 24, 0, 32, 1, 1, 0x11, 0}));
    std::vector<uint8_t> dht = {0x00};
    for (int i = 0; i < 16; ++i) dht.push_back(i == 1 ? 2 : 0);
    Append(dht, {0, 1});
    Append(j, MarkerSegment(0xC4, dht));
    Append(j, MarkerSegment(0xDA, {1, 1, 0x00, 1, 0, 0}));
    for (int i = 0; i < 200; ++i) j.push_back(uint8_t(i * 37 % 255));
    Append(j, {0xFF, 0xD9});
    return j;
}

// An arithmetic-coded (SOF9) header.
inline std::vector<uint8_t> ArithmeticJpeg() {
    std::vector<uint8_t> j = {0xFF, 0xD8};
    Append(j, MarkerSegment(0xC9, {8, 0, 40, 0, 48, 1, 1, 0x11, 0}));
    Append(j, MarkerSegment(0xDA, {1, 1, 0x00, 0, 63, 0}));
    for (int i = 0; i < 100; ++i) j.push_back(uint8_t(i * 13 % 255));
    Append(j, {0xFF, 0xD9});
    return j;
}

// An ISO base media file: ftyp, then moov/trak/tkhd (a 64 x 48 track) or meta/iprp/ipco/ispe.
inline std::vector<uint8_t> IsoBmff(bool heic) {
    const auto box = [](const char* type, const std::vector<uint8_t>& body) {
        std::vector<uint8_t> b(body.size() + 8);
        const uint32_t size = uint32_t(b.size());
        for (int k = 0; k < 4; ++k) {
            b[size_t(k)] = uint8_t(size >> (24 - 8 * k));
            b[size_t(4 + k)] = uint8_t(type[k]);
        }
        std::copy(body.begin(), body.end(), b.begin() + 8);
        return b;
    };
    std::vector<uint8_t> ftyp = heic ? std::vector<uint8_t>{'h', 'e', 'i', 'c', 0,   0,   0,   0,
                                                            'm', 'i', 'f', '1', 'h', 'e', 'i', 'c'}
                                     : std::vector<uint8_t>{'i', 's', 'o', 'm', 0,   0,   2,   0,
                                                            'i', 's', 'o', 'm', 'm', 'p', '4', '1'};
    std::vector<uint8_t> file = box("ftyp", ftyp);
    if (heic) {
        std::vector<uint8_t> ispe = {0, 0, 0, 0};
        PutBe32(ispe, 64);
        PutBe32(ispe, 48);
        std::vector<uint8_t> meta = {0, 0, 0, 0};
        Append(meta, box("iprp", box("ipco", box("ispe", ispe))));
        Append(file, box("meta", meta));
    } else {
        std::vector<uint8_t> tkhd(84, 0);
        const std::vector<uint8_t> w = {0, 64, 0, 0}, h = {0, 48, 0, 0};
        std::copy(w.begin(), w.end(), tkhd.begin() + 76);
        std::copy(h.begin(), h.end(), tkhd.begin() + 80);
        Append(file, box("moov", box("trak", box("tkhd", tkhd))));
    }
    Append(file, box("mdat", std::vector<uint8_t>(64, 0x5A)));
    return file;
}

// Base64 with XML line breaks every 76 characters.
inline std::string Base64Xml(const std::vector<uint8_t>& b) {
    static const char* k = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < b.size(); i += 3) {
        const size_t n = std::min<size_t>(3, b.size() - i);
        uint32_t v = 0;
        for (size_t j = 0; j < 3; ++j) v = v << 8 | (j < n ? b[i + j] : 0);
        for (size_t j = 0; j < 4; ++j) out += j <= n ? k[(v >> (18 - 6 * j)) & 63] : '=';
        if (i % 57 == 54) out += "&#xA;";
    }
    return out;
}

inline std::vector<uint8_t> XmpPacket(const std::vector<uint8_t>& picture) {
    const std::string text =
        "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF><rdf:Description "
        "xmlns:xmpGImg='http://ns.adobe.com/xap/1.0/g/img/'><xmpGImg:image>" +
        Base64Xml(picture) + "</xmpGImg:image></rdf:Description></rdf:RDF></x:xmpmeta>";
    return std::vector<uint8_t>(text.begin(), text.end());
}

struct TPlanted {
    std::string Name;
    std::vector<uint8_t> File;
    std::string Finding;  // a word the finding names
};

// The planted files: `saved` is the redacted picture's file (no Exif), `hidden` what was hidden,
// `savedPicture` the redacted picture itself.
inline std::vector<TPlanted> PlantedFiles(const std::vector<uint8_t>& saved, const TBitmap& hidden,
                                          const TBitmap& savedPicture) {
    std::vector<TPlanted> out;
    const auto after = [&](const std::vector<uint8_t>& tail) {
        std::vector<uint8_t> f = saved;
        Append(f, tail);
        return f;
    };
    const std::vector<uint8_t> preview = Reduced(hidden, 96, 72);
    const int32_t w = savedPicture.Width(), h = savedPicture.Height();
    const TFitSize thumbSize = FitWithin(w, h, 160, 160);

    out.push_back({"raw strips in IFD0",
                   WithSegment(saved, ExifWithIfd0Strips(hidden, 24, 18, true)),
                   "raw strips 24 x 18 in APP1 Exif IFD0"});
    out.push_back({"raw strips in a SubIFD",
                   WithSegment(saved, ExifWithSubIfdStrips(hidden, 24, 18)),
                   "raw strips 24 x 18 in APP1 Exif SubIFD 1"});
    out.push_back({"strips without byte counts",
                   WithSegment(saved, ExifWithIfd0Strips(hidden, 24, 18, false)),
                   "without byte counts"});
    {
        TPNGImage png;
        TTiffBuilder b(true);
        b.Ascii(TTiffBuilder::Ifd0, 0x010F, "Maker");
        b.Bytes(TTiffBuilder::ExifIfd, 0xC7A1, 7, Saved(png, hidden));
        out.push_back(
            {"PNG in a private tag", WithSegment(saved, b.Build()), "PNG 256 x 192 in APP1"});
    }
    {
        TTiffBuilder b(false);
        std::vector<uint8_t> note = {'N', 'i', 'k', 'o', 'n', 0};
        Append(note, JpegWithEoiInHeader(hidden));
        b.Bytes(TTiffBuilder::ExifIfd, 0x927C, 7, note);
        out.push_back({"JPEG preview whose header holds FF D9", WithSegment(saved, b.Build()),
                       "JPEG 96 x 72 in APP1"});
    }
    {
        // The thumbnail shows the saved picture, but its length entry stops inside its scan: what
        // follows (the scan data, a second picture) is outside what a remover would look at.
        TTiffBuilder b(false);
        const std::vector<uint8_t> thumb =
            Reduced(savedPicture, thumbSize.Width, thumbSize.Height, 90);
        b.Thumbnail(thumb);
        std::vector<uint8_t> seg = b.Build();
        const size_t field = b.Place(TTiffBuilder::Ifd1, 0x0202).Value;
        seg[field] = 200, seg[field + 1] = 0, seg[field + 2] = 0, seg[field + 3] = 0;
        out.push_back({"IFD1 thumbnail with a too-short length", WithSegment(saved, seg),
                       "past its declared length"});
    }
    {
        TTiffBuilder b(false);
        const std::vector<uint8_t> xmp = XmpPacket(preview);
        b.Bytes(TTiffBuilder::Ifd0, 0x02BC, 1, xmp);
        out.push_back({"XMP with a base64 thumbnail in tag 0x02BC", WithSegment(saved, b.Build()),
                       "JPEG 96 x 72 in APP1 Exif XMP (tag 0x02BC) base64"});
        std::vector<uint8_t> app1(std::begin("http://ns.adobe.com/xap/1.0/"),
                                  std::end("http://ns.adobe.com/xap/1.0/"));
        Append(app1, xmp);
        out.push_back({"XMP APP1 with a base64 preview",
                       WithSegment(saved, MarkerSegment(0xE1, app1)),
                       "JPEG 96 x 72 in APP1 XMP base64"});
    }
    {
        // Extended XMP alone: the packet in two chunks, the base64 run crossing them.
        const std::vector<uint8_t> xmp = XmpPacket(preview);
        const size_t half = xmp.size() / 2;
        std::vector<uint8_t> two;
        for (int part = 0; part < 2; ++part) {
            std::vector<uint8_t> chunk(std::begin("http://ns.adobe.com/xmp/extension/"),
                                       std::end("http://ns.adobe.com/xmp/extension/"));
            chunk.insert(chunk.end(), 32, 'A');  // the packet's GUID
            PutBe32(chunk, uint32_t(xmp.size()));
            PutBe32(chunk, uint32_t(part == 0 ? 0 : half));
            chunk.insert(chunk.end(), xmp.begin() + std::ptrdiff_t(part == 0 ? 0 : half),
                         part == 0 ? xmp.begin() + std::ptrdiff_t(half) : xmp.end());
            Append(two, MarkerSegment(0xE1, chunk));
        }
        out.push_back({"extended XMP with a base64 preview", WithSegment(saved, two),
                       "JPEG 96 x 72 in extended XMP base64"});
    }
    {
        // The stale thumbnail: the picture before its mosaic.
        TTiffBuilder b(false);
        b.Thumbnail(Reduced(hidden, thumbSize.Width, thumbSize.Height, 90));
        out.push_back(
            {"stale thumbnail", WithSegment(saved, b.Build()), "differs from the picture"});
    }
    {
        TPNGImage png;
        TWebPImage webp;
        TBMPImage bmp;
        TBitmap small;
        small.Assign(hidden);
        ResampleAreaAverage(small, 48, 36);
        out.push_back({"PNG in APP4", WithSegment(saved, MarkerSegment(0xE4, Saved(png, small))),
                       "PNG 48 x 36 in APP4"});
        out.push_back({"WebP in APP5", WithSegment(saved, MarkerSegment(0xE5, Saved(webp, small))),
                       "WebP 48 x 36 in APP5"});
        out.push_back({"BMP in APP6", WithSegment(saved, MarkerSegment(0xE6, Saved(bmp, small))),
                       "BMP 48 x 36 in APP6"});
        std::vector<uint8_t> gif = {'G', 'I', 'F', '8', '9', 'a', 48, 0, 36, 0, 0x80, 0, 0};
        out.push_back({"GIF in a comment", WithSegment(saved, MarkerSegment(0xFE, gif)),
                       "GIF 48 x 36 in COM"});
    }
    {
        // JFIF with an RGB thumbnail; JFXX with an RGB one and with a JPEG one.
        TBitmap t;
        t.Assign(hidden);
        ResampleAreaAverage(t, 16, 12);
        std::vector<uint8_t> rgb;
        for (int32_t y = 0; y < 12; ++y)
            for (int32_t x = 0; x < 16; ++x)
                for (int c = 2; c >= 0; --c) rgb.push_back(t.ScanLine(y)[3 * x + c]);
        std::vector<uint8_t> jfif = {'J', 'F', 'I', 'F', 0, 1, 2, 0, 0, 1, 0, 1, 16, 12};
        Append(jfif, rgb);
        std::vector<uint8_t> plain(saved.begin() + 20, saved.end());  // without its own JFIF
        plain.insert(plain.begin(), {0xFF, 0xD8});
        out.push_back({"JFIF thumbnail", WithSegment(plain, MarkerSegment(0xE0, jfif)),
                       "JFIF RGB thumbnail 16 x 12"});
        std::vector<uint8_t> jfxx = {'J', 'F', 'X', 'X', 0, 0x13, 16, 12};
        Append(jfxx, rgb);
        out.push_back({"JFXX RGB thumbnail", WithSegment(saved, MarkerSegment(0xE0, jfxx)),
                       "JFXX RGB thumbnail 16 x 12"});
        std::vector<uint8_t> jfxxJpeg = {'J', 'F', 'X', 'X', 0, 0x10};
        Append(jfxxJpeg, Reduced(hidden, 40, 30));
        out.push_back({"JFXX JPEG thumbnail", WithSegment(saved, MarkerSegment(0xE0, jfxxJpeg)),
                       "JPEG 40 x 30 in APP0 JFXX"});
    }
    out.push_back({"lossless JPEG after EOI", after(LosslessJpeg()),
                   "lossless JPEG 32 x 24 in the data after EOI"});
    out.push_back({"arithmetic JPEG in APP7",
                   WithSegment(saved, MarkerSegment(0xE7, ArithmeticJpeg())),
                   "arithmetic JPEG 48 x 40 in APP7"});
    out.push_back({"MP4 after EOI", after(IsoBmff(false)), "MP4 64 x 48 in the data after EOI"});
    out.push_back({"HEIF in APP8", WithSegment(saved, MarkerSegment(0xE8, IsoBmff(true))),
                   "HEIF 64 x 48 in APP8"});
    {
        // A preview split over two APP segments: its frame header opens the second.
        const std::vector<uint8_t> p = Reduced(hidden, 64, 48);
        size_t sof = 2;
        while (!(p[sof] == 0xFF && p[sof + 1] == 0xC0)) ++sof;
        const std::vector<uint8_t> first(p.begin(), p.begin() + std::ptrdiff_t(sof));
        const std::vector<uint8_t> second(
            p.begin() + std::ptrdiff_t(sof),
            p.begin() + std::ptrdiff_t(sof + 4000 < p.size() ? sof + 4000 : p.size()));
        std::vector<uint8_t> two = MarkerSegment(0xE3, first);
        Append(two, MarkerSegment(0xE3, second));
        out.push_back({"JPEG split over two APP3 segments", WithSegment(saved, two),
                       "JPEG frame without SOI 64 x 48 in APP3"});
        // The scan of the hidden picture alone after EOI, to be decoded with the file's tables.
        size_t sos = 2;
        while (!(saved[sos] == 0xFF && saved[sos + 1] == 0xDA)) ++sos;
        std::vector<uint8_t> scan(saved.begin() + std::ptrdiff_t(sos), saved.end());
        out.push_back({"a scan without its header after EOI", after(scan),
                       "JPEG scan without its header 256 x 192 in the data after EOI"});
    }
    out.push_back({"a JPEG after EOI", after(preview), "JPEG 96 x 72 in the data after EOI"});
    {
        // Raw pixels (no FF byte among them) between the last block and EOI: no marker shows them.
        std::vector<uint8_t> f(saved.begin(), saved.end() - 2);
        TBitmap small;
        small.Assign(hidden);
        ResampleAreaAverage(small, 32, 24);
        for (int32_t y = 0; y < 24; ++y)
            for (int32_t x = 0; x < 96; ++x)
                f.push_back(std::min<uint8_t>(small.ScanLine(y)[x], 0xFE));
        Append(f, {0xFF, 0xD9});
        out.push_back(
            {"raw pixels inside the scan data", f, "inside the scan data that no block uses"});
    }
    return out;
}

}  // namespace tilvo::test
