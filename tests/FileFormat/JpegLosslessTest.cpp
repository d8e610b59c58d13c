// Saving with untouched MCUs kept as coefficients: libjpeg-turbo reads the result, untouched areas
// decode exactly as in the source, changed ones close to a normal save, and every refusal.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Effector/StripStrokes.h"
#include "FileFormat/JPEGImage.h"
#include "FileFormat/JpegLossless.h"
#include "FileFormat/JpegSplice.h"
#include "JpegTestSupport.h"

namespace tilvo {
namespace {

using test::LibjpegDecode;
using test::MakeTestPicture;

struct TSourceSpec {
    int Width = 96, Height = 64;
    int LumaH = 2, LumaV = 2;  // the luminance sampling factors; chroma is 1 × 1
    bool Progressive = false;
    int RestartInterval = 0;  // in MCUs
    int Quality = 90;
    bool Optimize = false;  // Huffman tables made for the picture, holding only its symbols
    J_COLOR_SPACE Space = JCS_YCbCr;
    std::vector<std::pair<int, std::string>> Markers;  // written after the encoder's own
};

// A JPEG of the picture made with libjpeg directly.
std::vector<uint8_t> Encode(const TBitmap& pic, const TSourceSpec& s) {
    jpeg_compress_struct ci{};
    jpegglue::TErrorManager err;
    ci.err = jpegglue::InitErrorManager(err);
    std::vector<uint8_t> out;
    jpegglue::TVectorDestination dest{};
    const int inComponents = s.Space == JCS_CMYK ? 4 : 3;
    std::vector<uint8_t> row(size_t(s.Width) * 4);
    JSAMPROW r = row.data();
    const TSourceSpec* sp = &s;
    const TBitmap* p = &pic;
    const bool ok = jpegglue::Guard(err, [&] {
        jpeg_create_compress(&ci);
        jpegglue::SetVectorDestination(&ci, dest, out);
        ci.image_width = JDIMENSION(sp->Width);
        ci.image_height = JDIMENSION(sp->Height);
        ci.input_components = inComponents;
        ci.in_color_space = inComponents == 4 ? JCS_CMYK : JCS_EXT_BGR;
        jpeg_set_defaults(&ci);
        jpeg_set_colorspace(&ci, sp->Space);
        jpeg_set_quality(&ci, sp->Quality, TRUE);
        if (sp->Space == JCS_YCbCr) {
            ci.comp_info[0].h_samp_factor = sp->LumaH;
            ci.comp_info[0].v_samp_factor = sp->LumaV;
        }
        ci.restart_interval = JDIMENSION(sp->RestartInterval);
        ci.optimize_coding = sp->Optimize ? TRUE : FALSE;
        if (sp->Progressive) jpeg_simple_progression(&ci);
        jpeg_start_compress(&ci, TRUE);
        for (const auto& m : sp->Markers)
            jpeg_write_marker(&ci, m.first, reinterpret_cast<const JOCTET*>(m.second.data()),
                              unsigned(m.second.size()));
        while (ci.next_scanline < ci.image_height) {
            const uint8_t* src = p->ScanLine(int32_t(ci.next_scanline));
            if (inComponents == 4) {
                for (int x = 0; x < sp->Width; ++x) {
                    std::memcpy(&r[4 * x], &src[3 * x], 3);
                    r[4 * x + 3] = 40;
                }
                jpeg_write_scanlines(&ci, &r, 1);
            } else {
                JSAMPROW in = const_cast<uint8_t*>(src);
                jpeg_write_scanlines(&ci, &in, 1);
            }
        }
        jpeg_finish_compress(&ci);
        jpegglue::FinishVector(dest);
    });
    jpeg_destroy_compress(&ci);
    if (!ok) throw std::runtime_error("source encode " + std::to_string(err.code));
    return out;
}

// A source JPEG of a picture with noise everywhere.
std::vector<uint8_t> MakeSource(const TSourceSpec& s, uint32_t seed = 11) {
    TBitmap pic;
    MakeTestPicture(pic, s.Width, s.Height, seed);
    return Encode(pic, s);
}

// The picture as the open path decodes it.
void OpenAsWindowDoes(const std::vector<uint8_t>& bytes, TBitmap& picture) {
    TMemoryStream s(bytes);
    TJPEGImage jpeg;
    jpeg.LoadFromStream(s);
    jpeg.AssignTo(picture);
    picture.SetPixelFormat(pf24bit);
}

void CopyPicture(const TBitmap& from, TBitmap& to) {
    to.Resize(from.Width(), from.Height(), pf24bit);
    for (int32_t y = 0; y < from.Height(); ++y)
        std::memcpy(to.ScanLine(y), from.ScanLine(y), size_t(from.Width()) * 3);
}

// Mosaics a rectangle the way a stroke does: cells of 16 × 16 on the picture's grid, each filled
// with the mean colour of the cell's pixels inside the rectangle.
void Mosaic(TBitmap& pic, const TRect& r) {
    constexpr int32_t kCell = 16;
    for (int32_t cy = r.Top / kCell * kCell; cy < r.Bottom; cy += kCell)
        for (int32_t cx = r.Left / kCell * kCell; cx < r.Right; cx += kCell) {
            const int32_t x0 = std::max(cx, r.Left), x1 = std::min(cx + kCell, r.Right);
            const int32_t y0 = std::max(cy, r.Top), y1 = std::min(cy + kCell, r.Bottom);
            int sum[3] = {0, 0, 0};
            for (int32_t y = y0; y < y1; ++y)
                for (int32_t x = x0; x < x1; ++x)
                    for (int k = 0; k < 3; ++k) sum[k] += pic.ScanLine(y)[3 * x + k];
            const int n = (x1 - x0) * (y1 - y0);
            for (int32_t y = y0; y < y1; ++y)
                for (int32_t x = x0; x < x1; ++x)
                    for (int k = 0; k < 3; ++k) pic.ScanLine(y)[3 * x + k] = uint8_t(sum[k] / n);
        }
}

double MeanAbsDiff(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int w,
                   const TRect& r) {
    int64_t sum = 0, n = 0;
    for (int32_t y = r.Top; y < r.Bottom; ++y)
        for (int32_t x = r.Left * 3; x < r.Right * 3; ++x, ++n) {
            const size_t i = size_t(y) * size_t(w) * 3 + size_t(x);
            sum += std::abs(int(a[i]) - int(b[i]));
        }
    return n == 0 ? 0.0 : double(sum) / double(n);
}

// Marker codes before the first start of scan.
std::vector<int> HeaderMarkers(const std::vector<uint8_t>& b) {
    std::vector<int> m;
    size_t i = 2;
    while (i + 4 <= b.size() && b[i] == 0xFF && b[i + 1] != 0xDA) {
        m.push_back(b[i + 1]);
        i += 2 + (size_t(b[i + 2]) << 8 | b[i + 3]);
    }
    return m;
}

int RestartInterval(const std::vector<uint8_t>& b) {
    size_t i = 2;
    while (i + 6 <= b.size() && b[i] == 0xFF && b[i + 1] != 0xDA) {
        if (b[i + 1] == 0xDD) return b[i + 4] << 8 | b[i + 5];
        i += 2 + (size_t(b[i + 2]) << 8 | b[i + 3]);
    }
    return 0;
}

struct TCase {
    const char* Name;
    TSourceSpec Source;
    std::vector<TRect> Changes;  // mosaicked rectangles; none for a save without an edit
    bool AskProgressive = false;
};

class KeepUntouched : public testing::TestWithParam<TCase> {};

TEST_P(KeepUntouched, UntouchedAreasDecodeExactlyAndChangedOnesAsANormalSave) {
    const TCase& c = GetParam();
    const TSourceSpec& s = c.Source;
    const std::vector<uint8_t> source = MakeSource(s);
    TBitmap original, edited;
    OpenAsWindowDoes(source, original);
    CopyPicture(original, edited);
    for (const TRect& r : c.Changes) Mosaic(edited, r);

    TMemoryStream out;
    std::string why;
    TKeepUntouchedStats stats;
    ASSERT_TRUE(
        SaveJpegKeepingUntouched(source, edited, original, 0, c.AskProgressive, out, &why, &stats))
        << why;
    const std::vector<uint8_t>& saved = out.Memory();

    const test::TLibjpegImage a = LibjpegDecode(source, JCS_EXT_BGR);
    const test::TLibjpegImage b = LibjpegDecode(saved, JCS_EXT_BGR);
    ASSERT_EQ(b.Width, s.Width);
    ASSERT_EQ(b.Height, s.Height);
    EXPECT_EQ(b.ColorSpace, JCS_YCbCr);
    EXPECT_EQ(b.Progressive, s.Progressive || c.AskProgressive);
    EXPECT_EQ(RestartInterval(saved), s.RestartInterval);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(b.HSamp[k], a.HSamp[k]);
        EXPECT_EQ(b.VSamp[k], a.VSamp[k]);
        EXPECT_EQ(b.Quant[b.QuantTable[k]], a.Quant[a.QuantTable[k]]) << "component " << k;
    }

