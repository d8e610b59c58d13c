// Save As and Save: the writer behind each Save As type and each extension type id.
#include "SaveDispatch.h"

#include <cstring>

#include "DcrImageA.h"
#include "ExifJpeg.h"
#include "FileTypes.h"
#include "GIFImage.h"
#include "JPEGImage.h"
#include "JpegLossless.h"
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

// The save on the source's coefficients for the whole picture, or for the band of it whose
// original the caller kept (the same band of the edited picture goes along).
bool KeepUntouchedBand(const TBitmap& picture, const TSaveOptions& o,
                       const TKeepUntouchedSource& keep, TMemoryStream& jpeg, std::string& why) {
    const TBitmap& original = *keep.Original;
    if (keep.Top == 0 && original.Height() == picture.Height())
        return SaveJpegKeepingUntouched(*keep.Bytes, picture, original, 0, o.JPEGProgressive, jpeg,
                                        &why);
    if (original.Width() != picture.Width() || keep.Top < 0 ||
        int64_t(keep.Top) + original.Height() > picture.Height() ||
        picture.PixelFormat() != pf24bit) {
        why = "the edited picture does not match the one opened";
        return false;
    }
    TBitmap band(picture.Width(), original.Height());
    for (int32_t y = 0; y < original.Height(); ++y)
        std::memcpy(band.ScanLine(y), picture.ScanLine(keep.Top + y), size_t(picture.Width()) * 3);
    return SaveJpegKeepingUntouched(*keep.Bytes, band, original, keep.Top, o.JPEGProgressive, jpeg,
                                    &why);
}

// "Keep untouched areas exactly": true when `jpeg` holds the picture saved on the source's
// coefficients; false when the option is off or the normal encode has to run (keep->Note says
// why).
bool KeepUntouched(const TBitmap& picture, const TSaveOptions& o, TKeepUntouchedSource* keep,
                   TMemoryStream& jpeg) {
    if (keep != nullptr) keep->Note.clear();
    if (!o.JPEGKeepUntouched) return false;
    std::string why;
    if (o.JPEGGrayscale) {
        why = "grayscale output was asked for";
    } else if (keep == nullptr || keep->Bytes == nullptr || keep->Bytes->empty() ||
               keep->Original == nullptr) {
        why = "the picture was not opened from a JPEG file";
    } else {
        // The result is made in memory, so any libjpeg failure comes from the source's own stream
        // (tables redefined between scans, say): the normal encode runs instead.
        try {
            if (KeepUntouchedBand(picture, o, *keep, jpeg, why)) return true;
        } catch (const EJPEG& e) {
            why = std::string("the source JPEG cannot be used (") + e.what() + ")";
        }
        jpeg.Clear();
    }
    if (keep != nullptr) keep->Note = "Untouched areas could not be kept exactly: " + why;
    return false;
}

bool SaveAsByTypeNow(TBitmap& picture, const std::string& fileName, int32_t saveAsTypeId,
                     const TSaveOptions& o, const std::string& exifSource, const TExifProbe& probe,
                     std::string* why, TKeepUntouchedSource* keep) {
    switch (saveAsTypeId & 0x7F) {
        case 1:  // JPEG, with the source's Exif block when it has one and the user asked for it
            if (TMemoryStream jpeg; KeepUntouched(picture, o, keep, jpeg))
                return SaveEncodedJpegWithExif(picture, jpeg, exifSource, fileName,
                                               probe.CanUpdateThumbnail && o.ExifThumbUpdate,
                                               probe.CanCopy && o.ExifCopy,
                                               o.ExifRemovePersonalData);
            return SaveJpegWithExif(
                picture, exifSource, fileName, o.JPEGQuality, o.JPEGSubsampling & 0xFF,
                probe.CanUpdateThumbnail && o.ExifThumbUpdate, probe.CanCopy && o.ExifCopy,
                o.JPEGGrayscale, o.JPEGProgressive, o.ExifRemovePersonalData);
        case 2:
            return SavePng(picture, fileName, o.PNGInterlaced, o.PNGGrayscale,
                           o.PNGReduceTo256Color, o.PNGTransparent, why);
        case 3:  // the surface's own file save: success when it returns, failures throw
            picture.SaveToFile(fileName);
            return true;
        case 4:
            return SaveGif(picture, fileName, o.GIFTransparent, why);
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
            return SaveDcr(picture, fileName, o.DCRResourceName, why);
        case sftWEBP:
            return SaveWebP(picture, fileName, o.WebPQuality, o.WebPLossless, why);
        default:
            // no other type has a writer
            return false;
    }
}

bool SaveByExtensionNow(TBitmap& picture, const std::string& fileName, const TSaveOptions& o,
                        std::string* why, TKeepUntouchedSource* keep) {
    switch (FileTypeFromExtension(fileName) & 0x7F) {
        case 2:  // plain JPEG: no Exif handling, no subsampling choice
            if (TMemoryStream jpeg; KeepUntouched(picture, o, keep, jpeg))
                return SaveEncodedJpegWithExif(picture, jpeg, std::string(), fileName, false,
                                               false);
            return WriteJpegFile(picture, fileName, o.JPEGProgressive, o.JPEGQuality,
                                 o.JPEGGrayscale);
        case 3:
            picture.SaveToFile(fileName);
            return true;
        case 4:
            return SavePng(picture, fileName, o.PNGInterlaced, o.PNGGrayscale,
                           o.PNGReduceTo256Color, o.PNGTransparent, why);
        case 5:
            return SaveGif(picture, fileName, o.GIFTransparent, why);
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
            return SaveDcr(picture, fileName, o.DCRResourceName, why);
        case ftWEBP:
            return SaveWebP(picture, fileName, o.WebPQuality, o.WebPLossless, why);
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
                  const TExifProbe& probe, std::string* why, const TProgressFn& progress,
                  TKeepUntouchedSource* keep) {
    const bool saved = WithProgress(progress, why, [&] {
        return SaveAsByTypeNow(picture, fileName, saveAsTypeId, options, exifSource, probe, why,
                               keep);
    });
    // A writer that failed without a word: the system's reason, where the target is the cause.
    if (!saved && why != nullptr && why->empty()) *why = WriteObstacle(fileName);
    return saved;
}

bool SaveByExtension(TBitmap& picture, const std::string& fileName, const TSaveOptions& options,
                     std::string* why, const TProgressFn& progress, TKeepUntouchedSource* keep) {
    const bool saved = WithProgress(
        progress, why, [&] { return SaveByExtensionNow(picture, fileName, options, why, keep); });
    if (!saved && why != nullptr && why->empty()) *why = WriteObstacle(fileName);
    return saved;
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
