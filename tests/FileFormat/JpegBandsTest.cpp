// The band pipeline from the JPEG decoder to the encoder must write the bytes of the normal path:
// open the whole picture, edit it with the window's strokes, encode it.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "Effector/HistoryListEx.h"
#include "Effector/StripStrokes.h"
#include "ExifTestSupport.h"
#include "FileFormat/Graphic.h"
#include "FileFormat/JPEGImage.h"
#include "JpegTestSupport.h"

namespace tilvo {
namespace {

using namespace test;

constexpr int32_t kMosaic = 12;
constexpr int32_t kBrush = 30;

// Two strokes and a rectangle, with a soft edge, one of them over the last rows.
void AddEdits(TStripStrokes& strips, int32_t w, int32_t h) {
    const TPoint a[] = {{5, 20}, {5, 20}, {w - 10, 60}};
    const TPoint b[] = {{w / 2, h - 3}, {w / 2, h - 3}};
    strips.AddStroke(a, 3);
    strips.AddRect(TRect{w / 3, h / 2, w / 3 + 40, h / 2 + 25});
    strips.AddStroke(b, 2);
}

void EditWhole(TBitmap& work) {
    TBitmap region, mask;
    THistoryControl history;
    TStrokeContext ctx{work, region, mask, history};
    const int32_t w = work.Width(), h = work.Height();
    const TPoint a[] = {{5, 20}, {5, 20}, {w - 10, 60}};
    const TPoint b[] = {{w / 2, h - 3}, {w / 2, h - 3}};
    ApplyStroke(ctx, a, 3, ComputeDirtyRect(a, 3, kBrush, w, h), kMosaic, kBrush, true);
    ApplyRectStroke(ctx, TRect{w / 3, h / 2, w / 3 + 40, h / 2 + 25}, kMosaic, true,
                    TStrokeEffect::Mosaic);
    ApplyStroke(ctx, b, 2, ComputeDirtyRect(b, 2, kBrush, w, h), kMosaic, kBrush, true);
}

class TStrokeBands : public TBandEditor {
  public:
    int32_t Begin(int32_t width, int32_t height) override {
        strips_ = std::make_unique<TStripStrokes>(width, height, kMosaic, kBrush, true,
                                                  TStrokeEffect::Mosaic);
        AddEdits(*strips_, width, height);
        return strips_->Alignment();
    }
    void Edit(TBitmap& band, int32_t top) override {
        ++Bands;
        strips_->Apply(band, top);
    }
    int Bands = 0;

