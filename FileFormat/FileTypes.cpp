// Extension type ids, the open dialog's filter and the Save As type list.
#include "FileTypes.h"

#include <array>

namespace tilvo {

namespace {

struct TExtensionType {
    const char* Extension;
    uint8_t Id;
};

constexpr TExtensionType kExtensionTypes[] = {
    {".jpg", ftJPEG}, {".jpeg", ftJPEG}, {".jpe", ftJPEG}, {".bmp", ftBMP},  {".dib", ftBMP},
    {".rle", ftBMP},  {".png", ftPNG},   {".gif", ftGIF},  {".tif", ftTIFF}, {".tiff", ftTIFF},
    {".mag", ftMAG},  {".pic", ftPIC},   {".ppm", ftPPM},  {".pgm", ftPGM},  {".pbm", ftPBM},
    {".tga", ftTGA},  {".vst", ftTGA},   {".icb", ftTGA},  {".vda", ftTGA},  {".sgi", ftSGI},
    {".rgb", ftSGI},  {".rgba", ftSGI},  {".pcx", ftPCX},  {".pcd", ftPCD},  {".psd", ftPSD},
    {".pdd", ftPSD},  {".psp", ftPSP},   {".jsl", ftPSP},  {".pfr", ftPSP},  {".tub", ftPSP},
    {".iff", ftIFF},  {".lbm", ftIFF},   {".raw", ftRAW},  {".ico", ftICO},  {".cur", ftCUR},
    {".dcr", ftDCR},
    {".heic", ftHEIF}, {".heif", ftHEIF}, {".avif", ftHEIF}, {".webp", ftWEBP},
};

constexpr const char* kAllPatterns =
    "*.bmp;*.rle;*.dib;*.jpg;*.jpeg;*.jpe;*.png;*.gif;*.tif;*.tiff;*.ppm;*.pgm;*.pbm;*.tga;*.vst;"
    "*.icb;*.vda;*.sgi;*.rgb;*.rgba;*.pcx;*.iff;*.lbm;*.psd;*.pdd;*.psp;*.jsl;*.pfr;*.tub;*.pcd;"
    "*.ico;*.cur;*.dcr;*.mag;*.pic;*.raw;"
    "*.heic;*.heif;*.avif;*.webp;";

constexpr const char* kFilterEntries[] = {
    "JPEG (*.jpg;*.jpeg;*.jpe)|*.jpg;*.jpeg;*.jpe|",
    "Bitmap (*.bmp;*.rle;*.dib)|*.bmp;*.rle;*.dib|",
    "PNG (*.png)|*.png|",
    "GIF (*.gif)|*.gif|",
    "TIFF (*.tif;*.tiff)|*.tif;*.tiff|",
    "PNM (*.ppm;*.pgm;*.pbm)|*.ppm;*.pgm;*.pbm|",
    "Targa (*.tga;*.vst;*.icb;*.vda)|*.tga;*.vst;*.icb;*.vda|",
    "SGI (*.sgi;*.rgb;*.rgba)|*.sgi;*.rgb;*.rgba|",
    "ZSoft Paintbrush (*.pcx)|*.pcx|",
    "Interleave Bitmap (*.iff;*.lbm)|*.iff;*.lbm|",
    "Photoshop (*.psd;*.pdd)|*.psd;*.pdd|",
    "PaintShop Pro (*.psp;*.jsl;*.pfr;*.tub)|*.psp;*.jsl;*.pfr;*.tub|",
    "Kodak Photo-CD (*.pcd)|*.pcd|",
    "Raw (*.raw)|*.raw|",
    "Mag (*.mag)|*.mag|",
    "Yanagisawa-PIC (*.pic)|*.pic|",
    "Icon/Cursor (*.ico;*.cur)|*.ico;*.cur|",
    "Delphi resource (*.dcr)|*.dcr|",
    "HEIF/AVIF (*.heic;*.heif;*.avif)|*.heic;*.heif;*.avif|",
    "WebP (*.webp)|*.webp|",
};

constexpr std::array<TKorvaneFileTypeInfo, 12> kFileTypeInfos = {{
    {"JPEG", "*.jpg", 1, sftJPG},
    {"PNG", "*.png", 1, sftPNG},
    {"Bitmap", "*.bmp", 0, sftBMP},
    {"GIF", "*.gif", 1, sftGIF},
    {"Targa", "*.tga", 1, sftTGA},
    {"SGI", "*.sgi", 0, sftSGI},
    {"ZSoft Paintbrush", "*.pcx", 0, sftPCX},
    {"Portable pixelmap", "*.ppm", 0, sftPPM},
    {"Portable graymap", "*.pgm", 0, sftPGM},
    {"Portable bitmap", "*.pbm", 0, sftPBM},
    {"MAG", "*.mag", 0, sftMAG},
    {"WebP", "*.webp", 1, sftWEBP},
}};

}  // namespace

uint8_t FileTypeFromExtension(std::string_view fileName) {
    const size_t dot = fileName.rfind('.');
    if (dot == std::string_view::npos) return ftUnknown;
    std::string ext(fileName.substr(dot));
    for (char& c : ext)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    for (const TExtensionType& t : kExtensionTypes)
        if (ext == t.Extension) return t.Id;
    return ftUnknown;
}

std::string BuildOpenDialogFilter(bool japanese) {
    std::string filter = japanese ? "画像ファイル|" : "Image files|";
    filter += kAllPatterns;
    filter += "|";
    for (const char* entry : kFilterEntries) filter += entry;
    return filter;
}

std::span<const TKorvaneFileTypeInfo> FileTypeInfos() {
    return kFileTypeInfos;
}

const TKorvaneFileTypeInfo* FileTypeInfoFromDisplayName(std::string_view displayName) {
    for (const TKorvaneFileTypeInfo& info : kFileTypeInfos)
        if (displayName.find(info.DisplayName) != std::string_view::npos) return &info;
    return nullptr;
}

TFileType4Save SaveAsTypeFromDisplayName(std::string_view displayName) {
    const TKorvaneFileTypeInfo* info = FileTypeInfoFromDisplayName(displayName);
    return info ? TFileType4Save(info->SaveAsTypeId) : sftUNKNOWN;
}

TFileType4Save SaveAsTypeFromItem(std::span<const std::string> displayNames, int index) {
    if (index < 0 || size_t(index) >= displayNames.size()) return sftUNKNOWN;
    return SaveAsTypeFromDisplayName(displayNames[size_t(index)]);
}

std::string FileMaskExtension(std::string_view displayName) {
    const TKorvaneFileTypeInfo* info = FileTypeInfoFromDisplayName(displayName);
    if (!info) return {};
    const std::string_view mask = info->FileMask;
    const size_t dot = mask.rfind('.');
    return dot == std::string_view::npos ? std::string() : std::string(mask.substr(dot));
}

}  // namespace tilvo
