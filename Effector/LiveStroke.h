// The stroke being dragged, shown as it will be committed: its mask grows segment by segment, each
// move blends only the part of the picture the new segment changed, and the release commits the
// very mask and cells that were shown.
#pragma once

#include <cstdint>

#include <vector>

#include "Bitmap.h"
#include "Pixelate.h"
#include "StrokeBlend.h"

namespace tilvo {

class TLiveStroke {
  public:
    // Starts a stroke over picture, which must not change until Commit or Cancel. source is the
    // picture as opened (the same size; read by the Restore effect only). Nothing is drawn yet.
    void Begin(TBitmap& picture, const TBitmap* source, TStrokeEffect effect, int32_t cellSize,
               int32_t brushSize, bool softEdge);
    bool Active() const { return FPicture != nullptr; }

    // Adds the segment from → to (a dot when they are equal) to the stroke's mask and writes the
    // result the committed stroke will have into `shown` (a copy of the picture, its size) where
    // the segment changed it. Answers that rectangle (picture coordinates, empty when the
    // segment lies off the picture). Only the segment's own neighbourhood is drawn, softened,
    // pixelated and blended; the mask's buffer grows now and then, never per move.
    TRect AddSegment(TPoint from, TPoint to, TBitmap& shown);

    // Everything the stroke has written into shown so far (empty before the first segment).
    TRect Touched() const { return FTouched; }

    // The committed stroke: ctx.MaskBitmap becomes the mask over dirtyRect (which must lie on the
    // picture), and ApplyMaskedStroke blends it into ctx.WorkBitmap and records the history
    // entry. ctx.WorkBitmap must be the picture given to Begin. The stroke ends either way.
    void Commit(TStrokeContext& ctx, TRect dirtyRect);
    // Ends the stroke without committing; the caller puts `shown` back inside Touched().
    void Cancel();

    // The mask value (0 black … 255 white) the committed stroke will have at picture pixel
    // (x, y): for tests and the window's checks.
    uint8_t MaskAt(int32_t x, int32_t y) const;

    // The longest move whose part the buffers hold from the start.
    static constexpr int64_t kReservedMove = 128;

  private:
    // Makes sure the mask covers `need` (clipped to the picture), growing it with room to spare.
    void Cover(TRect need);
    // The softened (or hard) mask value at a pixel of the mask's area.
    uint8_t SoftAt(int32_t x, int32_t y) const;
    // Writes the committed result inside rect (on the picture, inside the mask's area) to shown.
    void BlendInto(TRect rect, TBitmap& shown);

    TBitmap* FPicture = nullptr;
    const TBitmap* FSource = nullptr;
    TStrokeEffect FEffect = TStrokeEffect::Mosaic;
    int32_t FCell = 16;
    int32_t FBrush = 50;
    bool FSoft = true;
    TBitmap FHard;   // the pen's mask over FArea: white, the stroke black (24 bits, as drawn)
    TRect FArea;     // what FHard covers, picture coordinates
    TBitmap FCells;  // scratch: the cells under the part being blended
    TPixelateScratch FPixelate;
    TBitmap FGrow;   // scratch: the mask's next buffer while it grows
    std::vector<uint8_t> FRow;  // scratch: one row of mask values, spread over B, G, R
    TRect FTouched;
};

}  // namespace tilvo
