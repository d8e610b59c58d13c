// Exif preservation for Save As JPEG: the probe of the source file, cutting its Exif APP1 segment
// out, replacing the thumbnail in it by one made from the edited picture, and inserting it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Effector/Bitmap.h"
#include "SaveDispatch.h"
#include "Stream.h"

namespace tilvo {

// Byte readers that read one byte at a time through a 1,024-byte window. Reading past the data
// fails with "Out of bounds". 16- and 32-bit values follow the byte-order flag (big-endian at
// first).
class TxoFileStream {
  public:
    // Opens the file for reading; throws EFileError when it cannot.
    explicit TxoFileStream(const std::string& fileName);
    // Reads from a stream the reader does not own (kept alive by the caller).
    explicit TxoFileStream(TStream& source);
    virtual ~TxoFileStream();
    TxoFileStream(const TxoFileStream&) = delete;
    TxoFileStream& operator=(const TxoFileStream&) = delete;

    int64_t Position() const { return position_; }
    virtual void SetPosition(int64_t pos) { position_ = pos; }
    uint8_t ReadByte();
    uint16_t ReadU16();
    uint32_t ReadU32();
    // Up to n bytes; fewer when the data ends.
    std::string ReadString(size_t n);
    // True when the last refill brought no bytes.
    bool Eof() const { return eof_; }
    bool BigEndian = true;

  protected:
    TxoFileStream() = default;
    virtual int64_t Fill(int64_t pos, uint8_t* buf, int64_t count);

  private:
    std::unique_ptr<TStream> owned_;
    TStream* source_ = nullptr;
    static constexpr int kWindow = 1024;
    uint8_t window_[kWindow] = {};
    int64_t windowPos_ = 0;
    int64_t windowCount_ = 0;
    int64_t position_ = 0;
    bool eof_ = false;
};

// The file reader with a base offset (the start of the TIFF header of an Exif block).
class TxoExifStream : public TxoFileStream {
  public:
    using TxoFileStream::TxoFileStream;
    int64_t Base = 0;
};

// The same reader over a private copy of a whole stream (rewound and copied on creation), or of
// bytes given directly.
class TxoMemoryStream : public TxoFileStream {
  public:
    explicit TxoMemoryStream(TStream& source);
    TxoMemoryStream(const uint8_t* data, size_t size);

  protected:
    int64_t Fill(int64_t pos, uint8_t* buf, int64_t count) override;

