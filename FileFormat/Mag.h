// The MAG format ("MAki chan Graphic format"): TMAGImage reads 16- and 256-colour MAG pictures and
// writes them, keeping the header values of the file it read (user name, comment, origins and the
// 200-line flag); SaveMag is the writer of Save and Save As.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Graphic.h"

namespace tilvo {

// A malformed MAG file: "MAG image error:" joined to the detail.
class EMagError : public Exception {
  public:
    explicit EMagError(const std::string& detail) : Exception("MAG image error:" + detail) {}
};

// An operation the MAG graphic cannot do in its state: "MAG invaild operation:" joined to the
// detail.
class EInvalidMagOperation : public Exception {
  public:
    explicit EInvalidMagOperation(const std::string& detail)
        : Exception("MAG invaild operation:" + detail) {}
};

// The MAG data holder owns the complete file image, read or freshly encoded (in Stream), and the
// two header blocks of that image.
class TMagData : public TSharedImage {
  public:
    uint8_t Identification[32] = {};
    uint8_t PictureHeader[32] = {};
    int32_t Width = 0;
    int32_t Height = 0;
};

class TMAGImage : public TGraphic {
  public:
    TMAGImage();
    const char* ClassName() const override { return "TMAGImage"; }

    // Reads from the stream's current position (not from its start) to its end and decodes the
    // picture: a 4-bit surface in 16-colour mode, an 8-bit one in 256-colour mode, each with the
    // mode's full palette. Every offset and size of the header is checked against the data, and a
    // copy from above the picture or left of the row fails with EMagError. On failure the graphic
    // is left as it was.
    void LoadFromStream(TStream& stream) override;
    // Encodes first when there is no file image or the graphic changed since the last encoding,
    // then writes the file image. Throws EInvalidMagOperation when there is nothing to encode or
    // the picture does not fit the header fields; nothing is written then.
    void SaveToStream(TStream& stream) override;

    // From a surface: a fresh holder and the header defaults; 1-bit pictures become 4-bit, any
    // other depth than 4 and 8 is reduced to 8 bits with a palette, and the width is widened to
    // the mode's alignment with index 0 in the new columns.
    void Assign(const TBitmap& source) override;
    // From another TMAGImage: shares its holder and copies its header values and picture.
    void Assign(const TGraphic& source) override;

    bool GetEmpty() const override;
    int32_t GetWidth() const override;
    int32_t GetHeight() const override;
    // Resizable: the width is rounded up to the mode's alignment; sizes that would leave the
    // 16-bit coordinate range with the origin fail with "range over". New pixels are index 0.
    void SetWidth(int32_t w) override;
    void SetHeight(int32_t h) override;

    // The picture's palette (padded to the mode's size when written).
    const std::vector<TPaletteEntry>& GetPalette() const { return bitmap_.Palette(); }
    void SetPalette(const std::vector<TPaletteEntry>& palette);

    // True when the other graphic is a TMAGImage sharing this one's holder.
    bool Equals(const TGraphic& other) const;

    // The header defaults: 16 colours, the default comment and user name, no 200-line flag,
    // origins 0.
    virtual void ResetDefaults();
    // Marks the picture as changed, so the next save encodes it again (for callers that change
    // the surface through Bitmap()).
    void Changed() { modified_ = true; }
    bool Modified() const { return modified_; }

    // Header values. Names and comments are kept as the file's raw bytes (Shift-JIS in practice).
    uint8_t ColorMode() const { return colorMode_; }  // 0: 16 colours, 1: 256 colours
    const std::string& UserName() const { return userName_; }
    const std::string& Comment() const { return comment_; }
    bool Line200() const { return line200_ != 0; }
    uint16_t OriginX() const { return originX_; }
    uint16_t OriginY() const { return originY_; }
    void SetUserName(const std::string& name);
    void SetComment(const std::string& comment);
    void SetLine200(bool on);
    void SetOrigin(uint16_t x, uint16_t y);

  private:
    void Encode();
    std::shared_ptr<TMagData> Data() const { return std::static_pointer_cast<TMagData>(holder_); }

    uint8_t colorMode_ = 0;
    std::string userName_;
    std::string comment_;
    uint8_t line200_ = 0;
    uint16_t originY_ = 0;
    uint16_t originX_ = 0;
    bool modified_ = false;
};

// Writes `picture` as a 256-colour MAG file (reduced to 256 colours on a copy first). Answers
// false, leaving any existing file as it was, on any failure, with the reason in `message` when one
// is given. `picture` itself is never changed.
bool SaveMag(const TBitmap& picture, const std::string& fileName, std::string* message = nullptr);

}  // namespace tilvo
