// Exif carry-over: the probe, the block built anew from the kept tags, its check, and hostile
// Exif blocks. The Exif
// blocks are built here by a small TIFF/IFD builder; written files are read back with libjpeg.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <span>

#include "Effector/Resample.h"
#include "FileFormat/ExifBuild.h"
#include "FileFormat/ExifJpeg.h"
#include "FileFormat/JpegVerify.h"
#include "FileFormat/JPEGImage.h"
#include "ExifTestSupport.h"
#include "JpegTestSupport.h"

namespace tilvo {
namespace {

using test::LibjpegDecode;
using test::MakeTestPicture;
using test::ReadFileBytes;
using test::WriteFileBytes;

std::string TempName(const std::string& stem) {
    // ctest runs tests in parallel processes: the process id keeps their files apart.
    return ::testing::TempDir() + "tilvo_exif_" + std::to_string(::getpid()) + "_" + stem;
}

// ------------------------------------------------------------------------------------------
// Builder of Exif APP1 segments

struct TEntry {
    uint16_t Tag, Type;
    uint32_t Count, Value;
};

class TExifBuilder {
  public:
    explicit TExifBuilder(bool bigEndian) : be_(bigEndian) {}

    // TIFF block: header, IFD0 (a Make string and `ifd0Extra`), then IFD1 (when `ifd1` is not
    // empty) whose thumbnail entries are filled in, then `filler` bytes, then the thumbnail.
    std::vector<uint8_t> Segment(const std::vector<TEntry>& ifd0Extra, std::vector<TEntry> ifd1,
                                 const std::vector<uint8_t>& thumbnail, size_t filler = 0) {
        t_.clear();
        Put16(be_ ? 0x4D4D : 0x4949);
        Put16(42);
        Put32(8);
        std::vector<TEntry> ifd0 = {{0x010F, 2, 6, 0}};
        ifd0.insert(ifd0.end(), ifd0Extra.begin(), ifd0Extra.end());
        const size_t ifd0Size = 2 + 12 * ifd0.size() + 4;
        const size_t makeAt = 8 + ifd0Size;
        const size_t ifd1At = makeAt + 6;
        const size_t ifd1Size = ifd1.empty() ? 0 : 2 + 12 * ifd1.size() + 4;
        const size_t thumbAt = ifd1At + ifd1Size + filler;
        ifd0[0].Value = uint32_t(makeAt);
        for (auto& e : ifd1) {
            if ((e.Tag == 0x0201 || e.Tag == 0x0111) && e.Value == 0) e.Value = uint32_t(thumbAt);
            if ((e.Tag == 0x0202 || e.Tag == 0x0117) && e.Value == 0)
                e.Value = uint32_t(thumbnail.size());
        }
        PutIfd(ifd0, ifd1.empty() ? 0 : uint32_t(ifd1At));
        for (char c : std::string("Maker", 6)) t_.push_back(uint8_t(c));
        if (!ifd1.empty()) PutIfd(ifd1, 0);
        t_.insert(t_.end(), filler, 0x20);
        t_.insert(t_.end(), thumbnail.begin(), thumbnail.end());
        static const uint8_t kHead[] = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
        std::vector<uint8_t> s(sizeof kHead + t_.size());
        std::copy(std::begin(kHead), std::end(kHead), s.begin());
        std::copy(t_.begin(), t_.end(), s.begin() + sizeof kHead);
        const size_t len = s.size() - 2;
        s[2] = uint8_t(len >> 8);
        s[3] = uint8_t(len);
        return s;
    }

    static std::vector<TEntry> ThumbnailIfd() {
        return {{0x0103, 3, 1, 6}, {0x0201, 4, 1, 0}, {0x0202, 4, 1, 0}};
    }

    // Appends an IFD of `entries` and, behind it, `picture` to a segment this builder made; the
    // link at TIFF offset `linkAt` points to the new IFD, and entries 0x0201 / 0x0111 with value 0
    // get the picture's offset. Returns the TIFF offset of the new IFD's own link.
    uint32_t AppendIfd(std::vector<uint8_t>& seg, uint32_t linkAt, std::vector<TEntry> entries,
                       const std::vector<uint8_t>& picture) {
        const uint32_t at = uint32_t(seg.size() - 10);
        const uint32_t pictureAt = at + 2 + 12 * uint32_t(entries.size()) + 4;
        for (auto& e : entries) {
            if ((e.Tag == 0x0201 || e.Tag == 0x0111) && e.Value == 0) e.Value = pictureAt;
            if ((e.Tag == 0x0202 || e.Tag == 0x0117) && e.Value == 0)
                e.Value = uint32_t(picture.size());
        }
        t_.clear();
        PutIfd(entries, 0);
        seg.insert(seg.end(), t_.begin(), t_.end());
        seg.insert(seg.end(), picture.begin(), picture.end());
        t_.clear();
        Put32(at);
        std::copy(t_.begin(), t_.end(), seg.begin() + 10 + linkAt);
        const size_t len = seg.size() - 2;
        seg[2] = uint8_t(len >> 8);
        seg[3] = uint8_t(len);
        return pictureAt - 4;
    }

