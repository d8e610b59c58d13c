// tilvo-cli --verify and --keep-personal-data: the real program on files made here.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "CliOptions.h"
#include "tests/FileFormat/ExifTestSupport.h"
#include "tests/FileFormat/JpegTestSupport.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;

class CliVerify : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = fs::path(::testing::TempDir()) / ("tilvo-cliverify-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
        test::MakeTestPicture(picture_, 120, 90, 5);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const std::string& name) const { return (dir_ / name).string(); }
    // Runs tilvo-cli; answers its exit status, its standard output in *out.
    int Run(const std::string& args, std::string* out = nullptr) {
        const std::string log = Path("out.txt");
        const std::string cmd =
            std::string("'") + TILVO_CLI + "' " + args + " >'" + log + "' 2>/dev/null";
        const int rc = std::system(cmd.c_str());
        if (out) {
            std::ifstream f(log);
            std::stringstream ss;
            ss << f.rdbuf();
            *out = ss.str();
        }
        return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    }
    TBitmap picture_;
    fs::path dir_;
};

TEST_F(CliVerify, ExitStatusTellsCleanSuspiciousAndUnreadable) {
    const std::vector<uint8_t> plain = test::LibjpegEncode(picture_, 90, false);
    test::WriteFileBytes(Path("clean.jpg"), plain);
    std::vector<uint8_t> leaky = plain;
    leaky.insert(leaky.end(), plain.begin(), plain.end());
    test::WriteFileBytes(Path("leaky.jpg"), leaky);
    test::WriteFileBytes(Path("text.jpg"), {'h', 'i'});

    std::string out;
    EXPECT_EQ(Run("--verify '" + Path("clean.jpg") + "'", &out), 0);
    EXPECT_NE(out.find("120 x 90"), std::string::npos) << out;
    EXPECT_NE(out.find("clean"), std::string::npos) << out;
    EXPECT_EQ(Run("--verify '" + Path("clean.jpg") + "' '" + Path("leaky.jpg") + "'", &out), 3);
    EXPECT_NE(out.find("after EOI at " + std::to_string(plain.size()) + ": 120 x 90"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("SUSPICIOUS"), std::string::npos) << out;
    EXPECT_EQ(Run("--verify '" + Path("missing.jpg") + "'"), 1);
    EXPECT_EQ(Run("--verify '" + Path("text.jpg") + "' '" + Path("clean.jpg") + "'"), 1);
    EXPECT_EQ(Run("--verify"), 2);
}

// Saving with the Exif block copied: personal data goes unless --keep-personal-data; the result
// passes --verify.
TEST_F(CliVerify, KeepPersonalDataKeepsTheArtist) {
    test::TTiffBuilder b(false);
    b.Ascii(test::TTiffBuilder::Ifd0, 0x013B, "Jane Q. Public");
    b.Thumbnail(test::LibjpegEncode(picture_, 80, false));
    test::WriteFileBytes(Path("in.jpg"),
                         test::WithSegment(test::LibjpegEncode(picture_), b.Build()));
    const auto has = [&](const std::string& name) {
        const std::vector<uint8_t> f = test::ReadFileBytes(Path(name));
        return std::string(f.begin(), f.end()).find("Jane Q. Public") != std::string::npos;
    };
    const std::string in = "'" + Path("in.jpg") + "' ";
    ASSERT_EQ(Run(in + "'" + Path("a.jpg") + "' --exif-copy --exif-thumbnail"), 0);
    EXPECT_FALSE(has("a.jpg"));
    ASSERT_EQ(Run(in + "'" + Path("b.jpg") + "' --exif-copy --keep-personal-data"), 0);
    EXPECT_TRUE(has("b.jpg"));
    std::string out;
    EXPECT_EQ(Run("--verify '" + Path("a.jpg") + "' '" + Path("b.jpg") + "'", &out), 0) << out;
    EXPECT_NE(out.find("Exif thumbnail, difference"), std::string::npos) << out;
}

TEST(CliVerifyOptions, ParsesVerifyAndKeepPersonalData) {
    TCliOptions o = ParseCliOptions({"--verify", "a.jpg", "b.jpg"});
    EXPECT_TRUE(o.Verify);
    EXPECT_EQ(o.VerifyFiles, (std::vector<std::string>{"a.jpg", "b.jpg"}));
    o = ParseCliOptions({"in.jpg", "out.jpg", "--exif-copy"});
    EXPECT_TRUE(o.Save.ExifRemovePersonalData);
    o = ParseCliOptions({"in.jpg", "out.jpg", "--exif-copy", "--keep-personal-data"});
    EXPECT_FALSE(o.Save.ExifRemovePersonalData);
    EXPECT_THROW(ParseCliOptions({"--verify"}), EUsage);
}

}  // namespace
}  // namespace tilvo
