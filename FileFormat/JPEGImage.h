// The JPEG graphic class TJPEGImage (a JPEG byte stream and a decoded surface side by side, each
// made from the other on demand) and the three JPEG writers of Save and Save As.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Effector/Bitmap.h"
#include "Graphic.h"
#include "Stream.h"

namespace tilvo {

// Every error libjpeg reports, with libjpeg's own text ("Bogus marker length"; given only the
// code, the text without its parameters). A stream Tilvo refuses on its own account (too many
// scans, an aborted decode or encode) carries a plain message instead.
class EJPEG : public EInvalidGraphic {
  public:
    explicit EJPEG(int messageCode);
    EJPEG(int messageCode, const std::string& message);
    int MessageCode() const { return code_; }

  private:
    int code_;
};

// The encoded form a TJPEGImage keeps: the JPEG byte stream (in TSharedImage::Stream; empty means
// absent), the picture's size and whether the stream holds a one-component picture.
class TJPEGData : public TSharedImage {
  public:
    bool HasStream() const { return !Stream.empty(); }
    int32_t Width = 0;  // as stored in the stream, before any turn
    int32_t Height = 0;
    bool Grayscale = false;
    // The Exif Orientation of the stream's first Exif APP1 segment (1 ... 8; 1 without one).
    int Orientation = 1;
};

enum class TJPEGPixelFormat : uint8_t { jf24Bit = 0, jf8Bit = 1 };
enum class TJPEGScale : uint8_t { jsFullSize = 0, jsHalf = 1, jsQuarter = 2, jsEighth = 3 };
enum class TJPEGPerformance : uint8_t { jpBestQuality = 0, jpBestSpeed = 1 };
enum class TProgressStage : uint8_t { psStarting, psRunning, psEnding };

class TJPEGImage;
// Progress of an encode or decode: a start event, running events (the first at once, then at most
// one per 500 ms, only when the percentage changed), then an end event (100, or 0 after an error
// or an abort). Setting `abort` in a start or running event stops the work: an aborted decode
// throws and leaves no decoded surface, an aborted encode throws and leaves no stream.
using TJPEGProgressEvent =
    std::function<void(TJPEGImage& sender, TProgressStage stage, int percentDone, bool& abort)>;

// The decode bit depth a new TJPEGImage starts with. Linux has no 8-bit display, so it is 24-bit.
inline constexpr TJPEGPixelFormat kDefaultJpegPixelFormat = TJPEGPixelFormat::jf24Bit;

class TJPEGImage : public TGraphic {
  public:
    TJPEGImage();
    const char* ClassName() const override { return "TJPEGImage"; }

    // From a surface: a fresh, empty holder and a copy of the surface (encoded later, on demand).
    void Assign(const TBitmap& source) override;
    // From a TJPEGImage: shares its holder and copies its decoded surface if it has one. Any other
    // class fails with EConvertError.
    void Assign(const TGraphic& source) override;
    // `dest` becomes a copy of the decoded surface (decoding first if needed).
    void AssignTo(TBitmap& dest) const override;

    bool GetEmpty() const override;
    int32_t GetWidth() const override;
    int32_t GetHeight() const override;
    // Always refused: "Cannot change the size of a JPEG image".
    void SetWidth(int32_t w) override;
    void SetHeight(int32_t h) override;

    // Reads the JPEG that starts at the stream's first byte, or after a 128-byte prefix; anything
    // else fails with "TJPEGImage Sig Error". The header is read at once (a component layout the
    // decoder does not know is refused here); decoding waits. On failure the graphic is unchanged.
    void LoadFromStream(TStream& stream) override;
    // Encodes first when there is no stream, then writes the whole stream. An encode aborted by
    // the progress listener throws before anything is written.
    void SaveToStream(TStream& stream) override;
    // A 32-bit little-endian byte count, then that many bytes of JPEG stream.
    void ReadData(TStream& stream);
    void WriteData(TStream& stream);
    // True when the other graphic is a TJPEGImage sharing this one's holder.
    bool Equals(const TGraphic& other) const;