  private:
    void Put16(uint32_t v) {
        if (be_) {
            t_.push_back(uint8_t(v >> 8));
            t_.push_back(uint8_t(v));
        } else {
            t_.push_back(uint8_t(v));
            t_.push_back(uint8_t(v >> 8));
        }
    }
    void Put32(uint32_t v) {
        if (be_) {
            Put16(v >> 16);
            Put16(v & 0xFFFF);
        } else {
            Put16(v & 0xFFFF);
            Put16(v >> 16);
        }
    }
    void PutIfd(const std::vector<TEntry>& es, uint32_t next) {
        Put16(uint32_t(es.size()));
        for (const auto& e : es) {
            Put16(e.Tag);
            Put16(e.Type);
            Put32(e.Count);
            // A SHORT value sits in the first two bytes of the field.
            if (e.Type == 3 && e.Count == 1) {
                Put16(e.Value);
                Put16(0);
            } else {
                Put32(e.Value);
            }
        }
        Put32(next);
    }
    bool be_;
    std::vector<uint8_t> t_;
};

std::vector<uint8_t> SmallJpeg(int w = 32, int h = 24) {
    TBitmap pic;
    MakeTestPicture(pic, w, h, 3);
    TMemoryStream s;
    EncodeJpegToStream(pic, s, false, 80, false);
    return s.Memory();
}

// A camera-like file: SOI, the given APPn segments, then the rest of an encoded JPEG (its own
// JFIF segment dropped).
std::vector<uint8_t> SourceFile(const std::vector<std::vector<uint8_t>>& segments) {
    const auto jpeg = SmallJpeg();
    std::vector<uint8_t> f = {0xFF, 0xD8};
    for (const auto& s : segments) f.insert(f.end(), s.begin(), s.end());
    f.insert(f.end(), jpeg.begin() + 20, jpeg.end());
    return f;
}

// The APP1 segment of a written file (it must follow the JFIF APP0), or empty.
std::vector<uint8_t> App1Of(const std::vector<uint8_t>& f) {
    if (f.size() < 24 || f[2] != 0xFF || f[3] != 0xE0) return {};
    const size_t at = 4 + (size_t(f[4]) << 8 | f[5]);
    if (at + 4 > f.size() || f[at] != 0xFF || f[at + 1] != 0xE1) return {};
    const size_t len = size_t(f[at + 2]) << 8 | f[at + 3];
    return std::vector<uint8_t>(f.begin() + at, f.begin() + at + 2 + len);
}

const std::vector<uint8_t> kXmp = {0xFF, 0xE1, 0,   12,  'h', 't', 't',
                                   'p',  ':',  '/', '/', 'n', 's', '.'};

// ------------------------------------------------------------------------------------------

TEST(ExifProbe, AnswersPerSource) {
    const auto thumb = SmallJpeg(16, 12);
    struct Case {
        const char* name;
        std::vector<std::vector<uint8_t>> segments;
        bool exists, canCopy, canUpdate;
    };
    TExifBuilder le(false), be(true);
    auto typed = TExifBuilder::ThumbnailIfd();
    typed.push_back({0x011A, 11, 1, 0});  // FLOAT is not walked
    auto outside = TExifBuilder::ThumbnailIfd();
    outside[2].Value = 60000;  // length runs past the segment
    const Case cases[] = {
        {"ii", {le.Segment({}, TExifBuilder::ThumbnailIfd(), thumb)}, true, true, true},
        {"mm", {be.Segment({}, TExifBuilder::ThumbnailIfd(), thumb)}, true, true, true},
        {"xmp_first",
         {kXmp, le.Segment({}, TExifBuilder::ThumbnailIfd(), thumb)},
         true,
         false,
         false},
        // The thumbnail is always made anew, so whatever the source's IFD1 holds, a block that
        // can be read offers both.
        {"no_ifd1_ii", {le.Segment({}, {}, {})}, true, true, true},
        {"no_ifd1_mm", {be.Segment({}, {}, {})}, true, true, true},
        {"float_in_ifd1", {le.Segment({}, typed, thumb)}, true, true, true},
        {"thumb_outside", {be.Segment({}, outside, thumb)}, true, true, true},
        {"no_exif", {}, true, false, false},
        {"missing", {}, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = TempName(std::string(c.name) + ".jpg");
        std::remove(name.c_str());
        if (c.exists) WriteFileBytes(name, SourceFile(c.segments));
        const TExifProbe p = ProbeExif(name);
        EXPECT_EQ(p.CanCopy, c.canCopy);
        EXPECT_EQ(p.CanUpdateThumbnail, c.canUpdate);
    }
    EXPECT_FALSE(ProbeExif("").CanCopy);
}

TEST(ExifProbe, FindsSegmentPlaceAndRefusesTruncatedSource) {
    TExifBuilder le(false);
    const auto seg = le.Segment({}, TExifBuilder::ThumbnailIfd(), SmallJpeg(8, 8));
    const auto file = SourceFile({{0xFF, 0xE2, 0, 4, 1, 2}, seg});
    TMemoryStream s(file);
    int64_t offset = 0, length = 0;
    ASSERT_TRUE(FindExifSegment(s, offset, length));
    EXPECT_EQ(offset, 8);
    EXPECT_EQ(length, int64_t(seg.size()));
    TMemoryStream cut;
    ASSERT_TRUE(ExtractExifSegment(s, cut));
    EXPECT_EQ(cut.Memory(), seg);

    // A source that ends before its first start of scan.
    TMemoryStream truncated(std::vector<uint8_t>(file.begin(), file.begin() + 6));
    try {
        FindExifSegment(truncated, offset, length);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_STREQ(e.what(), "Out of bounds");
    }
    // Save As probes the file the picture came from: one it cannot read offers nothing to copy
    // instead of blocking the save.
    const std::string name = TempName("truncated_source.jpg");
    WriteFileBytes(name, std::vector<uint8_t>(file.begin(), file.begin() + 6));
    const TExifProbe probe = ProbeExif(name);
    EXPECT_FALSE(probe.CanCopy);
    EXPECT_FALSE(probe.CanUpdateThumbnail);
}

TEST(ExifThumbnail, FitWithinSizes) {
    struct Case {
        int w, h, ew, eh;
    };
    const Case cases[] = {
        {100, 50, 100, 50},    {160, 160, 160, 160}, {4000, 3000, 160, 120}, {3000, 4000, 120, 160},
        {1000, 999, 160, 160}, {161, 80, 160, 80},   {320, 241, 160, 120},   {5000, 10, 160, 1},
        {10, 5000, 1, 160},    {100000, 1, 160, 1},  {1, 100000, 1, 160},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FitWithin(c.w, c.h, 160, 160), (TFitSize{c.ew, c.eh})) << c.w << "x" << c.h;
    }
}

TEST(ExifThumbnail, MadeAtFittedSize) {
    struct Case {
        int w, h, ew, eh;
    };
    const Case cases[] = {{100, 50, 100, 50},
                          {4000, 3000, 160, 120},
                          {3000, 4000, 120, 160},
                          {1000, 999, 160, 160},
                          {2000, 3, 160, 1}};
    for (const Case& c : cases) {
        TBitmap pic;
        MakeTestPicture(pic, c.w, c.h);
        TMemoryStream s;
        MakeExifThumbnail(pic, s);
        EXPECT_EQ(s.Position(), 0);
        const auto& b = s.Memory();
        ASSERT_GT(b.size(), 4u);
        EXPECT_EQ((std::vector<uint8_t>(b.begin(), b.begin() + 4)),
                  (std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xE0}));
        EXPECT_EQ(b[b.size() - 2], 0xFF);
        EXPECT_EQ(b[b.size() - 1], 0xD9);
        const auto img = LibjpegDecode(b);
        EXPECT_EQ(img.Width, c.ew);
        EXPECT_EQ(img.Height, c.eh);
        EXPECT_EQ(img.Components, 3);
    }
}

// ------------------------------------------------------------------------------------------
// No old thumbnail survives a save

bool Contains(const std::vector<uint8_t>& hay, const std::vector<uint8_t>& needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

// Pictures to plant in a source block: a JPEG of a picture no test saves, and raw pixels.
std::vector<uint8_t> DistinctiveJpeg(uint32_t seed) {
    TBitmap face;
    MakeTestPicture(face, 48, 36, seed);
    TMemoryStream s;
    EncodeJpegToStream(face, s, false, 95, false);
    return s.Memory();
}

std::vector<uint8_t> DistinctiveRaw() {
    std::vector<uint8_t> raw(24 * 18 * 3);
    uint32_t v = 12345;
    for (auto& b : raw) {
        v = v * 1103515245u + 12345u;
        b = uint8_t(1 + (v >> 24) % 255);  // never 0
    }
    return raw;
}

// ------------------------------------------------------------------------------------------
// The block built anew: only the table's tags, whatever the source holds

// A source block laid out by hand, for layouts no camera writes: a 4 KiB block of zeros with IFDs
// and values put where a case wants them.
class TRawBlock {
  public:
    explicit TRawBlock(bool bigEndian, size_t size = 4096) : be_(bigEndian), b_(size, 0) {
        b_[0] = b_[1] = be_ ? 'M' : 'I';
        Put16(2, 42);
        Put32(4, 8);
    }
    void Put16(size_t at, uint32_t v) {
        b_[at + (be_ ? 0 : 1)] = uint8_t(v >> 8);
        b_[at + (be_ ? 1 : 0)] = uint8_t(v);
    }
    void Put32(size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) b_[at + size_t(i)] = uint8_t(v >> (be_ ? 24 - 8 * i : 8 * i));
    }
    // An IFD at `at`; entries of type SHORT with one value are stored left-aligned.
    void Ifd(size_t at, const std::vector<TEntry>& entries, uint32_t next = 0,
             int declared = -1) {
        Put16(at, declared < 0 ? uint32_t(entries.size()) : uint32_t(declared));
        for (size_t i = 0; i < entries.size(); ++i) {
            const size_t e = at + 2 + 12 * i;
            Put16(e, entries[i].Tag);
            Put16(e + 2, entries[i].Type);
            Put32(e + 4, entries[i].Count);
            if (entries[i].Type == 3 && entries[i].Count <= 2)
                Put16(e + 8, entries[i].Value);
            else
                Put32(e + 8, entries[i].Value);
        }
        Put32(at + 2 + 12 * entries.size(), next);
    }
    void Data(size_t at, const std::vector<uint8_t>& bytes) {
        std::copy(bytes.begin(), bytes.end(), b_.begin() + std::ptrdiff_t(at));
    }
    void Text(size_t at, const std::string& s) { Data(at, std::vector<uint8_t>(s.begin(), s.end())); }
    const std::vector<uint8_t>& Bytes() const { return b_; }
    std::vector<uint8_t> Segment() const {
        std::vector<uint8_t> s = {0xFF, 0xE1, uint8_t((b_.size() + 8) >> 8), uint8_t(b_.size() + 8),
                                  'E', 'x', 'i', 'f', 0, 0};
        s.insert(s.end(), b_.begin(), b_.end());
        return s;
    }

  private:
    bool be_;
    std::vector<uint8_t> b_;
};

// What a written block holds: (IFD, tag) → type, count and value bytes, read as any reader would
// (IFD0, its Exif and GPS IFDs, the Exif IFD's Interoperability IFD, IFD1).
struct TReadTag {
    uint16_t Type = 0;
    uint32_t Count = 0;
    std::vector<uint8_t> Value;
};
using TReadBlock = std::map<std::pair<TExifIfd, uint16_t>, TReadTag>;

TReadBlock ReadBlock(std::span<const uint8_t> t) {
    TReadBlock out;
    const bool be = t[0] == 'M';
    const auto u16 = [&](size_t at) {
        return be ? uint16_t(t[at] << 8 | t[at + 1]) : uint16_t(t[at + 1] << 8 | t[at]);
    };
    const auto u32 = [&](size_t at) {
        return be ? uint32_t(u16(at)) << 16 | u16(at + 2) : uint32_t(u16(at + 2)) << 16 | u16(at);
    };
    const auto walk = [&](TExifIfd ifd, uint32_t at) {
        if (at == 0) return uint32_t(0);
        EXPECT_LE(at + 2u, t.size());
        const size_t n = u16(at);
        for (size_t i = 0; i < n; ++i) {
            const size_t e = at + 2 + 12 * i;
            TReadTag r;
            r.Type = u16(e + 2);
            r.Count = u32(e + 4);
            const size_t unit = r.Type == 3 ? 2 : r.Type == 4 || r.Type == 9 || r.Type == 13 ? 4
                              : r.Type == 5 || r.Type == 10 ? 8 : 1;
            const size_t bytes = unit * r.Count;
            const size_t v = bytes <= 4 ? e + 8 : u32(e + 8);
            EXPECT_LE(v + bytes, t.size());
            r.Value.assign(t.begin() + std::ptrdiff_t(v), t.begin() + std::ptrdiff_t(v + bytes));
            out[{ifd, u16(e)}] = r;
        }
        return u32(at + 2 + 12 * n);
    };
    // A pointer's value: where the builder put its IFD.
    const auto value32 = [&](TExifIfd ifd, uint16_t tag) {
        const auto it = out.find({ifd, tag});
        if (it == out.end() || it->second.Value.size() != 4) return uint32_t(0);
        const std::vector<uint8_t>& v = it->second.Value;
        return be ? uint32_t(v[0]) << 24 | uint32_t(v[1]) << 16 | uint32_t(v[2]) << 8 | v[3]
                  : uint32_t(v[3]) << 24 | uint32_t(v[2]) << 16 | uint32_t(v[1]) << 8 | v[0];
    };
    const uint32_t ifd1 = walk(TExifIfd::Ifd0, u32(4));
    walk(TExifIfd::Exif, value32(TExifIfd::Ifd0, 0x8769));
    walk(TExifIfd::Gps, value32(TExifIfd::Ifd0, 0x8825));
    walk(TExifIfd::Interop, value32(TExifIfd::Exif, 0xA005));
    walk(TExifIfd::Ifd1, ifd1);
    return out;
}

std::vector<std::pair<TExifIfd, uint16_t>> TagsOf(const TReadBlock& b) {
    std::vector<std::pair<TExifIfd, uint16_t>> tags;
    for (const auto& [key, value] : b) tags.push_back(key);
    return tags;
}

std::vector<uint8_t> Le32(uint32_t v, bool be) {
    return be ? std::vector<uint8_t>{uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}
              : std::vector<uint8_t>{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
}

// A camera-like source block with tags of every kind: kept ones, personal ones, and carriers
// of pictures and names that are never kept.
std::vector<uint8_t> RichSource(bool be, const std::vector<uint8_t>& hidden) {
    using test::TTiffBuilder;
    TTiffBuilder b(be);
    b.Ascii(TTiffBuilder::Ifd0, 0x010F, "Camera Maker");
    b.Ascii(TTiffBuilder::Ifd0, 0x0110, "Model 9");
    b.Short(TTiffBuilder::Ifd0, 0x0112, 6);
    b.Rationals(TTiffBuilder::Ifd0, 0x011A, {300, 1});
    b.Ascii(TTiffBuilder::Ifd0, 0x013B, "Jane Artist");
    b.Ascii(TTiffBuilder::Ifd0, 0x013C, "janes-laptop");
    b.Ascii(TTiffBuilder::Ifd0, 0x010D, "secret-document");
    b.Long(TTiffBuilder::Ifd0, 0x0100, 4000);                        // ImageWidth: not kept
    b.Bytes(TTiffBuilder::Ifd0, 0x9C9C, 1, {'h', 0, 'i', 0, 0, 0});  // XPComment
    b.Bytes(TTiffBuilder::Ifd0, 0xC4A5, 7, hidden);                  // a private tag
    b.Bytes(TTiffBuilder::Ifd0, 0x02BC, 7, hidden);                  // XMP
    b.Bytes(TTiffBuilder::Ifd0, 0x83BB, 7, {'J', 'a', 'n', 'e', ' ', 'I', 'P', 'T', 'C'});
    b.Rationals(TTiffBuilder::ExifIfd, 0x829A, {1, 100});
    b.Short(TTiffBuilder::ExifIfd, 0x8827, 400);
    b.Ascii(TTiffBuilder::ExifIfd, 0x9003, "2026:01:02 03:04:05");
    b.Bytes(TTiffBuilder::ExifIfd, 0x927C, 7, hidden);  // MakerNote
    b.Bytes(TTiffBuilder::ExifIfd, 0x9286, 7, {'A', 'S', 'C', 'I', 'I', 0, 0, 0, 'h', 'i'});
    b.Ascii(TTiffBuilder::ExifIfd, 0xA437, "Jane Photographer");
    b.Ascii(TTiffBuilder::ExifIfd, 0xA438, "Jane Editor");
    b.Ascii(TTiffBuilder::ExifIfd, 0xA431, "SN-12345");
    b.Ascii(TTiffBuilder::ExifIfd, 0xA434, std::string(300, 'L'));  // longer than kept values
    b.Long(TTiffBuilder::ExifIfd, 0xA002, 4000);
    b.Bytes(TTiffBuilder::ExifIfd, 0x9214, 3, {0, 1, 0, 2, 0, 3, 0, 4});  // SubjectArea
    b.Bytes(TTiffBuilder::GpsIfd, 0x0000, 1, {2, 3, 0, 0});
    b.Ascii(TTiffBuilder::GpsIfd, 0x0001, "N");
    b.Rationals(TTiffBuilder::GpsIfd, 0x0002, {52, 1, 31, 1, 12, 1});
    b.Thumbnail(hidden);
    const std::vector<uint8_t> seg = b.Build();
    return std::vector<uint8_t>(seg.begin() + 10, seg.end());
}

// The tags every built block holds whatever the source has: those readers require of a JPEG's
// Exif block (besides Orientation, the Exif pointer and the saved size).
const std::vector<std::pair<TExifIfd, uint16_t>> kRequired = {
    {TExifIfd::Ifd0, 0x011A}, {TExifIfd::Ifd0, 0x011B}, {TExifIfd::Ifd0, 0x0128},
    {TExifIfd::Ifd0, 0x0213}, {TExifIfd::Exif, 0x9000}, {TExifIfd::Exif, 0x9101},
    {TExifIfd::Exif, 0xA000}, {TExifIfd::Exif, 0xA001}};

TEST(ExifBuild, KeepsTheTableTagsAndNothingElse) {
    using K = std::pair<TExifIfd, uint16_t>;
    using enum TExifIfd;
    const std::vector<uint8_t> hidden = DistinctiveJpeg(77);
    const std::vector<uint8_t> thumbnail = SmallJpeg(16, 12);
    for (bool be : {false, true}) {
        const std::vector<uint8_t> source = RichSource(be, hidden);
        const TReadBlock src = ReadBlock(source);
        for (bool personal : {false, true}) {
            for (bool withThumbnail : {false, true}) {
                SCOPED_TRACE(std::string(be ? "MM" : "II") + (personal ? " personal" : "") +
                             (withThumbnail ? " thumbnail" : ""));
                TExifBuildOptions o;
                o.KeepPersonalData = personal;
                o.Width = 640;
                o.Height = 480;
                if (withThumbnail) o.Thumbnail = thumbnail;
                const std::vector<uint8_t> out = BuildExifBlock(source, o);
                ASSERT_FALSE(out.empty());
                EXPECT_EQ(out[0], be ? 'M' : 'I');
                const TReadBlock got = ReadBlock(out);
                std::vector<K> expect = {{Ifd0, 0x010F}, {Ifd0, 0x0110}, {Ifd0, 0x0112},
                                         {Ifd0, 0x011A}, {Ifd0, 0x8769}, {Exif, 0x829A},
                                         {Exif, 0x8827}, {Exif, 0x9003}, {Exif, 0xA002},
                                         {Exif, 0xA003}};
                expect.insert(expect.end(), kRequired.begin(), kRequired.end());
                if (personal)
                    expect.insert(expect.end(),
                                  {{Ifd0, 0x010D}, {Ifd0, 0x013B}, {Ifd0, 0x013C}, {Ifd0, 0x8825},
                                   {Exif, 0x9286}, {Exif, 0xA431}, {Exif, 0xA437}, {Exif, 0xA438},
                                   {Gps, 0x0000}, {Gps, 0x0001}, {Gps, 0x0002}});
                if (withThumbnail)
                    expect.insert(expect.end(), {{Ifd1, 0x0103}, {Ifd1, 0x011A}, {Ifd1, 0x011B},
                                                 {Ifd1, 0x0128}, {Ifd1, 0x0201}, {Ifd1, 0x0202}});
                std::sort(expect.begin(), expect.end());
                expect.erase(std::unique(expect.begin(), expect.end()), expect.end());
                EXPECT_EQ(TagsOf(got), expect);
                // Copied values are the source's bytes; Tilvo's own say upright and 640 × 480.
                for (const auto& [key, tag] : got) {
                    const TKeptExifTag* row = FindKeptExifTag(key.first, key.second);
                    ASSERT_NE(row, nullptr);
                    if (row->Value == TExifValue::Copied && src.count(key) != 0) {
                        EXPECT_EQ(tag.Value, src.at(key).Value) << std::hex << key.second;
                        EXPECT_EQ(tag.Type, src.at(key).Type);
                    }
                }
                EXPECT_EQ(got.at({Ifd0, 0x0112}).Value[be ? 1 : 0], 1);
                EXPECT_EQ(got.at({Exif, 0xA002}).Value, Le32(640, be));
                EXPECT_EQ(got.at({Exif, 0xA003}).Value, Le32(480, be));
                EXPECT_FALSE(Contains(out, std::vector<uint8_t>(hidden.end() - 64, hidden.end())));
                const TExifBlockCheck check = CheckExifBlock(out, personal);
                EXPECT_TRUE(check.Ok) << check.Problem;
                EXPECT_EQ(check.HasThumbnail, withThumbnail);
                if (withThumbnail) {
                    const auto at = out.begin() + std::ptrdiff_t(check.ThumbnailOffset);
                    EXPECT_EQ(std::vector<uint8_t>(at, at + std::ptrdiff_t(check.ThumbnailLength)),
                              thumbnail);
                }
                // The check itself refuses personal tags where they are not allowed.
                if (personal) {
                    EXPECT_FALSE(CheckExifBlock(out, false).Ok);
                }
            }
        }
        // A block no reader can use gives nothing to carry.
        std::vector<uint8_t> broken = source;
        broken[2] = 43;
        EXPECT_TRUE(BuildExifBlock(broken, {}).empty());
        EXPECT_TRUE(BuildExifBlock(std::vector<uint8_t>(source.begin(), source.begin() + 9), {}).empty());
    }
}

// Layouts no camera writes but an attacker can: pointers twice, mistyped or in the wrong IFD,
// loops, values outside the block, counts past any size. The built block holds only table tags
// from where they belong, and passes the check.
TEST(ExifBuild, PointersAndValuesOnlyWhereTheyBelong) {
    using K = std::pair<TExifIfd, uint16_t>;
    using enum TExifIfd;
    struct Case {
        const char* name;
        bool personal;
        std::function<void(TRawBlock&)> make;
        std::vector<K> expect;  // besides Orientation, the Exif pointer and the saved size
    };
    // IFD0 at 8; other IFDs at 512, 1024, 1536; values from 2048.
    const TEntry make = {0x010F, 2, 5, 2048};
    const auto gpsAt = [](TRawBlock& b, size_t at) {
        b.Ifd(at, {{0x0001, 2, 2, 'N'}, {0x0002, 5, 3, 3000}});
        b.Text(3000, "LATITUDE-SECRET-");
    };
    const Case cases[] = {
        {"gps_pointer_twice", true,
         [&](TRawBlock& b) {
             b.Text(2048, "Make");
             b.Ifd(8, {make, {0x8825, 4, 1, 4000}, {0x8825, 4, 1, 512}});
             gpsAt(b, 512);
         },
         {{Ifd0, 0x010F}}},
        {"gps_pointer_short", true,
         [&](TRawBlock& b) {
             b.Text(2048, "Make");
             b.Ifd(8, {make, {0x8825, 3, 1, 512}});
             gpsAt(b, 512);
         },
         {{Ifd0, 0x010F}}},
        {"gps_pointer_in_exif_ifd", true,
         [&](TRawBlock& b) {
             b.Text(2048, "Make");
             b.Ifd(8, {make, {0x8769, 4, 1, 1024}});
             b.Ifd(1024, {{0x8825, 4, 1, 512}});
             gpsAt(b, 512);
         },
         {{Ifd0, 0x010F}}},
        {"gps_removed_however_it_is_laid_out", false,
         [&](TRawBlock& b) {
             b.Text(2048, "Make");
             b.Ifd(8, {make, {0x8825, 4, 1, 512}});
             gpsAt(b, 512);
         },
         {{Ifd0, 0x010F}}},
        {"gps_kept_when_asked", true,
         [&](TRawBlock& b) {
             b.Ifd(8, {{0x8825, 4, 1, 512}});
             gpsAt(b, 512);
         },
         {{Ifd0, 0x8825}, {Gps, 0x0001}, {Gps, 0x0002}}},
        {"exif_pointer_twice_first_wins", true,
         [&](TRawBlock& b) {
             b.Ifd(8, {{0x8769, 4, 1, 512}, {0x8769, 13, 1, 1024}});
             b.Ifd(512, {{0x829A, 5, 1, 2048}});
             b.Ifd(1024, {{0x829D, 5, 1, 2048}, {0xA437, 2, 16, 3000}});
             b.Text(3000, "NAME-SECRET-xxxx");
         },
         {{Exif, 0x829A}}},
        {"exif_ifd_is_ifd0", true,
         [&](TRawBlock& b) {
             b.Text(2048, "Make");
             b.Ifd(8, {make, {0x8769, 4, 1, 8}});
         },
         {{Ifd0, 0x010F}}},
        {"interop_pointer_in_ifd0", true,
         [&](TRawBlock& b) {
             b.Ifd(8, {{0xA005, 4, 1, 512}});
             b.Ifd(512, {{0x0001, 2, 4, 'R' | '9' << 8 | '8' << 16}});
         },
         {}},
        {"interop_kept_under_exif", false,
         [&](TRawBlock& b) {
             b.Ifd(8, {{0x8769, 4, 1, 1024}});
             b.Ifd(1024, {{0xA005, 4, 1, 512}});
             b.Ifd(512, {{0x0001, 2, 4, 'R' | '9' << 8 | '8' << 16}});
         },
         {{Exif, 0xA005}, {Interop, 0x0001}}},
        {"iptc_and_xp_names_in_ifd0", true,
         [&](TRawBlock& b) {
             b.Ifd(8, {{0x83BB, 7, 16, 3000}, {0x9C9D, 1, 16, 3000}});
             b.Text(3000, "NAME-SECRET-xxxx");
         },
         {}},
        {"value_outside_the_block", true,
         [&](TRawBlock& b) { b.Ifd(8, {{0x010F, 2, 16, 0xFFFFFF00u}, {0x0110, 2, 64, 4090}}); },
         {}},
        {"counts_past_any_size", true,
         [&](TRawBlock& b) {
             b.Ifd(8, {{0x010F, 2, 0xFFFFFFFFu, 2048}, {0x011A, 5, 0x20000000u, 2048},
                       {0x0110, 2, 0, 2048}});
         },
         {}},
        {"texts_up_to_256_bytes", true,
         [&](TRawBlock& b) {
             b.Ifd(8, {{0x010F, 2, 256, 2048}, {0x0110, 2, 257, 2048}});
             b.Text(2048, std::string(300, 'x'));
         },
         {{Ifd0, 0x010F}}},
        {"entry_count_past_the_block", true,
         [&](TRawBlock& b) {
             b.Text(2048, "Make");
             b.Ifd(8, {make}, 0, 0xFFFF);
         },
         {{Ifd0, 0x010F}}},
        {"ifd1_strips_and_thumbnail_never_read", true,
         [&](TRawBlock& b) {
             b.Ifd(8, {{0x0111, 4, 1, 2048}, {0x0117, 4, 1, 512}, {0x014A, 4, 1, 1024}}, 1536);
             b.Ifd(1536, {{0x0103, 3, 1, 6}, {0x0201, 4, 1, 2048}, {0x0202, 4, 1, 100}});
             b.Ifd(1024, {{0x0111, 4, 1, 2048}});
         },
         {}},
    };
    for (bool be : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (be ? " MM" : " II"));
            TRawBlock b(be);
            c.make(b);
            TExifBuildOptions o;
            o.KeepPersonalData = c.personal;
            o.Width = 8;
            o.Height = 8;
            const std::vector<uint8_t> out = BuildExifBlock(b.Bytes(), o);
            ASSERT_FALSE(out.empty());
            std::vector<K> expect = c.expect;
            expect.insert(expect.end(),
                          {{Ifd0, 0x0112}, {Ifd0, 0x8769}, {Exif, 0xA002}, {Exif, 0xA003}});
            expect.insert(expect.end(), kRequired.begin(), kRequired.end());
            if (std::any_of(expect.begin(), expect.end(), [](const K& k) { return k.first == Gps; }))
                expect.push_back({Gps, 0x0000});
            std::sort(expect.begin(), expect.end());
            expect.erase(std::unique(expect.begin(), expect.end()), expect.end());
            EXPECT_EQ(TagsOf(ReadBlock(out)), expect);
            const TExifBlockCheck check = CheckExifBlock(out, c.personal);
            EXPECT_TRUE(check.Ok) << check.Problem;
            // Only the GPS values a case keeps may hold the planted text.
            const std::string text(out.begin(), out.end());
            const bool gpsKept = std::any_of(c.expect.begin(), c.expect.end(),
                                             [](const K& k) { return k.first == Gps; });
            EXPECT_EQ(text.find("SECRET") != std::string::npos, gpsKept);
        }
    }
    // A block of 65,000 bytes (a maker note with a large preview): the new block holds the tags.
    TRawBlock large(false, 65000);
    large.Text(2048, "Make");
    large.Ifd(8, {make, {0x8769, 4, 1, 512}});
    large.Ifd(512, {{0x927C, 7, 60000, 4096}});
    large.Data(4096, std::vector<uint8_t>(60000, 0x5A));
    const std::vector<uint8_t> out = BuildExifBlock(large.Bytes(), {});
    EXPECT_LT(out.size(), 256u);
    EXPECT_TRUE(CheckExifBlock(out, false).Ok);
}

