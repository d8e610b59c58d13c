// TIFF files (.tif, .tiff): TtalTIFFImage reads the first image of a file. It parses the first
// image directory itself into a list of named tags (kept per load), decodes old-style JPEG files
// with TJPEGImage, and everything else through libtiff over the bytes it holds, either with the
// whole-image RGBA reader or row by row. The Orientation tag is applied, so every picture opens
// upright. Read-only: SaveToStream writes back the file as loaded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Graphic.h"

namespace tilvo {

// One entry of the first image directory, or the "root" that holds them all.
struct TTiffTagNode {
    std::string Name;      // "ImageWidth", or "TagCode=" and the code in hexadecimal
    std::string TypeName;  // "SHORT", "LONG", …; "unknown" for other type codes
    uint16_t Code = 0;
    uint16_t Type = 0;
    uint32_t Count = 0;
    uint32_t ElementSize = 0;  // 1, 2, 4 or 8 bytes
    bool Outside = false;      // the values lie elsewhere in the file
    // Values that fit in the entry: the last element in host byte order. Otherwise the file
    // offset of the values.
    uint32_t Value = 0;
    // For "StripOffsets" and "BitsPerSample" stored outside the entry, their first element;
    // -1 otherwise.
    int64_t FirstValue = -1;
    std::vector<TTiffTagNode> Children;

    // The child of that name, nullptr when there is none.
    const TTiffTagNode* Find(std::string_view name) const;
};

// The name of a tag code and of a field type code.
std::string TiffTagName(uint16_t code);
std::string TiffTypeName(uint16_t type);

// The parsed first directory of a TIFF file: the tag list, the byte order and the 256-entry
// colour map (black unless the file has a "ColorMap").
struct TTiffDirectory {
    TTiffTagNode Root;
    bool BigEndian = false;
    std::vector<TPaletteEntry> ColourMap;
};

// Parses the header and the first directory. Throws EInvalidGraphic "Byte order error",
// "TIFF version error" or "TIFF file truncated".
TTiffDirectory ParseTiffDirectory(const uint8_t* data, size_t size);

class TTIFFData : public TSharedImage {};

class TtalTIFFImage : public TGraphic {
  public:
    TtalTIFFImage() : TGraphic(std::make_shared<TTIFFData>()) {}
    const char* ClassName() const override { return "TtalTIFFImage"; }
    // Reads the first image of the whole stream (from position 0) and keeps a copy of the file.
    // The picture is left as 1, 4 or 8 bits with a palette (one-sample strip files), 24 bits
    // (old-style JPEG, colour strip files, or any file with an Orientation that turns it) or
    // 32 bits (tiled, YCbCr, deeper than 8 bits per sample, four samples). An alpha channel is
    // composited over white. A file whose strips end early opens at full size with the rest
    // black, as long as one row decodes. On failure the graphic keeps what it had.
    void LoadFromStream(TStream& stream) override;

    // The bit depth the file describes (48 for 16-bit RGB); 0 before the first load.
    int BitsPerPixel() const { return bitsPerPixel_; }
    // The first directory's tags of the last load.
    const TTiffTagNode& Tags() const { return tags_; }

  private:
    int bitsPerPixel_ = 0;
    TTiffTagNode tags_;
};

// Decodes the first image of a TIFF file into `picture` (see TtalTIFFImage::LoadFromStream) and
// answers its bit depth; `directory` receives the parsed first directory. On failure neither
// changes.
int ReadTiffFile(const uint8_t* data, size_t size, TBitmap& picture, TTiffDirectory& directory);

}  // namespace tilvo
