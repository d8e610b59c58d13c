// The video decoder built on FFmpeg's libraries: the first frame of an AVI or MPEG file held in
// memory. Only the AVI and MPEG demuxers are allowed and no protocol is ever opened, so a crafted
// file can reach nothing beyond its own bytes.
#pragma once

#include "VideoStill.h"

namespace tilvo {

class TFFmpegVideoDecoder : public TVideoDecoder {
  public:
    TFFmpegVideoDecoder();
    // The first decoded frame as a top-down 24-bit packed bitmap; empty on any failure.
    std::vector<uint8_t> FirstFrame(const uint8_t* data, size_t size,
                                    TVideoContainer container) override;
};

}  // namespace tilvo
