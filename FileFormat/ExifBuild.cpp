// The Exif block Tilvo writes: the table of kept tags, the block built from it, and its check.
#include "ExifBuild.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tilvo {

namespace {

using enum TExifIfd;
using enum TExifValue;

constexpr uint16_t kText = kExifAscii;
constexpr uint16_t kShort = kExifShort;
constexpr uint16_t kLong = kExifLong;
constexpr uint16_t kShortOrLong = kExifShort | kExifLong;
constexpr uint16_t kRational = kExifRational;
constexpr uint16_t kSRational = kExifSRational;
constexpr uint16_t kUndefined = kExifUndefined;
constexpr uint16_t kPointer = kExifLong | 1 << 13;  // LONG or IFD
constexpr uint16_t kTextMax = uint16_t(kMaxExifTextBytes);

// What a saved picture carries of its source's Exif block. A tag is here because people keep it
// and it cannot hold a picture: short texts, numbers, a few fixed-size codes. Everything else is
// left behind whatever it holds: maker notes (they hold previews), SubIFDs, strips, tiles, XMP,
// IPTC, ICC and Photoshop tags, the XP* tags, private tags, anything describing the source's own
// compression, and the subject's position in the picture (it points at what was hidden).
constexpr TKeptExifTag kTable[] = {
    // IFD0: the camera, the dates, the resolution.
    {Ifd0, 0x010D, kText, kTextMax, true, Copied, "DocumentName"},
    {Ifd0, 0x010E, kText, kTextMax, true, Copied, "ImageDescription"},
    {Ifd0, 0x010F, kText, kTextMax, false, Copied, "Make"},
    {Ifd0, 0x0110, kText, kTextMax, false, Copied, "Model"},
    {Ifd0, 0x0112, kShort, 1, false, Written, "Orientation"},  // the saved picture is upright
    {Ifd0, 0x011A, kRational, 1, false, Copied, "XResolution"},
    {Ifd0, 0x011B, kRational, 1, false, Copied, "YResolution"},
    {Ifd0, 0x0128, kShort, 1, false, Copied, "ResolutionUnit"},
    {Ifd0, 0x0131, kText, kTextMax, false, Copied, "Software"},
    {Ifd0, 0x0132, kText, kTextMax, false, Copied, "DateTime"},
    {Ifd0, 0x013B, kText, kTextMax, true, Copied, "Artist"},
    {Ifd0, 0x013C, kText, kTextMax, true, Copied, "HostComputer"},
    {Ifd0, 0x013E, kRational, 2, false, Copied, "WhitePoint"},
    {Ifd0, 0x013F, kRational, 6, false, Copied, "PrimaryChromaticities"},
    {Ifd0, 0x0213, kShort, 1, false, Written, "YCbCrPositioning"},  // libjpeg's: centred
    {Ifd0, 0x8298, kText, kTextMax, true, Copied, "Copyright"},
    {Ifd0, 0x8769, kPointer, 1, false, Pointer, "ExifIFD"},
    {Ifd0, 0x8825, kPointer, 1, true, Pointer, "GPSInfoIFD"},
    // The Exif IFD: the exposure, the lens, the colour space, the saved size.
    {Exif, 0x829A, kRational, 1, false, Copied, "ExposureTime"},
    {Exif, 0x829D, kRational, 1, false, Copied, "FNumber"},
    {Exif, 0x8822, kShort, 1, false, Copied, "ExposureProgram"},
    {Exif, 0x8824, kText, kTextMax, false, Copied, "SpectralSensitivity"},
    {Exif, 0x8827, kShort, 3, false, Copied, "PhotographicSensitivity"},
    {Exif, 0x8830, kShort, 1, false, Copied, "SensitivityType"},
    {Exif, 0x8831, kLong, 1, false, Copied, "StandardOutputSensitivity"},
    {Exif, 0x8832, kLong, 1, false, Copied, "RecommendedExposureIndex"},
    {Exif, 0x8833, kLong, 1, false, Copied, "ISOSpeed"},
    {Exif, 0x8834, kLong, 1, false, Copied, "ISOSpeedLatitudeyyy"},
    {Exif, 0x8835, kLong, 1, false, Copied, "ISOSpeedLatitudezzz"},
    {Exif, 0x9000, kUndefined, 4, false, Copied, "ExifVersion"},
    {Exif, 0x9003, kText, kTextMax, false, Copied, "DateTimeOriginal"},
    {Exif, 0x9004, kText, kTextMax, false, Copied, "DateTimeDigitized"},
    {Exif, 0x9010, kText, kTextMax, false, Copied, "OffsetTime"},
    {Exif, 0x9011, kText, kTextMax, false, Copied, "OffsetTimeOriginal"},
    {Exif, 0x9012, kText, kTextMax, false, Copied, "OffsetTimeDigitized"},
    {Exif, 0x9101, kUndefined, 4, false, Copied, "ComponentsConfiguration"},
    {Exif, 0x9201, kSRational, 1, false, Copied, "ShutterSpeedValue"},
    {Exif, 0x9202, kRational, 1, false, Copied, "ApertureValue"},
    {Exif, 0x9203, kSRational, 1, false, Copied, "BrightnessValue"},
    {Exif, 0x9204, kSRational, 1, false, Copied, "ExposureBiasValue"},
    {Exif, 0x9205, kRational, 1, false, Copied, "MaxApertureValue"},
    {Exif, 0x9206, kRational, 1, false, Copied, "SubjectDistance"},
    {Exif, 0x9207, kShort, 1, false, Copied, "MeteringMode"},
    {Exif, 0x9208, kShort, 1, false, Copied, "LightSource"},
    {Exif, 0x9209, kShort, 1, false, Copied, "Flash"},
    {Exif, 0x920A, kRational, 1, false, Copied, "FocalLength"},
    {Exif, 0x9286, kUndefined, kTextMax, true, Copied, "UserComment"},
    {Exif, 0x9290, kText, kTextMax, false, Copied, "SubSecTime"},
    {Exif, 0x9291, kText, kTextMax, false, Copied, "SubSecTimeOriginal"},
    {Exif, 0x9292, kText, kTextMax, false, Copied, "SubSecTimeDigitized"},
    {Exif, 0x9400, kSRational, 1, false, Copied, "Temperature"},
    {Exif, 0x9401, kRational, 1, false, Copied, "Humidity"},
    {Exif, 0x9402, kRational, 1, false, Copied, "Pressure"},
    {Exif, 0x9403, kSRational, 1, false, Copied, "WaterDepth"},
    {Exif, 0x9404, kRational, 1, false, Copied, "Acceleration"},
    {Exif, 0x9405, kSRational, 1, false, Copied, "CameraElevationAngle"},
    {Exif, 0xA000, kUndefined, 4, false, Copied, "FlashpixVersion"},
    {Exif, 0xA001, kShort, 1, false, Copied, "ColorSpace"},
    {Exif, 0xA002, kLong, 1, false, Written, "PixelXDimension"},  // the saved size
    {Exif, 0xA003, kLong, 1, false, Written, "PixelYDimension"},
    {Exif, 0xA005, kPointer, 1, false, Pointer, "InteroperabilityIFD"},
    {Exif, 0xA20B, kRational, 1, false, Copied, "FlashEnergy"},
    {Exif, 0xA20E, kRational, 1, false, Copied, "FocalPlaneXResolution"},
    {Exif, 0xA20F, kRational, 1, false, Copied, "FocalPlaneYResolution"},
    {Exif, 0xA210, kShort, 1, false, Copied, "FocalPlaneResolutionUnit"},
    {Exif, 0xA215, kRational, 1, false, Copied, "ExposureIndex"},
    {Exif, 0xA217, kShort, 1, false, Copied, "SensingMethod"},
    {Exif, 0xA300, kUndefined, 1, false, Copied, "FileSource"},
    {Exif, 0xA301, kUndefined, 1, false, Copied, "SceneType"},
    {Exif, 0xA401, kShort, 1, false, Copied, "CustomRendered"},
    {Exif, 0xA402, kShort, 1, false, Copied, "ExposureMode"},
    {Exif, 0xA403, kShort, 1, false, Copied, "WhiteBalance"},
    {Exif, 0xA404, kRational, 1, false, Copied, "DigitalZoomRatio"},
    {Exif, 0xA405, kShort, 1, false, Copied, "FocalLengthIn35mmFilm"},
    {Exif, 0xA406, kShort, 1, false, Copied, "SceneCaptureType"},
    {Exif, 0xA407, kShort, 1, false, Copied, "GainControl"},
    {Exif, 0xA408, kShort, 1, false, Copied, "Contrast"},
    {Exif, 0xA409, kShort, 1, false, Copied, "Saturation"},
    {Exif, 0xA40A, kShort, 1, false, Copied, "Sharpness"},
    {Exif, 0xA40C, kShort, 1, false, Copied, "SubjectDistanceRange"},
    {Exif, 0xA420, kText, kTextMax, true, Copied, "ImageUniqueID"},
    {Exif, 0xA430, kText, kTextMax, true, Copied, "CameraOwnerName"},
    {Exif, 0xA431, kText, kTextMax, true, Copied, "BodySerialNumber"},
    {Exif, 0xA432, kRational, 4, false, Copied, "LensSpecification"},
    {Exif, 0xA433, kText, kTextMax, false, Copied, "LensMake"},
    {Exif, 0xA434, kText, kTextMax, false, Copied, "LensModel"},
    {Exif, 0xA435, kText, kTextMax, true, Copied, "LensSerialNumber"},
    {Exif, 0xA436, kText, kTextMax, true, Copied, "ImageTitle"},
    {Exif, 0xA437, kText, kTextMax, true, Copied, "Photographer"},
    {Exif, 0xA438, kText, kTextMax, true, Copied, "ImageEditor"},
    {Exif, 0xA439, kText, kTextMax, false, Copied, "CameraFirmware"},
    {Exif, 0xA43A, kText, kTextMax, false, Copied, "RAWDevelopingSoftware"},
    {Exif, 0xA43B, kText, kTextMax, false, Copied, "ImageEditingSoftware"},
    {Exif, 0xA43C, kText, kTextMax, false, Copied, "MetadataEditingSoftware"},
    {Exif, 0xA460, kShort, 1, false, Copied, "CompositeImage"},
    {Exif, 0xA461, kShort, 2, false, Copied, "SourceImageNumberOfCompositeImage"},
    {Exif, 0xA500, kRational, 1, false, Copied, "Gamma"},
    // The Interoperability IFD.
    {Interop, 0x0001, kText, 4, false, Copied, "InteroperabilityIndex"},
    {Interop, 0x0002, kUndefined, 4, false, Copied, "InteroperabilityVersion"},
    // The GPS IFD: all of it says where the picture was taken.
    {Gps, 0x0000, kExifByte, 4, true, Copied, "GPSVersionID"},
    {Gps, 0x0001, kText, 2, true, Copied, "GPSLatitudeRef"},
    {Gps, 0x0002, kRational, 3, true, Copied, "GPSLatitude"},
    {Gps, 0x0003, kText, 2, true, Copied, "GPSLongitudeRef"},
    {Gps, 0x0004, kRational, 3, true, Copied, "GPSLongitude"},
    {Gps, 0x0005, kExifByte, 1, true, Copied, "GPSAltitudeRef"},
    {Gps, 0x0006, kRational, 1, true, Copied, "GPSAltitude"},
    {Gps, 0x0007, kRational, 3, true, Copied, "GPSTimeStamp"},
    {Gps, 0x0008, kText, kTextMax, true, Copied, "GPSSatellites"},
    {Gps, 0x0009, kText, 2, true, Copied, "GPSStatus"},
    {Gps, 0x000A, kText, 2, true, Copied, "GPSMeasureMode"},
    {Gps, 0x000B, kRational, 1, true, Copied, "GPSDOP"},
    {Gps, 0x000C, kText, 2, true, Copied, "GPSSpeedRef"},
    {Gps, 0x000D, kRational, 1, true, Copied, "GPSSpeed"},
    {Gps, 0x000E, kText, 2, true, Copied, "GPSTrackRef"},
    {Gps, 0x000F, kRational, 1, true, Copied, "GPSTrack"},
    {Gps, 0x0010, kText, 2, true, Copied, "GPSImgDirectionRef"},
    {Gps, 0x0011, kRational, 1, true, Copied, "GPSImgDirection"},
    {Gps, 0x0012, kText, kTextMax, true, Copied, "GPSMapDatum"},
    {Gps, 0x0013, kText, 2, true, Copied, "GPSDestLatitudeRef"},
    {Gps, 0x0014, kRational, 3, true, Copied, "GPSDestLatitude"},
    {Gps, 0x0015, kText, 2, true, Copied, "GPSDestLongitudeRef"},
    {Gps, 0x0016, kRational, 3, true, Copied, "GPSDestLongitude"},
    {Gps, 0x0017, kText, 2, true, Copied, "GPSDestBearingRef"},
    {Gps, 0x0018, kRational, 1, true, Copied, "GPSDestBearing"},
    {Gps, 0x0019, kText, 2, true, Copied, "GPSDestDistanceRef"},
    {Gps, 0x001A, kRational, 1, true, Copied, "GPSDestDistance"},
    {Gps, 0x001B, kUndefined, kTextMax, true, Copied, "GPSProcessingMethod"},
    {Gps, 0x001C, kUndefined, kTextMax, true, Copied, "GPSAreaInformation"},
    {Gps, 0x001D, kText, 11, true, Copied, "GPSDateStamp"},
    {Gps, 0x001E, kShort, 1, true, Copied, "GPSDifferential"},
    {Gps, 0x001F, kRational, 1, true, Copied, "GPSHPositioningError"},
    // IFD1 describes only the thumbnail made from the saved picture.
    {Ifd1, 0x0103, kShort, 1, false, Written, "Compression"},
    {Ifd1, 0x011A, kRational, 1, false, Written, "XResolution"},
    {Ifd1, 0x011B, kRational, 1, false, Written, "YResolution"},
    {Ifd1, 0x0128, kShort, 1, false, Written, "ResolutionUnit"},
    {Ifd1, 0x0201, kLong, 1, false, Written, "JPEGInterchangeFormat"},
    {Ifd1, 0x0202, kLong, 1, false, Written, "JPEGInterchangeFormatLength"},
};

constexpr uint16_t kTypeOrientation = 0x0112;
constexpr uint16_t kTagExif = 0x8769, kTagGps = 0x8825, kTagInterop = 0xA005;
constexpr uint16_t kTagPixelX = 0xA002, kTagPixelY = 0xA003;
constexpr uint16_t kTagThumbOffset = 0x0201, kTagThumbLength = 0x0202;
constexpr uint16_t kTypeIfd = 13;

// The bytes one value of a TIFF type takes; 0 for a type no kept tag has.
constexpr uint32_t UnitOf(uint16_t type) {
    switch (type) {
        case 1: case 2: case 6: case 7: return 1;
        case 3: case 8: return 2;
        case 4: case 9: case 13: return 4;
        case 5: case 10: return 8;
        default: return 0;
    }
}

// Reads a TIFF structure in its own byte order; every read is checked against the block's end by
// the caller through In().
struct TTiffReader {
    std::span<const uint8_t> Data;
    bool Big = false;

