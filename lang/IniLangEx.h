// The language file: where it is, reading its texts, the four message texts of the save path, the
// seventeen caption texts of the save dialog, and the rule that prefers the built-in Japanese
// texts on a Japanese system. No Qt here; applying texts and fonts to widgets is LangApply.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "lang/IniFile.h"

namespace tilvo {

// The one language the program selects; it names the language file and selects the Japanese fonts.
inline constexpr int32_t kLanguageJapanese = 2;

// Process-wide language state, set once at start-up before any text is loaded.
// The folder of the executable (with or without a trailing "/"); the language folder lies in it.
void SetLanguageBaseDir(std::string exeDir);
// The language folder relative to the executable's folder: "Lang/".
void SetLanguageFolder(std::string folder);
// Selects a language by number; only kLanguageJapanese has a file ("Japanese").
void SelectLanguage(int32_t languageId);
int32_t SelectedLanguage();
// "Japanese" for kLanguageJapanese, else empty.
std::string LanguageName(int32_t languageId);
// Base folder + language folder + language name + ".ini"; empty when the language has no name.
std::string LanguageFilePath();

// The language file's entries, read whole; nothing when the file does not exist.
std::optional<TIniFile> OpenLanguageFile();

// Cuts a text at its first "//"; blanks before it stay.
std::string CutLanguageComment(std::string text);
// Turns "*|*" into line breaks (carriage return, line feed): "A*|*B" gives two lines, "A*|*" gives
// A and a line break, "*|*X" an empty first line and X.
std::string SplitLanguageLines(std::string text);
// The entry `key` of section "Misc" of `file` (or `def` when there is no file or no such entry),
// cut at "//" and split at "*|*".
std::string ReadLanguageText(const TIniFile* file, std::string_view key, std::string_view def);
// The same, opening the language file for this one text.
std::string ReadLanguageText(std::string_view key, std::string_view def);

// The message texts of the save path (section "Misc").
struct TLanguageMessages {
    std::string MBTConvertErr = "Convert error";          // MISC_MBT_CONVERTERR: title, failed save
    std::string MBMConvertErr = "UNKOWN file format";     // MISC_MBM_CONVERTERR: its text
    std::string MBTFileReplace = "Confirm File Replace";  // MISC_MBT_FILEREPLACE
    std::string MBMFileReplace =
        "A file already exist, would you like to replace the existing file ?";  // MISC_MBM_...
};
// The process-wide message texts: the English defaults until LoadLanguageMessages runs.
const TLanguageMessages& LanguageMessages();
// Reads the four message texts from the language file (defaults for what it lacks).
void LoadLanguageMessages();

// The seventeen caption texts of the save dialog controller (its GM... properties).
struct TDialogTexts {
    std::string GMOption;
    std::string GMQuality;
    std::string GMProgressiveJPEG;
    std::string GMGrayscale;
    std::string GMInterlacedPNG;
    std::string GMRLECompression;
    std::string GMResourceName;
    std::string GMReduceTo256Color;
    std::string GMNoOption;
    std::string GMGIFTransparent;
    std::string GMPNGTransparent;
    std::string GMSubSampling;
    std::string GMSubSampling420;
    std::string GMSubSampling444;
    std::string GMExif;
    std::string GMExifCopy;
    std::string GMExifThumbUpdate;
    std::string GMExifRemovePersonalData;
    friend bool operator==(const TDialogTexts&, const TDialogTexts&) = default;
};
TDialogTexts EnglishDialogTexts();
TDialogTexts JapaneseDialogTexts();

// The built-in Japanese texts are used when the system is Japanese and the language file (if any)
// has no non-empty "Misc" entry MISC_LANGINI_ENABLED; otherwise the language file applies.
bool UseBuiltInJapanese(const TIniFile* languageFile, bool systemIsJapanese);
// The dialog texts by that rule: the built-in Japanese texts, or each MISC_... entry of the
// language file with its English default.
TDialogTexts LoadDialogTexts(const TIniFile* languageFile, bool systemIsJapanese);
// The same, opening the language file.
TDialogTexts LoadDialogTexts(bool systemIsJapanese);

// The section of a window's texts: its name up to the first "_" (a second instance of a window
// carries a numbered suffix after an underscore and shares the section).
std::string LanguageSection(std::string_view windowName);

}  // namespace tilvo
