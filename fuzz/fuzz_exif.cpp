// The Exif fuzzer: the input is a JPEG file whose first APP1 segment may be an Exif block, or a
// bare block (a HEIC's or WebP's). It builds the block a save would carry from it, with and
// without personal data and a thumbnail, and holds the result to the table of kept tags: whatever
// the source holds, the built block must pass the check, and every byte of it must be a header, an
// entry, a kept value or the thumbnail. A crash, a sanitizer report, a hang or a failed check is
// a fault.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "FileFormat/ExifBuild.h"
#include "FileFormat/ExifJpeg.h"

namespace {

void Build(std::span<const uint8_t> tiff) {
    static const std::vector<uint8_t> thumbnail = {0xFF, 0xD8, 0xFF, 0xE0, 0, 2, 0xFF, 0xD9};
    for (int mode = 0; mode < 4; ++mode) {
        tilvo::TExifBuildOptions o;
        o.KeepPersonalData = (mode & 1) != 0;
        o.Width = 4000;
        o.Height = 3000;
        if (mode & 2) o.Thumbnail = thumbnail;
        const std::vector<uint8_t> block = tilvo::BuildExifBlock(tiff, o);
        if (block.empty()) continue;
        const tilvo::TExifBlockCheck check = tilvo::CheckExifBlock(block, o.KeepPersonalData);
        if (!check.Ok || check.HasThumbnail != ((mode & 2) != 0)) __builtin_trap();
        // Without personal data the block must hold none, by the check's own table.
        if (o.KeepPersonalData && !tilvo::CheckExifBlock(tilvo::BuildExifBlock(tiff, {}), false).Ok)
            __builtin_trap();
        const std::vector<uint8_t> segment = tilvo::BuildExifSegment(tiff, o);
        if (!segment.empty()) {
            const std::span<const uint8_t> inner = tilvo::ExifBlockOfSegment(segment);
            if (!std::equal(inner.begin(), inner.end(), block.begin(), block.end()))
                __builtin_trap();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Build(std::span<const uint8_t>(data, size));
    try {
        tilvo::TMemoryStream file(std::vector<uint8_t>(data, data + size));
        tilvo::TMemoryStream segment;
        if (!tilvo::ExtractExifSegment(file, segment)) return 0;
        Build(tilvo::ExifBlockOfSegment(segment.Memory()));
    } catch (const tilvo::Exception&) {
        // a clean refusal
    }
    return 0;
}
