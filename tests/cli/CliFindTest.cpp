// tilvo-cli's finding: the options, and the real program finding, listing and hiding.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <cstring>
#include <set>

#include "CliOptions.h"
#include "FileFormat/Graphic.h"
#include "FileFormat/Stream.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;

TEST(CliFindOptions, ParseIntoTheQuery) {
    const TCliOptions o = ParseCliOptions({"in.png", "out.png", "--find-faces", "--find-text",
                                           "Anna Kowalski", "--find-pattern", "email",
                                           "--find-pattern", "plate", "--find-text", "Leeds"});
    EXPECT_TRUE(o.Find.Faces);
    EXPECT_FALSE(o.Find.Small || o.Find.Profiles || o.Find.List || o.Find.Text.All);
    EXPECT_EQ(o.Find.Text.Words, (std::vector<std::string>{"Anna Kowalski", "Leeds"}));
    EXPECT_EQ(o.Find.Text.Patterns,
              (std::vector<TTextPattern>{TTextPattern::Email, TTextPattern::Plate}));
    EXPECT_TRUE(HasEdits(o));

    const TCliOptions small = ParseCliOptions({"a.png", "b.png", "--find-small", "--find-profiles"});
    EXPECT_TRUE(small.Find.Faces && small.Find.Small && small.Find.Profiles);

    const TCliOptions list =
        ParseCliOptions({"--list-found", "--find-pattern", "all", "a.png", "b.jpg", "c.gif"});
    EXPECT_TRUE(list.Find.List && list.Find.Text.All);
    EXPECT_EQ(list.Inputs, (std::vector<std::string>{"a.png", "b.jpg", "c.gif"}));
}

TEST(CliFindOptions, UsageErrors) {
    const std::vector<std::vector<std::string>> bad = {
        {"a.png", "b.png", "--find-pattern", "iban2"},
        {"a.png", "b.png", "--find-pattern"},
        {"a.png", "b.png", "--find-text", "  "},
        {"--list-found", "a.png"},                                   // nothing to find
        {"--list-found", "--find-faces"},                            // no INPUT
        {"--list-found", "--find-faces", "--out-dir", "o", "a.png"},  // writes no pictures
        {"--list-found", "--find-faces", "-"},
    };
    for (const auto& args : bad) EXPECT_THROW(ParseCliOptions(args), EUsage) << args.back();
}

#ifdef TILVO_HAVE_FINDERS

class CliFind : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterAllFormats();
        dir_ = fs::temp_directory_path() / ("tilvo-cli-find-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    struct TRun {
        int Status = -1;
        std::string Out, Err;
    };
    TRun Run(const std::vector<std::string>& args, const std::string& program = TILVO_CLI) {
        std::string cmd = "'" + program + "'";
        for (const auto& a : args) cmd += " '" + a + "'";
        const std::string out = (dir_ / "stdout.txt").string(), err = (dir_ / "stderr.txt").string();
        cmd += " </dev/null >'" + out + "' 2>'" + err + "'";
        const int status = std::system(cmd.c_str());
        TRun r;
        r.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        const std::vector<uint8_t> o = ReadWholeFile(out), e = ReadWholeFile(err);
        r.Out.assign(o.begin(), o.end());
        r.Err.assign(e.begin(), e.end());
        return r;
    }
    static std::string Screen(const char* name) {
        return std::string(TILVO_TEST_DATA) + "/find/" + name + ".png";
    }
    // The boxes of --list-found's lines.
    static std::vector<TRect> Boxes(const std::string& json) {
        std::vector<TRect> boxes;
        for (size_t at = json.find("\"box\":["); at != std::string::npos;
             at = json.find("\"box\":[", at + 1)) {
            int x, y, w, h;
            EXPECT_EQ(std::sscanf(json.c_str() + at, "\"box\":[%d,%d,%d,%d]", &x, &y, &w, &h), 4);
            boxes.push_back({x, y, x + w, y + h});
        }
        return boxes;
    }

    fs::path dir_;
};

