// Makes the sample picture data/sample.jpg: a small photo-like landscape encoded with our JPEG
// writer, carrying an Exif block with a few camera entries and a thumbnail of the picture.
// Usage: tilvo_make_sample <output.jpg>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "Effector/Bitmap.h"
#include "FileFormat/ExifJpeg.h"
#include "FileFormat/JPEGImage.h"
#include "FileFormat/Stream.h"

using namespace tilvo;

namespace {

constexpr int32_t kWidth = 320;
constexpr int32_t kHeight = 240;

// A small fixed pseudo-random sequence, so that every run makes the same file.
struct TRandom {
    uint32_t state = 0x2545F491u;
    int32_t Next(int32_t range) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return int32_t(state % uint32_t(range));
    }
};

uint8_t Clamp(int32_t v) {
    return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
}

// Sky with a sun, two rows of hills, a lake and a red house with a window: areas of flat colour,
// soft gradients and grain, as a photograph has them.
void PaintLandscape(TBitmap& picture) {
    TRandom random;
    for (int32_t y = 0; y < kHeight; ++y) {
        uint8_t* row = picture.ScanLine(y);
        for (int32_t x = 0; x < kWidth; ++x) {
            int32_t r, g, b;
            const double hill1 = 120 + 18 * std::sin(x / 37.0) + 9 * std::sin(x / 11.0 + 1.0);
            const double hill2 = 150 + 12 * std::sin(x / 23.0 + 2.0);
            const double sun = std::hypot(x - 250.0, y - 50.0);
            if (y > 190) {  // lake: the sky mirrored, darker
                r = 40 + (y - 190);
                g = 80 + (y - 190);
                b = 140 + int32_t(20 * std::sin(x / 5.0 + y));
            } else if (y > hill2) {  // near hills
                r = 50 + (y - 150) / 2;
                g = 110 + int32_t(20 * std::sin(x / 7.0 + y / 5.0));
                b = 40;
            } else if (y > hill1) {  // far hills
                r = 70;
                g = 120 + (y - 120);
                b = 90;
            } else if (sun < 22) {
                r = 255;
                g = 235 - int32_t(sun);
                b = 150;
            } else {  // sky, brighter towards the horizon
                r = 90 + y / 2;
                g = 150 + y / 3;
                b = 230 - y / 6;
            }
            if (x >= 60 && x < 110 && y >= 140 && y < 180) {  // house
                r = 170;
                g = 50;
                b = 40;
                if (x >= 75 && x < 95 && y >= 150 && y < 165) r = g = b = 235;
            }
            const int32_t grain = random.Next(13) - 6;
            row[3 * x] = Clamp(b + grain);
            row[3 * x + 1] = Clamp(g + grain);
            row[3 * x + 2] = Clamp(r + grain);
        }
    }
}

// A little-endian TIFF structure written into a byte vector.
struct TTiffWriter {
    std::vector<uint8_t> bytes;
    void U16(uint32_t v) {
        bytes.push_back(uint8_t(v));
        bytes.push_back(uint8_t(v >> 8));
    }
    void U32(uint32_t v) {
        U16(v & 0xFFFF);
        U16(v >> 16);
    }
    void PutU32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = uint8_t(v >> (8 * i));
    }
};

struct TEntry {
    uint16_t tag;
    uint16_t type;  // 2 ASCII, 3 SHORT, 4 LONG, 5 RATIONAL, 7 UNDEFINED
    uint32_t count;
    std::vector<uint8_t> data;  // the value bytes, little-endian
};

TEntry Ascii(uint16_t tag, const std::string& text) {
    std::vector<uint8_t> data(text.begin(), text.end());
    data.push_back(0);
    return {tag, 2, uint32_t(data.size()), data};
}
TEntry Short(uint16_t tag, uint16_t v) {
    return {tag, 3, 1, {uint8_t(v), uint8_t(v >> 8)}};
}
TEntry Long(uint16_t tag, uint32_t v) {
    return {tag, 4, 1, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}};
}
TEntry Rational(uint16_t tag, uint32_t num, uint32_t den) {
    TEntry e = Long(tag, num);
    e.type = 5;
    const TEntry d = Long(tag, den);
    e.data.insert(e.data.end(), d.data.begin(), d.data.end());
    return e;
}

