// TFormSaveOption: the "Save options" window that the options button of the file-save dialog
// opens, one tab page per type with options, and EditSaveOptions, which fills, shows and reads it.
#pragma once

#include <QDialog>
#include <string_view>

#include "dialogs/SaveDialogPassport.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QWidget;

namespace tilvo {

class TFormSaveOption : public QDialog {
    Q_OBJECT
  public:
    explicit TFormSaveOption(QWidget* parent = nullptr);

    // The captions used on a Japanese system when the language file does not apply.
    void SetJapaneseCaptions();
    // Fills the controls from the options.
    void LoadOptions(const TSaveDialogOptions& options);
    // Shows exactly the pages whose caption occurs in the type's display name (letter case
    // significant); the last such page becomes the current one.
    void SelectPages(std::string_view typeDisplayName);
    // Writes the controls into the options; false (and nothing written) when the quality text is
    // not an integer.
    bool StoreOptions(TSaveDialogOptions& options) const;

    void accept() override;  // refuses to close while the quality text is not an integer

    QTabWidget* PageControl1;
    QWidget* TabSheet1;  // JPEG
    QWidget* TabSheet2;  // PNG
    QWidget* TabSheet3;  // GIF
    QWidget* TabSheet4;  // DCR
    QWidget* TabSheet5;  // Targa
    QWidget* TabSheet6;  // WebP
    QCheckBox* CBJPEGProgressive;
    QCheckBox* CBJPEGGrayscale;
    QPushButton* ButtonOK;
    QPushButton* ButtonCancel;
    QLabel* LJPEGQuality;
    QLineEdit* EditJPEGQuality;
    QCheckBox* CBPNGInterlaced;
    QCheckBox* CBPNGGrayscale;
    QCheckBox* CBPNGReduceTo256Color;
    QCheckBox* CBPNGTransparent;
    QCheckBox* CBGIFTransparent;
    QLabel* LDCRResourceName;
    QLineEdit* EditDCRResourceName;
    QCheckBox* CBTGARLECompression;
    QGroupBox* GBSubsampling;
    QRadioButton* RBSubsampling420;
    QRadioButton* RBSubsampling444;
    QGroupBox* GBExif;
    QCheckBox* CBExifCopy;
    QCheckBox* CBExifThumbUpdate;
    QCheckBox* CBExifRemovePersonalData;  // on by default; enabled with the Exif copy box
    QLabel* LWebPQuality;
    QLineEdit* EditWebPQuality;
    QCheckBox* CBWebPLossless;
    QCheckBox* CBJPEGKeepUntouched;
};

// Opens the save options window for the type `typeDisplayName` ("JPEG", "Targa") over `parent`.
// On OK the twelve options of `options` take the window's values (the quality as typed, any
// integer); on Cancel or Escape nothing changes. The resource name and the two input flags are
// only read. Texts and fonts come from the language file, read afresh on every call.
void EditSaveOptions(TSaveDialogOptions& options, std::string_view typeDisplayName,
                     QWidget* parent = nullptr);

// Shows the message of an error caught in an event handler; the program then goes on.
void ShowHandlerError(QWidget* parent, const char* message);

}  // namespace tilvo
