// Every real file under tests/data/read/<format>/ opened through the registry: it must give its
// expected picture, also when decoded into a lent buffer that still holds another picture; every
// truncated copy must fail with an exception, except that formats which tolerate truncation open a
// copy cut in its pixel data at full size with a black tail; the table of hashes of what the
// readers produce must match, and every file in tests/data/crashers/ must fail with a message.
//
// A case is any file of a format folder except the expected pictures: the expected picture of
// "x.bmp" is "x.png" beside it, or "x.expected.png" (so PNG cases can have one too).
#include <gtest/gtest.h>

#include <algorithm>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include <unistd.h>

#include "FileFormat/FileTypes.h"
#include "FileFormat/Graphic.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;

const fs::path kData = TILVO_TEST_DATA;

bool EndsWith(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

struct TCase {
    fs::path File;
    fs::path Expected;  // empty when there is none
    std::string Key;    // "<format>/<file name>", the row name in hashes.txt
};

std::vector<TCase> Cases() {
    std::vector<TCase> cases;
    if (!fs::is_directory(kData / "read")) return cases;
    for (const auto& dir : fs::directory_iterator(kData / "read")) {
        if (!dir.is_directory()) continue;
        std::map<std::string, std::vector<fs::path>> byStem;
        for (const auto& f : fs::directory_iterator(dir.path()))
            if (f.is_regular_file()) byStem[f.path().stem().string()].push_back(f.path());
        for (const auto& [stem, files] : byStem) {
            if (EndsWith(stem, ".expected")) continue;
            for (const fs::path& f : files) {
                const bool isPng = f.extension() == ".png";
                if (isPng && files.size() > 1) continue;  // the expected picture of a sibling
                TCase c{f, {}, dir.path().filename().string() + "/" + f.filename().string()};
                const fs::path expected = dir.path() / (stem + ".expected.png");
                if (fs::exists(expected))
                    c.Expected = expected;
                else if (!isPng && fs::exists(dir.path() / (stem + ".png")))
                    c.Expected = dir.path() / (stem + ".png");
                cases.push_back(c);
            }
        }
    }
    std::sort(cases.begin(), cases.end(),
              [](const TCase& a, const TCase& b) { return a.Key < b.Key; });
    return cases;
}

// FNV-1a, 64 bits, over the B, G, R bytes of every pixel, row by row.
uint64_t PictureHash(const TBitmap& picture) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (int32_t y = 0; y < picture.Height(); ++y) {
        const uint8_t* row = picture.ScanLine(y);
        for (int64_t i = 0; i < int64_t(picture.Width()) * 3; ++i) {
            h ^= row[i];
            h *= 0x100000001b3ull;
        }
    }
    return h;
}

std::string HashLine(const std::string& key, const TBitmap& picture) {
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx",
                  static_cast<unsigned long long>(PictureHash(picture)));
    return key + " " + std::to_string(picture.Width()) + " " + std::to_string(picture.Height()) +
           " " + hash;
}

std::vector<uint8_t> FileBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Decodes bytes with the class registered for `fileName`'s extension, up to a 24-bit surface.
void Decode(const std::string& fileName, const std::vector<uint8_t>& bytes, TBitmap& out) {
    std::unique_ptr<TGraphic> graphic = CreateGraphicForFile(fileName);
    TMemoryStream ms(bytes);
    graphic->LoadFromStream(ms);
    graphic->AssignTo(out);
    out.SetPixelFormat(pf24bit);
}

// Extensions whose formats open a file cut short in its pixel data at full size, the missing part
// black; a cut inside the header, or one that leaves not even the first row, still fails.
const std::set<std::string> kTruncationTolerant = {".ppm", ".pgm", ".pbm", ".pic"};

bool ToleratesTruncation(const fs::path& file) {
    std::string ext = file.extension().string();
    for (char& ch : ext) ch = char(std::tolower(static_cast<unsigned char>(ch)));
    return kTruncationTolerant.count(ext) != 0;
}

