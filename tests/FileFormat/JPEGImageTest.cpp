// TJPEGImage and the JPEG writers, checked by reading their output back with libjpeg.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <set>

#include "FileFormat/Graphic.h"
#include "FileFormat/JPEGImage.h"
#include "FileFormat/JpegTranscode.h"
#include "JpegTestSupport.h"

namespace tilvo {
namespace {

using test::LibjpegDecode;
using test::MakeTestPicture;
using test::ReadFileBytes;

std::string TempName(const std::string& stem) {
    // ctest runs tests in parallel processes: the process id keeps their files apart.
    return ::testing::TempDir() + "tilvo_jpeg_" + std::to_string(::getpid()) + "_" + stem;
}

enum class TPath { WriteFile, ToStream, FullChroma };

std::vector<uint8_t> Encode(TPath path, const TBitmap& pic, bool progressive, int quality,
                            bool gray, bool* result = nullptr) {
    bool ok = false;
    std::vector<uint8_t> bytes;
    if (path == TPath::WriteFile) {
        const std::string name = TempName("write.jpg");
        std::remove(name.c_str());
        ok = WriteJpegFile(pic, name, progressive, quality, gray);
        bytes = ReadFileBytes(name);
    } else {
        TMemoryStream s;
        ok = path == TPath::ToStream ? EncodeJpegToStream(pic, s, progressive, quality, gray)
                                     : EncodeJpegFullChroma(pic, s, progressive, quality, gray);
        bytes = s.Memory();
    }
    if (result != nullptr) *result = ok;
    return bytes;
}

const TPath kPaths[] = {TPath::WriteFile, TPath::ToStream, TPath::FullChroma};

TEST(JpegWriters, RepeatedSavesAreByteIdentical) {
    TBitmap pic;
    MakeTestPicture(pic, 37, 23);
    for (TPath path : kPaths) {
        for (bool prog : {false, true}) {
            const auto a = Encode(path, pic, prog, 80, false);
            const auto b = Encode(path, pic, prog, 80, false);
            ASSERT_FALSE(a.empty());
            EXPECT_EQ(a, b) << int(path) << " progressive " << prog;
        }
    }
}

TEST(JpegWriters, QualityIsClampedOnEveryPath) {
    TBitmap pic;
    MakeTestPicture(pic, 32, 24);
    struct Case {
        int given, same;
    };
    const Case cases[] = {{0, 1}, {-7, 1}, {150, 100}, {300, 100}};
    for (TPath path : kPaths) {
        for (const Case& c : cases) {
            EXPECT_EQ(Encode(path, pic, false, c.given, false),
                      Encode(path, pic, false, c.same, false))
                << int(path) << " quality " << c.given;
        }
        // Quality does reach the encoder: 1 and 100 differ.
        EXPECT_NE(Encode(path, pic, false, 1, false), Encode(path, pic, false, 100, false));
    }
    TJPEGImage j;
    j.SetCompressionQuality(0);
    EXPECT_EQ(j.CompressionQuality(), 1);
    j.SetCompressionQuality(101);
    EXPECT_EQ(j.CompressionQuality(), 100);
}

// Every path and option combination: the stream opens with SOI + JFIF APP0, and libjpeg reads
// the components, sampling and scan structure asked for.
TEST(JpegWriters, StreamsHaveTheRequestedStructure) {
    TBitmap pic;
    MakeTestPicture(pic, 40, 30);
    for (TPath path : kPaths) {
        for (bool prog : {false, true}) {
            for (bool gray : {false, true}) {
                SCOPED_TRACE(::testing::Message() << "path " << int(path) << " progressive " << prog
                                                  << " gray " << gray);
                bool ok = false;
                const auto b = Encode(path, pic, prog, 75, gray, &ok);
                ASSERT_TRUE(ok);
                ASSERT_GE(b.size(), 4u);
                EXPECT_EQ(b[0], 0xFF);
                EXPECT_EQ(b[1], 0xD8);
                EXPECT_EQ(b[2], 0xFF);
                EXPECT_EQ(b[3], 0xE0);
                const auto img = LibjpegDecode(b);
                EXPECT_EQ(img.Width, 40);
                EXPECT_EQ(img.Height, 30);
                EXPECT_EQ(img.Components, gray ? 1 : 3);
                EXPECT_EQ(img.Progressive, prog);
                EXPECT_EQ(test::CountScans(b) > 1, prog);
                const int luma = path == TPath::FullChroma ? 1 : 2;
                EXPECT_EQ(img.HSamp[0], gray ? 1 : luma);
                EXPECT_EQ(img.VSamp[0], gray ? 1 : luma);
            }
        }
    }
}

TEST(JpegWriters, FullChromaTablesEqualLibjpegQualityTables) {
    TBitmap pic;
    MakeTestPicture(pic, 16, 16);
    for (int q : {1, 10, 25, 49, 50, 51, 75, 80, 90, 99, 100}) {
        SCOPED_TRACE(q);
        const auto expect = test::LibjpegQualityTables(q);
        const auto full = LibjpegDecode(Encode(TPath::FullChroma, pic, false, q, false));
        const auto sub = LibjpegDecode(Encode(TPath::ToStream, pic, false, q, false));
        EXPECT_EQ(full.Quant[0], expect[0]);
        EXPECT_EQ(full.Quant[1], expect[1]);
        EXPECT_EQ(sub.Quant[0], full.Quant[0]);
        EXPECT_EQ(sub.Quant[1], full.Quant[1]);
        EXPECT_EQ(full.HSamp, (std::array<int, 4>{1, 1, 1, 0}));
        EXPECT_EQ(sub.HSamp, (std::array<int, 4>{2, 1, 1, 0}));
    }
}

TEST(JpegWriters, EmptyPictureFailsAndLeavesTheOldFile) {
    const std::string name = TempName("keep.jpg");
    test::WriteFileBytes(name, {'o', 'l', 'd'});
    TBitmap empty;
    EXPECT_FALSE(WriteJpegFile(empty, name, false, 80, false));
    EXPECT_EQ(ReadFileBytes(name), (std::vector<uint8_t>{'o', 'l', 'd'}));
    TMemoryStream s;
    EXPECT_FALSE(EncodeJpegToStream(empty, s, false, 80, false));
    EXPECT_FALSE(EncodeJpegFullChroma(empty, s, true, 80, true));
    EXPECT_EQ(s.Size(), 0);
    TBitmap pic;
    MakeTestPicture(pic, 8, 8);
    EXPECT_FALSE(WriteJpegFile(pic, TempName("no/such/dir/x.jpg"), false, 80, false));
}

// ------------------------------------------------------------------------------------------
// Lossless re-encoding

TEST(JpegTranscode, KeepsCoefficients) {
    TBitmap pic;
    MakeTestPicture(pic, 45, 29);
    const auto base = Encode(TPath::FullChroma, pic, false, 85, false);
    const auto baseRgb = LibjpegDecode(base);
    const auto baseYcc = LibjpegDecode(base, JCS_YCbCr);

    const auto prog = LibjpegDecode(Encode(TPath::FullChroma, pic, true, 85, false));
    EXPECT_TRUE(prog.Progressive);
    EXPECT_EQ(prog.Pixels, baseRgb.Pixels);

    for (bool progressive : {false, true}) {
        const auto grayBytes = Encode(TPath::FullChroma, pic, progressive, 85, true);
        const auto gray = LibjpegDecode(grayBytes);
        EXPECT_EQ(gray.Components, 1);
        EXPECT_EQ(gray.Progressive, progressive);
        EXPECT_EQ(gray.Quant[gray.QuantTable[0]], baseRgb.Quant[baseRgb.QuantTable[0]]);
        ASSERT_EQ(gray.Pixels.size() * 3, baseYcc.Pixels.size());
        for (size_t i = 0; i < gray.Pixels.size(); ++i)
            ASSERT_EQ(gray.Pixels[i], baseYcc.Pixels[3 * i]) << i;
    }
}

TEST(JpegTranscode, CopiesMarkersAndRefusesGrayOfCmyk) {
    // A comment and an APP1 segment survive, in their order, after the writer's own JFIF.
    TBitmap pic;
    MakeTestPicture(pic, 16, 16);
    auto in = Encode(TPath::FullChroma, pic, false, 80, false);
    const std::vector<uint8_t> extra = {0xFF, 0xFE, 0, 6, 'a', 'b', 'c', 'd',
                                        0xFF, 0xE1, 0, 5, 'x', 'y', 'z'};
    in.insert(in.begin() + 20, extra.begin(), extra.end());  // after SOI + 18-byte JFIF
    TMemoryStream src(in), dst;
    EXPECT_TRUE(TranscodeJpeg(src, dst, true, false));
    const auto& out = dst.Memory();
    ASSERT_GT(out.size(), 40u);
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 20),
              std::vector<uint8_t>(in.begin(), in.begin() + 20));
    EXPECT_EQ(std::vector<uint8_t>(out.begin() + 20, out.begin() + 35), extra);
    EXPECT_EQ(LibjpegDecode(out).Pixels, LibjpegDecode(in).Pixels);

