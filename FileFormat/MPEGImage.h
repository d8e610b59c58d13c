// The MPEG video still: TMPEGImage opens "mpg" and "mpeg" files as their first frame through the
// installed video decoder, or as the placeholder when none is installed.
#pragma once

#include "VideoStill.h"

namespace tilvo {

// Keeps the file's bytes for the decoder.
class TMPEGData : public TSharedImage {};

class TMPEGImage : public TVideoStillImage {
  public:
    TMPEGImage() : TVideoStillImage(std::make_shared<TMPEGData>(), TVideoContainer::MPEG) {}
    const char* ClassName() const override { return "TMPEGImage"; }
};

}  // namespace tilvo
