// Which writer Save As (by the chosen Save As type) and Save (by the file's extension type id)
// call, with which options. Qt-free, so the main window and tilvo-cli share it.
#pragma once

#include <cstdint>
#include <string>

#include "Effector/Bitmap.h"

namespace tilvo {

// The save options the main window keeps between saves and the settings file between runs.
struct TSaveOptions {
    int32_t JPEGQuality = 80;
    bool JPEGProgressive = false;
    bool JPEGGrayscale = false;
    bool ExifCopy = false;
    bool ExifThumbUpdate = false;
    int32_t JPEGSubsampling = 0;
    bool PNGInterlaced = false;
    bool PNGGrayscale = false;
    bool PNGReduceTo256Color = false;
    bool PNGTransparent = false;
    bool GIFTransparent = false;
    bool TGARLECompression = false;
    bool SGIRLECompression = false;  // set by tilvo-cli only: the window always writes verbatim SGI
    std::string DCRResourceName;
    int32_t WebPQuality = 80;
    bool WebPLossless = false;
    // A copied Exif block loses its location and personal data (GPS, names, serial numbers,
    // comments, the maker note).
    bool ExifRemovePersonalData = true;
    friend bool operator==(const TSaveOptions&, const TSaveOptions&) = default;
};

// What probing the Exif source answered: whether it has Exif data that can be copied, and whether
// that data has a thumbnail that can be regenerated.
struct TExifProbe {
    bool CanCopy = false;
    bool CanUpdateThumbnail = false;
};

// Save As: calls the writer of the Save As type id (its low 7 bits) with the options; exifSource
// is the file the picture came from (a JPEG, or a HEIC, AVIF or WebP
// holding an Exif block). Answers the writer's result; a type without a
// writer answers false. When a writer refuses and says why (a picture too large for the format's
// header, say), the reason goes to *why, if given; it stays empty otherwise. The Windows bitmap
// and the JPEG file output may throw.
bool SaveAsByType(TBitmap& picture, const std::string& fileName, int32_t saveAsTypeId,
                  const TSaveOptions& options, const std::string& exifSource,
                  const TExifProbe& probe, std::string* why = nullptr);

// Save: the writer is chosen by fileName's extension type id.
bool SaveByExtension(TBitmap& picture, const std::string& fileName, const TSaveOptions& options,
                     std::string* why = nullptr);

}  // namespace tilvo