    bool Open(std::span<const uint8_t> data) {
        Data = data;
        if (Data.size() < 8) return false;
        if (Data[0] == 'M' && Data[1] == 'M')
            Big = true;
        else if (Data[0] == 'I' && Data[1] == 'I')
            Big = false;
        else
            return false;
        return U16(2) == 42;
    }
    bool In(uint64_t pos, uint64_t n) const { return pos <= Data.size() && n <= Data.size() - pos; }
    uint16_t U16(size_t pos) const {
        return Big ? uint16_t(Data[pos] << 8 | Data[pos + 1])
                   : uint16_t(Data[pos + 1] << 8 | Data[pos]);
    }
    uint32_t U32(size_t pos) const {
        return Big ? uint32_t(U16(pos)) << 16 | U16(pos + 2)
                   : uint32_t(U16(pos + 2)) << 16 | U16(pos);
    }
};

// One entry as read: its tag, type, count and where its values lie in the block.
struct TEntry {
    uint16_t Tag = 0;
    uint16_t Type = 0;
    uint32_t Count = 0;
    size_t ValueAt = 0;  // inline (the entry's 4-byte field) or at its offset
    uint32_t Bytes = 0;
};

// The entries of the IFD at `offset` that lie wholly inside the block; false when not even its
// entry count does.
bool ReadIfd(const TTiffReader& r, uint32_t offset, std::vector<TEntry>& out, size_t* end = nullptr) {
    out.clear();
    if (offset < 8 || !r.In(offset, 2)) return false;
    const size_t n = r.U16(offset);
    const uint64_t fit = (r.Data.size() - offset - 2) / 12;
    const size_t count = size_t(std::min<uint64_t>(n, fit));
    if (end != nullptr) *end = offset + 2 + 12 * size_t(n);
    for (size_t i = 0; i < count; ++i) {
        const size_t e = offset + 2 + 12 * i;
        TEntry t;
        t.Tag = r.U16(e);
        t.Type = r.U16(e + 2);
        t.Count = r.U32(e + 4);
        const uint64_t bytes = uint64_t(UnitOf(t.Type)) * t.Count;
        t.Bytes = uint32_t(std::min<uint64_t>(bytes, UINT32_MAX));
        t.ValueAt = bytes <= 4 ? e + 8 : size_t(r.U32(e + 8));
        out.push_back(t);
    }
    return true;
}

// An entry a kept row allows: a type of the row, a count of at least 1 and at most the row's,
// values inside the block.
bool Allowed(const TTiffReader& r, const TKeptExifTag& row, const TEntry& e) {
    if (e.Type >= 16 || (row.Types & (1u << e.Type)) == 0 || UnitOf(e.Type) == 0) return false;
    if (e.Count == 0 || e.Count > row.MaxCount) return false;
    return r.In(e.ValueAt, e.Bytes);
}

// The offset an IFD pointer entry holds: the first entry of the tag, LONG or IFD, one value.
uint32_t PointerOf(const std::vector<TEntry>& entries, const TTiffReader& r, uint16_t tag) {
    for (const TEntry& e : entries) {
        if (e.Tag != tag) continue;
        if ((e.Type != 4 && e.Type != kTypeIfd) || e.Count != 1) return 0;
        return r.U32(e.ValueAt);
    }
    return 0;
}

// A new IFD: its entries' tags, types, counts and value bytes, in the block's byte order.
struct TNewEntry {
    uint16_t Tag = 0;
    uint16_t Type = 0;
    uint32_t Count = 0;
    std::vector<uint8_t> Value;
};

class TWriter {
  public:
    explicit TWriter(bool big) : big_(big) {}
    std::vector<uint8_t> Out;
    void U16(uint16_t v) {
        if (big_) {
            Out.push_back(uint8_t(v >> 8));
            Out.push_back(uint8_t(v));
        } else {
            Out.push_back(uint8_t(v));
            Out.push_back(uint8_t(v >> 8));
        }
    }
    void U32(uint32_t v) {
        if (big_) {
            U16(uint16_t(v >> 16));
            U16(uint16_t(v));
        } else {
            U16(uint16_t(v));
            U16(uint16_t(v >> 16));
        }
    }
    void Put32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            Out[at + size_t(i)] = uint8_t(v >> (big_ ? 24 - 8 * i : 8 * i));
    }
    std::vector<uint8_t> Short(uint16_t v) const {
        TWriter w(big_);
        w.U16(v);
        return w.Out;
    }
    std::vector<uint8_t> Long(uint32_t v) const {
        TWriter w(big_);
        w.U32(v);
        return w.Out;
    }
    std::vector<uint8_t> Rational(uint32_t n, uint32_t d) const {
        TWriter w(big_);
        w.U32(n);
        w.U32(d);
        return w.Out;
    }
    // Writes an IFD at the end of Out, its values after it (each at an even offset). Answers the
    // offset of each entry's value field, by tag, through `fields`, and of its link to the next IFD.
    size_t Ifd(std::vector<TNewEntry> entries, std::vector<std::pair<uint16_t, size_t>>* fields) {
        std::sort(entries.begin(), entries.end(),
                  [](const TNewEntry& a, const TNewEntry& b) { return a.Tag < b.Tag; });
        const size_t at = Out.size();
        U16(uint16_t(entries.size()));
        size_t values = at + 2 + 12 * entries.size() + 4;
        std::vector<size_t> placed;
        for (const TNewEntry& e : entries) {
            U16(e.Tag);
            U16(e.Type);
            U32(e.Count);
            if (fields != nullptr) fields->push_back({e.Tag, Out.size()});
            if (e.Value.size() <= 4) {
                for (size_t i = 0; i < 4; ++i) Out.push_back(i < e.Value.size() ? e.Value[i] : 0);
            } else {
                U32(uint32_t(values));
                values += e.Value.size() + (e.Value.size() & 1);
            }
        }
        const size_t link = Out.size();
        U32(0);
        for (const TNewEntry& e : entries) {
            if (e.Value.size() <= 4) continue;
            Out.insert(Out.end(), e.Value.begin(), e.Value.end());
            if (e.Value.size() & 1) Out.push_back(0);
        }
        return link;
    }

