// The FFmpeg video decoder on tiny videos made here by libavformat's own muxers and libavcodec's
// encoders: a raw-video AVI (exact colours) and an MPEG-1 program stream (lossy, flat colours),
// opened through the open path; and what it refuses.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
}

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "FileFormat/FFmpegVideoDecoder.h"

namespace tilvo {
namespace {

namespace fs = std::filesystem;

constexpr int kW = 32, kH = 16;

// Left half red-ish, right half blue-ish, flat so that a lossy codec keeps them.
TColor Expected(int x, int) {
    return x < kW / 2 ? RGB(200, 40, 40) : RGB(30, 60, 220);
}

int WritePacket(void* opaque, uint8_t* buf, int size) {
    auto* out = static_cast<std::vector<uint8_t>*>(opaque);
    out->insert(out->end(), buf, buf + size);
    return size;
}

// Encodes `frames` frames of the test picture with `codecId` into the container `muxer`.
std::vector<uint8_t> MakeVideo(const char* muxer, AVCodecID codecId, AVPixelFormat pf, int frames) {
    std::vector<uint8_t> bytes;
    const AVCodec* codec = avcodec_find_encoder(codecId);
    if (!codec) return bytes;
    AVFormatContext* fc = nullptr;
    avformat_alloc_output_context2(&fc, nullptr, muxer, nullptr);
    AVCodecContext* cc = avcodec_alloc_context3(codec);
    cc->width = kW;
    cc->height = kH;
    cc->pix_fmt = pf;
    cc->time_base = {1, 25};
    cc->framerate = {25, 1};
    cc->gop_size = 1;
    cc->bit_rate = 2000000;
    if (fc->oformat->flags & AVFMT_GLOBALHEADER) cc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    EXPECT_EQ(avcodec_open2(cc, codec, nullptr), 0);
    AVStream* st = avformat_new_stream(fc, nullptr);
    avcodec_parameters_from_context(st->codecpar, cc);
    st->time_base = cc->time_base;
    uint8_t* ioBuffer = static_cast<uint8_t*>(av_malloc(4096));
    fc->pb = avio_alloc_context(ioBuffer, 4096, 1, &bytes, nullptr, WritePacket, nullptr);
    EXPECT_EQ(avformat_write_header(fc, nullptr), 0);

    // The picture in RGB, converted to the encoder's format by hand for the two formats used.
    AVFrame* frame = av_frame_alloc();
    frame->format = pf;
    frame->width = kW;
    frame->height = kH;
    av_frame_get_buffer(frame, 0);
    AVPacket* pkt = av_packet_alloc();
    auto drain = [&] {
        while (avcodec_receive_packet(cc, pkt) == 0) {
            av_packet_rescale_ts(pkt, cc->time_base, st->time_base);
            pkt->stream_index = st->index;
            av_interleaved_write_frame(fc, pkt);
        }
    };
    for (int i = 0; i < frames; ++i) {
        av_frame_make_writable(frame);
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                const TColor c = Expected(x, y);
                const int r = GetRValue(c), g = GetGValue(c), b = GetBValue(c);
                if (pf == AV_PIX_FMT_BGR24) {
                    uint8_t* p = frame->data[0] + y * frame->linesize[0] + 3 * x;
                    p[0] = uint8_t(b), p[1] = uint8_t(g), p[2] = uint8_t(r);
                } else {
                    frame->data[0][y * frame->linesize[0] + x] =
                        uint8_t(16 + (66 * r + 129 * g + 25 * b + 128) / 256);
                    if (x % 2 == 0 && y % 2 == 0) {
                        frame->data[1][y / 2 * frame->linesize[1] + x / 2] =
                            uint8_t(128 + (-38 * r - 74 * g + 112 * b + 128) / 256);
                        frame->data[2][y / 2 * frame->linesize[2] + x / 2] =
                            uint8_t(128 + (112 * r - 94 * g - 18 * b + 128) / 256);
                    }
                }
            }
        frame->pts = i;
        avcodec_send_frame(cc, frame);
        drain();
    }
    avcodec_send_frame(cc, nullptr);
    drain();
    av_write_trailer(fc);
    avio_flush(fc->pb);
    av_freep(&fc->pb->buffer);
    avio_context_free(&fc->pb);
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&cc);
    avformat_free_context(fc);
    return bytes;
}

class FFmpegVideoDecoder : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterAllFormats();
        InstallVideoDecoder(std::make_shared<TFFmpegVideoDecoder>());
    }
    void TearDown() override {
        InstallVideoDecoder(nullptr);
        for (const fs::path& f : files_) fs::remove(f);
    }
    // Opens the bytes as a file of the given name through the open path.
    void Open(const std::string& name, const std::vector<uint8_t>& bytes, TBitmap& picture) {
        const fs::path p =
            fs::temp_directory_path() / ("tilvo_ffmpeg_" + std::to_string(::getpid()) + "_" + name);
        std::ofstream(p, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        files_.push_back(p);
        LoadPictureFile(p.string(), picture);
    }

  private:
    std::vector<fs::path> files_;
};

