// The settings file: its location and the reading and writing of every key.
#include "app/Settings.h"

#include <unistd.h>

#include <algorithm>
#include <array>

#include "Effector/Pixelate.h"
#include "lang/IniFile.h"

namespace tilvo {

namespace {

constexpr const auto& kMosaicSizes = kMosaicCellSizes;

// Window numbers beyond any screen's coordinates.
constexpr int32_t kMaxWindowNumber = 32767;

constexpr const char* kGeneral = "General";
constexpr const char* kMosaic = "Mosaic";
constexpr const char* kBrush = "FilterBrush";
constexpr const char* kJPEG = "SaveOptions4JPEG";
constexpr const char* kPNG = "SaveOptions4PNG";
constexpr const char* kGIF = "SaveOptions4GIF";
constexpr const char* kTGA = "SaveOptions4TGA";
constexpr const char* kWebP = "SaveOptions4WebP";
constexpr const char* kRecent = "RecentFiles";

}  // namespace

void AddRecentFile(std::vector<std::string>& files, const std::string& fileName) {
    if (fileName.empty()) return;
    files.erase(std::remove(files.begin(), files.end(), fileName), files.end());
    files.insert(files.begin(), fileName);
    if (files.size() > kMaxRecentFiles) files.resize(kMaxRecentFiles);
}

bool IsMosaicSizeChoice(int32_t size) {
    return std::find(kMosaicSizes.begin(), kMosaicSizes.end(), size) != kMosaicSizes.end();
}

bool IsBrushSizeChoice(int32_t size) {
    return std::find(kBrushSizes.begin(), kBrushSizes.end(), size) != kBrushSizes.end();
}

std::string SettingsFilePath(const std::string& exePath, const std::string& configDir) {
    const size_t slash = exePath.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    const size_t dot = exePath.rfind('.');
    std::string beside = exePath;
    if (dot != std::string::npos && dot > nameStart) beside.erase(dot);
    beside += ".ini";

    const std::string folder = slash == std::string::npos ? std::string(".")
                               : slash == 0               ? std::string("/")
                                                          : exePath.substr(0, slash);
    if (access(folder.c_str(), W_OK | X_OK) == 0) return beside;

    std::string dir = configDir;
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir + "tilvo.ini";
}

void TSettings::Load(const std::string& fileName) {
    const TIniFile ini(fileName);
    Top = std::clamp(ini.ReadInteger(kGeneral, "Top", 0), -kMaxWindowNumber, kMaxWindowNumber);
    Left = std::clamp(ini.ReadInteger(kGeneral, "Left", 0), -kMaxWindowNumber, kMaxWindowNumber);
    Width = std::clamp(ini.ReadInteger(kGeneral, "Width", 300), kMinWindowWidth, kMaxWindowNumber);
    Height =
        std::clamp(ini.ReadInteger(kGeneral, "Height", 300), kMinWindowHeight, kMaxWindowNumber);
    WindowSizeRead = ini.ValueExists(kGeneral, "Width") && ini.ValueExists(kGeneral, "Height");
    CanOverWrite = ini.ReadBool(kGeneral, "CanOverWrite", false);
    if (ini.ValueExists(kGeneral, "LegacySaveDialog"))
        LegacySaveDialog = ini.ReadBool(kGeneral, "LegacySaveDialog", false);
    else
        LegacySaveDialog.reset();

    const int32_t mosaic = ini.ReadInteger(kMosaic, "MosaicSize", kDefaultMosaicSize);
    if (IsMosaicSizeChoice(mosaic)) MosaicSize = mosaic;
    const int32_t brush = ini.ReadInteger(kBrush, "BrushSize", kDefaultBrushSize);
    if (IsBrushSizeChoice(brush)) BrushSize = brush;
    SoftenEdge = ini.ReadBool(kBrush, "SoftenEdge", true);
    Language = ini.ReadString(kGeneral, "Language", "");
    if (Language != "ja" && Language != "en") Language.clear();
    RecentFiles.clear();
    for (size_t i = 1; i <= kMaxRecentFiles; ++i) {
        const std::string file = ini.ReadString(kRecent, "File" + std::to_string(i), "");
        if (!file.empty() &&
            std::find(RecentFiles.begin(), RecentFiles.end(), file) == RecentFiles.end())
            RecentFiles.push_back(file);
    }
    SolidFill = ini.ReadBool(kMosaic, "SolidFill", false);

    TSaveOptions& o = SaveOptions;
    o.JPEGQuality = std::clamp(ini.ReadInteger(kJPEG, "Quality", 80), 1, 100);
    o.JPEGProgressive = ini.ReadBool(kJPEG, "Progressive", false);
    o.JPEGGrayscale = ini.ReadBool(kJPEG, "Grayscale", false);
    o.JPEGSubsampling = std::clamp(ini.ReadInteger(kJPEG, "Subsampling", 0), 0, 2);
    o.ExifCopy = ini.ReadBool(kJPEG, "ExifCopy", false);
    o.ExifThumbUpdate = ini.ReadBool(kJPEG, "ExifThumbUpdate", false);
    o.JPEGKeepUntouched = ini.ReadBool(kJPEG, "KeepUntouched", false);
    o.ExifRemovePersonalData = ini.ReadBool(kJPEG, "ExifRemovePersonalData", true);
    o.PNGInterlaced = ini.ReadBool(kPNG, "Interlaced", false);
    o.PNGGrayscale = ini.ReadBool(kPNG, "Grayscale", false);
    o.PNGReduceTo256Color = ini.ReadBool(kPNG, "ReduceTo256Color", false);
    o.PNGTransparent = ini.ReadBool(kPNG, "Transparent", false);
    o.GIFTransparent = ini.ReadBool(kGIF, "Transparent", false);
    o.TGARLECompression = ini.ReadBool(kTGA, "RLECompression", false);
    o.WebPQuality = std::clamp(ini.ReadInteger(kWebP, "Quality", 80), 0, 100);
    o.WebPLossless = ini.ReadBool(kWebP, "Lossless", false);
}

void TSettings::FitWindowToScreen(int32_t areaLeft, int32_t areaTop, int32_t areaWidth,
                                  int32_t areaHeight) {
    areaWidth = std::max(areaWidth, 1);
    areaHeight = std::max(areaHeight, 1);
    Width = std::min(Width, areaWidth);
    Height = std::min(Height, areaHeight);
    // 64 bits: the area's far edge and the window's numbers may each be near the 32-bit limits.
    Left = int32_t(std::clamp<int64_t>(Left, areaLeft, int64_t(areaLeft) + areaWidth - Width));
    Top = int32_t(std::clamp<int64_t>(Top, areaTop, int64_t(areaTop) + areaHeight - Height));
}

void TSettings::PlaceFirstRunWindow(int32_t areaLeft, int32_t areaTop, int32_t areaWidth,
                                    int32_t areaHeight) {
    areaWidth = std::max(areaWidth, 1);
    areaHeight = std::max(areaHeight, 1);
    Width = std::min(std::max(int32_t(int64_t(areaWidth) * 2 / 3), kMinWindowWidth), areaWidth);
    Height =
        std::min(std::max(int32_t(int64_t(areaHeight) * 2 / 3), kMinWindowHeight), areaHeight);
    Left = int32_t(int64_t(areaLeft) + (areaWidth - Width) / 2);
    Top = int32_t(int64_t(areaTop) + (areaHeight - Height) / 2);
}

void TSettings::Save(const std::string& fileName) const {
    TIniFile ini(fileName);
    ini.WriteInteger(kGeneral, "Top", Top);
    ini.WriteInteger(kGeneral, "Left", Left);
    ini.WriteInteger(kGeneral, "Width", Width);
    ini.WriteInteger(kGeneral, "Height", Height);
    ini.WriteBool(kGeneral, "CanOverWrite", CanOverWrite);
    if (LegacySaveDialog) ini.WriteBool(kGeneral, "LegacySaveDialog", *LegacySaveDialog);

    ini.WriteInteger(kMosaic, "MosaicSize", IsMosaicSizeChoice(MosaicSize) ? MosaicSize : kDefaultMosaicSize);
    ini.WriteInteger(kBrush, "BrushSize", IsBrushSizeChoice(BrushSize) ? BrushSize : kDefaultBrushSize);
    ini.WriteBool(kBrush, "SoftenEdge", SoftenEdge);
    ini.WriteBool(kMosaic, "SolidFill", SolidFill);
    if (!Language.empty()) ini.WriteString(kGeneral, "Language", Language);
    for (size_t i = 0; i < kMaxRecentFiles; ++i)
        ini.WriteString(kRecent, "File" + std::to_string(i + 1),
                        i < RecentFiles.size() ? RecentFiles[i] : std::string());

    const TSaveOptions& o = SaveOptions;
    ini.WriteInteger(kJPEG, "Quality", o.JPEGQuality);
    ini.WriteBool(kJPEG, "Progressive", o.JPEGProgressive);
    ini.WriteBool(kJPEG, "Grayscale", o.JPEGGrayscale);
    ini.WriteInteger(kJPEG, "Subsampling", o.JPEGSubsampling);
    ini.WriteBool(kJPEG, "ExifCopy", o.ExifCopy);
    ini.WriteBool(kJPEG, "ExifThumbUpdate", o.ExifThumbUpdate);
    ini.WriteBool(kJPEG, "KeepUntouched", o.JPEGKeepUntouched);
    ini.WriteBool(kJPEG, "ExifRemovePersonalData", o.ExifRemovePersonalData);
    ini.WriteBool(kPNG, "Interlaced", o.PNGInterlaced);
    ini.WriteBool(kPNG, "Grayscale", o.PNGGrayscale);
    ini.WriteBool(kPNG, "ReduceTo256Color", o.PNGReduceTo256Color);
    ini.WriteBool(kPNG, "Transparent", o.PNGTransparent);
    ini.WriteBool(kGIF, "Transparent", o.GIFTransparent);
    ini.WriteBool(kTGA, "RLECompression", o.TGARLECompression);
    ini.WriteInteger(kWebP, "Quality", o.WebPQuality);
    ini.WriteBool(kWebP, "Lossless", o.WebPLossless);
    ini.UpdateFile();
}

}  // namespace tilvo
