// Progress of opens and saves: the readers and writers report growing percentages to the thread's
// listener, and a listener that says stop ends the work with the old file and the old picture
// left exactly as they were.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "FileFormat/Graphic.h"
#include "FileFormat/PNGImage.h"
#include "FileFormat/ProgressScope.h"
#include "FileFormat/SaveDispatch.h"
#include "FileFormat/Stream.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;

class Progress : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterAllFormats();
        dir_ = fs::temp_directory_path() / ("tilvo-progress-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        // Tall enough that each writer reports many steps.
        picture_.Resize(64, 400, pf24bit);
        for (int32_t y = 0; y < picture_.Height(); ++y) {
            uint8_t* row = picture_.ScanLine(y);
            for (int32_t x = 0; x < 64 * 3; ++x) row[x] = uint8_t(x * 7 + y * 13 + (x * y) % 5);
        }
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    std::vector<std::string> Entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().string());
        return names;
    }

    fs::path dir_;
    TBitmap picture_;
};

// The writers with progress, by Save As type.
const struct {
    TFileType4Save type;
    const char* name;
} kWriters[] = {
    {sftJPG, "a.jpg"}, {sftPNG, "a.png"}, {sftBMP, "a.bmp"},
    {sftTGA, "a.tga"}, {sftPPM, "a.ppm"}, {sftPGM, "a.pgm"},
};

TEST_F(Progress, EachWriterReportsGrowingPercentagesUpToAHundred) {
    TSaveOptions options;
    for (const bool variant : {false, true}) {
        // The variant: progressive JPEG, interlaced PNG, run-length Targa.
        options.JPEGProgressive = variant;
        options.PNGInterlaced = variant;
        options.TGARLECompression = variant;
        for (const auto& w : kWriters) {
            SCOPED_TRACE(std::string(w.name) + (variant ? " (variant)" : ""));
            std::vector<int32_t> seen;
            std::string why;
            ASSERT_TRUE(SaveAsByType(picture_, Path(w.name), w.type, options, "", TExifProbe{},
                                     &why,
                                     [&](int32_t p) {
                                         seen.push_back(p);
                                         return true;
                                     }))
                << why;
            ASSERT_GE(seen.size(), 5u) << "a step per percent, not one at the end";
            for (size_t i = 1; i < seen.size(); ++i) EXPECT_GT(seen[i], seen[i - 1]);
            EXPECT_GE(seen.front(), 0);
            EXPECT_EQ(seen.back(), 100);
        }
    }
}

TEST_F(Progress, ACancelledSaveLeavesTheOldFileByteForByte) {
    TSaveOptions options;
    for (const auto& w : kWriters) {
        SCOPED_TRACE(w.name);
        const std::string old = "the picture that was there";
        WriteWholeFile(Path(w.name), old.data(), int64_t(old.size()));
        const std::vector<uint8_t> before = ReadWholeFile(Path(w.name));
        for (const int32_t stopAt : {0, 30, 90}) {
            SCOPED_TRACE(stopAt);
            bool stopped = false;
            std::string why;
            EXPECT_FALSE(SaveAsByType(picture_, Path(w.name), w.type, options, "", TExifProbe{},
                                      &why, [&](int32_t p) {
                                          stopped = p >= stopAt;
                                          return !stopped;
                                      }));
            EXPECT_TRUE(stopped);
            EXPECT_EQ(why, "cancelled");
            EXPECT_EQ(ReadWholeFile(Path(w.name)), before);
            EXPECT_EQ(Entries().size(), 1u) << "no temporary file is left behind";
        }
        // Save by extension stops the same way.
        EXPECT_FALSE(SaveByExtension(picture_, Path(w.name), options, nullptr,
                                     [](int32_t) { return false; }));
        EXPECT_EQ(ReadWholeFile(Path(w.name)), before);
        fs::remove(Path(w.name));
    }
}

TEST_F(Progress, ReadersReportGrowingPercentagesAndACancelledOpenKeepsThePicture) {
    TSaveOptions options;
    options.PNGInterlaced = true;
    ASSERT_TRUE(SaveAsByType(picture_, Path("i.png"), sftPNG, options, "", TExifProbe{}));
    options.PNGInterlaced = false;
    ASSERT_TRUE(SaveAsByType(picture_, Path("p.png"), sftPNG, options, "", TExifProbe{}));
    ASSERT_TRUE(SaveAsByType(picture_, Path("j.jpg"), sftJPG, options, "", TExifProbe{}));
    options.JPEGProgressive = true;
    ASSERT_TRUE(SaveAsByType(picture_, Path("pj.jpg"), sftJPG, options, "", TExifProbe{}));
    // The readers of Tilvo's own row formats report once per row too.
    const std::pair<TFileType4Save, const char*> others[] = {
        {sftBMP, "b.bmp"}, {sftGIF, "g.gif"}, {sftSGI, "s.sgi"}, {sftPCX, "x.pcx"},
        {sftPPM, "c.ppm"}, {sftPGM, "c.pgm"}, {sftMAG, "m.mag"}};
    for (const auto& [type, name] : others)
        ASSERT_TRUE(SaveAsByType(picture_, Path(name), type, options, "", TExifProbe{})) << name;
    for (const char* name : {"i.png", "p.png", "j.jpg", "pj.jpg", "b.bmp", "g.gif", "s.sgi",
                             "x.pcx", "c.ppm", "c.pgm", "m.mag"}) {
        SCOPED_TRACE(name);
        std::vector<int32_t> seen;
        TBitmap opened;
        {
            TProgressScope scope([&](int32_t p) {
                seen.push_back(p);
                return true;
            });
            LoadPictureFile(Path(name), opened);
        }
        EXPECT_EQ(opened.Width(), 64);
        ASSERT_GE(seen.size(), 5u);
        for (size_t i = 1; i < seen.size(); ++i) EXPECT_GT(seen[i], seen[i - 1]);

        // Stopped halfway: the picture that was open stays, pixel for pixel.
        TBitmap kept;
        kept.Assign(picture_);
        {
            TProgressScope scope([](int32_t p) { return p < 50; });
            EXPECT_THROW(LoadPictureFile(Path(name), kept), ECancelled);
        }
        ASSERT_EQ(kept.Width(), picture_.Width());
        ASSERT_EQ(kept.Height(), picture_.Height());
        for (int32_t y = 0; y < kept.Height(); ++y)
            ASSERT_EQ(std::memcmp(kept.ScanLine(y), picture_.ScanLine(y), 64 * 3), 0);
    }
}

TEST_F(Progress, ScopesNestAndOutsideThemNothingReports) {
    EXPECT_FALSE(CurrentProgress().Active());
    int outer = 0;
    {
        TProgressScope scope([&](int32_t) { return ++outer, true; });
        EXPECT_TRUE(CurrentProgress().Active());
        {
            // An inactive scope hides the outer listener.
            TProgressScope quiet{TProgressFn{}};
            EXPECT_FALSE(CurrentProgress().Active());
            ASSERT_TRUE(SavePng(picture_, Path("q.png"), false, false, false, false));
        }
        EXPECT_EQ(outer, 0);
        ASSERT_TRUE(SavePng(picture_, Path("q.png"), false, false, false, false));
        EXPECT_GT(outer, 0);
    }
    EXPECT_FALSE(CurrentProgress().Active());
}

}  // namespace
}  // namespace tilvo
