// Applying the language file to a Qt window (offscreen): captions, hints, window title, tab texts,
// menus and actions found by object name, and the Japanese fonts.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QWidget>

#include "lang/LangApply.h"

using namespace tilvo;

namespace {

template <class T>
T* Named(QWidget* parent, const char* name, T* object) {
    object->setObjectName(QString::fromLatin1(name));
    if (auto* w = qobject_cast<QWidget*>(object); w && !w->parentWidget()) w->setParent(parent);
    return object;
}

// A window shaped like the save options window and the main window's menu.
struct TestWindow {
    QWidget form;
    QTabWidget* pages;
    QWidget* page1;
    QWidget* page2;
    QCheckBox* check;
    QPushButton* ok;
    QLineEdit* edit;
    QGroupBox* group;
    QLabel* label;
    QMenu* fileMenu;
    QAction* open;
    QLabel* untouched;

    TestWindow() {
        form.setObjectName("FormSaveOption_2");
        form.setWindowTitle("Save options");
        auto* layout = new QVBoxLayout(&form);
        auto* bar = new QMenuBar(&form);
        fileMenu = Named(&form, "FMFile", bar->addMenu("&File"));
        open = Named(&form, "FMOpen", fileMenu->addAction("&Open..."));
        pages = Named(&form, "PageControl1", new QTabWidget(&form));
        page1 = Named(&form, "TabSheet1", new QWidget);
        page2 = Named(&form, "TabSheet2", new QWidget);
        pages->addTab(page1, "JPEG");
        pages->addTab(page2, "PNG");
        check = Named(&form, "CBJPEGGrayscale", new QCheckBox("Grayscale", page1));
        group = Named(&form, "GBExif", new QGroupBox("Exif", page1));
        label = Named(&form, "LJPEGQuality", new QLabel("Quality", page1));
        edit = Named(&form, "EditJPEGQuality", new QLineEdit("80", page1));
        ok = Named(&form, "ButtonOK", new QPushButton("OK", &form));
        untouched = Named(&form, "LUntouched", new QLabel("as designed", &form));
        layout->addWidget(bar);
        layout->addWidget(pages);
        layout->addWidget(ok);
        layout->addWidget(untouched);
    }
};

}  // namespace

TEST(LangApply, TextsByObjectName) {
    SelectLanguage(kLanguageJapanese);
    TIniFile ini;
    ini.SetText(
        "[formsaveoption]\n"
        "FormSaveOption.Caption=保存オプション\n"
        "FormSaveOption.TabSheet2.Caption=PNG形式\n"
        "formsaveoption.cbjpeggrayscale.caption=グレイスケール\n"
        "FormSaveOption.CBJPEGGrayscale.Hint=白黒で保存\n"
        "FormSaveOption.GBExif.Caption=Exif情報\n"
        "FormSaveOption.LJPEGQuality.Caption=品質 //comment\n"
        "FormSaveOption.EditJPEGQuality.Caption=123\n"
        "FormSaveOption.EditJPEGQuality.Hint=0 ～ 100\n"
        "FormSaveOption.ButtonOK.Caption=OK //the button\n"
        "FormSaveOption.LUntouched.Caption=\n"
        "FormSaveOption.FMFile.Caption=ファイル(&F)\n"
        "FormSaveOption.FMOpen.Caption=開く(&O)...\n"
        "FormSaveOption.FMOpen.Hint=画像を開く\n"
        "[Form1]\n"
        "Form1.ButtonOK.Caption=wrong section\n");
    TestWindow w;
    ApplyLanguageToForm(&w.form, &ini);

    EXPECT_EQ(w.form.windowTitle(), QString("保存オプション"));
    EXPECT_EQ(w.pages->tabText(0), QString("JPEG"));
    EXPECT_EQ(w.pages->tabText(1), QString("PNG形式"));
    EXPECT_EQ(w.check->text(), QString("グレイスケール"));
    EXPECT_EQ(w.check->toolTip(), QString("白黒で保存"));
    EXPECT_EQ(w.group->title(), QString("Exif情報"));
    EXPECT_EQ(w.label->text(), QString("品質 "));
    EXPECT_EQ(w.ok->text(), QString("OK "));
    // An edit field has a hint but no caption; an empty value changes nothing.
    EXPECT_EQ(w.edit->text(), QString("80"));
    EXPECT_EQ(w.edit->toolTip(), QString("0 ～ 100"));
    EXPECT_EQ(w.untouched->text(), QString("as designed"));
    EXPECT_EQ(w.fileMenu->title(), QString("ファイル(&F)"));
    EXPECT_EQ(w.fileMenu->menuAction()->text(), QString("ファイル(&F)"));
    EXPECT_EQ(w.open->text(), QString("開く(&O)..."));
    EXPECT_EQ(w.open->toolTip(), QString("画像を開く"));
}

TEST(LangApply, FontsWithoutLanguageFile) {
    SelectLanguage(kLanguageJapanese);
    TestWindow w;
    QFont own = w.form.font();
    own.setPointSize(13);
    w.form.setFont(own);
    ApplyLanguageToForm(&w.form, nullptr);

    EXPECT_EQ(w.form.windowTitle(), QString("Save options"));
    EXPECT_EQ(w.check->text(), QString("Grayscale"));
    EXPECT_EQ(w.form.font().family(), QString("メイリオ"));
    EXPECT_EQ(w.form.font().pointSize(), 13);  // the window keeps its size
    for (QWidget* child : {static_cast<QWidget*>(w.check), static_cast<QWidget*>(w.ok),
                           static_cast<QWidget*>(w.edit), static_cast<QWidget*>(w.page2)}) {
        EXPECT_EQ(child->font().family(), QString("メイリオ")) << child->objectName().toStdString();
        EXPECT_EQ(child->font().pixelSize(), 11) << child->objectName().toStdString();
    }

    TestWindow older;
    ApplyLanguageFonts(&older.form, false);
    EXPECT_EQ(older.ok->font().family(), QString("ＭＳ Ｐゴシック"));
    EXPECT_NE(older.ok->font().pixelSize(), 11);
}

TEST(LangApply, DialogTextsReachTheController) {
    struct Controller {
        TDialogTexts texts;
        void SetDialogTexts(const TDialogTexts& t) { texts = t; }
    } controller;
    SetLanguageBaseDir("/nonexistent-tilvo-folder");
    ApplyDialogTexts(controller);
    EXPECT_EQ(controller.texts, SystemIsJapanese() ? JapaneseDialogTexts() : EnglishDialogTexts());
    EXPECT_EQ(controller.texts.GMExif, "Exif");
}

int main(int argc, char** argv) {
    // Test discovery runs the program outside ctest's environment, where there is no display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