    // The palette of the decoded surface, else the palette set with SetPalette, else none.
    std::vector<TPaletteEntry> GetPalette() const;
    // An 8-bit decode then quantises to these colours instead of the library's own choice; a
    // decoded surface with another palette is dropped.
    void SetPalette(const std::vector<TPaletteEntry>& palette);

    // Encodes the decoded surface now, replacing the held stream; throws when the progress
    // listener aborted (the holder is then empty, the decoded surface kept).
    void Compress();
    // Decodes the held stream if there is no decoded surface yet. Only streams of 1 component
    // (gray), 3 (YCbCr or RGB) or 4 (CMYK or YCCK) and at most 1,000 scans are decoded; anything
    // else, a corrupt stream or an abort throws and leaves no decoded surface behind.
    void DIBNeeded();
    void DecodeNeeded() override { DIBNeeded(); }
    bool HasDecodedBitmap() const { return hasBitmap_; }
    std::shared_ptr<TJPEGData> Data() const;

    int32_t CompressionQuality() const { return quality_; }
    // Clamped to 1 .. 100.
    void SetCompressionQuality(int32_t q);
    bool ProgressiveEncoding() const { return progressiveEncoding_; }
    void SetProgressiveEncoding(bool v) { progressiveEncoding_ = v; }
    // Changing grayscale or the pixel format drops the decoded surface (after encoding it when it
    // is the only form the picture has) and raises Changed.
    bool Grayscale() const { return grayscale_; }
    void SetGrayscale(bool v);
    TJPEGPixelFormat PixelFormat() const { return pixelFormat_; }
    void SetPixelFormat(TJPEGPixelFormat pf);
    bool Smoothing() const { return smoothing_; }
    void SetSmoothing(bool v) { smoothing_ = v; }
    bool ProgressiveDisplay() const { return progressiveDisplay_; }
    void SetProgressiveDisplay(bool v) { progressiveDisplay_ = v; }
    TJPEGPerformance Performance() const { return performance_; }
    void SetPerformance(TJPEGPerformance p) { performance_ = p; }
    TJPEGScale Scale() const { return scale_; }
    void SetScale(TJPEGScale s);
    // 8 for a grayscale stream, otherwise 24.
    int BitsPerPixel() const { return bitsPerPixel_; }
    // Whether a decode turns the picture upright by the stream's Exif Orientation (on by default;
    // off for JPEG data inside another format, which has its own say). Width and height are the
    // upright picture's. Changing it drops the decoded surface.
    bool ApplyOrientation() const { return applyOrientation_; }
    void SetApplyOrientation(bool v);

    // May stay empty: nothing in the program listens.
    TJPEGProgressEvent OnProgress;
    // Raised when the content changed (a load, a new palette); may stay empty.
    std::function<void(TJPEGImage&)> OnChange;

  private:
    friend struct TJpegProgressGlue;
    void Changed();
    void ReadJpegStream(int64_t byteCount, TStream& stream);
    void EncodePicture();
    void DecodePicture();
    void FreeBitmap();
    void NewImage();
    TJPEGData& JData() const;

