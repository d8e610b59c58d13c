// The PIC reader: pictures written by a small encoder of our own come back exactly; hand-written
// bit streams pin down the colour table, chains, the capped length prefix and early ends; bad
// headers fail with their messages and leave the graphic as it was.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "FileFormat/Graphic.h"
#include "FileFormat/Stream.h"
#include "FileFormat/YPICImage.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;

// A PIC colour: green in bits 15-11, red in 10-6, blue in 5-1.
constexpr uint16_t Colour(unsigned r, unsigned g, unsigned b) {
    return uint16_t(g << 11 | r << 6 | b << 1);
}
// What the 15-bit surface holds for that colour: red, green, blue from bit 14 down.
constexpr uint16_t Surface(uint16_t c) {
    const unsigned g = c >> 11, r = (c >> 6) & 31, b = (c >> 1) & 31;
    return uint16_t(r << 10 | g << 5 | b);
}

// MSB-first bit writer.
struct TBits {
    std::vector<uint8_t> Bytes;
    int Used = 8;
    TBits& Put(uint32_t v, int n) {
        for (int i = n - 1; i >= 0; --i) {
            if (Used == 8) {
                Bytes.push_back(0);
                Used = 0;
            }
            if ((v >> i) & 1) Bytes.back() |= uint8_t(0x80 >> Used);
            ++Used;
        }
        return *this;
    }
    // A run length L >= 1: k ones, a zero, then L - (2^(k+1) - 1) in k + 1 bits.
    TBits& Length(uint64_t length) {
        int k = 0;
        while (length >= (uint64_t{1} << (k + 2)) - 1) ++k;
        for (int i = 0; i < k; ++i) Put(1, 1);
        Put(0, 1);
        return Put(uint32_t(length - ((uint64_t{1} << (k + 1)) - 1)), k + 1);
    }
    TBits& Literal(uint16_t c, int depth = 16) {
        return Put(0, 1).Put(depth == 15 ? c >> 1 : c, depth);
    }
    TBits& Slot(unsigned slot) { return Put(1, 1).Put(slot, 7); }
    TBits& NoChain() { return Put(0, 1); }
};

std::vector<uint8_t> Header(uint32_t w, uint32_t h, int depth = 16, uint8_t reserved = 0,
                            uint8_t machine = 0) {
    std::vector<uint8_t> f = {'P', 'I', 'C', 'c', 'o', 'm', 0x1A, 'f', 'i', 'l', 0};
    for (uint32_t v : {uint32_t(reserved), uint32_t(machine)}) f.push_back(uint8_t(v));
    for (uint32_t v : {uint32_t(depth), w, h}) {
        f.push_back(uint8_t(v >> 8));
        f.push_back(uint8_t(v));
    }
    return f;
}

std::vector<uint8_t> File(uint32_t w, uint32_t h, const TBits& bits, int depth = 16) {
    std::vector<uint8_t> f = Header(w, h, depth);
    f.insert(f.end(), bits.Bytes.begin(), bits.Bytes.end());
    return f;
}

// The 128-slot table of recent colours as the format describes it, for the encoder.
class TRecentColours {
  public:
    TRecentColours() {
        for (int i = 0; i < 128; ++i) next_[i] = (i + 1) & 127, prev_[i] = (i + 127) & 127;
    }
    int Find(uint16_t c) const {
        for (int i = 0; i < 128; ++i)
            if (colour_[i] == c) return i;
        return -1;
    }
    void Use(int s) {
        if (s == recent_) return;
        next_[prev_[s]] = next_[s];
        prev_[next_[s]] = prev_[s];
        next_[s] = next_[recent_];
        prev_[next_[recent_]] = s;
        next_[recent_] = s;
        prev_[s] = recent_;
        recent_ = s;
    }
    void Add(uint16_t c) {
        recent_ = next_[recent_];
        colour_[recent_] = c;
    }

  private:
    uint16_t colour_[128] = {};
    int next_[128], prev_[128], recent_ = 0;
};