  private:
    std::vector<uint8_t> data_;
};

// The memory reader of a cut-out Exif segment: with its base set (non-zero), positions beyond
// base + 0xFFFF are refused with "Exif section out of bounds".
class TxoExifMemStream : public TxoMemoryStream {
  public:
    using TxoMemoryStream::TxoMemoryStream;
    void SetPosition(int64_t pos) override;
    int64_t Base = 0;
};

// Positions, within the segment, of the IFD entries of the thumbnail; 0 means not found.
struct TThumbnailTags {
    int64_t Compression = 0;  // tag 0x0103
    int64_t Offset = 0;       // tag 0x0201, JPEGInterchangeFormat
    int64_t Length = 0;       // tag 0x0202, JPEGInterchangeFormatLength
};

// Has-Exif: the file exists, has an Exif segment (ReadExifSourceSegment: a JPEG's first APP1
// segment, or a HEIC's, AVIF's or WebP's Exif block), and RemoveExifThumbnail would accept the
// block. Has-thumbnail: CanRegenerateExifThumbnail. A file that cannot be read answers two
// noes.
TExifProbe ProbeExif(const std::string& fileName);

// Looks for the first APP1 segment before the first start of scan; true when it is Exif.
// `offset` is the position of its 0xFF, `length` its size including the marker.
bool FindExifSegment(const std::string& fileName, int64_t& offset, int64_t& length);
bool FindExifSegment(TStream& source, int64_t& offset, int64_t& length);

// Appends the Exif segment of the file (or stream) to `segment`; answers whether there was one.
bool ExtractExifSegment(const std::string& fileName, TStream& segment);
bool ExtractExifSegment(TStream& source, TStream& segment);

// The Exif source's segment, appended to `segment`: a JPEG's first APP1 segment when it is Exif
// (as ExtractExifSegment), or the Exif block a HEIC, AVIF or WebP file carries, made into the APP1
// segment a JPEG would hold (ExifSegmentFromBlock). Answers whether there was one.
bool ReadExifSourceSegment(const std::string& fileName, TStream& segment);

// Wraps an Exif block that starts with its TIFF header into an APP1 segment (FF E1, length,
// "Exif\0\0", block) with IFD0's Orientation set to 1: the pictures such blocks come from open
// upright already. False when the block has no TIFF header or does not fit a segment.
bool ExifSegmentFromBlock(const std::vector<uint8_t>& tiff, std::vector<uint8_t>& segment);

// Sets the Orientation entries (SHORT or LONG, one value) of IFD0 and IFD1 of a cut-out segment to
// 1, in place; a segment whose header or IFDs cannot be read is left as it is.
void SetExifOrientationUpright(std::vector<uint8_t>& segment);

// Sets the pixel sizes a cut-out segment states (IFD0's ImageWidth and ImageLength, the Exif
// IFD's PixelXDimension and PixelYDimension; SHORT or LONG, one value) to the saved picture's, in
// place.
void SetExifPictureSize(std::vector<uint8_t>& segment, uint32_t width, uint32_t height);

// Zeroes location and personal data in a cut-out segment, in place, moving nothing: the GPS IFD
// becomes empty (entry count, entries, their values and its link zeroed), and the values of
// ImageDescription, Artist, Copyright, UserComment, MakerNote, ImageUniqueID, CameraOwnerName,
// BodySerialNumber, LensSerialNumber and the XP* comment tags in IFD0, IFD1 and the Exif IFD are
// zeroed (their entries stay, so every offset in the block keeps its meaning). Only bytes inside
// the segment are read or written.
void RemoveExifPersonalData(std::vector<uint8_t>& segment);

// The Orientation (1 ... 8) IFD0 of a JPEG stream's first Exif APP1 segment states; 1 when there
// is none, or it cannot be read or holds another value.
int ExifOrientationOfJpeg(const uint8_t* data, size_t size);

// The JPEG thumbnail's offset (IFD1's JPEGInterchangeFormat, relative to the TIFF header) in an
// Exif block that starts with its TIFF header; false when IFD1 or the entry is missing.
bool ExifThumbnailOffset(const uint8_t* tiff, size_t size, uint32_t& offset);

// Finds the thumbnail entries of a cut-out segment (starting with 0xFF 0xE1). True when the IFD
// chain from IFD1 could be walked and all three entries were found.
bool FindThumbnailTags(TStream& segment, TThumbnailTags& tags);

// Walks the IFD chain from `ifdOffset` (relative to reader.Base), checking every entry's values
// lie inside the segment; records the positions of the thumbnail entries (a later IFD overrides
// an earlier one). Any failure, also a chain of more than kMaxIfdChain IFDs, answers false.
inline constexpr int kMaxIfdChain = 64;
bool WalkIfdChain(TxoExifMemStream& reader, uint32_t ifdOffset, TThumbnailTags& tags);

// Where the thumbnail of a segment lies: offset F (relative to the TIFF header at segment offset
// 10) and length N, read from the entries found by FindThumbnailTags. False when the entries are
// missing or the thumbnail does not lie inside the segment.
struct TThumbnailPlace {
    bool BigEndian = false;
    uint32_t Offset = 0;
    uint32_t Length = 0;
    TThumbnailTags Tags;
};
bool LocateExifThumbnail(const std::vector<uint8_t>& segment, TThumbnailPlace& place);

// The thumbnail can be made again in place: the IFD chain from IFD1 is sound (every IFD and
// picture inside the block, only the value types the walk knows), IFD1 itself holds the entries
// 0x0103, 0x0201 and 0x0202, and the JPEG thumbnail lies inside the block.
bool CanRegenerateExifThumbnail(const std::vector<uint8_t>& segment);

// Removes the thumbnail from a cut-out segment in place, moving nothing so that every other
// offset stays valid: IFD0's link to IFD1 is cut, and every byte of IFD1, of the IFDs after it and
// of the pictures they point to (JPEG thumbnail, strips, tiles) is zeroed, and so is every JPEG
// stream left inside the block (FF D8 FF through the next FF D9, or to the block's end), for a
// thumbnail the chain no longer leads to or a preview in a maker note. False, and nothing
// changed, when the block's TIFF header or IFD0 cannot be read, or cannot be read any more once
// the thumbnail part is zeroed (IFD1 overlapping them): such a block is not to be copied.
bool RemoveExifThumbnail(std::vector<uint8_t>& segment);

// The Save As JPEG writer. Encodes the picture (4:4:4 when subsampling is 2, else 4:2:0), then,
// with copyExif, carries the source's Exif segment over without its old thumbnail: with
// updateThumbnail, where CanRegenerateExifThumbnail holds, IFD1's thumbnail is replaced by one of
// the saved picture (made again at lower quality until the segment fits 65,535 bytes), the IFDs
// after IFD1 and every other JPEG stream in the block are removed; otherwise, or when even quality
// 10 does not fit, the thumbnail is removed (RemoveExifThumbnail). A block that cannot be read is
// not copied. A copied block always gets Orientation 1 and the saved picture's pixel sizes; with
// removePersonalData, RemoveExifPersonalData is applied too. The file is written through a
// temporary file and checked for leaks (WriteVerifiedJpeg) before it replaces the target; when the
// encoding fails nothing is written and the answer is false. Errors of the file output, of the
// leak check (EJpegLeak) and of the lossless re-encoding are thrown.
bool SaveJpegWithExif(const TBitmap& picture, const std::string& sourceFileName,
                      const std::string& targetFileName, int32_t quality, int32_t subsampling,
                      bool updateThumbnail, bool copyExif, bool grayscale, bool progressive,
                      bool removePersonalData = true);

// The same carrying over of the Exif segment, for a picture already encoded into `jpeg` (the
// thumbnail is made from `picture`, which the stream shows); writes the file and answers true.
bool SaveEncodedJpegWithExif(const TBitmap& picture, TMemoryStream& jpeg,
                             const std::string& sourceFileName, const std::string& targetFileName,
                             bool updateThumbnail, bool copyExif,
                             bool removePersonalData = true);

// The same for a width × height picture the caller does not hold whole: no thumbnail is made, so
// a carried block loses its own; a thumbnail found in the file is compared with the file's own
// picture.
void SaveEncodedJpegWithExif(int32_t width, int32_t height, TMemoryStream& jpeg,
                             const std::string& sourceFileName, const std::string& targetFileName,
                             bool copyExif, bool removePersonalData = true);

struct TFitSize {
    int32_t Width = 0;
    int32_t Height = 0;
    friend constexpr bool operator==(const TFitSize&, const TFitSize&) = default;
};

// Fits width × height into maxWidth × maxHeight keeping the aspect (halves round to even); a
// side never drops below 1.
TFitSize FitWithin(int32_t width, int32_t height, int32_t maxWidth, int32_t maxHeight);

// The thumbnail: the picture shrunk to fit 160 × 160 by area averaging, encoded as a colour
// 4:2:0 baseline JPEG at `quality` (90 unless a smaller one is needed), written from position 0
// and rewound.
void MakeExifThumbnail(const TBitmap& picture, TStream& stream, int32_t quality = 90);

// Rebuilds the segment with `thumbnail` in place of the old one (new length entry and segment
// length) into `rebuilt`. When data follows the old thumbnail, nothing moves: the old thumbnail
// is blanked and the new one appended, its offset entry updated too. `rebuilt` is left untouched
// unless the answer is Ok: NoThumbnail when the segment has no thumbnail inside it, TooLarge when
// the result would not fit the 16-bit segment length.
enum class TRebuildResult { Ok, NoThumbnail, TooLarge };
TRebuildResult RebuildExifSegment(const std::vector<uint8_t>& segment,
                                  const std::vector<uint8_t>& thumbnail,
                                  std::vector<uint8_t>& rebuilt);

// RebuildExifSegment, then InsertExifSegment into `output`. False (output untouched) when the
// rebuild failed.
bool ReplaceExifThumbnail(TStream& segment, TStream& jpeg, TStream& output, TStream& thumbnail);

// output := jpeg up to the end of its leading APP0 segments + segment + the rest of jpeg; the
// output is rewound.
void InsertExifSegment(TStream& jpeg, TStream& segment, TStream& output);

}  // namespace tilvo
