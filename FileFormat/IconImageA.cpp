// Reading icon and cursor images.
#include "IconImageA.h"

#include <cstring>
#include <vector>

#include "BMPImage.h"
#include "ByteReader.h"
#include "PNGImage.h"

namespace tilvo {

namespace {

constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr size_t kDirectorySize = 6;
constexpr size_t kEntrySize = 16;

void PutS32(uint8_t* p, int32_t v) {
    const uint32_t u = uint32_t(v);
    p[0] = uint8_t(u);
    p[1] = uint8_t(u >> 8);
    p[2] = uint8_t(u >> 16);
    p[3] = uint8_t(u >> 24);
}

}  // namespace

void ReadIconImage(const uint8_t* data, size_t size, int32_t entryHeight, TBitmap& picture) {
    if (size >= sizeof kPngSignature && std::memcmp(data, kPngSignature, 8) == 0) {
        TPNGImage png;
        TMemoryStream stream(std::vector<uint8_t>(data, data + size));
        png.LoadFromStream(stream);
        picture.Swap(png.Bitmap());
        return;
    }

    TByteReader r(data, size, "Icon image truncated");
    const uint32_t headerSize = r.U32LE();
    // Icons carry the 40-byte information header (or a later, longer one); the header's height
    // field is what has to be told about the mask rows.
    if (headerSize < 40) throw EInvalidGraphic("Invalid icon image header");
    r.S32LE();  // width, checked by the bitmap reader
    const int32_t headerHeight = r.S32LE();
    r.U16LE();  // planes
    if (r.U16LE() == 0) throw EInvalidGraphic("Zero BitCount");
    if (headerHeight <= 0) throw EInvalidGraphic("Invalid icon image header");

    int32_t colourRows = headerHeight / 2;
    if (entryHeight > 0 &&
        (headerHeight == 2 * int64_t(entryHeight) || headerHeight == entryHeight))
        colourRows = entryHeight;
    if (colourRows <= 0) throw EInvalidGraphic("Invalid icon image header");

    // The bitmap reader sees a header that counts the colour rows only; the mask rows after them
    // are never read.
    std::vector<uint8_t> image(data, data + size);
    PutS32(image.data() + 8, colourRows);
    ReadPackedBitmap(image.data(), image.size(), picture);
}

TIconEntry ReadFirstIconEntry(const uint8_t* data, size_t size) {
    if (size < kDirectorySize) throw EInvalidGraphic("Signature err");
    TByteReader r(data, size, "Icon directory truncated");
    if (r.U16LE() != 0) throw EInvalidGraphic("Reserved error");
    const uint16_t type = r.U16LE();
    if (type != 1 && type != 2) throw EInvalidGraphic("Resource type error");
    const uint16_t count = r.U16LE();
    if (count == 0) throw EInvalidGraphic("The icon holds no image");

    // Every image must lie inside the file: one that does not tells of a cut file, even when the
    // first image is whole.
    TIconEntry first;
    for (uint16_t i = 0; i < count; ++i) {
        TIconEntry e;
        const uint8_t width = r.U8();
        const uint8_t height = r.U8();
        e.Width = width == 0 ? 256 : width;
        e.Height = height == 0 ? 256 : height;
        r.Skip(6);  // colour count, reserved, planes or hot spot, bit count or hot spot
        e.BytesInRes = r.U32LE();
        e.ImageOffset = r.U32LE();
        if (e.ImageOffset < kDirectorySize + kEntrySize ||
            uint64_t(e.ImageOffset) + e.BytesInRes > size)
            throw EInvalidGraphic("Icon image outside the file");
        if (i == 0) first = e;
    }
    return first;
}

void TIconImageA::LoadFromStream(TStream& stream) {
    const std::vector<uint8_t> data = stream.ReadAll();
    const TIconEntry e = ReadFirstIconEntry(data.data(), data.size());
    ReadIconImage(data.data() + e.ImageOffset, e.BytesInRes, e.Height, bitmap_);
}

void TIconImageA::LoadImageData(const uint8_t* data, size_t size) {
    ReadIconImage(data, size, 0, bitmap_);
}

void TIconImageA::SaveToStream(TStream&) {
    throw EInvalidGraphic("Icons and cursors are not written");
}

}  // namespace tilvo
