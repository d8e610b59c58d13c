#include "HistoryListEx.h"

#include <algorithm>

#include "CustomFilter.h"
#include "Pixelate.h"
#include "StrokeBlend.h"

namespace tilvo {

namespace {

// The effect an entry replays with, in this order of preference: the filter its name names, its
// parameterised effect, its plain effect; with none of them the surface stays as it is.
void ApplyEntryEffect(const TEffectHInfo& e, TBitmap& surface) {
    if (FilterIdByName(e.Name) != 0)
        ApplyFilter(surface, e.Name);
    else if (e.ParamEffect)
        e.ParamEffect(surface, e.Param1, e.Param2, e.Param3);
    else if (e.Effect)
        e.Effect(surface, surface, 0);
}

// A brush or rectangle stroke: the mosaic or the solid fill through a mask. It replays with the
// live stroke's own computation.
bool IsStrokeEntry(const TEffectHInfo& e) {
    return e.Kind == HistoryKind &&
           (e.ParamEffect == &Pixelate || e.ParamEffect == &SolidFill ||
            (e.ParamEffect == &RestoreSource && e.Restore)) &&
           FilterIdByName(e.Name) == 0;
}

TStrokeEffect StrokeEffectOf(const TEffectHInfo& e) {
    if (e.ParamEffect == &SolidFill) return TStrokeEffect::SolidFill;
    if (e.ParamEffect == &RestoreSource) return TStrokeEffect::Restore;
    return TStrokeEffect::Mosaic;
}

// The scratch surfaces a replay reuses from one entry to the next.
struct TReplayScratch {
    TBitmap region, processed, output;
};

// Runs one entry on target, as a replay runs it; rect is the current rectangle, which a kind 1
// or 2 entry sets.
void ReplayEntry(TBitmap& target, const TEffectHInfo& e, TRect& rect, TReplayScratch& s) {
    if (e.Kind != HistoryKindWhole) rect = TRect{e.Left, e.Top, e.Right, e.Bottom};
    switch (e.Kind) {
        case HistoryKindWhole:
            ApplyEntryEffect(e, target);
            break;
        case HistoryKindRect:
            CopyRegionOut(target, rect, s.region);
            ApplyEntryEffect(e, s.region);
            CopyRegionIn(s.region, rect, target);
            break;
        case HistoryKind:
            if (!e.Mask) throw Exception("history entry without mask");
            if (IsStrokeEntry(e)) {
                // Exactly what the live stroke did, on the picture as it stood before it.
                BlendStroke(target, rect, StrokeEffectOf(e), e.Param1, e.Param2, *e.Mask, s.region,
                            e.Restore.get(), TPoint{Ordered(rect).Left, Ordered(rect).Top});
                CopyRegionIn(s.region, rect, target);
                break;
            }
            CopyRegionOut(target, rect, s.region);
            s.processed.Assign(s.region);
            ApplyEntryEffect(e, s.processed);
            s.output.Resize(s.processed.Width(), s.processed.Height(), pf24bit);
            ReplayBlend(s.output, s.region, s.processed, *e.Mask);
            CopyRegionIn(s.output, rect, target);
            break;
        default:
            break;
    }
}

// Whether a kept rectangle can stand in for the entry on this picture: the entry's rectangle lies
// on the picture and the kept one is a 24-bit surface of its size.
bool KeptFits(const TEffectHInfo& e, const TBitmap* kept, const TBitmap& picture) {
    if (!kept || e.Kind == HistoryKindWhole) return false;
    const TRect r = Ordered(TRect{e.Left, e.Top, e.Right, e.Bottom});
    return r.Left >= 0 && r.Top >= 0 && r.Right <= picture.Width() &&
           r.Bottom <= picture.Height() && kept->Width() == r.Width() &&
           kept->Height() == r.Height() && kept->PixelFormat() == pf24bit;
}

}  // namespace

void THistoryControl::Add(TParamEffect effect, const std::string& name,
                          const std::string& displayName, uint8_t kind, int32_t left, int32_t top,
                          int32_t right, int32_t bottom, int32_t param1, int32_t param2,
                          int32_t param3, const TBitmap* mask, TBitmap* pictureBefore,
                          const TBitmap* rectAfter, const TBitmap* restore) {
    // An entry that blends through a mask cannot be replayed without one.
    if (kind == HistoryKind && mask == nullptr) throw Exception("history entry without mask");
    auto e = std::make_unique<TEffectHInfo>();
    e->ParamEffect = effect;
    e->Name = name;
    e->DisplayName = displayName;
    e->Param1 = param1;
    e->Param2 = param2;
    e->Param3 = param3;
    if (kind == HistoryKind) {
        // The entry's own copy: later strokes redraw the main window's mask.
        e->Mask = std::make_unique<TBitmap>();
        e->Mask->Assign(*mask);
    }
    if (restore) {
        e->Restore = std::make_unique<TBitmap>();
        e->Restore->Assign(*restore);
        if (e->Restore->PixelFormat() != pf24bit) e->Restore->SetPixelFormat(pf24bit);
    }
    e->Kind = kind;
    if (kind != HistoryKindWhole) {
        e->Left = left;
        e->Top = top;
        e->Right = right;
        e->Bottom = bottom;
        if (pictureBefore && rectAfter) {
            const TRect r = Ordered(TRect{left, top, right, bottom});
            // Kept only when they are what Undo and Redo need: a rectangle on the picture, and
            // an after-rectangle of its size.
            if (r.Left >= 0 && r.Top >= 0 && r.Right <= pictureBefore->Width() &&
                r.Bottom <= pictureBefore->Height() && rectAfter->Width() == r.Width() &&
                rectAfter->Height() == r.Height()) {
                e->Before = std::make_unique<TBitmap>();
                CopyRegionOut(*pictureBefore, r, *e->Before);
                e->After = std::make_unique<TBitmap>();
                e->After->Assign(*rectAfter);
                if (e->After->PixelFormat() != pf24bit) e->After->SetPixelFormat(pf24bit);
            }
        }
    }
    // Room first, so that nothing can fail once the undone entries are dropped.
    entries_.reserve(size_t(std::max(position_, 0)) + 1);
    if (Count() != position_) Truncate();
    entries_.push_back(std::move(e));
    position_ = Count();
}

int64_t THistoryControl::SurfaceBytes() const {
    int64_t bytes = 0;
    for (const auto& e : entries_)
        for (const TBitmap* b : {e->Mask.get(), e->Before.get(), e->After.get(), e->Restore.get()})
            if (b) bytes += b->Stride() * b->Height();
    return bytes;
}

void THistoryControl::Truncate() {
    // A position below zero (left by an undo too many) drops every entry.
    const int32_t keep = std::max(position_, 0);
    if (keep >= Count()) return;
    while (Count() > keep) entries_.pop_back();
}

void THistoryControl::Clear() {
    entries_.clear();
}

bool THistoryControl::Undo(TBitmap& picture, const TBitmap& source, TRect* changed) {
    // Kept within 0 … number of entries, so that an undo too many changes nothing instead of
    // walking off the list and a later Add keeps the entries below the position.
    const int32_t from = std::clamp(position_, 0, Count());
    if (changed) *changed = TRect{};
    if (from == 0) {
        position_ = 0;
        return false;
    }
    const int32_t to = from - 1;
    const TEffectHInfo& e = *entries_[size_t(to)];
    if (KeptFits(e, e.Before.get(), picture)) {
        const TRect r = Ordered(TRect{e.Left, e.Top, e.Right, e.Bottom});
        CopyRegionIn(*e.Before, r, picture);
        if (changed) *changed = r;
    } else {
        // Without the rectangle as it was, the picture below the entry is rebuilt from the
        // source; into a copy, so that a failure leaves the picture as it was.
        TBitmap rebuilt;
        rebuilt.Assign(source);
        ReplayHistory(rebuilt, to, entries_);
        picture.Swap(rebuilt);
        if (changed) *changed = TRect{0, 0, picture.Width(), picture.Height()};
    }
    position_ = to;
    return position_ != 0;
}

bool THistoryControl::Redo(TBitmap& picture, TRect* changed) {
    const int32_t from = std::clamp(position_, 0, Count());
    if (changed) *changed = TRect{};
    if (from == Count()) {
        position_ = from;
        return false;
    }
    const TEffectHInfo& e = *entries_[size_t(from)];
    if (KeptFits(e, e.After.get(), picture)) {
        const TRect r = Ordered(TRect{e.Left, e.Top, e.Right, e.Bottom});
        CopyRegionIn(*e.After, r, picture);
        if (changed) *changed = r;
    } else {
        // The picture is the one the entry ran on, so running the entry on it is what a full
        // replay does next (an entry's rectangle is its own, whatever came before it); on a
        // copy, so that a failure leaves the picture as it was.
        TBitmap rebuilt;
        rebuilt.Assign(picture);
        TReplayScratch scratch;
        TRect rect;
        ReplayEntry(rebuilt, e, rect, scratch);
        picture.Swap(rebuilt);
        if (changed) *changed = TRect{0, 0, picture.Width(), picture.Height()};
    }
    position_ = from + 1;
    return position_ != Count();
}

void ReplayHistory(TBitmap& target, int32_t n,
                   const std::vector<std::unique_ptr<TEffectHInfo>>& entries) {
    n = int32_t(std::min<int64_t>(n, int64_t(entries.size())));
    if (n <= 0) return;
    // Scratch surfaces for all entries: their buffers grow to the largest rectangle and are
    // reused from one entry to the next.
    TReplayScratch scratch;
    TRect rect;
    for (int32_t i = 0; i < n; ++i) ReplayEntry(target, *entries[size_t(i)], rect, scratch);
}

}  // namespace tilvo