TEST_F(FFmpegVideoDecoder, TheFirstFrameOfARawAviIsExact) {
    const std::vector<uint8_t> avi = MakeVideo("avi", AV_CODEC_ID_RAWVIDEO, AV_PIX_FMT_BGR24, 2);
    ASSERT_FALSE(avi.empty());
    TBitmap picture;
    Open("raw.avi", avi, picture);
    ASSERT_EQ(picture.Width(), kW);
    ASSERT_EQ(picture.Height(), kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            ASSERT_EQ(picture.Pixel(x, y), Expected(x, y)) << x << "," << y;
}

TEST_F(FFmpegVideoDecoder, TheFirstFrameOfAnMpegIsClose) {
    const std::vector<uint8_t> mpg =
        MakeVideo("mpeg", AV_CODEC_ID_MPEG1VIDEO, AV_PIX_FMT_YUV420P, 3);
    ASSERT_FALSE(mpg.empty());
    TBitmap picture;
    Open("clip.mpg", mpg, picture);
    ASSERT_EQ(picture.Width(), kW);
    ASSERT_EQ(picture.Height(), kH);
    // Away from the colour edge the flat halves survive within a few levels.
    for (const auto& [x, y] :
         {std::pair{2, 2}, std::pair{12, 12}, std::pair{20, 3}, std::pair{29, 14}}) {
        const TColor got = picture.Pixel(x, y), want = Expected(x, y);
        SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
        EXPECT_NEAR(GetRValue(got), GetRValue(want), 12);
        EXPECT_NEAR(GetGValue(got), GetGValue(want), 12);
        EXPECT_NEAR(GetBValue(got), GetBValue(want), 12);
    }
}

TEST_F(FFmpegVideoDecoder, AnMpegElementaryStreamOpensAndACutOneIsRefused) {
    // A bare MPEG-1 video stream starts with its sequence header, 00 00 01 B3.
    const std::vector<uint8_t> es =
        MakeVideo("mpeg1video", AV_CODEC_ID_MPEG1VIDEO, AV_PIX_FMT_YUV420P, 1);
    ASSERT_GT(es.size(), 40u);
    ASSERT_EQ(es[3], 0xB3);
    TBitmap picture;
    Open("stream.mpg", es, picture);
    ASSERT_EQ(picture.Width(), kW);
    ASSERT_EQ(picture.Height(), kH);
    for (const auto& [x, y] : {std::pair{2, 2}, std::pair{29, 14}}) {
        const TColor got = picture.Pixel(x, y), want = Expected(x, y);
        EXPECT_NEAR(GetRValue(got), GetRValue(want), 12);
        EXPECT_NEAR(GetBValue(got), GetBValue(want), 12);
    }
    // Cut inside its frame: what concealment would make of the rest is refused.
    for (size_t keep : {es.size() * 3 / 4, es.size() / 2}) {
        SCOPED_TRACE(keep);
        TBitmap cut(2, 2, pf24bit);
        cut.SetPixel(1, 1, RGB(5, 6, 7));
        try {
            Open("cut.mpg", std::vector<uint8_t>(es.begin(), es.begin() + ptrdiff_t(keep)), cut);
            ADD_FAILURE() << "opened";
        } catch (const EInvalidGraphic& e) {
            EXPECT_EQ(std::string(e.what()).rfind("The video cannot be opened: ", 0), 0u)
                << e.what();
        }
        EXPECT_EQ(cut.Pixel(1, 1), RGB(5, 6, 7));
    }
}

TEST_F(FFmpegVideoDecoder, OtherContainersAndBrokenFilesAreRefused) {
    // Garbage and a cut file fail. An MPEG program stream named .avi carries the MPEG signature,
    // not the AVI one: it opens as the MPEG it is.
    const std::vector<uint8_t> mpg =
        MakeVideo("mpeg", AV_CODEC_ID_MPEG1VIDEO, AV_PIX_FMT_YUV420P, 1);
    const std::vector<uint8_t> avi = MakeVideo("avi", AV_CODEC_ID_RAWVIDEO, AV_PIX_FMT_BGR24, 1);
    {
        TBitmap asMpeg, asAvi;
        Open("mpeg.mpg", mpg, asMpeg);
        Open("mpeg.avi", mpg, asAvi);
        ASSERT_GT(asMpeg.Width(), 0);
        ASSERT_EQ(asAvi.Width(), asMpeg.Width());
        ASSERT_EQ(asAvi.Height(), asMpeg.Height());
        for (int32_t y = 0; y < asMpeg.Height(); ++y)
            for (int32_t x = 0; x < asMpeg.Width(); ++x)
                ASSERT_EQ(asAvi.Pixel(x, y), asMpeg.Pixel(x, y));
    }
    const std::pair<const char*, std::vector<uint8_t>> rows[] = {
        {"garbage.mpg", std::vector<uint8_t>(300, 0x5A)},
        {"cut.avi", std::vector<uint8_t>(avi.begin(), avi.begin() + ptrdiff_t(avi.size() / 8))},
    };
    for (const auto& [name, bytes] : rows) {
        SCOPED_TRACE(name);
        TBitmap picture(2, 2, pf24bit);
        picture.SetPixel(1, 1, RGB(5, 6, 7));
        try {
            Open(name, bytes, picture);
            ADD_FAILURE() << "opened";
        } catch (const EInvalidGraphic& e) {
            // The message says why, never a bare "Exception".
            EXPECT_EQ(std::string(e.what()).rfind("The video cannot be opened: ", 0), 0u)
                << e.what();
            EXPECT_GT(std::string(e.what()).size(),
                      std::string("The video cannot be opened: ").size());
        }
        EXPECT_EQ(picture.Pixel(1, 1), RGB(5, 6, 7));
    }
}

}  // namespace
}  // namespace tilvo
