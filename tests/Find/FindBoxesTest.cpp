// Detector boxes made proposals: grown to take in hair and chin, joined when they cover one
// face, kept within the picture, in reading order.
#include <gtest/gtest.h>

#include "Find/FindBoxes.h"

namespace tilvo {
namespace {

TEST(FaceProposals, GrowJoinClipAndSort) {
    struct TCase {
        const char* Name;
        std::vector<TFaceBox> Boxes;
        std::vector<TFound> Expected;
    };
    const TCase cases[] = {
        {"a HOG box grows a fifth sideways, half up and a fifth down",
         {{100, 100, 50, 50, "hog"}},
         {{TFoundKind::Face, {90, 75, 160, 160}, "face", ""}}},
        {"a profile box grows a tenth and a fifth down",
         {{100, 100, 50, 50, "profile"}},
         {{TFoundKind::Face, {95, 95, 155, 160}, "profile", ""}}},
        {"the same face from two detectors is one proposal around both",
         {{100, 100, 50, 50, "hog"}, {98, 96, 56, 56, "profile"}},
         {{TFoundKind::Face, {90, 75, 160, 164}, "face", ""}}},
        {"the profile cascade and its mirror on one face: still a profile",
         {{100, 100, 50, 50, "profile"}, {102, 100, 50, 50, "profile"}},
         {{TFoundKind::Face, {95, 95, 157, 160}, "profile", ""}}},
        {"clipped at the picture's edges",
         {{-10, 5, 40, 40, "hog"}, {180, 180, 40, 40, "hog"}},
         {{TFoundKind::Face, {0, 0, 38, 53}, "face", ""},
          {TFoundKind::Face, {172, 160, 200, 200}, "face", ""}}},
        {"sorted top to bottom, then left to right; apart faces stay apart",
         {{150, 150, 20, 20, "hog"}, {10, 150, 20, 20, "hog"}, {80, 20, 20, 20, "hog"}},
         {{TFoundKind::Face, {76, 10, 104, 44}, "face", ""},
          {TFoundKind::Face, {6, 140, 34, 174}, "face", ""},
          {TFoundKind::Face, {146, 140, 174, 174}, "face", ""}}},
        {"a box wholly outside gives nothing", {{300, 300, 20, 20, "hog"}}, {}},
    };
    for (const TCase& c : cases) EXPECT_EQ(FaceProposals(c.Boxes, 200, 200), c.Expected) << c.Name;
}

TEST(FaceProposals, DefaultSmallestFaceFollowsThePictureSize) {
    EXPECT_EQ(DefaultSmallestFace(640, 480), 40);
    EXPECT_EQ(DefaultSmallestFace(1024, 768), 40);
    EXPECT_EQ(DefaultSmallestFace(1500, 1000), 60);
    EXPECT_EQ(DefaultSmallestFace(6000, 4000), 80);
}

}  // namespace
}  // namespace tilvo
