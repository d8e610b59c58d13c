// Exif for Save As JPEG: the probe of the source file, reading its Exif block, the thumbnail made
// from the edited picture, and the segment built anew from the kept tags inserted into the file.
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

// Has-Exif: the file exists and carries an Exif block (ReadExifSourceBlock) from which a new block
// can be built (BuildExifBlock: it has a TIFF header and IFD0). Has-thumbnail: the same, as the
// thumbnail is always made anew from the saved picture. A file that cannot be read answers two
// noes.
TExifProbe ProbeExif(const std::string& fileName);

// Looks for the first APP1 segment before the first start of scan; true when it is Exif.
// `offset` is the position of its 0xFF, `length` its size including the marker.
bool FindExifSegment(const std::string& fileName, int64_t& offset, int64_t& length);
bool FindExifSegment(TStream& source, int64_t& offset, int64_t& length);

// Appends the Exif segment of the file (or stream) to `segment`; answers whether there was one.
bool ExtractExifSegment(const std::string& fileName, TStream& segment);
bool ExtractExifSegment(TStream& source, TStream& segment);

// The Exif block (starting with its TIFF header) of the source of a save: a JPEG's first APP1
// segment when it is Exif, or the block a HEIC, AVIF or WebP file carries. Empty when there is
// none; throws when the file cannot be read.
std::vector<uint8_t> ReadExifSourceBlock(const std::string& fileName);

// The Orientation (1 ... 8) IFD0 of a JPEG stream's first Exif APP1 segment states; 1 when there
// is none, or it cannot be read or holds another value.
int ExifOrientationOfJpeg(const uint8_t* data, size_t size);

// The JPEG thumbnail's offset (IFD1's JPEGInterchangeFormat, relative to the TIFF header) in an
// Exif block that starts with its TIFF header; false when IFD1 or the entry is missing.
bool ExifThumbnailOffset(const uint8_t* tiff, size_t size, uint32_t& offset);

// What a save carries of its source's Exif block: the APP1 segment built anew from the table of
// kept tags (ExifBuild.h; empty when the source has no block that can be read), the thumbnail
// written into it (empty: none) and the saved picture at the thumbnail's size.
struct TCarriedExif {
    std::vector<uint8_t> Segment;
    std::vector<uint8_t> Thumbnail;
    TBitmap Reduced;
};

// Builds the carried segment for a width × height picture: with updateThumbnail a thumbnail is
// made from `jpeg` (the saved picture's encoding, decoded at a reduced scale), at the highest
// quality that fits the segment and stays within the save check's bound; when none does, the
// block has no thumbnail. With removePersonalData the personal tags and the GPS IFD stay behind.
void MakeCarriedExif(const std::string& sourceFileName, int32_t width, int32_t height,
                     const std::vector<uint8_t>& jpeg, bool updateThumbnail,
                     bool removePersonalData, TCarriedExif& carried);

// The Save As JPEG writer. Encodes the picture (4:4:4 when subsampling is 2, else 4:2:0), then,
// with copyExif, inserts the Exif segment MakeCarriedExif builds from the source's block (nothing
// of the old block but the kept tags' values; the old thumbnail never). The file is written
// through a temporary file and checked (WriteVerifiedJpeg) before it replaces the target; when
// the encoding fails nothing is written and the answer is false. Errors of the file output, of
// the check (EJpegLeak) and of the lossless re-encoding are thrown.
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

// The same for a width × height picture the caller does not hold whole.
void SaveEncodedJpegWithExif(int32_t width, int32_t height, TMemoryStream& jpeg,
                             const std::string& sourceFileName, const std::string& targetFileName,
                             bool copyExif, bool removePersonalData = true,
                             bool updateThumbnail = false);

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

// output := jpeg up to the end of its leading APP0 segments + segment + the rest of jpeg; the
// output is rewound.
void InsertExifSegment(TStream& jpeg, TStream& segment, TStream& output);

}  // namespace tilvo
