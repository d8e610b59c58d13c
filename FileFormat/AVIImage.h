// The AVI video still: TAVIImage opens "avi" files as their first frame through the installed
// video decoder, or as the placeholder when none is installed.
#pragma once

#include "VideoStill.h"

namespace tilvo {

// Keeps the file's bytes for the decoder.
class TAVIData : public TSharedImage {};

class TAVIImage : public TVideoStillImage {
  public:
    TAVIImage() : TVideoStillImage(std::make_shared<TAVIData>(), TVideoContainer::AVI) {}
    const char* ClassName() const override { return "TAVIImage"; }
};

}  // namespace tilvo