    // The MCUs holding a change, and around them one MCU more (the chroma upsampling of the
    // neighbours reads across the border).
    const int mw = 8 * s.LumaH, mh = 8 * s.LumaV;
    const int cols = (s.Width + mw - 1) / mw, rows = (s.Height + mh - 1) / mh;
    std::vector<uint8_t> changedMcu(size_t(cols * rows)), nearChange(size_t(cols * rows));
    int expectedChanged = 0;
    for (const TRect& r : c.Changes)
        for (int my = r.Top / mh; my <= (r.Bottom - 1) / mh; ++my)
            for (int mx = r.Left / mw; mx <= (r.Right - 1) / mw; ++mx) {
                if (!changedMcu[size_t(my * cols + mx)]) ++expectedChanged;
                changedMcu[size_t(my * cols + mx)] = 1;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)
                        if (my + dy >= 0 && my + dy < rows && mx + dx >= 0 && mx + dx < cols)
                            nearChange[size_t((my + dy) * cols + mx + dx)] = 1;
            }
    EXPECT_EQ(stats.ChangedMcus, expectedChanged);
    EXPECT_EQ(stats.McuColumns, cols);
    EXPECT_EQ(stats.McuRows, rows);

    int64_t differing = 0;
    for (int y = 0; y < s.Height; ++y)
        for (int x = 0; x < s.Width; ++x) {
            if (nearChange[size_t((y / mh) * cols + x / mw)]) continue;
            const size_t i = (size_t(y) * size_t(s.Width) + size_t(x)) * 3;
            differing += std::memcmp(&a.Pixels[i], &b.Pixels[i], 3) != 0;
        }
    EXPECT_EQ(differing, 0) << "pixels outside the changed MCUs differ from the source";