    // A four-component stream cannot be reduced to gray.
    jpeg_compress_struct ci{};
    jpegglue::TErrorManager err;
    ci.err = jpegglue::InitErrorManager(err);
    std::vector<uint8_t> cmyk;
    jpegglue::TVectorDestination dest{};
    std::vector<uint8_t> row(16 * 4, 100);
    JSAMPROW r = row.data();
    ASSERT_TRUE(jpegglue::Guard(err, [&] {
        jpeg_create_compress(&ci);
        jpegglue::SetVectorDestination(&ci, dest, cmyk);
        ci.image_width = 16;
        ci.image_height = 8;
        ci.input_components = 4;
        ci.in_color_space = JCS_CMYK;
        jpeg_set_defaults(&ci);
        jpeg_start_compress(&ci, TRUE);
        while (ci.next_scanline < 8) jpeg_write_scanlines(&ci, &r, 1);
        jpeg_finish_compress(&ci);
        jpegglue::FinishVector(dest);
    }));
    jpeg_destroy_compress(&ci);
    TMemoryStream cmykIn(cmyk), cmykOut;
    try {
        TranscodeJpeg(cmykIn, cmykOut, false, true);
        FAIL() << "no exception";
    } catch (const EJPEG& e) {
        EXPECT_STREQ(e.what(), "Unsupported color conversion request");
    }
}

