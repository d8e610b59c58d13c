// tilvo-find-faces: the face search, a helper program of its own. Debian's dlib is a static
// library built without position-independent code, so its HOG detector cannot go into a loaded
// module; its shared library would bring a 95 MiB model package with it. The programs start this
// helper when a face search is asked for and talk to it through its standard input and output:
//
//   in:  "tilvo-find-faces 1 WIDTH HEIGHT SMALLEST FLAGS\n" then WIDTH × HEIGHT grey bytes, row by
//        row. SMALLEST is the smallest face searched, in the picture's pixels; FLAGS is a sum of
//        1 (frontal faces, dlib's HOG detector) and 2 (profiles, OpenCV's profile cascade on the
//        picture and its mirror).
//   out: "face X Y W H DETECTOR\n" per face found, in the picture's pixels, the box as the
//        detector gives it (the caller enlarges it), then "done N\n".
//
// Errors go to standard error and the exit status is not 0. The helper reads the whole picture
// before it searches, so a caller may write it all before reading.
#include <dlib/image_processing/frontal_face_detector.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifndef TILVO_CASCADE_DIR
#define TILVO_CASCADE_DIR "/usr/share/opencv4/haarcascades"
#endif

namespace {

constexpr int64_t kMaxSide = 1 << 16;
constexpr int64_t kMaxPixels = int64_t(1) << 30;
// How many neighbouring windows of the cascade must agree on a face. Measured on the fixture
// set: 5 found 22 of 24 turned faces with up to 3 false proposals on a face-free photo, 8 found
// 19 with up to 2, 10 finds 16 with at most 1, 12 found 13 with none.
constexpr int kNeighbours = 10;

struct TBox {
    int64_t X, Y, W, H;
    const char* Detector;
};

bool ReadAll(void* to, size_t n) {
    auto* p = static_cast<unsigned char*>(to);
    while (n > 0) {
        const size_t got = std::fread(p, 1, n, stdin);
        if (got == 0) return false;
        p += got;
        n -= got;
    }
    return true;
}

// dlib's frontal detector finds faces whose box is about 80 pixels and more; the picture is
// scaled so that the smallest face asked for is that size (enlarged by up to 2: one pyramid level
// up; reduced as far as it allows).
void DetectFrontal(const dlib::frontal_face_detector& prototype, const cv::Mat& work, int top,
                   double scale, std::vector<TBox>& out) {
    dlib::frontal_face_detector detector = prototype;  // a copy of its own for each thread
    dlib::array2d<unsigned char> image(work.rows, work.cols);
    for (int y = 0; y < work.rows; ++y) std::memcpy(&image[y][0], work.ptr(y), size_t(work.cols));
    for (const dlib::rectangle& r : detector(image))
        out.push_back({int64_t(std::lround(r.left() / scale)),
                       int64_t(std::lround((r.top() + top) / scale)),
                       int64_t(std::lround(r.width() / scale)),
                       int64_t(std::lround(r.height() / scale)), "hog"});
}

// A picture of more than 4 megapixels at the scale searched is searched as two bands on two
// threads, overlapping by 640 pixels (a quarter of its height at most), so that every face up
// to that height lies whole in one of them; larger faces are searched on a copy reduced to show them at 80 pixels.
void FindFrontal(const cv::Mat& grey, int smallest, std::vector<TBox>& out) {
    static const dlib::frontal_face_detector detector = dlib::get_frontal_face_detector();
    // At most 256 megapixels searched, however small the faces asked for.
    const double pixels = double(grey.cols) * grey.rows;
    const double scale =
        std::min({2.0, 80.0 / std::max(smallest, 20), std::sqrt(double(1 << 28) / pixels)});
    cv::Mat work;
    if (scale == 1.0)
        work = grey;
    else
        cv::resize(grey, work, cv::Size(), scale, scale,
                   scale < 1.0 ? cv::INTER_AREA : cv::INTER_LINEAR);
    if (int64_t(work.cols) * work.rows <= (int64_t(4) << 20) || work.rows < 400) {
        DetectFrontal(detector, work, 0, scale, out);
        return;
    }
    const int overlap = std::min(work.rows / 4, 640), middle = work.rows / 2;
    std::vector<TBox> upper, lower, large;
    std::thread second([&] {
        DetectFrontal(detector, work.rowRange(middle - overlap, work.rows), middle - overlap,
                      scale, lower);
    });
    DetectFrontal(detector, work.rowRange(0, middle + overlap), 0, scale, upper);
    const double reduce = 80.0 / overlap;
    cv::Mat small;
    cv::resize(work, small, cv::Size(), reduce, reduce, cv::INTER_AREA);
    DetectFrontal(detector, small, 0, scale * reduce, large);
    second.join();
    for (const auto* part : {&upper, &lower, &large}) out.insert(out.end(), part->begin(), part->end());
}

// A Haar cascade from opencv-data on a copy of at most 2048 pixels a side (and at least so large
// that the smallest face is 24 pixels there), and for profiles on its mirror too: the cascade
// knows faces turned one way only.
bool FindCascade(const cv::Mat& grey, int smallest, const char* file, bool mirror,
                 const char* name, std::vector<TBox>& out) {
    cv::CascadeClassifier cascade;
    if (!cascade.load(std::string(TILVO_CASCADE_DIR) + "/" + file)) {
        std::fprintf(stderr, "the face model %s/%s cannot be read (install opencv-data)\n",
                     TILVO_CASCADE_DIR, file);
        return false;
    }
    const double longSide = std::max(grey.cols, grey.rows);
    const double scale = std::min({1.0, 2048.0 / longSide, 24.0 / std::max(smallest, 24) * 2.0});
    cv::Mat work;
    if (scale < 1.0)
        cv::resize(grey, work, cv::Size(), scale, scale, cv::INTER_AREA);
    else
        work = grey;
    cv::equalizeHist(work, work);
    const int minSide = std::max(20, int(std::lround(smallest * scale)));
    for (int pass = 0; pass < (mirror ? 2 : 1); ++pass) {
        cv::Mat searched = work;
        if (pass == 1) cv::flip(work, searched, 1);
        std::vector<cv::Rect> faces;
        cascade.detectMultiScale(searched, faces, 1.1, kNeighbours, 0, cv::Size(minSide, minSide));
        for (cv::Rect r : faces) {
            if (pass == 1) r.x = searched.cols - r.x - r.width;
            out.push_back({int64_t(std::lround(r.x / scale)), int64_t(std::lround(r.y / scale)),
                           int64_t(std::lround(r.width / scale)),
                           int64_t(std::lround(r.height / scale)), name});
        }
    }
    return true;
}

}  // namespace

