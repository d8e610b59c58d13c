// The save dialog: its decisions, the save options window, and both file-save dialogs driven
// through the controller on the offscreen platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>

#include "dialogs/SaveDialogPassport.h"
#include "dialogs/dlgSaveOption.h"
#include "dialogs/talFileSaveDialog.h"
#include "dialogs/talSavePictureDialog.h"

namespace tilvo {
namespace {

// ---- Decisions ----

TEST(SaveDialogDecisions, SelectedTypeMatchesTheFirstRowContainedInTheDisplayName) {
    TFileTypeItems items;
    for (const TKorvaneFileTypeInfo& row : FileTypeInfos())
        items.push_back({row.DisplayName, row.FileMask});
    items.push_back({"Something else", "*.xyz"});
    struct TCase {
        int Index;
        TFileType4Save Expected;
    };
    for (const TCase& c :
         {TCase{1, sftJPG}, TCase{2, sftPNG}, TCase{3, sftBMP}, TCase{5, sftTGA}, TCase{10, sftPBM},
          TCase{11, sftMAG}, TCase{12, sftWEBP}, TCase{13, sftUNKNOWN}, TCase{0, sftUNKNOWN}})
        EXPECT_EQ(ItemSelectedFileType(items, c.Index), c.Expected) << c.Index;
    // "Bitmap" does not occur in "Portable bitmap": the case matters.
    EXPECT_EQ(ItemSelectedFileType({{"Portable bitmap", "*.pbm"}}, 1), sftPBM);
    EXPECT_EQ(ItemSelectedFileType({}, 1), sftUNKNOWN);
}

TEST(SaveDialogDecisions, ExtensionIsAppendedOnlyToNamesWithoutOne) {
    struct TCase {
        const char* Name;
        const char* DisplayName;
        const char* Expected;
    };
    for (const TCase& c : {
             TCase{"name", "Targa", "name.tga"},
             TCase{"/tmp/photo", "Portable graymap", "/tmp/photo.pgm"},
             TCase{"/tmp/photo.png", "JPEG", "/tmp/photo.png"},
             TCase{"a.b", "JPEG", "a.b"},
             TCase{"ends.", "JPEG", "ends."},
             TCase{"/dir.d/photo", "JPEG", "/dir.d/photo.jpg"},
             TCase{"photo", "No such type", "photo"},
         })
        EXPECT_EQ(AppendExtensionForDisplayName(c.Name, c.DisplayName), c.Expected) << c.Name;

    EXPECT_EQ(AppendExtensionForPosition("pic", 1), "pic.jpg");
    EXPECT_EQ(AppendExtensionForPosition("pic", 9), "pic.pgm");
    EXPECT_EQ(AppendExtensionForPosition("pic", 12), "pic.dcr");
    EXPECT_EQ(AppendExtensionForPosition("pic", 13), "pic");
    EXPECT_EQ(AppendExtensionForPosition("pic.x", 2), "pic.x");
    EXPECT_EQ(LegacySelectedFileType(12), sftDCR);
    EXPECT_EQ(LegacySelectedFileType(0), sftUNKNOWN);
    EXPECT_EQ(LegacySelectedFileType(13), sftUNKNOWN);
    EXPECT_EQ(ExtractFileNamePart("/home/u/pictures/photo"), "photo");
    EXPECT_EQ(ExtractFileNamePart("photo"), "photo");
}

TEST(SaveDialogDecisions, OptionsExistForJpegPngGifTargaAndWebPOnly) {
    for (const TKorvaneFileTypeInfo& row : FileTypeInfos()) {
        const std::string name = row.DisplayName;
        const bool expected =
            name == "JPEG" || name == "PNG" || name == "GIF" || name == "Targa" || name == "WebP";
        EXPECT_EQ(OptionsButtonEnabled(name), std::optional<bool>(expected)) << name;
    }
    EXPECT_EQ(OptionsButtonEnabled("Unknown"), std::nullopt);
    EXPECT_EQ(LegacyOptionPanel(1), TOptionPanel::JPEG);
    EXPECT_EQ(LegacyOptionPanel(3), TOptionPanel::None);
    EXPECT_EQ(LegacyOptionPanel(5), TOptionPanel::TGA);
    EXPECT_EQ(LegacyOptionPanel(12), TOptionPanel::DCR);
}

TEST(SaveDialogDecisions, ConfirmedOptionsKeepOnly444AndNotTheInputFlags) {
    TSaveDialogOptions from;
    from.JPEGQuality = 150;
    from.JPEGSubsampling = jss422;
    from.PNGTransparent = true;
    from.DCRResourceName = "RES";
    from.ExifCopyEnabled = false;
    TSaveDialogOptions to;
    to.ExifThumbUpdateEnabled = false;
    CopyConfirmedOptions(from, to);
    EXPECT_EQ(to.JPEGQuality, 150);
    EXPECT_EQ(to.JPEGSubsampling, jss420);
    EXPECT_TRUE(to.PNGTransparent);
    EXPECT_EQ(to.DCRResourceName, "RES");
    EXPECT_TRUE(to.ExifCopyEnabled);
    EXPECT_FALSE(to.ExifThumbUpdateEnabled);
    from.JPEGSubsampling = jss444;
    CopyConfirmedOptions(from, to);
    EXPECT_EQ(to.JPEGSubsampling, jss444);

    TSaveDialogPassport passport;
    passport.Options().DCRResourceName = "KEEP";
    TSaveOptions mainWindow;
    mainWindow.JPEGSubsampling = 0x102;  // only the low byte reaches the dialog
    mainWindow.GIFTransparent = true;
    passport.SetSaveOptions(mainWindow);
    EXPECT_EQ(passport.Options().JPEGSubsampling, 2);
    EXPECT_TRUE(passport.Options().GIFTransparent);
    EXPECT_EQ(passport.SaveOptions().DCRResourceName, "KEEP");
}

TEST(SaveDialogDecisions, QualityStepsStayWithinRangeAndColourFollowsQuality) {
    EXPECT_EQ(StepQuality(3, -5), 0);
    EXPECT_EQ(StepQuality(98, 5), 100);
    EXPECT_EQ(StepQuality(50, -1), 49);
    EXPECT_EQ(StepQuality(150, -5), 145);  // out of range from the caller: lowered by its step
    EXPECT_EQ(StepQuality(150, 1), 100);
    EXPECT_EQ(QualityColour(29), 0xFF0000u);
    EXPECT_EQ(QualityColour(30), 0xFE8728u);
    EXPECT_EQ(QualityColour(64), 0xFE8728u);
    EXPECT_EQ(QualityColour(65), 0x0000FFu);
}

// ---- Driving modal windows ----

// Runs `step` on the modal window of type W once it is up (inside its own event loop). `step`
// must close the window.
template <class W>
void WhenModal(std::function<void(W*)> step) {
    QTimer::singleShot(0, [step] {
        QWidget* top = QApplication::activeModalWidget();
        auto* window = qobject_cast<W*>(top);
        if (!window) {
            ADD_FAILURE() << "expected modal window missing";
            if (top) top->close();
            return;
        }
        step(window);
    });
}

template <class T>
T* Child(QWidget* parent, const char* name) {
    T* child = parent->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

// Chooses a file type the way a user does: with the keyboard on the type list.
void ChooseType(QFileDialog* dialog, int row) {
    auto* combo = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
    ASSERT_NE(combo, nullptr);
    while (combo->currentIndex() < row) QTest::keyClick(combo, Qt::Key_Down);
    while (combo->currentIndex() > row) QTest::keyClick(combo, Qt::Key_Up);
}

// Presses the dialog's save button.
void Confirm(QFileDialog* dialog) {
    static_cast<QDialog*>(dialog)->accept();
}

TFileTypeItems SaveAsTypes() {
    TFileTypeItems items;
    for (const TKorvaneFileTypeInfo& row : FileTypeInfos())
        items.push_back({row.DisplayName, row.FileMask});
    return items;
}

TSaveDialogOptions SomeOptions() {
    TSaveDialogOptions o;
    o.JPEGQuality = 42;
    o.JPEGProgressive = true;
    o.JPEGSubsampling = jss444;
    o.PNGGrayscale = true;
    o.ExifCopy = true;
    o.ExifCopyEnabled = false;
    o.ExifThumbUpdateEnabled = true;
    o.WebPQuality = 65;
    return o;
}

// ---- The save options window ----

TEST(SaveOptionsWindow, ShowsTheOptionsAndStoresTheEditsOnOk) {
    TSaveDialogOptions options = SomeOptions();
    WhenModal<TFormSaveOption>([](TFormSaveOption* form) {
        EXPECT_EQ(form->pos(), QPoint(0, 0));
        EXPECT_EQ(form->EditJPEGQuality->text(), "42");
        EXPECT_TRUE(form->CBJPEGProgressive->isChecked());
        EXPECT_TRUE(form->RBSubsampling444->isChecked());
        EXPECT_TRUE(form->CBExifCopy->isChecked());
        EXPECT_FALSE(form->CBExifCopy->isEnabled());
        EXPECT_TRUE(form->CBExifThumbUpdate->isEnabled());
        // Removing personal data goes with the Exif copy: on by default, enabled with it.
        EXPECT_TRUE(form->CBExifRemovePersonalData->isChecked());
        EXPECT_FALSE(form->CBExifRemovePersonalData->isEnabled());
        EXPECT_EQ(form->PageControl1->currentWidget(), form->TabSheet1);
        form->EditJPEGQuality->setText("150");
        form->CBJPEGGrayscale->setChecked(true);
        form->RBSubsampling420->setChecked(true);
        form->CBPNGInterlaced->setChecked(true);
        form->CBTGARLECompression->setChecked(true);
        form->CBExifRemovePersonalData->setChecked(false);
        EXPECT_EQ(form->EditWebPQuality->text(), "65");
        EXPECT_FALSE(form->CBWebPLossless->isChecked());
        form->EditWebPQuality->setText("101");
        form->CBWebPLossless->setChecked(true);
        // Below the others on the JPEG page, saying that the quality does not apply.
        EXPECT_FALSE(form->CBJPEGKeepUntouched->isChecked());
        EXPECT_TRUE(form->CBJPEGKeepUntouched->text().contains("quality does not apply"));
        EXPECT_EQ(form->CBJPEGKeepUntouched->parentWidget(), form->TabSheet1);
        EXPECT_TRUE(form->TabSheet1->rect().contains(form->CBJPEGKeepUntouched->geometry()));
        EXPECT_GE(form->CBJPEGKeepUntouched->y(), form->GBExif->geometry().bottom());
        form->CBJPEGKeepUntouched->setChecked(true);
        form->ButtonOK->click();
    });
    EditSaveOptions(options, "JPEG");
    TSaveDialogOptions expected = SomeOptions();
    expected.JPEGKeepUntouched = true;
    expected.WebPQuality = 100;  // WebP's scale ends at 100
    expected.WebPLossless = true;
    expected.JPEGQuality = 100;  // JPEG's scale ends at 100 too
    expected.JPEGGrayscale = true;
    expected.JPEGSubsampling = jss420;
    expected.PNGInterlaced = true;
    expected.TGARLECompression = true;
    expected.ExifRemovePersonalData = false;
    EXPECT_EQ(options, expected);
}

TEST(SaveOptionsWindow, CancelAndABadQualityChangeNothing) {
    TSaveDialogOptions options = SomeOptions();
    WhenModal<TFormSaveOption>([](TFormSaveOption* form) {
        form->EditJPEGQuality->setText("12x");
        form->CBJPEGGrayscale->setChecked(true);
        // OK with a quality that is not an integer: a message, and the window stays.
        WhenModal<QMessageBox>([](QMessageBox* box) {
            EXPECT_TRUE(box->text().contains("12x"));
            box->accept();
        });
        form->ButtonOK->click();
        EXPECT_TRUE(form->isVisible());
        form->ButtonCancel->click();
    });
    EditSaveOptions(options, "JPEG");
    EXPECT_EQ(options, SomeOptions());
}

TEST(SaveOptionsWindow, ShowsOnlyThePagesNamedInTheType) {
    struct TCase {
        const char* Type;
        const char* Page;  // the only visible page, or none
    };
    for (const TCase& c :
         {TCase{"JPEG", "TabSheet1"}, TCase{"PNG", "TabSheet2"}, TCase{"GIF", "TabSheet3"},
          TCase{"Targa", "TabSheet5"}, TCase{"WebP", "TabSheet6"}, TCase{"Bitmap", nullptr}}) {
        TFormSaveOption form;
        form.SelectPages(c.Type);
        for (int i = 0; i < form.PageControl1->count(); ++i) {
            const QString name = form.PageControl1->widget(i)->objectName();
            EXPECT_EQ(form.PageControl1->isTabVisible(i), c.Page && name == c.Page)
                << c.Type << " " << name.toStdString();
        }
        if (c.Page) {
            EXPECT_EQ(form.PageControl1->currentWidget()->objectName(), c.Page);
        }
    }
}

// ---- The item dialog through the controller ----

TEST(ItemSaveDialog, OptionsButtonIsEnabledExactlyForTypesWithOptions) {
    QTemporaryDir dir;
    TSaveDialogPassport passport;
    passport.SetFileTypes(SaveAsTypes());
    passport.SetInitialDir(dir.path().toStdString());
    WhenModal<TtalFileSaveDialog>([](TtalFileSaveDialog* dialog) {
        QPushButton* button = dialog->OptionButton();
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text(), dialog->GMOption());
        EXPECT_TRUE(button->isEnabled());  // JPEG, reported as the dialog opened
        const auto rows = FileTypeInfos();
        for (int row : {2, 0, 5, 4, 10, 3, 1, 9}) {
            ChooseType(dialog, row);
            EXPECT_EQ(button->isEnabled(), rows[size_t(row)].HasOptions == 1)
                << rows[size_t(row)].DisplayName;
            EXPECT_EQ(dialog->EventSink()->TypeIndex(), row + 1);
        }
        dialog->reject();
    });
    EXPECT_FALSE(passport.Execute());
}

TEST(ItemSaveDialog, OptionsEditedInTheWindowComeBackWithTheConfirmedName) {
    QTemporaryDir dir;
    TSaveDialogPassport passport;
    passport.SetFileTypes(SaveAsTypes());
    passport.SetInitialDir(dir.path().toStdString());
    passport.SetFileName("/elsewhere/photo");
    passport.Options() = SomeOptions();
    passport.Options().DCRResourceName = "RES";
    WhenModal<TtalFileSaveDialog>([](TtalFileSaveDialog* dialog) {
        EXPECT_EQ(dialog->findChild<QLineEdit*>("fileNameEdit")->text(), "photo");
        EXPECT_EQ(dialog->Options().JPEGQuality, 42);
        ChooseType(dialog, 4);  // Targa
        WhenModal<TFormSaveOption>([](TFormSaveOption* form) {
            EXPECT_TRUE(form->PageControl1->isTabVisible(3));
            EXPECT_FALSE(form->PageControl1->isTabVisible(0));
            form->CBTGARLECompression->setChecked(true);
            form->EditJPEGQuality->setText("77");
            form->ButtonOK->click();
        });
        dialog->OptionButton()->click();
        // A second opening shows what the first confirmed.
        WhenModal<TFormSaveOption>([](TFormSaveOption* form) {
            EXPECT_TRUE(form->CBTGARLECompression->isChecked());
            EXPECT_EQ(form->EditJPEGQuality->text(), "77");
            form->ButtonCancel->click();
        });
        dialog->OptionButton()->click();
        Confirm(dialog);
    });
    ASSERT_TRUE(passport.Execute());
    EXPECT_EQ(passport.FileName(), dir.filePath("photo.tga").toStdString());
    EXPECT_EQ(passport.SelectedFileType(), sftTGA);
    TSaveDialogOptions expected = SomeOptions();
    expected.JPEGQuality = 77;
    expected.TGARLECompression = true;
    expected.DCRResourceName = "RES";
    EXPECT_EQ(passport.Options(), expected);

    // The next run offers Targa again; a name with an extension stays as typed.
    WhenModal<TtalFileSaveDialog>([](TtalFileSaveDialog* dialog) {
        EXPECT_EQ(dialog->selectedNameFilter(), "Targa (*.tga)");
        dialog->findChild<QLineEdit*>("fileNameEdit")->setText("photo.png");
        Confirm(dialog);
    });
    ASSERT_TRUE(passport.Execute());
    EXPECT_EQ(passport.FileName(), dir.filePath("photo.png").toStdString());
    EXPECT_EQ(passport.SelectedFileType(), sftTGA);
}

TEST(ItemSaveDialog, CancelDiscardsEverythingChangedInTheDialog) {
    QTemporaryDir dir;
    TSaveDialogPassport passport;
    passport.SetFileTypes(SaveAsTypes());
    passport.SetInitialDir(dir.path().toStdString());
    passport.SetFileName("photo");
    passport.Options() = SomeOptions();
    WhenModal<TtalFileSaveDialog>([](TtalFileSaveDialog* dialog) {
        WhenModal<TFormSaveOption>([](TFormSaveOption* form) {
            form->EditJPEGQuality->setText("5");
            form->ButtonOK->click();
        });
        dialog->OptionButton()->click();
        EXPECT_EQ(dialog->Options().JPEGQuality, 5);
        dialog->reject();
    });
    EXPECT_FALSE(passport.Execute());
    EXPECT_EQ(passport.FileName(), "photo");
    EXPECT_EQ(passport.Options(), SomeOptions());
    // The next run shows the controller's values again.
    WhenModal<TtalFileSaveDialog>([](TtalFileSaveDialog* dialog) {
        EXPECT_EQ(dialog->Options().JPEGQuality, 42);
        dialog->reject();
    });
    EXPECT_FALSE(passport.Execute());
}

TEST(ItemSaveDialog, WithoutFileTypesTheTypeIsUnknown) {
    QTemporaryDir dir;
    TSaveDialogPassport passport;
    passport.SetInitialDir(dir.path().toStdString());
    passport.SetFileName("photo");
    WhenModal<TtalFileSaveDialog>([](TtalFileSaveDialog* dialog) { Confirm(dialog); });
    ASSERT_TRUE(passport.Execute());
    EXPECT_EQ(passport.SelectedFileType(), sftUNKNOWN);
    EXPECT_EQ(passport.FileName(), dir.filePath("photo").toStdString());
}

// ---- The legacy dialog through the controller ----

TEST(LegacySaveDialog, PanelIsRebuiltPerTypeAndControlsWriteTheirOptions) {
    QTemporaryDir dir;
    TSaveDialogPassport passport(true);
    passport.SetFileTypes(SaveAsTypes());
    passport.SetInitialDir(dir.path().toStdString());
    passport.SetFileName("pic");
    passport.SetDialogTexts(EnglishDialogTexts());
    passport.Options() = SomeOptions();
    passport.Options().JPEGQuality = 3;
    WhenModal<TtalSavePictureDialog>([](TtalSavePictureDialog* dialog) {
        EXPECT_EQ(dialog->GroupBox()->title(), "Option");
        EXPECT_EQ(dialog->ExtraPanel()->height(), 120);
        EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize());  // not resizable
        QWidget* panel = dialog->OptionControls();
        ASSERT_NE(panel, nullptr);
        auto* slider = Child<QSlider>(panel, "TBQuality");
        auto* value = Child<QLabel>(panel, "LQualityValue");
        ASSERT_TRUE(slider && value);
        EXPECT_EQ(value->palette().color(QPalette::WindowText), QColor(255, 0, 0));
        Child<QPushButton>(panel, "BMinus5")->click();
        EXPECT_EQ(dialog->Options().JPEGQuality, 0);
        slider->setValue(97);
        Child<QPushButton>(panel, "BPlus5")->click();
        EXPECT_EQ(dialog->Options().JPEGQuality, 100);
        EXPECT_EQ(slider->value(), 100);
        EXPECT_EQ(value->text(), "100");
        EXPECT_EQ(value->palette().color(QPalette::WindowText), QColor(0, 0, 255));
        Child<QPushButton>(panel, "BMinus1")->click();
        EXPECT_EQ(dialog->Options().JPEGQuality, 99);
        auto* exifCopy = Child<QCheckBox>(panel, "CBExifCopy");
        EXPECT_FALSE(exifCopy->isEnabled());
        EXPECT_TRUE(exifCopy->isChecked());
        EXPECT_TRUE(Child<QRadioButton>(panel, "RBSubSampling444")->isChecked());
        Child<QRadioButton>(panel, "RBSubSampling420")->click();

        ChooseType(dialog, 2);  // Bitmap
        panel = dialog->OptionControls();
        EXPECT_EQ(panel->findChild<QSlider*>(), nullptr);
        EXPECT_EQ(Child<QLabel>(panel, "LNoOption")->text(), "Nothing");

        ChooseType(dialog, 0);  // JPEG again: rebuilt from the fields
        panel = dialog->OptionControls();
        EXPECT_EQ(Child<QSlider>(panel, "TBQuality")->value(), 99);
        EXPECT_TRUE(Child<QRadioButton>(panel, "RBSubSampling420")->isChecked());

        ChooseType(dialog, 1);  // PNG
        panel = dialog->OptionControls();
        EXPECT_TRUE(Child<QCheckBox>(panel, "CBGrayscale")->isChecked());
        Child<QCheckBox>(panel, "CBPNGTransparent")->click();
        Confirm(dialog);
    });
    ASSERT_TRUE(passport.Execute());
    EXPECT_EQ(passport.FileName(), dir.filePath("pic.png").toStdString());
    EXPECT_EQ(passport.SelectedFileType(), sftPNG);
    TSaveDialogOptions expected = SomeOptions();
    expected.JPEGQuality = 99;
    expected.JPEGSubsampling = jss420;
    expected.PNGTransparent = true;
    EXPECT_EQ(passport.Options(), expected);
}

TEST(LegacySaveDialog, ExifThumbnailBoxFollowsExifCopyOnlyWhenAvailable) {
    for (bool thumbAvailable : {true, false}) {
        QTemporaryDir dir;
        TSaveDialogPassport passport(true);
        passport.SetFileTypes(SaveAsTypes());
        passport.SetInitialDir(dir.path().toStdString());
        passport.Options().JPEGQuality = 150;  // out of range: shown and returned as it came
        passport.Options().ExifCopy = true;
        passport.Options().ExifThumbUpdateEnabled = thumbAvailable;
        WhenModal<TtalSavePictureDialog>([thumbAvailable](TtalSavePictureDialog* dialog) {
            QWidget* panel = dialog->OptionControls();
            EXPECT_EQ(Child<QLabel>(panel, "LQualityValue")->text(), "150");
            auto* copy = Child<QCheckBox>(panel, "CBExifCopy");
            auto* thumb = Child<QCheckBox>(panel, "CBExifThumbUpdate");
            auto* personal = Child<QCheckBox>(panel, "CBExifRemovePersonalData");
            EXPECT_EQ(thumb->isEnabled(), thumbAvailable);
            EXPECT_TRUE(personal->isChecked());
            EXPECT_TRUE(personal->isEnabled());
            copy->click();  // unchecked
            EXPECT_FALSE(thumb->isEnabled());
            EXPECT_FALSE(personal->isEnabled());
            copy->click();  // checked
            EXPECT_EQ(thumb->isEnabled(), thumbAvailable);
            EXPECT_TRUE(personal->isEnabled());
            thumb->click();  // a disabled box does not take the click
            personal->click();  // off: the personal data is kept
            dialog->findChild<QLineEdit*>("fileNameEdit")->setText("out");
            Confirm(dialog);
        });
        ASSERT_TRUE(passport.Execute());
        EXPECT_EQ(passport.FileName(), dir.filePath("out.jpg").toStdString());
        EXPECT_EQ(passport.Options().JPEGQuality, 150);
        EXPECT_TRUE(passport.Options().ExifCopy);
        EXPECT_EQ(passport.Options().ExifThumbUpdate, thumbAvailable);
        EXPECT_FALSE(passport.Options().ExifRemovePersonalData);
    }
}

TEST(LegacySaveDialog, CancelDiscardsAndTheConfirmedTypeIsOfferedAgain) {
    QTemporaryDir dir;
    TSaveDialogPassport passport(true);
    passport.SetFileTypes(SaveAsTypes());
    passport.SetInitialDir(dir.path().toStdString());
    passport.SetFileName("a");
    WhenModal<TtalSavePictureDialog>([](TtalSavePictureDialog* dialog) {
        ChooseType(dialog, 3);  // GIF
        Confirm(dialog);
    });
    ASSERT_TRUE(passport.Execute());
    EXPECT_EQ(passport.FileName(), dir.filePath("a.gif").toStdString());
    const std::string chosen = passport.FileName();
    WhenModal<TtalSavePictureDialog>([](TtalSavePictureDialog* dialog) {
        EXPECT_EQ(dialog->FilterPosition(), 4);
        Child<QCheckBox>(dialog->OptionControls(), "CBGIFTransparent")->click();
        EXPECT_TRUE(dialog->Options().GIFTransparent);
        ChooseType(dialog, 6);
        dialog->reject();
    });
    EXPECT_FALSE(passport.Execute());
    EXPECT_FALSE(passport.Options().GIFTransparent);
    EXPECT_EQ(passport.FileName(), chosen);
    // The picture under the cursor is previewed, scaled to fit.
    QImage picture(40, 20, QImage::Format_RGB32);
    picture.fill(Qt::red);
    const QString picturePath = dir.filePath("shown.png");
    ASSERT_TRUE(picture.save(picturePath));
    WhenModal<TtalSavePictureDialog>([&picturePath](TtalSavePictureDialog* dialog) {
        EXPECT_EQ(dialog->FilterPosition(), 4);
        auto* preview = Child<QLabel>(dialog, "ImagePreview");
        emit dialog->currentChanged(picturePath);
        EXPECT_EQ(preview->pixmap().size(), QSize(40, 20));
        emit dialog->currentChanged(dialog->directory().path());
        EXPECT_TRUE(preview->pixmap().isNull());
        dialog->reject();
    });
    EXPECT_FALSE(passport.Execute());
}

}  // namespace
}  // namespace tilvo

int main(int argc, char** argv) {
    // The dialogs run offscreen, also when the test list is read at build time.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
