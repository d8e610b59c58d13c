// The leak check of saved JPEG files: every picture a JPEG file carries besides its own (in APPn
// and COM segments, in any other marker segment, after the end of the picture) is found and
// decoded; only the Exif thumbnail may be there, and only when it shows the saved picture.
#pragma once

#include <cstddef>
#include <cstdint>
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

// One JPEG stream that decoded inside the file.
struct TEmbeddedPicture {
    std::string Where;   // the segment that holds it ("APP1", "COM", ...) or "after EOI"
    int64_t Offset = 0;  // position of its FF D8 in the file
    int32_t Width = 0;   // its size, from its frame header
    int32_t Height = 0;
    bool Thumbnail = false;  // IFD1's JPEG thumbnail in the first APP1 segment (Exif)
    // Thumbnails: the mean absolute difference, in levels per channel, to the saved picture
    // reduced to the thumbnail's size; -1 when it could not be measured.
    double Difference = -1;
    bool Suspicious = false;
    std::string Reason;  // why it is suspicious
};

struct TJpegScan {
    int32_t Width = 0;  // the file's own picture, from its frame header
    int32_t Height = 0;
    std::vector<TEmbeddedPicture> Pictures;
    // Suspicious findings that are not one picture (too many candidates to check, say).
    std::vector<std::string> Problems;
    bool Clean() const;
    // The first finding in words, for a message; empty when clean.
    std::string FirstFinding() const;
};

// How far, in mean levels per channel, a thumbnail may stray from the picture reduced to its size.
inline constexpr double kMaxThumbnailDifference = 8.0;

// The mean absolute difference, in levels per channel, of a JPEG thumbnail to `reduced` (a 24-bit
// surface of the thumbnail's size); -1 when it does not decode to that size.
double ThumbnailDifference(const std::vector<uint8_t>& jpeg, const TBitmap& reduced);

struct TJpegVerifyOptions {
    // False: even an Exif thumbnail is a finding (the save wrote none).
    bool ThumbnailAllowed = true;
    // The picture the file was saved from. Without it the file's own picture is decoded (at the
    // smallest libjpeg scale that is still at least the thumbnail's size) for the comparison.
    const TBitmap* Reference = nullptr;
    // The reference already reduced to the thumbnail's size, if the caller has it.
    const TBitmap* ReducedReference = nullptr;
    double MaxThumbnailDifference = kMaxThumbnailDifference;
    // Limits on the work one file can cause: candidates decoded at most (more is a finding), and
    // the memory libjpeg may take for one candidate (more: the candidate is a finding).
    int MaxCandidates = 256;
    int64_t CandidateMemory = int64_t{256} << 20;
    // The memory libjpeg may take to decode the file's own picture (when there is no reference).
    int64_t PictureMemory = kMaxSurfaceBytes;
};

// Scans a whole JPEG file held in memory. Throws EInvalidGraphic when it has no start-of-image
// marker at its first byte or after a 128-byte prefix (then searched too); everything else (a
// truncated or garbled file) is scanned as far as it goes. Candidates are the places where FF D8 FF
// stands in a marker segment's payload or in the data after the picture's end (or after the point
// where its marker structure breaks off); a candidate is decoded from there to the end of its
// segment (or of the file); one that does not decode is ignored.
TJpegScan ScanJpegForLeaks(const uint8_t* data, size_t size, const TJpegVerifyOptions& options);

// Writes `bytes` to fileName through the safe file stream, reads the written file back and scans
// it with `picture` as the reference (thumbnailWritten: the save put a thumbnail in its Exif
// block; `reduced` optionally the picture reduced to that thumbnail's size); commits only when it
// is clean. Otherwise throws EJpegLeak, and the file that was there stays as it was.
void WriteVerifiedJpeg(const std::string& fileName, const TBitmap& picture,
                       const std::vector<uint8_t>& bytes, bool thumbnailWritten,
                       const TBitmap* reduced = nullptr);
// The same for a file saved without a thumbnail, with no picture at hand.
void WriteVerifiedJpeg(const std::string& fileName, const std::vector<uint8_t>& bytes);
// The same for bytes already written to `file`: read back, scanned, committed when clean.
void CommitVerifiedJpeg(TSafeFileStream& file, const TBitmap& picture, bool thumbnailWritten,
                        const TBitmap* reduced = nullptr);

}  // namespace tilvo
