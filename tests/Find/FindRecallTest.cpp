// How much the finders find on the fixture set, asserted against the goals: frontal and turned
// faces, profiles with the profile search, no more than one false proposal per face-free photo,
// and the words and patterns of the screenshots. Each test prints its recall line. Built into the
// Release suite only (the sanitizer build leaves it out: it is slow there and finds nothing new).
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <algorithm>
#include <map>
#include <set>

#include "FindFixtures.h"
#include "FileFormat/CodecModule.h"
#include "Find/Find.h"

namespace tilvo {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

class FindRecall : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { RegisterAllFormats(); }
};

// A face placed on a test picture: where it is, and its size as the face itself (cheek to
// cheek, about three fifths of the pasted head's width).
struct TPlaced {
    TRect Head{};
    int32_t Size = 0;
    double Degrees = 0;
    bool Mirror = false;
};

struct TFaceRun {
    int32_t Faces = 0, Found = 0, False = 0, Pictures = 0;
    double Seconds = 0;
    std::map<int32_t, std::pair<int32_t, int32_t>> BySize;  // size → found, of
};

// A proposal finds a face when it holds the head's centre and is not much larger than the head.
bool Finds(const TFound& f, const TRect& head) {
    const int32_t cx = (head.Left + head.Right) / 2, cy = (head.Top + head.Bottom) / 2;
    return f.Box.Left <= cx && cx < f.Box.Right && f.Box.Top <= cy && cy < f.Box.Bottom &&
           f.Box.Width() <= 2 * head.Width() + 8;
}

// Pastes the faces onto pictures of 1024 × 768 (2048 × 1536 for the largest), as many to a
// picture as fit in a grid, the backgrounds in turn, and searches each picture.
TFaceRun RunFaces(const std::string& faceFile, double faceShare,
                  const std::vector<int32_t>& sizes, const std::vector<double>& turns,
                  const TFaceSearch& search) {
    TBitmap face;
    test::LoadFindFixture(faceFile, face);
    const std::vector<std::string> backgrounds{"coffee", "rocket", "brick", "grass", "gravel"};
    std::vector<TPlaced> all;
    for (int32_t size : sizes)
        for (double turn : turns)
            for (bool mirror : {false, true}) all.push_back({{}, size, turn, mirror});
    TFaceRun run;
    size_t next = 0;
    while (next < all.size()) {
        const int32_t size = all[next].Size;
        const int32_t headW = int32_t(size / faceShare);
        const int32_t headH = headW * face.Height() / face.Width();
        const int32_t side = headH > 500 ? 2048 : 1024;
        const int32_t cell = int32_t(std::max(headW, headH) * 1.25) + 8;
        const int32_t cols = std::max(1, side / cell), rows = std::max(1, (side * 3 / 4) / cell);
        TBitmap picture;
        test::MakeBackground(backgrounds[size_t(run.Pictures) % backgrounds.size()], side,
                             side * 3 / 4, picture);
        std::vector<TPlaced> placed;
        for (int32_t k = 0; k < cols * rows && next < all.size() && all[next].Size == size; ++k) {
            TPlaced p = all[next++];
            const double cx = (k % cols + 0.5) * cell, cy = (k / cols + 0.5) * cell;
            p.Head = test::PasteFace(face, picture, cx, cy, headW, p.Degrees, p.Mirror);
            placed.push_back(p);
        }
        std::vector<TFound> found;
        std::string error;
        const auto start = Clock::now();
        EXPECT_TRUE(FindFaces(picture, search, found, error)) << error;
        run.Seconds += Seconds(start);
        ++run.Pictures;
        std::vector<bool> used(found.size(), false);
        for (const TPlaced& p : placed) {
            bool hit = false;
            for (size_t i = 0; i < found.size(); ++i)
                if (Finds(found[i], p.Head)) hit = used[i] = true;
            ++run.Faces;
            run.Found += hit;
            auto& bySize = run.BySize[p.Size];
            bySize.first += hit;
            ++bySize.second;
        }
        for (bool u : used) run.False += !u;
    }
    return run;
}

void Print(const char* what, const TFaceRun& run) {
    std::printf("recall %s: %d of %d faces (%.1f %%), %d false proposals in %d pictures, %.2f s\n",
                what, run.Found, run.Faces, 100.0 * run.Found / std::max(1, run.Faces), run.False,
                run.Pictures, run.Seconds);
    for (const auto& [size, counts] : run.BySize)
        std::printf("  %4d px: %d of %d\n", size, counts.first, counts.second);
}