  private:
    bool big_;
};

// The source's entries of `ifd` that the table lets through, the first of each tag only.
std::vector<TNewEntry> Kept(const TTiffReader& r, TExifIfd ifd, const std::vector<TEntry>& in,
                            bool personal) {
    std::vector<TNewEntry> out;
    std::vector<uint16_t> seen;
    for (const TEntry& e : in) {
        if (std::find(seen.begin(), seen.end(), e.Tag) != seen.end()) continue;
        seen.push_back(e.Tag);
        const TKeptExifTag* row = FindKeptExifTag(ifd, e.Tag);
        if (row == nullptr || row->Value != Copied || (row->Personal && !personal)) continue;
        if (!Allowed(r, *row, e)) continue;
        TNewEntry n;
        n.Tag = e.Tag;
        n.Type = e.Type;
        n.Count = e.Count;
        // The block is written in the source's byte order, so the value bytes stand as they are.
        n.Value.assign(r.Data.begin() + std::ptrdiff_t(e.ValueAt),
                       r.Data.begin() + std::ptrdiff_t(e.ValueAt + e.Bytes));
        out.push_back(std::move(n));
    }
    return out;
}

}  // namespace

std::span<const TKeptExifTag> KeptExifTags() {
    return kTable;
}

const TKeptExifTag* FindKeptExifTag(TExifIfd ifd, uint16_t tag) {
    for (const TKeptExifTag& row : kTable)
        if (row.Ifd == ifd && row.Tag == tag) return &row;
    return nullptr;
}