    if (c.Changes.empty()) {
        EXPECT_EQ(a.Pixels, b.Pixels);
        return;
    }
    // Inside the changed MCUs the result is as close to the edited picture as a normal save at
    // quality 90 with the source's chroma sampling (Tilvo's own writer for 4:2:0 and 4:4:4), and
    // what the mosaic hid is gone.
    TMemoryStream normal;
    if (s.LumaH == 2 && s.LumaV == 2) {
        ASSERT_TRUE(EncodeJpegToStream(edited, normal, false, 90, false));
    } else if (s.LumaH == 1 && s.LumaV == 1) {
        ASSERT_TRUE(EncodeJpegFullChroma(edited, normal, false, 90, false));
    } else {
        TSourceSpec q90 = s;
        q90.Quality = 90;
        normal.Memory() = Encode(edited, q90);
    }
    const test::TLibjpegImage n = LibjpegDecode(normal.Memory(), JCS_EXT_BGR);
    int64_t toNormal = 0, count = 0;
    for (int y = 0; y < s.Height; ++y)
        for (int x = 0; x < s.Width; ++x) {
            if (!changedMcu[size_t((y / mh) * cols + x / mw)]) continue;
            for (int k = 0; k < 3; ++k, ++count) {
                const size_t i = (size_t(y) * size_t(s.Width) + size_t(x)) * 3 + size_t(k);
                toNormal += std::abs(int(b.Pixels[i]) - int(n.Pixels[i]));
            }
        }
    EXPECT_LE(double(toNormal) / double(count), 2.0);
    for (const TRect& r : c.Changes) {
        std::vector<uint8_t> e(size_t(s.Width) * size_t(s.Height) * 3);
        for (int y = 0; y < s.Height; ++y)
            std::memcpy(&e[size_t(y) * size_t(s.Width) * 3], edited.ScanLine(y),
                        size_t(s.Width) * 3);
        EXPECT_LT(MeanAbsDiff(b.Pixels, e, s.Width, r) * 3, MeanAbsDiff(a.Pixels, e, s.Width, r))
            << "the mosaicked area still looks like the source";
    }
}

TSourceSpec Spec(int w, int h, int lh, int lv, bool progressive = false, int restart = 0) {
    TSourceSpec s;
    s.Width = w;
    s.Height = h;
    s.LumaH = lh;
    s.LumaV = lv;
    s.Progressive = progressive;
    s.RestartInterval = restart;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Sources, KeepUntouched,
    testing::Values(TCase{"yuv444", Spec(96, 64, 1, 1), {{20, 12, 45, 30}}},
                    TCase{"yuv422", Spec(96, 64, 2, 1), {{20, 12, 45, 30}}},
                    TCase{"yuv420", Spec(96, 64, 2, 2), {{20, 12, 45, 30}}},
                    TCase{
                        "yuv420_two_bands", Spec(96, 96, 2, 2), {{0, 0, 20, 10}, {60, 70, 90, 80}}},
                    TCase{"progressive", Spec(96, 64, 2, 2, true), {{33, 17, 50, 40}}},
                    TCase{"progressive_asked", Spec(96, 64, 2, 1), {{0, 40, 96, 64}}, true},
                    TCase{"restarts", Spec(96, 64, 2, 2, false, 2), {{40, 20, 70, 50}}},
                    TCase{"odd_size_edges", Spec(101, 75, 2, 2), {{90, 60, 101, 75}}},
                    TCase{"odd_size_444", Spec(37, 29, 1, 1), {{30, 0, 37, 29}}},
                    TCase{"no_change", Spec(101, 75, 2, 2), {}},
                    TCase{"no_change_progressive", Spec(64, 48, 2, 1, true), {}}),
    [](const testing::TestParamInfo<TCase>& i) { return std::string(i.param.Name); });

TEST(KeepUntouchedExactness, OnePixelOneLevelOffMakesItsMcuEncodedAgain) {
    const std::vector<uint8_t> source = MakeSource(Spec(64, 64, 2, 2));
    TBitmap original, edited;
    OpenAsWindowDoes(source, original);
    CopyPicture(original, edited);
    edited.ScanLine(47)[3 * 33 + 1] ^= 1;  // MCU (2, 2)
    TMemoryStream out;
    TKeepUntouchedStats stats;
    std::string why;
    ASSERT_TRUE(SaveJpegKeepingUntouched(source, edited, original, 0, false, out, &why, &stats))
        << why;
    EXPECT_EQ(stats.ChangedMcus, 1);
}

TEST(KeepUntouchedExactness, SourceSegmentsAreNotCopied) {
    TSourceSpec s = Spec(48, 32, 2, 2);
    s.Markers = {{JPEG_COM, "secret note"},
                 {JPEG_APP0 + 1, std::string("Exif\0\0MM\0\x2a\0\0\0\x08\0\0\0\0\0\0", 20)},
                 {JPEG_APP0 + 2, "ICC_PROFILE secret"},
                 {JPEG_APP0 + 13, "Photoshop 3.0 secret"}};
    const std::vector<uint8_t> source = MakeSource(s);
    TBitmap original, edited;
    OpenAsWindowDoes(source, original);
    CopyPicture(original, edited);
    Mosaic(edited, {0, 0, 16, 16});
    TMemoryStream out;
    ASSERT_TRUE(SaveJpegKeepingUntouched(source, edited, original, 0, false, out));
    const std::vector<int> markers = HeaderMarkers(out.Memory());
    for (int m : markers) EXPECT_TRUE(m == 0xE0 || m == 0xDB || m == 0xC4 || m == 0xC0) << m;
    const std::string bytes(out.Memory().begin(), out.Memory().end());
    EXPECT_EQ(bytes.find("secret"), std::string::npos);
}

TEST(KeepUntouchedExactness, ABandOfMcuRowsGivesTheSameFileAsTheWholePicture) {
    const std::vector<uint8_t> source = MakeSource(Spec(80, 80, 2, 2));
    TBitmap original, edited;
    OpenAsWindowDoes(source, original);
    CopyPicture(original, edited);
    Mosaic(edited, {10, 35, 50, 60});
    TMemoryStream whole;
    ASSERT_TRUE(SaveJpegKeepingUntouched(source, edited, original, 0, false, whole));

    // Rows 32 .. 63 only: MCU rows 2 and 3.
    TBitmap bandEdited(80, 32), bandOriginal(80, 32);
    for (int32_t y = 0; y < 32; ++y) {
        std::memcpy(bandEdited.ScanLine(y), edited.ScanLine(y + 32), 240);
        std::memcpy(bandOriginal.ScanLine(y), original.ScanLine(y + 32), 240);
    }
    TMemoryStream band;
    std::string why;
    ASSERT_TRUE(SaveJpegKeepingUntouched(source, bandEdited, bandOriginal, 32, false, band, &why))
        << why;
    EXPECT_EQ(band.Memory(), whole.Memory());

    // A band that cuts through an MCU row cannot be used.
    TMemoryStream cut;
    EXPECT_FALSE(SaveJpegKeepingUntouched(source, bandEdited, bandOriginal, 24, false, cut, &why));
    EXPECT_TRUE(cut.Memory().empty());
}

