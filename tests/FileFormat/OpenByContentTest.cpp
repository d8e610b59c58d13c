// Opening by content: every real file under tests/data/read is recognised by its own format's
// signature and by no other; a file under a wrong, unknown or missing extension opens as it does
// under its own; a file no reader accepts fails with its extension's message and leaves the open
// picture as it was.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "FileFormat/Graphic.h"
#include "FileFormat/PNGImage.h"
#include "FileFormat/Stream.h"
#include "FileFormat/TGAImage.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;

const fs::path kRead = fs::path(TILVO_TEST_DATA) / "read";

std::vector<uint8_t> Head(const fs::path& file) {
    std::vector<uint8_t> bytes = ReadWholeFile(file.string());
    if (bytes.size() > kSignatureBytes) bytes.resize(kSignatureBytes);
    return bytes;
}

std::string ExtensionOf(const fs::path& file) {
    const std::string ext = file.extension().string();
    return ext.empty() ? ext : ext.substr(1);
}

template <class E, class Fn>
std::string MessageOf(Fn&& fn) {
    try {
        fn();
    } catch (const E& e) {
        return e.what();
    }
    return "(nothing thrown)";
}

class OpenByContent : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterAllFormats();
        dir_ = fs::temp_directory_path() / ("tilvo-sniff-" + std::to_string(::getpid()));
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path CopyAs(const fs::path& from, const std::string& name) {
        const fs::path to = dir_ / name;
        fs::copy_file(from, to, fs::copy_options::overwrite_existing);
        return to;
    }
    fs::path Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        const fs::path to = dir_ / name;
        WriteWholeFile(to.string(), bytes.data(), int64_t(bytes.size()));
        return to;
    }

    fs::path dir_;
};

// Every fixture (the pictures and their expected PNGs) against the whole table: the format its
// extension names recognises it, every format before it in the registry refuses it, and a format
// without a signature is never claimed by another's.
TEST_F(OpenByContent, EveryFixtureCarriesItsOwnFormatsSignatureOnly) {
    const TPictureFormats& formats = PictureFormats();
    int withSignature = 0, without = 0;
    for (const auto& folder : fs::directory_iterator(kRead)) {
        if (!folder.is_directory()) continue;
        for (const auto& f : fs::directory_iterator(folder)) {
            const TPictureFormatEntry* byName = formats.Find(ExtensionOf(f.path()));
            ASSERT_NE(byName, nullptr) << f.path();
            const std::vector<uint8_t> head = Head(f.path());
            const TPictureFormatEntry* byContent = formats.FindBySignature(head.data(), head.size());
            if (byName->Sniff) {
                ++withSignature;
                ASSERT_NE(byContent, nullptr) << f.path();
                EXPECT_EQ(byContent->ClassName, byName->ClassName) << f.path();
            } else {
                ++without;
                EXPECT_EQ(byContent, nullptr) << f.path() << " taken for " << byContent->ClassName;
            }
        }
    }
    EXPECT_GT(withSignature, 200);
    EXPECT_GT(without, 10);  // Targa, Photo CD and raw pixels
}

TEST_F(OpenByContent, SignaturesNeedTheirWholeMagic) {
    const TPictureFormats& formats = PictureFormats();
    const std::vector<std::string> notPictures = {
        "",
        "BM",                        // two letters, no header
        "BMP is a word in a text",   // no known info header size
        std::string("\xFF\xD8", 2),  // no marker after the start of image
        "GIF88a....",
        "P7 netpbm arbitrary map",
        "P6x",
        "\nline feed first",
        std::string("\x0A\x01\x01\x08", 4),  // PCX version 1 does not exist
        "8BPS",                               // no version
        "FORM\0\0\0\0AIFF",
        std::string("\0\0\x01\xB5", 4),  // an MPEG extension start code, not a header
        std::string("\0\0\x01\0\0\0", 6),  // an icon directory without images
        std::string("RIFF\0\0\0\0WAVEfmt ", 16),
        std::string(100, '\0'),
    };
    for (const std::string& s : notPictures) {
        const auto* p = reinterpret_cast<const uint8_t*>(s.data());
        const TPictureFormatEntry* e = formats.FindBySignature(p, s.size());
        EXPECT_EQ(e, nullptr) << '"' << s << "\" taken for " << e->ClassName;
    }
}

// One file of every format that has a signature, opened under a wrong extension (one whose format
// has a signature, one whose format has none, one nobody registers) and under no extension: the
// same picture as under its own name.
TEST_F(OpenByContent, AFileOpensWhateverItIsCalled) {
    const char* const files[] = {
        "bmp/rgb24_topdown.bmp",    "bmp/core4.bmp",           "jpeg/color420.jpg",
        "jpeg/progressive444_prefix128.jpg",                   "png/rgba8_interlaced.png",
        "gif/plain.gif",            "tif/rgb8_lzw_mm.tif",     "tif/pal8.tif",
        "pnm/p1_plain.pbm",         "pnm/p5.pgm",              "pnm/p6.ppm",
        "pcx/netpbm_8bit.pcx",      "psd/rgb_packbits.psd",    "psp/v5_rgb_deflate.psp",
        "sgi/netpbm_rgb_rle.sgi",   "ilbm/netpbm_8planes.iff", "ilbm/pbm_chunky.lbm",
        "mag/pal256_100x2.mag",     "pic/colours15.pic",       "res/bitmap24.dcr",
        "ico/ico8.ico",             "cur/pal8.cur",            "heic/photo.heic",
        "heic/photo_av1.avif",      "webp/lossless.webp",
    };
    for (const char* name : files) {
        const fs::path source = kRead / name;
        TBitmap expected;
        ASSERT_NO_THROW(LoadPictureFile(source.string(), expected)) << name;
        const std::string wrong = ExtensionOf(source) == "jpg" ? "png" : "jpg";
        for (const std::string& as : {"named." + wrong, std::string("named.tga"),
                                      std::string("named.xyz"), std::string("noextension"),
                                      std::string("NAMED.") + (wrong == "png" ? "PNG" : "JPG")}) {
            const fs::path copy = CopyAs(source, as);
            TBitmap picture;
            ASSERT_NO_THROW(LoadPictureFile(copy.string(), picture)) << name << " as " << as;
            ASSERT_EQ(picture.Width(), expected.Width()) << name << " as " << as;
            ASSERT_EQ(picture.Height(), expected.Height()) << name << " as " << as;
            for (int32_t y = 0; y < picture.Height(); ++y)
                ASSERT_EQ(0, std::memcmp(picture.ScanLine(y), expected.ScanLine(y),
                                         size_t(picture.Width()) * 3))
                    << name << " as " << as << " row " << y;
        }
    }
}

