// The band fuzzer: the input is any file that starts like a JPEG. It goes through tilvo-cli's
// JPEG paths that never hold the whole picture: the band pipeline from the decoder thread to the
// encoder (with a band editor that checks every band it is handed), and the decode of a few rows
// after the rows above are skipped. Malformed input must end in a tilvo::Exception or an answer;
// a crash, a sanitizer report, a hang or a band out of place is a fault.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FileFormat/JPEGImage.h"

namespace {

class TCheckingEditor : public tilvo::TBandEditor {
  public:
    int32_t Begin(int32_t width, int32_t height) override {
        width_ = width;
        height_ = height;
        return 16;
    }
    void Edit(tilvo::TBitmap& band, int32_t top) override {
        // Bands follow each other, on multiples of 16, at full width, inside the picture.
        if (top != next_ || top % 16 != 0 || band.Width() != width_ || band.Height() <= 0 ||
            int64_t(top) + band.Height() > height_)
            __builtin_trap();
        next_ = top + band.Height();
        // Every byte of the band is written by the decoder: reading it must be defined.
        uint32_t sum = 0;
        for (int32_t y = 0; y < band.Height(); ++y) {
            const uint8_t* row = band.ScanLine(y);
            for (int32_t i = 0; i < band.Width() * 3; ++i) sum += row[i];
        }
        sink_ ^= sum;
    }

  private:
    int32_t width_ = 0, height_ = 0, next_ = 0;
    uint32_t sink_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    if (size < 4) return 0;
    const bool progressive = (size & 1) != 0, fullChroma = (size & 2) != 0;
    try {
        TCheckingEditor editor;
        tilvo::TMemoryStream out;
        tilvo::TranscodeJpegInBands(bytes, editor, 75, progressive, false, fullChroma, out);
    } catch (const tilvo::Exception&) {
    }
    try {
        tilvo::TBitmap rows;
        int32_t wanted = 0;
        if (tilvo::DecodeJpegRows(
                bytes,
                [&](int32_t, int32_t h, int32_t& top, int32_t& bottom) {
                    top = h / 2;
                    bottom = std::min(h, top + 9);
                    wanted = bottom - top;
                },
                rows) &&
            rows.Height() != wanted)
            __builtin_trap();
    } catch (const tilvo::Exception&) {
    }
    return 0;
}
