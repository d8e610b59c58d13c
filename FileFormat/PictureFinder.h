// Finding pictures inside arbitrary bytes: the headers of the picture formats (each read only as
// far as its size), a walker of TIFF structures of any origin (Exif blocks, TIFF files inside
// other files) and base64 runs in text. Every read checks its offsets against the bytes there;
// nothing is allocated in proportion to a declared size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tilvo {

// A picture whose header starts at Offset.
struct TFoundHeader {
    const char* Kind = "";  // "JPEG", "lossless JPEG", "arithmetic JPEG", "PNG", "GIF", ...
    size_t Offset = 0;
    int32_t Width = 0;
    int32_t Height = 0;
};

// The smallest picture that counts: anything smaller shows nothing of a face.
inline constexpr int32_t kMinFoundSide = 8;

// The header of a JPEG stream at `pos` (FF D8): its segments are walked up to its frame header,
// which must be complete and declare at least 8 × 8 pixels (a height of 0, set later by a DNL
// segment, counts too).
bool ParseJpegHeader(std::span<const uint8_t> bytes, size_t pos, TFoundHeader& found);
// A frame header alone at `pos` (FF Cn with a complete, valid body): the start of a JPEG stream
// whose SOI was left out.
bool ParseJpegFrame(std::span<const uint8_t> bytes, size_t pos, TFoundHeader& found);
// The name of a frame marker's coding ("JPEG", "lossless JPEG", "arithmetic JPEG", ...); nullptr
// when the marker is no frame header.
const char* JpegFrameKind(uint8_t marker);

// Where the JPEG stream starting at `pos` ends: walked by its markers, over its segments by their
// lengths and over its scan data to the next marker, to the EOI that follows a scan (a FF D9 in a
// segment does not end it). The end of the bytes when it has none.
size_t JpegStreamEnd(std::span<const uint8_t> bytes, size_t pos);

// The position of the next marker in scan data from `pos`: a 0xFF followed by anything but 0
// (a stuffed byte), a fill byte or a restart marker; the size when there is none.
size_t NextMarkerInScan(std::span<const uint8_t> bytes, size_t pos);

// The other formats: a header at `pos` that parses as a picture of at least 8 × 8.
bool ParsePngHeader(std::span<const uint8_t> bytes, size_t pos, TFoundHeader& found);
bool ParseGifHeader(std::span<const uint8_t> bytes, size_t pos, TFoundHeader& found);
bool ParseWebpHeader(std::span<const uint8_t> bytes, size_t pos, TFoundHeader& found);
bool ParseBmpHeader(std::span<const uint8_t> bytes, size_t pos, TFoundHeader& found);
// A TIFF file: some IFD holds strips or tiles of at least 8 × 8 pixels.
bool ParseTiffHeader(std::span<const uint8_t> bytes, size_t pos, TFoundHeader& found);
// An ISO base media file (MP4, QuickTime, HEIC, AVIF): `pos` is the start of its ftyp box; a
// track header or an image's spatial extent declares at least 8 × 8.
bool ParseIsoBmffHeader(std::span<const uint8_t> bytes, size_t pos, TFoundHeader& found);

// Any of the signatures above (a JPEG's SOI only) at `pos`.
bool ParsePictureHeader(std::span<const uint8_t> bytes, size_t pos, TFoundHeader& found);

// ---- TIFF structures ----

// A value of a tag, where it lies in the block.
struct TTiffValue {
    uint16_t Tag = 0;
    uint16_t Type = 0;
    uint32_t Count = 0;
    size_t Offset = 0;  // of the value within the block
    size_t Size = 0;    // its bytes; 0 when they are not all inside the block
};

// One IFD of a walked TIFF structure.
struct TTiffIfd {
    std::string Name;   // "IFD0", "IFD1", "Exif IFD", "GPS IFD", "SubIFD", ...
    size_t Offset = 0;  // within the block
    uint16_t Entries = 0;
    int32_t Width = 0;  // ImageWidth / ImageLength, 0 when not declared
    int32_t Height = 0;
    uint32_t Compression = 0;
    uint32_t BitsPerSample = 0;  // the first value
    uint32_t SamplesPerPixel = 0;
    uint32_t Photometric = 0xFFFFFFFF;
    // The picture data it points to.
    std::vector<uint32_t> StripOffsets, StripByteCounts, TileOffsets, TileByteCounts;
    bool HasStrips = false, HasTiles = false;
    bool HasJpeg = false;  // JPEGInterchangeFormat (0x0201)
    uint32_t JpegOffset = 0;
    uint32_t JpegLength = 0;  // JPEGInterchangeFormatLength (0x0202), 0 when absent
    bool HasJpegLength = false;
    // The tags that hold pictures or other data (XMP, IPTC, Photoshop, ICC, maker note, XP*,
    // SubIFDs...), for the listing.
    std::vector<TTiffValue> Carriers;
};

struct TTiffWalk {
    bool Valid = false;  // a TIFF header and a readable IFD0
    bool BigEndian = false;
    std::vector<TTiffIfd> Ifds;
    std::vector<std::string> Problems;  // loops, IFDs or values outside the block, the caps
};

// Walks the TIFF structure at the start of `block`: the chain from IFD0, SubIFDs (0x014A), the
// Exif, GPS and Interoperability IFDs from whatever IFD points to them, each IFD once, at most
// `maxIfds` IFDs, the first `maxEntries` entries of each and 64 offsets of strips or tiles listed
// per IFD.
TTiffWalk WalkTiff(std::span<const uint8_t> block, int maxIfds = 64, size_t maxEntries = 65535);

// The signature at `pos` is one whose header takes more than a few reads to parse (a JPEG's
// segments, a TIFF's IFDs, an ISO base media file's boxes): the places a scan counts and caps.
bool CostlySignature(std::span<const uint8_t> bytes, size_t pos);

// The human name of a tag the walk lists as a carrier ("XMP", "maker note", ...); nullptr for
// other tags.
const char* TiffCarrierName(uint16_t tag);

// ---- base64 ----

// A run of base64 text and what it decodes to.
struct TBase64Run {
    size_t Offset = 0;  // of the run in the text
    std::vector<uint8_t> Decoded;
};

// The runs of at least `minChars` base64 characters in `text` (line breaks and the XML
// line-break entities &#xA; &#xD; &#10; &#13; may stand inside a run), decoded, at most
// `maxDecoded` bytes in all (more: *capped is set).
std::vector<TBase64Run> FindBase64Runs(std::span<const uint8_t> text, size_t minChars,
                                       size_t maxDecoded, bool* capped);

}  // namespace tilvo