// Makes `picture` empty but leaves it a buffer of at least `bytes` bytes that holds a pattern and a
// palette of another colour: what the open path lends a reader after a previous picture. A reader
// that leaves a pixel or the palette alone shows the pattern.
void FillWithPreviousPicture(TBitmap& picture, int64_t bytes) {
    const int32_t width = 1024;
    picture.Resize(width, int32_t(bytes / (width * 3) + 1), pf24bit);
    for (int32_t y = 0; y < picture.Height(); ++y) {
        uint8_t* row = picture.ScanLine(y);
        for (int64_t i = 0; i < picture.Stride(); ++i) row[i] = uint8_t(0x5A ^ (i * 7 + y));
    }
    picture.Resize(0, 0, pf24bit);
    picture.Palette().assign(256, TPaletteEntry{0x12, 0x9C, 0x4E, 0});
}

// Decodes `bytes` through the open path, with a lent buffer that holds another picture.
void OpenLent(const fs::path& dir, const std::string& fileName, const std::vector<uint8_t>& bytes,
              TBitmap& out) {
    const fs::path path = dir / fileName;
    WriteWholeFile(path.string(), bytes.data(), int64_t(bytes.size()));
    FillWithPreviousPicture(out, int64_t{1} << 20);
    LoadPictureFile(path.string(), out);
}

bool SamePicture(const TBitmap& a, const TBitmap& b, std::string& firstDifference) {
    if (a.Width() != b.Width() || a.Height() != b.Height()) {
        firstDifference = "sizes differ";
        return false;
    }
    for (int32_t y = 0; y < a.Height(); ++y)
        for (int32_t x = 0; x < a.Width(); ++x)
            if (a.Pixel(x, y) != b.Pixel(x, y)) {
                std::ostringstream os;
                os << "pixel (" << x << ", " << y << ") is " << std::hex << a.Pixel(x, y)
                   << ", not " << b.Pixel(x, y);
                firstDifference = os.str();
                return false;
            }
    return true;
}

class ReadFixtures : public ::testing::Test {
  protected:
    void SetUp() override { RegisterAllFormats(); }
};

TEST_F(ReadFixtures, EveryFileGivesItsExpectedPicture) {
    const std::vector<TCase> cases = Cases();
    ASSERT_FALSE(cases.empty());
    const bool canReadPng = PictureFormats().Find("png") != nullptr;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Key);
        if (!PictureFormats().Find(c.File.extension().string())) {
            ADD_FAILURE() << "no reader is registered for " << c.Key;
            continue;
        }
        TBitmap picture;
        ASSERT_NO_THROW(LoadPictureFile(c.File.string(), picture));
        EXPECT_EQ(picture.PixelFormat(), pf24bit);
        if (c.Expected.empty() || !canReadPng) continue;
        TBitmap expected;
        ASSERT_NO_THROW(LoadPictureFile(c.Expected.string(), expected));
        ASSERT_EQ(picture.Width(), expected.Width());
        ASSERT_EQ(picture.Height(), expected.Height());
        int mismatches = 0;
        for (int32_t y = 0; y < picture.Height() && mismatches < 5; ++y)
            for (int32_t x = 0; x < picture.Width() && mismatches < 5; ++x)
                if (picture.Pixel(x, y) != expected.Pixel(x, y)) {
                    ++mismatches;
                    ADD_FAILURE() << "pixel (" << x << ", " << y << ") is " << std::hex
                                  << picture.Pixel(x, y) << ", expected " << expected.Pixel(x, y);
                }
    }
}

TEST_F(ReadFixtures, ALentBufferGivesTheSamePictureAsAFreshOne) {
    const fs::path dir = fs::temp_directory_path() / ("tilvo-lent-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    for (const TCase& c : Cases()) {
        SCOPED_TRACE(c.Key);
        TBitmap fresh, lent;
        try {
            Decode(c.File.filename().string(), FileBytes(c.File), fresh);
            OpenLent(dir, c.File.filename().string(), FileBytes(c.File), lent);
        } catch (const Exception& e) {
            ADD_FAILURE() << e.what();
            continue;
        }
        std::string difference;
        EXPECT_TRUE(SamePicture(lent, fresh, difference)) << difference;
    }
    fs::remove_all(dir);
}

