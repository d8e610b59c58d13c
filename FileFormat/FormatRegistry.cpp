// The table of picture formats registered at start-up, in registration order.
#include <array>
#include <cstring>
#include <vector>

#include "AVIImage.h"
#include "BMPImage.h"
#include "DcrImageA.h"
#include "GIFImage.h"
#include "Graphic.h"
#include "HEIFImage.h"
#include "IconImageA.h"
#include "IconImageB.h"
#include "ILBMImage.h"
#include "JPEGImage.h"
#include "Mag.h"
#include "MPEGImage.h"
#include "PCDImage.h"
#include "PCXImage.h"
#include "PNGImage.h"
#include "PNMImage.h"
#include "PSDImage.h"
#include "PSPImage.h"
#include "RawImage.h"
#include "SGIImage.h"
#include "talTIFFImage.h"
#include "TGAImage.h"
#include "WebPImage.h"
#include "YPICImage.h"

namespace tilvo {

namespace {

struct TExtensionName {
    const char* Extension = nullptr;
    const char* Description = nullptr;  // nullptr: the extension itself
};

// One format: how to make its graphic, the extensions it registers, in order, and the test of
// its signature (nullptr where the format has none to depend on).
struct TFormatRow {
    TGraphicFactory Create;
    std::array<TExtensionName, 4> Extensions;  // unused slots have no extension
    TSignatureTest Sniff = nullptr;
};

template <class T>
std::unique_ptr<TGraphic> New() {
    return std::make_unique<T>();
}

// ---- signatures: each asks for what the format's reader requires of the first bytes ----

bool Has(const uint8_t* head, size_t size, size_t at, const void* bytes, size_t n) {
    return size >= at + n && std::memcmp(head + at, bytes, n) == 0;
}

uint32_t U32LE(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool IsBitmap(const uint8_t* head, size_t size) {
    // "BM" alone is two letters of text: the info header's size must be one that exists.
    if (size < 18 || !Has(head, size, 0, "BM", 2)) return false;
    const uint32_t infoSize = U32LE(head + 14);
    for (uint32_t known : {12u, 16u, 40u, 52u, 56u, 64u, 108u, 124u})
        if (infoSize == known) return true;
    return false;
}

bool IsJpeg(const uint8_t* head, size_t size) {
    // The reader also takes a stream after a 128-byte prefix.
    static const uint8_t soi[3] = {0xFF, 0xD8, 0xFF};
    return Has(head, size, 0, soi, 3) || Has(head, size, 128, soi, 3);
}

bool IsPng(const uint8_t* head, size_t size) {
    static const uint8_t sig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return Has(head, size, 0, sig, 8);
}

bool IsGif(const uint8_t* head, size_t size) {
    return Has(head, size, 0, "GIF87a", 6) || Has(head, size, 0, "GIF89a", 6);
}

bool IsTiff(const uint8_t* head, size_t size) {
    return Has(head, size, 0, "II\x2A\0", 4) || Has(head, size, 0, "MM\0\x2A", 4);
}

bool IsPnm(const uint8_t* head, size_t size) {
    if (size < 3 || head[0] != 'P' || head[1] < '1' || head[1] > '6') return false;
    const uint8_t c = head[2];
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f' || c == '#';
}

bool IsPcx(const uint8_t* head, size_t size) {
    // One byte of 10 would be any text that starts with a line feed: the version, encoding and
    // bit depth must be ones that exist.
    if (size < 4 || head[0] != 10) return false;
    const uint8_t version = head[1], encoding = head[2], bits = head[3];
    return (version == 0 || (version >= 2 && version <= 5)) && encoding <= 1 &&
           (bits == 1 || bits == 2 || bits == 4 || bits == 8);
}

bool IsPsd(const uint8_t* head, size_t size) {
    return Has(head, size, 0, "8BPS\0\x01", 6);
}

bool IsPsp(const uint8_t* head, size_t size) {
    return Has(head, size, 0, "Paint Shop Pro Image File\n\x1a\0\0\0\0", 32);
}

bool IsSgi(const uint8_t* head, size_t size) {
    return size >= 4 && head[0] == 0x01 && head[1] == 0xDA && head[2] <= 1 &&
           (head[3] == 1 || head[3] == 2);
}

bool IsIlbm(const uint8_t* head, size_t size) {
    return Has(head, size, 0, "FORM", 4) &&
           (Has(head, size, 8, "ILBM", 4) || Has(head, size, 8, "PBM ", 4));
}

bool IsMag(const uint8_t* head, size_t size) {
    return Has(head, size, 0, "MAKI02  ", 8);
}

bool IsPic(const uint8_t* head, size_t size) {
    return Has(head, size, 0, "PIC", 3);
}

bool IsMpeg(const uint8_t* head, size_t size) {
    // A program stream's pack header or an elementary stream's sequence header.
    return Has(head, size, 0, "\0\0\x01\xBA", 4) || Has(head, size, 0, "\0\0\x01\xB3", 4);
}

bool IsAvi(const uint8_t* head, size_t size) {
    return Has(head, size, 0, "RIFF", 4) && Has(head, size, 8, "AVI ", 4);
}

bool IsResource(const uint8_t* head, size_t size) {
    // The empty entry every 32-bit resource file starts with.
    static const uint8_t empty[32] = {0,    0,    0, 0, 0x20, 0,    0, 0,
                                      0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0, 0};
    return size > sizeof empty && std::memcmp(head, empty, sizeof empty) == 0;
}

bool IsIcon(const uint8_t* head, size_t size) {
    // Reserved 0, type 1 (icon) or 2 (cursor), at least one image, the first entry's reserved
    // byte 0 and its image after the directory.
    if (size < 22 || head[0] || head[1] || (head[2] != 1 && head[2] != 2) || head[3]) return false;
    const uint32_t count = uint32_t(head[4]) | uint32_t(head[5]) << 8;
    return count > 0 && head[9] == 0 && U32LE(head + 18) >= 6 + 16 * count;
}

bool IsHeif(const uint8_t* head, size_t size) {
    return size >= 12 && LooksLikeHeif(std::vector<uint8_t>(head, head + size));
}

bool IsWebP(const uint8_t* head, size_t size) {
    return Has(head, size, 0, "RIFF", 4) && Has(head, size, 8, "WEBP", 4);
}

// The platform's own bitmap entry comes first; the later a row, the more it wins a shared
// extension. A new format is one row here. Targa, Photo CD and raw pixels carry no signature to
// depend on: only their extension chooses them.
const TFormatRow kFormats[] = {
    {New<TBMPImage>, {{{"bmp", "Bitmaps"}, {"dib", "Bitmaps"}, {"rle", "Bitmaps"}}}, IsBitmap},
    {New<TJPEGImage>,
     {{{"jpg", "JPEG Image File"}, {"jpeg", "JPEG Image File"}, {"jpe", "JPEG Image File"}}},
     IsJpeg},
    {New<TPNGImage>, {{{"PNG", "PNG Format"}}}, IsPng},
    {New<TGIFImage>, {{{"GIF", "GIF Image"}}}, IsGif},
    {New<TtalTIFFImage>, {{{"tiff", "tiff"}, {"tif", "tiff"}}}, IsTiff},
    {New<TPNMImage>, {{{"ppm"}, {"pgm"}, {"pbm"}}}, IsPnm},
    {New<TTGAImage>, {{{"tga", "targa"}, {"vst", "targa"}, {"icb", "targa"}, {"vda", "targa"}}}},
    {New<TPCXImage>, {{{"pcx", "ZSoft Paintbrush"}}}, IsPcx},
    {New<TPSDImage>, {{{"psd", "PhotoShop"}, {"pdd", "PhotoShop"}}}, IsPsd},
    {New<TPSPImage>, {{{"psp", "psp"}, {"jsl", "psp"}, {"pfr", "psp"}, {"tub", "psp"}}}, IsPsp},
    {New<TPCDImage>, {{{"pcd", "Kodak photo-cd"}}}},
    {New<TSGIImage>, {{{"sgi", "SGI"}, {"rgb", "SGI"}, {"rgba", "SGI"}}}, IsSgi},
    {New<TILBMImage>, {{{"iff", "iff"}, {"lbm", "ilbm"}}}, IsIlbm},
    {New<TMAGImage>, {{{"MAG", "MAki chan Graphic format"}}}, IsMag},
    {New<TYPICImage>, {{{"pic", "pic"}}}, IsPic},
    {New<TRawImage>, {{{"raw", "raw"}}}},
    {New<TMPEGImage>, {{{"mpg"}, {"mpeg"}}}, IsMpeg},
    {New<TAVIImage>, {{{"avi", "avi"}}}, IsAvi},
    // The icon classes come last. TIconImageA's "cur" is shadowed by TIconImageB's below; it is
    // the reader the resource class uses for icon and cursor resources.
    {New<TIconImageA>, {{{"cur", "Cursor"}}}},
    {New<TDcrImageA>, {{{"dcr", "Delphi resource"}, {"res", "Win32 resource"}}}, IsResource},
    {New<TIconImageB>, {{{"ico", "Icon"}, {"cur", "Cursor"}}}, IsIcon},
    {New<THEIFImage>,
     {{{"heic", "HEIF Image"}, {"heif", "HEIF Image"}, {"avif", "AVIF Image"}}},
     IsHeif},
    {New<TWebPImage>, {{{"webp", "WebP Image"}}}, IsWebP},
};

}  // namespace

void RegisterAllFormats() {
    UnregisterAllFormats();
    TPictureFormats& formats = PictureFormats();
    for (const TFormatRow& row : kFormats) {
        const std::string className = row.Create()->ClassName();
        for (const TExtensionName& e : row.Extensions)
            if (e.Extension)
                formats.Register(e.Extension, e.Description ? e.Description : e.Extension,
                                 className, row.Create, row.Sniff);
    }
}

void UnregisterAllFormats() {
    TPictureFormats& formats = PictureFormats();
    for (const TFormatRow& row : kFormats) formats.UnregisterClass(row.Create()->ClassName());
}

}  // namespace tilvo
