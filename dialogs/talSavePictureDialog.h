// TtalSavePictureDialog: the save dialog with an options panel below its controls, rebuilt for the
// selected type; every control writes its option at once. A preview of the selected picture
// sits on its right.
#pragma once

#include <QFileDialog>
#include <memory>

#include "dialogs/SaveDialogPassport.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QSlider;

namespace tilvo {

class TtalSavePictureDialog : public QFileDialog {
    Q_OBJECT
  public:
    explicit TtalSavePictureDialog(QWidget* parent = nullptr);
    ~TtalSavePictureDialog() override;

    TSaveDialogOptions& Options() { return FOptions; }
    const TSaveDialogOptions& Options() const { return FOptions; }
    // The seventeen captions of the option controls.
    TDialogTexts& Texts() { return FTexts; }

    // The 1-based position of the selected type in the filter list; 0 with no filter.
    int FilterPosition() const;
    // Selects the type at a 1-based position (ignored when out of range).
    void SetFilterPosition(int position);
    // The Save As type of the selected position (1 ... 12), sftUNKNOWN otherwise.
    TFileType4Save SelectedFileType() const { return LegacySelectedFileType(FilterPosition()); }

    // Runs the dialog modally with `name` in the name field and `folder` (when not empty) as the
    // folder. True when a name was confirmed; FileName() then holds the full path.
    bool Execute(const std::string& name, const std::string& folder);
    const std::string& FileName() const { return FFileName; }

    // The panel below the standard controls and its group box.
    QWidget* ExtraPanel() const { return FExtraPanel; }
    QGroupBox* GroupBox() const { return FGroupBox; }
    // The panel the controls of the current position sit on (null while none exist), and that
    // position.
    QWidget* OptionControls() const { return FControls.get(); }
    int CurrentPosition() const { return FCurrentPosition; }

  protected:
    void showEvent(QShowEvent* event) override;
    void done(int result) override;

  private:
    void DestroyControls();
    void CreateControls(int position);
    void CreateJPEGControls(QWidget* box);
    void UpdateQuality();
    void ShowPreview(const QString& path);

    TSaveDialogOptions FOptions;
    TDialogTexts FTexts;
    QWidget* FExtraPanel = nullptr;      // owned by the dialog
    QGroupBox* FGroupBox = nullptr;      // owned by the panel
    QLabel* FPreview = nullptr;          // owned by the dialog
    std::unique_ptr<QWidget> FControls;  // child of the group box while it exists
    // Controls of the JPEG panel that change with the quality and the Exif copy box; the
    // resource name field. Valid while FControls holds them.
    QLabel* FQualityValue = nullptr;
    QSlider* FQualitySlider = nullptr;
    QCheckBox* FExifThumbUpdate = nullptr;
    QCheckBox* FExifRemovePersonalData = nullptr;
    QLineEdit* FResourceName = nullptr;
    int FCurrentPosition = 0;
    int FConfirmedPosition = 1;  // the type of the last confirmed run is offered again
    std::string FFileName;
};

}  // namespace tilvo