// ------------------------------------------------------------------------------------------
// TJPEGImage

std::vector<uint8_t> MakeCmykJpeg(const std::vector<std::array<uint8_t, 4>>& blocks) {
    // One flat 8×8 block per value, 4:4:4 at quality 100: flat blocks decode exactly.
    jpeg_compress_struct ci{};
    jpegglue::TErrorManager err;
    ci.err = jpegglue::InitErrorManager(err);
    std::vector<uint8_t> out;
    jpegglue::TVectorDestination dest{};
    const int w = int(blocks.size()) * 8;
    std::vector<uint8_t> row(size_t(w) * 4);
    for (int x = 0; x < w; ++x)
        for (int c = 0; c < 4; ++c) row[size_t(x) * 4 + c] = blocks[size_t(x / 8)][c];
    JSAMPROW r = row.data();
    const bool ok = jpegglue::Guard(err, [&] {
        jpeg_create_compress(&ci);
        jpegglue::SetVectorDestination(&ci, dest, out);
        ci.image_width = JDIMENSION(w);
        ci.image_height = 8;
        ci.input_components = 4;
        ci.in_color_space = JCS_CMYK;
        jpeg_set_defaults(&ci);
        jpeg_set_quality(&ci, 100, TRUE);
        jpeg_start_compress(&ci, TRUE);
        while (ci.next_scanline < 8) jpeg_write_scanlines(&ci, &r, 1);
        jpeg_finish_compress(&ci);
        jpegglue::FinishVector(dest);
    });
    jpeg_destroy_compress(&ci);
    if (!ok) throw std::runtime_error("cmyk encode");
    return out;
}

TEST(JPEGImage, CmykDecodesThroughInkFormula) {
    const auto bytes =
        MakeCmykJpeg({{255, 255, 255, 255}, {200, 100, 50, 0}, {200, 150, 100, 230}});
    TMemoryStream s(bytes);
    TJPEGImage j;
    j.LoadFromStream(s);
    TBitmap out;
    j.AssignTo(out);
    ASSERT_EQ(out.PixelFormat(), pf24bit);
    ASSERT_EQ(out.Width(), 24);
    for (int y : {0, 7}) {
        EXPECT_EQ(out.Pixel(3, y), RGB(255, 255, 255));  // all ink at 255 is white
        EXPECT_EQ(out.Pixel(11, y), RGB(0, 0, 0));       // k = 0 is black
        // red = c - (255 - k), green = m - (255 - k), blue = y - (255 - k)
        EXPECT_EQ(out.Pixel(20, y), RGB(175, 125, 75));
    }
}

