// The settings file: window bounds, brush and mosaic choices, whether Save is offered, and the save
// options, kept in an INI file beside the executable (or in the user's configuration folder when
// the executable's folder cannot be written).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Effector/Pixelate.h"
#include "FileFormat/SaveDispatch.h"

namespace tilvo {

// The brush diameters the Brush size menu offers, in its order: the engine's table.
inline constexpr const auto& kBrushSizes = kBrushDiameters;

// Mosaic cell sizes and brush diameters the menus offer.
bool IsMosaicSizeChoice(int32_t size);  // one of kMosaicCellSizes
bool IsBrushSizeChoice(int32_t size);   // one of kBrushSizes

// Where the settings live: the executable's path with its extension replaced by ".ini" (appended
// when it has none) if the executable's folder can be written; otherwise "tilvo.ini" in
// `configDir` (the user's configuration folder), which is created when the settings are saved.
std::string SettingsFilePath(const std::string& exePath, const std::string& configDir);

// The smallest window the settings may ask for; a window never starts smaller (unless the screen
// is).
inline constexpr int32_t kMinWindowWidth = 200;
inline constexpr int32_t kMinWindowHeight = 150;

// File > Open Recent holds this many files.
inline constexpr size_t kMaxRecentFiles = 10;
// Puts fileName first in the list (once), keeping at most kMaxRecentFiles.
void AddRecentFile(std::vector<std::string>& files, const std::string& fileName);

struct TSettings {
    // [General]
    int32_t Top = 0;
    int32_t Left = 0;
    int32_t Width = 300;
    int32_t Height = 300;
    bool CanOverWrite = false;
    // Only when the file has it: whether Save As uses the dialog with the options panel.
    std::optional<bool> LegacySaveDialog;
    // [Mosaic], [FilterBrush]
    int32_t MosaicSize = kDefaultMosaicSize;
    int32_t BrushSize = kDefaultBrushSize;
    bool SoftenEdge = true;
    bool SolidFill = false;  // [Mosaic] SolidFill: strokes paint opaque black instead of cells
    // [General] Language: "ja" or "en" as chosen in View > Language; empty: the system's.
    std::string Language;
    // [RecentFiles] File1 … File10: the files last opened or saved, newest first.
    std::vector<std::string> RecentFiles;
    // Whether the file gave the window's width and height (not on the first run).
    bool WindowSizeRead = false;
    // [SaveOptions4JPEG], [SaveOptions4PNG], [SaveOptions4GIF], [SaveOptions4TGA]; the resource
    // name is not kept in the file.
    TSaveOptions SaveOptions;

    // Reads the file over these settings. A missing key (or file), or a value that is not an
    // integer, gives the key's default; a MosaicSize or BrushSize that no menu item offers leaves
    // the current value. Numbers are clamped as they are read: Quality to 1 … 100, Subsampling to
    // the three choices 0 … 2, Width and Height to at least kMinWindowWidth × kMinWindowHeight and
    // every window number to ±32767. Never fails.
    void Load(const std::string& fileName);
    // Fits the window bounds into the screen's available area (left, top, width, height): a window
    // larger than the area takes the area's size, and one that lies partly outside it is moved
    // just inside. What is fitted is what Save writes back.
    void FitWindowToScreen(int32_t areaLeft, int32_t areaTop, int32_t areaWidth,
                           int32_t areaHeight);
    // The window of a first run: two thirds of the screen's available area (left, top, width,
    // height) each way, centred in it.
    void PlaceFirstRunWindow(int32_t areaLeft, int32_t areaTop, int32_t areaWidth,
                             int32_t areaHeight);
    // Writes every key (LegacySaveDialog only when it was read), keeping the other sections and
    // keys of the file; the file is replaced only once complete. Throws EIniFileError naming the
    // file when it cannot be written.
    void Save(const std::string& fileName) const;
    friend bool operator==(const TSettings&, const TSettings&) = default;
};

}  // namespace tilvo