TEST_F(ReadFixtures, TolerantFormatsOpenACutRasterWithABlackTail) {
    const fs::path dir = fs::temp_directory_path() / ("tilvo-cut-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    int tolerantCases = 0;
    for (const TCase& c : Cases()) {
        if (!ToleratesTruncation(c.File)) continue;
        ++tolerantCases;
        const std::vector<uint8_t> bytes = FileBytes(c.File);
        TBitmap whole;
        Decode(c.File.filename().string(), bytes, whole);
        // Inside the header (nothing, the signature alone): no picture.
        for (size_t cut : {size_t(0), size_t(1), size_t(2)}) {
            SCOPED_TRACE(c.Key + " cut at " + std::to_string(cut));
            TBitmap out;
            EXPECT_THROW(Decode(c.File.filename().string(),
                                std::vector<uint8_t>(bytes.begin(), bytes.begin() + ptrdiff_t(cut)),
                                out),
                         Exception);
        }
        // Half the file: the first row is there, the last one is not.
        SCOPED_TRACE(c.Key + " cut in half");
        const std::vector<uint8_t> half(bytes.begin(), bytes.begin() + ptrdiff_t(bytes.size() / 2));
        TBitmap cut;
        try {
            OpenLent(dir, c.File.filename().string(), half, cut);
        } catch (const Exception& e) {
            ADD_FAILURE() << e.what();
            continue;
        }
        ASSERT_EQ(cut.Width(), whole.Width());
        ASSERT_EQ(cut.Height(), whole.Height());
        for (int32_t x = 0; x < cut.Width(); ++x) {
            EXPECT_EQ(cut.Pixel(x, 0), whole.Pixel(x, 0)) << "first row, x = " << x;
            EXPECT_EQ(cut.Pixel(x, cut.Height() - 1), RGB(0, 0, 0)) << "last row, x = " << x;
        }
    }
    EXPECT_GT(tolerantCases, 0);
    fs::remove_all(dir);
}

TEST_F(ReadFixtures, EveryTruncatedCopyFailsWithAnException) {
    for (const TCase& c : Cases()) {
        if (ToleratesTruncation(c.File)) continue;  // see TolerantFormatsOpenACutRasterWithABlackTail
        const std::vector<uint8_t> bytes = FileBytes(c.File);
        // A JPEG cut in the data of its last scan opens at full size, the rest as libjpeg fills
        // it.
        const bool jpeg = c.Key.rfind("jpeg/", 0) == 0;
        if (jpeg) {
            const uint8_t sos[2] = {0xFF, 0xDA};
            const auto at = std::find_end(bytes.begin(), bytes.end(), sos, sos + 2);
            ASSERT_NE(at, bytes.end()) << c.Key;
            const size_t scan = size_t(at - bytes.begin());
            const std::vector<uint8_t> part(bytes.begin(),
                                            bytes.begin() + ptrdiff_t(scan + (bytes.size() - scan) / 2));
            TBitmap whole, out;
            Decode(c.File.filename().string(), bytes, whole);
            SCOPED_TRACE(c.Key + " cut in its scan");
            try {
                Decode(c.File.filename().string(), part, out);
                EXPECT_EQ(out.Width(), whole.Width());
                EXPECT_EQ(out.Height(), whole.Height());
            } catch (const Exception& e) {
                ADD_FAILURE() << e.what();
            }
        }
        for (size_t cut : {size_t(0), size_t(1), size_t(20), bytes.size() / 2}) {
            if (cut >= bytes.size() || (jpeg && cut == bytes.size() / 2)) continue;
            SCOPED_TRACE(c.Key + " cut at " + std::to_string(cut));
            const std::vector<uint8_t> part(bytes.begin(), bytes.begin() + ptrdiff_t(cut));
            TBitmap out;
            EXPECT_THROW(Decode(c.File.filename().string(), part, out), Exception);
        }
    }
}

TEST_F(ReadFixtures, HashTableMatchesWhatTheReadersProduce) {
    std::map<std::string, std::string> table;  // key -> whole line
    std::ifstream in(kData / "read" / "hashes.txt");
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        table[line.substr(0, line.find(' '))] = line;
    }
    std::set<std::string> seen;
    for (const TCase& c : Cases()) {
        TBitmap picture;
        try {
            LoadPictureFile(c.File.string(), picture);
        } catch (const Exception& e) {
            ADD_FAILURE() << c.Key << ": " << e.what();
            continue;
        }
        const std::string line = HashLine(c.Key, picture);
        seen.insert(c.Key);
        const auto it = table.find(c.Key);
        if (it == table.end())
            ADD_FAILURE() << "tests/data/read/hashes.txt has no row for " << c.Key
                          << "; the new line is:\n"
                          << line;
        else if (it->second != line)
            ADD_FAILURE() << "the output of " << c.Key << " changed; the new line is:\n"
                          << line << "\n(was: " << it->second << ")";
    }
    for (const auto& [key, line] : table)
        if (!seen.count(key)) ADD_FAILURE() << "hashes.txt row without a file: " << line;
}