bool ReadExifNumber(std::span<const uint8_t> tiff, TExifIfd ifd, uint16_t tag, uint32_t& value) {
    TTiffReader r;
    std::vector<TEntry> entries;
    if (!r.Open(tiff)) return false;
    uint32_t offset = r.U32(4);
    if (ifd == Ifd1) {
        size_t end = 0;
        if (!ReadIfd(r, offset, entries, &end) || !r.In(end, 4) || r.U32(end) == offset) return false;
        offset = r.U32(end);
    } else if (ifd != Ifd0) {
        return false;
    }
    if (!ReadIfd(r, offset, entries)) return false;
    for (const TEntry& e : entries) {
        if (e.Tag != tag) continue;
        if (e.Count != 1 || (e.Type != 3 && e.Type != 4)) return false;
        value = e.Type == 3 ? r.U16(e.ValueAt) : r.U32(e.ValueAt);
        return true;
    }
    return false;
}

std::vector<uint8_t> BuildExifBlock(std::span<const uint8_t> tiff,
                                    const TExifBuildOptions& options) {
    TTiffReader r;
    if (!r.Open(tiff)) return {};
    std::vector<TEntry> ifd0, exif, interop, gps;
    if (!ReadIfd(r, r.U32(4), ifd0)) return {};
    // The Exif and GPS IFDs hang off IFD0 and the Interoperability IFD off the Exif IFD, nowhere
    // else; a pointer that leads nowhere readable gives an empty IFD.
    ReadIfd(r, PointerOf(ifd0, r, kTagExif), exif);
    ReadIfd(r, PointerOf(exif, r, kTagInterop), interop);
    if (options.KeepPersonalData) ReadIfd(r, PointerOf(ifd0, r, kTagGps), gps);

    TWriter w(r.Big);
    std::vector<TNewEntry> e0 = Kept(r, Ifd0, ifd0, options.KeepPersonalData);
    std::vector<TNewEntry> eExif = Kept(r, Exif, exif, options.KeepPersonalData);
    std::vector<TNewEntry> eInterop = Kept(r, Interop, interop, options.KeepPersonalData);
    std::vector<TNewEntry> eGps = Kept(r, Gps, gps, options.KeepPersonalData);
    e0.push_back({kTypeOrientation, 3, 1, w.Short(1)});
    e0.push_back({0x0213, 3, 1, w.Short(1)});
    // The tags readers require of a JPEG's Exif block, with the usual values where the source has
    // none: 72 dots per inch, Exif 2.32, Y Cb Cr in that order, Flashpix 1.0, sRGB, GPS 2.3.
    const auto require = [](std::vector<TNewEntry>& ifd, TNewEntry entry) {
        for (const TNewEntry& e : ifd)
            if (e.Tag == entry.Tag) return;
        ifd.push_back(std::move(entry));
    };
    require(e0, {0x011A, 5, 1, w.Rational(72, 1)});
    for (const TNewEntry& e : e0)
        if (e.Tag == 0x011A) {
            const TNewEntry y = {0x011B, e.Type, e.Count, e.Value};  // as X where the source lacks Y
            require(e0, y);
            break;
        }
    require(e0, {0x0128, 3, 1, w.Short(2)});
    require(eExif, {0x9000, 7, 4, {'0', '2', '3', '2'}});
    require(eExif, {0x9101, 7, 4, {1, 2, 3, 0}});
    require(eExif, {0xA000, 7, 4, {'0', '1', '0', '0'}});
    require(eExif, {0xA001, 3, 1, w.Short(1)});
    if (!eGps.empty()) require(eGps, {0x0000, 1, 4, {2, 3, 0, 0}});
    eExif.push_back({kTagPixelX, 4, 1, w.Long(options.Width)});
    eExif.push_back({kTagPixelY, 4, 1, w.Long(options.Height)});
    // The pointers are written with a placeholder and set once their IFD has its place.
    e0.push_back({kTagExif, 4, 1, w.Long(0)});
    if (!eGps.empty()) e0.push_back({kTagGps, 4, 1, w.Long(0)});
    if (!eInterop.empty()) eExif.push_back({kTagInterop, 4, 1, w.Long(0)});

    w.Out = {uint8_t(r.Big ? 'M' : 'I'), uint8_t(r.Big ? 'M' : 'I')};
    w.U16(42);
    w.U32(8);
    std::vector<std::pair<uint16_t, size_t>> f0, fExif, f1;
    const size_t link0 = w.Ifd(std::move(e0), &f0);
    const auto field = [](const std::vector<std::pair<uint16_t, size_t>>& fields, uint16_t tag) {
        for (const auto& [t, at] : fields)
            if (t == tag) return at;
        return size_t(0);
    };
    w.Put32(field(f0, kTagExif), uint32_t(w.Out.size()));
    w.Ifd(std::move(eExif), &fExif);
    if (!eInterop.empty()) {
        w.Put32(field(fExif, kTagInterop), uint32_t(w.Out.size()));
        w.Ifd(std::move(eInterop), nullptr);
    }
    if (!eGps.empty()) {
        w.Put32(field(f0, kTagGps), uint32_t(w.Out.size()));
        w.Ifd(std::move(eGps), nullptr);
    }
    if (!options.Thumbnail.empty()) {
        w.Put32(link0, uint32_t(w.Out.size()));
        std::vector<TNewEntry> e1 = {
            {0x0103, 3, 1, w.Short(6)},  // JPEG compression
            {0x011A, 5, 1, w.Rational(72, 1)},
            {0x011B, 5, 1, w.Rational(72, 1)},
            {0x0128, 3, 1, w.Short(2)},  // inches
            {kTagThumbOffset, 4, 1, w.Long(0)},
            {kTagThumbLength, 4, 1, w.Long(uint32_t(options.Thumbnail.size()))},
        };
        w.Ifd(std::move(e1), &f1);
        w.Put32(field(f1, kTagThumbOffset), uint32_t(w.Out.size()));
        w.Out.insert(w.Out.end(), options.Thumbnail.begin(), options.Thumbnail.end());
    }
    return std::move(w.Out);
}