// Writes one IFD at the end of `w` with its out-of-line values after it; answers the offsets of
// the next-IFD field and of each entry's value field.
struct TIfdPlace {
    size_t nextField = 0;
    std::vector<size_t> valueFields;
};
TIfdPlace WriteIfd(TTiffWriter& w, const std::vector<TEntry>& entries) {
    TIfdPlace place;
    const size_t start = w.bytes.size();
    size_t extra = start + 2 + 12 * entries.size() + 4;
    w.U16(uint32_t(entries.size()));
    std::vector<const TEntry*> outOfLine;
    for (const TEntry& e : entries) {
        w.U16(e.tag);
        w.U16(e.type);
        w.U32(e.count);
        place.valueFields.push_back(w.bytes.size());
        if (e.data.size() <= 4) {
            for (size_t i = 0; i < 4; ++i) w.bytes.push_back(i < e.data.size() ? e.data[i] : 0);
        } else {
            w.U32(uint32_t(extra));
            extra += (e.data.size() + 1) & ~size_t(1);
            outOfLine.push_back(&e);
        }
    }
    place.nextField = w.bytes.size();
    w.U32(0);
    for (const TEntry* e : outOfLine) {
        w.bytes.insert(w.bytes.end(), e->data.begin(), e->data.end());
        if (e->data.size() & 1) w.bytes.push_back(0);
    }
    return place;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output.jpg>\n", argv[0]);
        return 2;
    }
    try {
        TBitmap picture(kWidth, kHeight, pf24bit);
        PaintLandscape(picture);

        TMemoryStream jpeg;
        if (!EncodeJpegToStream(picture, jpeg, false, 85, false))
            throw Exception("encoding failed");
        TMemoryStream thumbnail;
        MakeExifThumbnail(picture, thumbnail);
        const std::vector<uint8_t>& thumb = thumbnail.Memory();

        // TIFF header, IFD0, the Exif IFD, IFD1 and the thumbnail; offsets count from the header.
        TTiffWriter w;
        w.bytes = {'I', 'I', 42, 0};
        w.U32(8);
        const TIfdPlace ifd0 =
            WriteIfd(w, {Ascii(0x010F, "Tilvo"), Ascii(0x0110, "Sample landscape"),
                         Short(0x0112, 1), Rational(0x011A, 72, 1), Rational(0x011B, 72, 1),
                         Short(0x0128, 2), Ascii(0x0131, "tilvo_make_sample"), Long(0x8769, 0)});
        w.PutU32(ifd0.valueFields[7], uint32_t(w.bytes.size()));
        WriteIfd(w, {{0x9000, 7, 4, {'0', '2', '3', '0'}},
                     Ascii(0x9003, "2024:05:01 12:00:00"),
                     Long(0xA002, kWidth),
                     Long(0xA003, kHeight)});
        w.PutU32(ifd0.nextField, uint32_t(w.bytes.size()));
        const TIfdPlace ifd1 =
            WriteIfd(w, {Short(0x0103, 6), Rational(0x011A, 72, 1), Rational(0x011B, 72, 1),
                         Short(0x0128, 2), Long(0x0201, 0), Long(0x0202, uint32_t(thumb.size()))});
        w.PutU32(ifd1.valueFields[4], uint32_t(w.bytes.size()));
        w.bytes.insert(w.bytes.end(), thumb.begin(), thumb.end());

        const size_t segmentLength = 2 + 6 + w.bytes.size();
        if (segmentLength > 0xFFFF) throw Exception("Exif block too large");
        std::vector<uint8_t> app1 = {
            0xFF, 0xE1, uint8_t(segmentLength >> 8), uint8_t(segmentLength), 'E', 'x', 'i', 'f',
            0,    0};
        app1.insert(app1.end(), w.bytes.begin(), w.bytes.end());

        TMemoryStream segment(std::move(app1));
        TMemoryStream output;
        jpeg.SetPosition(0);
        InsertExifSegment(jpeg, segment, output);
        output.SaveToFile(argv[1]);

        const TExifProbe probe = ProbeExif(argv[1]);
        std::printf("%s: %lld bytes, Exif %s, thumbnail %s (%zu bytes)\n", argv[1],
                    static_cast<long long>(output.Size()), probe.CanCopy ? "yes" : "no",
                    probe.CanUpdateThumbnail ? "yes" : "no", thumb.size());
        return probe.CanCopy && probe.CanUpdateThumbnail ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
