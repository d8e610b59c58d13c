// Finding what to hide: faces (dlib's HOG detector and OpenCV's profile cascade, in the helper
// program tilvo-find-faces) and text (Tesseract, in the module tilvo_find_text). What is found
// is a proposal: boxes in the picture's pixels that the caller shows or applies as rectangles.
// Nothing here changes the picture.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Effector/Bitmap.h"

namespace tilvo {

enum class TFoundKind : uint8_t { Face, Text };

struct TFound {
    TFoundKind Kind = TFoundKind::Face;
    TRect Box{};        // in the picture's pixels, within the picture
    std::string What;   // "face", "profile", "word", "all", or the pattern's name ("email", ...)
    std::string Text;   // the text matched (UTF-8); empty for a face
    friend bool operator==(const TFound&, const TFound&) = default;
};

// How a search is watched: Cancel set by another thread stops it (the search then fails with
// "cancelled"); Progress, when set, is told the share done (0 … 100) from the searching thread.
struct TFindControl {
    const std::atomic<bool>* Cancel = nullptr;
    std::function<void(int32_t percent)> Progress;
};

struct TFaceSearch {
    // The smallest face searched, in the picture's pixels; 0 is the default: 80 pixels, or less
    // on a picture of under 2000 pixels a side (a 25th of its longer side, down to 40).
    int32_t Smallest = 0;
    bool Small = false;     // the thorough search: down to 40-pixel faces on any picture
    bool Profiles = false;  // also faces turned to the side (OpenCV's profile cascade)
};

// The faces of the picture as the person sees it (upright), each box enlarged from the
// detector's to take in hair and chin, overlapping boxes joined; sorted top to bottom, then left
// to right. False with `error` saying why when the search cannot run (the helper program or its
// model is not installed: the text says what to install) or was cancelled.
bool FindFaces(const TBitmap& picture, const TFaceSearch& search, std::vector<TFound>& found,
               std::string& error, const TFindControl& control = {});

// The ready patterns (their definitions: docs/find-patterns.md).
enum class TTextPattern : uint8_t { Email, Phone, Iban, Card, Date, Plate };
// "email", "phone", "iban", "card", "date", "plate"; false for another name.
bool TextPatternFromName(const std::string& name, TTextPattern& pattern);
const char* TextPatternName(TTextPattern pattern);

struct TTextQuery {
    // Typed words or phrases: each matched case- and accent-insensitively, as a part of a word
    // (WholeWords false) or as whole words; a phrase of several words matches those words in a
    // row on one line.
    std::vector<std::string> Words;
    bool WholeWords = false;
    std::vector<TTextPattern> Patterns;
    bool All = false;               // every word read
    std::string Language = "eng";   // Tesseract's language names, "+" between several
    bool Empty() const { return Words.empty() && Patterns.empty() && !All; }
};

// The text of the picture that the query matches: a box per matched word or run of words on a
// line, a fifth of the letters' height (2 pixels at least) larger on every side. False with
// `error` saying why when the search cannot run (the module or the language's data is not
// installed: the text says what to install) or was cancelled.
bool FindText(const TBitmap& picture, const TTextQuery& query, std::vector<TFound>& found,
              std::string& error, const TFindControl& control = {});

// The grey copy the finders read: 0.299 R + 0.587 G + 0.114 B of a 24- or 32-bit picture (B, G,
// R order), the value of an 8-bit one.
void GreyOf(const TBitmap& picture, std::vector<uint8_t>& grey);

}  // namespace tilvo