std::vector<uint8_t> BuildExifSegment(std::span<const uint8_t> tiff,
                                      const TExifBuildOptions& options) {
    const std::vector<uint8_t> block = BuildExifBlock(tiff, options);
    // The segment length counts itself, "Exif\0\0" and the block, in 16 bits.
    const size_t length = 2 + 6 + block.size();
    if (block.empty() || length > 0xFFFF) return {};
    std::vector<uint8_t> segment = {0xFF, 0xE1, uint8_t(length >> 8), uint8_t(length),
                                    'E',  'x',  'i',  'f', 0, 0};
    segment.insert(segment.end(), block.begin(), block.end());
    return segment;
}

std::span<const uint8_t> ExifBlockOfSegment(std::span<const uint8_t> segment) {
    if (segment.size() < 10 || segment[0] != 0xFF || segment[1] != 0xE1 ||
        std::memcmp(segment.data() + 4, "Exif\0\0", 6) != 0)
        return {};
    // A segment cut short by the end of its file is taken as far as it goes.
    const size_t length = size_t(segment[2]) << 8 | segment[3];
    const size_t end = std::min(segment.size(), 2 + std::max<size_t>(length, 8));
    return segment.subspan(10, end - 10);
}

namespace {

// The check's walk: which bytes of the block are accounted for.
class TChecker {
  public:
    TChecker(const TTiffReader& r, bool personal)
        : r_(r), personal_(personal), used_(r.Data.size(), 0) {}
    TExifBlockCheck Result;

