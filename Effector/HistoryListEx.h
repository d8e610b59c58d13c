// The edit history: every committed stroke as an entry that says how to redo it (effect,
// parameters, rectangle, mask), with the rectangle as it was before and after the stroke, so that
// undo and redo copy one rectangle back instead of replaying the entries below the position.
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
    // The rectangle of the picture before and after the entry ran (24 bits, the rectangle's
    // size), when the entry was added with them; Undo and Redo copy them back.
    std::unique_ptr<TBitmap> Before, After;
    // A restore entry's pixels of the picture as opened, over its rectangle (24 bits).
    std::unique_ptr<TBitmap> Restore;
};

class THistoryControl {
public:
    virtual ~THistoryControl() = default;

    // Drops the undone entries, then appends one; kind 2 needs a mask (throws otherwise), of
    // which the entry keeps its own copy. With pictureBefore (the picture as it is before the
    // entry runs) and rectAfter (the entry's rectangle as the entry leaves it, the rectangle's
    // size), a kind 1 or 2 entry keeps both rectangles too, and Undo and Redo over it cost a copy
    // of the rectangle. restore (a restore stroke's pixels of the picture as opened, the
    // rectangle's size) is kept as the entry's own copy. When anything fails, the history is as
    // it was.
    void Add(TParamEffect effect, const std::string& name, const std::string& displayName,
             uint8_t kind, int32_t left, int32_t top, int32_t right, int32_t bottom,
             int32_t param1, int32_t param2, int32_t param3, const TBitmap* mask,
             TBitmap* pictureBefore = nullptr, const TBitmap* rectAfter = nullptr,
             const TBitmap* restore = nullptr);
    void Clear();
    // picture is the picture at the current position (as the strokes, Undo and Redo left it);
    // source, for Undo, the picture as loaded. Undo steps the position back and takes the last applied
    // entry off picture, answering whether more can be undone; Redo steps it forward and applies
    // the next entry, answering whether more can be redone. Either way picture becomes what a
    // full replay of the entries below the new position gives, byte for byte. An entry kept with
    // its rectangles costs one copy of the rectangle; one without them costs one entry on redo
    // and a full replay on undo. changed (when given) receives the rectangle of picture that
    // changed (empty when nothing did). The position stays within 0 … Count(). When anything
    // fails, picture and the position are as they were.
    bool Undo(TBitmap& picture, const TBitmap& source, TRect* changed = nullptr);
    bool Redo(TBitmap& picture, TRect* changed = nullptr);
    // Bytes the entries' masks and rectangles take.
    int64_t SurfaceBytes() const;
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
