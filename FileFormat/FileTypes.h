// The system's three vocabularies of picture file types: extension type ids (which writer Save
// uses), the open dialog's filter string, and the Save As type list with its type ids.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tilvo {

// Extension type ids: 0 for an extension that is not in the table.
inline constexpr uint8_t ftUnknown = 0;
inline constexpr uint8_t ftJPEG = 2;
inline constexpr uint8_t ftBMP = 3;
inline constexpr uint8_t ftPNG = 4;
inline constexpr uint8_t ftGIF = 5;
inline constexpr uint8_t ftTIFF = 6;
inline constexpr uint8_t ftMAG = 7;
inline constexpr uint8_t ftPIC = 8;
inline constexpr uint8_t ftPPM = 9;
inline constexpr uint8_t ftPGM = 10;
inline constexpr uint8_t ftPBM = 11;
inline constexpr uint8_t ftTGA = 12;
inline constexpr uint8_t ftSGI = 13;
inline constexpr uint8_t ftPCX = 14;
inline constexpr uint8_t ftPCD = 15;
inline constexpr uint8_t ftPSD = 16;
inline constexpr uint8_t ftPSP = 17;
inline constexpr uint8_t ftIFF = 18;
inline constexpr uint8_t ftRAW = 19;
inline constexpr uint8_t ftICO = 20;
inline constexpr uint8_t ftCUR = 21;
inline constexpr uint8_t ftDCR = 22;
inline constexpr uint8_t ftHEIF = 23;  // .heic, .heif, .avif
inline constexpr uint8_t ftWEBP = 24;

// The extension type id of a file name: the text from the last dot to the end, ASCII letters
// lower-cased, looked up exactly. A name without an extension, or an unlisted one, gives 0.
uint8_t FileTypeFromExtension(std::string_view fileName);

// The open dialog's filter: label|patterns pairs, "|"-separated, ending with "|". The first label
// is "画像ファイル" for the Japanese interface and "Image files" otherwise.
std::string BuildOpenDialogFilter(bool japanese);

// Save As type ids.
enum TFileType4Save : uint8_t {
    sftUNKNOWN = 0,
    sftJPG = 1,
    sftPNG = 2,
    sftBMP = 3,
    sftGIF = 4,
    sftTGA = 5,
    sftSGI = 6,
    sftPCX = 7,
    sftPPM = 8,
    sftPGM = 9,
    sftPBM = 10,
    sftMAG = 11,
    sftDCR = 12,
    sftWEBP = 13,
};

// One row of the Save As type list.
struct TKorvaneFileTypeInfo {
    const char* DisplayName;
    const char* FileMask;  // a single mask, "*.jpg"
    uint8_t HasOptions;    // 1 when the type has a page of save options
    uint8_t SaveAsTypeId;
};

// The rows of the Save As type list, in row order (the component resource type has none): the
// eleven of the original list, then WebP.
std::span<const TKorvaneFileTypeInfo> FileTypeInfos();

// The first row, in row order, whose DisplayName occurs in `displayName` (letter case
// significant); nullptr when none does.
const TKorvaneFileTypeInfo* FileTypeInfoFromDisplayName(std::string_view displayName);

// The Save As type id of a selected file-type item's display name; sftUNKNOWN when no row matches.
TFileType4Save SaveAsTypeFromDisplayName(std::string_view displayName);

// The same for item `index` of a dialog's list of display names; sftUNKNOWN when the list is
// empty or the index is out of range.
TFileType4Save SaveAsTypeFromItem(std::span<const std::string> displayNames, int index);

// The extension a typed name without one gets for the selected item: the matched row's FileMask
// from its last dot (".tga" from "*.tga"); empty when no row matches.
std::string FileMaskExtension(std::string_view displayName);

}  // namespace tilvo
