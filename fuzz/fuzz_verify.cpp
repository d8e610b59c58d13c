// The verify fuzzer: the input is any file. It runs the scan behind tilvo-cli --verify (the walk
// of the main stream, the signature search, the TIFF walker, the base64 runs), the check every
// JPEG save passes before it is written, the reading of the Exif orientation, and the finder's
// parsers on the input itself. Malformed input must end in a tilvo::Exception or an answer; a
// crash, a sanitizer report, a hang or a finding outside the file is a fault.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "FileFormat/ExifJpeg.h"
#include "FileFormat/JpegVerify.h"
#include "FileFormat/PictureFinder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    try {
        tilvo::TJpegVerifyOptions o;
        // Smaller limits than a real scan, so one input stays well within the fuzzer's.
        o.MaxCandidates = 2000;
        o.MaxPictures = 64;
        o.CandidateMemory = int64_t{64} << 20;
        o.PictureMemory = int64_t{256} << 20;
        const tilvo::TJpegScan scan = tilvo::ScanJpegForLeaks(data, size, o);
        for (const tilvo::TEmbeddedPicture& p : scan.Pictures)
            if (p.Offset < 0 || size_t(p.Offset) >= size) __builtin_trap();
        for (const tilvo::TJpegCarrier& c : scan.Carriers)
            if (c.Offset < 0 || c.Size < 0 || size_t(c.Offset) + size_t(c.Size) > size)
                __builtin_trap();
        if (scan.Clean() != scan.FirstFinding().empty()) __builtin_trap();
    } catch (const tilvo::Exception&) {
        // not a JPEG: a clean refusal
    }
    const int orientation = tilvo::ExifOrientationOfJpeg(data, size);
    if (orientation < 1 || orientation > 8) __builtin_trap();
    tilvo::TJpegExpectations e;
    e.ThumbnailAllowed = true;
    const tilvo::TOwnJpegCheck own = tilvo::CheckOwnJpeg(bytes, e);
    if (own.Ok != own.Problem.empty()) __builtin_trap();

    // The finder on the input as it is: a TIFF block, text with base64, a picture header.
    const tilvo::TTiffWalk walk = tilvo::WalkTiff(bytes, 32);
    for (const tilvo::TTiffIfd& ifd : walk.Ifds) {
        if (ifd.Offset >= size) __builtin_trap();
        for (const tilvo::TTiffValue& v : ifd.Carriers)
            if (v.Size > 0 && (v.Offset > size || v.Size > size - v.Offset)) __builtin_trap();
    }
    bool capped = false;
    size_t decoded = 0;
    for (const tilvo::TBase64Run& run : tilvo::FindBase64Runs(bytes, 16, 4 * size, &capped)) {
        if (run.Offset >= size) __builtin_trap();
        decoded += run.Decoded.size();
    }
    if (decoded > size) __builtin_trap();
    tilvo::TFoundHeader f;
    if (tilvo::ParsePictureHeader(bytes, 0, f) &&
        (f.Width < tilvo::kMinFoundSide || (f.Height != 0 && f.Height < tilvo::kMinFoundSide)))
        __builtin_trap();
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xD8 && tilvo::JpegStreamEnd(bytes, 0) > size)
        __builtin_trap();
    return 0;
}