struct TRefusal {
    const char* Name;
    TSourceSpec Source;
    int DeltaWidth;  // the edited picture's size minus the source's
    const char* Reason;
};

class KeepUntouchedRefused : public testing::TestWithParam<TRefusal> {};

TEST_P(KeepUntouchedRefused, WritesNothingAndSaysWhy) {
    const TRefusal& c = GetParam();
    const std::vector<uint8_t> source = MakeSource(c.Source);
    TBitmap original, edited;
    OpenAsWindowDoes(source, original);
    original.SetPixelFormat(pf24bit);
    original.SetWidth(original.Width() + c.DeltaWidth);
    CopyPicture(original, edited);
    TMemoryStream out;
    std::string why;
    EXPECT_FALSE(SaveJpegKeepingUntouched(source, edited, original, 0, false, out, &why));
    EXPECT_EQ(why, c.Reason);
    EXPECT_TRUE(out.Memory().empty());
    std::string probeWhy;
    EXPECT_EQ(CanKeepUntouched(source, edited.Width(), edited.Height(), &probeWhy),
              std::string(c.Reason).empty());
    EXPECT_EQ(probeWhy, c.Reason);
}

TSourceSpec Space(J_COLOR_SPACE space) {
    TSourceSpec s = Spec(32, 32, 1, 1);
    s.Space = space;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Sources, KeepUntouchedRefused,
    testing::Values(
        TRefusal{"gray", Space(JCS_GRAYSCALE), 0, "the source is not a colour (YCbCr) JPEG"},
        TRefusal{"cmyk", Space(JCS_CMYK), 0, "the source is not a colour (YCbCr) JPEG"},
        TRefusal{"rgb", Space(JCS_RGB), 0, "the source is not a colour (YCbCr) JPEG"},
        TRefusal{"wider", Spec(32, 32, 2, 2), 8, "the picture's size differs from the source's"}),
    [](const testing::TestParamInfo<TRefusal>& i) { return std::string(i.param.Name); });

TEST(KeepUntouchedRefusal, NoSourceBytes) {
    TBitmap pic;
    MakeTestPicture(pic, 16, 16);
    TMemoryStream out;
    std::string why;
    EXPECT_FALSE(SaveJpegKeepingUntouched({}, pic, pic, 0, false, out, &why));
    EXPECT_EQ(why, "the picture was not opened from a JPEG file");
}

TEST(KeepUntouchedRefusal, APictureNotDecodedFromTheseBytes) {
    // Another picture of the same size, or the source turned: nothing of the file may be kept.
    const std::vector<uint8_t> source = MakeSource(Spec(48, 48, 2, 2), 11);
    const std::vector<uint8_t> other = MakeSource(Spec(48, 48, 2, 2), 99);
    TBitmap original, edited;
    OpenAsWindowDoes(other, original);
    CopyPicture(original, edited);
    TMemoryStream out;
    std::string why;
    EXPECT_FALSE(SaveJpegKeepingUntouched(source, edited, original, 0, false, out, &why));
    EXPECT_EQ(why, "the picture does not match the file it was opened from");
    EXPECT_TRUE(out.Memory().empty());
}

TEST(KeepUntouchedRefusal, ASourceTurnedByItsExifOrientation) {
    TSourceSpec s = Spec(32, 32, 2, 2);
    // Big-endian Exif, IFD0 with one entry: Orientation (SHORT, 1) = 6.
    s.Markers = {{JPEG_APP0 + 1, std::string("Exif\0\0MM\0\x2a\0\0\0\x08\0\x01\x01\x12\0\x03\0\0\0"
                                             "\x01\0\x06\0\0\0\0\0\0",
                                             32)}};
    const std::vector<uint8_t> source = MakeSource(s);
    std::string why;
    EXPECT_FALSE(CanKeepUntouched(source, 32, 32, &why));
    EXPECT_EQ(why, "the source is turned upright through its Exif orientation");
}

// The save of the whole picture; false with the reason when it refuses or throws.
bool SaveOrSayWhy(const std::vector<uint8_t>& source, const TBitmap& edited,
                  const TBitmap& original, TMemoryStream& out, std::string& why) {
    try {
        return SaveJpegKeepingUntouched(source, edited, original, 0, false, out, &why);
    } catch (const EJPEG& e) {
        why = e.what();
        return false;
    }
}

TEST(KeepUntouchedRefusal, CorruptedSourcesFailCleanlyOrGiveAReadableFile) {
    const std::vector<uint8_t> good = MakeSource(Spec(48, 32, 2, 2, true));
    TBitmap original, edited;
    OpenAsWindowDoes(good, original);
    CopyPicture(original, edited);
    Mosaic(edited, {0, 16, 16, 32});
    uint32_t s = 1;
    int kept = 0, refused = 0;
    for (int i = 0; i < 400; ++i) {
        std::vector<uint8_t> bad = good;
        for (int k = 0; k < 2; ++k) {
            s = s * 1664525u + 1013904223u;
            bad[(s >> 8) % bad.size()] = uint8_t(s >> 24);
        }
        TMemoryStream out;
        std::string why;
        const bool ok = SaveOrSayWhy(bad, edited, original, out, why);
        if (ok) {
            ++kept;
            EXPECT_NO_THROW(LibjpegDecode(out.Memory())) << i;
        } else {
            ++refused;
            EXPECT_FALSE(why.empty()) << i;
            EXPECT_TRUE(out.Memory().empty()) << i;
        }
    }
    EXPECT_GT(kept, 0);
    EXPECT_GT(refused, 0);
}

