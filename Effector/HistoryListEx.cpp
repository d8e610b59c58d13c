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
    return e.Kind == HistoryKind && (e.ParamEffect == &Pixelate || e.ParamEffect == &SolidFill) &&
           FilterIdByName(e.Name) == 0;
}

TStrokeEffect StrokeEffectOf(const TEffectHInfo& e) {
    return e.ParamEffect == &SolidFill ? TStrokeEffect::SolidFill : TStrokeEffect::Mosaic;
}

}  // namespace

void THistoryControl::Add(TParamEffect effect, const std::string& name,
                          const std::string& displayName, uint8_t kind, int32_t left, int32_t top,
                          int32_t right, int32_t bottom, int32_t param1, int32_t param2,
                          int32_t param3, const TBitmap* mask) {
    // An entry that blends through a mask cannot be replayed without one.
    if (kind == HistoryKind && mask == nullptr) throw Exception("history entry without mask");
    if (Count() != position_) Truncate();
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
    e->Kind = kind;
    if (kind != HistoryKindWhole) {
        e->Left = left;
        e->Top = top;
        e->Right = right;
        e->Bottom = bottom;
    }
    entries_.push_back(std::move(e));
    position_ = Count();
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

bool THistoryControl::Undo(TBitmap& target) {
    // Kept within 0 … number of entries, so that an undo too many replays nothing instead of
    // walking off the list and a later Add keeps the entries below the position.
    position_ = std::clamp(position_ - 1, 0, Count());
    ReplayHistory(target, position_, entries_);
    return position_ != 0;
}

bool THistoryControl::Redo(TBitmap& target) {
    position_ = std::clamp(position_ + 1, 0, Count());
    ReplayHistory(target, position_, entries_);
    return position_ != Count();
}

void ReplayHistory(TBitmap& target, int32_t n,
                   const std::vector<std::unique_ptr<TEffectHInfo>>& entries) {
    n = std::min<int64_t>(n, int64_t(entries.size()));
    if (n <= 0) return;
    // Scratch surfaces for all entries: their buffers grow to the largest rectangle and are
    // reused from one entry to the next.
    TBitmap region, processed, output;
    TRect rect;
    for (int32_t i = 0; i < n; ++i) {
        const TEffectHInfo& e = *entries[size_t(i)];
        if (e.Kind != HistoryKindWhole) rect = TRect{e.Left, e.Top, e.Right, e.Bottom};
        switch (e.Kind) {
            case HistoryKindWhole:
                ApplyEntryEffect(e, target);
                break;
            case HistoryKindRect:
                CopyRegionOut(target, rect, region);
                ApplyEntryEffect(e, region);
                CopyRegionIn(region, rect, target);
                break;
            case HistoryKind:
                if (!e.Mask) throw Exception("history entry without mask");
                if (IsStrokeEntry(e)) {
                    // Exactly what the live stroke did, on the picture as it stood before it.
                    BlendStroke(target, rect, StrokeEffectOf(e), e.Param1, e.Param2, *e.Mask,
                                region);
                    CopyRegionIn(region, rect, target);
                    break;
                }
                CopyRegionOut(target, rect, region);
                processed.Assign(region);
                ApplyEntryEffect(e, processed);
                output.Resize(processed.Width(), processed.Height(), pf24bit);
                ReplayBlend(output, region, processed, *e.Mask);
                CopyRegionIn(output, rect, target);
                break;
            default:
                break;
        }
    }
}

}  // namespace tilvo