// The check of a written block refuses whatever Tilvo would not have written.
TEST(ExifBuild, CheckRefusesWhatTilvoDoesNotWrite) {
    TExifBuildOptions o;
    o.Width = 64;
    o.Height = 48;
    const std::vector<uint8_t> thumb = SmallJpeg(16, 12);
    o.Thumbnail = thumb;
    const std::vector<uint8_t> good = BuildExifBlock(RichSource(false, DistinctiveJpeg(3)), o);
    ASSERT_TRUE(CheckExifBlock(good, false).Ok);
    const TExifBlockCheck check = CheckExifBlock(good, false);
    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> spoil;
    };
    const Case cases[] = {
        {"a picture appended", [&](std::vector<uint8_t>& b) { b.insert(b.end(), thumb.begin(), thumb.end()); }},
        {"bytes between the parts",
         [&](std::vector<uint8_t>& b) {
             b.insert(b.begin() + std::ptrdiff_t(check.ThumbnailOffset), {1, 2, 3, 4});
         }},
        {"an unknown tag", [](std::vector<uint8_t>& b) { b[10] = 0x12; b[11] = 0xC4; }},  // IFD0's first
        {"no header", [](std::vector<uint8_t>& b) { b[0] = 'X'; }},
        {"ifd0 outside", [](std::vector<uint8_t>& b) { b[4] = 0xF0; b[5] = 0xFF; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> b = good;
        c.spoil(b);
        const TExifBlockCheck r = CheckExifBlock(b, false);
        EXPECT_FALSE(r.Ok);
        EXPECT_FALSE(r.Problem.empty());
    }
}

// ------------------------------------------------------------------------------------------
// Saves with Copy Exif

struct TSaved {
    std::vector<uint8_t> file;
    std::vector<uint8_t> app1;
};

TSaved SaveWith(const std::vector<uint8_t>& source, const TBitmap& pic, bool copy, bool update,
                int subsampling = 0, bool gray = false, bool progressive = false,
                bool removePersonal = true) {
    const std::string src = TempName("src.jpg"), dst = TempName("dst.jpg");
    WriteFileBytes(src, source);
    std::remove(dst.c_str());
    EXPECT_TRUE(SaveJpegWithExif(pic, src, dst, 80, subsampling, update, copy, gray, progressive,
                                 removePersonal));
    TSaved s;
    s.file = ReadFileBytes(dst);
    s.app1 = App1Of(s.file);
    return s;
}

TEST(ExifSave, CopyAndUpdateOptions) {
    TBitmap pic;
    MakeTestPicture(pic, 64, 48);
    const auto seg = TExifBuilder(false).Segment({}, TExifBuilder::ThumbnailIfd(), SmallJpeg(40, 30));
    const auto source = SourceFile({seg});
    TExifBuildOptions o;
    o.Width = 64;
    o.Height = 48;
    const auto expect = BuildExifSegment(ExifBlockOfSegment(seg), o);
    EXPECT_EQ(SaveWith(source, pic, true, false).app1, expect);     // carried, no thumbnail
    EXPECT_TRUE(SaveWith(source, pic, false, false).app1.empty());  // copy off
    const TSaved noCopy = SaveWith(source, pic, false, true);       // update without copy
    EXPECT_TRUE(noCopy.app1.empty());
    TMemoryStream plain;
    ASSERT_TRUE(EncodeJpegToStream(pic, plain, false, 80, false));
    EXPECT_EQ(noCopy.file, plain.Memory());
    // A source without Exif: the plain encoding.
    EXPECT_EQ(SaveWith(SmallJpeg(), pic, true, true).file, plain.Memory());
    // 4:4:4 gray progressive keeps SOI, JFIF, then the Exif segment.
    const TSaved gray = SaveWith(source, pic, true, false, 2, true, true);
    EXPECT_EQ(gray.app1, expect);
    const auto img = LibjpegDecode(gray.file);
    EXPECT_EQ(img.Components, 1);
    EXPECT_TRUE(img.Progressive);
}

// The thumbnail is made from the saved file's own picture, in the source's byte order; the
// banded save, which never holds the picture, writes the very same file.
TEST(ExifSave, ThumbnailShowsTheSavedPicture) {
    TBitmap pic;
    MakeTestPicture(pic, 320, 240);
    for (bool be : {false, true}) {
        SCOPED_TRACE(be ? "MM" : "II");
        const auto seg = TExifBuilder(be).Segment({}, TExifBuilder::ThumbnailIfd(), SmallJpeg(40, 30));
        for (int subsampling : {0, 2}) {
            const TSaved s = SaveWith(SourceFile({seg}), pic, true, true, subsampling);
            ASSERT_FALSE(s.app1.empty());
            const std::span<const uint8_t> block = ExifBlockOfSegment(s.app1);
            ASSERT_FALSE(block.empty());
            EXPECT_EQ(block[0], be ? 'M' : 'I');
            const TExifBlockCheck check = CheckExifBlock(block, false);
            ASSERT_TRUE(check.Ok) << check.Problem;
            ASSERT_TRUE(check.HasThumbnail);
            const std::vector<uint8_t> thumb(block.begin() + std::ptrdiff_t(check.ThumbnailOffset),
                                             block.begin() + std::ptrdiff_t(check.ThumbnailOffset +
                                                                            check.ThumbnailLength));
            const auto t = LibjpegDecode(thumb);
            EXPECT_EQ(t.Width, 160);
            EXPECT_EQ(t.Height, 120);
            TBitmap small;
            small.Assign(pic);
            ResampleAreaAverage(small, 160, 120);
            const double difference = ThumbnailDifference(thumb, small);
            EXPECT_GE(difference, 0);
            EXPECT_LE(difference, kMaxThumbnailDifference);

            // The same save without the whole picture.
            TMemoryStream jpeg;
            if (subsampling == 2)
                ASSERT_TRUE(EncodeJpegFullChroma(pic, jpeg, false, 80, false));
            else
                ASSERT_TRUE(EncodeJpegToStream(pic, jpeg, false, 80, false));
            const std::string src = TempName("src.jpg"), dst = TempName("banded.jpg");
            SaveEncodedJpegWithExif(320, 240, jpeg, src, dst, true, true, true);
            EXPECT_EQ(ReadFileBytes(dst), s.file);
        }
    }
}

// The pictures a source block can hide (raw strips in IFD0 or a SubIFD, a PNG in a private tag,
// a preview whose own header holds FF D9, a thumbnail longer than its length entry says, strips
// without byte counts, a base64 thumbnail in XMP) never reach the saved file, with or without
// the new thumbnail, in either byte order.
TEST(ExifSave, NoPictureOfTheSourceBlockSurvives) {
    TBitmap pic;
    MakeTestPicture(pic, 200, 150, 21);
    const std::vector<uint8_t> face = DistinctiveJpeg(31), raw = DistinctiveRaw();
    // A JPEG whose header carries FF D9 in a comment before its tables and scan.
    std::vector<uint8_t> tricky = {0xFF, 0xD8, 0xFF, 0xFE, 0x00, 0x06, 'a', 0xFF, 0xD9, 'b'};
    tricky.insert(tricky.end(), face.begin() + 2, face.end());
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    png.insert(png.end(), raw.begin(), raw.begin() + 600);
    std::string base64 = "<x:xmpmeta><xap:Thumbnails><xapGImg:image>";
    static const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (size_t i = 0; i + 2 < face.size(); i += 3) {
        const uint32_t v = uint32_t(face[i]) << 16 | uint32_t(face[i + 1]) << 8 | face[i + 2];
        for (int k = 18; k >= 0; k -= 6) base64.push_back(kB64[(v >> k) & 63]);
    }
    base64 += "</xapGImg:image></xap:Thumbnails></x:xmpmeta>";
    const std::vector<uint8_t> xmp(base64.begin(), base64.end());

    struct Case {
        const char* name;
        std::vector<TEntry> ifd0;   // besides Make
        std::vector<TEntry> ifd1;
        std::vector<uint8_t> picture;  // behind IFD1 (its entries' value 0 points at it)
    };
    const uint32_t n = uint32_t(raw.size());
    const Case cases[] = {
        {"raw_strips_in_ifd1", {}, {{0x0100, 3, 1, 24}, {0x0101, 3, 1, 18}, {0x0103, 3, 1, 1},
                                    {0x0111, 4, 1, 0}, {0x0117, 4, 1, 0}}, raw},
        {"strips_without_byte_counts", {}, {{0x0103, 3, 1, 1}, {0x0111, 4, 1, 0}}, raw},
        {"thumbnail_longer_than_its_entry", {}, {{0x0103, 3, 1, 6}, {0x0201, 4, 1, 0},
                                                 {0x0202, 4, 1, 100}}, face},
        {"preview_with_ff_d9_in_its_header", {}, TExifBuilder::ThumbnailIfd(), tricky},
        {"png_in_a_private_tag", {}, {{0xC5A0, 7, uint32_t(png.size()), 0}}, png},
        {"xmp_with_base64_thumbnail", {}, {{0x02BC, 7, uint32_t(xmp.size()), 0}}, xmp},
    };
    for (bool be : {false, true}) {
        TExifBuilder b(be);
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (be ? " MM" : " II"));
            const auto seg = b.Segment({}, c.ifd1, c.picture);
            const std::vector<uint8_t> probe(c.picture.end() - 48, c.picture.end());
            ASSERT_TRUE(Contains(seg, probe));
            for (bool update : {false, true}) {
                const TSaved s = SaveWith(SourceFile({seg}), pic, true, update);
                EXPECT_FALSE(Contains(s.file, probe)) << "a picture of the source survived";
                const TExifBlockCheck check = CheckExifBlock(ExifBlockOfSegment(s.app1), false);
                EXPECT_TRUE(check.Ok) << check.Problem;
                EXPECT_EQ(check.HasThumbnail, update);
            }
        }
        // Raw strips hung off IFD0 itself and off a SubIFD.
        TRawBlock r(be);
        r.Ifd(8, {{0x0111, 4, 1, 2048}, {0x0117, 4, 1, n}, {0x014A, 4, 1, 1024}});
        r.Ifd(1024, {{0x0111, 4, 1, 2048}, {0x0117, 4, 1, n}});
        r.Data(2048, raw);
        const TSaved s = SaveWith(SourceFile({r.Segment()}), pic, true, true);
        EXPECT_FALSE(Contains(s.file, std::vector<uint8_t>(raw.end() - 48, raw.end())));
        EXPECT_TRUE(CheckExifBlock(ExifBlockOfSegment(s.app1), false).Ok);
    }
}

