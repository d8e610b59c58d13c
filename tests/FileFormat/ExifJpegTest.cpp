// Exif carry-over: probe, segment rebuild with a new thumbnail, and hostile Exif blocks. The Exif
// blocks are built here by a small TIFF/IFD builder; written files are read back with libjpeg.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "FileFormat/ExifJpeg.h"
#include "FileFormat/JPEGImage.h"
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
        std::vector<uint8_t> s = {0xFF, 0xE1, 0, 0, 'E', 'x', 'i', 'f', 0, 0};
        s.insert(s.end(), t_.begin(), t_.end());
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

uint32_t Read32(const std::vector<uint8_t>& b, size_t at, bool be) {
    return be ? uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 |
                    b[at + 3]
              : uint32_t(b[at + 3]) << 24 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 1]) << 8 |
                    b[at];
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
        {"no_ifd1_ii", {le.Segment({}, {}, {})}, true, true, false},
        {"no_ifd1_mm", {be.Segment({}, {}, {})}, true, true, false},
        {"float_in_ifd1", {le.Segment({}, typed, thumb)}, true, true, false},
        {"thumb_outside", {be.Segment({}, outside, thumb)}, true, true, false},
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

// Hostile IFD structures: each ends quickly with no thumbnail, or with the probe's bounds error.
TEST(ExifProbe, HostileIfdChains) {
    const auto thumb = SmallJpeg(8, 8);
    struct Case {
        const char* name;
        bool bigEndian;
        std::vector<TEntry> ifd1;
        uint32_t patchAt;  // TIFF offset to overwrite with patchValue (0: none)
        uint32_t patchValue;
        const char* error;  // expected exception text, or nullptr for "no thumbnail"
    };
    auto hugeCount = TExifBuilder::ThumbnailIfd();
    hugeCount.push_back({0x9999, 4, 0xFFFFFFFFu, 8});
    auto farValue = TExifBuilder::ThumbnailIfd();
    farValue.push_back({0x9999, 5, 1, 0xFFFFFFF0u});
    auto wrapValue = TExifBuilder::ThumbnailIfd();
    wrapValue.push_back({0x9999, 7, 0x7FFFFFFFu, 0x80000010u});
    // IFD0 is at 8 with 1 entry; IFD1 follows the 6-byte Make string at 8 + 18 + 6 = 32.
    const uint32_t ifd1NextAt = 32 + 2 + 12 * 3;
    const Case cases[] = {
        {"loop_to_itself", false, TExifBuilder::ThumbnailIfd(), ifd1NextAt, 32, nullptr},
        {"loop_to_ifd0", true, TExifBuilder::ThumbnailIfd(), ifd1NextAt, 8, nullptr},
        {"next_beyond_16_bits", false, TExifBuilder::ThumbnailIfd(), ifd1NextAt, 0x10000, nullptr},
        {"huge_count", false, hugeCount, 0, 0, nullptr},
        {"value_far_away", true, farValue, 0, 0, nullptr},
        {"value_wraps", false, wrapValue, 0, 0, nullptr},
        {"ifd1_past_end", false, TExifBuilder::ThumbnailIfd(), 8 + 2 + 12, 0xFF00, nullptr},
        {"ifd0_far_away", false, TExifBuilder::ThumbnailIfd(), 4, 0x00100000,
         "Exif section out of bounds"},
        {"ifd0_past_end", false, TExifBuilder::ThumbnailIfd(), 4, 0xF000, "Out of bounds"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto seg = TExifBuilder(c.bigEndian).Segment({}, c.ifd1, thumb);
        if (c.patchAt != 0) {
            const size_t at = 10 + c.patchAt;
            for (int i = 0; i < 4; ++i)
                seg[at + i] = uint8_t(c.patchValue >> (c.bigEndian ? 24 - 8 * i : 8 * i));
        }
        const auto start = std::chrono::steady_clock::now();
        TMemoryStream s(seg);
        TThumbnailTags tags;
        if (c.error == nullptr) {
            EXPECT_FALSE(FindThumbnailTags(s, tags));
        } else {
            try {
                FindThumbnailTags(s, tags);
                ADD_FAILURE() << "no exception";
            } catch (const Exception& e) {
                EXPECT_STREQ(e.what(), c.error);
            }
        }
        TThumbnailPlace place;
        EXPECT_FALSE(LocateExifThumbnail(seg, place));
        std::vector<uint8_t> rebuilt;
        EXPECT_EQ(RebuildExifSegment(seg, thumb, rebuilt), TRebuildResult::NoThumbnail);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    }
}

// A little-endian block whose IFD1 follows the thumbnail: IFD0 (no entries) at 8, the thumbnail
// at 14, IFD1 behind it; `thumbOffset` / `thumbLength` override the entries' values.
std::vector<uint8_t> SegmentWithIfd1AfterThumbnail(const std::vector<uint8_t>& thumb,
                                                   uint32_t thumbOffset, uint32_t thumbLength) {
    std::vector<uint8_t> t = {'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0};
    const auto put32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) t.push_back(uint8_t(v >> (8 * i)));
    };
    put32(uint32_t(14 + thumb.size()));
    t.insert(t.end(), thumb.begin(), thumb.end());
    const TEntry es[] = {
        {0x0103, 3, 1, 6}, {0x0201, 4, 1, thumbOffset}, {0x0202, 4, 1, thumbLength}};
    t.push_back(3);
    t.push_back(0);
    for (const TEntry& e : es) {
        t.push_back(uint8_t(e.Tag));
        t.push_back(uint8_t(e.Tag >> 8));
        t.push_back(uint8_t(e.Type));
        t.push_back(0);
        put32(e.Count);
        put32(e.Value);
    }
    put32(0);
    std::vector<uint8_t> s = {
        0xFF, 0xE1, uint8_t((t.size() + 8) >> 8), uint8_t(t.size() + 8), 'E', 'x', 'i', 'f', 0, 0};
    s.insert(s.end(), t.begin(), t.end());
    return s;
}