int main() {
    char header[128] = {};
    if (!std::fgets(header, sizeof header, stdin)) {
        std::fputs("no request\n", stderr);
        return 2;
    }
    long long width = 0, height = 0, smallest = 0, flags = 0;
    int version = 0;
    if (std::sscanf(header, "tilvo-find-faces %d %lld %lld %lld %lld", &version, &width, &height,
                    &smallest, &flags) != 5 ||
        version != 1 || width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide ||
        width * height > kMaxPixels || smallest < 1 || smallest > kMaxSide || flags < 1 ||
        flags > 3) {
        std::fputs("a malformed request\n", stderr);
        return 2;
    }
    cv::setNumThreads(1);  // the same boxes in the same order on every run
    cv::Mat grey(int(height), int(width), CV_8UC1);
    for (int y = 0; y < grey.rows; ++y)
        if (!ReadAll(grey.ptr(y), size_t(width))) {
            std::fputs("the picture ended early\n", stderr);
            return 2;
        }
    std::vector<TBox> found;
    try {
        if (flags & 1) FindFrontal(grey, int(smallest), found);
        if ((flags & 2) &&
            !FindCascade(grey, int(smallest), "haarcascade_profileface.xml", true, "profile", found))
            return 3;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "the face search failed: %s\n", e.what());
        return 1;
    }
    for (const TBox& b : found)
        std::printf("face %lld %lld %lld %lld %s\n", (long long)b.X, (long long)b.Y,
                    (long long)b.W, (long long)b.H, b.Detector);
    std::printf("done %zu\n", found.size());
    return std::fflush(stdout) == 0 ? 0 : 1;
}