  private:
    std::unique_ptr<TStripStrokes> strips_;
};

struct TOutput {
    const char* Name;
    int32_t Quality;
    bool Progressive, Grayscale, FullChroma;
};

// What the normal path writes: the file opened whole, edited whole, encoded.
std::vector<uint8_t> NormalPath(const std::vector<uint8_t>& source, const TOutput& o) {
    const std::string name = testing::TempDir() + "bands_source.jpg";
    WriteFileBytes(name, source);
    TBitmap work;
    LoadPictureFile(name, work);
    EditWhole(work);
    TMemoryStream out;
    const bool ok = o.FullChroma
                        ? EncodeJpegFullChroma(work, out, o.Progressive, o.Quality, o.Grayscale)
                        : EncodeJpegToStream(work, out, o.Progressive, o.Quality, o.Grayscale);
    EXPECT_TRUE(ok);
    return out.Memory();
}

TEST(JpegBands, WriteTheBytesOfTheWholePicturePath) {
    RegisterAllFormats();
    TBitmap picture;
    MakeTestPicture(picture, 203, 333, 11);  // more than three bands, the last one short
    TMemoryStream progressive;
    ASSERT_TRUE(EncodeJpegToStream(picture, progressive, true, 85, false));
    const struct {
        const char* Name;
        std::vector<uint8_t> Bytes;
    } sources[] = {
        {"4:2:0", LibjpegEncode(picture, 90, false)},
        {"4:4:4", LibjpegEncode(picture, 90, true)},
        {"progressive", progressive.Memory()},
    };
    const TOutput outputs[] = {
        {"q80", 80, false, false, false},
        {"q95 4:4:4", 95, false, false, true},
        {"progressive", 70, true, false, false},
        {"grayscale", 80, false, true, false},
    };
    for (const auto& s : sources) {
        for (const TOutput& o : outputs) {
            SCOPED_TRACE(std::string(s.Name) + " to " + o.Name);
            TStrokeBands editor;
            TMemoryStream out;
            ASSERT_TRUE(TranscodeJpegInBands(s.Bytes, editor, o.Quality, o.Progressive,
                                             o.Grayscale, o.FullChroma, out));
            EXPECT_GE(editor.Bands, 4);
            EXPECT_TRUE(out.Memory() == NormalPath(s.Bytes, o));
        }
    }
    UnregisterAllFormats();
}

// Rows decoded after the rows above were skipped are the rows of the whole decode, whatever the
// sampling and wherever the rows start and end (on MCU rows, inside them, at the very end).
TEST(JpegBands, RowsDecodedAfterASkipAreTheWholeDecodesRows) {
    RegisterAllFormats();
    TBitmap picture;
    MakeTestPicture(picture, 77, 150, 9);
    TMemoryStream progressive;
    ASSERT_TRUE(EncodeJpegToStream(picture, progressive, true, 85, false));
    const std::vector<uint8_t> sources[] = {LibjpegEncode(picture, 90, false),
                                            LibjpegEncode(picture, 90, true), progressive.Memory()};
    const std::string name = testing::TempDir() + "rows_source.jpg";
    for (const auto& source : sources) {
        WriteFileBytes(name, source);
        TBitmap whole;
        LoadPictureFile(name, whole);
        for (const auto& [top, bottom] : {std::pair{0, 16}, {32, 96}, {40, 41}, {13, 150},
                                         {144, 150}, {-5, 500}}) {
            SCOPED_TRACE(testing::Message() << "rows " << top << " .. " << bottom);
            TBitmap rows;
            ASSERT_TRUE(DecodeJpegRows(
                source,
                [&](int32_t w, int32_t h, int32_t& first, int32_t& end) {
                    EXPECT_EQ(w, 77);
                    EXPECT_EQ(h, 150);
                    first = top;
                    end = bottom;
                },
                rows));
            const int32_t first = std::max(top, 0), end = std::min(bottom, 150);
            ASSERT_EQ(rows.Height(), end - first);
            for (int32_t y = first; y < end; ++y)
                ASSERT_EQ(std::memcmp(rows.ScanLine(y - first), whole.ScanLine(y), 77 * 3), 0)
                    << "row " << y;
        }
    }
    UnregisterAllFormats();
}

TEST(JpegBands, LeaveToTheNormalPathWhatTheyCannotDoAlike) {
    TBitmap picture;
    MakeTestPicture(picture, 40, 24, 3);
    const std::vector<uint8_t> colour = LibjpegEncode(picture, 90, false);
    TTiffBuilder turned(false);
    turned.Short(TTiffBuilder::Ifd0, 0x0112, 6);
    TMemoryStream gray;
    ASSERT_TRUE(EncodeJpegToStream(picture, gray, false, 90, true));
    std::vector<uint8_t> prefixed(128, 0);
    prefixed.insert(prefixed.end(), colour.begin(), colour.end());
    const struct {
        const char* Name;
        std::vector<uint8_t> Source;
        bool Progressive, FullChroma;
    } cases[] = {
        {"gray source", gray.Memory(), false, false},
        {"turned by Exif", WithSegment(colour, turned.Build()), false, false},
        {"128-byte prefix", prefixed, false, false},
        {"4:4:4 made progressive", colour, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TStrokeBands editor;
        TMemoryStream out;
        EXPECT_FALSE(
            TranscodeJpegInBands(c.Source, editor, 80, c.Progressive, false, c.FullChroma, out));
        EXPECT_EQ(out.Size(), 0);
        EXPECT_EQ(editor.Bands, 0);
    }
}

// A stream cut short fails as the open path fails it, after the decoder thread has stopped; so
// does an editor that throws. Neither hangs.
TEST(JpegBands, FailuresStopBothThreads) {
    TBitmap picture;
    MakeTestPicture(picture, 64, 400, 5);
    const std::vector<uint8_t> whole = LibjpegEncode(picture, 90, false);
    for (const size_t keep : {whole.size() / 3, whole.size() - 2}) {
        const std::vector<uint8_t> cut(whole.begin(), whole.begin() + std::ptrdiff_t(keep));
        TStrokeBands editor;
        TMemoryStream out;
        EXPECT_THROW(TranscodeJpegInBands(cut, editor, 80, false, false, false, out), EJPEG);
    }
    struct TThrowing : TStrokeBands {
        void Edit(TBitmap&, int32_t top) override {
            if (top > 0) throw std::runtime_error("editor failed");
        }
    } throwing;
    TMemoryStream out;
    EXPECT_THROW(TranscodeJpegInBands(whole, throwing, 80, false, false, false, out),
                 std::runtime_error);
}

}  // namespace
}  // namespace tilvo