TEST(KeepUntouchedRefusal, ADamagedSource) {
    std::vector<uint8_t> source = MakeSource(Spec(64, 64, 2, 2));
    TBitmap original;
    OpenAsWindowDoes(source, original);
    source.resize(source.size() / 2);
    TMemoryStream out;
    std::string why;
    EXPECT_FALSE(SaveJpegKeepingUntouched(source, original, original, 0, false, out, &why));
    EXPECT_FALSE(why.empty());
    EXPECT_TRUE(out.Memory().empty());
}

// ---- Untouched rows copied as bits ----

// Every block of every component of a JPEG, as libjpeg's coefficient reader gives them (the MCUs'
// padding blocks included), with each component's grid.
struct TCoefficients {
    std::array<int, 3> Columns{}, Rows{}, H{}, V{};
    std::array<std::vector<std::array<JCOEF, DCTSIZE2>>, 3> Blocks;
};

TCoefficients ReadCoefficients(const std::vector<uint8_t>& bytes) {
    TCoefficients c;
    jpeg_decompress_struct ci{};
    jpegglue::TErrorManager err;
    ci.err = jpegglue::InitErrorManager(err);
    TCoefficients* cp = &c;
    const uint8_t* data = bytes.data();
    const unsigned long size = (unsigned long)bytes.size();
    const bool ok = jpegglue::Guard(err, [&] {
        jpeg_create_decompress(&ci);
        jpeg_mem_src(&ci, data, size);
        jpeg_read_header(&ci, TRUE);
        jvirt_barray_ptr* arrays = jpeg_read_coefficients(&ci);
        for (int k = 0; k < 3; ++k) {
            const jpeg_component_info& comp = ci.comp_info[k];
            cp->H[k] = comp.h_samp_factor;
            cp->V[k] = comp.v_samp_factor;
            cp->Columns[k] = int((comp.width_in_blocks + comp.h_samp_factor - 1) /
                                 comp.h_samp_factor * comp.h_samp_factor);
            cp->Rows[k] = int((comp.height_in_blocks + comp.v_samp_factor - 1) /
                              comp.v_samp_factor * comp.v_samp_factor);
            for (int y = 0; y < cp->Rows[k]; ++y) {
                JBLOCKARRAY row = (*ci.mem->access_virt_barray)(
                    reinterpret_cast<j_common_ptr>(&ci), arrays[k], JDIMENSION(y), 1, FALSE);
                for (int x = 0; x < cp->Columns[k]; ++x) {
                    cp->Blocks[k].emplace_back();
                    std::memcpy(cp->Blocks[k].back().data(), row[0][x], sizeof(JBLOCK));
                }
            }
        }
        jpeg_finish_decompress(&ci);
    });
    const int warnings = ci.err->num_warnings;
    jpeg_destroy_decompress(&ci);
    if (!ok || warnings != 0) throw std::runtime_error("coefficients " + std::to_string(err.code));
    return c;
}

// `edited` encoded whole with the source's quantisation tables and sampling.
std::vector<uint8_t> EncodeWithSourceTables(const std::vector<uint8_t>& source,
                                            const TBitmap& edited) {
    jpeg_decompress_struct di{};
    jpeg_compress_struct ci{};
    jpegglue::TErrorManager derr, cerr;
    di.err = jpegglue::InitErrorManager(derr);
    ci.err = jpegglue::InitErrorManager(cerr);
    std::vector<uint8_t> out;
    jpegglue::TVectorDestination dest{};
    const uint8_t* data = source.data();
    const unsigned long size = (unsigned long)source.size();
    const TBitmap* e = &edited;
    const bool ok = jpegglue::Guard(derr, [&] {
        jpeg_create_decompress(&di);
        jpeg_mem_src(&di, data, size);
        jpeg_read_header(&di, TRUE);
        if (!jpegglue::Guard(cerr, [&] {
                jpeg_create_compress(&ci);
                jpeg_copy_critical_parameters(&di, &ci);
                ci.input_components = 3;
                ci.in_color_space = JCS_EXT_BGR;
                jpegglue::SetVectorDestination(&ci, dest, out);
                jpeg_start_compress(&ci, TRUE);
                while (ci.next_scanline < ci.image_height) {
                    JSAMPROW r = const_cast<uint8_t*>(e->ScanLine(int32_t(ci.next_scanline)));
                    jpeg_write_scanlines(&ci, &r, 1);
                }
                jpeg_finish_compress(&ci);
                jpegglue::FinishVector(dest);
            }))
            out.clear();
    });
    jpeg_destroy_compress(&ci);
    jpeg_destroy_decompress(&di);
    if (!ok || out.empty()) throw std::runtime_error("encode with the source's tables");
    return out;
}

// The saved file's coefficients are the source's in every MCU without a changed pixel and those
// of a normal encode of the edited picture with the source's tables in every other: block for
// block, the MCUs' padding blocks included. Answers the number of MCUs that differ.
int CheckCoefficients(const std::vector<uint8_t>& source, const TBitmap& original,
                      const TBitmap& edited, const std::vector<uint8_t>& saved) {
    const TCoefficients src = ReadCoefficients(source);
    const TCoefficients mine = ReadCoefficients(EncodeWithSourceTables(source, edited));
    const TCoefficients out = ReadCoefficients(saved);
    const int mh = 8 * std::max({src.H[0], src.H[1], src.H[2]});
    const int mv = 8 * std::max({src.V[0], src.V[1], src.V[2]});
    const int cols = (original.Width() + mh - 1) / mh, rows = (original.Height() + mv - 1) / mv;
    std::vector<uint8_t> changed(size_t(cols * rows));
    for (int y = 0; y < original.Height(); ++y)
        for (int x = 0; x < original.Width(); ++x)
            if (std::memcmp(original.ScanLine(y) + 3 * x, edited.ScanLine(y) + 3 * x, 3) != 0)
                changed[size_t((y / mv) * cols + x / mh)] = 1;
    std::vector<uint8_t> wrong(changed.size());
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(out.Columns[k], src.Columns[k]);
        EXPECT_EQ(out.Rows[k], src.Rows[k]);
        if (out.Blocks[k].size() != src.Blocks[k].size()) return -1;
        for (int by = 0; by < src.Rows[k]; ++by)
            for (int bx = 0; bx < src.Columns[k]; ++bx) {
                const size_t i = size_t(by * src.Columns[k] + bx);
                const size_t m = size_t((by / src.V[k]) * cols + bx / src.H[k]);
                const auto& want = changed[m] ? mine.Blocks[k][i] : src.Blocks[k][i];
                if (want != out.Blocks[k][i]) wrong[m] = 1;
            }
    }
    return int(std::count(wrong.begin(), wrong.end(), uint8_t(1)));
}

