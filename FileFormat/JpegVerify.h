// The checks of JPEG files. Every JPEG Tilvo saves is walked marker by marker in memory before its
// first byte reaches the target and must hold only what Tilvo writes (CheckOwnJpeg). tilvo-cli
// --verify takes any JPEG file and lists every carrier in it and every picture embedded in it
// (ScanJpegForLeaks); only a thumbnail that shows the saved picture may be there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "Effector/Bitmap.h"
#include "Effector/Exception.h"
#include "Stream.h"

namespace tilvo {

// A save refused because the written file would carry more than the picture that was saved.
class EJpegLeak : public Exception {
  public:
    using Exception::Exception;
};

// ---- thumbnails ----

// How far a thumbnail may stray from the picture reduced to its size, measured locally: the
// largest mean absolute difference (levels per channel) over the 4 × 4 blocks of thumbnail pixels.
// A thumbnail made from the saved picture as DecodeReduced reads it (encoded at quality 90, 4:2:0
// or, where that strays further, 4:4:4) reaches at most 10.2 beside saves at every quality from 1
// to 100 of photos, noise, sharp edges, colour edges and mosaics; the bound is that plus 25 %. A
// thumbnail of the picture before its encoding is no such thumbnail: beside a save at a low quality
// it shows what the saved picture no longer does, and strays by up to 103.
inline constexpr double kMaxThumbnailDifference = 12.75;

// The side of the square blocks the thumbnail difference is taken over.
inline constexpr int32_t kThumbnailBlock = 4;

// The local difference (above) of two 24-bit surfaces of one size, per channel, or of their
// luminance when `gray`; -1 when they differ in size or format.
double LocalDifference(const TBitmap& thumbnail, const TBitmap& reduced, bool gray);

// The saved picture as the thumbnail is held to it: `jpeg` read by the JPEG reader at the smallest
// of the scales 1/8, 1/4 and 1/2 at which it still covers w × h (whole when none does), 24-bit,
// area-averaged to w × h. A save makes its thumbnail from this very picture, so that the thumbnail
// differs from it only by its own encoding. False when it does not decode, or would take more than
// `memory` bytes at that scale.
bool DecodeReduced(std::span<const uint8_t> jpeg, int32_t w, int32_t h, TBitmap& out,
                   int64_t memory = kMaxSurfaceBytes);

// The local difference of a JPEG thumbnail to `reduced` (a 24-bit surface of the thumbnail's
// size); -1 when it does not decode to that size.
double ThumbnailDifference(const std::vector<uint8_t>& jpeg, const TBitmap& reduced);

// ---- the check of Tilvo's own files ----

// What the save wrote, to hold the file to.
struct TJpegExpectations {
    // The thumbnail written into the Exif block (a whole JPEG stream): the file's must be these
    // very bytes. Empty with ThumbnailKnown: the save wrote none, and a thumbnail is refused.
    // Without ThumbnailKnown a thumbnail may be there when ThumbnailAllowed.
    std::span<const uint8_t> Thumbnail;
    bool ThumbnailKnown = false;
    bool ThumbnailAllowed = false;
    // Either way a thumbnail must show the decoded saved picture reduced to its size (within
    // kMaxThumbnailDifference). That reduction, when the caller has it; else the file is decoded.
    const TBitmap* Reduced = nullptr;
    // The Exif block may hold the tags that name a person or a place.
    bool PersonalAllowed = false;
    // The frame's size, when the caller knows it (0: not checked).
    int32_t Width = 0;
    int32_t Height = 0;
};

struct TOwnJpegCheck {
    bool Ok = false;
    std::string Problem;  // what was found and where ("an APP2 segment at offset 20"), if not Ok
};

// Walks `bytes` marker by marker: only SOI, one JFIF APP0 without a thumbnail, at most one Exif
// APP1 (held to the table of kept tags by CheckExifBlock, its thumbnail as expected), the Adobe
// APP14 libjpeg writes, DQT, DHT, SOF0/1/2, DRI, SOS and their scan data, EOI, and nothing after
// it. Each segment's contents must fill it exactly as its kind lays them out.
TOwnJpegCheck CheckOwnJpeg(std::span<const uint8_t> bytes, const TJpegExpectations& expected);

// Checks `bytes` (CheckOwnJpeg), writes them to fileName through the safe file stream, reads the
// written file back, checks it again and commits it only then. Otherwise throws EJpegLeak naming
// what was found, and the file that was there stays as it was.
void WriteVerifiedJpeg(const std::string& fileName, const std::vector<uint8_t>& bytes,
                       const TJpegExpectations& expected);
// The same for bytes already written to `file`: read back, checked, committed when fine.
void CommitVerifiedJpeg(TSafeFileStream& file, const TJpegExpectations& expected);

// The forms the writers have always called. thumbnailWritten: the Exif block may hold a thumbnail;
// `picture` and `reduced` are not what it is held to (the file is decoded for that, as --verify
// decodes it); personal tags are let through (the writer removed them or was asked to keep them).
void WriteVerifiedJpeg(const std::string& fileName, const TBitmap& picture,
                       const std::vector<uint8_t>& bytes, bool thumbnailWritten,
                       const TBitmap* reduced = nullptr);
// The same without the picture at hand: a thumbnail is refused.
void WriteVerifiedJpeg(const std::string& fileName, const std::vector<uint8_t>& bytes);
void CommitVerifiedJpeg(TSafeFileStream& file, const TBitmap& picture, bool thumbnailWritten,
                        const TBitmap* reduced = nullptr);

// ---- tilvo-cli --verify ----

// One place in the file that can carry data besides the picture: a marker segment by kind, the
// JFIF thumbnail, an Exif IFD and the picture tags in it, a maker note, an XMP packet, the
// Photoshop resources, the data after EOI...
struct TJpegCarrier {
    std::string Kind;     // "APP1 Exif", "COM", "Exif IFD1", "data after EOI", ...
    int64_t Offset = 0;   // where it starts in the file
    int64_t Size = 0;     // its bytes
    std::string Details;  // the picture tags of an IFD, the resources of a Photoshop block...
};

// One picture found inside the file besides its own.
struct TEmbeddedPicture {
    std::string Kind;    // "JPEG", "lossless JPEG", "PNG", "raw strips", "JFIF RGB thumbnail"...
    std::string Where;   // the carrier that holds it ("APP1", "COM", "after EOI", "XMP base64")
    int64_t Offset = 0;  // its first byte in the file (for a picture in base64: the run's start)
    int32_t Width = 0;   // its size, from its header or declared geometry (0: not declared)
    int32_t Height = 0;
    bool Thumbnail = false;  // the Exif IFD1 or JFIF/JFXX thumbnail
    // Thumbnails: the local difference to the file's own picture reduced to the thumbnail's
    // size; -1 when it could not be measured.
    double Difference = -1;
    bool Suspicious = false;
    std::string Reason;  // why it is suspicious
};

struct TJpegScan {
    int32_t Width = 0;  // the file's own picture, from its frame header
    int32_t Height = 0;
    std::vector<TJpegCarrier> Carriers;
    std::vector<TEmbeddedPicture> Pictures;
    // Findings that are not one picture (the marker structure breaks off, data after EOI, too
    // many candidates to check...).
    std::vector<std::string> Problems;
    // Where the file is not as Tilvo writes its own (CheckOwnJpeg's finding); listed, not
    // counted: any camera's file has segments Tilvo never writes.
    std::string NotAsTilvoWrites;
    bool Clean() const;
    // The first finding in words, for a message; empty when clean.
    std::string FirstFinding() const;
};

struct TJpegVerifyOptions {
    // The largest thumbnail allowed, and how far it may stray from the picture.
    int32_t MaxThumbnailSide = 512;
    double MaxThumbnailDifference = kMaxThumbnailDifference;
    // Limits on the work one file can cause: JPEG, TIFF and ISO media signatures whose headers
    // are walked (the other formats' headers are read in a few steps, without a limit), pictures
    // listed, and the memory libjpeg may take for one thumbnail and for the file's own picture.
    int MaxCandidates = 10000;
    int MaxPictures = 256;
    int64_t CandidateMemory = int64_t{64} << 20;
    int64_t PictureMemory = kMaxSurfaceBytes;
};

// Scans a whole JPEG file held in memory. Throws EInvalidGraphic when it has no start-of-image
// marker at its first byte or after a 128-byte prefix; everything else (a truncated or garbled
// file) is scanned as far as it goes. The main stream is walked by its markers; every byte
// outside its scan data (segments, the data before SOI and after EOI or where the structure
// breaks off) is searched for the signatures of JPEG (SOI, a frame or a scan header without SOI),
// PNG, GIF, WebP, TIFF, BMP and ISO-BMFF, each counted where its header parses as a picture of at
// least 8 × 8; the Exif block and TIFF blocks are walked (their strips, tiles and thumbnails by
// declared geometry), and so are the JFIF and JFXX thumbnails, and base64 runs in XMP packets are
// decoded and searched.
TJpegScan ScanJpegForLeaks(const uint8_t* data, size_t size, const TJpegVerifyOptions& options);

}  // namespace tilvo