    bool Fail(const std::string& why) {
        if (Result.Problem.empty()) Result.Problem = why;
        return false;
    }
    bool Claim(size_t at, size_t n, const char* what) {
        if (!r_.In(at, n)) return Fail(std::string(what) + " lies outside the block");
        for (size_t i = at; i < at + n; ++i) {
            if (used_[i]) return Fail(std::string(what) + " overlaps another part of the block");
            used_[i] = 1;
        }
        return true;
    }
    // Walks the IFD of `kind` at `offset`; answers its pointers through the out parameters.
    bool Ifd(TExifIfd kind, uint32_t offset, uint32_t& exif, uint32_t& gps, uint32_t& interop,
             uint32_t& next) {
        static const char* const kNames[] = {"IFD0", "the Exif IFD", "the Interoperability IFD",
                                             "the GPS IFD", "IFD1"};
        const std::string name = kNames[int(kind)];
        std::vector<TEntry> entries;
        size_t end = 0;
        if (!ReadIfd(r_, offset, entries, &end) || !Claim(offset, end + 4 - offset, name.c_str()))
            return Fail(name + " lies outside the block");
        next = r_.U32(end);
        uint32_t last = 0;
        bool first = true;
        uint32_t thumbOffset = 0, thumbLength = 0;
        for (const TEntry& e : entries) {
            char tag[64];
            std::snprintf(tag, sizeof tag, "tag 0x%04X in %s", e.Tag, name.c_str());
            if (!first && e.Tag <= last) return Fail(std::string(tag) + " is out of order");
            first = false;
            last = e.Tag;
            const TKeptExifTag* row = FindKeptExifTag(kind, e.Tag);
            if (row == nullptr) return Fail(std::string(tag) + " is not one Tilvo keeps");
            if (row->Personal && !personal_)
                return Fail(std::string(tag) + " (" + row->Name + ") is personal data");
            if (!Allowed(r_, *row, e))
                return Fail(std::string(tag) + " (" + row->Name + ") has a type or size Tilvo does not keep");
            if (e.Bytes > 4 && !Claim(e.ValueAt, e.Bytes, tag)) return false;
            const uint32_t value = e.Type == 3 ? r_.U16(e.ValueAt) : r_.U32(e.ValueAt);
            if (e.Tag == kTypeOrientation && kind == Ifd0 && value != 1)
                return Fail("the Orientation is not 1");
            if (row->Value == Pointer) {
                if (e.Tag == kTagExif) exif = value;
                if (e.Tag == kTagGps) gps = value;
                if (e.Tag == kTagInterop) interop = value;
            }
            if (kind == Ifd1 && e.Tag == 0x0103 && value != 6)
                return Fail("the thumbnail is not a JPEG");
            if (kind == Ifd1 && e.Tag == kTagThumbOffset) thumbOffset = value;
            if (kind == Ifd1 && e.Tag == kTagThumbLength) thumbLength = value;
        }
        if (kind == Ifd1) {
            if (thumbOffset == 0 || thumbLength == 0)
                return Fail("IFD1 describes no JPEG thumbnail");
            if (!Claim(thumbOffset, thumbLength, "the thumbnail")) return false;
            Result.HasThumbnail = true;
            Result.ThumbnailOffset = thumbOffset;
            Result.ThumbnailLength = thumbLength;
        }
        return true;
    }
    // Every byte is accounted for but single zero bytes that pad a value to an even offset.
    bool AllClaimed() {
        for (size_t i = 0; i < used_.size(); ++i) {
            if (used_[i]) continue;
            const bool pad = r_.Data[i] == 0 && i > 0 && used_[i - 1] &&
                             (i + 1 == used_.size() || used_[i + 1]);
            if (!pad) {
                char why[96];
                std::snprintf(why, sizeof why, "bytes at offset %zu of the block belong to nothing Tilvo writes", i);
                return Fail(why);
            }
        }
        return true;
    }

