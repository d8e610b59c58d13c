// The Exif block Tilvo writes into a JPEG: built anew from the table of tags it keeps, never a copy
// of the source's block, and the check that holds a written block to that table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tilvo {

// The IFDs a built block may hold. IFD1 only ever describes the thumbnail Tilvo made.
enum class TExifIfd : uint8_t { Ifd0, Exif, Interop, Gps, Ifd1 };

// TIFF value types, as bits of TKeptExifTag::Types.
enum : uint16_t {
    kExifByte = 1 << 1,
    kExifAscii = 1 << 2,
    kExifShort = 1 << 3,
    kExifLong = 1 << 4,
    kExifRational = 1 << 5,
    kExifUndefined = 1 << 7,
    kExifSLong = 1 << 9,
    kExifSRational = 1 << 10,
};

// Where a kept tag's value comes from.
enum class TExifValue : uint8_t {
    Copied,    // the source's value, when its type and count are allowed
    Written,   // Tilvo writes it itself (Orientation 1, the saved size, the thumbnail's entries)
    Pointer,   // the offset of an IFD Tilvo writes
};

// One row of the table of kept tags: where the tag may stand, the types it may have, the most
// values it may hold (ASCII and UNDEFINED: bytes, at most kMaxExifTextBytes), whether it names a
// person or a place (carried only when personal data is kept), and where its value comes from.
struct TKeptExifTag {
    TExifIfd Ifd;
    uint16_t Tag;
    uint16_t Types;
    uint16_t MaxCount;
    bool Personal;
    TExifValue Value;
    const char* Name;
};

// A text or undefined value longer than this drops its tag (it is never cut): no picture fits.
inline constexpr uint32_t kMaxExifTextBytes = 256;

// The whole table, in the order of the IFDs and then of the tags.
std::span<const TKeptExifTag> KeptExifTags();
// The row of `tag` in `ifd`; nullptr when the tag is not kept there.
const TKeptExifTag* FindKeptExifTag(TExifIfd ifd, uint16_t tag);

struct TExifBuildOptions {
    bool KeepPersonalData = false;  // the GPS IFD and the tags marked Personal
    uint32_t Width = 0;             // the saved picture's size, written as PixelX/YDimension
    uint32_t Height = 0;
    // The thumbnail to describe in IFD1 (a whole JPEG stream); empty: no IFD1.
    std::span<const uint8_t> Thumbnail;
};

// Builds a new Exif block (a TIFF structure starting with its byte-order mark, in the source's byte
// order) holding the table's tags found in the source block `tiff` with the types and counts the
// table allows, Orientation 1, the saved size, and the thumbnail. The Exif and GPS pointers are
// taken only from IFD0 and the Interoperability pointer only from the Exif IFD (type LONG or IFD,
// count 1, the first entry of the tag only); an entry whose values lie outside the source block is
// dropped. Empty when the source has no readable TIFF header and IFD0.
std::vector<uint8_t> BuildExifBlock(std::span<const uint8_t> tiff, const TExifBuildOptions& options);

// The same wrapped into an APP1 segment (FF E1, length, "Exif\0\0", block); empty when the source
// cannot be read or the block would not fit a segment.
std::vector<uint8_t> BuildExifSegment(std::span<const uint8_t> tiff,
                                      const TExifBuildOptions& options);

// The TIFF block inside an APP1 segment (after "Exif\0\0"); empty when the segment is not Exif.
std::span<const uint8_t> ExifBlockOfSegment(std::span<const uint8_t> segment);

// One number (SHORT or LONG, a single value) a source block states for `tag` in IFD0, or in IFD1
// (the IFD IFD0 links to, when that is another); false when there is none.
bool ReadExifNumber(std::span<const uint8_t> tiff, TExifIfd ifd, uint16_t tag, uint32_t& value);

struct TExifBlockCheck {
    bool Ok = false;
    std::string Problem;     // what was found, in words, when not Ok
    bool HasThumbnail = false;
    size_t ThumbnailOffset = 0;  // within the block
    size_t ThumbnailLength = 0;
};

// Holds a block to the table: a TIFF header, IFD0 with at most the Exif and GPS pointers, the Exif
// IFD with at most the Interoperability pointer, IFD1 with only the thumbnail's entries, every
// entry a table tag of an allowed type and count (personal ones only when allowed), every value
// inside the block, and every byte of the block part of a header, an entry, a value or the
// thumbnail (up to one pad byte after a value of odd length).
TExifBlockCheck CheckExifBlock(std::span<const uint8_t> tiff, bool personalAllowed);

}  // namespace tilvo
