// The table of picture formats registered at start-up, in registration order.
#include <array>

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

// One format: how to make its graphic and the extensions it registers, in order.
struct TFormatRow {
    TGraphicFactory Create;
    std::array<TExtensionName, 4> Extensions;  // unused slots have no extension
};

template <class T>
std::unique_ptr<TGraphic> New() {
    return std::make_unique<T>();
}

// The platform's own bitmap entry comes first; the later a row, the more it wins a shared
// extension. A new format is one row here.
const TFormatRow kFormats[] = {
    {New<TBMPImage>, {{{"bmp", "Bitmaps"}, {"dib", "Bitmaps"}, {"rle", "Bitmaps"}}}},
    {New<TJPEGImage>,
     {{{"jpg", "JPEG Image File"}, {"jpeg", "JPEG Image File"}, {"jpe", "JPEG Image File"}}}},
    {New<TPNGImage>, {{{"PNG", "PNG Format"}}}},
    {New<TGIFImage>, {{{"GIF", "GIF Image"}}}},
    {New<TtalTIFFImage>, {{{"tiff", "tiff"}, {"tif", "tiff"}}}},
    {New<TPNMImage>, {{{"ppm"}, {"pgm"}, {"pbm"}}}},
    {New<TTGAImage>, {{{"tga", "targa"}, {"vst", "targa"}, {"icb", "targa"}, {"vda", "targa"}}}},
    {New<TPCXImage>, {{{"pcx", "ZSoft Paintbrush"}}}},
    {New<TPSDImage>, {{{"psd", "PhotoShop"}, {"pdd", "PhotoShop"}}}},
    {New<TPSPImage>, {{{"psp", "psp"}, {"jsl", "psp"}, {"pfr", "psp"}, {"tub", "psp"}}}},
    {New<TPCDImage>, {{{"pcd", "Kodak photo-cd"}}}},
    {New<TSGIImage>, {{{"sgi", "SGI"}, {"rgb", "SGI"}, {"rgba", "SGI"}}}},
    {New<TILBMImage>, {{{"iff", "iff"}, {"lbm", "ilbm"}}}},
    {New<TMAGImage>, {{{"MAG", "MAki chan Graphic format"}}}},
    {New<TYPICImage>, {{{"pic", "pic"}}}},
    {New<TRawImage>, {{{"raw", "raw"}}}},
    {New<TMPEGImage>, {{{"mpg"}, {"mpeg"}}}},
    {New<TAVIImage>, {{{"avi", "avi"}}}},
    // The icon classes come last. TIconImageA's "cur" is shadowed by TIconImageB's below; it is
    // the reader the resource class uses for icon and cursor resources.
    {New<TIconImageA>, {{{"cur", "Cursor"}}}},
    {New<TDcrImageA>, {{{"dcr", "Delphi resource"}, {"res", "Win32 resource"}}}},
    {New<TIconImageB>, {{{"ico", "Icon"}, {"cur", "Cursor"}}}},
    {New<THEIFImage>, {{{"heic", "HEIF Image"}, {"heif", "HEIF Image"}, {"avif", "AVIF Image"}}}},
    {New<TWebPImage>, {{{"webp", "WebP Image"}}}},
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
                                 className, row.Create);
    }
}

void UnregisterAllFormats() {
    TPictureFormats& formats = PictureFormats();
    for (const TFormatRow& row : kFormats) formats.UnregisterClass(row.Create()->ClassName());
}

}  // namespace tilvo
