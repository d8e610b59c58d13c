// The boxes of the face detectors made proposals: enlarged to take in hair and chin, overlapping
// ones joined, kept within the picture and sorted. Plain geometry, tested on its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Find/Find.h"

namespace tilvo {

// A box as a detector gives it, in the picture's pixels; Detector is "hog" (dlib's frontal HOG
// detector: a tight box from the brows to the chin) or "profile" (OpenCV's profile cascade: a
// box that takes in the forehead).
struct TFaceBox {
    double X = 0, Y = 0, W = 0, H = 0;
    std::string Detector;
};

std::vector<TFound> FaceProposals(const std::vector<TFaceBox>& boxes, int32_t width,
                                  int32_t height);

// The smallest face a default search looks for in a picture of that size.
int32_t DefaultSmallestFace(int32_t width, int32_t height);

}  // namespace tilvo
