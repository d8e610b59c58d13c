// Save As and Save: the writer behind each Save As type and each extension type id.
#include "SaveDispatch.h"

#include "DcrImageA.h"
#include "ExifJpeg.h"
#include "FileTypes.h"
#include "GIFImage.h"
#include "JPEGImage.h"
#include "Mag.h"
#include "PCXImage.h"
#include "PNGImage.h"
#include "PNMImage.h"
#include "SGIImage.h"
#include "TGAImage.h"
#include "WebPImage.h"

namespace tilvo {

bool SaveAsByType(TBitmap& picture, const std::string& fileName, int32_t saveAsTypeId,
                  const TSaveOptions& o, const std::string& exifSource, const TExifProbe& probe,
                  std::string* why) {
    switch (saveAsTypeId & 0x7F) {
        case 1:  // JPEG, with the source's Exif block when it has one and the user asked for it
            return SaveJpegWithExif(
                picture, exifSource, fileName, o.JPEGQuality, o.JPEGSubsampling & 0xFF,
                probe.CanUpdateThumbnail && o.ExifThumbUpdate, probe.CanCopy && o.ExifCopy,
                o.JPEGGrayscale, o.JPEGProgressive, o.ExifRemovePersonalData);
        case 2:
            return SavePng(picture, fileName, o.PNGInterlaced, o.PNGGrayscale,
                           o.PNGReduceTo256Color, o.PNGTransparent);
        case 3:  // the surface's own file save: success when it returns, failures throw
            picture.SaveToFile(fileName);
            return true;
        case 4:
            return SaveGif(picture, fileName, o.GIFTransparent);
        case 5:
            return SaveTarga(picture, fileName, o.TGARLECompression, why);
        case 6:
            return SaveSgi(picture, fileName, o.SGIRLECompression, why);
        case 7:
            return SavePcx(picture, fileName, why);
        case 8:
            return SavePnm(picture, fileName, "PPM", why);
        case 9:
            return SavePnm(picture, fileName, "PGM", why);
        case 10:
            return SavePnm(picture, fileName, "PBM", why);
        case 11:
            return SaveMag(picture, fileName, why);
        case 12:  // never offered by the save dialog's list
            return SaveDcr(picture, fileName, o.DCRResourceName);
        case sftWEBP:
            return SaveWebP(picture, fileName, o.WebPQuality, o.WebPLossless);
        default:
            // no other type has a writer
            return false;
    }
}

bool SaveByExtension(TBitmap& picture, const std::string& fileName, const TSaveOptions& o,
                     std::string* why) {
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
        case 7:
            return SaveMag(picture, fileName, why);
        case 9:
            return SavePnm(picture, fileName, "PPM", why);
        case 10:
            return SavePnm(picture, fileName, "PGM", why);
        case 11:
            return SavePnm(picture, fileName, "PBM", why);
        case 12:
            return SaveTarga(picture, fileName, o.TGARLECompression, why);
        case 13:
            return SaveSgi(picture, fileName, o.SGIRLECompression, why);
        case 14:
            return SavePcx(picture, fileName, why);
        case 22:
            return SaveDcr(picture, fileName, o.DCRResourceName);
        case ftWEBP:
            return SaveWebP(picture, fileName, o.WebPQuality, o.WebPLossless);
        default:
            // TIFF, PIC, Photo-CD, Photoshop, PaintShop Pro, ILBM, raw, icons: read only.
            return false;
    }
}

}  // namespace tilvo