TEST(ExifSave, FailedEncodingWritesNothing) {
    const auto seg = TExifBuilder(false).Segment({}, TExifBuilder::ThumbnailIfd(), SmallJpeg(8, 8));
    const std::string src = TempName("fail_src.jpg"), dst = TempName("fail_dst.jpg");
    WriteFileBytes(src, SourceFile({seg}));
    WriteFileBytes(dst, {'o', 'l', 'd'});
    TBitmap empty;
    for (int subsampling : {0, 2}) {
        EXPECT_FALSE(SaveJpegWithExif(empty, src, dst, 80, subsampling, true, true, false, false));
        EXPECT_EQ(ReadFileBytes(dst), (std::vector<uint8_t>{'o', 'l', 'd'}));
    }
    // A source that can no longer be read ends the save with an error; nothing is written.
    TBitmap pic;
    MakeTestPicture(pic, 16, 16);
    EXPECT_THROW(SaveJpegWithExif(pic, TempName("gone.jpg"), dst, 80, 0, false, true, false, false),
                 Exception);
    EXPECT_EQ(ReadFileBytes(dst), (std::vector<uint8_t>{'o', 'l', 'd'}));
}

TEST(ExifSave, InsertKeepsJfifInFront) {
    const auto jpeg = SmallJpeg();
    const std::vector<uint8_t> seg = {0xFF, 0xE1, 0, 8, 'E', 'x', 'i', 'f', 0, 0};
    TMemoryStream j(jpeg), s(seg), out;
    InsertExifSegment(j, s, out);
    EXPECT_EQ(out.Position(), 0);
    std::vector<uint8_t> expect(jpeg.begin(), jpeg.begin() + 20);
    expect.insert(expect.end(), seg.begin(), seg.end());
    expect.insert(expect.end(), jpeg.begin() + 20, jpeg.end());
    EXPECT_EQ(out.Memory(), expect);
}

}  // namespace
}  // namespace tilvo
