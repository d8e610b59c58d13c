// The edit history: every committed stroke as an entry that says how to redo it (effect,
// parameters, rectangle, mask); undo and redo replay the first n entries onto the source picture.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Bitmap.h"

namespace tilvo {

using TPlainEffect = void (*)(TBitmap&, TBitmap&, int32_t);
using TParamEffect = void (*)(TBitmap&, int32_t, int32_t, int32_t);

// 0 = whole picture, 1 = rectangle, 2 = rectangle through a mask.
inline constexpr uint8_t HistoryKindWhole = 0;
inline constexpr uint8_t HistoryKindRect = 1;
inline constexpr uint8_t HistoryKind = 2;

struct TEffectHInfo {
    TPlainEffect Effect = nullptr;
    TParamEffect ParamEffect = nullptr;
    std::string Name;
    std::string DisplayName;
    uint8_t Kind = 0;
    int32_t Left = 0, Top = 0, Right = 0, Bottom = 0;
    int32_t Param1 = 0, Param2 = 0, Param3 = 0;
    std::string TextParam;
    std::unique_ptr<TBitmap> Mask;  // present only for kind 2
};

class THistoryControl {
public:
    virtual ~THistoryControl() = default;

    // Drops the undone entries, then appends one; kind 2 needs a mask (throws otherwise), of
    // which the entry keeps its own copy.
    void Add(TParamEffect effect, const std::string& name, const std::string& displayName,
             uint8_t kind, int32_t left, int32_t top, int32_t right, int32_t bottom,
             int32_t param1, int32_t param2, int32_t param3, const TBitmap* mask);
    void Clear();
    // target holds a copy of the source picture. Undo steps the position back and replays the
    // entries below it, answering whether more can be undone; Redo steps it forward and answers
    // whether more can be redone. The position stays within 0 … Count().
    bool Undo(TBitmap& target);
    bool Redo(TBitmap& target);
    // Drops the entries after the position.
    void Truncate();

    int32_t Position() const { return position_; }
    int32_t Count() const { return int32_t(entries_.size()); }
    const std::vector<std::unique_ptr<TEffectHInfo>>& Entries() const { return entries_; }

private:
    int32_t position_ = 0;
    std::vector<std::unique_ptr<TEffectHInfo>> entries_;
};

// Replays entries 0 … n − 1 onto target (n is limited to the list; n ≤ 0 leaves it unchanged).
// A stroke entry (kind 2, effect Pixelate or SolidFill) replays exactly as the live stroke ran
// (BlendStroke), so replaying a history gives back the very bytes the strokes made; other kind 2
// entries blend their processed cut-out with ReplayBlend.
void ReplayHistory(TBitmap& target, int32_t n,
                   const std::vector<std::unique_ptr<TEffectHInfo>>& entries);

}  // namespace tilvo
