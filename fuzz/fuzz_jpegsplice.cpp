// The splice fuzzer: the input is any file that starts like a JPEG. It goes through the lossless
// saves that copy the untouched MCU rows' bits: the walk of the scan, the save a band at a time
// (an edit over part of a band of rows) and the save of the whole decoded picture. Whatever a
// save writes must itself be a clean stream of the same grid the walk takes. Malformed input must
// end in a tilvo::Exception or an answer; a crash, a sanitizer report or a hang is a fault.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "FileFormat/JPEGImage.h"
#include "FileFormat/JpegLossless.h"
#include "FileFormat/JpegSplice.h"

namespace {

// Changes columns w/3 .. w/2 of rows h/3 .. h/2: MCU rows changed only in part.
class TPartEditor : public tilvo::TBandEditor {
  public:
    int32_t Begin(int32_t width, int32_t height) override {
        width_ = width;
        height_ = height;
        return 8;
    }
    void Reach(int32_t& top, int32_t& bottom) const override {
        top = height_ / 3;
        bottom = height_ / 2;
    }
    void Edit(tilvo::TBitmap& band, int32_t top) override { Apply(band, top); }
    void Apply(tilvo::TBitmap& band, int32_t top) const {
        for (int32_t y = std::max(top, height_ / 3); y < std::min(top + band.Height(), height_ / 2);
             ++y) {
            uint8_t* row = band.ScanLine(y - top);
            for (int32_t x = width_ / 3; x < width_ / 2; ++x) row[3 * x + 1] ^= 0x5A;
        }
    }

  private:
    int32_t width_ = 0, height_ = 0;
};

void CheckWritten(const std::vector<uint8_t>& out, const tilvo::TJpegScanIndex& source) {
    const auto index = tilvo::IndexJpegScan(out);
    if (index == nullptr ||
        tilvo::ScanIndexMcuColumns(*index) != tilvo::ScanIndexMcuColumns(source) ||
        tilvo::ScanIndexMcuRows(*index) != tilvo::ScanIndexMcuRows(source))
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    const auto index = tilvo::IndexJpegScan(bytes);
    if (index == nullptr) return 0;
    // Pictures of a few megapixels at most keep every run short.
    if (int64_t(tilvo::ScanIndexMcuColumns(*index)) * tilvo::ScanIndexMcuRows(*index) > 16384)
        return 0;
    try {
        TPartEditor editor;
        std::vector<uint8_t> out;
        if (tilvo::SaveJpegKeepingUntouchedInBands(bytes, editor, out)) CheckWritten(out, *index);
    } catch (const tilvo::Exception&) {
    }
    try {
        tilvo::TBitmap original;
        int32_t width = 0, height = 0;
        if (!tilvo::DecodeJpegRows(
                bytes,
                [&](int32_t w, int32_t h, int32_t&, int32_t&) {
                    width = w;
                    height = h;
                },
                original))
            return 0;
        tilvo::TBitmap edited;
        edited.Assign(original);
        TPartEditor editor;
        editor.Begin(width, height);
        editor.Apply(edited, 0);
        tilvo::TMemoryStream out;
        if (tilvo::SaveJpegKeepingUntouched(bytes, edited, original, 0, false, out))
            CheckWritten(out.Memory(), *index);
    } catch (const tilvo::Exception&) {
    }
    return 0;
}
