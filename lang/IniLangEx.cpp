// The language file: location, text lookup and post-processing, message and dialog texts.
#include "lang/IniLangEx.h"

#include <filesystem>

namespace tilvo {

namespace {

constexpr std::string_view kMiscSection = "Misc";

struct TLanguageState {
    std::string baseDir;
    std::string folder = "Lang/";
    int32_t language = kLanguageJapanese;
    TLanguageMessages messages;
};

TLanguageState& State() {
    static TLanguageState state;
    return state;
}

std::string WithSlash(std::string dir) {
    if (!dir.empty() && dir.back() != '/') dir += '/';
    return dir;
}

// Dialog texts: key, English default, built-in Japanese text, member.
struct TDialogTextRow {
    std::string_view key;
    std::string_view english;
    std::string_view japanese;
    std::string TDialogTexts::*member;
};

const TDialogTextRow kDialogTextRows[] = {
    {"MISC_OPTION", "Option", "オプション", &TDialogTexts::GMOption},
    {"MISC_QUALITY", "Quality", "品質", &TDialogTexts::GMQuality},
    {"MISC_PROGRESSIVEJPEG", "Progressive JPEG", "プログレッシブ JPEG",
     &TDialogTexts::GMProgressiveJPEG},
    {"MISC_GRAYSCALE", "Grayscale", "グレイスケール", &TDialogTexts::GMGrayscale},
    {"MISC_INTERLACEDPNG", "Interlaced PNG(ADAM7)", "インターレース ( ADAM7 )",
     &TDialogTexts::GMInterlacedPNG},
    {"MISC_RLECOMPRESSION", "Run length encoding", "RLE で圧縮", &TDialogTexts::GMRLECompression},
    {"MISC_RESOURCENAME", "Resource name", "リソース名", &TDialogTexts::GMResourceName},
    {"MISC_REDUCETO256COLOR", "Reduce to 256 color", "256色へ減色",
     &TDialogTexts::GMReduceTo256Color},
    {"MISC_NOOPTION", "Nothing", "オプションはありません。", &TDialogTexts::GMNoOption},
    {"MISC_GIFTRANSPARENT", "Transparent(bottom-left)", "透過GIF （左下の色を透過）",
     &TDialogTexts::GMGIFTransparent},
    {"MISC_PNGTRANSPARENT", "Transparent(bottom-left)", "透過PNG （左下の色を透過）",
     &TDialogTexts::GMPNGTransparent},
    {"MISC_SUBSAMPLING", "Sub sampling", "サブサンプリング", &TDialogTexts::GMSubSampling},
    {"MISC_SUBSAMPLING420", "4:2:0", "4:2:0（推奨）", &TDialogTexts::GMSubSampling420},
    {"MISC_SUBSAMPLING444", "4:4:4", "4:4:4", &TDialogTexts::GMSubSampling444},
    {"MISC_EXIF", "Exif", "Exif", &TDialogTexts::GMExif},
    {"MISC_EXIFCOPY", "Copy exif", "Exifをコピー", &TDialogTexts::GMExifCopy},
    {"MISC_EXIFTHUMBUPDATE", "Update exif thumbnail", "Exifサムネイルを更新",
     &TDialogTexts::GMExifThumbUpdate},
    {"MISC_EXIFREMOVEPERSONALDATA", "Remove location and personal data", "位置情報と個人情報を削除",
     &TDialogTexts::GMExifRemovePersonalData},
};

}  // namespace

void SetLanguageBaseDir(std::string exeDir) {
    State().baseDir = std::move(exeDir);
}

void SetLanguageFolder(std::string folder) {
    State().folder = std::move(folder);
}

void SelectLanguage(int32_t languageId) {
    State().language = languageId;
}

int32_t SelectedLanguage() {
    return State().language;
}

std::string LanguageName(int32_t languageId) {
    return languageId == kLanguageJapanese ? "Japanese" : std::string();
}

std::string LanguageFilePath() {
    const TLanguageState& s = State();
    const std::string name = LanguageName(s.language);
    if (name.empty()) return std::string();
    return WithSlash(s.baseDir) + WithSlash(s.folder) + name + ".ini";
}

std::optional<TIniFile> OpenLanguageFile() {
    const std::string path = LanguageFilePath();
    std::error_code ec;
    if (path.empty() || !std::filesystem::is_regular_file(path, ec)) return std::nullopt;
    TIniFile file(path);
    if (!file.FileFound()) return std::nullopt;
    return file;
}

std::string CutLanguageComment(std::string text) {
    const size_t at = text.find("//");
    if (at != std::string::npos) text.erase(at);
    return text;
}

std::string SplitLanguageLines(std::string text) {
    static constexpr std::string_view kMark = "*|*";
    if (text.find(kMark) == std::string::npos) return text;
    std::string result;
    size_t at;
    while ((at = text.find(kMark)) != std::string::npos) {
        const std::string piece = text.substr(0, at);
        text.erase(0, at + kMark.size());
        if (result.empty())
            result = piece;
        else
            result += "\r\n" + piece;
    }
    result += "\r\n" + text;
    return result;
}

std::string ReadLanguageText(const TIniFile* file, std::string_view key, std::string_view def) {
    std::string text = file ? file->ReadString(kMiscSection, key, def) : std::string(def);
    return SplitLanguageLines(CutLanguageComment(std::move(text)));
}

std::string ReadLanguageText(std::string_view key, std::string_view def) {
    const std::optional<TIniFile> file = OpenLanguageFile();
    return ReadLanguageText(file ? &*file : nullptr, key, def);
}

const TLanguageMessages& LanguageMessages() {
    return State().messages;
}

void LoadLanguageMessages() {
    const std::optional<TIniFile> file = OpenLanguageFile();
    const TIniFile* f = file ? &*file : nullptr;
    const TLanguageMessages defaults;
    TLanguageMessages& m = State().messages;
    m.MBTConvertErr = ReadLanguageText(f, "MISC_MBT_CONVERTERR", defaults.MBTConvertErr);
    m.MBMConvertErr = ReadLanguageText(f, "MISC_MBM_CONVERTERR", defaults.MBMConvertErr);
    m.MBTFileReplace = ReadLanguageText(f, "MISC_MBT_FILEREPLACE", defaults.MBTFileReplace);
    m.MBMFileReplace = ReadLanguageText(f, "MISC_MBM_FILEREPLACE", defaults.MBMFileReplace);
}

TDialogTexts EnglishDialogTexts() {
    TDialogTexts t;
    for (const TDialogTextRow& row : kDialogTextRows) t.*row.member = std::string(row.english);
    return t;
}

TDialogTexts JapaneseDialogTexts() {
    TDialogTexts t;
    for (const TDialogTextRow& row : kDialogTextRows) t.*row.member = std::string(row.japanese);
    return t;
}

bool UseBuiltInJapanese(const TIniFile* languageFile, bool systemIsJapanese) {
    return systemIsJapanese && ReadLanguageText(languageFile, "MISC_LANGINI_ENABLED", "").empty();
}

TDialogTexts LoadDialogTexts(const TIniFile* languageFile, bool systemIsJapanese) {
    if (UseBuiltInJapanese(languageFile, systemIsJapanese)) return JapaneseDialogTexts();
    TDialogTexts t;
    for (const TDialogTextRow& row : kDialogTextRows)
        t.*row.member = ReadLanguageText(languageFile, row.key, row.english);
    return t;
}

TDialogTexts LoadDialogTexts(bool systemIsJapanese) {
    const std::optional<TIniFile> file = OpenLanguageFile();
    return LoadDialogTexts(file ? &*file : nullptr, systemIsJapanese);
}

std::string LanguageSection(std::string_view windowName) {
    return std::string(windowName.substr(0, windowName.find('_')));
}

}  // namespace tilvo
