// The codec module tilvo_video_ffmpeg: first frames through libavformat, libavcodec and
// libswscale, over the bytes in memory. Only the AVI, MPEG program stream and MPEG video
// elementary stream demuxers are allowed and no protocol is ever opened, so a crafted file can
// reach nothing beyond its own bytes. Built as a shared module of its own so that only a program
// that opens a video maps FFmpeg's libraries.
#include "FileFormat/VideoStill.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace tilvo {

namespace {

constexpr int kIoBufferSize = 4096;
// Packets read before giving up on a first frame (a stream of undecodable packets ends here).
constexpr int kMaxPackets = 4096;

// The file's bytes as the demuxer's input.
struct TMemoryInput {
    const uint8_t* Data;
    size_t Size;
    size_t Pos = 0;
};

int ReadInput(void* opaque, uint8_t* buffer, int bufferSize) {
    auto* in = static_cast<TMemoryInput*>(opaque);
    const size_t n = std::min<size_t>(size_t(std::max(bufferSize, 0)), in->Size - in->Pos);
    if (n == 0) return AVERROR_EOF;
    std::memcpy(buffer, in->Data + in->Pos, n);
    in->Pos += n;
    return int(n);
}

int64_t SeekInput(void* opaque, int64_t offset, int whence) {
    auto* in = static_cast<TMemoryInput*>(opaque);
    if (whence & AVSEEK_SIZE) return int64_t(in->Size);
    int64_t base = 0;
    switch (whence & ~AVSEEK_FORCE) {
        case SEEK_SET:
            break;
        case SEEK_CUR:
            base = int64_t(in->Pos);
            break;
        case SEEK_END:
            base = int64_t(in->Size);
            break;
        default:
            return AVERROR(EINVAL);
    }
    if (offset > INT64_MAX - base) return AVERROR(EINVAL);
    const int64_t pos = base + offset;
    if (pos < 0 || pos > int64_t(in->Size)) return AVERROR(EINVAL);
    in->Pos = size_t(pos);
    return pos;
}

// Nested inputs (playlists, references to other files) are refused.
int RefuseOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
    return AVERROR(EPERM);
}

