// The Exif fuzzer: the input is a JPEG file whose first APP1 segment may be an Exif block. It runs
// the probe's steps (find, cut out, thumbnail tags), the rebuild of the segment around a small
// thumbnail and the removal of the thumbnail. Malformed input must end in a tilvo::Exception or a
// "no" answer; anything else (a crash, a sanitizer report, a hang) is a fault.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FileFormat/ExifJpeg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<uint8_t> thumbnail = {0xFF, 0xD8, 0xFF, 0xE0, 0, 2, 0xFF, 0xD9};
    try {
        tilvo::TMemoryStream file(std::vector<uint8_t>(data, data + size));
        int64_t offset = 0, length = 0;
        if (!tilvo::FindExifSegment(file, offset, length)) return 0;
        tilvo::TMemoryStream segment;
        if (!tilvo::ExtractExifSegment(file, segment)) __builtin_trap();  // found once, found again
        tilvo::TThumbnailTags tags;
        tilvo::FindThumbnailTags(segment, tags);
        tilvo::TThumbnailPlace place;
        const bool located = tilvo::LocateExifThumbnail(segment.Memory(), place);
        std::vector<uint8_t> rebuilt;
        const tilvo::TRebuildResult r =
            tilvo::RebuildExifSegment(segment.Memory(), thumbnail, rebuilt);
        if (located != (r != tilvo::TRebuildResult::NoThumbnail)) __builtin_trap();
        if (r == tilvo::TRebuildResult::Ok) {
            // The rebuilt segment states its own size and holds the new thumbnail where the
            // offset entry says.
            const size_t len = size_t(rebuilt[2]) << 8 | rebuilt[3];
            if (len + 2 != rebuilt.size() || rebuilt.size() > 65537) __builtin_trap();
            if (10 + size_t(place.Offset) + thumbnail.size() > rebuilt.size()) __builtin_trap();
            tilvo::TMemoryStream jpeg(std::vector<uint8_t>(data, data + size)), s(rebuilt), out;
            tilvo::InsertExifSegment(jpeg, s, out);
            if (out.Size() != int64_t(size + rebuilt.size())) __builtin_trap();
        }
        const std::vector<uint8_t>& original = segment.Memory();
        tilvo::CanRegenerateExifThumbnail(original);
        // Removal only zeroes bytes, moves nothing, cuts IFD0's link, and leaves nothing to
        // regenerate; a refused block stays as it was.
        std::vector<uint8_t> removed = original;
        if (tilvo::RemoveExifThumbnail(removed)) {
            if (removed.size() != original.size()) __builtin_trap();
            for (size_t i = 0; i < removed.size(); ++i)
                if (removed[i] != original[i] && removed[i] != 0) __builtin_trap();
            if (tilvo::CanRegenerateExifThumbnail(removed)) __builtin_trap();
            tilvo::TThumbnailPlace gone;
            if (tilvo::LocateExifThumbnail(removed, gone)) __builtin_trap();
        } else if (removed != original) {
            __builtin_trap();
        }
    } catch (const tilvo::Exception&) {
        // a clean refusal
    }
    return 0;
}