// With data behind the thumbnail nothing moves: the old thumbnail is blanked and the new one
// appended, so every offset in the block stays right. A thumbnail that covers its own entries
// (found by fuzzing: the rebuild wrote past its buffer) is no thumbnail.
TEST(ExifThumbnail, DataBehindTheThumbnailStaysInPlace) {
    const std::vector<uint8_t> oldThumb(40, 0xAB), newThumb(100, 0xCD);
    const auto seg = SegmentWithIfd1AfterThumbnail(oldThumb, 14, 40);
    std::vector<uint8_t> rebuilt;
    ASSERT_EQ(RebuildExifSegment(seg, newThumb, rebuilt), TRebuildResult::Ok);
    ASSERT_EQ(rebuilt.size(), seg.size() + 100);
    EXPECT_EQ(size_t(rebuilt[2]) << 8 | rebuilt[3], rebuilt.size() - 2);
    TMemoryStream r(rebuilt);
    TThumbnailTags tags;
    ASSERT_TRUE(FindThumbnailTags(r, tags));
    TThumbnailPlace place;
    ASSERT_TRUE(LocateExifThumbnail(rebuilt, place));
    EXPECT_EQ(place.Offset, seg.size() - 10);
    EXPECT_EQ(place.Length, 100u);
    EXPECT_EQ(std::vector<uint8_t>(rebuilt.end() - 100, rebuilt.end()), newThumb);
    EXPECT_EQ(std::vector<uint8_t>(rebuilt.begin() + 24, rebuilt.begin() + 64),
              std::vector<uint8_t>(40, 0));

    for (uint32_t len : {43u, 60u, 200u}) {  // reaching into the entries of IFD1
        const auto bad = SegmentWithIfd1AfterThumbnail(oldThumb, 14, len);
        EXPECT_FALSE(LocateExifThumbnail(bad, place)) << len;
        EXPECT_EQ(RebuildExifSegment(bad, newThumb, rebuilt), TRebuildResult::NoThumbnail);
    }
    const auto crasher =
        ReadFileBytes(std::string(TILVO_TEST_DATA) + "/crashers/exif_thumbnail_overlaps_ifd1.jpg");
    ASSERT_FALSE(crasher.empty());
    TMemoryStream file(crasher), cut;
    ASSERT_TRUE(ExtractExifSegment(file, cut));
    EXPECT_EQ(RebuildExifSegment(cut.Memory(), newThumb, rebuilt), TRebuildResult::NoThumbnail);
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
// Save As JPEG

struct TSaved {
    std::vector<uint8_t> file;
    std::vector<uint8_t> app1;
};

TSaved SaveWith(const std::vector<uint8_t>& source, const TBitmap& pic, bool copy, bool update,
                int subsampling = 0, bool gray = false, bool progressive = false) {
    const std::string src = TempName("src.jpg"), dst = TempName("dst.jpg");
    WriteFileBytes(src, source);
    std::remove(dst.c_str());
    EXPECT_TRUE(SaveJpegWithExif(pic, src, dst, 80, subsampling, update, copy, gray, progressive));
    TSaved s;
    s.file = ReadFileBytes(dst);
    s.app1 = App1Of(s.file);
    return s;
}

TEST(ExifSave, ThumbnailReplacedInOwnByteOrder) {
    TBitmap pic;
    MakeTestPicture(pic, 320, 240);
    const auto oldThumb = SmallJpeg(40, 30);
    for (bool bigEndian : {false, true}) {
        SCOPED_TRACE(bigEndian ? "MM" : "II");
        const auto seg =
            TExifBuilder(bigEndian).Segment({}, TExifBuilder::ThumbnailIfd(), oldThumb);
        for (int subsampling : {0, 2}) {
            const TSaved s =
                SaveWith(SourceFile({seg}), pic, true, true, subsampling, false, subsampling == 2);
            ASSERT_FALSE(s.app1.empty());
            const auto img = LibjpegDecode(s.file);
            EXPECT_EQ(img.Width, 320);
            // Thumbnail entries: IFD1 at 32, entries 0x0201 and 0x0202 at 32 + 2 + 12 (+12).
            const size_t offField = 10 + 32 + 2 + 12 + 8, lenField = offField + 12;
            const uint32_t f = Read32(s.app1, offField, bigEndian);
            const uint32_t n = Read32(s.app1, lenField, bigEndian);
            EXPECT_EQ(f, Read32(seg, offField, bigEndian));
            const std::vector<uint8_t> thumb(s.app1.begin() + 10 + f, s.app1.begin() + 10 + f + n);
            TMemoryStream expect;
            MakeExifThumbnail(pic, expect);
            EXPECT_EQ(thumb, expect.Memory());
            EXPECT_EQ(s.app1.size(), seg.size() + n - oldThumb.size());
            const size_t len = size_t(s.app1[2]) << 8 | s.app1[3];
            EXPECT_EQ(len + 2, s.app1.size());
            const auto t = LibjpegDecode(thumb);
            EXPECT_EQ(t.Width, 160);
            EXPECT_EQ(t.Height, 120);
            // Everything before the thumbnail is the source's, apart from the two lengths.
            auto head = std::vector<uint8_t>(s.app1.begin(), s.app1.begin() + 10 + f);
            auto srcHead = std::vector<uint8_t>(seg.begin(), seg.begin() + 10 + f);
            for (size_t i :
                 {size_t(2), size_t(3), lenField, lenField + 1, lenField + 2, lenField + 3})
                head[i] = srcHead[i] = 0;
            EXPECT_EQ(head, srcHead);
        }
    }
}

TEST(ExifSave, CopyAndUpdateOptions) {
    TBitmap pic;
    MakeTestPicture(pic, 64, 48);
    const auto seg =
        TExifBuilder(false).Segment({}, TExifBuilder::ThumbnailIfd(), SmallJpeg(40, 30));
    const auto source = SourceFile({seg});
    auto removed = seg;
    ASSERT_TRUE(RemoveExifThumbnail(removed));
    EXPECT_EQ(SaveWith(source, pic, true, false).app1, removed);    // carried, thumbnail removed
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
    EXPECT_EQ(gray.app1, removed);
    const auto img = LibjpegDecode(gray.file);
    EXPECT_EQ(img.Components, 1);
    EXPECT_TRUE(img.Progressive);
}

// A segment that leaves little room: the thumbnail is made again at lower quality until the
// segment fits 65,535 bytes; when nothing fits, the thumbnail is removed and the save goes on.
TEST(ExifSave, OversizedSegmentLowersThumbnailQualityOrFails) {
    // Smooth gradients: even their quality-10 thumbnail shows the picture within the 8 levels
    // the leak check allows (a noisy picture's would not, and would be left out).
    TBitmap pic;
    pic.Resize(480, 360, pf24bit);
    for (int32_t y = 0; y < 360; ++y)
        for (int32_t x = 0; x < 480; ++x) {
            uint8_t* p = pic.ScanLine(y) + 3 * x;
            p[0] = uint8_t(x * 255 / 479);
            p[1] = uint8_t(y * 255 / 359);
            p[2] = uint8_t((x + y) * 255 / 838);
        }
    std::vector<size_t> sizes;
    for (int q : {90, 50, 10}) {
        TMemoryStream t;
        MakeExifThumbnail(pic, t, q);
        sizes.push_back(t.Memory().size());
    }
    ASSERT_GT(sizes[0], sizes[1]);
    ASSERT_GT(sizes[1], sizes[2]);
    const auto oldThumb = SmallJpeg(8, 8);
    const size_t baseSize =
        TExifBuilder(false).Segment({}, TExifBuilder::ThumbnailIfd(), oldThumb).size() -
        oldThumb.size();
    // Room for the quality-50 thumbnail, not for the quality-90 one.
    const size_t fillerFits = 65537 - baseSize - sizes[1];
    const auto fits =
        TExifBuilder(false).Segment({}, TExifBuilder::ThumbnailIfd(), oldThumb, fillerFits);
    const TSaved s = SaveWith(SourceFile({fits}), pic, true, true);
    ASSERT_FALSE(s.app1.empty());
    const size_t len = size_t(s.app1[2]) << 8 | s.app1[3];
    EXPECT_EQ(len + 2, s.app1.size());
    const uint32_t n = Read32(s.app1, 10 + 32 + 2 + 24 + 8, false);
    EXPECT_GE(n, sizes[1]);
    EXPECT_LT(n, sizes[0]);
    EXPECT_EQ(LibjpegDecode(std::vector<uint8_t>(s.app1.end() - n, s.app1.end())).Width, 160);

    // No room even for quality 10.
    const size_t fillerFull = 65537 - baseSize - sizes[2] + 1;
    const auto full =
        TExifBuilder(false).Segment({}, TExifBuilder::ThumbnailIfd(), oldThumb, fillerFull);
    auto removed = full;
    ASSERT_TRUE(RemoveExifThumbnail(removed));
    const TSaved r = SaveWith(SourceFile({full}), pic, true, true);
    EXPECT_EQ(r.app1, removed);
    EXPECT_EQ(LibjpegDecode(r.file).Width, 480);
}

// ------------------------------------------------------------------------------------------
// No old thumbnail survives a save

bool Contains(const std::vector<uint8_t>& hay, const std::vector<uint8_t>& needle) {
    return std::search(hay.begin(), hay.end(), needle.begin(), needle.end()) != hay.end();
}

uint16_t Read16(const std::vector<uint8_t>& b, size_t at, bool be) {
    return be ? uint16_t(b[at] << 8 | b[at + 1]) : uint16_t(b[at + 1] << 8 | b[at]);
}

// A thumbnail made from `pic` at one of the qualities a save tries.
bool IsRegeneratedThumbnail(const std::vector<uint8_t>& t, const TBitmap& pic) {
    for (int q = 90; q >= 10; q -= 10) {
        TMemoryStream m;
        MakeExifThumbnail(pic, m, q);
        if (m.Memory() == t) return true;
    }
    return false;
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

enum class TThumb { NotCopied, Removed, Regenerated };

// The saved file holds none of the planted pictures, and its Exif block is the source's with the
// thumbnail removed (IFD0 links to nothing, nothing moved, only bytes zeroed) or regenerated from
// the saved picture.
void ExpectThumbnail(const TSaved& s, const std::vector<uint8_t>& source,
                     const std::vector<std::vector<uint8_t>>& planted, const TBitmap& pic,
                     TThumb expect) {
    for (const auto& p : planted) EXPECT_FALSE(Contains(s.file, p)) << "an old picture survived";
    EXPECT_EQ(LibjpegDecode(s.file).Width, pic.Width());
    if (expect == TThumb::NotCopied) {
        EXPECT_TRUE(s.app1.empty());
        return;
    }
    ASSERT_GT(s.app1.size(), 18u);
    const bool be = s.app1[10] == 'M';
    const size_t ifd0 = 10 + Read32(s.app1, 14, be);
    ASSERT_LE(ifd0 + 2, s.app1.size());
    const size_t link = ifd0 + 2 + 12 * size_t(Read16(s.app1, ifd0, be));
    ASSERT_LE(link + 4, s.app1.size());
    TThumbnailPlace place;
    if (expect == TThumb::Removed) {
        EXPECT_EQ(Read32(s.app1, link, be), 0u);
        EXPECT_FALSE(LocateExifThumbnail(s.app1, place));
        ASSERT_EQ(s.app1.size(), source.size());
        for (size_t i = 0; i < source.size(); ++i) {
            ASSERT_TRUE(s.app1[i] == source[i] || s.app1[i] == 0) << "moved or changed at " << i;
        }
        // IFD0 itself stands as it was.
        EXPECT_EQ(std::vector<uint8_t>(s.app1.begin(), s.app1.begin() + std::ptrdiff_t(link)),
                  std::vector<uint8_t>(source.begin(), source.begin() + std::ptrdiff_t(link)));
    } else {
        ASSERT_TRUE(LocateExifThumbnail(s.app1, place));
        const auto at = s.app1.begin() + 10 + std::ptrdiff_t(place.Offset);
        EXPECT_TRUE(IsRegeneratedThumbnail(std::vector<uint8_t>(at, at + place.Length), pic));
        // IFD1 is the last IFD.
        const size_t ifd1 = 10 + Read32(s.app1, link, be);
        EXPECT_EQ(Read32(s.app1, ifd1 + 2 + 12 * size_t(Read16(s.app1, ifd1, be)), be), 0u);
    }
}

// Copying Exif never carries an old thumbnail: without the update the thumbnail is removed, with
// it the thumbnail is made from the saved picture where the block allows, and removed where it
// does not (a FLOAT entry, offsets stored as SHORT in a big-endian block, an uncompressed
// thumbnail, a thumbnail in an IFD after IFD1, a thumbnail outside the block, a broken chain).
// Other JPEG streams in the block (a preview) go too.
// The probe offers the update exactly where the save can make it.
TEST(ExifSave, NoOldThumbnailIsEverCarriedOver) {
    TBitmap pic;
    MakeTestPicture(pic, 200, 150, 21);
    const auto face = DistinctiveJpeg(31), face2 = DistinctiveJpeg(47), raw = DistinctiveRaw();
    TExifBuilder le(false), be(true);
    // IFD0 has one entry here: its link sits at TIFF 22, IFD1 at 32, IFD1's link at 34 + 12 n.
    const auto withIfd2 = [&](TExifBuilder& b, std::vector<TEntry> ifd1, std::vector<TEntry> ifd2,
                              const std::vector<uint8_t>& first,
                              const std::vector<uint8_t>& second) {
        auto seg = b.Segment({}, ifd1, first);
        b.AppendIfd(seg, 34 + 12 * uint32_t(ifd1.size()), ifd2, second);
        return seg;
    };
    auto floatIfd = TExifBuilder::ThumbnailIfd();
    floatIfd.push_back({0x011A, 11, 1, 0});
    const std::vector<TEntry> shortIfd = {{0x0103, 3, 1, 6}, {0x0201, 3, 1, 0}, {0x0202, 3, 1, 0}};
    const std::vector<TEntry> stripIfd = {{0x0100, 3, 1, 24},
                                          {0x0101, 3, 1, 18},
                                          {0x0103, 3, 1, 1},
                                          {0x0111, 4, 1, 0},
                                          {0x0117, 4, 1, 0}};
    auto outsideIfd = TExifBuilder::ThumbnailIfd();
    outsideIfd[1].Value = 0xFFF0;
    auto broken = le.Segment({}, TExifBuilder::ThumbnailIfd(), face);
    for (int i = 0; i < 4; ++i) broken[10 + 34 + 36 + i] = uint8_t(0xF0 >> (8 * i));  // link 0xF0
    // A JPEG stream no IFD of the chain points to (as a maker note's preview), behind IFD1.
    auto withPreview = be.Segment({}, TExifBuilder::ThumbnailIfd(), face, face2.size());
    std::copy(face2.begin(), face2.end(), withPreview.begin() + 10 + 32 + 42);
    auto unreadable = le.Segment({}, TExifBuilder::ThumbnailIfd(), face);
    unreadable[10] = unreadable[11] = 'X';

    struct Case {
        const char* name;
        std::vector<uint8_t> segment;
        std::vector<std::vector<uint8_t>> planted;
        TThumb withUpdate;  // without the update a readable block always loses its thumbnail
    };
    const Case cases[] = {
        {"ii", le.Segment({}, TExifBuilder::ThumbnailIfd(), face), {face}, TThumb::Regenerated},
        {"mm", be.Segment({}, TExifBuilder::ThumbnailIfd(), face), {face}, TThumb::Regenerated},
        {"float_entry", le.Segment({}, floatIfd, face), {face}, TThumb::Removed},
        {"short_offsets_mm", be.Segment({}, shortIfd, face), {face}, TThumb::Removed},
        {"short_offsets_ii", le.Segment({}, shortIfd, face), {face}, TThumb::Regenerated},
        {"uncompressed", be.Segment({}, stripIfd, raw), {raw}, TThumb::Removed},
        {"thumbnail_in_ifd2",
         withIfd2(le, TExifBuilder::ThumbnailIfd(), {{0x0201, 4, 1, 0}, {0x0202, 4, 1, 0}}, face,
                  face2),
         {face, face2},
         TThumb::Removed},
        {"strips_in_ifd2",
         withIfd2(be, TExifBuilder::ThumbnailIfd(), {{0x0111, 3, 1, 0}, {0x0117, 4, 1, 0}}, face,
                  raw),
         {face, raw},
         TThumb::Regenerated},
        {"outside_block", be.Segment({}, outsideIfd, face), {face}, TThumb::Removed},
        {"broken_chain", broken, {face}, TThumb::Removed},
        {"data_behind",
         SegmentWithIfd1AfterThumbnail(face, 14, uint32_t(face.size())),
         {face},
         TThumb::Regenerated},
        {"preview_in_ifd0_data", withPreview, {face, face2}, TThumb::Regenerated},
        {"no_ifd1", le.Segment({}, {}, {}), {}, TThumb::Removed},
        {"unreadable", unreadable, {face}, TThumb::NotCopied},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto source = SourceFile({c.segment});
        for (const auto& p : c.planted) ASSERT_TRUE(Contains(source, p));
        const std::string src = TempName("planted.jpg");
        WriteFileBytes(src, source);
        const TExifProbe probe = ProbeExif(src);
        EXPECT_EQ(probe.CanCopy, c.withUpdate != TThumb::NotCopied);
        EXPECT_EQ(probe.CanUpdateThumbnail, c.withUpdate == TThumb::Regenerated);
        for (bool update : {false, true}) {
            SCOPED_TRACE(update ? "update" : "copy only");
            const TThumb expect =
                update || c.withUpdate == TThumb::NotCopied ? c.withUpdate : TThumb::Removed;
            for (int subsampling : {0, 2})
                ExpectThumbnail(SaveWith(source, pic, true, update, subsampling), c.segment,
                                c.planted, pic, expect);
        }
    }

    // A file that ends inside its Exif segment: the block is neither offered nor copied (inserted,
    // its length would swallow the saved picture's own segments).
    const auto whole = le.Segment({}, TExifBuilder::ThumbnailIfd(), face);
    std::vector<uint8_t> cutShort = {0xFF, 0xD8};
    cutShort.insert(cutShort.end(), whole.begin(),
                    whole.begin() + std::ptrdiff_t(whole.size() / 2));
    const std::string src = TempName("cut_short.jpg");
    WriteFileBytes(src, cutShort);
    EXPECT_FALSE(ProbeExif(src).CanCopy);
    ExpectThumbnail(SaveWith(cutShort, pic, true, true), {}, {face}, pic, TThumb::NotCopied);
}

// Removal zeroes exactly IFD1, the IFDs after it, their pictures and IFD0's link; a block whose
// header or IFD0 cannot be read is left alone and refused. A block whose IFD1 overlaps its IFD0
// (found by fuzzing: zeroing IFD1 made IFD0 link to a new chain) ends with no chain, or is refused.
TEST(ExifThumbnail, RemovalZeroesOnlyTheThumbnailPart) {
    const auto thumb = DistinctiveJpeg(5);
    for (bool bigEndian : {false, true}) {
        SCOPED_TRACE(bigEndian ? "MM" : "II");
        const auto seg = TExifBuilder(bigEndian).Segment({}, TExifBuilder::ThumbnailIfd(), thumb);
        auto removed = seg;
        ASSERT_TRUE(RemoveExifThumbnail(removed));
        auto expect = seg;
        std::fill(expect.begin() + 10 + 22, expect.begin() + 10 + 26, 0);  // IFD0's link
        std::fill(expect.begin() + 10 + 32, expect.end(), 0);              // IFD1 and the thumbnail
        EXPECT_EQ(removed, expect);
        EXPECT_FALSE(CanRegenerateExifThumbnail(removed));
        EXPECT_TRUE(CanRegenerateExifThumbnail(seg));
    }
    const auto good = TExifBuilder(false).Segment({}, TExifBuilder::ThumbnailIfd(), thumb);
    struct Case {
        const char* name;
        size_t at;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"not_exif", 4, {'E', 'x', 'i', 'g'}},
        {"byte_order", 10, {'I', 'M'}},
        {"magic", 12, {43, 0}},
        {"ifd0_beyond", 14, {0xF0, 0xFF, 0, 0}},
        {"ifd0_entries_beyond", 18, {0xFF, 0x0F}},
        {"length_not_the_segments", 2, {0x7F, 0xFF}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto seg = good;
        std::copy(c.bytes.begin(), c.bytes.end(), seg.begin() + std::ptrdiff_t(c.at));
        const auto before = seg;
        EXPECT_FALSE(RemoveExifThumbnail(seg));
        EXPECT_EQ(seg, before);
        EXPECT_FALSE(CanRegenerateExifThumbnail(seg));
    }
    const auto crasher =
        ReadFileBytes(std::string(TILVO_TEST_DATA) + "/crashers/exif_ifd1_overlaps_ifd0.jpg");
    TMemoryStream file(crasher), cut;
    ASSERT_TRUE(ExtractExifSegment(file, cut));
    auto seg = cut.Memory();
    const std::string name = TempName("overlap.jpg");
    WriteFileBytes(name, crasher);
    auto trial = seg;
    EXPECT_EQ(ProbeExif(name).CanCopy, RemoveExifThumbnail(trial));  // offered where it can be
    if (RemoveExifThumbnail(seg)) {
        TThumbnailPlace place;
        EXPECT_FALSE(LocateExifThumbnail(seg, place));
        EXPECT_FALSE(CanRegenerateExifThumbnail(seg));
        auto again = seg;
        ASSERT_TRUE(RemoveExifThumbnail(again));
        EXPECT_EQ(again, seg);  // nothing left to remove
    } else {
        EXPECT_EQ(seg, cut.Memory());
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
