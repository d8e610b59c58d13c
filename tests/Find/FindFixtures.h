// The pictures of the find tests and benchmarks, made from the small fixtures under
// tests/data/find (tools/make_find_fixtures.py): faces pasted at a size and a turn onto a
// background photo, and the screenshots with the words drawn on them.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Effector/Bitmap.h"
#include "Effector/Resample.h"
#include "FileFormat/Graphic.h"

namespace tilvo::test {

inline std::string FindData(const std::string& name) {
    return std::string(TILVO_TEST_DATA) + "/find/" + name;
}

// A fixture as a 24-bit picture (the formats must be registered).
inline void LoadFindFixture(const std::string& name, TBitmap& picture) {
    LoadPictureFile(FindData(name), picture);
    if (picture.PixelFormat() != pf24bit) picture.SetPixelFormat(pf24bit);
}

// The background photo `name` stretched over width × height.
inline void MakeBackground(const std::string& name, int32_t width, int32_t height,
                           TBitmap& picture) {
    TBitmap photo;
    LoadFindFixture("background_" + name + ".jpg", photo);
    ResampleAreaAverage(photo, picture, width, height);
}

// `face` pasted `width` pixels wide (its height in proportion), its centre at (cx, cy), turned
// by `degrees` (clockwise) and mirrored when asked; bilinear from a copy first reduced near that
// size. The pasted box (before the turn) is returned.
inline TRect PasteFace(const TBitmap& face, TBitmap& to, double cx, double cy, int32_t width,
                       double degrees, bool mirror) {
    const int32_t height = int32_t(std::lround(double(width) * face.Height() / face.Width()));
    TBitmap sized;
    ResampleAreaAverage(face, sized, std::min(width, face.Width()),
                        std::min(height, face.Height()));
    const double sx = double(sized.Width()) / width, sy = double(sized.Height()) / height;
    const double a = degrees * M_PI / 180.0, c = std::cos(a), s = std::sin(a);
    const double reach = 0.5 * std::hypot(width, height) + 1;
    const int32_t x0 = std::max(0, int32_t(cx - reach)), x1 = std::min(to.Width(), int32_t(cx + reach));
    const int32_t y0 = std::max(0, int32_t(cy - reach)), y1 = std::min(to.Height(), int32_t(cy + reach));
    for (int32_t y = y0; y < y1; ++y) {
        uint8_t* row = to.ScanLine(y);
        for (int32_t x = x0; x < x1; ++x) {
            // Back into the face: turned the other way, then scaled to the sized copy.
            const double dx = x + 0.5 - cx, dy = y + 0.5 - cy;
            double u = c * dx + s * dy + width / 2.0, v = -s * dx + c * dy + height / 2.0;
            if (u < 0 || v < 0 || u >= width || v >= height) continue;
            if (mirror) u = width - u;
            const double fu = std::clamp(u * sx - 0.5, 0.0, sized.Width() - 1.001);
            const double fv = std::clamp(v * sy - 0.5, 0.0, sized.Height() - 1.001);
            const int32_t iu = int32_t(fu), iv = int32_t(fv);
            const double wu = fu - iu, wv = fv - iv;
            const uint8_t* r0 = sized.ScanLine(iv) + iu * 3;
            const uint8_t* r1 = sized.ScanLine(std::min(iv + 1, sized.Height() - 1)) + iu * 3;
            const int32_t right = iu + 1 < sized.Width() ? 3 : 0;
            for (int k = 0; k < 3; ++k) {
                const double top = r0[k] * (1 - wu) + r0[k + right] * wu;
                const double bottom = r1[k] * (1 - wu) + r1[k + right] * wu;
                row[x * 3 + k] = uint8_t(std::lround(top * (1 - wv) + bottom * wv));
            }
        }
    }
    return TRect{int32_t(cx - width / 2.0), int32_t(cy - height / 2.0),
                 int32_t(cx + width / 2.0), int32_t(cy + height / 2.0)};
}

// A word drawn on a screenshot fixture, from its .tsv.
struct TDrawnWord {
    int32_t Size = 0;  // the font's size in pixels
    TRect Box{};
    std::string Text;
};

inline std::vector<TDrawnWord> DrawnWords(const std::string& name) {
    std::ifstream in(FindData(name + ".tsv"));
    std::vector<TDrawnWord> words;
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        std::istringstream f(line);
        TDrawnWord w;
        int32_t x, y, width, height;
        f >> w.Size >> x >> y >> width >> height;
        f.get();
        std::getline(f, w.Text);
        w.Box = {x, y, x + width, y + height};
        words.push_back(w);
    }
    return words;
}

// The share of the smaller box the two boxes have in common.
inline double SharedShare(const TRect& a, const TRect& b) {
    const int64_t w = std::min(a.Right, b.Right) - std::max(a.Left, b.Left);
    const int64_t h = std::min(a.Bottom, b.Bottom) - std::max(a.Top, b.Top);
    if (w <= 0 || h <= 0) return 0;
    const int64_t smaller = std::min(int64_t(a.Width()) * a.Height(), int64_t(b.Width()) * b.Height());
    return double(w * h) / double(std::max<int64_t>(smaller, 1));
}

}  // namespace tilvo::test
