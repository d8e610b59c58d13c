// The FFmpeg video decoder's side in the program: the module is found and loaded on first use.
#include "FFmpegVideoDecoder.h"

#include <string>

#include "CodecModule.h"

namespace tilvo {

namespace {

inline constexpr const char* kVideoModule = "tilvo_video_ffmpeg";
inline constexpr const char* kVideoModuleFactory = "tilvo_video_ffmpeg_decoder";

struct TLoadedVideoDecoder {
    TVideoDecoder* Decoder = nullptr;  // the module's, alive as long as the process
    std::string Error;
};

const TLoadedVideoDecoder& LoadedVideoDecoder() {
    static const TLoadedVideoDecoder loaded = [] {
        TLoadedVideoDecoder result;
        if (void* factory = CodecModuleSymbol(kVideoModule, kVideoModuleFactory, result.Error))
            result.Decoder = reinterpret_cast<TVideoDecoder* (*)()>(factory)();
        return result;
    }();
    return loaded;
}

}  // namespace

bool TFFmpegVideoDecoder::Available() {
    return LoadedVideoDecoder().Decoder != nullptr;
}

std::vector<uint8_t> TFFmpegVideoDecoder::FirstFrame(const uint8_t* data, size_t size,
                                                     TVideoContainer container) {
    TVideoDecoder* decoder = LoadedVideoDecoder().Decoder;
    return decoder ? decoder->FirstFrame(data, size, container) : std::vector<uint8_t>();
}

std::vector<uint8_t> TFFmpegVideoDecoder::FirstFrame(const uint8_t* data, size_t size,
                                                     TVideoContainer container, std::string& why) {
    TVideoDecoder* decoder = LoadedVideoDecoder().Decoder;
    if (!decoder) {
        why = LoadedVideoDecoder().Error;
        return {};
    }
    return decoder->FirstFrame(data, size, container, why);
}

}  // namespace tilvo