TEST_F(ReadFixtures, EveryExtensionOfAnOpenDialogEntryOpensItsFormat) {
    // Every entry of the open dialog, each with a fixture of its format
    // that is opened under every extension the entry lists (also written in capitals).
    const struct {
        const char* label;
        const char* fixture;
    } entries[] = {
        {"JPEG (", "jpeg/color420.jpg"},
        {"Bitmap (", "bmp/rle8.bmp"},
        {"PNG (", "png/rgb8_interlaced.png"},
        {"GIF (", "gif/plain.gif"},
        {"TIFF (", "tif/bilevel_g4.tif"},
        {"PNM (", "pnm/p6.ppm"},
        {"Targa (", "tga/pillow_rgb_rle.tga"},
        {"Mag (", "mag/pal256_all_copies.mag"},
        {"Yanagisawa-PIC (", "pic/bands16.pic"},
        {"SGI (", "sgi/magick_rgba.sgi"},
        {"ZSoft Paintbrush (", "pcx/netpbm_8bit.pcx"},
        {"Interleave Bitmap (", "ilbm/netpbm_1plane.iff"},
        {"Photoshop (", "psd/gray.psd"},
        {"PaintShop Pro (", "psp/v3_rgb_deflate.psp"},
        {"Kodak Photo-CD (", "pcd/two_row_pairs.pcd"},
        {"Raw (", "raw/gray320x200.raw"},
        {"Icon/Cursor (", "ico/holes8.ico"},
        {"Delphi resource (", "res/bitmap24.dcr"},
        {"HEIF/AVIF (", "heic/alpha.heic"},
        {"WebP (", "webp/alpha.webp"},
    };
    const fs::path dir = fs::temp_directory_path() / ("tilvo-entry-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string filter = BuildOpenDialogFilter(false);
    for (const auto& e : entries) {
        SCOPED_TRACE(e.label);
        const size_t label = filter.find(e.label);
        ASSERT_NE(label, std::string::npos);
        const size_t from = filter.find('|', label) + 1;
        std::stringstream patterns(filter.substr(from, filter.find('|', from) - from));
        const std::vector<uint8_t> bytes = FileBytes(kData / "read" / e.fixture);
        TBitmap expected;
        Decode(fs::path(e.fixture).filename().string(), bytes, expected);
        int extensions = 0;
        for (std::string pattern; std::getline(patterns, pattern, ';');) {
            ASSERT_EQ(pattern.substr(0, 2), "*.");
            std::string upper = pattern.substr(1);
            for (char& ch : upper) ch = char(std::toupper(static_cast<unsigned char>(ch)));
            for (const std::string& ext : {pattern.substr(1), upper}) {
                const fs::path file = dir / ("picture" + ext);
                WriteWholeFile(file.string(), bytes.data(), int64_t(bytes.size()));
                TBitmap picture;
                try {
                    LoadPictureFile(file.string(), picture);
                } catch (const Exception& ex) {
                    ADD_FAILURE() << ext << ": " << ex.what();
                    continue;
                }
                std::string difference;
                EXPECT_TRUE(SamePicture(picture, expected, difference)) << ext << ": " << difference;
            }
            ++extensions;
        }
        EXPECT_GT(extensions, 0);
    }
    fs::remove_all(dir);
}

TEST_F(ReadFixtures, CrashersFailWithAMessage) {
    const fs::path dir = kData / "crashers";
    if (!fs::is_directory(dir)) return;
    for (const auto& f : fs::directory_iterator(dir)) {
        if (!f.is_regular_file() || f.path().filename().string()[0] == '.') continue;
        SCOPED_TRACE(f.path().filename().string());
        TBitmap out;
        try {
            Decode(f.path().filename().string(), FileBytes(f.path()), out);
            ADD_FAILURE() << "opened without an error";
        } catch (const Exception& e) {
            EXPECT_STRNE(e.what(), "");
        }
    }
}

}  // namespace
}  // namespace tilvo