// The bytes from the start of scan to the end of the file.
std::vector<uint8_t> ScanData(const std::vector<uint8_t>& b) {
    size_t i = 2;
    while (i + 4 <= b.size() && b[i] == 0xFF && b[i + 1] != 0xDA)
        i += 2 + (size_t(b[i + 2]) << 8 | b[i + 3]);
    return std::vector<uint8_t>(b.begin() + std::ptrdiff_t(std::min(i, b.size())), b.end());
}

struct TSpliceCase {
    const char* Name;
    TSourceSpec Source;
    bool FlatSource;                        // one colour: optimised tables then lack most codes
    std::vector<std::pair<int, int>> Mcus;  // (column, row) of the MCUs changed
    bool Copied;                            // the untouched rows' bits are expected copied
    bool Nudge = false;  // one level of one pixel (codes the tables have) instead of new noise
};

class KeepUntouchedBits : public testing::TestWithParam<TSpliceCase> {};

// Noise over the MCUs of the list (a strong change that needs many codes), or a nudge, on every
// alignment: changes at the first and the last MCU, in the middle of a row, whole rows, two runs.
TEST_P(KeepUntouchedBits, GiveTheSourcesCoefficientsAndTheEditedOnesExactly) {
    const TSpliceCase& c = GetParam();
    const TSourceSpec& s = c.Source;
    TBitmap picture;
    MakeTestPicture(picture, s.Width, s.Height);
    if (c.FlatSource)
        for (int32_t y = 0; y < s.Height; ++y) std::memset(picture.ScanLine(y), 90, size_t(s.Width) * 3);
    const std::vector<uint8_t> source = Encode(picture, s);
    TBitmap original, edited, noise;
    OpenAsWindowDoes(source, original);
    CopyPicture(original, edited);
    MakeTestPicture(noise, s.Width, s.Height, 99);
    const int mw = 8 * s.LumaH, mh = 8 * s.LumaV;
    for (const auto& [mx, my] : c.Mcus)
        if (c.Nudge) edited.ScanLine(my * mh + 3)[3 * (mx * mw + 5)] ^= 1;
    for (const auto& [mx, my] : c.Nudge ? std::vector<std::pair<int, int>>{} : c.Mcus)
        for (int y = my * mh; y < std::min((my + 1) * mh, s.Height); ++y)
            for (int x = mx * mw; x < std::min((mx + 1) * mw, s.Width); ++x)
                for (int k = 0; k < 3; ++k)
                    edited.ScanLine(y)[3 * x + k] = uint8_t(noise.ScanLine(y)[3 * x + k] * 7 + k);

    TMemoryStream out;
    std::string why;
    TKeepUntouchedStats stats;
    ASSERT_TRUE(SaveJpegKeepingUntouched(source, edited, original, 0, false, out, &why, &stats))
        << why;
    EXPECT_EQ(stats.CopiedUntouchedRows, c.Copied);
    EXPECT_EQ(CheckCoefficients(source, original, edited, out.Memory()), 0);
    if (c.Mcus.empty() && c.Copied) {
        EXPECT_EQ(ScanData(out.Memory()), ScanData(source));
    }
}

TSourceSpec Tables(TSourceSpec s, bool optimize, int restart = 0) {
    s.Optimize = optimize;
    s.RestartInterval = restart;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Sources, KeepUntouchedBits,
    testing::Values(
        TSpliceCase{"yuv420_one_in_the_middle", Spec(160, 96, 2, 2), false, {{4, 2}}, true},
        TSpliceCase{"yuv420_first_last_and_a_row",
                    Spec(160, 96, 2, 2),
                    false,
                    {{0, 0}, {0, 3}, {1, 3}, {2, 3}, {3, 3}, {4, 3}, {5, 3}, {6, 3}, {7, 3},
                     {8, 3}, {9, 3}, {9, 5}},
                    true},
        TSpliceCase{"yuv444_odd_two_runs", Spec(83, 45, 1, 1), false, {{2, 1}, {7, 1}, {10, 5}},
                    true},
        TSpliceCase{"yuv422_odd_last", Spec(101, 75, 2, 1), false, {{6, 9}}, true},
        TSpliceCase{"yuv440", Spec(64, 64, 1, 2), false, {{1, 1}, {7, 3}}, true},
        TSpliceCase{"no_change", Spec(120, 72, 2, 2), false, {}, true},
        TSpliceCase{"optimised_tables_that_suffice", Tables(Spec(480, 320, 2, 2), true), false,
                    {{3, 1}, {8, 4}}, true, true},
        TSpliceCase{"optimised_tables_lacking_codes", Tables(Spec(96, 64, 2, 2), true), true,
                    {{2, 2}}, false},
        TSpliceCase{"restarts", Tables(Spec(96, 64, 2, 2), false, 3), false, {{2, 2}}, false},
        TSpliceCase{"progressive", Spec(96, 64, 2, 2, true), false, {{2, 2}}, false}),
    [](const testing::TestParamInfo<TSpliceCase>& i) { return std::string(i.param.Name); });

