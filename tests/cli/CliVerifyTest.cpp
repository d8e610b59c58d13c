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
#include "tests/FileFormat/PlantedJpegs.h"

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
    EXPECT_NE(out.find("APP0 JFIF at 2, 18 bytes"), std::string::npos) << out;
    EXPECT_NE(out.find("clean"), std::string::npos) << out;
    EXPECT_EQ(Run("--verify '" + Path("clean.jpg") + "' '" + Path("leaky.jpg") + "'", &out), 3);
    EXPECT_NE(out.find("data after EOI at " + std::to_string(plain.size())), std::string::npos)
        << out;
    EXPECT_NE(
        out.find("picture: JPEG 120 x 90 in the data after EOI at " + std::to_string(plain.size())),
        std::string::npos)
        << out;
    EXPECT_NE(out.find("SUSPICIOUS"), std::string::npos) << out;
    EXPECT_EQ(Run("--verify '" + Path("missing.jpg") + "'"), 1);
    EXPECT_EQ(Run("--verify '" + Path("text.jpg") + "' '" + Path("clean.jpg") + "'"), 1);
    // A file that cannot be read is never outweighed by a finding in another.
    EXPECT_EQ(Run("--verify '" + Path("leaky.jpg") + "' '" + Path("missing.jpg") + "'"), 1);
    EXPECT_EQ(Run("--verify '" + Path("missing.jpg") + "' '" + Path("leaky.jpg") + "'"), 1);
    EXPECT_EQ(Run("--verify"), 2);
}

// Every planted picture makes its file suspicious (exit 3), and the listing names it.
TEST_F(CliVerify, EachPlantedFileGivesThree) {
    TBitmap hidden, saved;
    test::MakeFacePicture(hidden, 256, 192);
    saved.Assign(hidden);
    test::Mosaic(saved, 32, 64, 32, 128, 128);
    const std::vector<uint8_t> file = test::LibjpegEncode(saved, 85, false);
    int n = 0;
    for (const test::TPlanted& p : test::PlantedFiles(file, hidden, saved)) {
        SCOPED_TRACE(p.Name);
        const std::string name = Path("planted" + std::to_string(n++) + ".jpg");
        test::WriteFileBytes(name, p.File);
        std::string out;
        EXPECT_EQ(Run("--verify '" + name + "'", &out), 3) << out;
        EXPECT_NE(out.find(p.Finding), std::string::npos) << out;
    }
}

// Tilvo's own outputs pass: whole, band and lossless saves, with and without the Exif block
// carried (and its thumbnail made again on the whole-picture path), at qualities 1 to 100.
TEST_F(CliVerify, OwnOutputsGiveZero) {
    TBitmap picture;
    test::MakeFacePicture(picture, 256, 192);
    // The input as a PPM (the whole-picture path), as a JPEG (the band and lossless paths), and as
    // a JPEG with an Exif block and a thumbnail.
    std::string ppm = "P6\n256 192\n255\n";
    for (int32_t y = 0; y < 192; ++y)
        for (int32_t x = 0; x < 256; ++x)
            for (int c = 2; c >= 0; --c) ppm += char(picture.ScanLine(y)[3 * x + c]);
    test::WriteFileBytes(Path("in.ppm"), std::vector<uint8_t>(ppm.begin(), ppm.end()));
    const auto withExif = [&](const std::vector<uint8_t>& jpeg) {
        test::TTiffBuilder b(false);
        b.Ascii(test::TTiffBuilder::Ifd0, 0x010F, "Maker");
        b.Ascii(test::TTiffBuilder::Ifd0, 0x0110, "Model");
        b.Rationals(test::TTiffBuilder::ExifIfd, 0x829A, {1, 125});
        b.Thumbnail(test::Reduced(picture, 160, 120));
        return test::WithSegment(jpeg, b.Build());
    };
    const std::string edit = " --rect 64,32,128,128 --mosaic 16";
    std::string files;
    for (int q : {1, 2, 5, 10, 25, 50, 75, 90, 100}) {
        SCOPED_TRACE(q);
        const std::string qs = std::to_string(q), quality = " --quality " + qs;
        const std::vector<uint8_t> source = test::LibjpegEncode(picture, q, false);
        test::WriteFileBytes(Path("src" + qs + ".jpg"), source);
        test::WriteFileBytes(Path("srcx" + qs + ".jpg"), withExif(source));
        const std::string src = "'" + Path("src" + qs + ".jpg") + "' ";
        const std::string srcx = "'" + Path("srcx" + qs + ".jpg") + "' ";
        struct Save {
            std::string name, args;
        };
        for (const Save& s : {
                 Save{"whole", "'" + Path("in.ppm") + "' " + quality},
                 Save{"whole-exif", srcx + quality + " --exif-copy --exif-thumbnail"},
                 Save{"band", src + quality},
                 Save{"band-exif", srcx + quality + " --exif-copy"},
                 Save{"lossless", src + " --lossless"},
                 Save{"lossless-exif", srcx + " --lossless --exif-copy"},
             }) {
            const std::string out = Path(s.name + qs + ".jpg");
            ASSERT_EQ(Run(s.args + " '" + out + "'" + edit), 0) << s.name;
            files += " '" + out + "'";
        }
    }
    std::string out;
    EXPECT_EQ(Run("--verify" + files, &out), 0) << out;
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
    EXPECT_NE(out.find("in APP1 Exif IFD1 at"), std::string::npos) << out;
    EXPECT_NE(out.find(", thumbnail, difference"), std::string::npos) << out;
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