struct TFreeIo {
    void operator()(AVIOContext* io) const {
        if (io) av_freep(&io->buffer);
        avio_context_free(&io);
    }
};
struct TCloseInput {
    void operator()(AVFormatContext* fc) const { avformat_close_input(&fc); }
};
struct TFreeCodec {
    void operator()(AVCodecContext* cc) const { avcodec_free_context(&cc); }
};
struct TFreeFrame {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct TFreePacket {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct TFreeSws {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};

void Put16(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    Put16(p, v & 0xFFFF);
    Put16(p + 2, v >> 16);
}

// The frame as a top-down 24-bit packed bitmap.
std::vector<uint8_t> ToDib(const AVFrame& frame) {
    const int w = frame.width, h = frame.height;
    CheckPictureSize(w, h, 24);
    const int64_t stride = RowBytes(w, 24);
    std::vector<uint8_t> dib(size_t(40 + CheckedMul(stride, h)), 0);
    uint8_t* header = dib.data();
    Put32(header, 40);
    Put32(header + 4, uint32_t(w));
    Put32(header + 8, uint32_t(-h));  // negative: rows top-down
    Put16(header + 12, 1);
    Put16(header + 14, 24);
    std::unique_ptr<SwsContext, TFreeSws> sws(sws_getContext(w, h, AVPixelFormat(frame.format), w,
                                                             h, AV_PIX_FMT_BGR24, SWS_BILINEAR,
                                                             nullptr, nullptr, nullptr));
    if (!sws) return {};
    // The scaler's vector code may write whole blocks past a row's last pixel, so it writes into
    // its own padded buffer (one spare row), and the rows are copied from there.
    uint8_t* rgb[4] = {};
    int rgbStride[4] = {};
    if (av_image_alloc(rgb, rgbStride, w + 64, h + 1, AV_PIX_FMT_BGR24, 64) < 0) return {};
    struct TFreeImage {
        uint8_t** Data;
        ~TFreeImage() { av_freep(&Data[0]); }
    } freeImage{rgb};
    if (sws_scale(sws.get(), frame.data, frame.linesize, 0, h, rgb, rgbStride) != h) return {};
    for (int y = 0; y < h; ++y)
        std::memcpy(dib.data() + 40 + y * stride, rgb[0] + int64_t(y) * rgbStride[0],
                    size_t(w) * 3);
    return dib;
}

// The decoder whose messages this thread listens to, and whether it reported damage: an error,
// or the concealment of missing or broken macroblocks. The libraries log from the calling
// thread (one decoding thread a context), so a thread-local record is enough.
struct TDamageWatch {
    const void* Context = nullptr;
    bool Damaged = false;
};
thread_local TDamageWatch* t_watch = nullptr;

void OnLibraryMessage(void* avcl, int level, const char* format, va_list) {
    TDamageWatch* watch = t_watch;
    if (watch == nullptr || avcl != watch->Context) return;
    if (level <= AV_LOG_ERROR || std::strncmp(format, "concealing", 10) == 0) watch->Damaged = true;
}

// FFmpeg's text for an error code.
std::string ErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// The demuxer the file's first bytes name: AVI by "RIFF" and "AVI ", an MPEG program stream by
// its pack header, an elementary stream by its sequence header; else the container's own.
const char* DemuxerFor(const uint8_t* data, size_t size, TVideoContainer container) {
    if (size >= 12 && std::memcmp(data, "RIFF", 4) == 0 && std::memcmp(data + 8, "AVI ", 4) == 0)
        return "avi";
    if (size >= 4 && data[0] == 0 && data[1] == 0 && data[2] == 1) {
        if (data[3] == 0xBA) return "mpeg";
        if (data[3] == 0xB3) return "mpegvideo";
    }
    return container == TVideoContainer::AVI ? "avi" : "mpeg";
}

std::vector<uint8_t> Decode(const uint8_t* data, size_t size, TVideoContainer container,
                            std::string& why) {
    const char* demuxer = DemuxerFor(data, size, container);
    const AVInputFormat* format = av_find_input_format(demuxer);
    if (!format) {
        why = std::string("FFmpeg has no ") + demuxer + " demuxer";
        return {};
    }
    if (size == 0) {
        why = "the file is empty";
        return {};
    }
    TMemoryInput input{data, size};
    auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferSize));
    if (!buffer) return {};
    std::unique_ptr<AVIOContext, TFreeIo> io(
        avio_alloc_context(buffer, kIoBufferSize, 0, &input, ReadInput, nullptr, SeekInput));
    if (!io) {
        av_free(buffer);
        return {};
    }
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) return {};
    raw->pb = io.get();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    raw->io_open = RefuseOpen;
    raw->format_whitelist = av_strdup("avi,mpeg,mpegvideo");
    raw->protocol_whitelist = av_strdup("none");
    raw->max_streams = 16;
    const std::string demuxerSays = std::string("the ") + demuxer + " demuxer: ";
    if (const int rc = avformat_open_input(&raw, nullptr, format, nullptr); rc < 0) {  // frees raw
        why = demuxerSays + ErrorText(rc);
        return {};
    }
    std::unique_ptr<AVFormatContext, TCloseInput> fc(raw);
    if (const int rc = avformat_find_stream_info(fc.get(), nullptr); rc < 0) {
        why = demuxerSays + ErrorText(rc);
        return {};
    }

    const AVCodec* codec = nullptr;
    const int stream = av_find_best_stream(fc.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (stream == AVERROR_DECODER_NOT_FOUND || (stream >= 0 && !codec)) {
        why = "no decoder for its video stream";
        return {};
    }
    if (stream < 0) {
        why = "no video stream";
        return {};
    }
    const AVCodecParameters* par = fc->streams[stream]->codecpar;
    CheckPictureSize(par->width, par->height, 24);
    std::unique_ptr<AVCodecContext, TFreeCodec> cc(avcodec_alloc_context3(codec));
    if (!cc || avcodec_parameters_to_context(cc.get(), par) < 0) return {};
    cc->thread_count = 1;
    cc->max_pixels = kMaxSurfaceBytes / 4;
    // A first frame with a damaged or missing part fails rather than showing what concealment
    // made of it: any error the decoder reports before it arrives counts.
    cc->err_recognition |= AV_EF_EXPLODE;
    TDamageWatch watch;
    watch.Context = cc.get();
    t_watch = &watch;
    struct TStopWatching {
        ~TStopWatching() { t_watch = nullptr; }
    } stopWatching;
    if (const int rc = avcodec_open2(cc.get(), codec, nullptr); rc < 0) {
        why = std::string("the ") + codec->name + " decoder: " + ErrorText(rc);
        return {};
    }

    std::unique_ptr<AVFrame, TFreeFrame> frame(av_frame_alloc());
    std::unique_ptr<AVPacket, TFreePacket> packet(av_packet_alloc());
    if (!frame || !packet) return {};
    for (int packets = 0; packets < kMaxPackets; ++packets) {
        const bool end = av_read_frame(fc.get(), packet.get()) < 0;
        if (!end && packet->stream_index != stream) {
            av_packet_unref(packet.get());
            continue;
        }
        const int sent = avcodec_send_packet(cc.get(), end ? nullptr : packet.get());
        av_packet_unref(packet.get());
        if (sent < 0 && sent != AVERROR(EAGAIN) && !end) continue;  // skip a broken packet
        if (avcodec_receive_frame(cc.get(), frame.get()) == 0) {
            if (watch.Damaged || (frame->flags & AV_FRAME_FLAG_CORRUPT) ||
                frame->decode_error_flags) {
                why = "its first frame does not decode whole";
                return {};
            }
            std::vector<uint8_t> dib = ToDib(*frame);
            if (dib.empty()) why = "its first frame cannot be converted";
            return dib;
        }
        if (end) break;
    }
    why = "no frame of its video stream decodes";
    return {};
}

class TFFmpegFirstFrame final : public TVideoDecoder {
  public:
    TFFmpegFirstFrame() {
        // The libraries' messages never reach standard error: the decoder's own are watched for
        // damage, the rest dropped; failures are reported by the result.
        av_log_set_callback(OnLibraryMessage);
        av_log_set_level(AV_LOG_INFO);
    }

    std::vector<uint8_t> FirstFrame(const uint8_t* data, size_t size,
                                    TVideoContainer container) override {
        std::string why;
        return FirstFrame(data, size, container, why);
    }
    std::vector<uint8_t> FirstFrame(const uint8_t* data, size_t size, TVideoContainer container,
                                    std::string& why) override {
        try {
            return Decode(data, size, container, why);
        } catch (const std::exception& e) {  // sizes beyond the surface limit, or out of memory
            why = e.what();
            return {};
        }
    }
};

}  // namespace

}  // namespace tilvo

extern "C" __attribute__((visibility("default"))) tilvo::TVideoDecoder*
tilvo_video_ffmpeg_decoder() {
    static tilvo::TFFmpegFirstFrame decoder;
    return &decoder;
}