TEST_F(FindRecall, FrontalFacesOf45PixelsAndMoreAreFound) {
    // Upright and turned up to 15 degrees, both ways, mirrored: the goal is 90 % and more.
    const TFaceRun run = RunFaces("face_astronaut.jpg", 0.6, {45, 56, 64, 80, 96, 128, 200, 360},
                                  {-15, -8, 0, 8, 15}, TFaceSearch{});
    Print("frontal faces >= 45 px", run);
    EXPECT_GE(run.Found * 10, run.Faces * 9);
    EXPECT_LE(run.False, run.Pictures);
}

TEST_F(FindRecall, SmallFacesAreMeasured) {
    // Below the goal's sizes: measured and printed, not held to it.
    const TFaceRun run = RunFaces("face_astronaut.jpg", 0.6, {24, 32, 40}, {0, 8}, TFaceSearch{});
    Print("frontal faces of 24-40 px", run);
    EXPECT_GT(run.Faces, 0);
}

TEST_F(FindRecall, ProfilesAreFoundWithTheProfileSearch) {
    TFaceSearch search;
    search.Profiles = true;
    const TFaceRun run =
        RunFaces("face_camera.jpg", 0.68, {64, 96, 128, 200}, {-10, 0, 10}, search);
    Print("turned faces, profile search", run);
    EXPECT_GE(run.Found * 2, run.Faces);
}

TEST_F(FindRecall, FaceFreePhotosGetAtMostOneFalseProposalEach) {
    const std::vector<std::string> backgrounds{"coffee", "rocket", "brick", "grass", "gravel"};
    for (bool profiles : {false, true}) {
        int32_t falseProposals = 0, pictures = 0, worst = 0;
        for (const std::string& name : backgrounds)
            for (int32_t side : {1024, 2048}) {
                TBitmap picture;
                test::MakeBackground(name, side, side * 3 / 4, picture);
                TFaceSearch search;
                search.Profiles = profiles;
                std::vector<TFound> found;
                std::string error;
                ASSERT_TRUE(FindFaces(picture, search, found, error)) << error;
                falseProposals += int32_t(found.size());
                worst = std::max(worst, int32_t(found.size()));
                ++pictures;
                EXPECT_LE(found.size(), 1u) << name << " at " << side;
            }
        std::printf("false face proposals%s: %d in %d face-free pictures, at most %d in one\n",
                    profiles ? " with profiles" : "", falseProposals, pictures, worst);
    }
}

TEST_F(FindRecall, FindingIsTheSameEveryTime) {
    TBitmap face, picture;
    test::LoadFindFixture("face_astronaut.jpg", face);
    test::MakeBackground("coffee", 1024, 768, picture);
    test::PasteFace(face, picture, 300, 300, 160, 5, false);
    test::PasteFace(face, picture, 700, 400, 90, -5, true);
    TFaceSearch search;
    search.Profiles = true;
    std::vector<TFound> first, second;
    std::string error;
    ASSERT_TRUE(FindFaces(picture, search, first, error)) << error;
    ASSERT_TRUE(FindFaces(picture, search, second, error)) << error;
    EXPECT_EQ(first, second);
    EXPECT_EQ(first.size(), 2u);
}

