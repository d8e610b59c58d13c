// Applying the language file and the Japanese fonts to Qt windows.
#include "lang/LangApply.h"

#include <QAbstractButton>
#include <QAction>
#include <QFont>
#include <QGroupBox>
#include <QLabel>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QStackedWidget>
#include <QTabWidget>
#include <QWidget>

namespace tilvo {

namespace {

QString FromUtf8(const std::string& s) {
    return QString::fromUtf8(s.data(), qsizetype(s.size()));
}

// A page of a tab widget: its caption is the tab's text.
QTabWidget* TabOwner(QWidget* page) {
    auto* stack = qobject_cast<QStackedWidget*>(page->parentWidget());
    if (!stack) return nullptr;
    auto* tabs = qobject_cast<QTabWidget*>(stack->parentWidget());
    if (!tabs || tabs->indexOf(page) < 0) return nullptr;
    return tabs;
}

// Sets the caption of an object that has one; answers false for objects without.
bool SetCaption(QObject* object, const QString& caption) {
    if (auto* action = qobject_cast<QAction*>(object)) {
        action->setText(caption);
        return true;
    }
    if (auto* menu = qobject_cast<QMenu*>(object)) {
        menu->setTitle(caption);
        return true;
    }
    if (auto* box = qobject_cast<QGroupBox*>(object)) {
        box->setTitle(caption);
        return true;
    }
    if (auto* button = qobject_cast<QAbstractButton*>(object)) {
        button->setText(caption);
        return true;
    }
    if (auto* label = qobject_cast<QLabel*>(object)) {
        label->setText(caption);
        return true;
    }
    if (auto* widget = qobject_cast<QWidget*>(object)) {
        if (QTabWidget* tabs = TabOwner(widget)) {
            tabs->setTabText(tabs->indexOf(widget), caption);
            return true;
        }
    }
    return false;
}

bool SetHint(QObject* object, const QString& hint) {
    if (auto* action = qobject_cast<QAction*>(object)) {
        action->setToolTip(hint);
        return true;
    }
    if (auto* widget = qobject_cast<QWidget*>(object)) {
        widget->setToolTip(hint);
        return true;
    }
    return false;
}

}  // namespace

bool SystemIsJapanese() {
    const QLocale system = QLocale::system();
    return system.language() == QLocale::Japanese || system.territory() == QLocale::Japan;
}

QString LanguageFontFace(bool vistaOrLater) {
    return vistaOrLater ? QStringLiteral("メイリオ") : QStringLiteral("ＭＳ Ｐゴシック");
}

void ApplyLanguageFonts(QWidget* form, bool vistaOrLater) {
    if (!form || SelectedLanguage() != kLanguageJapanese) return;
    const QString face = LanguageFontFace(vistaOrLater);
    QFont own = form->font();
    own.setFamily(face);
    form->setFont(own);
    const QList<QWidget*> children = form->findChildren<QWidget*>();
    for (QWidget* child : children) {
        // Only the window's own named controls carry a font; menus have none, and the helper
        // widgets Qt makes inside its controls (scroll bars, viewports) follow their parents.
        const QString name = child->objectName();
        if (name.isEmpty() || name.startsWith(QLatin1String("qt_"))) continue;
        if (qobject_cast<QMenu*>(child) || qobject_cast<QMenuBar*>(child)) continue;
        QFont font = child->font();
        font.setFamily(face);
        if (vistaOrLater) font.setPixelSize(11);
        child->setFont(font);
    }
}

void ApplyLanguageToForm(QWidget* form, const TIniFile* languageFile, bool vistaOrLater) {
    if (!form) return;
    ApplyLanguageFonts(form, vistaOrLater);
    if (!languageFile) return;

    const std::string section = LanguageSection(form->objectName().toStdString());
    auto read = [&](const std::string& key) {
        return FromUtf8(CutLanguageComment(languageFile->ReadString(section, key, "")));
    };
    const QString title = read(section + ".Caption");
    if (!title.isEmpty()) form->setWindowTitle(title);

    const QList<QObject*> owned = form->findChildren<QObject*>();
    for (QObject* object : owned) {
        const std::string name = object->objectName().toStdString();
        if (name.empty()) continue;
        const QString caption = read(section + "." + name + ".Caption");
        if (!caption.isEmpty()) SetCaption(object, caption);
        const QString hint = read(section + "." + name + ".Hint");
        if (!hint.isEmpty()) SetHint(object, hint);
    }
}

void ApplyLanguageToForm(QWidget* form) {
    const std::optional<TIniFile> file = OpenLanguageFile();
    ApplyLanguageToForm(form, file ? &*file : nullptr);
}

}  // namespace tilvo
