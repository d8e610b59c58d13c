// The video stills: the placeholder without a decoder (colour, icon hook, refused by the open
// path), and the conversion of what an installed decoder hands over. The decoder here is a test
// implementation of the interface that returns bitmaps built in the test.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "FileFormat/AVIImage.h"
#include "FileFormat/MPEGImage.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;

void Put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

// An 8-bit packed bitmap 2 × 2 (bottom-up) whose colours-used field is 0: the table is the full
// 256 entries, entry i = (i, 255 - i, 7).
std::vector<uint8_t> EightBitDib() {
    std::vector<uint8_t> b;
    Put32(b, 40);
    Put32(b, 2);
    Put32(b, 2);
    Put16(b, 1);
    Put16(b, 8);
    Put32(b, 0);
    Put32(b, 8);
    Put32(b, 0);
    Put32(b, 0);
    Put32(b, 0);  // colours used: the full table
    Put32(b, 0);
    for (int i = 0; i < 256; ++i) b.insert(b.end(), {7, uint8_t(255 - i), uint8_t(i), 0});
    b.insert(b.end(), {10, 20, 0, 0, 30, 40, 0, 0});  // bottom row, then top row
    return b;
}

class TTestDecoder : public TVideoDecoder {
  public:
    std::vector<uint8_t> Dib;
    std::vector<uint8_t> Seen;
    TVideoContainer Container = TVideoContainer::AVI;
    std::vector<uint8_t> FirstFrame(const uint8_t* data, size_t size,
                                    TVideoContainer container) override {
        Seen.assign(data, data + size);
        Container = container;
        return Dib;
    }
};

class VideoStill : public ::testing::Test {
  protected:
    void SetUp() override { RegisterAllFormats(); }
    void TearDown() override {
        InstallVideoDecoder(nullptr);
        SetVideoPlaceholderStyle({});
        for (const fs::path& f : files_) fs::remove(f);
    }
    fs::path WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) {
        const fs::path p =
            fs::temp_directory_path() /
            ("tilvo_video_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "_" + name);
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        files_.push_back(p);
        return p;
    }

  private:
    std::vector<fs::path> files_;
};

TEST_F(VideoStill, TheExtensionsOpenTheVideoClasses) {
    const std::pair<const char*, const char*> rows[] = {
        {"avi", "TAVIImage"}, {"mpg", "TMPEGImage"}, {"MPEG", "TMPEGImage"}};
    for (const auto& [ext, cls] : rows) {
        SCOPED_TRACE(ext);
        const TPictureFormatEntry* entry = PictureFormats().Find(ext);
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->ClassName, cls);
    }
}

TEST_F(VideoStill, WithoutADecoderThePlaceholderIsTheButtonSquareWithTheIcon) {
    const fs::path file = WriteFile("clip.avi", {'R', 'I', 'F', 'F'});
    {
        TAVIImage plain;
        plain.LoadFromFile(file.string());
        EXPECT_TRUE(plain.IsPlaceholder());
        ASSERT_EQ(plain.GetWidth(), 64);
        ASSERT_EQ(plain.GetHeight(), 64);
        EXPECT_EQ(plain.Bitmap().Pixel(0, 0), RGB(240, 240, 240));
        EXPECT_EQ(plain.Bitmap().Pixel(63, 63), RGB(240, 240, 240));
    }

    std::string iconFor;
    TVideoPlaceholderStyle style;
    style.ButtonFace = RGB(1, 2, 3);
    style.DrawIcon = [&](TBitmap& picture, const std::string& name) {
        iconFor = name;
        picture.SetPixel(16, 16, RGB(200, 0, 0));
    };
    SetVideoPlaceholderStyle(style);
    TMPEGImage mpeg;
    mpeg.LoadFromFile(file.string());
    EXPECT_EQ(iconFor, file.string());
    EXPECT_EQ(mpeg.Bitmap().Pixel(16, 16), RGB(200, 0, 0));
    EXPECT_EQ(mpeg.Bitmap().Pixel(15, 16), RGB(1, 2, 3));
}

TEST_F(VideoStill, TheOpenPathRefusesThePlaceholderAndKeepsThePicture) {
    const fs::path file = WriteFile("clip.mpg", {0, 0, 1, 0xBA});
    TBitmap picture(3, 2, pf24bit);
    for (int32_t y = 0; y < 2; ++y)
        for (int32_t x = 0; x < 3; ++x) picture.SetPixel(x, y, RGB(9, 8, 7));
    try {
        LoadPictureFile(file.string(), picture);
        ADD_FAILURE() << "opened a video without a decoder";
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "No video decoder is installed");
    }
    EXPECT_EQ(picture.Width(), 3);
    EXPECT_EQ(picture.Pixel(2, 1), RGB(9, 8, 7));
}

TEST_F(VideoStill, ADecodersBitmapWithAFullTableOpensForEditing) {
    auto decoder = std::make_shared<TTestDecoder>();
    decoder->Dib = EightBitDib();
    InstallVideoDecoder(decoder);
    const std::vector<uint8_t> bytes = {0, 0, 1, 0xBA, 0x44};
    const fs::path file = WriteFile("clip.mpeg", bytes);
    TBitmap picture;
    LoadPictureFile(file.string(), picture);
    EXPECT_EQ(decoder->Seen, bytes);
    EXPECT_EQ(decoder->Container, TVideoContainer::MPEG);
    ASSERT_EQ(picture.Width(), 2);
    EXPECT_EQ(picture.Pixel(0, 0), RGB(30, 225, 7));
    EXPECT_EQ(picture.Pixel(1, 1), RGB(20, 235, 7));
}

TEST_F(VideoStill, ADecoderGivingNothingFails) {
    InstallVideoDecoder(std::make_shared<TTestDecoder>());
    TAVIImage avi;
    TMemoryStream stream(std::vector<uint8_t>{'R', 'I', 'F', 'F'});
    try {
        avi.LoadFromStream(stream);
        ADD_FAILURE() << "no error";
    } catch (const EInvalidGraphic& e) {
        // A decoder that gives no reason still gets a message that says what happened.
        EXPECT_STREQ(e.what(), "The video cannot be opened: no frame decodes");
    }
    EXPECT_TRUE(avi.Bitmap().Empty());
}

}  // namespace
}  // namespace tilvo