// The save a band at a time (tilvo-cli's) gives the bytes of the save of the whole picture.
class TMosaicRows : public TBandEditor {
  public:
    explicit TMosaicRows(TRect r) : r_(r) {}
    int32_t Begin(int32_t, int32_t) override { return 16; }
    void Reach(int32_t& top, int32_t& bottom) const override {
        top = r_.Top;
        bottom = r_.Bottom;
    }
    void Edit(TBitmap& band, int32_t top) override {
        TRect r = r_;
        r.Top = std::max(r.Top, top) - top;
        r.Bottom = std::min(r.Bottom, top + band.Height()) - top;
        if (r.Bottom > r.Top) Mosaic(band, r);
        ++bands;
        rows += band.Height();
    }
    int bands = 0, rows = 0;

  private:
    TRect r_;
};

TEST(KeepUntouchedBits, ABandAtATimeGivesTheWholePicturesBytes) {
    for (const TSourceSpec& s : {Spec(200, 300, 2, 2), Spec(197, 301, 1, 1), Spec(96, 40, 2, 1)}) {
        const std::vector<uint8_t> source = MakeSource(s);
        TBitmap original, edited;
        OpenAsWindowDoes(source, original);
        CopyPicture(original, edited);
        const TRect r{30, s.Height / 4 + 6, std::min(150, s.Width), s.Height * 3 / 4};
        Mosaic(edited, r);
        TMemoryStream whole;
        ASSERT_TRUE(SaveJpegKeepingUntouched(source, edited, original, 0, false, whole));

        TMosaicRows editor(r);
        std::vector<uint8_t> banded;
        TKeepUntouchedStats stats;
        ASSERT_TRUE(SaveJpegKeepingUntouchedInBands(source, editor, banded, &stats));
        EXPECT_TRUE(stats.CopiedUntouchedRows);
        EXPECT_EQ(banded, whole.Memory()) << s.Width << "x" << s.Height;
        // Only the rows the edits reach were decoded, from an MCU row above to one below.
        if (r.Bottom - r.Top > 64) {
            EXPECT_GT(editor.bands, 1);
        }
        EXPECT_LE(editor.rows, r.Bottom - r.Top + 2 * 16);
    }
}

// Soft-edged strokes and rectangles as tilvo-cli applies them, a band of rows at a time.
class TStrokeRows : public TBandEditor {
  public:
    TStrokeRows(std::vector<std::vector<TPoint>> strokes, std::vector<TRect> rects, int32_t mosaic,
                int32_t brush)
        : strokes_(std::move(strokes)), rects_(std::move(rects)), mosaic_(mosaic), brush_(brush) {}
    int32_t Begin(int32_t w, int32_t h) override {
        strips_ = Plan(w, h);
        return strips_->Alignment();
    }
    void Reach(int32_t& top, int32_t& bottom) const override {
        top = strips_->Top();
        bottom = strips_->Bottom();
    }
    void Edit(TBitmap& band, int32_t top) override {
        if (top < strips_->Bottom() && top + band.Height() > strips_->Top())
            strips_->Apply(band, top);
    }
    // The same edits on a whole picture.
    void ApplyWhole(TBitmap& pic) const { Plan(pic.Width(), pic.Height())->Apply(pic, 0); }

  private:
    std::unique_ptr<TStripStrokes> Plan(int32_t w, int32_t h) const {
        auto s =
            std::make_unique<TStripStrokes>(w, h, mosaic_, brush_, true, TStrokeEffect::Mosaic);
        for (const auto& p : strokes_) {
            std::vector<TPoint> pts{p.front()};
            pts.insert(pts.end(), p.begin(), p.end());
            s->AddStroke(pts.data(), int32_t(pts.size()));
        }
        for (const TRect& r : rects_) s->AddRect(r);
        return s;
    }
    std::vector<std::vector<TPoint>> strokes_;
    std::vector<TRect> rects_;
    int32_t mosaic_, brush_;
    std::unique_ptr<TStripStrokes> strips_;
};

// Every MCU in which the soft edge's outer ring changes a pixel is encoded again, on every
// sampling, whole and a band at a time (a progressive source or one with restarts: whole only).
TEST(KeepUntouchedBits, SoftEdgesRingMcusAreEncodedAgain) {
    const struct {
        const char* name;
        TSourceSpec spec;
    } sources[] = {{"4:2:0", Spec(200, 150, 2, 2)},
                   {"4:2:2", Spec(200, 150, 2, 1)},
                   {"4:4:4", Spec(200, 150, 1, 1)},
                   {"4:4:0", Spec(200, 150, 1, 2)},
                   {"4:2:0 progressive", Spec(200, 150, 2, 2, true)},
                   {"4:2:2 restarts", Spec(200, 150, 2, 1, false, 3)}};
    for (const auto& src : sources)
        for (int32_t mosaic : {4, 7, 16})
            for (int32_t brush : {9, 20, 31}) {
                SCOPED_TRACE(std::string(src.name) + " mosaic " + std::to_string(mosaic) +
                             " brush " + std::to_string(brush));
                TSourceSpec s = src.spec;
                s.Quality = 85;
                const std::vector<uint8_t> source = MakeSource(s);
                TBitmap original, edited;
                OpenAsWindowDoes(source, original);
                CopyPicture(original, edited);
                TStrokeRows editor({{{37, 11}, {90, 140}, {150, 44}}, {{120, 100}}},
                                   {{13, 109, 61, 133}}, mosaic, brush);
                editor.ApplyWhole(edited);
                TMemoryStream whole;
                TKeepUntouchedStats stats;
                ASSERT_TRUE(SaveJpegKeepingUntouched(source, edited, original, 0, false, whole,
                                                     nullptr, &stats));
                EXPECT_EQ(CheckCoefficients(source, original, edited, whole.Memory()), 0);
                if (s.Progressive || s.RestartInterval != 0) continue;
                std::vector<uint8_t> banded;
                TKeepUntouchedStats bandStats;
                ASSERT_TRUE(SaveJpegKeepingUntouchedInBands(source, editor, banded, &bandStats));
                EXPECT_EQ(bandStats.ChangedMcus, stats.ChangedMcus);
                EXPECT_EQ(CheckCoefficients(source, original, edited, banded), 0);
            }
}