TEST(JPEGImage, GrayscaleOpensWithAtMost236Levels) {
    TBitmap pic;
    pic.Resize(256, 64, pf24bit);
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 256; ++x) pic.SetPixel(x, y, RGB(x, x, x));
    TMemoryStream s;
    ASSERT_TRUE(EncodeJpegToStream(pic, s, false, 100, true));
    TJPEGImage j;
    s.SetPosition(0);  // the byte count runs from the position to the end
    j.LoadFromStream(s);
    EXPECT_EQ(j.BitsPerPixel(), 8);
    EXPECT_TRUE(j.Data()->Grayscale);
    TBitmap out;
    j.AssignTo(out);
    ASSERT_EQ(out.PixelFormat(), pf8bit);
    EXPECT_LE(out.Palette().size(), 236u);
    EXPECT_GT(out.Palette().size(), 200u);
    std::set<TColor> levels;
    const auto plain = LibjpegDecode(s.Memory());
    int maxDiff = 0;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 256; ++x) {
            const TColor c = out.Pixel(x, y);
            ASSERT_EQ(GetRValue(c), GetGValue(c));
            ASSERT_EQ(GetRValue(c), GetBValue(c));
            levels.insert(c);
            maxDiff = std::max(maxDiff, std::abs(int(GetRValue(c)) - plain.Pixels[y * 256 + x]));
        }
    EXPECT_LE(levels.size(), 236u);
    EXPECT_LE(maxDiff, 2);  // dithered to the nearest levels, not posterised
}

TEST(JPEGImage, ColourDecodeMatchesLibjpegAndEightBitQuantises) {
    TBitmap pic;
    MakeTestPicture(pic, 50, 33);
    TMemoryStream s;
    ASSERT_TRUE(EncodeJpegToStream(pic, s, true, 90, false));
    TJPEGImage j;
    s.SetPosition(0);
    j.LoadFromStream(s);
    EXPECT_EQ(j.GetWidth(), 50);
    EXPECT_EQ(j.GetHeight(), 33);
    EXPECT_TRUE(j.ProgressiveEncoding());
    EXPECT_FALSE(j.HasDecodedBitmap());
    TBitmap out;
    j.AssignTo(out);
    ASSERT_EQ(out.PixelFormat(), pf24bit);
    const auto plain = LibjpegDecode(s.Memory(), JCS_EXT_BGR);
    for (int y = 0; y < 33; ++y)
        ASSERT_EQ(0, std::memcmp(out.ScanLine(y), plain.Pixels.data() + y * 150, 150)) << y;

    j.SetPixelFormat(TJPEGPixelFormat::jf8Bit);
    EXPECT_FALSE(j.HasDecodedBitmap());
    j.AssignTo(out);
    ASSERT_EQ(out.PixelFormat(), pf8bit);
    EXPECT_LE(out.Palette().size(), 236u);
    EXPECT_GT(out.Palette().size(), 16u);
}

TEST(JPEGImage, AcceptsA128BytePrefixOnly) {
    TBitmap pic;
    MakeTestPicture(pic, 20, 10);
    TMemoryStream enc;
    ASSERT_TRUE(EncodeJpegToStream(pic, enc, false, 80, false));
    for (size_t prefix : {size_t(0), size_t(127), size_t(128), size_t(129)}) {
        std::vector<uint8_t> bytes(prefix, 0x55);
        bytes.insert(bytes.end(), enc.Memory().begin(), enc.Memory().end());
        TMemoryStream s(bytes);
        TJPEGImage j;
        if (prefix == 0 || prefix == 128) {
            j.LoadFromStream(s);
            EXPECT_EQ(j.Data()->Stream, enc.Memory()) << prefix;
            EXPECT_EQ(j.GetWidth(), 20);
        } else {
            try {
                j.LoadFromStream(s);
                ADD_FAILURE() << prefix;
            } catch (const EInvalidGraphic& e) {
                EXPECT_STREQ(e.what(), "TJPEGImage Sig Error");
            }
        }
    }
}

TEST(JPEGImage, CorruptStreamFailsWithLibjpegsOwnText) {
    std::vector<uint8_t> bytes = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x03, 0x01};
    TMemoryStream s(bytes);
    TJPEGImage j;
    try {
        j.LoadFromStream(s);
        TBitmap out;
        j.AssignTo(out);
        FAIL();
    } catch (const EJPEG& e) {
        EXPECT_STREQ(e.what(), "Premature end of JPEG file");
    }
}