    bool hasBitmap_ = false;
    int32_t scaledWidth_ = 0;
    int32_t scaledHeight_ = 0;
    std::vector<TPaletteEntry> tempPalette_;
    bool smoothing_ = true;
    bool grayscale_ = false;
    TJPEGPixelFormat pixelFormat_ = kDefaultJpegPixelFormat;
    int32_t quality_ = 90;
    bool progressiveDisplay_ = false;
    bool progressiveEncoding_ = false;
    TJPEGPerformance performance_ = TJPEGPerformance::jpBestQuality;
    TJPEGScale scale_ = TJPEGScale::jsFullSize;
    bool needRecalc_ = false;
    int bitsPerPixel_ = 24;
    bool applyOrientation_ = true;
    int Orientation() const;
};

// The Save command's JPEG writer: the picture encoded at the quality (clamped to 1 .. 100),
// baseline or progressive, colour or grayscale, 4:2:0, written to the file through a temporary
// file. Answers false on any error, and then the file that was there is left as it was.
bool WriteJpegFile(const TBitmap& picture, const std::string& fileName, bool progressive,
                   int32_t quality, bool grayscale);

// The same encoding, appended to `stream`. Answers false on any error (the stream may then hold
// part of an encoding).
bool EncodeJpegToStream(const TBitmap& picture, TStream& stream, bool progressive, int32_t quality,
                        bool grayscale);

// 4:4:4 encoding with the standard tables scaled for the quality; progressive or grayscale output
// is made from it by lossless re-encoding. Answers false when the encoder failed (nothing is
// then written to `stream`); an error of the re-encoding is thrown (EJPEG).
bool EncodeJpegFullChroma(const TBitmap& picture, TStream& stream, bool progressive,
                          int32_t quality, bool grayscale);

// Rows top … bottom − 1 of a colour JPEG as the open path decodes them (B, G, R): `choose` is
// told the picture's width and height and sets top and bottom (clamped to the picture); the rows
// above are skipped (jpeg_skip_scanlines), never made pixels, and the decode stops after the last.
// `rows` becomes those rows. Answers false, with nothing done, where the open path would decode
// otherwise (see TranscodeJpegInBands); a corrupt stream fails as it fails there (EJPEG).
bool DecodeJpegRows(const std::vector<uint8_t>& source,
                    const std::function<void(int32_t width, int32_t height, int32_t& top,
                                             int32_t& bottom)>& choose,
                    TBitmap& rows);

// Rows first … end − 1 of a colour JPEG as the open path decodes them, a band at a time: a thread
// of its own decodes (skipping the rows above `first`, never made pixels) while the calling thread
// hands each band, in order, to `take`, which may change it (it is the picture's rows top …
// top + band.Height() − 1). `plan` is called once, before any band, with the picture's size; it
// may set first and end (clamped to the picture; the whole picture by default) and answers the
// height of the bands. When `end` is the picture's height, the end of the stream is checked too.
// Answers false, with nothing done and `plan` not called, where the open path would decode
// otherwise (see TranscodeJpegInBands); a corrupt stream fails as it fails there (EJPEG); what
// `plan` or `take` throws is passed on, after the decoding thread has stopped.
bool DecodeJpegInBands(
    std::span<const uint8_t> source,
    const std::function<int32_t(int32_t width, int32_t height, int32_t& first, int32_t& end)>& plan,
    const std::function<void(TBitmap& band, int32_t top)>& take);

// What TranscodeJpegInBands does to each band of rows on its way from the decoder to the encoder.
class TBandEditor {
  public:
    virtual ~TBandEditor() = default;
    // Called once, before any band, with the picture's size; answers the alignment: bands start
    // on multiples of it, and all but the last are whole multiples of it high.
    virtual int32_t Begin(int32_t width, int32_t height) = 0;
    // After Begin: rows top … bottom − 1 hold every pixel the edits can change (top = bottom
    // when none). By default the whole picture.
    virtual void Reach(int32_t& top, int32_t& bottom) const { (void)top, (void)bottom; }
    // Edits the band, the picture's rows top … top + band.Height() − 1 at full width (24 bits).
    virtual void Edit(TBitmap& band, int32_t top) = 0;
};

// The JPEG encode of a picture opened from a JPEG, without ever holding the whole picture: a
// thread of its own decodes `source` (a whole JPEG file) a band of rows at a time, as the open
// path decodes it, while this thread hands each band to `editor` and encodes it into `out`. The
// bytes are those EncodeJpegToStream (EncodeJpegFullChroma with fullChroma) writes for the
// edited picture. Answers false, with nothing done, where the open path would decode otherwise
// or the encode needs the whole picture: a source that does not start with its start-of-image
// marker, that has not 3 components or whose Exif Orientation is not 1, or fullChroma with
// progressive or grayscale output. A corrupt source fails as the open path fails (EJPEG); what
// the editor throws is passed on.
bool TranscodeJpegInBands(std::span<const uint8_t> source, TBandEditor& editor, int32_t quality,
                          bool progressive, bool grayscale, bool fullChroma, TStream& out);

}  // namespace tilvo
