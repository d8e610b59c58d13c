// Which writer Save As (by the chosen Save As type) and Save (by the file's extension type id)
// call, with which options. Qt-free, so the main window and tilvo-cli share it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Effector/Bitmap.h"
#include "FileFormat/FileTypes.h"
#include "FileFormat/Progress.h"

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
    // JPEG: keep every untouched MCU of a JPEG source as it is ("Keep untouched areas exactly").
    bool JPEGKeepUntouched = false;
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

// The JPEG the picture was opened from, for JPEG saves with JPEGKeepUntouched: its exact bytes
// (empty or absent when the picture did not come from a JPEG) and the picture as the open path
// decoded them: all of it, or only its rows Top .. Top + Original->Height() - 1 (whole MCU rows)
// when the caller knows that no other row changed. When the option is on but the normal encode
// had to run, Note says why.
struct TKeepUntouchedSource {
    const std::vector<uint8_t>* Bytes = nullptr;
    const TBitmap* Original = nullptr;
    std::string Note;
    int32_t Top = 0;
};

// Progress: both commands take an optional listener. It runs as the thread's current listener
// (TProgressScope) while the writer works and hears 0 … 100; answering false stops the writer,
// which then fails without touching an existing file. The dispatch answers false then, with
// "cancelled" as the reason.
//
// Save As: calls the writer of the Save As type id (its low 7 bits) with the options; exifSource
// is the file the picture came from (a JPEG, or a HEIC, AVIF or WebP
// holding an Exif block). Answers the writer's result; a type without a
// writer answers false. When a writer fails, its reason (a picture too large for the format's
// header, the system's error text ...) goes to *why, if given; a writer that gives none gets the
// system's reason why the target cannot be written (WriteObstacle), if there is one. The Windows
// bitmap and the JPEG file output may throw.
bool SaveAsByType(TBitmap& picture, const std::string& fileName, int32_t saveAsTypeId,
                  const TSaveOptions& options, const std::string& exifSource,
                  const TExifProbe& probe, std::string* why = nullptr,
                  const TProgressFn& progress = {}, TKeepUntouchedSource* keep = nullptr);

// Save: the writer is chosen by fileName's extension type id.
bool SaveByExtension(TBitmap& picture, const std::string& fileName, const TSaveOptions& options,
                     std::string* why = nullptr, const TProgressFn& progress = {},
                     TKeepUntouchedSource* keep = nullptr);

// The Save As type that writes the type an extension type id names (".jpeg" and ".jpe" are JPEG,
// ".rgb" is SGI ...); sftUNKNOWN for a type no Save As type writes (TIFF, icons ...).
TFileType4Save SaveAsTypeForExtensionType(uint8_t extensionTypeId);
// The same for a file name's extension, matched through the extension table (any letter case).
TFileType4Save SaveAsTypeForFileName(std::string_view fileName);

// What Save As writes: the file name and the Save As type.
struct TSaveAsTarget {
    std::string FileName;
    TFileType4Save Type = sftUNKNOWN;
    friend bool operator==(const TSaveAsTarget&, const TSaveAsTarget&) = default;
};

// The Save As rule for a confirmed name: when the name's extension names a type Save As writes,
// that type, with the name as it is (photo.PNG with JPEG selected is written as PNG); otherwise
// the selected type, with its extension appended (photo.tif with PNG selected becomes
// photo.tif.png; a name ending in a dot gets the extension without a second dot). A selected type
// that is not in the Save As list leaves the name alone and answers sftUNKNOWN.
TSaveAsTarget ResolveSaveAsTarget(const std::string& confirmedName, TFileType4Save selected);

// The system's reason why `fileName` cannot be written (the folder is missing or read-only, the
// file is read-only ...), found by preparing the write as every writer does and writing nothing;
// empty when nothing stands in the way. For writers that fail without saying why.
std::string WriteObstacle(const std::string& fileName);

}  // namespace tilvo