// A stream that ends inside the picture opens at full size as libjpeg fills it: the rows it
// holds as decoded, the rest flat.
TEST(JPEGImage, TruncatedStreamOpensAsLibjpegFillsIt) {
    TBitmap pic;
    MakeTestPicture(pic, 64, 64);
    for (bool progressive : {false, true}) {
        SCOPED_TRACE(progressive);
        TMemoryStream enc;
        ASSERT_TRUE(EncodeJpegToStream(pic, enc, progressive, 90, false));
        TMemoryStream all(enc.Memory());
        TJPEGImage whole;
        whole.LoadFromStream(all);
        TBitmap expected;
        whole.AssignTo(expected);
        std::vector<uint8_t> cut(
            enc.Memory().begin(),
            enc.Memory().begin() + std::ptrdiff_t(enc.Memory().size() * 3 / 4));
        TMemoryStream s(cut);
        TJPEGImage j;
        j.LoadFromStream(s);
        TBitmap out;
        ASSERT_NO_THROW(j.AssignTo(out));
        ASSERT_EQ(out.Width(), 64);
        ASSERT_EQ(out.Height(), 64);
        if (progressive) continue;  // every scan covers the whole picture
        // The rows before the cut are whole, the last row is flat (every pixel the same).
        for (int32_t x = 0; x < 64; ++x) EXPECT_EQ(out.Pixel(x, 0), expected.Pixel(x, 0)) << x;
        for (int32_t x = 1; x < 64; ++x) EXPECT_EQ(out.Pixel(x, 63), out.Pixel(0, 63)) << x;
    }
}

TEST(JPEGImage, GraphicOperations) {
    TBitmap pic;
    MakeTestPicture(pic, 12, 9);
    TJPEGImage a;
    EXPECT_TRUE(a.GetEmpty());
    a.Assign(pic);
    EXPECT_FALSE(a.GetEmpty());
    EXPECT_EQ(a.GetWidth(), 12);
    try {
        a.SetWidth(5);
        FAIL();
    } catch (const EInvalidGraphic& e) {
        EXPECT_STREQ(e.what(), "Cannot change the size of a JPEG image");
    }
    EXPECT_THROW(a.SetHeight(5), EInvalidGraphic);

    // Saving encodes at the class defaults (quality 90, 4:2:0, baseline).
    TMemoryStream saved;
    a.SaveToStream(saved);
    TMemoryStream direct;
    ASSERT_TRUE(EncodeJpegToStream(pic, direct, false, 90, false));
    EXPECT_EQ(saved.Memory(), direct.Memory());

    TJPEGImage b;
    b.Assign(static_cast<const TGraphic&>(a));
    EXPECT_TRUE(b.Equals(a));
    TJPEGImage c;
    EXPECT_FALSE(c.Equals(a));

    // Stored form: count, then the stream; read back it is the same stream.
    TMemoryStream data;
    a.WriteData(data);
    EXPECT_EQ(data.Size(), 4 + int64_t(direct.Memory().size()));
    data.SetPosition(0);
    c.ReadData(data);
    EXPECT_EQ(c.Data()->Stream, direct.Memory());

    // Grayscale set on a picture held only as a surface keeps the picture.
    TJPEGImage g;
    g.Assign(pic);
    g.SetGrayscale(true);
    TBitmap out;
    g.AssignTo(out);
    EXPECT_EQ(out.Width(), 12);
    EXPECT_EQ(out.PixelFormat(), pf8bit);
}

