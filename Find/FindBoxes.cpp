// Detector boxes to face proposals.
#include "Find/FindBoxes.h"

#include <algorithm>
#include <cmath>

namespace tilvo {

namespace {

struct TBox {
    double L, T, R, B;
    bool Profile;
    double Area() const { return std::max(0.0, R - L) * std::max(0.0, B - T); }
};

// The share of the smaller box that the two have in common.
double Overlap(const TBox& a, const TBox& b) {
    const double w = std::min(a.R, b.R) - std::max(a.L, b.L);
    const double h = std::min(a.B, b.B) - std::max(a.T, b.T);
    if (w <= 0 || h <= 0) return 0;
    return w * h / std::max(1.0, std::min(a.Area(), b.Area()));
}

}  // namespace

std::vector<TFound> FaceProposals(const std::vector<TFaceBox>& boxes, int32_t width,
                                  int32_t height) {
    std::vector<TBox> grown;
    for (const TFaceBox& f : boxes) {
        TBox b;
        if (f.Detector == "hog") {
            // dlib's box runs from the brows to the chin and cheek to cheek: a fifth more at each
            // side for the ears, half its height above for the forehead and hair, a fifth below
            // for the chin.
            b = {f.X - 0.2 * f.W, f.Y - 0.5 * f.H, f.X + 1.2 * f.W, f.Y + 1.2 * f.H, false};
        } else {
            // The cascades' box takes in the forehead: a tenth more at each side and above, a
            // fifth below.
            b = {f.X - 0.1 * f.W, f.Y - 0.1 * f.H, f.X + 1.1 * f.W, f.Y + 1.2 * f.H,
                 f.Detector == "profile"};
        }
        grown.push_back(b);
    }
    // Boxes that mostly cover each other (one face seen by two detectors, or by the profile
    // cascade on the picture and its mirror) become one box around both.
    for (bool joined = true; joined;) {
        joined = false;
        for (size_t i = 0; i < grown.size() && !joined; ++i)
            for (size_t j = i + 1; j < grown.size() && !joined; ++j)
                if (Overlap(grown[i], grown[j]) > 0.4) {
                    TBox& a = grown[i];
                    const TBox& b = grown[j];
                    a = {std::min(a.L, b.L), std::min(a.T, b.T), std::max(a.R, b.R),
                         std::max(a.B, b.B), a.Profile && b.Profile};
                    grown.erase(grown.begin() + ptrdiff_t(j));
                    joined = true;
                }
    }
    std::vector<TFound> found;
    for (const TBox& b : grown) {
        TRect r{int32_t(std::clamp(std::floor(b.L), 0.0, double(width))),
                int32_t(std::clamp(std::floor(b.T), 0.0, double(height))),
                int32_t(std::clamp(std::ceil(b.R), 0.0, double(width))),
                int32_t(std::clamp(std::ceil(b.B), 0.0, double(height)))};
        if (r.Width() <= 0 || r.Height() <= 0) continue;
        found.push_back({TFoundKind::Face, r, b.Profile ? "profile" : "face", ""});
    }
    std::sort(found.begin(), found.end(), [](const TFound& a, const TFound& b) {
        return a.Box.Top != b.Box.Top ? a.Box.Top < b.Box.Top : a.Box.Left < b.Box.Left;
    });
    return found;
}

}  // namespace tilvo