// Encodes pixels (PIC colours, bit 0 clear) with runs, the recent-colour table and literals; no
// chains.
std::vector<uint8_t> Encode(const std::vector<uint16_t>& pixels, uint32_t w, uint32_t h,
                            int depth) {
    TBits bits;
    TRecentColours recent;
    const int64_t total = int64_t(pixels.size());
    int64_t pos = -1;
    uint16_t current = 0;
    for (;;) {
        int64_t run = 0;
        while (pos + 1 + run < total && pixels[size_t(pos + 1 + run)] == current) ++run;
        bits.Length(uint64_t(run) + 1);
        pos += run;
        if (pos == total - 1) break;
        current = pixels[size_t(++pos)];
        const int slot = recent.Find(current);
        if (slot >= 0) {
            bits.Slot(unsigned(slot));
            recent.Use(slot);
        } else {
            bits.Literal(current, depth);
            recent.Add(current);
        }
        if (pos == total - 1) break;
        bits.NoChain();
    }
    return File(w, h, bits, depth);
}

void Decode(const std::vector<uint8_t>& file, TBitmap& out) {
    TYPICImage pic;
    TMemoryStream in(file);
    pic.LoadFromStream(in);
    out.Assign(pic.Bitmap());
}

// The surface's 15-bit values, row by row.
std::vector<uint16_t> Values(const TBitmap& b) {
    EXPECT_EQ(b.PixelFormat(), pf15bit);
    std::vector<uint16_t> v;
    for (int32_t y = 0; y < b.Height(); ++y)
        for (int32_t x = 0; x < b.Width(); ++x)
            v.push_back(uint16_t(b.ScanLine(y)[2 * x] | b.ScanLine(y)[2 * x + 1] << 8));
    return v;
}

std::vector<uint16_t> Expected(std::initializer_list<uint16_t> colours) {
    std::vector<uint16_t> v;
    for (uint16_t c : colours) v.push_back(Surface(c));
    return v;
}

std::string ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Exception& e) {
        return e.what();
    }
    return "(no error)";
}

constexpr uint16_t A = Colour(31, 0, 3), B = Colour(2, 31, 17), C = Colour(9, 9, 30);

TEST(YPIC, PicturesComeBackExactlyFromOurEncoder) {
    const struct {
        uint32_t w, h;
        int depth;
        int palette;  // distinct colours drawn from; above 128 the table keeps evicting
    } cases[] = {
        {1, 1, 16, 1}, {7, 5, 16, 3}, {33, 9, 15, 40}, {512, 3, 16, 300}, {64, 64, 15, 200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + " x " + std::to_string(c.h) + " at " +
                     std::to_string(c.depth) + " bits");
        std::vector<uint16_t> pixels(size_t(c.w) * c.h);
        uint32_t s = c.w * 7 + c.h;
        uint16_t colour = 0;
        for (uint16_t& p : pixels) {
            s = s * 1664525u + 1013904223u;
            if ((s >> 28) < 6) {  // runs of equal colours, new colours often repeated
                const unsigned k = (s >> 8) % unsigned(c.palette);
                colour = Colour(k % 32, (k / 32 * 7 + k) % 32, (k * 13) % 32);
            }
            p = colour;
        }
        TBitmap out;
        ASSERT_NO_THROW(Decode(Encode(pixels, c.w, c.h, c.depth), out));
        ASSERT_EQ(out.Width(), int32_t(c.w));
        ASSERT_EQ(out.Height(), int32_t(c.h));
        std::vector<uint16_t> expected;
        for (uint16_t p : pixels) expected.push_back(Surface(p));
        EXPECT_EQ(Values(out), expected);
    }
}

