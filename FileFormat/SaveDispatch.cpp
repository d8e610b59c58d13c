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
#include "ProgressScope.h"
#include "SGIImage.h"
#include "Stream.h"
#include "TGAImage.h"
#include "WebPImage.h"

namespace tilvo {

namespace {

bool SaveAsByTypeNow(TBitmap& picture, const std::string& fileName, int32_t saveAsTypeId,
                     const TSaveOptions& o, const std::string& exifSource, const TExifProbe& probe,
                     std::string* why) {
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

bool SaveByExtensionNow(TBitmap& picture, const std::string& fileName, const TSaveOptions& o,
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

// Runs a writer under the listener. A cancelled writer answers false with "cancelled" (some
// writers catch every failure themselves, so the listener's own answer is what tells).
template <class Write>
bool WithProgress(const TProgressFn& listener, std::string* why, Write&& write) {
    if (!listener) return write();
    bool stopped = false;
    bool ok = false;
    int32_t shown = -1;
    try {
        TProgressScope scope([&](int32_t percent) {
            shown = percent;
            if (!listener(percent)) stopped = true;
            return !stopped;
        });
        ok = write();
    } catch (const ECancelled&) {
        stopped = true;
    }
    if (stopped) {
        if (why) *why = ECancelled().what();
        return false;
    }
    // The file is written: the listener sees the end even where the last step was short of it.
    if (ok && shown < 100) listener(100);
    return ok;
}

}  // namespace

bool SaveAsByType(TBitmap& picture, const std::string& fileName, int32_t saveAsTypeId,
                  const TSaveOptions& options, const std::string& exifSource,
                  const TExifProbe& probe, std::string* why, const TProgressFn& progress) {
    return WithProgress(progress, why, [&] {
        return SaveAsByTypeNow(picture, fileName, saveAsTypeId, options, exifSource, probe, why);
    });
}

bool SaveByExtension(TBitmap& picture, const std::string& fileName, const TSaveOptions& options,
                     std::string* why, const TProgressFn& progress) {
    return WithProgress(progress, why,
                        [&] { return SaveByExtensionNow(picture, fileName, options, why); });
}

TFileType4Save SaveAsTypeForExtensionType(uint8_t extensionTypeId) {
    switch (extensionTypeId) {
        case ftJPEG:
            return sftJPG;
        case ftPNG:
            return sftPNG;
        case ftBMP:
            return sftBMP;
        case ftGIF:
            return sftGIF;
        case ftTGA:
            return sftTGA;
        case ftSGI:
            return sftSGI;
        case ftPCX:
            return sftPCX;
        case ftPPM:
            return sftPPM;
        case ftPGM:
            return sftPGM;
        case ftPBM:
            return sftPBM;
        case ftMAG:
            return sftMAG;
        case ftWEBP:
            return sftWEBP;
        default:
            // The component resource writer needs a resource name the Save As list never asks
            // for; the other types are read only.
            return sftUNKNOWN;
    }
}

TFileType4Save SaveAsTypeForFileName(std::string_view fileName) {
    // Only the name part has an extension: a dot in a folder name is no extension.
    const size_t slash = fileName.find_last_of('/');
    const std::string_view name =
        slash == std::string_view::npos ? fileName : fileName.substr(slash + 1);
    if (name.find('.') == std::string_view::npos) return sftUNKNOWN;
    return SaveAsTypeForExtensionType(FileTypeFromExtension(name));
}

TSaveAsTarget ResolveSaveAsTarget(const std::string& confirmedName, TFileType4Save selected) {
    const TFileType4Save named = SaveAsTypeForFileName(confirmedName);
    if (named != sftUNKNOWN) return {confirmedName, named};
    for (const TKorvaneFileTypeInfo& row : FileTypeInfos()) {
        if (row.SaveAsTypeId != selected) continue;
        std::string extension = row.FileMask;
        extension.erase(0, extension.find_last_of('.'));
        if (!confirmedName.empty() && confirmedName.back() == '.') extension.erase(0, 1);
        return {confirmedName + extension, selected};
    }
    return {confirmedName, sftUNKNOWN};
}

std::string WriteObstacle(const std::string& fileName) {
    try {
        TSafeFileStream probe(fileName);  // never committed: the target stays as it was
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

}  // namespace tilvo