// Encoding and decoding both report start, running and end; a listener that asks to stop at the
// start or while running stops the work: a decode leaves no surface, an encode leaves no stream
// and a save through it keeps the file that was there. Without the abort the same graphic works.
TEST(JPEGImage, ProgressEventsAndAbort) {
    TBitmap pic;
    MakeTestPicture(pic, 64, 64);
    TMemoryStream encoded;
    ASSERT_TRUE(EncodeJpegToStream(pic, encoded, false, 90, false));
    struct Event {
        TProgressStage stage;
        int percent;
    };
    const auto listen = [](std::vector<Event>& events, int abortAt) {
        return [&events, abortAt](TJPEGImage&, TProgressStage st, int percent, bool& abort) {
            events.push_back({st, percent});
            abort = int(events.size()) == abortAt + 1;
        };
    };
    const auto stages = [](const std::vector<Event>& events) {
        std::string s;
        for (const Event& e : events)
            s += e.stage == TProgressStage::psStarting  ? 'S'
                 : e.stage == TProgressStage::psRunning ? 'R'
                                                        : 'E';
        return s;
    };
    // abortAt: index of the event whose listener asks to stop (-1: never).
    for (int abortAt : {-1, 0, 1}) {
        SCOPED_TRACE(abortAt);
        std::vector<Event> events;
        TJPEGImage d;
        encoded.SetPosition(0);  // the byte count runs from the position to the end
        d.LoadFromStream(encoded);
        d.OnProgress = listen(events, abortAt);
        if (abortAt < 0) {
            d.DIBNeeded();
            EXPECT_TRUE(d.HasDecodedBitmap());
            EXPECT_EQ(stages(events).substr(0, 2), "SR");
            ASSERT_FALSE(events.empty());
            EXPECT_EQ(events.back().percent, 100);
        } else {
            try {
                d.DIBNeeded();
                ADD_FAILURE() << "an aborted decode succeeded";
            } catch (const EJPEG& e) {
                EXPECT_STREQ(e.what(), "JPEG decoding aborted");
            }
            EXPECT_FALSE(d.HasDecodedBitmap());
            EXPECT_TRUE(d.Bitmap().Empty());
            EXPECT_EQ(stages(events), abortAt == 0 ? "SE" : "SRE");
            EXPECT_EQ(events.back().percent, 0);
            d.OnProgress = nullptr;
            TBitmap out;
            d.AssignTo(out);
            EXPECT_EQ(out.Width(), 64);
        }
        EXPECT_EQ(events.back().stage, TProgressStage::psEnding);

        events.clear();
        const std::string name = TempName("abort.jpg");
        test::WriteFileBytes(name, {'o', 'l', 'd'});
        TJPEGImage e;
        e.Assign(pic);
        e.OnProgress = listen(events, abortAt);
        if (abortAt < 0) {
            e.SaveToFile(name);
            EXPECT_EQ(stages(events).substr(0, 2), "SR");
            ASSERT_FALSE(events.empty());
            EXPECT_EQ(events.back().percent, 100);
            EXPECT_EQ(LibjpegDecode(ReadFileBytes(name)).Width, 64);
        } else {
            try {
                e.SaveToFile(name);
                ADD_FAILURE() << "an aborted encode was saved";
            } catch (const EJPEG& x) {
                EXPECT_STREQ(x.what(), "JPEG encoding aborted");
            }
            EXPECT_EQ(ReadFileBytes(name), (std::vector<uint8_t>{'o', 'l', 'd'}));
            EXPECT_FALSE(e.Data()->HasStream());
            EXPECT_EQ(stages(events), abortAt == 0 ? "SE" : "SRE");
        }
        EXPECT_EQ(events.back().stage, TProgressStage::psEnding);
    }
}

// ------------------------------------------------------------------------------------------
// Streams the decoder refuses

// What decoding `bytes` with the given settings threw ("" when it opened). A refusal leaves no
// decoded surface behind.
std::string DecodeFailure(const std::vector<uint8_t>& bytes,
                          TJPEGPixelFormat pf = TJPEGPixelFormat::jf24Bit,
                          TJPEGPerformance perf = TJPEGPerformance::jpBestQuality) {
    TJPEGImage j;
    j.SetPixelFormat(pf);
    j.SetPerformance(perf);
    TMemoryStream s(bytes);
    try {
        j.LoadFromStream(s);
        TBitmap out;
        j.AssignTo(out);
    } catch (const Exception& e) {
        EXPECT_FALSE(j.HasDecodedBitmap());
        EXPECT_TRUE(j.Bitmap().Empty());
        return e.what();
    }
    return "";
}

