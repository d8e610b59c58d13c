// The table of picture formats registered at start-up, in registration order.
#include <array>

#include "AVIImage.h"
#include "BMPImage.h"
#include "GIFImage.h"
#include "Graphic.h"
#include "JPEGImage.h"
#include "MPEGImage.h"
#include "PNGImage.h"
#include "PSDImage.h"
#include "PSPImage.h"

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
    {New<TBMPImage>, {{{"bmp", "Bitmaps"}}}},
    {New<TJPEGImage>,
     {{{"jpg", "JPEG Image File"}, {"jpeg", "JPEG Image File"}, {"jpe", "JPEG Image File"}}}},
    {New<TPNGImage>, {{{"PNG", "PNG Format"}}}},
    {New<TGIFImage>, {{{"GIF", "GIF Image"}}}},
    {New<TPSDImage>, {{{"psd", "PhotoShop"}}}},
    {New<TPSPImage>, {{{"psp", "psp"}, {"jsl", "psp"}, {"pfr", "psp"}, {"tub", "psp"}}}},
    {New<TMPEGImage>, {{{"mpg"}, {"mpeg"}}}},
    {New<TAVIImage>, {{{"avi", "avi"}}}},
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
