// The leak-check fuzzer: the input is any file that starts like a JPEG. It runs the scan that
// guards every JPEG save and tilvo-cli --verify, and the reading of the Exif orientation.
// Malformed input must end in a tilvo::Exception or an answer; a crash, a sanitizer report or a
// hang is a fault.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FileFormat/ExifJpeg.h"
#include "FileFormat/JpegVerify.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    try {
        tilvo::TJpegVerifyOptions o;
        // Smaller limits than a real scan, so one input stays well within the fuzzer's.
        o.MaxCandidates = 32;
        o.CandidateMemory = int64_t{64} << 20;
        o.PictureMemory = int64_t{256} << 20;
        const tilvo::TJpegScan scan = tilvo::ScanJpegForLeaks(data, size, o);
        for (const tilvo::TEmbeddedPicture& p : scan.Pictures) {
            if (p.Offset < 0 || size_t(p.Offset) + 3 > size) __builtin_trap();
            if (data[p.Offset] != 0xFF || data[p.Offset + 1] != 0xD8) __builtin_trap();
        }
        if (scan.Clean() != scan.FirstFinding().empty()) __builtin_trap();
    } catch (const tilvo::Exception&) {
        // not a JPEG: a clean refusal
    }
    const int orientation = tilvo::ExifOrientationOfJpeg(data, size);
    if (orientation < 1 || orientation > 8) __builtin_trap();
    return 0;
}
