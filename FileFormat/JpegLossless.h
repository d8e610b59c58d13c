// Saving an edited JPEG without touching what the user left alone: every MCU in which no pixel
// changed is copied from the source file as DCT coefficients; only the changed MCUs are encoded
// again from the edited pixels, with the source's own quantisation tables and sampling.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "Effector/Bitmap.h"
#include "Stream.h"

namespace tilvo {

// How much of the picture had to be encoded again.
struct TKeepUntouchedStats {
    int32_t McuColumns = 0;
    int32_t McuRows = 0;
    int32_t ChangedMcus = 0;
    // The MCU rows without a change were copied as the source's very bits (a baseline source
    // whose tables code every changed MCU); otherwise the whole stream was coded again.
    bool CopiedUntouchedRows = false;
};

class TJpegScanIndex;

// Whether a picture of width × height saved from `source` (the exact bytes of the JPEG it was
// opened from) can keep its untouched MCUs: the source is a baseline or progressive 8-bit YCbCr
// JPEG of that very size whose Exif orientation (if any) is upright. When it cannot, the reason
// goes to *whyNot (a short English phrase such as "the source is not a colour JPEG").
bool CanKeepUntouched(const std::vector<uint8_t>& source, int32_t width, int32_t height,
                      std::string* whyNot = nullptr);

// Writes the edited picture as a JPEG stream to `out` (appended at its position): the source's
// quantisation tables, sampling and restart interval, progressive when the source is or when
// `progressive` asks for it (baseline otherwise); every
// MCU whose pixels in `edited` equal those in `original` keeps the source's coefficients, every
// other MCU is encoded again from `edited`. No APPn or COM segment of the source is copied; the
// stream has a JFIF segment of its own only. `edited` and `original` are 24-bit surfaces of the
// picture's full width holding its rows top .. top + height - 1 (the whole picture when top is 0
// and the heights agree); rows outside them count as unchanged, so a band that starts or ends
// inside the picture must start and end on MCU-row boundaries. `original` must be the source as
// the open path decoded it. Answers false with the reason in *whyNot, writing nothing, when the
// source does not allow it (CanKeepUntouched), when its first MCU row does not decode to
// `original`'s (the picture is not the file's), or when libjpeg fails reading the source; a
// failure while encoding (a source whose tables change between scans, memory) throws EJPEG.
// A baseline source without restarts, saved baseline, keeps the bits of its untouched MCU rows;
// `index`, when given, is IndexJpegScan's of these very bytes (else it is made here).
bool SaveJpegKeepingUntouched(const std::vector<uint8_t>& source, const TBitmap& edited,
                              const TBitmap& original, int32_t top, bool progressive, TStream& out,
                              std::string* whyNot = nullptr, TKeepUntouchedStats* stats = nullptr,
                              const TJpegScanIndex* index = nullptr);

class TBandEditor;

// The same save for a picture that is never held whole: the source is decoded only over the rows
// `editor` reaches (whole MCU rows), a band at a time, and each band is edited, compared with
// what was decoded and encoded with the source's tables, while another thread walks the source's
// scan; then the untouched rows' bits are copied around the changed MCUs. For a baseline source
// without restarts that is upright and a colour 8-bit JPEG. Answers false, with nothing written,
// when it cannot be used so (the caller then takes the whole-picture way, which says why); a
// corrupt source throws as the open path does. The file goes to `out` (replacing its contents).
bool SaveJpegKeepingUntouchedInBands(std::span<const uint8_t> source, TBandEditor& editor,
                                     std::vector<uint8_t>& out,
                                     TKeepUntouchedStats* stats = nullptr);

// The height in pixels of the source's MCU rows (8 or 16); 0 when the header cannot be read.
int32_t JpegMcuRowHeight(const std::vector<uint8_t>& source);

}  // namespace tilvo
