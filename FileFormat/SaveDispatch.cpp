// Save As and Save: the writer behind each Save As type and each extension type id.
#include "SaveDispatch.h"

#include "ExifJpeg.h"
#include "FileTypes.h"
#include "GIFImage.h"
#include "JPEGImage.h"
#include "PNGImage.h"
#include "WebPImage.h"

namespace tilvo {

bool SaveAsByType(TBitmap& picture, const std::string& fileName, int32_t saveAsTypeId,
                  const TSaveOptions& o, const std::string& exifSource, const TExifProbe& probe) {
    switch (saveAsTypeId & 0x7F) {
        case 1:  // JPEG, with the source's Exif block when it has one and the user asked for it
            return SaveJpegWithExif(
                picture, exifSource, fileName, o.JPEGQuality, o.JPEGSubsampling & 0xFF,
                probe.CanUpdateThumbnail && o.ExifThumbUpdate, probe.CanCopy && o.ExifCopy,
                o.JPEGGrayscale, o.JPEGProgressive);
        case 2:
            return SavePng(picture, fileName, o.PNGInterlaced, o.PNGGrayscale,
                           o.PNGReduceTo256Color, o.PNGTransparent);
        case 3:  // the surface's own file save: success when it returns, failures throw
            picture.SaveToFile(fileName);
            return true;
        case 4:
            return SaveGif(picture, fileName, o.GIFTransparent);
        case sftWEBP:
            return SaveWebP(picture, fileName, o.WebPQuality, o.WebPLossless);
        default:
            // Targa, SGI, PCX, PNM, MAG and the component resource have no writer yet.
            return false;
    }
}

bool SaveByExtension(TBitmap& picture, const std::string& fileName, const TSaveOptions& o) {
    switch (FileTypeFromExtension(fileName) & 0x7F) {
        case 2:  // plain JPEG: no Exif handling, no subsampling choice
            return WriteJpegFile(picture, fileName, o.JPEGProgressive, o.JPEGQuality,
                                 o.JPEGGrayscale);
        case 3:
            picture.SaveToFile(fileName);
            return true;
        case 4:
            return SavePng(picture, fileName, o.PNGInterlaced, o.PNGGrayscale,
                           o.PNGReduceTo256Color, o.PNGTransparent);
        case 5:
            return SaveGif(picture, fileName, o.GIFTransparent);
        case ftWEBP:
            return SaveWebP(picture, fileName, o.WebPQuality, o.WebPLossless);
        default:
            // TIFF, PIC, Photo-CD, Photoshop, PaintShop Pro, ILBM, raw, icons: read only; MAG,
            // PNM, Targa, SGI, PCX and the component resource have no writer yet.
            return false;
    }
}

}  // namespace tilvo
