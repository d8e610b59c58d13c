// Where tilvo-cli's strokes and rectangles fall on a picture.
#include "CliItems.h"

#include <algorithm>
#include <cmath>

namespace tilvo {

namespace {

struct TBox {
    double Left, Top, Right, Bottom;  // inclusive
};

double PointToBox(double x, double y, const TBox& b) {
    const double dx = std::max({b.Left - x, 0.0, x - b.Right});
    const double dy = std::max({b.Top - y, 0.0, y - b.Bottom});
    return std::hypot(dx, dy);
}

double PointToSegment(double x, double y, double x0, double y0, double x1, double y1) {
    const double vx = x1 - x0, vy = y1 - y0;
    const double len2 = vx * vx + vy * vy;
    double t = len2 > 0 ? ((x - x0) * vx + (y - y0) * vy) / len2 : 0.0;
    t = std::clamp(t, 0.0, 1.0);
    return std::hypot(x - (x0 + t * vx), y - (y0 + t * vy));
}

// Whether the segment crosses the box (Liang–Barsky clipping).
bool SegmentMeetsBox(double x0, double y0, double x1, double y1, const TBox& b) {
    double t0 = 0, t1 = 1;
    const double dx = x1 - x0, dy = y1 - y0;
    const double p[4] = {-dx, dx, -dy, dy};
    const double q[4] = {x0 - b.Left, b.Right - x0, y0 - b.Top, b.Bottom - y0};
    for (int i = 0; i < 4; ++i) {
        if (p[i] == 0) {
            if (q[i] < 0) return false;
            continue;
        }
        const double t = q[i] / p[i];
        if (p[i] < 0)
            t0 = std::max(t0, t);
        else
            t1 = std::min(t1, t);
        if (t0 > t1) return false;
    }
    return true;
}

// The distance from the segment to the box: for two convex shapes apart, it is reached at a
// corner of one of them.
double SegmentToBox(double x0, double y0, double x1, double y1, const TBox& b) {
    if (SegmentMeetsBox(x0, y0, x1, y1, b)) return 0;
    double d = std::min(PointToBox(x0, y0, b), PointToBox(x1, y1, b));
    for (const double cx : {b.Left, b.Right})
        for (const double cy : {b.Top, b.Bottom})
            d = std::min(d, PointToSegment(cx, cy, x0, y0, x1, y1));
    return d;
}

std::string Describe(const TCliStroke& item) {
    if (item.IsRect) {
        const TRect& r = item.Rect;
        return std::string(item.IsEllipse ? "the ellipse --ellipse " : "the rectangle --rect ") +
               std::to_string(r.Left) + "," + std::to_string(r.Top) +
               "," + std::to_string(r.Right - r.Left) + "," + std::to_string(r.Bottom - r.Top);
    }
    const auto point = [](const TPoint& p) {
        return std::to_string(p.X) + "," + std::to_string(p.Y);
    };
    std::string text = "the stroke --stroke ";
    const size_t n = item.Points.size();
    for (size_t i = 0; i < n; ++i) {
        if (n > 4 && i == 3) {
            text += "...;";
            text += point(item.Points.back());
            text += " (" + std::to_string(n) + " points)";
            break;
        }
        if (i) text += ';';
        text += point(item.Points[i]);
    }
    return text;
}

}  // namespace

std::string ItemOutsidePicture(const TCliOptions& o, int32_t width, int32_t height) {
    for (const TCliStroke& item : o.Strokes) {
        bool outside;
        if (item.IsRect) {  // a rectangle, or the ellipse inscribed in it
            const TRect& r = item.Rect;
            outside = r.Right <= 0 || r.Bottom <= 0 || r.Left >= width || r.Top >= height;
        } else if (item.Points.empty()) {
            continue;
        } else {
            // The pen paints the pixels whose centres lie within half the brush of the line (half
            // a pixel to spare for its rounding); the soft edge only blurs what it painted on the
            // picture.
            const TBox box{0, 0, width - 1.0, height - 1.0};
            const double reach = o.BrushSize / 2.0 + 0.5;
            double d = PointToBox(item.Points[0].X, item.Points[0].Y, box);
            for (size_t i = 1; i < item.Points.size() && d > reach; ++i) {
                const TPoint& a = item.Points[i - 1];
                const TPoint& b = item.Points[i];
                d = std::min(d, SegmentToBox(a.X, a.Y, b.X, b.Y, box));
            }
            outside = d > reach;
        }
        if (outside)
            return Describe(item) + " lies wholly outside the picture (" + std::to_string(width) +
                   " x " + std::to_string(height) + ")";
    }
    return {};
}

}  // namespace tilvo
