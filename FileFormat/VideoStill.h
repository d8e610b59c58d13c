// Video files as one still picture: the decoder interface (none is installed by default; a build
// with a video decoder installs one at start-up), the placeholder shown without one, and
// TVideoStillImage, the shared base of the AVI and MPEG graphic classes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Graphic.h"

namespace tilvo {

enum class TVideoContainer : uint8_t { AVI, MPEG };

// Turns the bytes of a video file into its first frame.
class TVideoDecoder {
  public:
    virtual ~TVideoDecoder() = default;
    // The first frame of the video in data[0 .. size) as a packed device-independent bitmap (an
    // information header, the colour table, the rows); empty when the video cannot be decoded.
    // Must not throw for malformed input.
    virtual std::vector<uint8_t> FirstFrame(const uint8_t* data, size_t size,
                                            TVideoContainer container) = 0;
    // The same, saying in `why` why nothing came out ("no video stream", the demuxer's message).
    virtual std::vector<uint8_t> FirstFrame(const uint8_t* data, size_t size,
                                            TVideoContainer container, std::string& why) {
        why.clear();
        return FirstFrame(data, size, container);
    }
    // False when the decoder cannot work in this process (a decoder loaded on first use whose
    // libraries are missing): the video then opens as without a decoder.
    virtual bool Available() { return true; }
};

// The decoder the video classes use; null (the default), or one that is not Available(), means
// none is installed.
void InstallVideoDecoder(std::shared_ptr<TVideoDecoder> decoder);
std::shared_ptr<TVideoDecoder> InstalledVideoDecoder();

// How the placeholder looks: the button colour it is filled with, and the hook that draws the
// file type's icon with its top-left corner at (16, 16) (the window installs one; without it the
// square stays plain).
struct TVideoPlaceholderStyle {
    TColor ButtonFace = RGB(240, 240, 240);
    std::function<void(TBitmap& picture, const std::string& fileName)> DrawIcon;
};
void SetVideoPlaceholderStyle(TVideoPlaceholderStyle style);
const TVideoPlaceholderStyle& VideoPlaceholderStyle();

// The size of the placeholder square.
inline constexpr int32_t kVideoPlaceholderSide = 64;

// The message with which the open path refuses a video when no decoder is installed.
inline constexpr const char* kNoVideoDecoder = "No video decoder is installed";

class TVideoStillImage : public TGraphic {
  public:
    // Remembers the file name (the icon hook works on it), then loads the file's bytes.
    void LoadFromFile(const std::string& fileName) override;
    // With a decoder: the first frame as a 24-bit picture, or EInvalidGraphic with the decoder's
    // reason when it gives none. Without one: the 64 × 64 placeholder. The held bytes are kept for
    // the decoder; nothing is ever saved.
    void LoadFromStream(TStream& stream) override;
    void SaveToStream(TStream&) override {}

    // True when the picture is the placeholder rather than a decoded frame.
    bool IsPlaceholder() const { return placeholder_; }
    const std::string& FileName() const { return fileName_; }

  protected:
    TVideoStillImage(std::shared_ptr<TSharedImage> holder, TVideoContainer container)
        : TGraphic(std::move(holder)), container_(container) {}

  private:
    TVideoContainer container_;
    std::string fileName_;
    bool placeholder_ = false;
};

}  // namespace tilvo
