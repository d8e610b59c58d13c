// Applying the language file to Qt windows: the Japanese fonts, window texts looked up by object
// name (Caption → text/title/window title/tab text, Hint → tool tip), and the save dialog's texts.
#pragma once

#include <QString>

#include "lang/IniLangEx.h"

class QWidget;

namespace tilvo {

// Whether the system locale is Japanese (QLocale::system(): Japanese language or Japan).
bool SystemIsJapanese();
// The Japanese face name: "メイリオ" on current systems (vistaOrLater), else "ＭＳ Ｐゴシック".
QString LanguageFontFace(bool vistaOrLater = true);

// Sets the Japanese face on the window's own font (size kept) and on every widget inside it, which
// on current systems also gets a character height of 11 pixels. Only for the Japanese language.
void ApplyLanguageFonts(QWidget* form, bool vistaOrLater = true);
// ApplyLanguageFonts, then, when there is a language file, the window texts of the section named
// after the window's objectName (cut at "_"): "<section>.Caption" sets the window title;
// "<section>.<objectName>.Caption" and ".Hint" set the text and tool tip of each object inside the
// window that has them. Values are cut at "//"; empty values change nothing.
void ApplyLanguageToForm(QWidget* form);
// The same with a language file already read (nullptr: no file).
void ApplyLanguageToForm(QWidget* form, const TIniFile* languageFile, bool vistaOrLater = true);

// Sets the seventeen caption texts of the save dialog controller by the built-in-Japanese rule.
// The controller takes them through SetDialogTexts(const TDialogTexts&).
template <class TController>
void ApplyDialogTexts(TController& controller) {
    controller.SetDialogTexts(LoadDialogTexts(SystemIsJapanese()));
}

}  // namespace tilvo