// A picture of 3 × 2: what is open when an open fails.
void MakeReference(TBitmap& b) {
    b.Resize(3, 2, pf24bit);
    for (int32_t y = 0; y < 2; ++y)
        for (int32_t x = 0; x < 3; ++x) b.SetPixel(x, y, RGB(uint8_t(x * 80), uint8_t(y * 90), 7));
}

void ExpectUnchanged(const TBitmap& picture, const TBitmap& reference, const std::string& what) {
    ASSERT_EQ(picture.Width(), reference.Width()) << what;
    ASSERT_EQ(picture.Height(), reference.Height()) << what;
    for (int32_t y = 0; y < reference.Height(); ++y)
        for (int32_t x = 0; x < reference.Width(); ++x)
            ASSERT_EQ(picture.Pixel(x, y), reference.Pixel(x, y)) << what;
}

// The message a class's own reader gives for a file.
template <class T>
std::string ReaderMessage(const fs::path& file) {
    return MessageOf<Exception>([&] {
        T graphic;
        graphic.LoadFromFile(file.string());
    });
}

TEST_F(OpenByContent, AFileNoReaderAcceptsKeepsTheExtensionsMessageAndThePicture) {
    const std::vector<uint8_t> text = {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'};
    std::vector<uint8_t> cutPng = ReadWholeFile((kRead / "png/rgb8_interlaced.png").string());
    cutPng.resize(60);
    const fs::path textPng = Write("text.png", text);
    const fs::path textTga = Write("text.tga", text);
    const fs::path cutPngAsTga = Write("cut.tga", cutPng);
    const struct {
        fs::path File;
        std::string Message;
    } cases[] = {
        {textPng, ReaderMessage<TPNGImage>(textPng)},
        // Targa has no signature: its reader speaks, and the PNG reader a cut PNG goes to does
        // not replace its message.
        {textTga, ReaderMessage<TTGAImage>(textTga)},
        {cutPngAsTga, ReaderMessage<TTGAImage>(cutPngAsTga)},
        // A cut PNG under a name with a signature is a PNG that fails as one.
        {Write("cut.jpg", cutPng), ReaderMessage<TPNGImage>(Write("cut.png", cutPng))},
        {Write("text.xyz", text), "Unknown picture file format (.xyz)"},
        {Write("text.Bin", text), "Unknown picture file format (.bin)"},
        {Write("text", text), "Unknown picture file format (no extension)"},
        {Write("empty", {}), "Unknown picture file format (no extension)"},
    };
    TBitmap reference;
    MakeReference(reference);
    for (const auto& c : cases) {
        const std::string what = c.File.filename().string();
        ASSERT_FALSE(c.Message.empty());
        ASSERT_NE(c.Message, "(nothing thrown)") << what;
        TBitmap picture;
        MakeReference(picture);
        EXPECT_EQ(MessageOf<Exception>([&] { LoadPictureFile(c.File.string(), picture); }),
                  c.Message)
            << what;
        ExpectUnchanged(picture, reference, what);
        // An empty picture lends its buffer to every reader tried and gets it back empty.
        TBitmap empty(0, 0, pf8bit);
        EXPECT_THROW(LoadPictureFile(c.File.string(), empty), Exception) << what;
        EXPECT_TRUE(empty.Empty()) << what;
        EXPECT_EQ(empty.PixelFormat(), pf8bit) << what;
    }
    // A file that cannot be read says why, not that its format is unknown.
    TBitmap picture;
    MakeReference(picture);
    const std::string missing = MessageOf<Exception>(
        [&] { LoadPictureFile((dir_ / "missing").string(), picture); });
    EXPECT_NE(missing.find("No such file"), std::string::npos) << missing;
    ExpectUnchanged(picture, reference, "missing");
}

// Targa has no signature, so only its extension chooses its reader: under another name, or none,
// a Targa file fails as the name says.
TEST_F(OpenByContent, AFormatWithoutSignatureIsNeverGuessed) {
    const fs::path tga = kRead / "tga/imagemagick_palette.tga";
    TBitmap picture, reference;
    MakeReference(picture);
    MakeReference(reference);
    const fs::path asPng = CopyAs(tga, "palette.png");
    EXPECT_EQ(MessageOf<Exception>([&] { LoadPictureFile(asPng.string(), picture); }),
              ReaderMessage<TPNGImage>(asPng));
    const fs::path bare = CopyAs(tga, "palette");
    EXPECT_EQ(MessageOf<Exception>([&] { LoadPictureFile(bare.string(), picture); }),
              "Unknown picture file format (no extension)");
    ExpectUnchanged(picture, reference, "targa");
}

}  // namespace
}  // namespace tilvo