// Where the bits cannot be copied, the banded save says so and writes nothing; the caller then
// takes the whole-picture way.
TEST(KeepUntouchedBits, ABandAtATimeOnlyForBaselineSources) {
    for (const TSourceSpec& s : {Spec(96, 64, 2, 2, true), Spec(96, 64, 2, 2, false, 2)}) {
        const std::vector<uint8_t> source = MakeSource(s);
        TMosaicRows editor({0, 16, 40, 40});
        std::vector<uint8_t> out;
        EXPECT_FALSE(SaveJpegKeepingUntouchedInBands(source, editor, out));
        EXPECT_TRUE(out.empty());
    }
}

// The walk of the scan takes only a stream whose data ends where its picture does.
TEST(KeepUntouchedBits, TheWalkRefusesDamagedOrOtherStreams) {
    const std::vector<uint8_t> good = MakeSource(Spec(64, 48, 2, 2));
    ASSERT_NE(IndexJpegScan(good), nullptr);
    const size_t eoi = good.size() - 2;
    struct TStream {
        const char* Name;
        std::vector<uint8_t> Bytes;
        bool Taken;
    };
    std::vector<uint8_t> cut(good.begin(), good.begin() + std::ptrdiff_t(eoi - 40));
    cut.insert(cut.end(), {0xFF, 0xD9});
    std::vector<uint8_t> extra = good;
    extra.insert(extra.begin() + std::ptrdiff_t(eoi), {0x12, 0x34});
    std::vector<uint8_t> fill = good;
    fill.insert(fill.begin() + std::ptrdiff_t(eoi), {0xFF, 0xFF});
    std::vector<uint8_t> noEoi(good.begin(), good.begin() + std::ptrdiff_t(eoi));
    const std::vector<TStream> streams = {
        {"cut short", cut, false},
        {"bytes before the end marker", extra, false},
        {"fill bytes before the end marker", fill, true},
        {"no end marker", noEoi, false},
        {"progressive", MakeSource(Spec(64, 48, 2, 2, true)), false},
        {"restarts", MakeSource(Spec(64, 48, 2, 2, false, 1)), false},
        {"gray", MakeSource(Space(JCS_GRAYSCALE)), false},
        {"a Huffman code past its length",
         test::ReadFileBytes(std::string(TILVO_TEST_DATA) +
                             "/crashers/jpeg_huffman_code_past_its_length.jpg"),
         false},
    };
    for (const TStream& t : streams) {
        std::string why;
        EXPECT_EQ(IndexJpegScan(t.Bytes, &why) != nullptr, t.Taken) << t.Name;
        EXPECT_EQ(why.empty(), t.Taken) << t.Name;
    }
}

// Damaged baseline sources: the save refuses them or gives exactly the coefficients libjpeg
// reads from the damaged file where nothing changed.
TEST(KeepUntouchedBits, DamagedBaselineSourcesAreRefusedOrKeptExactly) {
    const TSourceSpec spec = Spec(64, 48, 2, 2);
    const std::vector<uint8_t> good = MakeSource(spec);
    uint32_t s = 5;
    int kept = 0, refused = 0;
    for (int i = 0; i < 300; ++i) {
        std::vector<uint8_t> bad = good;
        s = s * 1664525u + 1013904223u;
        // Damage in the entropy-coded data (the header is the other tests' business).
        const size_t at = good.size() - 2 - 1 - (s >> 8) % (good.size() / 2);
        bad[at] = uint8_t(s >> 24);
        TBitmap original, edited;
        try {
            OpenAsWindowDoes(bad, original);
        } catch (const std::exception&) {
            ++refused;
            continue;
        }
        CopyPicture(original, edited);
        Mosaic(edited, {16, 16, 32, 32});
        TMemoryStream out;
        std::string why;
        const bool ok = SaveOrSayWhy(bad, edited, original, out, why);
        if (!ok) {
            ++refused;
            EXPECT_TRUE(out.Memory().empty()) << i;
            continue;
        }
        ++kept;
        EXPECT_EQ(CheckCoefficients(bad, original, edited, out.Memory()), 0) << i;
    }
    EXPECT_GT(kept, 0);
    EXPECT_GT(refused, 0);
}

// A zero step in a quantisation table decodes (every coefficient it scales is zero) but cannot be
// encoded with: libjpeg's encoder divides by it. Such a source is refused, never encoded.
TEST(KeepUntouchedRefusal, AZeroQuantisationStep) {
    std::vector<uint8_t> source = MakeSource(Spec(64, 48, 2, 2));
    size_t i = 2;
    while (i + 4 < source.size() && !(source[i] == 0xFF && source[i + 1] == 0xDB))
        i += 2 + (size_t(source[i + 2]) << 8 | source[i + 3]);
    ASSERT_LT(i + 4 + 65, source.size());
    source[i + 4 + 64] = 0;  // the first table's last step
    TBitmap original, edited;
    OpenAsWindowDoes(source, original);
    CopyPicture(original, edited);
    Mosaic(edited, {0, 0, 32, 32});
    std::string why;
    EXPECT_FALSE(CanKeepUntouched(source, 64, 48, &why));
    EXPECT_EQ(why, "the source's quantisation tables cannot be encoded with");
    TMemoryStream out;
    EXPECT_FALSE(SaveJpegKeepingUntouched(source, edited, original, 0, false, out, &why));
    EXPECT_TRUE(out.Memory().empty());
    TMosaicRows editor({0, 0, 32, 32});
    std::vector<uint8_t> banded;
    EXPECT_FALSE(SaveJpegKeepingUntouchedInBands(source, editor, banded));
    EXPECT_TRUE(banded.empty());
}

}  // namespace
}  // namespace tilvo