TEST(YPIC, RecentColourTable) {
    // Literals fill slots 1 and 2; taking slot 5 makes it the most recent, so the next literal
    // goes to the slot after it, slot 3 (which followed slot 2 before).
    TBits s;
    s.Length(1).Literal(A).NoChain();
    s.Length(1).Literal(B).NoChain();
    s.Length(1).Slot(5).NoChain();  // still 0: black
    s.Length(1).Literal(C).NoChain();
    s.Length(1).Slot(3).NoChain();
    s.Length(1).Slot(2).NoChain();
    s.Length(1).Slot(1);
    TBitmap out;
    Decode(File(7, 1, s), out);
    EXPECT_EQ(Values(out), Expected({A, B, 0, C, C, B, A}));

    // Taking the most recent slot changes nothing: the next literal still goes to slot 2.
    TBits m;
    m.Length(1).Literal(A).NoChain();
    m.Length(1).Slot(1).NoChain();
    m.Length(1).Literal(B).NoChain();
    m.Length(1).Slot(2).NoChain();
    m.Length(1).Slot(1).NoChain();
    m.Length(1).Slot(3);
    Decode(File(6, 1, m), out);
    EXPECT_EQ(Values(out), Expected({A, A, B, B, A, 0}));

    // ... and keeps slot 1 in the list: after 127 more literals (slots 2 .. 127 and 0) the 128th
    // replaces it.
    TBits cycle;
    cycle.Length(1).Literal(A).NoChain().Length(1).Slot(1).NoChain();
    std::vector<uint16_t> expected = Expected({A, A});
    for (unsigned i = 0; i < 128; ++i) {
        const uint16_t c = Colour(i % 32, i / 32, 7);
        cycle.Length(1).Literal(c).NoChain();
        expected.push_back(Surface(c));
    }
    cycle.Length(1).Slot(1);
    expected.push_back(expected.back());
    Decode(File(131, 1, cycle), out);
    EXPECT_EQ(Values(out), expected);

    // The table starts empty on every load: slot 1 is black again in a second file.
    TBits fresh;
    fresh.Length(1).Slot(1).NoChain().Length(3);
    Decode(File(3, 1, fresh), out);
    EXPECT_EQ(Values(out), Expected({0, 0, 0}));
}

TEST(YPIC, FifteenBitLiteralsAreDoubled) {
    TBits s;
    s.Length(1).Literal(C, 15).NoChain().Length(3);
    TBitmap out;
    Decode(File(3, 1, s, 15), out);
    EXPECT_EQ(Values(out), Expected({C, C, C}));
}