// The helper refuses a request that is malformed or whose picture ends early, and says so.
TEST_F(FindRecall, TheHelperRefusesMalformedRequests) {
    std::string error;
    const std::string helper = HelperProgramPath("tilvo-find-faces", error);
    ASSERT_FALSE(helper.empty()) << error;
    const char* const requests[] = {
        "",                                           // nothing
        "tilvo-find-faces 2 10 10 40 1\n",             // another version
        "tilvo-find-faces 1 0 10 40 1\n",              // no width
        "tilvo-find-faces 1 70000 10 40 1\n",          // too wide
        "tilvo-find-faces 1 60000 60000 40 1\n",       // too many pixels
        "tilvo-find-faces 1 10 10 40 8\n",             // an unknown search
        "tilvo-find-faces 1 10 10 40 1\nshort",        // the picture ends early
    };
    for (const char* request : requests) {
        const std::string cmd = "printf '" + std::string(request) + "' | '" + helper +
                                "' >/dev/null 2>&1";
        const int status = std::system(cmd.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << request;
    }
}

// The words drawn on a screenshot that a search for all text gives back with their text and
// about their box, by font size.
TEST_F(FindRecall, ScreenshotWordsOf12PixelsAndMoreAreRead) {
    int32_t words = 0, read = 0, smallWords = 0, smallRead = 0;
    double seconds = 0;
    std::map<int32_t, std::pair<int32_t, int32_t>> bySize;
    for (const char* name : {"screen_light", "screen_dark"}) {
        TBitmap picture;
        test::LoadFindFixture(std::string(name) + ".png", picture);
        TTextQuery query;
        query.All = true;
        std::vector<TFound> found;
        std::string error;
        const auto start = Clock::now();
        ASSERT_TRUE(FindText(picture, query, found, error)) << error;
        seconds += Seconds(start);
        for (const test::TDrawnWord& w : test::DrawnWords(name)) {
            bool hit = false;
            for (const TFound& f : found)
                hit = hit || (f.Text == w.Text && test::SharedShare(f.Box, w.Box) > 0.5);
            if (!hit && w.Size >= 12) std::printf("  not read (%d px): %s\n", w.Size, w.Text.c_str());
            (w.Size >= 12 ? words : smallWords)++;
            (w.Size >= 12 ? read : smallRead) += hit;
            bySize[w.Size].first += hit;
            ++bySize[w.Size].second;
        }
    }
    std::printf("recall words >= 12 px: %d of %d (%.1f %%); 11 px: %d of %d; %.2f s for 2 "
                "screenshots\n",
                read, words, 100.0 * read / words, smallRead, smallWords, seconds);
    for (const auto& [size, counts] : bySize)
        std::printf("  %2d px: %d of %d\n", size, counts.first, counts.second);
    EXPECT_GE(read * 100, words * 95);
}

TEST_F(FindRecall, ScreenshotPatternsAreMatchedExactly) {
    // Every e-mail address, telephone number, IBAN, card number, date and plate drawn at 12
    // pixels and more, and nothing else.
    const std::set<std::string> expected{
        "email anna.kowalski@example.org", "email j.petersen@mail.example.com",
        "phone +44 20 7946 0958",          "phone (555) 867-5309",
        "iban GB82 WEST 1234 5698 7654 32", "card 4111 1111 1111 1111",
        "date 12.03.1984",                 "date 2024-05-17",
        "date 3 March 2023",               "plate AB12 CDE",
        "plate KL-MN 482"};
    for (const char* name : {"screen_light", "screen_dark"}) {
        TBitmap picture;
        test::LoadFindFixture(std::string(name) + ".png", picture);
        TTextQuery query;
        for (TTextPattern p : {TTextPattern::Email, TTextPattern::Phone, TTextPattern::Iban,
                               TTextPattern::Card, TTextPattern::Date, TTextPattern::Plate})
            query.Patterns.push_back(p);
        std::vector<TFound> found;
        std::string error;
        ASSERT_TRUE(FindText(picture, query, found, error)) << error;
        // Spaces aside: the reader may join or part groups of digits of small text.
        auto unspaced = [](std::string s) {
            s.erase(std::remove(s.begin(), s.end(), ' '), s.end());
            return s;
        };
        std::set<std::string> got, gotUnspaced, expectedUnspaced;
        for (const TFound& f : found) {
            got.insert(f.What + " " + f.Text);
            gotUnspaced.insert(unspaced(f.What + " " + f.Text));
        }
        for (const std::string& e : expected) expectedUnspaced.insert(unspaced(e));
        // Which lines of 12 pixels and more the fixture drew: their matches must all be there.
        std::set<std::string> drawn;
        for (const test::TDrawnWord& w : test::DrawnWords(name))
            if (w.Size >= 12) drawn.insert(w.Text);
        for (const std::string& e : expected) {
            const std::string text = e.substr(e.find(' ') + 1);
            const std::string first = text.substr(0, text.find(' '));
            if (drawn.count(first) || drawn.count(first + ",")) {
                EXPECT_TRUE(got.count(e)) << name << ": " << e;
            }
        }
        for (const std::string& g : gotUnspaced)
            EXPECT_TRUE(expectedUnspaced.count(g)) << name << ": " << g;
        std::printf("patterns on %s: %zu proposals\n", name, found.size());
    }
}

}  // namespace
}  // namespace tilvo