// Only 1, 3 and 4 components are decoded. libjpeg writes one byte per component into each row:
// 2 components left a third of every 24-bit row unwritten (holding whatever the lent buffer
// held), 5 and 10 overran the rows. Such files, whole, with scans missing or cut off in the
// middle, at every decode setting, are refused with the count named, and the open path keeps its
// picture.
TEST(JPEGImage, RefusesComponentCountsItCannotDecode) {
    RegisterAllFormats();
    TBitmap previous;
    MakeTestPicture(previous, 16, 16, 5);
    struct Case {
        int components, keptScans;
    };
    for (const Case c : {Case{2, 2}, Case{2, 1}, Case{5, 4}, Case{10, 4}}) {
        SCOPED_TRACE(std::to_string(c.components) + " components, " + std::to_string(c.keptScans) +
                     " scans");
        const auto file = test::MakeComponentJpeg(c.components, c.keptScans);
        // A file libjpeg itself decodes, writing every component into each row.
        const auto plain = LibjpegDecode(file);
        ASSERT_EQ(plain.OutComponents, c.components);
        // Cut off in the middle of the scans (the header, up to the first scan, stays whole).
        size_t firstScan = 0;
        while (firstScan + 1 < file.size() &&
               !(file[firstScan] == 0xFF && file[firstScan + 1] == 0xDA))
            ++firstScan;
        const std::vector<uint8_t> cut(
            file.begin(), file.begin() + std::ptrdiff_t(firstScan + (file.size() - firstScan) / 2));
        const std::string message = "Unsupported JPEG: " + std::to_string(c.components) +
                                    " colour components (only 1, 3 or 4 can be opened)";
        for (const auto* bytes : {&file, &cut}) {
            for (auto pf : {TJPEGPixelFormat::jf24Bit, TJPEGPixelFormat::jf8Bit})
                for (auto perf : {TJPEGPerformance::jpBestQuality, TJPEGPerformance::jpBestSpeed})
                    EXPECT_EQ(DecodeFailure(*bytes, pf, perf), message);
            // Refused with the header, before any row exists.
            TJPEGImage j;
            TMemoryStream s(*bytes);
            EXPECT_THROW(j.LoadFromStream(s), EInvalidGraphic);
            EXPECT_TRUE(j.GetEmpty());

            const std::string name = TempName("components.jpg");
            test::WriteFileBytes(name, *bytes);
            TBitmap picture;
            picture.Assign(previous);
            EXPECT_THROW(LoadPictureFile(name, picture), EInvalidGraphic);
            ASSERT_EQ(picture.Width(), 16);
            for (int y = 0; y < 16; ++y)
                EXPECT_EQ(std::memcmp(picture.ScanLine(y), previous.ScanLine(y), 48), 0);
        }
    }
}

// The scan limit holds: 1,000 scans open, 1,001 and 20,000 are refused (the limit is counted as
// the scans arrive, so the refusal comes at scan 1,001 whatever follows).
TEST(JPEGImage, ScanLimit) {
    struct Case {
        int scans;
        bool opens;
    };
    for (const Case c : {Case{1000, true}, Case{1001, false}, Case{20000, false}}) {
        SCOPED_TRACE(c.scans);
        const auto bytes = test::MakeManyScanJpeg(c.scans);
        ASSERT_EQ(test::CountScans(bytes), c.scans);
        for (auto pf : {TJPEGPixelFormat::jf24Bit, TJPEGPixelFormat::jf8Bit})
            EXPECT_EQ(DecodeFailure(bytes, pf),
                      c.opens ? "" : "JPEG with more than 1000 scans refused");
    }
}

// Decoded to 8 bits with a palette, CMYK is quantised in its four inks (each row one index a
// pixel) and the palette goes through the ink formula; the fast path overran every row before.
TEST(JPEGImage, EightBitCmykKeepsRowsAndInks) {
    const auto bytes = MakeCmykJpeg(
        {{255, 255, 255, 255}, {200, 100, 50, 0}, {255, 0, 0, 255}, {0, 255, 255, 255}});
    for (auto perf : {TJPEGPerformance::jpBestQuality, TJPEGPerformance::jpBestSpeed}) {
        SCOPED_TRACE(int(perf));
        TJPEGImage j;
        j.SetPixelFormat(TJPEGPixelFormat::jf8Bit);
        j.SetPerformance(perf);
        TMemoryStream s(bytes);
        j.LoadFromStream(s);
        TBitmap out;
        j.AssignTo(out);
        ASSERT_EQ(out.PixelFormat(), pf8bit);
        ASSERT_EQ(out.Width(), 32);
        EXPECT_LE(out.Palette().size(), 236u);
        for (int y : {0, 7}) {
            EXPECT_EQ(out.Pixel(3, y), RGB(255, 255, 255));
            EXPECT_EQ(out.Pixel(11, y), RGB(0, 0, 0));
            EXPECT_EQ(out.Pixel(19, y), RGB(255, 0, 0));
            EXPECT_EQ(out.Pixel(27, y), RGB(0, 255, 255));
        }
    }
}

}  // namespace
}  // namespace tilvo