TEST(YPIC, ChainsCarryAColourDownToLaterRuns) {
    const struct {
        const char* what;
        uint32_t w, h;
        std::function<void(TBits&)> chain;  // the steps after pixel 0's colour A
        std::vector<uint16_t> expected;     // pixel 1 is B, the run after it fills the rest
    } cases[] = {
        {"straight down twice", 3, 3, [](TBits& b) { b.Put(2, 2).Put(2, 2); },
         Expected({A, B, B, A, A, A, A, A, A})},
        {"right, then two left out of the row", 4, 3,
         [](TBits& b) { b.Put(3, 2).Put(0, 2).Put(2, 2); },
         Expected({A, B, B, B, B, A, A, A, A, A, A, A})},
        {"left of column 0 marks nothing and goes on", 2, 3,
         [](TBits& b) { b.Put(1, 2).Put(3, 2); }, Expected({A, B, B, B, A, A})},
        {"two right, below the last row", 4, 2, [](TBits& b) { b.Put(0, 2).Put(3, 2).Put(2, 2); },
         Expected({A, B, B, B, B, B, A, A})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TBits s;
        s.Length(1).Literal(A).Put(1, 1);
        c.chain(s);
        s.Put(0, 3);  // end of chain
        s.Length(1).Literal(B).NoChain().Length(c.w * c.h - 1);
        TBitmap out;
        Decode(File(c.w, c.h, s), out);
        EXPECT_EQ(Values(out), c.expected);
    }

    // A black chain still marks (its mark has bit 0 set) and turns the run black.
    TBits black;
    black.Length(1).Slot(0).Put(1, 1).Put(2, 2).Put(0, 3);
    black.Length(1).Literal(B).NoChain().Length(6);
    TBitmap out;
    Decode(File(2, 3, black), out);
    EXPECT_EQ(Values(out), Expected({0, B, 0, 0, 0, 0}));
}

TEST(YPIC, EarlyEndsLeaveTheRestBlackOnceTheFirstRowIsWhole) {
    // Pixel 0's chain marks (0, 1), but the data ends with row 0: the mark never shows.
    TBits s;
    s.Length(1).Literal(A).Put(1, 1).Put(2, 2).Put(0, 3);
    s.Length(1).Literal(B).NoChain().Length(3);
    TBitmap out;
    Decode(File(4, 2, s), out);
    EXPECT_EQ(Values(out), Expected({A, B, B, B, 0, 0, 0, 0}));

    // Ones with no end where a length belongs: no run can be that long, so the data ends there
    // (and a file full of them ends at once instead of looping).
    TBits ones = s;
    for (int i = 0; i < 40000; ++i) ones.Put(0xFF, 8);
    Decode(File(4, 2, ones), out);
    EXPECT_EQ(Values(out), Expected({A, B, B, B, 0, 0, 0, 0}));

    // A run longer than the picture stops at its last pixel.
    TBits longRun;
    longRun.Length(1).Literal(C).NoChain().Length(200000);
    Decode(File(2, 2, longRun), out);
    EXPECT_EQ(Values(out), Expected({C, C, C, C}));

    // Not even the first row: the file fails.
    TBits partial;
    partial.Length(1).Literal(A).NoChain().Length(2);
    EXPECT_EQ(ErrorOf([&] { Decode(File(4, 2, partial), out); }), "PIC data truncated");
    EXPECT_EQ(ErrorOf([&] { Decode(Header(4, 2), out); }), "PIC data truncated");
}

TEST(YPIC, HeaderProblemsFailWithTheirMessagesAndChangeNothing) {
    TBits one;
    one.Length(1).Literal(A);
    const std::vector<uint8_t> good = File(1, 1, one);
    auto without = [](std::vector<uint8_t> f, uint8_t byte) {
        f.erase(std::find(f.begin(), f.end(), byte));
        return f;
    };
    auto withBits = [&](std::vector<uint8_t> f) {
        f.insert(f.end(), one.Bytes.begin(), one.Bytes.end());
        return f;
    };
    const struct {
        const char* what;
        std::vector<uint8_t> file;
        const char* message;
    } cases[] = {
        {"empty", {}, "Header Error: PICではありません"},
        {"other magic", withBits([&] {
             auto f = Header(1, 1);
             f[2] = 'X';
             return f;
         }()),
         "Header Error: PICではありません"},
        {"reserved byte set", withBits(Header(1, 1, 16, 1)), "Header Error: PICではありません"},
        {"other machine", withBits(Header(1, 1, 16, 0, 2)), "Header Error: 対応してません"},
        {"8-bit depth", withBits(Header(1, 1, 8)), "Header Error: 対応してません"},
        {"513 pixels across", withBits(Header(513, 1)), "Header Error: 大きくて読めません"},
        {"no comment end", without(good, 0x1A), "PIC header truncated"},
        {"no filler end", {'P', 'I', 'C', 0x1A, 'f', 'i', 'l'}, "PIC header truncated"},
        {"fields cut", std::vector<uint8_t>(good.begin(), good.begin() + 15),
         "PIC header truncated"},
        {"no width", withBits(Header(0, 5)), "PIC picture has no pixels"},
        {"no height", withBits(Header(5, 0)), "PIC picture has no pixels"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TYPICImage pic;
        TMemoryStream in(good);
        pic.LoadFromStream(in);
        TMemoryStream bad(c.file);
        EXPECT_EQ(ErrorOf([&] { pic.LoadFromStream(bad); }), c.message);
        EXPECT_EQ(Values(pic.Bitmap()), Expected({A}));
    }
}

TEST(YPIC, TallPicturesAreCutTo512RowsAndOpenThroughTheRegistry) {
    TBits s;
    s.Length(1).Literal(B).NoChain().Length(1100);
    const std::vector<uint8_t> file = File(2, 600, s);
    RegisterAllFormats();
    const fs::path path =
        fs::temp_directory_path() / ("tilvo-pic-" + std::to_string(::getpid()) + ".PIC");
    WriteWholeFile(path.string(), file.data(), int64_t(file.size()));
    TBitmap picture;
    LoadPictureFile(path.string(), picture);
    fs::remove(path);
    ASSERT_EQ(picture.Width(), 2);
    ASSERT_EQ(picture.Height(), 512);
    EXPECT_EQ(picture.PixelFormat(), pf24bit);
    TBitmap direct;
    Decode(file, direct);
    EXPECT_EQ(picture.Pixel(1, 511), direct.Pixel(1, 511));
    EXPECT_EQ(Values(direct)[1023], Surface(B));
}

}  // namespace
}  // namespace tilvo