TEST_F(CliFind, ListFoundWritesJsonLinesAndNoPicture) {
    const TRun r = Run({"--list-found", "--find-pattern", "email", Screen("screen_light")});
    ASSERT_EQ(r.Status, 0) << r.Err;
    // Four addresses drawn at 11 to 30 pixels: the two at 11 pixels are not asked for, but
    // read here too.
    int lines = 0;
    for (size_t at = 0; (at = r.Out.find('\n', at)) != std::string::npos; ++at) ++lines;
    EXPECT_GE(lines, 2);
    EXPECT_NE(r.Out.find("\"kind\":\"text\",\"what\":\"email\""), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("\"text\":\"j.petersen@mail.example.com\"}"), std::string::npos) << r.Out;
    // That line alone: none of Tesseract's notes.
    EXPECT_EQ(r.Err, Screen("screen_light") + ": found " + std::to_string(lines) + "\n");
    std::set<std::string> files;
    for (const auto& e : fs::directory_iterator(dir_)) files.insert(e.path().filename().string());
    EXPECT_EQ(files, (std::set<std::string>{"stderr.txt", "stdout.txt"})) << "nothing else written";
}

TEST_F(CliFind, FoundItemsAreHiddenTheSameWithOneOrTwoThreads) {
    const std::string listed = Run({"--list-found", "--find-text", "kowalski", "--find-pattern",
                                    "card", Screen("screen_light")})
                                   .Out;
    const std::vector<TRect> boxes = Boxes(listed);
    ASSERT_FALSE(boxes.empty());
    std::string lines[2];
    for (int jobs : {1, 2}) {
        const fs::path out = dir_ / ("j" + std::to_string(jobs));
        const TRun r = Run({"--out-dir", out.string(), "-j", std::to_string(jobs), "--fill",
                            "--hard-edge", "--find-text", "kowalski", "--find-pattern", "card",
                            Screen("screen_light"), Screen("screen_dark")});
        ASSERT_EQ(r.Status, 0) << r.Err;
        EXPECT_NE(r.Out.find("screen_light.png: ok, found " + std::to_string(boxes.size()) + "\n"),
                  std::string::npos)
            << r.Out;
        lines[jobs - 1] = r.Out;
    }
    for (const char* name : {"screen_light.png", "screen_dark.png"})
        EXPECT_EQ(ReadWholeFile((dir_ / "j1" / name).string()),
                  ReadWholeFile((dir_ / "j2" / name).string()))
            << name;
    // Every pixel that changed lies in a listed box, and each box is black at its centre.
    TBitmap before, after;
    LoadPictureFile(Screen("screen_light"), before);
    LoadPictureFile((dir_ / "j1" / "screen_light.png").string(), after);
    before.SetPixelFormat(pf24bit);
    after.SetPixelFormat(pf24bit);
    int64_t changed = 0, outside = 0;
    for (int32_t y = 0; y < before.Height(); ++y)
        for (int32_t x = 0; x < before.Width(); ++x) {
            if (std::memcmp(before.ScanLine(y) + x * 3, after.ScanLine(y) + x * 3, 3) == 0) continue;
            ++changed;
            bool in = false;
            for (const TRect& b : boxes)
                in = in || (x >= b.Left && x < b.Right && y >= b.Top && y < b.Bottom);
            outside += !in;
        }
    EXPECT_GT(changed, 0);
    EXPECT_EQ(outside, 0);
    for (const TRect& b : boxes) {
        const uint8_t* p = after.ScanLine((b.Top + b.Bottom) / 2) + (b.Left + b.Right) / 2 * 3;
        EXPECT_EQ(p[0] + p[1] + p[2], 0);
    }
}

TEST_F(CliFind, NothingFoundIsSaidAndNotAnError) {
    const TRun r = Run({"--list-found", "--find-text", "Zebulon", Screen("screen_dark")});
    EXPECT_EQ(r.Status, 0) << r.Err;
    EXPECT_EQ(r.Out, "");
    EXPECT_NE(r.Err.find("screen_dark.png: found 0\n"), std::string::npos) << r.Err;
}

TEST_F(CliFind, WithoutTheFindersItSaysWhatToInstall) {
    // A copy of the program alone in a folder finds neither the helper nor the module.
    const fs::path alone = dir_ / "alone" / "tilvo-cli";
    fs::create_directories(alone.parent_path());
    fs::copy_file(TILVO_CLI, alone);
    const std::string out = (dir_ / "out.png").string();
    TRun r = Run({Screen("screen_dark"), out, "--find-faces"}, alone.string());
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("the face search is not installed"), std::string::npos) << r.Err;
    r = Run({Screen("screen_dark"), out, "--find-pattern", "email"}, alone.string());
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("install libtesseract5 and tesseract-ocr-eng"), std::string::npos) << r.Err;
    EXPECT_FALSE(fs::exists(out));
}

#endif

}  // namespace
}  // namespace tilvo
