// The video decoder built on FFmpeg's libraries: the first frame of an AVI or MPEG file held in
// memory. The decoding lives in the codec module tilvo_video_ffmpeg, loaded the first time a video
// is opened; only the AVI and MPEG demuxers are allowed and no protocol is ever opened, so a
// crafted file can reach nothing beyond its own bytes.
#pragma once

#include "VideoStill.h"

namespace tilvo {

class TFFmpegVideoDecoder : public TVideoDecoder {
  public:
    // Loads the module on the first call (once per process, from any thread); false when it or
    // FFmpeg's libraries cannot be loaded: the video then opens as without a decoder.
    bool Available() override;
    // The first decoded frame as a top-down 24-bit packed bitmap; empty on any failure.
    std::vector<uint8_t> FirstFrame(const uint8_t* data, size_t size,
                                    TVideoContainer container) override;
    std::vector<uint8_t> FirstFrame(const uint8_t* data, size_t size, TVideoContainer container,
                                    std::string& why) override;
};

}  // namespace tilvo
