// tilvo-cli's finding: --find-faces, --find-small, --find-profiles, --find-text WORDS,
// --find-pattern NAME and --list-found, and what is found made rectangle items or JSON lines.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Effector/Bitmap.h"
#include "Find/Find.h"

namespace tilvo {

struct TCliStroke;

struct TCliFind {
    bool Faces = false;
    bool Small = false;     // --find-small: faces down to 40 pixels on any picture
    bool Profiles = false;  // --find-profiles: faces turned to the side too
    TTextQuery Text;        // --find-text and --find-pattern ("all": every word)
    bool List = false;      // --list-found: JSON lines, no picture written
    bool Any() const { return Faces || !Text.Empty(); }
};

// Takes the option `a` when it is one of the finding options (`value` gives its value and
// throws EUsage when there is none); false for any other option. Throws EUsage for a pattern
// name that is not one.
bool ParseFindOption(const std::string& a, const std::function<const std::string&()>& value,
                     TCliFind& find);

// Searches the picture as the options ask; throws with the reason (what to install, when a
// finder is not there). `seconds` is the time the search took.
std::vector<TFound> FindInPicture(const TCliFind& find, const TBitmap& picture, double& seconds);

// The found boxes as rectangle items, after those given by hand.
void AddFoundItems(const std::vector<TFound>& found, std::vector<TCliStroke>& items);

// One JSON object on a line: {"file":…,"kind":"face"|"text","what":…,"box":[x,y,w,h],"text":…}.
std::string FoundJsonLine(const std::string& file, const TFound& found);

}  // namespace tilvo