  private:
    const TTiffReader& r_;
    bool personal_;
    std::vector<uint8_t> used_;
};

}  // namespace

TExifBlockCheck CheckExifBlock(std::span<const uint8_t> tiff, bool personalAllowed) {
    TTiffReader r;
    TExifBlockCheck bad;
    if (!r.Open(tiff)) {
        bad.Problem = "the Exif block has no TIFF header";
        return bad;
    }
    TChecker c(r, personalAllowed);
    if (!c.Claim(0, 8, "the TIFF header")) return c.Result;
    uint32_t exif = 0, gps = 0, interop = 0, ifd1 = 0, unused = 0, next = 0;
    if (!c.Ifd(Ifd0, r.U32(4), exif, gps, interop, ifd1)) return c.Result;
    if (interop != 0) {
        c.Fail("IFD0 holds an Interoperability pointer");
        return c.Result;
    }
    if (exif != 0) {
        uint32_t e = 0, g = 0;
        if (!c.Ifd(Exif, exif, e, g, interop, next)) return c.Result;
        if (next != 0) {
            c.Fail("the Exif IFD links to another IFD");
            return c.Result;
        }
        if (interop != 0) {
            uint32_t a = 0, b = 0, i = 0;
            if (!c.Ifd(Interop, interop, a, b, i, next)) return c.Result;
            if (next != 0) {
                c.Fail("the Interoperability IFD links to another IFD");
                return c.Result;
            }
        }
    }
    if (gps != 0) {
        if (!c.Ifd(Gps, gps, unused, unused, unused, next)) return c.Result;
        if (next != 0) {
            c.Fail("the GPS IFD links to another IFD");
            return c.Result;
        }
    }
    if (ifd1 != 0) {
        if (!c.Ifd(Ifd1, ifd1, unused, unused, unused, next)) return c.Result;
        if (next != 0) {
            c.Fail("IFD1 links to another IFD");
            return c.Result;
        }
    }
    if (!c.AllClaimed()) return c.Result;
    c.Result.Ok = true;
    return c.Result;
}

}  // namespace tilvo
